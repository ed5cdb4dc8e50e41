// Terminal display figures: the time from start to the first drawn screen
// (until the title appears in what the tool writes to its terminal), the CPU
// the tool uses while it sits idle, and the peak resident memory of a whole
// firmware update on the simulated handheld, driven through the menu as a
// person would. The tool runs on a pseudo-terminal this program owns.
//
//   startup_bench [--runs N] [--fwutil PATH] [-- extra fwutil options]
//
// Prints figures; it is never a timed test.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kCols = 80;
constexpr int kRows = 25;
constexpr size_t kKeepOutput = 64 * 1024; // bytes of output searched for a text

// A private window namespace and debug file for the runs, so they neither
// meet a tool already running on the built-in profile nor write into the
// user's state directory.
std::string g_scratch;

struct Child
{
    pid_t pid = -1;
    int master = -1;
    std::string out; // what it wrote lately
    bool eof = false;
};

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool spawn(const std::string& exe, const std::vector<std::string>& extra, Child* c)
{
    struct winsize ws = {};
    ws.ws_row = kRows;
    ws.ws_col = kCols;
    pid_t pid = forkpty(&c->master, nullptr, nullptr, &ws);
    if (pid < 0)
    {
        perror("forkpty");
        return false;
    }
    if (pid == 0)
    {
        setenv("TERM", "xterm-256color", 1);
        setenv("LANG", "C.UTF-8", 1);
        setenv("FWU_RUNTIME_DIR", (g_scratch + "/run").c_str(), 1);
        setenv("XDG_STATE_HOME", (g_scratch + "/state").c_str(), 1);
        std::vector<char*> argv;
        argv.push_back((char*)exe.c_str());
        static char display[] = "--display";
        static char terminal[] = "terminal";
        argv.push_back(display);
        argv.push_back(terminal);
        for (auto& a : extra)
            argv.push_back((char*)a.c_str());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    c->pid = pid;
    fcntl(c->master, F_SETFL, fcntl(c->master, F_GETFL) | O_NONBLOCK);
    return true;
}

// Reads what the child wrote until text appears (true) or the time is up.
bool wait_for(Child* c, const char* text, double timeoutMs)
{
    auto t0 = Clock::now();
    size_t searched = 0;
    for (;;)
    {
        size_t from = searched > strlen(text) ? searched - strlen(text) : 0;
        if (c->out.find(text, from) != std::string::npos)
            return true;
        searched = c->out.size();
        double left = timeoutMs - ms_since(t0);
        if (left <= 0 || c->eof)
            return false;
        struct pollfd p = {c->master, POLLIN, 0};
        int r = poll(&p, 1, (int)std::min(left + 1, 1000.0));
        if (r < 0 && errno != EINTR)
            return false;
        if (r <= 0)
            continue;
        char buf[8192];
        ssize_t n = read(c->master, buf, sizeof buf);
        if (n > 0)
        {
            c->out.append(buf, (size_t)n);
            if (c->out.size() > 2 * kKeepOutput)
            {
                size_t drop = c->out.size() - kKeepOutput;
                c->out.erase(0, drop);
                searched = searched > drop ? searched - drop : 0;
            }
        }
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            c->eof = true; // EIO: the child's side is closed
    }
}

void send(Child* c, const char* bytes)
{
    ssize_t r = write(c->master, bytes, strlen(bytes));
    (void)r;
}

// Reaps the child within timeoutMs, still draining its output; kills it
// after that. Returns the wait status (-1 on failure) and its usage.
int reap(Child* c, double timeoutMs, struct rusage* ru)
{
    auto t0 = Clock::now();
    for (;;)
    {
        int status = 0;
        pid_t r = wait4(c->pid, &status, WNOHANG, ru);
        if (r == c->pid)
        {
            close(c->master);
            return status;
        }
        if (ms_since(t0) > timeoutMs)
        {
            kill(c->pid, SIGKILL);
            wait4(c->pid, &status, 0, ru);
            close(c->master);
            return -1;
        }
        wait_for(c, "\x01\x02never", 20); // drains output, bounded
    }
}

// utime + stime of a process in clock ticks, from /proc.
long cpu_ticks(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    const char* p = strrchr(buf, ')');
    if (!p)
        return -1;
    unsigned long ut = 0, st = 0;
    // Fields after the command: state ppid pgrp session tty tpgid flags minflt cminflt majflt cmajflt utime stime
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2)
        return -1;
    return (long)(ut + st);
}

std::string default_fwutil()
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return "fwutil";
    self[n] = 0;
    std::string dir(self);
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../fwutil";
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

bool make_scratch()
{
    char tmpl[] = "/tmp/fwu-startup-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g_scratch = tmpl;
    return mkdir((g_scratch + "/run").c_str(), 0700) == 0;
}

void remove_scratch()
{
    if (!g_scratch.empty())
        nftw(g_scratch.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

const char* describe(int status, char* buf, size_t size)
{
    if (status == -1)
        snprintf(buf, size, "killed after the time limit");
    else if (WIFEXITED(status))
        snprintf(buf, size, "exit %d", WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        snprintf(buf, size, "signal %d", WTERMSIG(status));
    else
        snprintf(buf, size, "status 0x%x", status);
    return buf;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 10;
    std::string exe = default_fwutil();
    std::vector<std::string> extra;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(1, atoi(argv[++i]));
        else if (a == "--fwutil" && i + 1 < argc)
            exe = argv[++i];
        else if (a == "--")
        {
            for (i++; i < argc; i++)
                extra.push_back(argv[i]);
        }
        else
        {
            fprintf(stderr, "usage: %s [--runs N] [--fwutil PATH] [-- fwutil options]\n", argv[0]);
            return 2;
        }
    }
    if (access(exe.c_str(), X_OK) != 0)
    {
        fprintf(stderr, "no fwutil executable at %s\n", exe.c_str());
        return 2;
    }
    if (!make_scratch())
    {
        perror("scratch directory");
        return 1;
    }
    atexit(remove_scratch);
    printf("fwutil: %s, terminal %dx%d, TERM=xterm-256color\n", exe.c_str(), kCols, kRows);
    char sbuf[64];

    // Start-up: until the title is on the screen; then Ctrl+Q ends it.
    std::vector<double> startup;
    long maxStartRss = 0;
    for (int i = 0; i < runs; i++)
    {
        Child c;
        auto t0 = Clock::now();
        if (!spawn(exe, extra, &c))
            return 1;
        if (!wait_for(&c, "Firmware Utility", 10000))
        {
            fprintf(stderr, "run %d: no title within 10 s\n", i);
            kill(c.pid, SIGKILL);
            struct rusage ru;
            reap(&c, 1000, &ru);
            return 1;
        }
        startup.push_back(ms_since(t0));
        wait_for(&c, "F1 Menu", 2000); // the whole first screen
        send(&c, "\x11");
        struct rusage ru = {};
        int st = reap(&c, 5000, &ru);
        maxStartRss = std::max(maxStartRss, ru.ru_maxrss);
        if (st == -1 || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
            fprintf(stderr, "run %d: Ctrl+Q ended it with %s\n", i, describe(st, sbuf, sizeof sbuf));
    }
    std::sort(startup.begin(), startup.end());
    printf("start to first drawn screen (title shown), %d runs: min %.1f ms, median %.1f ms, max %.1f ms\n", runs,
           startup.front(), startup[startup.size() / 2], startup.back());
    printf("peak resident, start and quit: %.1f MiB\n", maxStartRss / 1024.0);

    // Idle: the tool waits for input; its CPU time over a few seconds.
    {
        Child c;
        if (!spawn(exe, extra, &c) || !wait_for(&c, "F1 Menu", 10000))
            return 1;
        wait_for(&c, "\x01\x02never", 300);
        long before = cpu_ticks(c.pid);
        auto t0 = Clock::now();
        wait_for(&c, "\x01\x02never", 3000);
        long after = cpu_ticks(c.pid);
        double secs = ms_since(t0) / 1000.0;
        long hz = sysconf(_SC_CLK_TCK);
        printf("idle CPU over %.1f s: %ld ticks of 1/%ld s (%.2f %% of a core)\n", secs, after - before, hz,
               100.0 * (double)(after - before) / (double)hz / secs);
        send(&c, "\x11");
        struct rusage ru;
        reap(&c, 5000, &ru);
    }

    // A whole update: F1 opens the menu, Enter picks "Update firmware - Go";
    // Enter answers the success box and the device restarts.
    {
        Child c;
        auto t0 = Clock::now();
        if (!spawn(exe, extra, &c) || !wait_for(&c, "F1 Menu", 10000))
            return 1;
        send(&c, "\x1bOP");
        if (!wait_for(&c, "Update firmware", 5000))
        {
            fprintf(stderr, "the menu did not open\n");
            return 1;
        }
        send(&c, "\r");
        auto tUpdate = Clock::now();
        bool boxed = wait_for(&c, "Reboot", 300000);
        double updateMs = ms_since(tUpdate);
        if (boxed)
            send(&c, "\r");
        else
            fprintf(stderr, "no success box within 300 s\n");
        struct rusage ru = {};
        int st = reap(&c, 10000, &ru);
        printf("update: pick to success box %.0f ms; whole run %.0f ms; ended with %s\n", updateMs, ms_since(t0),
               describe(st, sbuf, sizeof sbuf));
        printf("update: CPU user %.2f s, system %.2f s\n", ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6,
               ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6);
        printf("update: peak resident (VmHWM) %.1f MiB (goal: at most 16 MiB)\n", ru.ru_maxrss / 1024.0);
        if (!boxed)
            return 1;
    }
    return 0;
}
