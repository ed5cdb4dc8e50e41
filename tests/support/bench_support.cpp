// Child processes, bounded pipe reads and record fields for the benchmarks.
#include "tests/support/bench_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace benchsupport
{

pid_t bench_spawn(const std::vector<std::string>& args, int outFd, int errFd)
{
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
    {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

bool bench_read_until(int fd, std::string* text, const char* needle, int ms)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (needle == nullptr || text->find(needle) == std::string::npos)
    {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            text->append(buf, (size_t)n);
        else if (n == 0 || errno != EINTR)
            return needle == nullptr;
    }
    return true;
}

std::string bench_read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

long json_number(const std::string& text, const std::string& key, size_t from)
{
    size_t at = text.find("\"" + key + "\": ", from);
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size() + 4, nullptr, 10);
}

std::string json_string(const std::string& text, const std::string& key)
{
    size_t at = text.find("\"" + key + "\": \"");
    if (at == std::string::npos)
        return "";
    at += key.size() + 5;
    return text.substr(at, text.find('"', at) - at);
}

bool bench_sim_start(BenchSim* sim, const std::string& fwsim, const std::string& errPath, long baud, int bits)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    sim->pid = bench_spawn({fwsim, "--pty", "--baud", std::to_string(baud), "--bits", std::to_string(bits)}, p[1], err);
    close(p[1]);
    if (err >= 0)
        close(err);
    sim->out = p[0];
    const char prefix[] = "fwsim: serving ";
    if (sim->pid < 0 || !bench_read_until(sim->out, &sim->text, "\n", 10000))
        return false;
    size_t at = sim->text.find(prefix);
    if (at == std::string::npos)
        return false;
    at += sizeof prefix - 1;
    sim->pty = sim->text.substr(at, sim->text.find('\n', at) - at);
    return true;
}

void bench_sim_stop(BenchSim* sim)
{
    if (sim->pid <= 0)
        return;
    kill(sim->pid, SIGINT);
    if (!bench_read_until(sim->out, &sim->text, nullptr, 10000))
        kill(sim->pid, SIGKILL);
    struct rusage ru = {};
    wait4(sim->pid, nullptr, 0, &ru);
    sim->cpuS = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    close(sim->out);
    sim->pid = -1;
}

} // namespace benchsupport
