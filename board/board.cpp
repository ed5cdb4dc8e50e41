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
#include "board/board.h"
#include "platform/kernel/trust.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curses.h>
#include <dirent.h>
#include <fnmatch.h>
#include <getopt.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace board
{

Board g;

namespace
{

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
                      "      --margin S       a station silent on stderr for its time limit and S\n"
                      "                       seconds more is hung: it is killed and fails (default 30)\n"
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

} // namespace
} // namespace board

int main(int argc, char** argv)
{
    using namespace board;
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
    char tail[160];
    int n = snprintf(tail, sizeof tail, "; the board's CPU %.2f s in %.1f s (%.2f %% of a core)", cpu, wall,
                     wall > 0 ? 100 * cpu / wall : 0);
    if (g.draws > 0)
        snprintf(tail + n, sizeof tail - (size_t)n, "; the table drawn %d times", g.draws);
    g.tui = false;
    event(nullptr, "ended: " + summary() + tail);
    return kExitOk;
}
