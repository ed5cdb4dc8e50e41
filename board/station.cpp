// The station children: fwutil runs to its end for the set's check, the
// stations spawned one process group each, their progress lines and records
// read into their rows, hung and crashed stations, and stopping them all.
#include "board/board.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace board
{
namespace
{

// Runs fwutil with args to its end; its stdout (and stderr, when err is given).
int run_capture(const std::vector<std::string>& args, std::string* out, std::string* err)
{
    int po[2], pe[2];
    if (pipe2(po, O_CLOEXEC) != 0 || pipe2(pe, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, po[1], 1);
    posix_spawn_file_actions_adddup2(&fa, pe[1], 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, &at, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    close(po[1]);
    close(pe[1]);
    struct pollfd p[2] = {{po[0], POLLIN, 0}, {pe[0], POLLIN, 0}};
    std::string* into[2] = {out, err};
    int open = rc == 0 ? 2 : 0;
    while (open > 0 && poll(p, 2, -1) > 0)
    {
        for (int i = 0; i < 2; i++)
        {
            if (p[i].fd < 0 || p[i].revents == 0)
                continue;
            char buf[4096];
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n > 0 && into[i] != nullptr)
                into[i]->append(buf, (size_t)n);
            if (n == 0 || (n < 0 && errno != EINTR))
            {
                close(p[i].fd);
                p[i].fd = -1;
                open--;
            }
        }
    }
    for (auto& q : p)
        if (q.fd >= 0)
            close(q.fd);
    if (rc != 0)
    {
        if (err != nullptr)
            *err = args[0] + ": " + strerror(rc);
        return -1;
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
    {
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

std::string field_line(const std::string& text, const std::string& key)
{
    size_t at = text.find("\n" + key);
    at = text.compare(0, key.size(), key) == 0 ? 0 : (at == std::string::npos ? at : at + 1);
    if (at == std::string::npos)
        return "";
    at += key.size();
    return text.substr(at, text.find('\n', at) - at);
}

} // namespace

// The set's name and version, from `fwutil --check-firmware SET`.
int check_firmware()
{
    std::string out, err;
    int st = run_capture({g.o.fwutil, "--check-firmware", g.o.firmware}, &out, &err);
    if (st != 0)
    {
        while (!err.empty() && err.back() == '\n')
            err.pop_back();
        fprintf(stderr, "fwboard: the firmware set %s: %s (fwutil --check-firmware, status %d)\n", g.o.firmware.c_str(),
                err.empty() ? "refused" : err.c_str(), st);
        return st == kExitFirmwareRefused ? kExitFirmwareRefused : kExitSetup;
    }
    std::string name = field_line(out, "name: "), version = field_line(out, "version: ");
    if (name.empty() || name == "(none)")
        g.fwTitle = g.o.firmware == "standin" ? "stand-in images" : "unnamed set (" + g.o.firmware + ")";
    else
        g.fwTitle = name + (version.empty() || version == "(none)" ? "" : " " + version);
    if (!g.o.ledger.empty())
    {
        std::string help;
        run_capture({g.o.fwutil, "--help"}, &help, nullptr);
        g.ledgerOk = help.find("--ledger") != std::string::npos;
        if (!g.ledgerOk)
            fprintf(stderr, "fwboard: %s has no --ledger: the stations write their records only\n", g.o.fwutil.c_str());
    }
    return kExitOk;
}

void start_station(Adapter* a)
{
    a->runs++;
    std::string base = g.session + "/" + a->name + "-" + std::to_string(a->runs);
    a->record = base + ".json";
    a->log = base + ".log";
    a->phase = "start";
    a->percent.clear();
    a->rate.clear();
    a->left.clear();
    a->attempt.clear();
    a->outcome.clear();
    a->reason.clear();
    a->partial.clear();
    a->hung = a->stopped = false;
    a->termSent = Clock::time_point();
    a->peakKiB = 0;
    a->start = a->end = a->lastOutput = Clock::now();
    a->state = State::Failed;
    int pe[2];
    a->logFd = open(a->log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (a->logFd < 0 || pipe2(pe, O_CLOEXEC) != 0)
    {
        a->outcome = "start-failed";
        a->reason = "cannot make " + a->log + ": " + strerror(errno);
        if (a->logFd >= 0)
            close(a->logFd);
        a->logFd = -1;
        g.failed++;
        event(a, "failed: " + a->reason);
        return;
    }
    std::vector<std::string> args = {
        g.o.fwutil,   "--station",  "--port",    g.o.watch + "/" + a->name,   "--report", a->record,
        "--firmware", g.o.firmware, "--timeout", std::to_string(g.o.timeoutS)};
    if (!g.o.profile.empty())
        args.insert(args.end(), {"--profile", g.o.profile});
    if (g.ledgerOk)
        args.insert(args.end(), {"--ledger", g.o.ledger});
    std::vector<char*> argv;
    for (const std::string& s : args)
        argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, a->logFd, 1);
    posix_spawn_file_actions_adddup2(&fa, pe[1], 2);
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    sigset_t none, dflt;
    sigemptyset(&none);
    sigemptyset(&dflt);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGWINCH, SIGPIPE})
        sigaddset(&dflt, s);
    posix_spawnattr_setsigmask(&at, &none);
    posix_spawnattr_setsigdefault(&at, &dflt);
    posix_spawnattr_setpgroup(&at, 0); // a group of its own: one station's end touches no other
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, argv[0], &fa, &at, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&at);
    close(pe[1]);
    if (rc != 0)
    {
        close(pe[0]);
        close(a->logFd);
        a->logFd = -1;
        a->outcome = "start-failed";
        a->reason = g.o.fwutil + ": " + strerror(rc);
        g.failed++;
        event(a, "failed: " + a->reason);
        return;
    }
    fcntl(pe[0], F_SETFL, O_NONBLOCK);
    a->pid = pid;
    a->errFd = pe[0];
    a->state = State::Running;
    event(a, "start, pid " + std::to_string(pid) + ", record " + a->record + ", log " + a->log);
}
namespace
{

// One of fwutil's progress lines (its "fwutil: " taken off).
void progress(Adapter* a, const std::string& line)
{
    const std::string image = "image ", phase = "phase ", attempt = "attempt ", result = "result: ";
    if (line.compare(0, image.size(), image) == 0)
    {
        // "image 40%  676.6 kB/s  0:03 left"
        a->phase = "image";
        std::string rest = line.substr(image.size());
        size_t pc = rest.find('%');
        a->percent = rest.substr(0, pc == std::string::npos ? 0 : pc + 1);
        size_t two = rest.find("  ");
        size_t three = two == std::string::npos ? two : rest.find("  ", two + 2);
        a->rate = two == std::string::npos ? "" : rest.substr(two + 2, three - two - 2);
        std::string left = three == std::string::npos ? "" : rest.substr(three + 2);
        a->left = left.size() > 5 ? left.substr(0, left.size() - 5) : left; // " left"
        event(a, line);
    }
    else if (line.compare(0, phase.size(), phase) == 0)
    {
        a->phase = line.substr(phase.size());
        if (a->phase != "image")
            a->left.clear();
        event(a, line);
    }
    else if (line.compare(0, attempt.size(), attempt) == 0)
    {
        a->attempt = line.substr(attempt.size());
        event(a, line);
    }
    else if (line.compare(0, result.size(), result) == 0)
    {
        // "result: OUTCOME, port P, T s[, reason: ...]"
        std::string rest = line.substr(result.size());
        a->outcome = rest.substr(0, rest.find(','));
        size_t r = rest.find(", reason: ");
        a->reason = r == std::string::npos ? "" : rest.substr(r + 10);
    }
}
} // namespace

void read_station(Adapter* a)
{
    char buf[4096];
    for (;;)
    {
        ssize_t n = read(a->errFd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        a->lastOutput = Clock::now();
        if (a->logFd >= 0 && write(a->logFd, buf, (size_t)n) != n)
        {
            // A full disk: the row still shows what the station says.
        }
        a->partial.append(buf, (size_t)n);
        size_t nl;
        while ((nl = a->partial.find('\n')) != std::string::npos)
        {
            std::string line = a->partial.substr(0, nl);
            a->partial.erase(0, nl + 1);
            if (line.compare(0, 8, "fwutil: ") == 0)
                progress(a, line.substr(8));
        }
        g.dirty = true;
    }
}
namespace
{

// The JSON record's string for key, unescaped enough for a row; found tells
// whether the key is there.
std::string json_string(const std::string& text, const std::string& key, bool* found)
{
    size_t at = text.find("\"" + key + "\": ");
    *found = at != std::string::npos;
    if (!*found)
        return "";
    at += key.size() + 4;
    if (text.compare(at, 4, "null") == 0 || text[at] != '"')
        return "";
    std::string out;
    for (size_t i = at + 1; i < text.size() && text[i] != '"'; i++)
    {
        if (text[i] == '\\' && i + 1 < text.size())
            i++;
        out += text[i];
    }
    return out;
}

std::string signal_text(int sig)
{
    const char* abbrev = sigabbrev_np(sig);
    return std::to_string(sig) + (abbrev != nullptr ? std::string(" (SIG") + abbrev + ")" : "");
}

// The station ended with status st: its row's result, from how it ended and its record.
void finish(Adapter* a, int st, const struct rusage& ru)
{
    read_station(a); // what it wrote last
    close(a->errFd);
    a->errFd = -1;
    if (!a->partial.empty() && a->partial.compare(0, 8, "fwutil: ") == 0)
        progress(a, a->partial.substr(8));
    if (a->logFd >= 0)
        close(a->logFd);
    a->logFd = -1;
    kill(-a->pid, SIGKILL); // nothing of the station outlives it (a control's command, say)
    a->pid = -1;
    a->end = Clock::now();
    a->peakKiB = ru.ru_maxrss;
    std::string text;
    FILE* f = fopen(a->record.c_str(), "re");
    if (f != nullptr)
    {
        char buf[8192];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
    }
    bool hasOutcome = false, hasReason = false;
    std::string outcome = json_string(text, "outcome", &hasOutcome);
    std::string reason = json_string(text, "reason", &hasReason);
    bool ok = false;
    if (a->hung)
    {
        a->outcome = "hung";
        a->reason = "silent for " + std::to_string(g.o.timeoutS + g.o.marginS) + " s (its time limit of " +
                    std::to_string(g.o.timeoutS) + " s and " + std::to_string(g.o.marginS) + " s more); killed";
    }
    else if (WIFSIGNALED(st))
    {
        a->outcome = "crashed";
        a->reason = "killed by signal " + signal_text(WTERMSIG(st)) + (a->stopped ? ", stopping the board" : "");
    }
    else if (!hasOutcome)
    {
        std::string said = a->outcome.empty() ? "" : "; its result line said " + a->outcome;
        said += a->reason.empty() || said.empty() ? "" : ": " + a->reason;
        a->outcome = "no-record";
        a->reason = "exit status " + std::to_string(WEXITSTATUS(st)) + ", no record in " + a->record + said;
    }
    else
    {
        a->outcome = outcome;
        a->reason = hasReason && !reason.empty() ? reason : a->reason;
        ok = outcome == "flashed" && WEXITSTATUS(st) == 0;
        if (!ok && a->reason.empty())
            a->reason = "exit status " + std::to_string(WEXITSTATUS(st));
    }
    a->state = ok ? State::Flashed : State::Failed;
    a->phase = "end";
    a->rate.clear();
    a->left.clear();
    (ok ? g.flashed : g.failed)++;
    char tail[96];
    double cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    snprintf(tail, sizeof tail, "after %.1f s, peak RSS %ld KiB, CPU %.2f s", secs(a->end - a->start), a->peakKiB, cpu);
    event(a, ok ? std::string("flashed, ") + tail : "failed: " + a->outcome + ": " + a->reason + ", " + tail);
    if (!a->present)
        event(a, "unplugged while its station ran: flashed again when plugged in");
}
} // namespace

void reap()
{
    for (;;)
    {
        int st = 0;
        struct rusage ru = {};
        pid_t pid = wait4(-1, &st, WNOHANG, &ru);
        if (pid <= 0)
            return;
        for (auto& a : g.rows)
        {
            if (a->pid == pid)
            {
                finish(a.get(), st, ru);
                break;
            }
        }
    }
}
// ---------------------------------------------------------------------------
// Stopping
// ---------------------------------------------------------------------------
int running_count()
{
    int n = 0;
    for (auto& a : g.rows)
        n += a->state == State::Running;
    return n;
}

void stop_all()
{
    if (!g.stopping)
        event(nullptr, "stopping: " + std::to_string(running_count()) + " stations running");
    g.stopping = true;
    for (auto& a : g.rows)
    {
        if (a->state == State::Running && a->termSent == Clock::time_point())
        {
            a->stopped = true;
            a->termSent = Clock::now();
            kill(-a->pid, SIGTERM);
        }
    }
}

void retry_selected()
{
    if (g.selected >= g.rows.size() || g.stopping)
        return;
    Adapter* a = g.rows[g.selected].get();
    if (!a->present || a->state == State::Running || a->state == State::Flashed)
        return;
    if (a->state == State::Failed)
        g.failed--;
    event(a, "retry");
    start_station(a);
}

void set_paused(bool on)
{
    g.paused = on;
    event(nullptr, on ? "paused: no new stations" : "resumed");
    if (on)
        return;
    for (auto& a : g.rows)
        if (a->present && a->state == State::Waiting && a->reason.empty())
            start_station(a.get());
}

// Deadlines: a hung station's kill, a stopped one's SIGKILL. The next one, in ms.
// A station is hung once it has said nothing on stderr for its own time limit
// and the margin: one that keeps writing its progress lines is never hung,
// however long it runs, and one that falls silent is, however young.
int check_deadlines()
{
    Clock::time_point now = Clock::now(), next = now + std::chrono::hours(1);
    auto limit = std::chrono::seconds(g.o.timeoutS + g.o.marginS);
    for (auto& a : g.rows)
    {
        if (a->state != State::Running)
            continue;
        if (a->termSent == Clock::time_point())
        {
            if (now - a->lastOutput >= limit)
            {
                a->hung = true;
                a->termSent = now;
                event(a.get(),
                      "hung: silent for " + std::to_string(g.o.timeoutS + g.o.marginS) + " s; stopping its group");
                kill(-a->pid, SIGTERM);
            }
            else
                next = std::min(next, a->lastOutput + limit);
        }
        if (a->termSent != Clock::time_point())
        {
            auto kill_at = a->termSent + std::chrono::seconds(kKillAfterTermS);
            if (now >= kill_at)
                kill(-a->pid, SIGKILL);
            else
                next = std::min(next, kill_at);
        }
    }
    return (int)std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
}
} // namespace board
