// Test and benchmark harness for whole download runs: the module simulator on
// the far end of a pseudo-terminal pair (or of a virtual cable) whose near end
// the device profile names "COM1:", a tap between the simulator and its link
// that records every byte the tool sent and every answer the simulator wrote
// (with times), "RIL1:" wired to the simulator's reset, the main window with
// its log pane on a UI thread of its own, the device restart caught by a hook,
// and the debug output captured. A link trace records, through the platform's
// system-call table, the order of the tool's opens, writes and purges on the
// module's line. Free of any test framework, so the benchmark uses it too.
#pragma once

#include "download/payload.h"
#include "download/run.h"
#include "platform/serial/iocontrol.h"
#include "platform/windowing/display.h"
#include "sim/sim.h"
#include "tests/support/bridge_harness.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace download_harness
{

using bridge_harness::MainWindow;
using testsupport::Clock;
using testsupport::Pty;

inline int64_t NsSince(Clock::time_point t0, Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t - t0).count();
}

// ---------------------------------------------------------------------------
// The tap: a SimLink around the simulator's real link
// ---------------------------------------------------------------------------
// What the simulator put on the line, in order.
struct Answer
{
    enum Kind
    {
        Bytes,  // bytes written (one write call)
        Break,  // a line break
        Hangup, // the line dropped
    };
    Kind kind = Bytes;
    int64_t ns = 0;             // when, since the tap started
    std::vector<uint8_t> bytes; // for Bytes
    size_t toolBytesBefore = 0; // tool bytes the simulator had taken by then
};

// Records both directions. Reads and writes come from the simulator's thread;
// the accessors copy under the lock and may be called from any thread.
class Tap
{
public:
    Tap() : t0_(Clock::now()) {}

    // Wraps inner (taken over: the tap closes it when the simulator closes
    // the tap). The tap must outlive the simulator.
    SimLink Wrap(SimLink inner);

    Clock::time_point Start() const
    {
        return t0_;
    }

    // Called on the simulator's thread with every answer before it is
    // written (a spaced answer: before its last byte), so a test can act at
    // a point of the protocol (such as shortening a limit the tool has not
    // read yet). Set before the simulator starts.
    void SetAnswerHook(std::function<void(const std::vector<uint8_t>&)> hook)
    {
        hook_ = std::move(hook);
    }

    // Writes this answer a byte at a time, gapMs apart, as a module that
    // answers each step of its work when it is done. Set before the
    // simulator starts.
    void SpaceAnswer(std::vector<uint8_t> answer, int gapMs)
    {
        spaced_ = std::move(answer);
        gapMs_ = gapMs;
    }

    std::vector<uint8_t> ToolBytes();
    std::vector<int64_t> ToolTimes(); // arrival (ns since the start) of every tool byte
    size_t ToolCount();
    std::vector<Answer> Answers();
    std::vector<uint8_t> AnswerBytes(); // every answer byte in order (breaks and hang-ups left out)

    // CPU time the simulator's thread has used so far, in ns; -1 before its
    // first read.
    int64_t SimThreadCpuNs();

private:
    static int Read(void* ctx, uint8_t* buf, int max, int timeoutMs);
    static int Write(void* ctx, const uint8_t* buf, int n);
    static void SendBreak(void* ctx);
    static void Hangup(void* ctx);
    static void Interrupt(void* ctx);
    static void Close(void* ctx);
    void Note(Answer::Kind kind, const uint8_t* buf, int n);

    SimLink inner_{};
    const Clock::time_point t0_;
    std::mutex mu_;
    std::vector<uint8_t> tool_;
    std::vector<int64_t> toolNs_;
    std::vector<Answer> answers_;
    std::function<void(const std::vector<uint8_t>&)> hook_;
    std::vector<uint8_t> spaced_;
    int gapMs_ = 0;
    std::atomic<bool> haveClock_{false};
    clockid_t simClock_{};
};

// ---------------------------------------------------------------------------
// The tool's calls on the module's line
// ---------------------------------------------------------------------------
struct LinkEvent
{
    enum Kind
    {
        Open,
        Write,
        Flush,
    };
    Kind kind = Open;
    int64_t ns = 0;          // since the trace began
    pid_t tid = 0;           // the calling thread
    size_t len = 0;          // Write: bytes written
    uint8_t first = 0;       // Write: the first of them
    int queue = -1;          // Flush: TCIFLUSH, TCOFLUSH or TCIOFLUSH
    int casterSuspended = 0; // Flush: the sync caster's suspend count then; -1 without a caster
    int rilSuspends = 0;     // Open: radio suspends that had reached the driver by then
};

// Records, for its lifetime, every open of path (the tty behind "COM1:") and
// every write and flush on the descriptor it gave. One trace at a time.
class LinkTrace
{
public:
    explicit LinkTrace(const std::string& path);
    ~LinkTrace();
    LinkTrace(const LinkTrace&) = delete;
    LinkTrace& operator=(const LinkTrace&) = delete;

    static std::vector<LinkEvent> Events();
};

// ---------------------------------------------------------------------------
// The device restart, caught
// ---------------------------------------------------------------------------
inline std::atomic<int> g_restartCalls{0};
inline std::atomic<int> g_boxesAtRestart{-1};  // boxes shown when the restart came
inline std::atomic<int> g_resetsAtRestart{-1}; // module resets that had reached the driver by then

void RecordRestart();

// ---------------------------------------------------------------------------
// What the tool must put on the wire
// ---------------------------------------------------------------------------
struct CheckBytes
{
    uint8_t even = 0;
    uint8_t odd = 0;
};

// E and O of an image: XOR of the bytes at even offsets and at odd offsets.
CheckBytes ImageCheckBytes(const uint8_t* image, size_t n);
uint8_t Xor(const uint8_t* p, size_t n);

// The tool's whole byte stream after the sync bytes, for the embedded images.
std::vector<uint8_t> ExpectedWire();

// The stream without its leading sync bytes.
std::vector<uint8_t> WithoutLeadingSyncs(const std::vector<uint8_t>& bytes, size_t* syncs = nullptr);

// ---------------------------------------------------------------------------
// One download rig
// ---------------------------------------------------------------------------
struct RigOptions
{
    bool cable = false; // a virtual cable instead of a pty pair (breaks can be shown)
    std::string cableName = "module";
    bool expectImages = true;    // the simulator checks content against the embedded images
    bool firmwareAtStart = true; // the module runs its firmware until the first reset, as on a handheld
    bool captureDebug = true;    // record the debug lines (else they go to the sink)
    std::string ril = "sim-reset";
    bool catchRestart = true; // the device restart calls a hook instead of ending the process
    // How long after a sync the boot ROM answers (unless the test's own rules
    // say otherwise): a real module takes a moment to come out of a reset.
    int bootAnswerMs = 0;
};

class Rig
{
public:
    ~Rig();

    // Sets everything up; false with *error when something could not be.
    bool Setup(const RigOptions& o, SimConfig cfg, std::string* error);

    // "Update firmware - Go" as the command table delivers it, from this thread.
    LONG Go();

    // Waits for the worker of the latest run to end; false on time-out.
    bool WaitWorker(int timeoutMs, DWORD* exitCode = nullptr);

    // The debug lines so far (UTF-8), cumulative over the rig's life.
    const std::vector<std::string>& DebugLines();
    size_t CountDebug(const std::string& line);

    Sim* sim()
    {
        return sim_;
    }
    Tap& tap()
    {
        return tap_;
    }
    MainWindow& window()
    {
        return window_;
    }
    HWND hwnd()
    {
        return window_.hwnd();
    }
    std::string Log()
    {
        return window_.Log();
    }
    Clock::time_point WorkerEnd() const
    {
        return workerEnd_;
    }
    const std::string& PtyPath() const
    {
        return pty_.path;
    }

    // The simulator's state changes: (ns since the tap started, state).
    std::vector<std::pair<int64_t, std::string>> States();
    // Times at which the module entered `state` (a reset enters "boot_rom").
    std::vector<int64_t> StateTimes(const std::string& state);

private:
    static void OnState(void* arg, const char* state);

    RigOptions opt_;
    Pty pty_;
    Tap tap_;
    Sim* sim_ = nullptr;
    MainWindow window_;
    std::vector<std::string> debug_;
    Clock::time_point workerEnd_{};
    std::mutex statesMu_;
    std::vector<std::pair<int64_t, std::string>> states_;
};

} // namespace download_harness
