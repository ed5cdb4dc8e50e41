#include "tests/support/download_harness.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"
#include "platform/profile/profile.h"
#include "platform/serial/syscalls.h"
#include "platform/serial/vcable.h"
#include "shell/log.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace download_harness
{

// ---------------------------------------------------------------------------
// Tap
// ---------------------------------------------------------------------------
SimLink Tap::Wrap(SimLink inner)
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

std::vector<uint8_t> Tap::ToolBytes()
{
    std::lock_guard<std::mutex> lock(mu_);
    return tool_;
}

std::vector<int64_t> Tap::ToolTimes()
{
    std::lock_guard<std::mutex> lock(mu_);
    return toolNs_;
}

size_t Tap::ToolCount()
{
    std::lock_guard<std::mutex> lock(mu_);
    return tool_.size();
}

std::vector<Answer> Tap::Answers()
{
    std::lock_guard<std::mutex> lock(mu_);
    return answers_;
}

std::vector<uint8_t> Tap::AnswerBytes()
{
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<uint8_t> out;
    for (const Answer& a : answers_)
        out.insert(out.end(), a.bytes.begin(), a.bytes.end());
    return out;
}

int64_t Tap::SimThreadCpuNs()
{
    if (!haveClock_.load())
        return -1;
    struct timespec ts;
    if (clock_gettime(simClock_, &ts) != 0)
        return -1;
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

int Tap::Read(void* ctx, uint8_t* buf, int max, int timeoutMs)
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

void Tap::Note(Answer::Kind kind, const uint8_t* buf, int n)
{
    std::lock_guard<std::mutex> lock(mu_);
    Answer a;
    a.kind = kind;
    a.ns = NsSince(t0_, Clock::now());
    a.bytes.assign(buf, buf + n);
    a.toolBytesBefore = tool_.size();
    answers_.push_back(std::move(a));
}

int Tap::Write(void* ctx, const uint8_t* buf, int n)
{
    Tap* t = static_cast<Tap*>(ctx);
    const std::vector<uint8_t> answer(buf, buf + n);
    if (t->spaced_.empty() || t->spaced_ != answer)
    {
        if (t->hook_)
            t->hook_(answer);
        t->Note(Answer::Bytes, buf, n);
        return t->inner_.write(t->inner_.ctx, buf, n);
    }
    for (int i = 0; i < n; i++)
    {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(t->gapMs_));
        // The answer is whole with its last byte: what follows it applies from there.
        if (i == n - 1 && t->hook_)
            t->hook_(answer);
        t->Note(Answer::Bytes, buf + i, 1);
        if (t->inner_.write(t->inner_.ctx, buf + i, 1) != 1)
            return i;
    }
    return n;
}

void Tap::SendBreak(void* ctx)
{
    Tap* t = static_cast<Tap*>(ctx);
    t->Note(Answer::Break, nullptr, 0);
    t->inner_.send_break(t->inner_.ctx);
}

void Tap::Hangup(void* ctx)
{
    Tap* t = static_cast<Tap*>(ctx);
    t->Note(Answer::Hangup, nullptr, 0);
    t->inner_.hangup(t->inner_.ctx);
}

void Tap::Interrupt(void* ctx)
{
    Tap* t = static_cast<Tap*>(ctx);
    t->inner_.interrupt(t->inner_.ctx);
}

void Tap::Close(void* ctx)
{
    Tap* t = static_cast<Tap*>(ctx);
    if (t->inner_.close)
        t->inner_.close(t->inner_.ctx);
}

// ---------------------------------------------------------------------------
// LinkTrace
// ---------------------------------------------------------------------------
namespace
{

// Lives as long as the process: a call through the table may still be under
// way when a trace ends.
struct TraceState
{
    std::mutex mu;
    std::string path;
    std::atomic<int> fd{-1};
    Clock::time_point t0;
    std::vector<LinkEvent> events;
};

TraceState& State()
{
    static TraceState* state = new TraceState();
    return *state;
}

void Record(LinkEvent e)
{
    TraceState& s = State();
    e.tid = gettid();
    std::lock_guard<std::mutex> lock(s.mu);
    e.ns = NsSince(s.t0, Clock::now());
    s.events.push_back(e);
}

int TracedOpen(const char* path, int flags, mode_t mode)
{
    int fd = plat::real_syscalls().open(path, flags, mode);
    TraceState& s = State();
    bool traced;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        traced = fd >= 0 && s.path == path;
    }
    if (traced)
    {
        s.fd.store(fd);
        LinkEvent e;
        e.kind = LinkEvent::Open;
        e.rilSuspends = plat::ril_counts().suspend;
        Record(e);
    }
    return fd;
}

int TracedClose(int fd)
{
    int expected = fd;
    State().fd.compare_exchange_strong(expected, -1);
    return plat::real_syscalls().close(fd);
}

ssize_t TracedWrite(int fd, const void* buf, size_t n)
{
    ssize_t w = plat::real_syscalls().write(fd, buf, n);
    if (w > 0 && fd == State().fd.load())
    {
        LinkEvent e;
        e.kind = LinkEvent::Write;
        e.len = (size_t)w;
        e.first = *(const uint8_t*)buf;
        Record(e);
    }
    return w;
}

int TracedFlush(int fd, int queue)
{
    int r = plat::real_syscalls().tcflush(fd, queue);
    if (fd == State().fd.load())
    {
        LinkEvent e;
        e.kind = LinkEvent::Flush;
        e.queue = queue;
        e.casterSuspended = -1;
        if (auto caster = plat::handle_get_as<plat::ThreadObj>(g_hCaster.load(), plat::ObjectKind::Thread))
        {
            std::lock_guard<std::mutex> lock(caster->mu);
            e.casterSuspended = caster->finished ? -1 : caster->suspendCount;
        }
        Record(e);
    }
    return r;
}

const plat::Syscalls* TraceTable()
{
    static const plat::Syscalls table = []
    {
        plat::Syscalls t = plat::real_syscalls();
        t.open = TracedOpen;
        t.close = TracedClose;
        t.write = TracedWrite;
        t.tcflush = TracedFlush;
        return t;
    }();
    return &table;
}

plat::SyscallOverride* g_traceOverride = nullptr;

} // namespace

LinkTrace::LinkTrace(const std::string& path)
{
    TraceState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.path = path;
        s.t0 = Clock::now();
        s.events.clear();
    }
    s.fd.store(-1);
    g_traceOverride = new plat::SyscallOverride(TraceTable());
}

LinkTrace::~LinkTrace()
{
    delete g_traceOverride;
    g_traceOverride = nullptr;
}

std::vector<LinkEvent> LinkTrace::Events()
{
    TraceState& s = State();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.events;
}

// ---------------------------------------------------------------------------
// Restart, wire
// ---------------------------------------------------------------------------
void RecordRestart()
{
    g_boxesAtRestart.store((int)plat::display_box_list().size());
    g_resetsAtRestart.store(plat::ril_counts().reset);
    g_restartCalls.fetch_add(1);
}

CheckBytes ImageCheckBytes(const uint8_t* image, size_t n)
{
    CheckBytes c;
    for (size_t i = 0; i < n; i++)
        (i % 2 == 0 ? c.even : c.odd) ^= image[i];
    return c;
}

uint8_t Xor(const uint8_t* p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; i++)
        x ^= p[i];
    return x;
}

std::vector<uint8_t> ExpectedWire()
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

std::vector<uint8_t> WithoutLeadingSyncs(const std::vector<uint8_t>& bytes, size_t* syncs)
{
    size_t i = 0;
    while (i < bytes.size() && bytes[i] == SYNC_BYTE)
        i++;
    if (syncs)
        *syncs = i;
    return std::vector<uint8_t>(bytes.begin() + (long)i, bytes.end());
}

// ---------------------------------------------------------------------------
// Rig
// ---------------------------------------------------------------------------
bool Rig::Setup(const RigOptions& o, SimConfig cfg, std::string* error)
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
    if (o.bootAnswerMs > 0)
        cfg.faults.push_back({SimPhase::SyncAnswer, SimFaultKind::Late, 0, o.bootAnswerMs, -1});
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

Rig::~Rig()
{
    if (opt_.captureDebug)
        plat::debug_capture_end();
    if (sim_ != nullptr)
    {
        plat::simulator_unregister(sim_);
        sim_stop(sim_);
    }
}

LONG Rig::Go()
{
    return StartUpdate(window_.hwnd(), IDM_UPDATE_GO, 0, 0);
}

bool Rig::WaitWorker(int timeoutMs, DWORD* exitCode)
{
    if (!testsupport::WaitThreadExit(g_hWorker.load(), timeoutMs, exitCode))
        return false;
    workerEnd_ = Clock::now();
    return true;
}

const std::vector<std::string>& Rig::DebugLines()
{
    for (const std::u16string& l : plat::debug_capture_take())
        debug_.push_back(plat::utf16_to_utf8(l));
    return debug_;
}

size_t Rig::CountDebug(const std::string& line)
{
    size_t n = 0;
    for (const std::string& l : DebugLines())
        n += l == line;
    return n;
}

std::vector<std::pair<int64_t, std::string>> Rig::States()
{
    std::lock_guard<std::mutex> lock(statesMu_);
    return states_;
}

std::vector<int64_t> Rig::StateTimes(const std::string& state)
{
    std::vector<int64_t> out;
    for (const auto& s : States())
        if (s.second == state)
            out.push_back(s.first);
    return out;
}

// Called by the simulator with its lock held: records and returns.
void Rig::OnState(void* arg, const char* state)
{
    Rig* r = static_cast<Rig*>(arg);
    int64_t ns = NsSince(r->tap_.Start(), Clock::now());
    std::lock_guard<std::mutex> lock(r->statesMu_);
    r->states_.emplace_back(ns, state);
}

} // namespace download_harness
