// Test and benchmark harness for whole download runs: the module simulator on
// the far end of a pseudo-terminal pair (or of a virtual cable) whose near end
// the device profile names "COM1:", a tap between the simulator and its link
// that records every byte the tool sent and every answer the simulator wrote
// (with times), "RIL1:" wired to the simulator's reset, the main window with
// its log pane on a UI thread of its own, the device restart caught by a hook,
// and the debug output captured. Header-only and free of any test framework,
// so the benchmark uses it too.
#pragma once

#include "download/payload.h"
#include "download/run.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/iocontrol.h"
#include "platform/windowing/display.h"
#include "platform/profile/profile.h"
#include "platform/kernel/text.h"
#include "platform/serial/vcable.h"
#include "shell/log.h"
#include "sim/sim.h"
#include "tests/support/bridge_harness.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ctime>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace download_harness
{

using Clock = std::chrono::steady_clock;
using bridge_harness::MainWindow;
using bridge_harness::Pty;

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
    SimLink Wrap(SimLink inner)
    {
        inner_ = inner;
        SimLink l{};
        l.ctx = this;
        l.read = inner.read ? &Tap::Read : nullptr;
        l.write = inner.write ? &Tap::Write : nullptr;
        l.send_break = inner.send_break ? &Tap::SendBreak : nullptr;
        l.hangup = inner.hangup ? &Tap::Hangup : nullptr;
        l.interrupt = inner.interrupt ? &Tap::Interrupt : nullptr;
        l.close = &Tap::Close;
        return l;
    }

    Clock::time_point Start() const
    {
        return t0_;
    }

    // Called on the simulator's thread with every answer before it is
    // written, so a test can act at a point of the protocol (such as
    // shortening a limit the tool has not read yet). Set before the
    // simulator starts.
    void SetAnswerHook(std::function<void(const std::vector<uint8_t>&)> hook)
    {
        hook_ = std::move(hook);
    }

    std::vector<uint8_t> ToolBytes()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return tool_;
    }
    // Arrival time (ns since the start) of every tool byte.
    std::vector<int64_t> ToolTimes()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return toolNs_;
    }
    size_t ToolCount()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return tool_.size();
    }
    std::vector<Answer> Answers()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return answers_;
    }
    // Every answer byte in order (breaks and hang-ups left out).
    std::vector<uint8_t> AnswerBytes()
    {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<uint8_t> out;
        for (const Answer& a : answers_)
            out.insert(out.end(), a.bytes.begin(), a.bytes.end());
        return out;
    }

    // CPU time the simulator's thread has used so far, in ns; -1 before its
    // first read.
    int64_t SimThreadCpuNs()
    {
        if (!haveClock_.load())
            return -1;
        struct timespec ts;
        if (clock_gettime(simClock_, &ts) != 0)
            return -1;
        return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
    }

private:
    static int Read(void* ctx, uint8_t* buf, int max, int timeoutMs)
    {
        Tap* t = static_cast<Tap*>(ctx);
        if (!t->haveClock_.load() && pthread_getcpuclockid(pthread_self(), &t->simClock_) == 0)
            t->haveClock_.store(true);
        int n = t->inner_.read(t->inner_.ctx, buf, max, timeoutMs);
        if (n > 0)
        {
            int64_t ns = NsSince(t->t0_, Clock::now());
            std::lock_guard<std::mutex> lock(t->mu_);
            t->tool_.insert(t->tool_.end(), buf, buf + n);
            t->toolNs_.insert(t->toolNs_.end(), (size_t)n, ns);
        }
        return n;
    }

    static int Write(void* ctx, const uint8_t* buf, int n)
    {
        Tap* t = static_cast<Tap*>(ctx);
        {
            std::lock_guard<std::mutex> lock(t->mu_);
            Answer a;
            a.kind = Answer::Bytes;
            a.ns = NsSince(t->t0_, Clock::now());
            a.bytes.assign(buf, buf + n);
            a.toolBytesBefore = t->tool_.size();
            t->answers_.push_back(std::move(a));
        }
        if (t->hook_)
            t->hook_(std::vector<uint8_t>(buf, buf + n));
        return t->inner_.write(t->inner_.ctx, buf, n);
    }

    void Note(Answer::Kind kind)
    {
        std::lock_guard<std::mutex> lock(mu_);
        Answer a;
        a.kind = kind;
        a.ns = NsSince(t0_, Clock::now());
        a.toolBytesBefore = tool_.size();
        answers_.push_back(std::move(a));
    }

    static void SendBreak(void* ctx)
    {
        Tap* t = static_cast<Tap*>(ctx);
        t->Note(Answer::Break);
        t->inner_.send_break(t->inner_.ctx);
    }

    static void Hangup(void* ctx)
    {
        Tap* t = static_cast<Tap*>(ctx);
        t->Note(Answer::Hangup);
        t->inner_.hangup(t->inner_.ctx);
    }

    static void Interrupt(void* ctx)
    {
        Tap* t = static_cast<Tap*>(ctx);
        t->inner_.interrupt(t->inner_.ctx);
    }

    static void Close(void* ctx)
    {
        Tap* t = static_cast<Tap*>(ctx);
        if (t->inner_.close)
            t->inner_.close(t->inner_.ctx);
    }

    SimLink inner_{};
    const Clock::time_point t0_;
    std::mutex mu_;
    std::vector<uint8_t> tool_;
    std::vector<int64_t> toolNs_;
    std::vector<Answer> answers_;
    std::function<void(const std::vector<uint8_t>&)> hook_;
    std::atomic<bool> haveClock_{false};
    clockid_t simClock_{};
};

// ---------------------------------------------------------------------------
// The device restart, caught
// ---------------------------------------------------------------------------
inline std::atomic<int> g_restartCalls{0};
inline std::atomic<int> g_boxesAtRestart{-1};  // boxes shown when the restart came
inline std::atomic<int> g_resetsAtRestart{-1}; // module resets that had reached the driver by then

inline void RecordRestart()
{
    g_boxesAtRestart.store((int)plat::display_box_list().size());
    g_resetsAtRestart.store(plat::ril_counts().reset);
    g_restartCalls.fetch_add(1);
}

// ---------------------------------------------------------------------------
// What the tool must put on the wire
// ---------------------------------------------------------------------------
struct CheckBytes
{
    uint8_t even = 0;
    uint8_t odd = 0;
};

// E and O of an image: XOR of the bytes at even offsets and at odd offsets.
inline CheckBytes ImageCheckBytes(const uint8_t* image, size_t n)
{
    CheckBytes c;
    for (size_t i = 0; i < n; i++)
    {
        if (i % 2 == 0)
            c.even ^= image[i];
        else
            c.odd ^= image[i];
    }
    return c;
}

inline uint8_t Xor(const uint8_t* p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; i++)
        x ^= p[i];
    return x;
}

// The tool's whole byte stream after the sync bytes, for the embedded images.
inline std::vector<uint8_t> ExpectedWire()
{
    const uint8_t* boot1 = LoadPayload(PAYLOAD_BOOT1);
    const uint8_t* boot2 = LoadPayload(PAYLOAD_BOOT2);
    const uint8_t* fw = LoadPayload(PAYLOAD_FW);
    std::vector<uint8_t> w;
    if (boot1 == nullptr || boot2 == nullptr || fw == nullptr)
        return w;
    w.reserve(FW_LENGTH + 8000);
    w.push_back(BOOT1_LENGTH);
    w.insert(w.end(), boot1, boot1 + BOOT1_LENGTH);
    w.push_back(Xor(boot1, BOOT1_LENGTH));
    w.push_back(BOOT2_LENGTH / 256);
    w.push_back(BOOT2_LENGTH % 256);
    w.insert(w.end(), boot2, boot2 + BOOT2_LENGTH);
    w.push_back(Xor(boot2, BOOT2_LENGTH));
    w.push_back(0x50);
    w.push_back(0x54);
    w.insert(w.end(), {0x3F, 0xA0, 0x00});
    w.insert(w.end(), {(uint8_t)(FW_LENGTH >> 16), (uint8_t)(FW_LENGTH >> 8), (uint8_t)FW_LENGTH});
    w.insert(w.end(), fw, fw + FW_LENGTH);
    CheckBytes c = ImageCheckBytes(fw, FW_LENGTH);
    w.push_back(c.even);
    w.push_back(c.odd);
    return w;
}

// The stream without its leading sync bytes.
inline std::vector<uint8_t> WithoutLeadingSyncs(const std::vector<uint8_t>& bytes, size_t* syncs = nullptr)
{
    size_t i = 0;
    while (i < bytes.size() && bytes[i] == SYNC_BYTE)
        i++;
    if (syncs)
        *syncs = i;
    return std::vector<uint8_t>(bytes.begin() + (long)i, bytes.end());
}

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
};

class Rig
{
public:
    // Sets everything up; false with *error when something could not be.
    bool Setup(const RigOptions& o, SimConfig cfg, std::string* error)
    {
        opt_ = o;
        if (o.captureDebug)
            plat::debug_capture_begin();
        SimLink inner{};
        std::string com1;
        if (o.cable)
        {
            plat::cable_create(o.cableName);
            inner = plat::cable_sim_link(o.cableName, 'b');
            com1 = "cable:" + o.cableName + ":a";
        }
        else
        {
            if (!pty_.Open(true))
            {
                *error = std::string("pty: ") + strerror(errno);
                return false;
            }
            inner = sim_fd_link(pty_.master);
            if (inner.read == nullptr)
            {
                *error = std::string("sim_fd_link: ") + strerror(errno);
                return false;
            }
            pty_.master = -1; // the simulator's link owns it now
            com1 = "tty:" + pty_.path;
        }
        std::string profile = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"" + com1 + "\"\n";
        if (!o.ril.empty())
            profile += "\"RIL1:\"=\"" + o.ril + "\"\n";
        if (!plat::profile_load_text(profile, "download-test.reg", error))
            return false;

        if (o.expectImages)
        {
            cfg.expect_boot1 = LoadPayload(PAYLOAD_BOOT1);
            cfg.boot1_len = BOOT1_LENGTH;
            cfg.expect_boot2 = LoadPayload(PAYLOAD_BOOT2);
            cfg.boot2_len = BOOT2_LENGTH;
            cfg.expect_image = LoadPayload(PAYLOAD_FW);
            cfg.image_len = FW_LENGTH;
        }
        cfg.firmware_at_start = o.firmwareAtStart;
        cfg.on_state = &Rig::OnState;
        cfg.state_arg = this;
        sim_ = sim_start(tap_.Wrap(inner), cfg);
        if (sim_ == nullptr)
        {
            *error = "sim_start failed";
            return false;
        }
        plat::simulator_register(sim_);
        plat::set_restart_hook(o.catchRestart ? &RecordRestart : nullptr);
        if (!window_.Start())
        {
            *error = "main window";
            return false;
        }
        return true;
    }

    ~Rig()
    {
        if (opt_.captureDebug)
            plat::debug_capture_end();
        if (sim_ != nullptr)
        {
            plat::simulator_unregister(sim_);
            sim_stop(sim_);
        }
    }

    // "Update firmware - Go" as the command table delivers it, from this thread.
    LONG Go()
    {
        return StartUpdate(window_.hwnd(), IDM_UPDATE_GO, 0, 0);
    }

    // Waits for the worker of the latest run to end; false on time-out.
    bool WaitWorker(int timeoutMs, DWORD* exitCode = nullptr)
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;)
        {
            DWORD code = 0;
            if (GetExitCodeThread(g_hWorker.load(), &code) && code != STILL_ACTIVE)
            {
                if (exitCode)
                    *exitCode = code;
                workerEnd_ = Clock::now();
                return true;
            }
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // The debug lines so far (UTF-8), cumulative over the rig's life.
    const std::vector<std::string>& DebugLines()
    {
        for (const std::u16string& l : plat::debug_capture_take())
            debug_.push_back(plat::utf16_to_utf8(l));
        return debug_;
    }

    size_t CountDebug(const std::string& line)
    {
        size_t n = 0;
        for (const std::string& l : DebugLines())
            n += l == line;
        return n;
    }

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
    std::vector<std::pair<int64_t, std::string>> States()
    {
        std::lock_guard<std::mutex> lock(statesMu_);
        return states_;
    }
    // Times at which the module entered `state` (a reset enters "boot_rom").
    std::vector<int64_t> StateTimes(const std::string& state)
    {
        std::vector<int64_t> out;
        for (const auto& s : States())
            if (s.second == state)
                out.push_back(s.first);
        return out;
    }

private:
    // Called by the simulator with its lock held: records and returns.
    static void OnState(void* arg, const char* state)
    {
        Rig* r = static_cast<Rig*>(arg);
        int64_t ns = NsSince(r->tap_.Start(), Clock::now());
        std::lock_guard<std::mutex> lock(r->statesMu_);
        r->states_.emplace_back(ns, state);
    }

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
