// A flashing station on one machine: N stations at once, each a separate
// `fwutil --station --port PTY --firmware standin --report FILE` against its own paced
// `fwsim --pty`, whose module reset is a per-station profile's
// "RIL1:"="cmd:kill -USR1 PID". Measured in one run, since the machine is
// shared and noisy:
//   - each concurrent station's image phase (the record's "image" phase) over
//     its line-rate limit (image bytes x bits per byte / baud); goal <= 1.01;
//   - the summed CPU (user + sys from wait4) of the N concurrent tools over the
//     summed CPU of N single runs made one after another in the same program
//     (half before the concurrent run, half after); goal <= 1.2;
//   - every exit status (0: flashed and restarted), and that no debug log or
//     record mixes two devices: each names its own port and no other pty.
// Prints figures; it is a program, never a test. Exit status 1 when a run
// failed or a log or record names another device, 0 otherwise.
//
//   station_bench [--stations N] [--baud B] [--bits N] [--limit SECONDS] [--keep]
//     --stations  stations at once, and single runs (default 8)
//     --baud      the simulators' pace (default 921600: about 5 minutes in all)
//     --bits      bits per byte the simulators pace at (default 11, fwsim's own)
//     --limit     bound on each run, seconds (default 600)
//     --keep      keep the scratch folder (profiles, records, logs) and name it
#include "tests/support/bench_support.h"
#include "tests/support/process_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <set>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

using namespace benchsupport;

using Clock = std::chrono::steady_clock;

// The embedded image and its blocks, each acknowledged with 0xAA.
constexpr long kImageBytes = 2490264;
constexpr long kBlockBytes = 4000;

struct Options
{
    int stations = 8;
    long baud = 921600;
    int bits = 11;
    int limitS = 600;
    bool keep = false;
};

// One station: its simulator, its profile, its tool and what they left.
struct Station
{
    std::string label; // "c3" (concurrent) or "s3" (single)
    BenchSim sim;
    pid_t resetPid = -1; // the simulator the profile's reset signals
    std::string profile, record, out, err;
    pid_t toolPid = -1;
    Clock::time_point started;
    int status = -1; // exit code, 128 + signal, -1 when killed at the limit
    double wallS = 0;
    double cpuMs = 0;
    // From the record.
    long imageMs = -1;
    long imageBytes = -1;
    std::string sha256;
    std::string log;
    // Checks.
    bool ownOnly = false;
    std::string mixNote;
    bool simFlashed = false;
    std::string simHash;
};

std::string g_dir;
std::string g_fwutil, g_fwsim;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool start_sim(Station* s, const Options& o)
{
    return bench_sim_start(&s->sim, g_fwsim, g_dir + "/" + s->label + "-fwsim.err", o.baud, o.bits);
}

// Stops the simulator and keeps its report.
void stop_sim(Station* s)
{
    if (s->sim.pid <= 0)
        return;
    bench_sim_stop(&s->sim);
    size_t at = s->sim.text.find("flashed          yes");
    s->simFlashed = at != std::string::npos && s->sim.text.find("violations       0") != std::string::npos;
    size_t hash = s->sim.text.find("hash ", at == std::string::npos ? 0 : at);
    if (at != std::string::npos && hash != std::string::npos)
        s->simHash = s->sim.text.substr(hash + 5, s->sim.text.find('\n', hash) - hash - 5);
}

// profiles/pty.reg with the module reset reaching this station's simulator.
// "COM1:" keeps the profile's placeholder: --port stands behind it.
bool write_profile(Station* s)
{
    s->profile = g_dir + "/" + s->label + ".reg";
    std::ofstream f(s->profile);
    f << "REGEDIT4\n\n"
         "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:00000001\n\n"
         "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2]\n\"Index\"=dword:00000004\n\n"
         "[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
         "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n"
         "\"COM1:\"=\"tty:/dev/pts/N\"\n\"COM3:\"=\"pty\"\n\"COM4:\"=\"pty\"\n\"COM5:\"=\"pty\"\n"
         "\"RIL1:\"=\"cmd:kill -USR1 "
      << s->sim.pid << "\"\n";
    s->resetPid = s->sim.pid;
    return (bool)f;
}

bool start_tool(Station* s, const Options& o)
{
    s->record = g_dir + "/" + s->label + ".json";
    s->out = g_dir + "/" + s->label + ".out";
    s->err = g_dir + "/" + s->label + ".err";
    int out = open(s->out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err = open(s->err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    s->started = Clock::now();
    // The simulator's pty is a real port: the stand-ins go only when asked for by name.
    s->toolPid = bench_spawn({g_fwutil, "--station", "--profile", s->profile, "--port", s->sim.pty, "--report",
                              s->record, "--timeout", std::to_string(o.limitS), "--firmware", "standin"},
                             out, err);
    close(out);
    close(err);
    return s->toolPid > 0;
}

// Reaps the stations' tools as they end (SIGCHLD is blocked and waited for,
// so nothing spins); kills those still running at the limit.
void wait_tools(const std::vector<Station*>& group, int limitS)
{
    auto deadline = Clock::now() + std::chrono::seconds(limitS + 30);
    size_t left = group.size();
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    while (left > 0)
    {
        for (Station* s : group)
        {
            int st = 0;
            struct rusage ru = {};
            if (s->toolPid <= 0 || wait4(s->toolPid, &st, WNOHANG, &ru) != s->toolPid)
                continue;
            s->wallS = seconds_since(s->started);
            s->status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            s->cpuMs =
                (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
            s->toolPid = -1;
            left--;
        }
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left == 0 || ms <= 0)
            break;
        struct timespec ts = {(time_t)std::min<long long>(ms / 1000, 1), 0};
        sigtimedwait(&chld, nullptr, &ts);
    }
    for (Station* s : group)
    {
        if (s->toolPid > 0)
        {
            fprintf(stderr, "station_bench: %s did not end within %d s: killed\n", s->label.c_str(), limitS + 30);
            kill(s->toolPid, SIGKILL);
            waitpid(s->toolPid, nullptr, 0);
            s->toolPid = -1;
        }
    }
}

// Every /dev/pts/N in text, whole numbers only.
std::set<std::string> pty_paths(const std::string& text)
{
    std::set<std::string> paths;
    const std::string prefix = "/dev/pts/";
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
    {
        size_t end = at + prefix.size();
        while (end < text.size() && isdigit((unsigned char)text[end]))
            end++;
        if (end > at + prefix.size())
            paths.insert(text.substr(at, end - at));
    }
    return paths;
}

// Reads the record and checks the record and the log against the group: each
// names this station's port (and its own simulator's reset) and no other pty.
void check(Station* s, const std::vector<Station*>& group)
{
    std::string record = bench_read_file(s->record);
    size_t image = record.find("{\"name\": \"image\"");
    s->imageMs = image == std::string::npos ? -1 : json_number(record, "ms", image);
    s->imageBytes = json_number(record, "bytes", record.find("\"image\": {"));
    s->sha256 = json_string(record, "sha256");
    s->log = json_string(record, "log");
    std::string log = s->log.empty() ? "" : bench_read_file(s->log);
    std::string port = json_string(record, "port");
    s->ownOnly = port == s->sim.pty && !log.empty();
    s->mixNote = s->ownOnly ? "" : "record's port " + port + (log.empty() ? ", no log" : "");
    for (const std::string* text : {&record, &log})
    {
        for (const std::string& p : pty_paths(*text))
        {
            if (p != s->sim.pty)
            {
                s->ownOnly = false;
                s->mixNote += (s->mixNote.empty() ? "" : ", ") + p + (text == &log ? " in the log" : " in the record");
            }
        }
    }
    if (log.find("COM1:=" + s->sim.pty + " ") == std::string::npos)
    {
        s->ownOnly = false;
        s->mixNote += (s->mixNote.empty() ? "" : ", ") + std::string("log without its port");
    }
    for (const Station* o : group)
    {
        bool other = o != s && log.find("kill -USR1 " + std::to_string(o->resetPid) + "\n") != std::string::npos;
        if (other || (o != s && !o->log.empty() && o->log == s->log))
        {
            s->ownOnly = false;
            s->mixNote += (s->mixNote.empty() ? "" : ", ") + o->label + "'s " + (other ? "reset" : "log");
        }
    }
}

// Runs the group at once: simulators up, profiles written, tools started
// together, reaped, simulators stopped, records and logs checked.
bool run_group(std::vector<Station>& group, const Options& o)
{
    std::vector<Station*> all;
    for (Station& s : group)
    {
        if (!start_sim(&s, o) || !write_profile(&s))
        {
            fprintf(stderr, "station_bench: %s: fwsim did not start\n", s.label.c_str());
            return false;
        }
        all.push_back(&s);
    }
    for (Station& s : group)
    {
        if (!start_tool(&s, o))
            return false;
    }
    wait_tools(all, o.limitS);
    for (Station& s : group)
        stop_sim(&s);
    for (Station& s : group)
        check(&s, all);
    return true;
}

double line_limit_s(long bytes, const Options& o)
{
    return (double)bytes * o.bits / (double)o.baud;
}

void print_rows(const char* title, const std::vector<Station>& group, const Options& o)
{
    printf("\n%s\n", title);
    printf("  %-4s %-12s %6s %9s %8s %8s %7s  %-28s %s\n", "run", "port", "status", "image ms", "÷ limit", "CPU ms",
           "wall s", "fwsim", "log and record");
    for (const Station& s : group)
    {
        double ratio = s.imageMs > 0 && s.imageBytes > 0 ? s.imageMs / 1e3 / line_limit_s(s.imageBytes, o) : 0;
        printf("  %-4s %-12s %6d %9ld %8.4f %8.0f %7.1f  %-28s %s\n", s.label.c_str(), s.sim.pty.c_str(), s.status,
               s.imageMs, ratio, s.cpuMs, s.wallS,
               s.simFlashed ? ("flashed " + s.simHash).c_str() : "NOT flashed (or violations)",
               s.ownOnly ? "own port only" : ("MIXED: " + s.mixNote).c_str());
    }
}

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        if (a == "--stations" && value)
            o->stations = atoi(argv[++i]);
        else if (a == "--baud" && value)
            o->baud = atol(argv[++i]);
        else if (a == "--bits" && value)
            o->bits = atoi(argv[++i]);
        else if (a == "--limit" && value)
            o->limitS = atoi(argv[++i]);
        else if (a == "--keep")
            o->keep = true;
        else
        {
            fprintf(stderr, "usage: station_bench [--stations N] [--baud B] [--bits N] [--limit SECONDS] [--keep]\n");
            return false;
        }
    }
    if (o->stations < 1 || o->stations > 64 || o->baud < 1200 || o->bits < 8 || o->bits > 12 || o->limitS < 10)
    {
        fprintf(stderr, "station_bench: 1-64 stations, a baud of 1200 or more, 8-12 bits, a limit of 10 s or more\n");
        return false;
    }
    return true;
}

bool setup()
{
    g_fwutil = testproc::sibling_executable("fwutil");
    g_fwsim = testproc::sibling_executable("fwsim");
    if (g_fwutil.empty() || g_fwsim.empty())
    {
        fprintf(stderr, "station_bench: build fwutil and fwsim next to bench/ (ninja fwutil fwsim)\n");
        return false;
    }
    char tmpl[] = "/tmp/station-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return false;
    g_dir = tmpl;
    // The tools' namespace and device logs stay in the scratch folder.
    setenv("XDG_STATE_HOME", (g_dir + "/state").c_str(), 1);
    setenv("FWU_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
    sigset_t chld;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, nullptr);
    return true;
}

double load_now()
{
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : 0;
}

// Single runs, one after another, labelled s<first>.. .
bool run_singles(std::vector<Station>& singles, int first, int count, const Options& o)
{
    for (int i = first; i < first + count; i++)
    {
        std::vector<Station> one(1);
        one[0].label = "s" + std::to_string(i + 1);
        if (!run_group(one, o))
            return false;
        singles.push_back(one[0]);
    }
    return true;
}

struct Totals
{
    int ok = 0;       // status 0
    int ownOnly = 0;  // log and record name their own port only
    int flashed = 0;  // fwsim flashed, no violations, same hash as the rest
    double cpuMs = 0; // summed
    double worst = 0, best = 1e9;
};

Totals total(const std::vector<Station>& group, const Options& o, const std::string& hash)
{
    Totals t;
    for (const Station& s : group)
    {
        t.ok += s.status == 0;
        t.ownOnly += s.ownOnly;
        t.flashed += s.simFlashed && s.simHash == hash;
        t.cpuMs += s.cpuMs;
        double ratio = s.imageMs > 0 && s.imageBytes > 0 ? s.imageMs / 1e3 / line_limit_s(s.imageBytes, o) : 1e9;
        t.worst = std::max(t.worst, ratio);
        t.best = std::min(t.best, ratio);
    }
    return t;
}

int summarise(const std::vector<Station>& together, const std::vector<Station>& singles, const Options& o)
{
    const std::string hash = together.empty() ? "" : together[0].simHash;
    Totals c = total(together, o, hash), s = total(singles, o, hash);
    std::set<std::string> shas;
    for (const auto* g : {&together, &singles})
        for (const Station& st : *g)
            shas.insert(st.sha256);
    const int n = o.stations;
    printf("\nfigures (%d stations at %ld baud, %d bits a byte)\n", n, o.baud, o.bits);
    printf("  image phase ÷ line-rate limit, each concurrent station: %.4f worst, %.4f best (single runs: %.4f-%.4f)"
           "   goal <= 1.01 each: %s\n",
           c.worst, c.best, s.best, s.worst, c.worst <= 1.01 ? "met" : "NOT met");
    // Each image block waits for its 0xAA: the answer's line time and both
    // ends' turn-arounds are outside the limit, once a block.
    const double blocks = (kImageBytes + kBlockBytes - 1) / kBlockBytes;
    const double limitMs = line_limit_s(kImageBytes, o) * 1e3;
    printf("  beyond the limit, a block (of %.0f): %.2f ms worst, %.2f ms best; the 0.01 allows %.2f ms\n", blocks,
           (c.worst - 1) * limitMs / blocks, (c.best - 1) * limitMs / blocks, 0.01 * limitMs / blocks);
    double ratio = s.cpuMs > 0 ? c.cpuMs / s.cpuMs : 0;
    printf("  tools' CPU, %d at once ÷ %d one after another: %.0f ms / %.0f ms = %.3f   goal <= 1.2: %s\n", n, n,
           c.cpuMs, s.cpuMs, ratio, ratio <= 1.2 ? "met" : "NOT met");
    printf("  exit status 0: %d of %d concurrent, %d of %d single\n", c.ok, n, s.ok, n);
    printf("  log and record name only their own port: %d of %d concurrent, %d of %d single\n", c.ownOnly, n, s.ownOnly,
           n);
    printf("  fwsim flashed with no violations, one image hash (%s): %d of %d concurrent, %d of %d single; "
           "records' image SHA-256: %zu distinct\n",
           hash.c_str(), c.flashed, n, s.flashed, n, shas.size());
    bool sound = c.ok == n && s.ok == n && c.ownOnly == n && s.ownOnly == n && c.flashed == n && s.flashed == n &&
                 shas.size() == 1;
    return sound ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, &o) || !setup())
        return 2;
    const int before = o.stations / 2;
    printf("station_bench: %d stations, fwsim --baud %ld --bits %d; line-rate limit of the image %.3f s; "
           "load %.1f\n",
           o.stations, o.baud, o.bits, line_limit_s(kImageBytes, o), load_now());
    printf("  %d single runs, then %d at once, then %d single runs; scratch %s\n", before, o.stations,
           o.stations - before, g_dir.c_str());
    fflush(stdout);
    auto t0 = Clock::now();
    std::vector<Station> singles, together(o.stations);
    for (int i = 0; i < o.stations; i++)
        together[i].label = "c" + std::to_string(i + 1);
    bool ran = run_singles(singles, 0, before, o);
    double loadTogether = load_now();
    ran = ran && run_group(together, o);
    ran = ran && run_singles(singles, before, o.stations - before, o);
    if (!ran)
    {
        fprintf(stderr, "station_bench: a run could not be set up; scratch kept in %s\n", g_dir.c_str());
        return 1;
    }
    print_rows("at once:", together, o);
    print_rows("one after another:", singles, o);
    int status = summarise(together, singles, o);
    printf("  %.0f s in all; load %.1f before the concurrent run, %.1f at the end\n", seconds_since(t0), loadTogether,
           load_now());
    if (o.keep || status != 0)
        printf("  scratch kept: %s\n", g_dir.c_str());
    else if (system(("rm -rf '" + g_dir + "'").c_str()) != 0)
        fprintf(stderr, "station_bench: could not remove %s\n", g_dir.c_str());
    return status;
}
