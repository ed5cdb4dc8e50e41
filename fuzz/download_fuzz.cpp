// Fuzz target: the module's byte stream as the download sees it. The input
// is a script for the far end of an in-process virtual cable (what a module
// would answer, and when); a download run goes against it. Whatever the
// answers, the run must end in a stated outcome (flashed, update failed,
// link lost), with no crash, no hang past its silence limits and no spin.
//
// Script operations (one byte, modulo kOps, then their arguments; a missing
// argument reads as 0):
//   0 WAIT n16          take n+1 more bytes from the tool (bounded wait)
//   1 SEND len8 bytes   send len+1 bytes
//   2 FILL v8 count16   send v count+1 times
//   3 BREAK             the module's line sends a break
//   4 ERROR ce8         its next bytes arrive garbled (CE_* bits)
//   5 SLEEP ms8         pause ms/4 ms
//   6 RESET             wait for the tool's next module reset, then drop what it sent
//   7 HANGUP            drop the line (ends the script)
//   8 ACKS v8 count16 n16   count+1 times: WAIT n, then send v
//   9 QUIET             drop the tool's bytes until it pauses
//  10 SKIPTO v8         drop the tool's bytes up to and including v
// When the script ends the far end waits a moment for the run to end by
// itself, then hangs up; the run must then end within kRunEndMs. That bound
// is wide: the tool's own waits after a hang-up are a few seconds, but a
// fuzzer at nice 19 on a busy machine may get a thirtieth of a core.
#include "download/module_link.h"
#include "download/run.h"
#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/kernel.h"
#include "platform/profile/profile.h"
#include "platform/serial/vcable.h"
#include "shell/log.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kOps = 11;
constexpr int kWaitMs = 600;     // one WAIT, SKIPTO, QUIET or RESET at most (the longest silence limit)
constexpr int kScriptMs = 20000; // the whole script at most
constexpr int kSettleMs = 300;   // after the script: the run may end by itself
constexpr int kRunEndMs = 60000; // after the hang-up: the run must have ended
constexpr int64_t kCpuBaseNs = 800 * 1000000LL;
// ASan's cost of a byte through the cable and the tool: the tool writes its
// bytes in blocks, but takes the module's one at a time in its waits (about
// 10 us a byte measured, more on a loaded machine).
constexpr int64_t kCpuPerByteOutNs = 4000;
constexpr int64_t kCpuPerByteInNs = 30000;

std::atomic<int> g_restarts{0};
std::atomic<HWND> g_hwnd{nullptr};
int g_run = 0;

// The program's window as the download needs it: a top-level window with the
// log pane (IDC_LOG), on a UI thread of its own that runs for good.
void UiThread(std::mutex* mu, std::condition_variable* cv)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Download Fuzz";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, u"Download Fuzz", u"Fuzz", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    if (hwnd != nullptr &&
        CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0, CW_USEDEFAULT,
                        CW_USEDEFAULT, hwnd, (HMENU)(intptr_t)IDC_LOG, nullptr, nullptr) == nullptr)
        hwnd = nullptr;
    {
        std::lock_guard<std::mutex> lock(*mu);
        g_hwnd.store(hwnd);
    }
    cv->notify_all();
    MSG msg;
    while (hwnd != nullptr && GetMessageW(&msg, nullptr, 0, 0))
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void OnRestart()
{
    g_restarts.fetch_add(1);
}

int64_t ProcessCpuNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

// A finding is said on stderr and, when DOWNLOAD_FUZZ_FINDINGS names a file,
// appended to it: a forked worker's log goes with the worker.
[[noreturn]] void Finding(const char* what)
{
    char line[256];
    snprintf(line, sizeof(line), "download_fuzz: %s (run state %u, attempts %u)\n", what,
             (unsigned)QueryRun(RUNREPORT_STATE), (unsigned)QueryRun(RUNREPORT_ATTEMPTS));
    fputs(line, stderr);
    fflush(stderr);
    if (const char* path = getenv("DOWNLOAD_FUZZ_FINDINGS"))
    {
        if (FILE* f = fopen(path, "a"))
        {
            fputs(line, f);
            fclose(f);
        }
    }
    abort();
}

bool WorkerEnded()
{
    DWORD code = 0;
    return !GetExitCodeThread(g_hWorker.load(), &code) || code != STILL_ACTIVE;
}

struct Script
{
    const uint8_t* p;
    size_t n;
    size_t at = 0;
    bool More() const
    {
        return at < n;
    }
    unsigned U8()
    {
        return at < n ? p[at++] : 0;
    }
    unsigned U16()
    {
        unsigned hi = U8();
        return (hi << 8) | U8();
    }
};

// The far end of one run's cable.
struct FarEnd
{
    std::string cable;
    Clock::time_point scriptEnd;
    size_t taken = 0; // bytes the tool sent
    size_t sent = 0;  // bytes sent to the tool

    bool Expired() const
    {
        return Clock::now() >= scriptEnd;
    }

    // Takes up to want bytes; the count taken (less on time-out or hang-up).
    size_t Take(size_t want, int ms, int stopAt = -1)
    {
        auto deadline = Clock::now() + milliseconds(ms);
        uint8_t buffer[4096];
        size_t got = 0;
        while (got < want && Clock::now() < deadline && !Expired())
        {
            size_t max = want - got < sizeof(buffer) ? want - got : sizeof(buffer);
            if (stopAt >= 0)
                max = 1;
            long r = plat::cable_read(cable, 'b', buffer, max, 20);
            if (r < 0)
                break;
            got += (size_t)r;
            taken += (size_t)r;
            if (stopAt >= 0 && r == 1 && buffer[0] == (uint8_t)stopAt)
                return 1;
        }
        return stopAt >= 0 ? 0 : got;
    }

    void Send(const uint8_t* data, size_t n)
    {
        if (plat::cable_write(cable, 'b', data, n) > 0)
            sent += n;
    }

    void Drop()
    {
        uint8_t buffer[4096];
        while (plat::cable_read(cable, 'b', buffer, sizeof(buffer), 0) > 0)
        {
        }
    }

    void Quiet()
    {
        auto deadline = Clock::now() + milliseconds(kWaitMs);
        uint8_t buffer[4096];
        while (Clock::now() < deadline && plat::cable_read(cable, 'b', buffer, sizeof(buffer), 20) > 0)
        {
        }
    }

    void WaitReset()
    {
        int before = plat::ril_counts().reset;
        auto deadline = Clock::now() + milliseconds(kWaitMs + 400);
        while (plat::ril_counts().reset == before && Clock::now() < deadline && !WorkerEnded())
            std::this_thread::sleep_for(milliseconds(2));
        Drop();
    }

    // Runs the script; false once the line is down.
    void Play(Script& s)
    {
        while (s.More() && !Expired())
        {
            switch (s.U8() % kOps)
            {
                case 0:
                    Take(s.U16() + 1, kWaitMs);
                    break;
                case 1:
                {
                    size_t len = s.U8() + 1;
                    uint8_t bytes[256];
                    size_t i = 0;
                    for (; i < len && s.More(); i++)
                        bytes[i] = (uint8_t)s.U8();
                    Send(bytes, i);
                    break;
                }
                case 2:
                {
                    uint8_t v = (uint8_t)s.U8();
                    size_t count = s.U16() + 1;
                    std::string fill(count, (char)v);
                    Send(reinterpret_cast<const uint8_t*>(fill.data()), count);
                    break;
                }
                case 3:
                    plat::cable_inject_break(cable, 'b');
                    break;
                case 4:
                    plat::cable_inject_error(cable, 'b', s.U8() & (CE_FRAME | CE_RXPARITY | CE_OVERRUN));
                    break;
                case 5:
                    std::this_thread::sleep_for(milliseconds(s.U8() / 4));
                    break;
                case 6:
                    WaitReset();
                    break;
                case 7:
                    return;
                case 8:
                {
                    uint8_t v = (uint8_t)s.U8();
                    unsigned count = s.U16() + 1;
                    size_t n = s.U16() + 1;
                    for (unsigned i = 0; i < count && !Expired(); i++)
                    {
                        if (Take(n, kWaitMs) < n)
                            break;
                        Send(&v, 1);
                    }
                    break;
                }
                case 9:
                    Quiet();
                    break;
                case 10:
                    Take(1, kWaitMs, (int)s.U8());
                    break;
            }
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    plat::debug_set_sink_off();
    g_dwSilencePercent = 1;      // sync answer 30 ms, loaders 50 ms, erase and flash 600 ms, blocks 100 ms
    plat::set_sleep_percent(10); // the pauses: 50 ms after the radio, 100 ms before a reset, a sync a ms
    plat::set_restart_hook(&OnRestart);
    static std::mutex mu;
    static std::condition_variable cv;
    std::thread(UiThread, &mu, &cv).detach();
    std::unique_lock<std::mutex> lock(mu);
    cv.wait_for(lock, std::chrono::seconds(10), [] { return g_hwnd.load() != nullptr; });
    if (g_hwnd.load() == nullptr)
    {
        fprintf(stderr, "download_fuzz: no main window\n");
        exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FarEnd far;
    far.cable = "fuzz-" + std::to_string(g_run++);
    plat::cable_create(far.cable);
    std::string profile = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"cable:" + far.cable +
                          ":a\"\n\"RIL1:\"=\"none\"\n";
    std::string error;
    if (!plat::profile_load_text(profile, "download-fuzz.reg", &error))
    {
        fprintf(stderr, "download_fuzz: %s\n", error.c_str());
        abort();
    }
    SendDlgItemMessageW(g_hwnd.load(), IDC_LOG, WM_SETTEXT, 0, (LPARAM)u""); // the pane would grow over the runs
    int restartsBefore = g_restarts.load();
    Clock::time_point start = Clock::now();
    int64_t cpuStart = ProcessCpuNs();

    // As the command table delivers "Update firmware - Go"; the worker runs
    // once this returns.
    StartUpdate(g_hwnd.load(), IDM_UPDATE_GO, 0, 0);
    // The script starts once the tool holds the line: its first sync byte.
    far.scriptEnd = Clock::now() + milliseconds(kScriptMs);
    far.Take(1, 5000);
    Script script{data, size};
    far.Play(script);
    auto settle = Clock::now() + milliseconds(kSettleMs);
    while (!WorkerEnded() && Clock::now() < settle)
        std::this_thread::sleep_for(milliseconds(5));
    plat::cable_hangup(far.cable, 'b');
    Clock::time_point hangup = Clock::now();
    int64_t cpuHangup = ProcessCpuNs();
    auto limit = hangup + milliseconds(kRunEndMs);
    while (!WorkerEnded())
    {
        if (Clock::now() >= limit)
            Finding("the run did not end after the line dropped");
        far.Drop();
        std::this_thread::sleep_for(milliseconds(5));
    }

    DWORD state = QueryRun(RUNREPORT_STATE);
    if (state != RUNSTATE_FLASHED && state != RUNSTATE_UPDATE_FAILED && state != RUNSTATE_LINK_LOST)
        Finding("the run ended without a stated outcome");
    if ((state == RUNSTATE_FLASHED) != (g_restarts.load() != restartsBefore))
        Finding("a flashed run restarts the device, and only a flashed one");
    int64_t cpu = ProcessCpuNs() - cpuStart;
    double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (getenv("DOWNLOAD_FUZZ_VERBOSE") != nullptr)
        fprintf(stderr,
                "download_fuzz: state %u, attempts %u, %zu bytes in, %zu out, %.2f s, %.3f s CPU; after the hang-up "
                "%.3f s, %.3f s CPU\n",
                (unsigned)state, (unsigned)QueryRun(RUNREPORT_ATTEMPTS), far.sent, far.taken, wall, cpu / 1e9,
                std::chrono::duration<double>(Clock::now() - hangup).count(), (ProcessCpuNs() - cpuHangup) / 1e9);
    if (cpu > kCpuBaseNs + kCpuPerByteInNs * (int64_t)far.sent + kCpuPerByteOutNs * (int64_t)far.taken &&
        cpu > (int64_t)(wall * 0.5e9))
    {
        char what[160];
        snprintf(what, sizeof(what),
                 "the run spun: more CPU than its bytes explain (%.3f s CPU, %.2f s, %zu in, %zu out)", cpu / 1e9, wall,
                 far.sent, far.taken);
        Finding(what);
    }
    return 0;
}
