// How much CPU the process burns while WaitForByte waits: over a real
// pseudo-terminal pair, a peer sends the awaited byte only after a quiet spell
// (5 s unless given in seconds as the first argument). Two waits are timed:
// one quiet from the start (blocked in the first comm-event wait) and one
// where a stray byte comes first (so the wait sits in its read loop, where an
// empty read used to be repeated at once), each without and with a silence
// limit (twice the quiet spell: the link's watch is armed but never fires).
// Prints CPU time over wall time from getrusage; the goal is below 0.005. A
// figure, not a test.
#include "download/module_link.h"
#include "platform/kernel/debug.h"
#include "tests/support/serial_support.h"

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace
{

struct Figure
{
    int result;
    double wallS;
    double cpuS;
};

Figure TimedWait(int master, double quietS, bool strayFirst)
{
    std::thread peer(
        [=]
        {
            if (strayFirst)
                serial_support::WriteText(master, "\x55");
            std::this_thread::sleep_for(std::chrono::duration<double>(quietS));
            serial_support::WriteText(master, "\xA0");
        });
    const auto start = serial_support::Clock::now();
    const double cpu0 = serial_support::ProcessCpuSeconds();
    int result = WaitForByte(0xA0);
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    const double wall = serial_support::MsSince(start) / 1000.0;
    peer.join();
    return {result, wall, cpu};
}

} // namespace

int main(int argc, char** argv)
{
    const double quietS = argc > 1 ? atof(argv[1]) : 5.0;
    plat::debug_set_sink_off(); // the byte trace is not what is measured
    serial_support::Pty pty;
    std::string err;
    if (!pty.Open() || !serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}}, &err))
    {
        fprintf(stderr, "wait_cpu: no pseudo-terminal or profile: %s\n", err.c_str());
        return 1;
    }
    if (OpenModulePort() != 1)
    {
        fprintf(stderr, "wait_cpu: OpenModulePort failed\n");
        return 1;
    }
    printf("WaitForByte(0xA0) over a pty, the byte sent after %.1f s of quiet\n", quietS);
    printf("%-28s %8s %10s %10s %s\n", "wait", "result", "wall s", "CPU s", "CPU/wall (goal < 0.005)");
    const DWORD limitMs = (DWORD)(quietS * 2000);
    const struct
    {
        const char* name;
        bool strayFirst;
        DWORD silenceLimitMs;
    } runs[] = {
        {"quiet from the start", false, 0},
        {"stray byte, then quiet", true, 0},
        {"quiet, silence limit set", false, limitMs},
        {"stray, quiet, limit set", true, limitMs},
    };
    for (const auto& run : runs)
    {
        SetLinkSilenceLimit(run.silenceLimitMs);
        Figure f = TimedWait(pty.master, quietS, run.strayFirst);
        printf("%-28s %8d %10.3f %10.4f %.5f\n", run.name, f.result, f.wallS, f.cpuS, f.cpuS / f.wallS);
    }
    CloseModulePort();
    return 0;
}
