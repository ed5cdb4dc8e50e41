// fwboard: a flashing line's board. It watches a folder for serial adapters
// (inotify; /dev/serial/by-id by default), starts one `fwutil --station`
// child per adapter that appears, each in its own process group with its own
// record and log, reads the children's progress lines, and shows one row per
// adapter (a terminal table, or one line per event when headless).
//
// One thread, one poll loop: a signalfd (SIGCHLD, SIGTERM, SIGINT, SIGHUP,
// SIGWINCH), the inotify descriptor, the terminal's input and each running
// station's stderr pipe. Nothing polls on a timer except the redraw of a
// running row's clock (once a second) and the deadlines of hung stations.
#include "platform/kernel/trust.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curses.h>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <getopt.h>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitSetup = 3;            // the folder, the output folder or fwutil could not be used
constexpr int kExitFirmwareRefused = 13; // as fwutil's own status for a refused set
constexpr int kRedrawMs = 100;           // at most 10 redraws a second
constexpr int kKillAfterTermS = 10;      // a station that ignores SIGTERM this long gets SIGKILL

const char kUsage[] = "usage: fwboard --firmware SET [options]\n"
                      "Watches a folder for serial adapters and flashes each one that appears with\n"
                      "`fwutil --station`, one process group per adapter; shows one row per adapter.\n"
                      "\n"
                      "  -f, --firmware SET   the firmware set every station sends (a folder, a name,\n"
                      "                       or standin); its name and version head the board\n"
                      "  -w, --watch DIR      the folder of adapters (default /dev/serial/by-id)\n"
                      "  -m, --match GLOB     the adapters' names to take (default *; names that\n"
                      "                       begin with a dot are never taken)\n"
                      "  -p, --profile FILE   the device profile every station uses\n"
                      "  -l, --ledger FILE    passed to every station (when fwutil offers --ledger)\n"
                      "  -o, --out DIR        where the records and logs go (default\n"
                      "                       $XDG_STATE_HOME/fwutil/board); one folder per board run\n"
                      "  -t, --timeout S      each station's time limit, passed to fwutil (default 600)\n"
                      "      --margin S       a station still running S seconds past its time limit\n"
                      "                       is hung: it is killed and fails (default 30)\n"
                      "      --only-new       adapters present at start are not flashed until they\n"
                      "                       are unplugged and plugged in again (or r is pressed)\n"
                      "      --headless       one line per event on stdout, no table (also without\n"
                      "                       a terminal)\n"
                      "      --fwutil PATH    the fwutil to run (default: the one beside fwboard,\n"
                      "                       else fwutil on PATH)\n"
                      "  -h, --help           this text\n"
                      "  -V, --version        the version\n"
                      "\n"
                      "Keys: q quits (asks while stations run: y/n, or Left/Right and Enter),\n"
                      "Up/Down select a row, r retries the selected failed adapter, p pauses and\n"
                      "resumes new starts.\n"
                      "\n"
                      "A flashed or failed adapter is not flashed again until it is unplugged and\n"
                      "plugged in again. SIGTERM or SIGINT stop new starts and the running stations\n"
                      "(SIGTERM to each station's group), wait for them, and end the board.\n"
                      "\n"
                      "Exit status:\n"
                      "  0  the board ended (whatever the stations' results)\n"
                      "  2  bad command line\n"
                      "  3  the folder, the output folder or fwutil could not be used\n"
                      "  13 the firmware set was refused\n";

struct Options
{
    std::string firmware;
    std::string watch = "/dev/serial/by-id";
    std::string match = "*";
    std::string profile;
    std::string ledger;
    std::string out;
    std::string fwutil;
    int timeoutS = 600;
    int marginS = 30;
    bool onlyNew = false;
    bool headless = false;
};

enum class State
{
    Waiting, // plugged in, not started (paused, or present at start with --only-new)
    Running, // its station runs
    Flashed, // its station flashed it
    Failed,  // its station failed (the reason is on the row)
};

struct Adapter
{
    std::string name; // in the watched folder
    bool present = true;
    State state = State::Waiting;
    int runs = 0;
    pid_t pid = -1; // the station's process and group
    int errFd = -1; // its stderr
    int logFd = -1; // its log: stdout and stderr
    std::string partial;
    std::string record, log;
    std::string phase, percent, rate, left, attempt;
    std::string outcome, reason; // from the result line, then the record
    Clock::time_point start, end;
    Clock::time_point termSent; // SIGTERM sent to its group (epoch: not)
    bool hung = false;
    bool stopped = false; // stopped by the board at its end
    long peakKiB = 0;
};

struct Board
{
    Options o;
    std::string fwTitle = "?";
    bool ledgerOk = false;
    std::string session; // this run's folder under --out
    FILE* events = nullptr;
    std::vector<std::unique_ptr<Adapter>> rows;
    int sigFd = -1, inFd = -1, watchWd = -1;
    bool watchingDir = false;
    bool paused = false;
    bool stopping = false;
    bool tui = false;
    bool asking = false; // the quit question is up
    bool askYes = false;
    size_t selected = 0;
    bool dirty = true;
    Clock::time_point lastDraw, boardStart;
    std::chrono::system_clock::time_point wallStart;
    int flashed = 0, failed = 0;
    std::string notice; // a line under the table (the last event that is not a row's)
};

Board g;

double secs(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

std::string clock_text(double s)
{
    char buf[32];
    long t = (long)s;
    if (t >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", t / 3600, t / 60 % 60, t % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", t / 60, t % 60);
    return buf;
}

// One event: a line in the session's board.log, and on stdout when headless.
void event(const Adapter* a, const std::string& what)
{
    char stamp[16];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%H:%M:%S", &tm);
    std::string line = std::string(stamp) + " " + (a != nullptr ? a->name + ": " : "") + what;
    if (g.events != nullptr)
    {
        fprintf(g.events, "%s\n", line.c_str());
        fflush(g.events);
    }
    if (!g.tui)
    {
        printf("fwboard: %s\n", line.c_str());
        fflush(stdout);
    }
    else if (a == nullptr)
        g.notice = line;
    g.dirty = true;
}

// ---------------------------------------------------------------------------
// Running fwutil
// ---------------------------------------------------------------------------

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
    a->start = a->end = Clock::now();
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
        a->reason = "no result " + std::to_string(g.o.marginS) + " s after its time limit of " +
                    std::to_string(g.o.timeoutS) + " s; killed";
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
// Adapters coming and going
// ---------------------------------------------------------------------------
Adapter* find_row(const std::string& name)
{
    for (auto& a : g.rows)
        if (a->name == name)
            return a.get();
    return nullptr;
}

bool may_start()
{
    return !g.paused && !g.stopping;
}

void plugged(const std::string& name, bool atStart)
{
    if (fnmatch(g.o.match.c_str(), name.c_str(), FNM_PERIOD) != 0)
        return;
    Adapter* a = find_row(name);
    if (a != nullptr && a->present)
        return; // seen already (a scan after a create event)
    if (a != nullptr && a->state == State::Running)
    {
        a->present = true;
        event(a, "plugged in again while its station runs: no second station");
        return;
    }
    if (a == nullptr)
    {
        g.rows.push_back(std::make_unique<Adapter>());
        a = g.rows.back().get();
        a->name = name;
    }
    a->present = true;
    a->state = State::Waiting;
    a->outcome.clear();
    a->reason.clear();
    a->phase.clear();
    a->percent.clear();
    if (atStart && g.o.onlyNew)
    {
        a->reason = "present at start: unplug and plug in (or r) to flash";
        event(a, "present at start: not flashed (--only-new)");
        return;
    }
    event(a, atStart ? "present at start" : "plugged in");
    if (may_start())
        start_station(a);
}

void unplugged(const std::string& name)
{
    Adapter* a = find_row(name);
    if (a == nullptr || !a->present)
        return;
    a->present = false;
    event(a, a->state == State::Running ? "unplugged while its station runs" : "unplugged");
    if (a->state == State::Waiting)
    {
        size_t i = 0;
        while (g.rows[i].get() != a)
            i++;
        g.rows.erase(g.rows.begin() + (long)i);
        g.selected = std::min(g.selected, g.rows.empty() ? 0 : g.rows.size() - 1);
    }
}

void all_unplugged()
{
    for (size_t i = g.rows.size(); i-- > 0;)
        unplugged(g.rows[i]->name);
}

// Watches the folder, or (while it is missing, as /dev/serial is with no
// adapter) its deepest existing parent until the folder appears.
bool arm_watch(int ino)
{
    if (g.watchWd >= 0)
        inotify_rm_watch(ino, g.watchWd);
    g.watchWd = -1;
    std::string dir = g.o.watch;
    struct stat st;
    while (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    {
        size_t slash = dir.find_last_of('/');
        if (slash == std::string::npos || dir == "/")
            return false;
        dir = slash == 0 ? "/" : dir.substr(0, slash);
    }
    g.watchingDir = dir == g.o.watch;
    uint32_t mask = g.watchingDir ? IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF
                                  : IN_CREATE | IN_MOVED_TO;
    g.watchWd = inotify_add_watch(ino, dir.c_str(), mask | IN_ONLYDIR);
    if (g.watchWd < 0)
    {
        fprintf(stderr, "fwboard: cannot watch %s: %s\n", dir.c_str(), strerror(errno));
        return false;
    }
    if (!g.watchingDir)
        event(nullptr, "waiting for " + g.o.watch + " (watching " + dir + ")");
    return true;
}

// The adapters in the folder now (at start, or once the folder appeared).
void scan(bool atStart)
{
    if (!g.watchingDir)
        return;
    std::vector<std::string> names;
    if (DIR* d = opendir(g.o.watch.c_str()))
    {
        while (struct dirent* e = readdir(d))
            names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        plugged(n, atStart);
}

void on_inotify(int ino)
{
    alignas(struct inotify_event) char buf[16384];
    for (;;)
    {
        ssize_t n = read(ino, buf, sizeof buf);
        if (n <= 0)
            return;
        bool rearm = false;
        for (char* p = buf; p < buf + n;)
        {
            auto* e = reinterpret_cast<struct inotify_event*>(p);
            p += sizeof(struct inotify_event) + e->len;
            if (e->mask & IN_Q_OVERFLOW)
            {
                rearm = true; // events were lost: look again
                continue;
            }
            if (e->wd != g.watchWd)
                continue;
            if (!g.watchingDir || (e->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)))
            {
                rearm = true;
                continue;
            }
            std::string name = e->len > 0 ? e->name : "";
            if (e->mask & (IN_CREATE | IN_MOVED_TO))
                plugged(name, false);
            else if (e->mask & (IN_DELETE | IN_MOVED_FROM))
                unplugged(name);
        }
        if (rearm)
        {
            bool was = g.watchingDir;
            if (!arm_watch(ino))
            {
                all_unplugged();
                continue;
            }
            if (was && !g.watchingDir)
                all_unplugged(); // the folder went, and every adapter with it
            else
            {
                struct stat st;
                for (auto& a : g.rows)
                    if (a->present && lstat((g.o.watch + "/" + a->name).c_str(), &st) != 0)
                        unplugged(a->name);
                scan(false);
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
            if (now - a->start >= limit)
            {
                a->hung = true;
                a->termSent = now;
                event(a.get(), "hung: still running " + std::to_string(g.o.marginS) +
                                   " s after its time limit; "
                                   "stopping its group");
                kill(-a->pid, SIGTERM);
            }
            else
                next = std::min(next, a->start + limit);
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

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------
double per_hour()
{
    double h = secs(Clock::now() - g.boardStart) / 3600;
    return h > 0 ? g.flashed / h : 0;
}

std::string summary()
{
    char buf[160];
    int waiting = 0;
    for (auto& a : g.rows)
        waiting += a->present && a->state == State::Waiting;
    snprintf(buf, sizeof buf, "flashed %d  failed %d  running %d  waiting %d  %.0f modules an hour", g.flashed,
             g.failed, running_count(), waiting, per_hour());
    return buf;
}

void put(int y, int x, const std::string& text, int width)
{
    if (width <= 0 || y >= LINES)
        return;
    mvaddnstr(y, x, text.c_str(), std::min<int>(width, (int)text.size()));
}

void draw()
{
    erase();
    const int W = COLS;
    attron(A_BOLD);
    put(0, 0,
        "fwboard  firmware: " + g.fwTitle + "  watching " + g.o.watch + " (" + g.o.match + ")" +
            (g.paused ? "  PAUSED" : "") + (g.stopping ? "  STOPPING" : ""),
        W);
    attroff(A_BOLD);
    put(1, 0, summary(), W);
    size_t longest = 4;
    for (auto& a : g.rows)
        longest = std::max(longest, a->name.size());
    const int portW = std::clamp((int)longest, 4, std::max(12, W / 3));
    char head[256];
    snprintf(head, sizeof head, "%-*s %-8s %4s %-11s %5s %7s  %s", portW, "PORT", "PHASE", "%", "RATE", "LEFT",
             "ELAPSED", "RESULT");
    attron(A_UNDERLINE);
    put(3, 0, head, W);
    attroff(A_UNDERLINE);
    const int top = 4, bottom = LINES - 2; // rows top..bottom-1; the notice and keys below
    const int visible = std::max(1, bottom - top);
    size_t first = g.selected >= (size_t)visible ? g.selected - visible + 1 : 0;
    for (size_t i = first; i < g.rows.size() && (int)(i - first) < visible; i++)
    {
        const Adapter& a = *g.rows[i];
        double el = a.state == State::Running ? secs(Clock::now() - a.start) : (a.runs > 0 ? secs(a.end - a.start) : 0);
        std::string result;
        if (a.state == State::Flashed)
            result = "flashed";
        else if (a.state == State::Failed)
            result = "FAILED " + a.outcome + ": " + a.reason;
        else if (a.state == State::Waiting)
            result = a.reason.empty() ? (g.paused ? "waiting (paused)" : "waiting") : a.reason;
        else if (!a.attempt.empty())
            result = "attempt " + a.attempt;
        if (!a.present)
            result += a.state == State::Running ? "  (unplugged)" : "  (unplugged: plug in to flash)";
        std::string name = a.name.size() > (size_t)portW ? "~" + a.name.substr(a.name.size() - portW + 1) : a.name;
        char row[512];
        snprintf(row, sizeof row, "%-*s %-8.8s %4s %-11.11s %5s %7s  ", portW, name.c_str(), a.phase.c_str(),
                 a.percent.c_str(), a.rate.c_str(), a.left.c_str(), a.runs > 0 ? clock_text(el).c_str() : "");
        int y = top + (int)(i - first);
        if (i == g.selected)
            attron(A_REVERSE);
        put(y, 0, row, W);
        int color = a.state == State::Flashed ? 1 : a.state == State::Failed ? 2 : 0;
        if (color != 0 && has_colors())
            attron(COLOR_PAIR(color));
        put(y, (int)strlen(row), result, W - (int)strlen(row));
        if (color != 0 && has_colors())
            attroff(COLOR_PAIR(color));
        if (i == g.selected)
            attroff(A_REVERSE);
    }
    if (g.rows.empty())
        put(top, 0, "no adapter yet: plug one in", W);
    put(LINES - 2, 0, g.notice, W);
    if (g.asking)
    {
        std::string q = "Stations running: " + std::to_string(running_count()) + ". Stop them and quit? ";
        put(LINES - 1, 0, q, W);
        int x = (int)q.size();
        if (g.askYes)
            attron(A_REVERSE);
        put(LINES - 1, x, "[ Yes ]", W - x);
        if (g.askYes)
            attroff(A_REVERSE);
        if (!g.askYes)
            attron(A_REVERSE);
        put(LINES - 1, x + 8, "[ No ]", W - x - 8);
        if (!g.askYes)
            attroff(A_REVERSE);
    }
    else
        put(LINES - 1, 0, "q quit  r retry the selected port  p pause/resume new starts  Up/Down select", W);
    refresh();
}

// Returns true when the board should end (quit asked and no station runs).
void on_key(int ch)
{
    if (g.asking)
    {
        if (ch == 'y' || ch == 'Y' || ((ch == '\n' || ch == '\r' || ch == KEY_ENTER) && g.askYes))
        {
            g.asking = false;
            stop_all();
        }
        else if (ch == 'n' || ch == 'N' || ch == 27 || ch == '\n' || ch == '\r' || ch == KEY_ENTER)
            g.asking = false;
        else if (ch == KEY_LEFT || ch == KEY_RIGHT || ch == '\t')
            g.askYes = !g.askYes;
        g.dirty = true;
        return;
    }
    switch (ch)
    {
        case 'q':
        case 'Q':
            if (running_count() > 0)
            {
                g.asking = true;
                g.askYes = false;
            }
            else
                stop_all();
            break;
        case 'r':
        case 'R':
            retry_selected();
            break;
        case 'p':
        case 'P':
            if (!g.stopping)
                set_paused(!g.paused);
            break;
        case KEY_UP:
            g.selected = g.selected > 0 ? g.selected - 1 : 0;
            break;
        case KEY_DOWN:
            g.selected = g.selected + 1 < g.rows.size() ? g.selected + 1 : g.selected;
            break;
        default:
            return;
    }
    g.dirty = true;
}

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
int parse(int argc, char** argv)
{
    enum
    {
        kOptMargin = 256,
        kOptOnlyNew,
        kOptHeadless,
        kOptFwutil,
    };
    static const struct option longs[] = {
        {"firmware", required_argument, nullptr, 'f'},
        {"watch", required_argument, nullptr, 'w'},
        {"match", required_argument, nullptr, 'm'},
        {"profile", required_argument, nullptr, 'p'},
        {"ledger", required_argument, nullptr, 'l'},
        {"out", required_argument, nullptr, 'o'},
        {"timeout", required_argument, nullptr, 't'},
        {"margin", required_argument, nullptr, kOptMargin},
        {"only-new", no_argument, nullptr, kOptOnlyNew},
        {"headless", no_argument, nullptr, kOptHeadless},
        {"fwutil", required_argument, nullptr, kOptFwutil},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "f:w:m:p:l:o:t:hV", longs, nullptr)) != -1)
    {
        char* end = nullptr;
        switch (c)
        {
            case 'f':
                g.o.firmware = optarg;
                break;
            case 'w':
                g.o.watch = optarg;
                while (g.o.watch.size() > 1 && g.o.watch.back() == '/')
                    g.o.watch.pop_back();
                break;
            case 'm':
                g.o.match = optarg;
                break;
            case 'p':
                g.o.profile = optarg;
                break;
            case 'l':
                g.o.ledger = optarg;
                break;
            case 'o':
                g.o.out = optarg;
                break;
            case 't':
            case kOptMargin:
            {
                long v = strtol(optarg, &end, 10);
                if (end == optarg || *end != 0 || v < 1 || v > 86400)
                {
                    fprintf(stderr, "fwboard: --%s wants seconds, 1 to 86400: %s\n", c == 't' ? "timeout" : "margin",
                            optarg);
                    return kExitUsage;
                }
                (c == 't' ? g.o.timeoutS : g.o.marginS) = (int)v;
                break;
            }
            case kOptOnlyNew:
                g.o.onlyNew = true;
                break;
            case kOptHeadless:
                g.o.headless = true;
                break;
            case kOptFwutil:
                g.o.fwutil = optarg;
                break;
            case 'h':
                fputs(kUsage, stdout);
                exit(kExitOk);
            case 'V':
                printf("fwboard %s\n", FWU_VERSION);
                exit(kExitOk);
            default:
                fprintf(stderr, "%s", "Try 'fwboard --help'.\n");
                return kExitUsage;
        }
    }
    if (optind < argc)
    {
        fprintf(stderr, "fwboard: unexpected argument: %s\nTry 'fwboard --help'.\n", argv[optind]);
        return kExitUsage;
    }
    if (g.o.firmware.empty())
    {
        fprintf(stderr, "fwboard: --firmware SET is needed: every station sends the same set\n"
                        "Try 'fwboard --help'.\n");
        return kExitUsage;
    }
    return kExitOk;
}

int setup_paths()
{
    if (g.o.fwutil.empty())
    {
        char self[4096];
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        std::string beside = n > 0 ? std::string(self, (size_t)n) : "";
        beside = beside.substr(0, beside.find_last_of('/') + 1) + "fwutil";
        g.o.fwutil = n > 0 && access(beside.c_str(), X_OK) == 0 ? beside : "fwutil";
    }
    std::string why;
    if (g.o.fwutil.find('/') != std::string::npos && !plat::path_trusted(g.o.fwutil, plat::TrustKind::File, &why))
    {
        fprintf(stderr, "fwboard: will not run %s: %s\n", g.o.fwutil.c_str(), why.c_str());
        return kExitSetup;
    }
    if (g.o.out.empty())
    {
        const char* state = getenv("XDG_STATE_HOME");
        const char* home = getenv("HOME");
        std::string base =
            state != nullptr && state[0] == '/' ? state : std::string(home != nullptr ? home : "") + "/.local/state";
        for (const std::string& d : {base, base + "/fwutil", base + "/fwutil/board"})
            mkdir(d.c_str(), 0700);
        g.o.out = base + "/fwutil/board";
    }
    else
        mkdir(g.o.out.c_str(), 0700);
    if (!plat::path_trusted(g.o.out, plat::TrustKind::Folder, &why))
    {
        fprintf(stderr, "fwboard: will not write records to %s: %s\n", g.o.out.c_str(), why.c_str());
        return kExitSetup;
    }
    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    g.session = g.o.out + "/" + stamp + "-" + std::to_string(getpid());
    if (mkdir(g.session.c_str(), 0700) != 0)
    {
        fprintf(stderr, "fwboard: cannot make %s: %s\n", g.session.c_str(), strerror(errno));
        return kExitSetup;
    }
    g.events = fopen((g.session + "/board.log").c_str(), "we");
    // Two descriptors a station (its stderr pipe, its log) and the children's own.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max)
    {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    return kExitOk;
}

void start_terminal()
{
    g.tui = !g.o.headless && isatty(0) && isatty(1);
    if (!g.tui)
        return;
    if (newterm(nullptr, stdout, stdin) == nullptr)
    {
        g.tui = false;
        fprintf(stderr, "fwboard: the terminal cannot be drawn on: headless\n");
        return;
    }
    const char* term = getenv("TERM");
    if (term == nullptr || tigetstr(const_cast<char*>("cup")) == nullptr || strcmp(term, "dumb") == 0)
    {
        endwin();
        g.tui = false;
        fprintf(stderr, "fwboard: the terminal (TERM=%s) cannot place the cursor: headless\n",
                term != nullptr ? term : "");
        return;
    }
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    if (has_colors())
    {
        start_color();
        use_default_colors();
        init_pair(1, COLOR_GREEN, -1);
        init_pair(2, COLOR_RED, -1);
    }
}

void on_resize()
{
    struct winsize ws;
    if (ioctl(1, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
        resizeterm(ws.ws_row, ws.ws_col);
    g.dirty = true;
}

} // namespace

int main(int argc, char** argv)
{
    setlocale(LC_ALL, "");
    int rc = parse(argc, argv);
    if (rc != kExitOk)
        return rc;
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP, SIGWINCH})
        sigaddset(&sigs, s);
    sigprocmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if ((rc = setup_paths()) != kExitOk || (rc = check_firmware()) != kExitOk)
        return rc;
    g.sigFd = signalfd(-1, &sigs, SFD_NONBLOCK | SFD_CLOEXEC);
    int ino = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (g.sigFd < 0 || ino < 0)
    {
        fprintf(stderr, "fwboard: signalfd or inotify_init1: %s\n", strerror(errno));
        return kExitSetup;
    }
    g.boardStart = Clock::now();
    start_terminal();
    event(nullptr, "firmware " + g.fwTitle + "; watching " + g.o.watch + " for " + g.o.match +
                       "; records and logs in " + g.session);
    if (!arm_watch(ino))
    {
        if (g.tui)
            endwin();
        fprintf(stderr, "fwboard: cannot watch %s or any folder above it\n", g.o.watch.c_str());
        return kExitSetup;
    }
    scan(true);
    std::vector<struct pollfd> fds;
    std::vector<Adapter*> owners;
    while (!(g.stopping && running_count() == 0))
    {
        int wait = check_deadlines();
        if (g.tui && g.dirty)
        {
            int since = (int)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g.lastDraw).count();
            if (since >= kRedrawMs)
            {
                draw();
                g.dirty = false;
                g.lastDraw = Clock::now();
            }
            else
                wait = std::min(wait, kRedrawMs - since);
        }
        if (g.tui && running_count() > 0)
            wait = std::min(wait, 1000); // the running rows' clocks
        fds.clear();
        owners.clear();
        fds.push_back({g.sigFd, POLLIN, 0});
        fds.push_back({ino, POLLIN, 0});
        fds.push_back({g.tui ? 0 : -1, POLLIN, 0});
        for (auto& a : g.rows)
        {
            if (a->errFd >= 0)
            {
                fds.push_back({a->errFd, POLLIN, 0});
                owners.push_back(a.get());
            }
        }
        int n = poll(fds.data(), fds.size(), wait);
        if (g.tui && n == 0 && running_count() > 0)
            g.dirty = true;
        if (n <= 0)
            continue;
        for (size_t i = 3; i < fds.size(); i++)
        {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
            {
                read_station(owners[i - 3]);
                if (fds[i].revents & (POLLHUP | POLLERR) && !(fds[i].revents & POLLIN))
                {
                    // Its write end is gone but the station lives on (it closed stderr): stop watching the pipe.
                    close(owners[i - 3]->errFd);
                    owners[i - 3]->errFd = -1;
                }
            }
        }
        if (fds[0].revents & POLLIN)
        {
            struct signalfd_siginfo si;
            while (read(g.sigFd, &si, sizeof si) == (ssize_t)sizeof si)
            {
                if (si.ssi_signo == SIGCHLD)
                    reap();
                else if (si.ssi_signo == SIGWINCH)
                    on_resize();
                else
                {
                    if (g.stopping) // a second stop: no more waiting
                        for (auto& a : g.rows)
                            if (a->state == State::Running)
                                kill(-a->pid, SIGKILL);
                    stop_all();
                }
            }
            reap(); // signals merge: look for every ended child
        }
        if (fds[1].revents & POLLIN)
            on_inotify(ino);
        if (g.tui && (fds[2].revents & POLLIN))
        {
            int ch;
            while ((ch = getch()) != ERR)
                on_key(ch);
        }
    }
    if (g.tui)
    {
        draw();
        endwin();
    }
    struct rusage self;
    getrusage(RUSAGE_SELF, &self);
    double cpu = self.ru_utime.tv_sec + self.ru_stime.tv_sec + (self.ru_utime.tv_usec + self.ru_stime.tv_usec) / 1e6;
    double wall = secs(Clock::now() - g.boardStart);
    char tail[128];
    snprintf(tail, sizeof tail, "; the board's CPU %.2f s in %.1f s (%.2f %% of a core)", cpu, wall,
             wall > 0 ? 100 * cpu / wall : 0);
    g.tui = false;
    event(nullptr, "ended: " + summary() + tail);
    return kExitOk;
}
