// A line of N adapters on one machine, driven through the board: N paced
// `fwsim --pty` simulators, one `fwboard --headless` watching a scratch
// folder, and N symbolic links to the simulators' ptys made in that folder at
// once (N plug-ins). The board starts one `fwutil --station` per link. Figures:
//   - each station's image phase (its record's "image" phase) over its
//     line-rate limit (image bytes x bits per byte / baud): worst and median;
//     goal <= 1.01;
//   - the board's own CPU over its wall time (its closing line, from
//     getrusage); goal <= 2 % of a core;
//   - each station's peak RSS (wait4's ru_maxrss, on the board's result
//     lines): worst and median; goal <= 8 MiB;
//   - no adapter started or flashed twice (the board's start lines; each
//     simulator's count of images received), and no record or log naming a
//     port other than its own;
//   - what bounds N here: ptys in use at the peak and the system's maximum,
//     descriptors, threads (the stations' threads, the system's maximum),
//     the load.
// Prints figures; it is a program, never a test. Exit status 1 when a station
// failed, an adapter was flashed twice, or a record or log names another
// port; 0 otherwise.
//
//   board_bench [--adapters N] [--baud B] [--bits N] [--limit SECONDS] [--keep]
//     --adapters  adapters at once (default 256)
//     --baud      the simulators' pace (default 115200)
//     --bits      bits per byte the simulators pace at (default 11, fwsim's own)
//     --limit     each station's time limit, seconds (default 900)
//     --keep      keep the scratch folder and name it
#include "tests/support/bench_support.h"
#include "tests/support/process_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
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

struct Options
{
    int adapters = 256;
    long baud = 115200;
    int bits = 11;
    int limitS = 900;
    bool keep = false;
};

struct Adapter
{
    std::string name; // the link's name in the watched folder
    BenchSim sim;
    // From the board's lines.
    int starts = 0;
    std::string record, log;
    pid_t stationPid = -1;
    bool flashed = false;
    std::string failure;
    long peakKiB = -1;
    double stationCpuS = -1;
    // From the record, the logs and the simulator.
    long imageMs = -1, imageBytes = -1;
    int imagesReceived = -1;
    bool ownOnly = false;
    std::string mixNote;
};

std::string g_dir, g_fwsim, g_board;

std::string first_line(const std::string& path)
{
    std::string text = bench_read_file(path);
    return text.substr(0, text.find('\n'));
}

bool start_sim(Adapter* a, const Options& o)
{
    return bench_sim_start(&a->sim, g_fwsim, g_dir + "/" + a->name + "-fwsim.err", o.baud, o.bits);
}

void stop_sim(Adapter* a)
{
    if (a->sim.pid <= 0)
        return;
    bench_sim_stop(&a->sim);
    size_t at = a->sim.text.find("image ok/fail    ");
    a->imagesReceived = at == std::string::npos ? -1 : atoi(a->sim.text.c_str() + at + 17);
}

// Every whole "PREFIX<digits>" in text.
std::set<std::string> numbered(const std::string& text, const std::string& prefix)
{
    std::set<std::string> found;
    for (size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1))
    {
        size_t end = at + prefix.size();
        while (end < text.size() && isdigit((unsigned char)text[end]))
            end++;
        if (end > at + prefix.size())
            found.insert(text.substr(at, end - at));
    }
    return found;
}

// The record, the board's log of the station and fwutil's debug log name this
// adapter (its link, its pty) and no other.
void check(Adapter* a)
{
    std::string record = bench_read_file(a->record);
    size_t image = record.find("{\"name\": \"image\"");
    a->imageMs = image == std::string::npos ? -1 : json_number(record, "ms", image);
    a->imageBytes = json_number(record, "bytes", record.find("\"image\": {"));
    std::string stationLog = bench_read_file(a->log);
    std::string debugLog = json_string(record, "log");
    std::string debug = debugLog.empty() ? "" : bench_read_file(debugLog);
    const std::string link = g_dir + "/watch/" + a->name;
    a->ownOnly = json_string(record, "port") == link && !debug.empty();
    a->mixNote = a->ownOnly ? "" : "record's port " + json_string(record, "port") + (debug.empty() ? ", no log" : "");
    for (const std::string* text : {&record, &stationLog, &debug})
    {
        for (const std::string& p : numbered(*text, "/dev/pts/"))
            if (p != a->sim.pty)
                a->mixNote += ", " + p;
        for (const std::string& n : numbered(*text, "/watch/ad-"))
            if (n != "/watch/" + a->name)
                a->mixNote += ", " + n;
    }
    a->ownOnly = a->mixNote.empty();
}

// The value after "key" in a /proc status-like text.
long proc_value(const std::string& text, const std::string& key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtol(text.c_str() + at + key.size(), nullptr, 10);
}

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        bool value = i + 1 < argc;
        if (a == "--adapters" && value)
            o->adapters = atoi(argv[++i]);
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
            fprintf(stderr, "usage: board_bench [--adapters N] [--baud B] [--bits N] [--limit SECONDS] [--keep]\n");
            return false;
        }
    }
    if (o->adapters < 1 || o->adapters > 1000 || o->baud < 1200 || o->bits < 8 || o->bits > 12 || o->limitS < 10)
    {
        fprintf(stderr, "board_bench: 1-1000 adapters, a baud of 1200 or more, 8-12 bits, a limit of 10 s or more\n");
        return false;
    }
    return true;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What the board says about each adapter, line by line.
void take_line(const std::string& line, std::map<std::string, Adapter*>& byName)
{
    const std::string head = "fwboard: ";
    if (line.compare(0, head.size(), head) != 0 || line.size() < head.size() + 9)
        return;
    std::string rest = line.substr(head.size() + 9); // "HH:MM:SS "
    size_t colon = rest.find(": ");
    if (colon == std::string::npos || byName.count(rest.substr(0, colon)) == 0)
        return;
    Adapter* a = byName[rest.substr(0, colon)];
    std::string what = rest.substr(colon + 2);
    if (what.compare(0, 11, "start, pid ") == 0)
    {
        a->starts++;
        a->stationPid = (pid_t)atol(what.c_str() + 11);
        size_t r = what.find(", record "), l = what.find(", log ");
        a->record = what.substr(r + 9, l - r - 9);
        a->log = what.substr(l + 6);
    }
    else if (what.compare(0, 8, "flashed,") == 0 || what.compare(0, 7, "failed:") == 0)
    {
        a->flashed = what[1] == 'l';
        a->failure = a->flashed ? "" : what;
        size_t rss = what.rfind("peak RSS ");
        a->peakKiB = rss == std::string::npos ? -1 : atol(what.c_str() + rss + 9);
        size_t cpu = what.rfind(", CPU ");
        a->stationCpuS = cpu == std::string::npos ? -1 : atof(what.c_str() + cpu + 6);
    }
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!parse(argc, argv, &o))
        return 2;
    g_fwsim = testproc::sibling_executable("fwsim");
    g_board = testproc::sibling_executable("fwboard");
    if (g_fwsim.empty() || g_board.empty() || testproc::sibling_executable("fwutil").empty())
    {
        fprintf(stderr, "board_bench: build fwutil, fwsim and fwboard next to bench/ (ninja fwutil fwsim fwboard)\n");
        return 2;
    }
    char tmpl[] = "/tmp/board-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return 2;
    g_dir = tmpl;
    mkdir((g_dir + "/watch").c_str(), 0700);
    setenv("XDG_STATE_HOME", (g_dir + "/state").c_str(), 1);
    setenv("FWU_RUNTIME_DIR", (g_dir + "/run").c_str(), 1);
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0)
    {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    signal(SIGPIPE, SIG_IGN);
    const double limitS = 2490264.0 * o.bits / o.baud;
    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf("board_bench: %d adapters, fwsim --baud %ld --bits %d; the image's line-rate limit %.3f s; load %.1f; "
           "scratch %s\n",
           o.adapters, o.baud, o.bits, limitS, load[0], g_dir.c_str());
    fflush(stdout);

    std::vector<Adapter> all(o.adapters);
    std::map<std::string, Adapter*> byName;
    for (int i = 0; i < o.adapters; i++)
    {
        char name[16];
        snprintf(name, sizeof name, "ad-%03d", i);
        all[i].name = name;
        byName[name] = &all[i];
        if (!start_sim(&all[i], o))
        {
            fprintf(stderr, "board_bench: fwsim %d did not start (%s); scratch %s\n", i, all[i].sim.text.c_str(),
                    g_dir.c_str());
            return 1;
        }
    }
    // One profile for every station: the simulators start in their boot ROM,
    // which answers the first sync; nothing needs to reset them.
    const std::string profile = g_dir + "/line.reg";
    std::ofstream(profile) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
                              "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"none\"\n";
    chmod(profile.c_str(), 0600);

    int bp[2];
    if (pipe2(bp, O_CLOEXEC) != 0)
        return 1;
    int berr = open((g_dir + "/board.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    pid_t board = bench_spawn({g_board, "--headless", "--watch", g_dir + "/watch", "--out", g_dir + "/out",
                               "--firmware", "standin", "--profile", profile, "--timeout", std::to_string(o.limitS)},
                              bp[1], berr);
    close(bp[1]);
    close(berr);
    std::string boardText;
    if (!bench_read_until(bp[0], &boardText, "records and logs in ", 30000))
    {
        fprintf(stderr, "board_bench: the board did not start: %s%s\n", boardText.c_str(),
                bench_read_file(g_dir + "/board.err").c_str());
        kill(board, SIGKILL);
        return 1;
    }
    auto t0 = Clock::now();
    for (Adapter& a : all)
    {
        if (symlink(a.sim.pty.c_str(), (g_dir + "/watch/" + a.name).c_str()) != 0)
            fprintf(stderr, "board_bench: %s: symlink: %s\n", a.name.c_str(), strerror(errno));
    }

    // Reads the board's lines until every adapter has a result; samples the
    // machine every 5 s meanwhile.
    size_t taken = 0;
    int done = 0;
    long ptyPeak = 0, threadsPeak = 0, boardFdsPeak = 0, stationFds = 0, stationThreads = 0;
    double loadPeak = 0;
    auto nextSample = Clock::now();
    auto deadline = Clock::now() + std::chrono::seconds(o.limitS + 120);
    while (done < o.adapters && Clock::now() < deadline)
    {
        struct pollfd p = {bp[0], POLLIN, 0};
        if (poll(&p, 1, 1000) > 0)
        {
            char buf[65536];
            ssize_t n = read(bp[0], buf, sizeof buf);
            if (n <= 0)
                break;
            boardText.append(buf, (size_t)n);
            size_t nl;
            while ((nl = boardText.find('\n', taken)) != std::string::npos)
            {
                std::string line = boardText.substr(taken, nl - taken);
                taken = nl + 1;
                bool had =
                    line.find(": flashed, after ") != std::string::npos || line.find(": failed: ") != std::string::npos;
                take_line(line, byName);
                done += had;
            }
        }
        if (Clock::now() >= nextSample)
        {
            nextSample += std::chrono::seconds(5);
            ptyPeak = std::max(ptyPeak, atol(first_line("/proc/sys/kernel/pty/nr").c_str()));
            threadsPeak = std::max(threadsPeak, proc_value(bench_read_file("/proc/loadavg"), "/"));
            getloadavg(load, 3);
            loadPeak = std::max(loadPeak, load[0]);
            long fds = 0;
            std::string fdDir = "/proc/" + std::to_string(board) + "/fd";
            if (DIR* d = opendir(fdDir.c_str()))
            {
                while (readdir(d) != nullptr)
                    fds++;
                closedir(d);
            }
            boardFdsPeak = std::max(boardFdsPeak, fds - 2);
            for (const Adapter& a : all)
            {
                if (a.stationPid <= 0 || a.flashed || !a.failure.empty())
                    continue;
                std::string status = bench_read_file("/proc/" + std::to_string(a.stationPid) + "/status");
                long th = proc_value(status, "Threads:");
                stationThreads = std::max(stationThreads, th);
                long sfds = 0;
                if (DIR* d = opendir(("/proc/" + std::to_string(a.stationPid) + "/fd").c_str()))
                {
                    while (readdir(d) != nullptr)
                        sfds++;
                    closedir(d);
                }
                stationFds = std::max(stationFds, sfds - 2);
                break;
            }
        }
    }
    double wallS = std::chrono::duration<double>(Clock::now() - t0).count();
    kill(board, SIGTERM);
    bench_read_until(bp[0], &boardText, nullptr, 60000);
    int st = 0;
    waitpid(board, &st, 0);
    for (size_t nl; (nl = boardText.find('\n', taken)) != std::string::npos; taken = nl + 1)
        take_line(boardText.substr(taken, nl - taken), byName);
    for (Adapter& a : all)
        stop_sim(&a);
    for (Adapter& a : all)
        check(&a);

    std::vector<double> ratios, rss, stationCpu;
    double simCpu = 0;
    int flashed = 0, twice = 0, mixed = 0;
    for (const Adapter& a : all)
    {
        flashed += a.flashed;
        twice += a.starts > 1 || a.imagesReceived > 1;
        mixed += !a.ownOnly;
        if (a.imageMs > 0 && a.imageBytes > 0)
            ratios.push_back(a.imageMs / 1e3 / (a.imageBytes * o.bits / (double)o.baud));
        if (a.peakKiB > 0)
            rss.push_back(a.peakKiB / 1024.0);
        if (a.stationCpuS >= 0)
            stationCpu.push_back(a.stationCpuS);
        simCpu += std::max(0.0, a.sim.cpuS);
        if (!a.flashed || !a.ownOnly || a.starts != 1 || a.imagesReceived != 1)
            printf("  %s (%s): starts %d, images received %d, %s%s\n", a.name.c_str(), a.sim.pty.c_str(), a.starts,
                   a.imagesReceived, a.flashed ? "flashed" : a.failure.c_str(),
                   a.ownOnly ? "" : ("; MIXED: " + a.mixNote).c_str());
    }
    std::string ended;
    size_t at = boardText.find("ended: ");
    if (at != std::string::npos)
        ended = boardText.substr(at, boardText.find('\n', at) - at);
    double boardPct = -1;
    size_t pct = ended.find("s (");
    if (pct != std::string::npos)
        boardPct = atof(ended.c_str() + pct + 3);
    double worst = ratios.empty() ? 0 : *std::max_element(ratios.begin(), ratios.end());
    double rssWorst = rss.empty() ? 0 : *std::max_element(rss.begin(), rss.end());
    printf("\nfigures (%d adapters at %ld baud, %d bits a byte; every station started in one burst)\n", o.adapters,
           o.baud, o.bits);
    printf("  flashed: %d of %d, in %.0f s from the plug-ins to the last result\n", flashed, o.adapters, wallS);
    printf("  image phase ÷ line-rate limit: %.4f worst, %.4f median (%zu records)   goal <= 1.01: %s\n", worst,
           median(ratios), ratios.size(), worst > 0 && worst <= 1.01 ? "met" : "NOT met");
    printf("  the board's CPU ÷ wall: %.2f %% of a core   goal <= 2 %%: %s\n", boardPct,
           boardPct >= 0 && boardPct <= 2 ? "met" : "NOT met");
    printf("    (%s)\n", ended.c_str());
    printf("  stations' peak RSS: %.2f MiB worst, %.2f MiB median   goal <= 8 MiB: %s\n", rssWorst, median(rss),
           rssWorst > 0 && rssWorst <= 8 ? "met" : "NOT met");
    printf("  adapters started or flashed more than once: %d; records or logs naming another port: %d\n", twice, mixed);
    printf("\nwhat bounds the count here\n");
    printf("  ptys: %ld in use on the machine at the peak (this run's simulators: %d), of %s "
           "(/proc/sys/kernel/pty/max)\n",
           ptyPeak, o.adapters, first_line("/proc/sys/kernel/pty/max").c_str());
    printf("  descriptors: the board held %ld at the peak (a pipe and a log a station); a station %ld; "
           "RLIMIT_NOFILE %lu (soft, raised to the hard limit) of /proc/sys/fs/file-max %s\n",
           boardFdsPeak, stationFds, (unsigned long)rl.rlim_max, first_line("/proc/sys/fs/file-max").c_str());
    getrlimit(RLIMIT_NPROC, &rl);
    printf("  threads: %ld at the peak on the machine (/proc/loadavg); a station runs %ld; "
           "RLIMIT_NPROC %lu, /proc/sys/kernel/threads-max %s\n",
           threadsPeak, stationThreads, (unsigned long)rl.rlim_cur, first_line("/proc/sys/kernel/threads-max").c_str());
    double stationSum = 0;
    for (double c : stationCpu)
        stationSum += c;
    const long cores = sysconf(_SC_NPROCESSORS_ONLN);
    printf("  CPU: %ld cores; load %.1f at the peak (sampled every 5 s); the stations used %.1f s (%.2f s median "
           "each), the simulators %.1f s: %.0f %% of the machine's %.0f core-seconds\n",
           cores, loadPeak, stationSum, median(stationCpu), simCpu, 100 * (stationSum + simCpu) / (cores * wallS),
           cores * wallS);
    bool sound = flashed == o.adapters && twice == 0 && mixed == 0;
    if (o.keep || !sound)
        printf("  scratch kept: %s\n", g_dir.c_str());
    else if (system(("rm -rf '" + g_dir + "'").c_str()) != 0)
        fprintf(stderr, "board_bench: could not remove %s\n", g_dir.c_str());
    return sound ? 0 : 1;
}
