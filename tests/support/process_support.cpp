#include "tests/support/process_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testproc
{

std::string self_dir()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return ".";
    std::string path(buffer, (size_t)n);
    return path.substr(0, path.rfind('/'));
}

std::string self_path()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    return n > 0 ? std::string(buffer, (size_t)n) : std::string();
}

std::string sibling_executable(const std::string& name)
{
    std::string path = self_dir() + "/../" + name;
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

Child::~Child()
{
    if (pid > 0)
    {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
}

bool spawn(Child& c, const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv)
{
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outPipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, errPipe[1], 2);
    std::vector<std::string> env;
    for (char** e = environ; e && *e; e++)
    {
        std::string kv = *e;
        bool replaced = false;
        for (auto& x : extraEnv)
            if (kv.substr(0, kv.find('=') + 1) == x.substr(0, x.find('=') + 1))
                replaced = true;
        if (!replaced)
            env.push_back(kv);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp, args;
    for (auto& s : env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    for (auto& s : argv)
        args.push_back(const_cast<char*>(s.c_str()));
    args.push_back(nullptr);
    int r = posix_spawn(&c.pid, args[0], &fa, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(outPipe[1]);
    close(errPipe[1]);
    c.out = outPipe[0];
    c.err = errPipe[0];
    if (r != 0)
        c.pid = -1;
    return r == 0;
}

void pump(Child& c, int ms)
{
    struct pollfd p[2] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}};
    if (poll(p, 2, ms) <= 0)
        return;
    char buffer[4096];
    if (p[0].revents)
    {
        ssize_t n = read(c.out, buffer, sizeof(buffer));
        if (n > 0)
            c.outText.append(buffer, (size_t)n);
        else
            p[0].fd = -1;
        if (n == 0)
        {
            close(c.out);
            c.out = -1;
        }
    }
    if (p[1].revents && c.err >= 0)
    {
        ssize_t n = read(c.err, buffer, sizeof(buffer));
        if (n > 0)
            c.errText.append(buffer, (size_t)n);
        if (n == 0)
        {
            close(c.err);
            c.err = -1;
        }
    }
}

bool read_until(Child& c, const std::string& needle, int ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (c.outText.find(needle) == std::string::npos)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || (c.out < 0 && c.err < 0))
            return false;
        if (c.out < 0)
            return false;
        pump(c, (int)left.count());
    }
    return true;
}

int wait_exit(Child& c, int ms)
{
    if (c.pid <= 0)
        return c.status;
    int pidfd = (int)syscall(SYS_pidfd_open, c.pid, 0);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;)
    {
        int st = 0;
        pid_t r = waitpid(c.pid, &st, WNOHANG);
        if (r == c.pid)
        {
            c.pid = -1;
            c.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            while (c.out >= 0 || c.err >= 0)
            {
                size_t before = c.outText.size() + c.errText.size();
                pump(c, 200);
                if (c.outText.size() + c.errText.size() == before && (c.out >= 0 || c.err >= 0))
                    break; // a grandchild may hold the pipe open
            }
            if (pidfd >= 0)
                close(pidfd);
            return c.status;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            if (pidfd >= 0)
                close(pidfd);
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
            c.pid = -1;
            return -1;
        }
        // Wake on output or on the child's end.
        struct pollfd p[3] = {{c.out, POLLIN, 0}, {c.err, POLLIN, 0}, {pidfd, POLLIN, 0}};
        int wait = (int)std::min<long long>(left.count(), pidfd >= 0 ? left.count() : 50);
        if (poll(p, 3, wait) > 0 && (p[0].revents || p[1].revents))
            pump(c, 0);
    }
}

} // namespace testproc
