// The module simulator's engine: the thread that takes bytes from the link
// and hands them to the module-side state machine (sim_protocol.cpp), line
// pacing, delays and injected faults, and the calls of sim.h that run, reset,
// read and stop it.
//
// The thread holds the simulator's lock while it interprets bytes and lets go
// of it whenever it blocks (link read/write, pacing, delays). Every sleep is a
// condition-variable wait that a stop or a module reset cuts short.
#include "sim/sim.h"
#include "sim/sim_internal.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <sodium.h>

using namespace simcore;

namespace
{

constexpr int NOISE_MAX = 65536;
constexpr int READ_SLICE_MS = 50; // only for links without interrupt()
// How much line time one paced read may take: a whole image block (4000
// bytes, 382 ms at 115200 baud and 11 bits a byte), so that a block costs the
// simulator one wake-up to take it and one to answer it (a read of 4 ms of
// line time cost some 100 wake-ups a block, 2.5 s of CPU an image). Bytes
// taken are on the line: the state they lead to shows up to this long before
// their line time, their answers never do (each waits for its byte's arrival).
constexpr int PACE_CHUNK_US = 400000;

bool interrupted(const Sim* s)
{
    return s->stop || s->reset_pending;
}

// Sleeps until tp; false when a stop or reset cut the sleep short.
bool sleep_until(Sim* s, std::unique_lock<std::mutex>& lk, Clock::time_point tp)
{
    return !s->wake_cv.wait_until(lk, tp, [s] { return interrupted(s); });
}

void link_gone(Sim* s)
{
    s->rep.link_gone = true;
    set_state(s, St::Gone);
}

// Writes with the lock let go; the count written, -1 (and the link gone) when
// the peer has gone.
int link_write(Sim* s, std::unique_lock<std::mutex>& lk, const uint8_t* p, int n)
{
    lk.unlock();
    int r = s->link.write(s->link.ctx, p, n);
    lk.lock();
    if (r < 0)
    {
        link_gone(s);
        return -1;
    }
    s->rep.bytes_out += static_cast<uint64_t>(r);
    return r;
}

// Writes bytes that start to leave at from (or once the line is free),
// paced at the line rate when configured. False when cut short.
bool write_out(Sim* s, std::unique_lock<std::mutex>& lk, const uint8_t* p, int n, Clock::time_point from)
{
    if (!s->paced)
        return link_write(s, lk, p, n) == n;
    // A byte reaches the far end once it has fully left the line. The times
    // are absolute from the start of the group, so an oversleep is caught up
    // by sending the bytes that are due together.
    Clock::time_point start = std::max(from, s->out_clock);
    int i = 0;
    while (i < n)
    {
        if (!sleep_until(s, lk, start + s->byte_time * (i + 1)))
            return false;
        Clock::time_point now = Clock::now();
        int k = 1;
        while (i + k < n && start + s->byte_time * (i + k + 1) <= now)
            k++;
        int r = link_write(s, lk, p + i, k);
        if (r < 0)
            return false;
        i += r;
        s->out_clock = start + s->byte_time * i;
        if (r < k)
            return false;
    }
    return true;
}

uint8_t noise_byte(Sim* s)
{
    for (;;)
    {
        s->noise_seed = s->noise_seed * 1103515245u + 12345u;
        uint8_t b = static_cast<uint8_t>(s->noise_seed >> 16);
        if (b != SYNC_ANSWER && b != ACK && b != BLOCK_ACK)
            return b;
    }
}

// An answer as its fault rule leaves it.
struct Shaped
{
    unsigned delay_ms = 0;
    int noise = 0;         // noise bytes before the answer
    uint8_t bytes[8] = {}; // the answer, a Wrong rule applied
    bool is_a0 = false;    // still a sync answer
    bool send_break = false;
};

// Lets go of the lock while the link hangs up or signals a break.
void link_signal(Sim* s, std::unique_lock<std::mutex>& lk, void (*signal)(void* ctx))
{
    lk.unlock();
    signal(s->link.ctx);
    lk.lock();
}

// Applies the answer's fault rule; false when the rule leaves nothing to send.
bool shape_answer(Sim* s, std::unique_lock<std::mutex>& lk, const Answer& a, Shaped* out)
{
    const SimFault* f = a.fault;
    out->delay_ms = s->cfg.ack_delay_ms + a.delay_ms;
    memcpy(out->bytes, a.bytes, sizeof out->bytes);
    out->is_a0 = a.phase == SimPhase::SyncAnswer;
    if (!f)
        return true;
    s->rep.faults_applied++;
    switch (f->kind)
    {
        case SimFaultKind::Missing:
        case SimFaultKind::WrongFinalCheck: // used up by the check; never reaches here
            return false;
        case SimFaultKind::Silence:
            set_state(s, St::Silent);
            return false;
        case SimFaultKind::Unplug:
            if (s->link.hangup)
                link_signal(s, lk, s->link.hangup);
            link_gone(s);
            return false;
        case SimFaultKind::Late:
            out->delay_ms += static_cast<unsigned>(std::max(f->param, 0));
            return true;
        case SimFaultKind::Wrong:
            for (int i = 0; i < a.n; i++)
            {
                if (out->bytes[i] == SYNC_ANSWER || out->bytes[i] == ACK || out->bytes[i] == BLOCK_ACK)
                    out->bytes[i] = static_cast<uint8_t>(f->param);
            }
            out->is_a0 = out->is_a0 && out->bytes[0] == SYNC_ANSWER;
            return true;
        case SimFaultKind::Noise:
            out->noise = std::clamp(f->param, 0, NOISE_MAX);
            return true;
        case SimFaultKind::Break:
            out->send_break = true;
            return true;
    }
    return true;
}

void emit(Sim* s, std::unique_lock<std::mutex>& lk, const Answer& a)
{
    Shaped sh;
    if (!shape_answer(s, lk, a, &sh))
        return;
    // Answer only once the byte that asked for it has fully arrived, then after the delays.
    Clock::time_point t = Clock::now();
    if (s->paced)
        t = std::max(t, s->in_clock);
    t += std::chrono::milliseconds(sh.delay_ms);
    // Paced, the answer's own line time is one sleep with the wait for it.
    if ((!s->paced || sh.send_break) && !sleep_until(s, lk, t))
        return;
    if (sh.send_break)
    {
        if (s->link.send_break)
        {
            s->rep.breaks_sent++; // counted first, so a report taken once the break is seen includes it
            link_signal(s, lk, s->link.send_break);
        }
        return;
    }
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(sh.noise + a.n));
    for (int i = 0; i < sh.noise; i++)
        out.push_back(noise_byte(s));
    out.insert(out.end(), sh.bytes, sh.bytes + a.n);
    if (!write_out(s, lk, out.data(), static_cast<int>(out.size()), t))
        return;
    if (a.phase != SimPhase::Count)
        s->rep.acks_sent++;
    if (sh.is_a0)
        s->rep.a0_sent++;
}

void do_reset(Sim* s)
{
    s->reset_pending = false;
    s->rep.resets++;
    if (s->st != St::Gone)
        enter_boot_rom(s);
}

int ms_until(Clock::time_point tp)
{
    auto d = std::chrono::duration_cast<std::chrono::microseconds>(tp - Clock::now()).count();
    if (d <= 0)
        return 0;
    return static_cast<int>((d + 999) / 1000);
}

// While the boot ROM waits for a sync, a firmware present boots once the
// boot window has passed.
bool boot_window_open(const Sim* s)
{
    return s->st == St::BootRom && s->boot_deadline_set && firmware_present(s);
}

// Paced, one read takes no more than PACE_CHUNK_US of line time.
size_t read_chunk_size(const Sim* s)
{
    if (!s->paced)
        return 4096;
    uint64_t per_chunk = uint64_t(s->cfg.baud) * PACE_CHUNK_US / (uint64_t(s->cfg.bits_per_byte) * 1000000u);
    return std::clamp<size_t>(static_cast<size_t>(per_chunk), 1, 4096);
}

// Reads with the lock let go: the count read, 0 for none, -1 when the peer has
// gone.
int take_bytes(Sim* s, std::unique_lock<std::mutex>& lk, std::vector<uint8_t>& buf, int timeout)
{
    lk.unlock();
    // Bytes already waiting have been on the line behind the ones taken
    // before: they keep the line's clock. Only bytes after an idle line
    // restart it.
    bool queued = false;
    int n = 0;
    if (s->paced)
    {
        n = s->link.read(s->link.ctx, buf.data(), static_cast<int>(buf.size()), 0);
        queued = n > 0;
    }
    if (n == 0)
    {
        // The look without waiting may have taken a stop's or a reset's
        // wake-up: ask before a wait that would then last its whole time.
        lk.lock();
        const bool woken = interrupted(s);
        lk.unlock();
        if (!woken)
            n = s->link.read(s->link.ctx, buf.data(), static_cast<int>(buf.size()), timeout);
    }
    lk.lock();
    if (n <= 0)
        return n;
    s->rep.bytes_in += static_cast<uint64_t>(n);
    if (s->paced)
    {
        // Queued bytes followed the last byte taken, or the last answer
        // (the tool sends on only once it has that), whichever was later.
        Clock::time_point floor = queued ? std::max(s->in_clock, s->out_clock) : Clock::now();
        if (s->in_clock < floor)
            s->in_clock = floor;
    }
    return n;
}

// Hands the bytes to the state machine one by one and sends the answers they
// ask for.
void feed_bytes(Sim* s, std::unique_lock<std::mutex>& lk, const uint8_t* p, int n)
{
    for (int i = 0; i < n; i++)
    {
        if (interrupted(s) || s->st == St::Gone)
        {
            // Bytes that were on the line when the module was reset are lost.
            s->rep.bytes_dropped += static_cast<uint64_t>(n - i);
            return;
        }
        if (s->paced)
            s->in_clock += s->byte_time;
        // A byte that arrives once the boot window has passed finds the
        // firmware booted (paced, bytes taken may arrive later than now).
        if (boot_window_open(s) && std::max(Clock::now(), s->in_clock) >= s->boot_deadline)
            set_state(s, St::Firmware);
        Answer a;
        feed(s, p[i], &a);
        if (a.due)
            emit(s, lk, a);
    }
}

void run(Sim* s)
{
    std::unique_lock<std::mutex> lk(s->mu);
    if (s->cfg.firmware_at_start)
        set_state(s, St::Firmware);
    else
        enter_boot_rom(s);
    s->in_clock = s->out_clock = Clock::now();
    std::vector<uint8_t> buf(read_chunk_size(s));
    while (!s->stop)
    {
        if (s->reset_pending)
        {
            do_reset(s);
            continue;
        }
        if (s->st == St::Gone)
        {
            // Nothing to serve any more: wait for the stop without touching the link.
            s->wake_cv.wait(lk, [s] { return s->stop; });
            break;
        }
        // Take no byte before the line could have carried the ones already taken.
        if (s->paced && s->in_clock > Clock::now() && !sleep_until(s, lk, s->in_clock))
            continue;
        int timeout = -1;
        if (boot_window_open(s))
        {
            timeout = ms_until(s->boot_deadline);
            if (timeout == 0)
            {
                set_state(s, St::Firmware);
                continue;
            }
        }
        if (!s->link.interrupt)
            timeout = timeout < 0 ? READ_SLICE_MS : std::min(timeout, READ_SLICE_MS);
        int n = take_bytes(s, lk, buf, timeout);
        if (n < 0)
            link_gone(s);
        else
            feed_bytes(s, lk, buf.data(), n);
    }
    set_state(s, St::Stopped);
}

} // namespace

uint64_t sim_hash(const uint8_t* p, size_t n)
{
    uint64_t h = 0xCBF29CE484222325ull;
    for (size_t i = 0; i < n; i++)
    {
        h ^= p[i];
        h *= 0x100000001B3ull;
    }
    return h;
}

std::string sim_sha256(const uint8_t* p, size_t n)
{
    // The hash itself needs no sodium_init(): it picks no CPU-specific code
    // and reads no randomness.
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, p, n);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * sizeof digest);
    for (unsigned char b : digest)
    {
        out += hex[b >> 4];
        out += hex[b & 15];
    }
    return out;
}

Sim* sim_start(SimLink link, const SimConfig& cfg)
{
    if (!link.read || !link.write)
    {
        if (link.close)
            link.close(link.ctx);
        return nullptr;
    }
    Sim* s = new Sim;
    s->link = link;
    s->cfg = cfg;
    if (s->cfg.bits_per_byte == 0)
        s->cfg.bits_per_byte = 11;
    s->paced = s->cfg.baud > 0;
    if (s->paced)
        s->byte_time = std::chrono::duration_cast<Clock::duration>(
            std::chrono::nanoseconds(uint64_t(s->cfg.bits_per_byte) * 1000000000ull / s->cfg.baud));
    s->rep.state = state_name(St::BootRom);
    s->thread = std::thread(run, s);
    return s;
}

void sim_reset(Sim* s)
{
    {
        std::lock_guard<std::mutex> g(s->mu);
        s->reset_pending = true;
        s->wake_cv.notify_all();
    }
    if (s->link.interrupt)
        s->link.interrupt(s->link.ctx);
}

SimReport sim_report(Sim* s)
{
    std::lock_guard<std::mutex> g(s->mu);
    return s->rep;
}

bool sim_flashed_image(Sim* s, std::vector<uint8_t>* out)
{
    std::lock_guard<std::mutex> g(s->mu);
    if (!s->rep.flashed)
    {
        out->clear();
        return false;
    }
    *out = s->flashed;
    return true;
}

bool sim_wait_state(Sim* s, const char* state, int timeout_ms)
{
    std::unique_lock<std::mutex> lk(s->mu);
    auto reached = [s, state] { return s->rep.state == state; };
    if (timeout_ms < 0)
    {
        s->state_cv.wait(lk, reached);
        return true;
    }
    return s->state_cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), reached);
}

void sim_stop(Sim* s)
{
    if (!s)
        return;
    {
        std::lock_guard<std::mutex> g(s->mu);
        s->stop = true;
        s->wake_cv.notify_all();
    }
    if (s->link.interrupt)
        s->link.interrupt(s->link.ctx);
    s->thread.join();
    if (s->link.close)
        s->link.close(s->link.ctx);
    delete s;
}
