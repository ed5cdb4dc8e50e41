// Runs the fwutil and fwsim executables for the end-to-end tests the way a
// station's script does: a chosen environment (variables set or removed),
// standard descriptors piped, from /dev/null or closed, optionally as another
// user, always with a time bound (a hang is a failure, never a stuck test).
#pragma once

#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace toolrun
{

struct Invocation
{
    std::vector<std::string> argv;
    std::vector<std::string> env; // "NAME=value" set, "NAME" removed
    bool closeStdout = false;     // run with descriptor 1 closed
    bool closeStderr = false;     // run with descriptor 2 closed
    bool closeStdin = false;      // run with descriptor 0 closed
    uid_t uid = 0;                // with asUser: run as this user
    gid_t gid = 0;
    bool asUser = false;
    int limitMs = 60000;
    std::atomic<pid_t>* started = nullptr; // set to the child's id once it runs
};

struct Result
{
    int status = -1; // exit code, 128 + signal, or -1 when the bound passed (killed)
    std::string out;
    std::string err;
    long long ms = 0;
};

inline std::vector<std::string> environment(const std::vector<std::string>& changes)
{
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; e++)
    {
        std::string kv = *e;
        std::string name = kv.substr(0, kv.find('='));
        bool changed = false;
        for (const std::string& c : changes)
            changed = changed || c.substr(0, c.find('=')) == name;
        if (!changed)
            env.push_back(kv);
    }
    for (const std::string& c : changes)
    {
        if (c.find('=') != std::string::npos)
            env.push_back(c);
    }
    return env;
}

inline void drain(int* fd, std::string* into)
{
    char buffer[4096];
    ssize_t n = read(*fd, buffer, sizeof(buffer));
    if (n > 0)
        into->append(buffer, (size_t)n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    {
        close(*fd);
        *fd = -1;
    }
}

inline Result run(const Invocation& call)
{
    Result r;
    std::vector<std::string> env = environment(call.env);
    std::vector<char*> envp, args;
    for (auto& s : env)
        envp.push_back(const_cast<char*>(s.c_str()));
    envp.push_back(nullptr);
    for (auto& s : call.argv)
        args.push_back(const_cast<char*>(s.c_str()));
    args.push_back(nullptr);
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0)
        return r;
    int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0)
    {
        // Only async-signal-safe calls between fork and exec.
        dup2(devNull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (call.closeStdin)
            close(0);
        if (call.closeStdout)
            close(1);
        if (call.closeStderr)
            close(2);
        if (call.asUser && (setgroups(0, nullptr) != 0 || setgid(call.gid) != 0 || setuid(call.uid) != 0))
            _exit(121);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    if (call.started != nullptr)
        call.started->store(pid);
    close(devNull);
    close(outPipe[1]);
    close(errPipe[1]);
    int out = outPipe[0], err = errPipe[0];
    auto deadline = start + std::chrono::milliseconds(call.limitMs);
    int st = 0;
    bool reaped = false;
    while (!reaped || out >= 0 || err >= 0)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
        {
            if (!reaped)
            {
                kill(pid, SIGKILL);
                waitpid(pid, &st, 0);
            }
            r.status = -1;
            break;
        }
        struct pollfd p[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        poll(p, 2, (int)std::min<long long>(left.count(), 20));
        if (out >= 0 && p[0].revents != 0)
            drain(&out, &r.out);
        if (err >= 0 && p[1].revents != 0)
            drain(&err, &r.err);
        if (!reaped && waitpid(pid, &st, WNOHANG) == pid)
        {
            reaped = true;
            r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            r.ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
            // A grandchild (a RIL command) may keep a pipe: read what is there.
            deadline = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
        }
    }
    if (out >= 0)
        close(out);
    if (err >= 0)
        close(err);
    return r;
}

inline std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The module simulator serving a fresh pty, memory speed; its report comes on SIGINT.
struct Fwsim
{
    testproc::Child child;
    std::string path; // the pty the tool opens

    bool Start(std::vector<std::string> extra = {})
    {
        std::string exe = testproc::self_dir() + "/../fwsim";
        if (access(exe.c_str(), X_OK) != 0)
            return false;
        std::vector<std::string> argv = {exe, "--pty", "--baud", "0"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!testproc::spawn(child, argv, {}) || !testproc::read_until(child, "\n", 10000))
            return false;
        const std::string prefix = "fwsim: serving ";
        size_t at = child.outText.find(prefix);
        if (at == std::string::npos)
            return false;
        path = child.outText.substr(at + prefix.size(), child.outText.find('\n', at) - at - prefix.size());
        return true;
    }
    // Stops it and returns its report.
    std::string Stop()
    {
        kill(child.pid, SIGINT);
        testproc::wait_exit(child, 10000);
        return child.outText;
    }
};

// The second user for tests that need one: made with useradd when missing.
// False (with the reason) when this is impossible here (not root, no useradd).
inline bool second_user(uid_t* uid, gid_t* gid, std::string* why)
{
    const char* name = "fwutil-test2";
    if (geteuid() != 0)
    {
        *why = "a second user needs root (the tests run as root in CI)";
        return false;
    }
    if (getpwnam(name) == nullptr)
    {
        std::string cmd =
            std::string("useradd --system --no-create-home --shell /usr/sbin/nologin ") + name + " >/dev/null 2>&1";
        if (system(cmd.c_str()) != 0 || getpwnam(name) == nullptr)
        {
            *why = "useradd could not create the user fwutil-test2";
            return false;
        }
    }
    struct passwd* pw = getpwnam(name);
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return true;
}

// The fixture of the executables' tests: fwutil next to the tests (skipped
// when it was not built) and a private folder, dir_, to write files into.
class ToolTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fwutil_ = testproc::fwutil_path();
        if (fwutil_.empty())
            GTEST_SKIP() << "the fwutil executable was not built next to the tests";
        ASSERT_FALSE(folder_.path().empty());
        dir_ = folder_.path();
        chmod(dir_.c_str(), 0755); // a second user's run reaches its own folder in it
    }
    // Writes text to dir_/name, making the folders on the way.
    std::string Write(const std::string& name, const std::string& text)
    {
        std::string path = dir_ + "/" + name;
        for (size_t at = dir_.size() + 1; at < path.size(); at++)
        {
            if (path[at] == '/')
                mkdir(path.substr(0, at).c_str(), 0700);
        }
        std::ofstream(path) << text;
        return path;
    }
    // The built-in profile's text, from the source tree's copy.
    std::string DefaultProfile()
    {
        return read_file(testproc::self_dir() + "/../../profiles/default.reg");
    }

    testsupport::TempDir folder_{"fwtool"};
    std::string fwutil_;
    std::string dir_;
};

} // namespace toolrun
