// Download run figures against the in-process module simulator over a
// pseudo-terminal pair: how close the image phase comes to the line rate when
// the simulator paces at 115200 baud, how much CPU the tool takes meanwhile,
// and how much time an unpaced run spends beyond the pauses the protocol
// prescribes. Prints each figure with its goal; it is a program, never a test.
//
//   download_bench [--paced] [--unpaced] [--runs N] [--image-kb N] [--bits N]
//     --paced     only the paced run (a) and (b); about 4 minutes for the whole image
//     --unpaced   only the unpaced runs (c)
//     --runs      unpaced runs; the median is shown (default 3)
//     --image-kb  a smoke run: the simulator drops the line after about N kB of
//                 the image, and the paced figures cover that much
//     --bits      bits per byte the simulator paces at (default 11: one start,
//                 eight data and two stop bits, as the port is really set)
#include "download/module_link.h"
#include "platform/kernel/debug.h"
#include "tests/support/download_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace
{

using namespace download_harness;

constexpr unsigned kBaud = 115200;
constexpr int kRunLimitMs = 15 * 60 * 1000;
// The pauses the protocol prescribes in a run of one attempt: 500 ms before
// the worker, 1000 ms at the attempt, 20 ms after the stage-2 length, 100 ms
// after 0x50, 20 ms after the image length, 200 ms before the box.
constexpr double kPrescribedMs = 500 + 1000 + 20 + 100 + 20 + 200;
constexpr size_t kImagePhaseBytes = 3 + FW_LENGTH + 2; // length, image, E and O

struct Options
{
    bool paced = true;
    bool unpaced = true;
    int runs = 3;
    int imageKb = 0; // 0: the whole image
    unsigned bits = 11;
};

int64_t CpuNs(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// Offsets in the tool's stream (leading syncs removed) where the phases begin.
constexpr size_t kStage2At = 186;
constexpr size_t kCommandsAt = kStage2At + 2 + BOOT2_LENGTH + 1;
constexpr size_t kImageLengthAt = kCommandsAt + 1 + 1 + 3;

struct RunFigures
{
    bool ok = false;
    DWORD exitCode = 0;
    int outcome = 0;
    int attempts = 0;
    double wallMs = 0;                                  // Go() to the worker's end
    double toolCpuMs = 0;                               // process CPU less the simulator's thread and this thread
    double imagePhaseMs = 0;                            // image length bytes in to the final 0xA5 (or last 0xAA) out
    size_t imagePhaseBytes = 0;                         // tool bytes in that span
    std::vector<std::pair<std::string, double>> phases; // for the breakdown
    std::vector<double> turns;     // image blocks, ms: tool turn mean, median, p99, worst; module turn mean
    std::vector<double> toolTurns; // every tool turn of the image blocks, ms, in order of size
};

// Mean, median and p99 of turns in order of size.
struct TurnFigures
{
    double mean = 0;
    double median = 0;
    double p99 = 0;
};

TurnFigures TurnsOf(const std::vector<double>& sorted)
{
    TurnFigures t;
    if (sorted.empty())
        return t;
    double sum = 0;
    for (double v : sorted)
        sum += v;
    auto pct = [&](double q) { return sorted[(size_t)(q * (double)(sorted.size() - 1))]; };
    t.mean = sum / (double)sorted.size();
    t.median = pct(0.5);
    t.p99 = pct(0.99);
    return t;
}

RunFigures RunOnce(const Options& o, bool paced)
{
    RunFigures f;
    SimConfig cfg;
    if (paced)
    {
        cfg.baud = kBaud;
        cfg.bits_per_byte = o.bits;
    }
    if (o.imageKb > 0)
    {
        int blocks = (o.imageKb * 1024 + 3999) / 4000;
        cfg.faults.push_back({SimPhase::ImageBlockAck, SimFaultKind::Unplug, blocks, 0, 1});
    }
    RigOptions ro;
    ro.captureDebug = false;
    Rig rig;
    std::string err;
    if (!rig.Setup(ro, cfg, &err))
    {
        fprintf(stderr, "setup: %s\n", err.c_str());
        return f;
    }
    const int64_t cpu0 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t self0 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
    const auto t0 = Clock::now();
    rig.Go();
    if (!rig.WaitWorker(kRunLimitMs, &f.exitCode))
    {
        fprintf(stderr, "the run did not end\n");
        return f;
    }
    const auto t1 = rig.WorkerEnd();
    const int64_t cpu1 = CpuNs(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t self1 = CpuNs(CLOCK_THREAD_CPUTIME_ID);
    const int64_t simCpu = rig.tap().SimThreadCpuNs();
    f.wallMs = std::chrono::duration<double, std::milli>(t1 - t0).count();
    f.toolCpuMs = (double)((cpu1 - cpu0) - (self1 - self0) - simCpu) / 1e6;
    f.outcome = (int)QueryRun(RUNREPORT_STATE);
    f.attempts = (int)QueryRun(RUNREPORT_ATTEMPTS);

    // Where the phases began and ended on the wire.
    size_t syncs = 0;
    const std::vector<uint8_t> tool = rig.tap().ToolBytes();
    WithoutLeadingSyncs(tool, &syncs);
    const std::vector<int64_t> at = rig.tap().ToolTimes();
    const std::vector<Answer> answers = rig.tap().Answers();
    const int64_t start = NsSince(rig.tap().Start(), t0);
    auto ms = [](int64_t a, int64_t b) { return (b - a) / 1e6; };
    if (at.size() > syncs + kImageLengthAt)
    {
        const int64_t frame = at[syncs];
        const int64_t stage2 = at[syncs + kStage2At];
        const int64_t commands = at[syncs + kCommandsAt];
        const int64_t imageLength = at[syncs + kImageLengthAt];
        int64_t end = -1;
        if (o.imageKb > 0)
        {
            // The last answer before the line was dropped.
            for (const Answer& a : answers)
                if (a.kind == Answer::Bytes)
                    end = a.ns;
            f.imagePhaseBytes = 0;
            for (const Answer& a : answers)
                if (a.kind == Answer::Bytes && a.ns == end)
                    f.imagePhaseBytes = a.toolBytesBefore - (syncs + kImageLengthAt);
        }
        else
        {
            end = answers.empty() ? -1 : answers.back().ns;
            f.imagePhaseBytes = kImagePhaseBytes;
        }
        f.imagePhaseMs = ms(imageLength, end);
        // Per image block: the tool's turn (0xAA out to the next block's first
        // byte in) and the module's (the block's last byte in to its 0xAA out).
        double moduleTurn = 0;
        std::vector<double>& toolTurns = f.toolTurns;
        int blocks = 0;
        for (const Answer& a : answers)
        {
            if (a.kind != Answer::Bytes || a.bytes != std::vector<uint8_t>{0xAA} ||
                a.toolBytesBefore <= syncs + kImageLengthAt + 3 || a.toolBytesBefore >= at.size())
                continue;
            toolTurns.push_back(ms(a.ns, at[a.toolBytesBefore]));
            moduleTurn += ms(at[a.toolBytesBefore - 1], a.ns);
            blocks++;
        }
        if (blocks > 0)
        {
            std::sort(toolTurns.begin(), toolTurns.end());
            const TurnFigures t = TurnsOf(toolTurns);
            f.turns = {t.mean, t.median, t.p99, toolTurns.back(), moduleTurn / blocks};
        }
        f.phases = {
            {"start to first sync", ms(start, at[0])},
            {"syncs to stage-1 frame", ms(at[0], frame)},
            {"stage 1", ms(frame, stage2)},
            {"stage 2", ms(stage2, commands)},
            {"0x50, 0x54, sizes", ms(commands, imageLength)},
            {"image phase", f.imagePhaseMs},
            {"final answer to worker end", ms(end, NsSince(rig.tap().Start(), t1))},
        };
    }
    SimReport rep = sim_report(rig.sim());
    f.ok = f.exitCode == 0 && (o.imageKb > 0 ? f.outcome == RUN_LINK_LOST : f.outcome == RUN_FLASHED) &&
           rep.violation_count == 0;
    if (rep.violation_count)
        fprintf(stderr, "simulator: %s\n", rep.violations[0].c_str());
    return f;
}

void PrintPhases(const RunFigures& f)
{
    for (const auto& p : f.phases)
        printf("    %-28s %10.1f ms\n", p.first.c_str(), p.second);
    if (f.turns.size() == 5)
        printf("    per image block: 0xAA to next block mean %.3f ms (median %.3f, p99 %.3f, worst %.3f); last "
               "byte in to 0xAA %.3f ms\n",
               f.turns[0], f.turns[1], f.turns[2], f.turns[3], f.turns[4]);
}

const char* Verdict(bool met)
{
    return met ? "met" : "MISSED";
}

void Paced(const Options& o)
{
    printf("(a), (b) paced at %u baud, %u bits a byte%s\n", kBaud, o.bits,
           o.imageKb > 0 ? " (smoke run: part of the image)" : "");
    fflush(stdout);
    RunFigures f = RunOnce(o, true);
    if (!f.ok)
        printf("  the run did not end as expected (exit %u, outcome %d)\n", f.exitCode, f.outcome);
    PrintPhases(f);
    const double limitMs = f.imagePhaseBytes * (double)o.bits * 1000.0 / kBaud;
    const double ratio = limitMs > 0 ? f.imagePhaseMs / limitMs : 0;
    printf("  (a) image phase %.1f ms for %zu bytes; line-rate limit %.1f ms; ratio %.4f   goal <= 1.01  %s\n",
           f.imagePhaseMs, f.imagePhaseBytes, limitMs, ratio, Verdict(ratio > 0 && ratio <= 1.01));
    const double cpuRatio = f.toolCpuMs / f.wallMs;
    printf("  (b) tool CPU %.1f ms over %.1f ms wall; ratio %.5f   goal <= 0.005  %s\n", f.toolCpuMs, f.wallMs,
           cpuRatio, Verdict(cpuRatio <= 0.005));
    fflush(stdout);
}

void Unpaced(const Options& o)
{
    printf("(c) unpaced, %d run%s\n", o.runs, o.runs == 1 ? "" : "s");
    std::vector<double> beyond;
    std::vector<double> turns; // every run's
    for (int i = 0; i < o.runs; i++)
    {
        RunFigures f = RunOnce(o, false);
        if (!f.ok)
            printf("  run %d did not end as expected (exit %u, outcome %d)\n", i + 1, f.exitCode, f.outcome);
        const double prescribed = kPrescribedMs + 1000.0 * (f.attempts - 1);
        const double extra = (f.wallMs - prescribed) / 1000.0;
        printf("  run %d: %.1f ms, attempts %d, prescribed pauses %.0f ms, beyond them %.3f s; tool CPU %.1f ms\n",
               i + 1, f.wallMs, f.attempts, prescribed, extra, f.toolCpuMs);
        PrintPhases(f);
        beyond.push_back(extra);
        turns.insert(turns.end(), f.toolTurns.begin(), f.toolTurns.end());
    }
    std::sort(turns.begin(), turns.end());
    const TurnFigures t = TurnsOf(turns);
    printf("  per image block, all runs: 0xAA to next block mean %.3f ms (median %.3f, p99 %.3f) over %zu blocks\n",
           t.mean, t.median, t.p99, turns.size());
    std::sort(beyond.begin(), beyond.end());
    const double median = beyond.empty() ? 0 : beyond[beyond.size() / 2];
    printf("  (c) time beyond the prescribed pauses, median %.3f s   goal <= 0.5 s  %s\n", median,
           Verdict(median <= 0.5));
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    bool onlyPaced = false, onlyUnpaced = false;
    for (int i = 1; i < argc; i++)
    {
        std::string a = argv[i];
        if (a == "--paced")
            onlyPaced = true;
        else if (a == "--unpaced")
            onlyUnpaced = true;
        else if (a == "--runs" && i + 1 < argc)
            o.runs = std::max(1, atoi(argv[++i]));
        else if (a == "--image-kb" && i + 1 < argc)
            o.imageKb = std::max(0, atoi(argv[++i]));
        else if (a == "--bits" && i + 1 < argc)
            o.bits = (unsigned)std::max(1, atoi(argv[++i]));
        else
        {
            fprintf(stderr, "usage: download_bench [--paced] [--unpaced] [--runs N] [--image-kb N] [--bits N]\n");
            return 2;
        }
    }
    if (onlyPaced || onlyUnpaced)
    {
        o.paced = onlyPaced;
        o.unpaced = onlyUnpaced;
    }
    // The protocol trace still gets formatted and written, as in a real run.
    std::string err;
    if (!plat::debug_set_sink_file("/dev/null", &err))
        fprintf(stderr, "debug sink: %s\n", err.c_str());
    if (o.unpaced)
        Unpaced(o);
    if (o.paced)
        Paced(o);
    return 0;
}
