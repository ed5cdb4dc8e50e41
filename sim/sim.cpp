// The module simulator's engine: the protocol state machine of the module side
// (boot ROM, stage-1 frame, stage-2 blocks, loader commands, image transfer,
// AT firmware), line pacing, delays and injected faults, on one thread.
//
// The thread holds the simulator's lock while it interprets bytes and lets go
// of it whenever it blocks (link read/write, pacing, delays). Every sleep is a
// condition-variable wait that a stop or a module reset cuts short.
#include "sim/sim.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace
{

using Clock = std::chrono::steady_clock;

constexpr uint8_t SYNC = 0x55;
constexpr uint8_t SYNC_ANSWER = 0xA0;
constexpr uint8_t ACK = 0xA5;
constexpr uint8_t BLOCK_ACK = 0xAA;
constexpr uint8_t NAK = 0xEE; // what the loader answers to wrong image check bytes
constexpr uint8_t CMD_BAUD = 0x50;
constexpr uint8_t CMD_IMAGE = 0x54;
constexpr size_t STAGE2_BLOCK = 1000;
constexpr size_t IMAGE_BLOCK = 4000;
constexpr uint32_t FIXED_FILE_SIZE = 0x3FA000;
constexpr size_t AT_LINE_MAX = 256;
constexpr size_t VIOLATIONS_KEPT = 256;
constexpr int NOISE_MAX = 65536;
constexpr int READ_SLICE_MS = 50;   // only for links without interrupt()
constexpr int PACE_CHUNK_US = 4000; // how much line time one paced read may take

// The two memory-report bytes the loader sends before its 0xA5 on 0x50.
static const uint8_t g_memoryReport[2] = {0x40, 0x00};

enum class St
{
    BootRom,
    Stage1,
    Stage2,
    Loader,
    ImageHeader,
    Image,
    Halted,
    Silent,
    Firmware,
    Gone,
    Stopped,
};

// clang-format off
// name, indexed by St
static const char* const g_stateNames[] = {
    "boot_rom",
    "stage1",
    "stage2",
    "loader",
    "image_header",
    "image",
    "halted",
    "silent",
    "firmware",
    "gone",
    "stopped",
};

struct PhaseName
{
    SimPhase phase;
    const char* name;
};
// phase                        name
static const PhaseName g_phaseNames[] = {
    { SimPhase::SyncAnswer,     "sync"         },
    { SimPhase::Stage1Ack,      "stage1"       },
    { SimPhase::Stage2BlockAck, "stage2-block" },
    { SimPhase::Stage2FinalAck, "stage2-final" },
    { SimPhase::MemoryCheckAck, "memory-check" },
    { SimPhase::FileSizeAcks,   "file-size"    },
    { SimPhase::ImageBlockAck,  "image-block"  },
    { SimPhase::FinalAck,       "final"        },
};

struct KindName
{
    SimFaultKind kind;
    const char* name;
};
// kind                             name
static const KindName g_kindNames[] = {
    { SimFaultKind::Missing,         "missing"     },
    { SimFaultKind::Late,            "late"        },
    { SimFaultKind::Wrong,           "wrong"       },
    { SimFaultKind::Noise,           "noise"       },
    { SimFaultKind::Break,           "break"       },
    { SimFaultKind::Silence,         "silence"     },
    { SimFaultKind::Unplug,          "unplug"      },
    { SimFaultKind::WrongFinalCheck, "wrong-check" },
};
// clang-format on

// An answer the state machine has decided on; sent after the lock-held part.
struct Answer
{
    bool due = false;
    SimPhase phase = SimPhase::Count; // Count: not a protocol answer (AT firmware), no faults
    uint8_t bytes[8] = {};
    int n = 0;
    unsigned delay_ms = 0;
    const SimFault* fault = nullptr;
};

} // namespace

struct Sim
{
    SimLink link;
    SimConfig cfg;
    std::thread thread;
    std::mutex mu;
    std::condition_variable wake_cv;  // stop / reset for the simulator's own sleeps
    std::condition_variable state_cv; // state changes for sim_wait_state
    bool stop = false;
    bool reset_pending = false;

    // Protocol state, under mu.
    St st = St::BootRom;
    int step = 0;              // position inside the current state
    size_t len = 0;            // announced length of the stage or image
    size_t got = 0;            // bytes of it received
    uint32_t word = 0;         // multi-byte field being assembled
    uint8_t check = 0;         // running XOR (stages), E (image, even offsets)
    uint8_t check_odd = 0;     // O (image, odd offsets)
    uint8_t recv_even = 0;     // the E byte received
    bool compare_done = false; // the first content difference of this transfer is reported
    bool boot_deadline_set = false;
    Clock::time_point boot_deadline;
    std::vector<uint8_t> rx;
    std::vector<uint8_t> flashed;
    std::string at_line;
    uint64_t phase_count[static_cast<int>(SimPhase::Count)] = {};
    uint32_t noise_seed = 0x2545F491;
    SimReport rep;

    // Line pacing, simulator thread only.
    bool paced = false;
    Clock::duration byte_time{};
    Clock::time_point in_clock;  // when the last byte taken has fully arrived
    Clock::time_point out_clock; // when the last byte sent has fully left
};

namespace
{

void set_state(Sim* s, St st)
{
    s->st = st;
    s->step = 0;
    s->rep.state = g_stateNames[static_cast<int>(st)];
    if (s->cfg.on_state)
        s->cfg.on_state(s->cfg.state_arg, s->rep.state.c_str());
    s->state_cv.notify_all();
}

void violation(Sim* s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void violation(Sim* s, const char* fmt, ...)
{
    s->rep.violation_count++;
    if (s->rep.violations.size() >= VIOLATIONS_KEPT)
        return;
    char buf[200];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    s->rep.violations.push_back(buf);
}

bool firmware_present(const Sim* s)
{
    return s->rep.flashed || s->cfg.firmware_at_start;
}

void enter_boot_rom(Sim* s)
{
    s->boot_deadline_set = s->cfg.boot_window_ms > 0;
    if (s->boot_deadline_set)
        s->boot_deadline = Clock::now() + std::chrono::milliseconds(s->cfg.boot_window_ms);
    s->rx.clear();
    s->at_line.clear();
    set_state(s, St::BootRom);
}

// Counts one occurrence of `phase` and returns the first rule that covers it.
const SimFault* take_fault(Sim* s, SimPhase phase)
{
    uint64_t idx = s->phase_count[static_cast<int>(phase)]++;
    for (const SimFault& f : s->cfg.faults)
    {
        if (f.phase != phase || f.occurrence < 0 || idx < static_cast<uint64_t>(f.occurrence))
            continue;
        if (f.repeat < 0 || idx < static_cast<uint64_t>(f.occurrence) + static_cast<uint64_t>(f.repeat))
            return &f;
    }
    return nullptr;
}

void answer(Answer* a, SimPhase phase, const SimFault* fault, std::initializer_list<uint8_t> bytes,
            unsigned extra_ms = 0)
{
    a->due = true;
    a->phase = phase;
    a->fault = fault;
    a->n = 0;
    for (uint8_t b : bytes)
        a->bytes[a->n++] = b;
    a->delay_ms = extra_ms;
}

// A WrongFinalCheck rule is used up by the check itself; any other rule stays for the answer.
bool forced_wrong(Sim* s, const SimFault** fault)
{
    if (*fault && (*fault)->kind == SimFaultKind::WrongFinalCheck)
    {
        s->rep.faults_applied++;
        *fault = nullptr;
        return true;
    }
    return false;
}

// Compares the byte at s->got with the expected content, reporting the first difference only.
void compare(Sim* s, const uint8_t* expect, size_t expect_len, const char* what, uint8_t b)
{
    if (!expect || s->compare_done || s->got >= expect_len || expect[s->got] == b)
        return;
    s->compare_done = true;
    if (b == SYNC)
        violation(s, "sync byte 0x55 inside %s block at offset %zu", what, s->got);
    else
        violation(s, "%s byte at offset %zu is 0x%02X, expected 0x%02X", what, s->got, b, expect[s->got]);
}

void halt(Sim* s)
{
    s->rx.clear();
    set_state(s, St::Halted);
}

void feed_stage1(Sim* s, uint8_t b, Answer* a)
{
    const SimConfig& c = s->cfg;
    if (s->step == 0)
    {
        if (b == SYNC)
        {
            // The tool's caster stops only once it has seen 0xA0: late syncs are expected here.
            s->rep.syncs_skipped++;
            return;
        }
        s->len = b;
        s->got = 0;
        s->check = 0;
        s->compare_done = false;
        if (c.boot1_len && s->len != c.boot1_len)
        {
            violation(s, "stage-1 length %zu, expected %zu", s->len, c.boot1_len);
            s->rep.stage1_fail++;
            halt(s);
            return;
        }
        s->step = s->len ? 1 : 2;
        return;
    }
    if (s->step == 1)
    {
        compare(s, c.expect_boot1, c.boot1_len, "stage1", b);
        s->check ^= b;
        if (++s->got == s->len)
            s->step = 2;
        return;
    }
    const SimFault* f = take_fault(s, SimPhase::Stage1Ack);
    bool forced = forced_wrong(s, &f);
    if (b != s->check || forced)
    {
        if (!forced)
            violation(s, "stage-1 check byte 0x%02X, expected 0x%02X", b, s->check);
        s->rep.stage1_fail++;
        halt(s);
        return;
    }
    s->rep.stage1_ok++;
    answer(a, SimPhase::Stage1Ack, f, {ACK});
    set_state(s, St::Stage2);
}

void feed_stage2(Sim* s, uint8_t b, Answer* a)
{
    const SimConfig& c = s->cfg;
    switch (s->step)
    {
        case 0:
            s->len = static_cast<size_t>(b) << 8;
            s->step = 1;
            return;
        case 1:
            s->len |= b;
            s->got = 0;
            s->check = 0;
            s->compare_done = false;
            if (c.boot2_len && s->len != c.boot2_len)
            {
                violation(s, "stage-2 length %zu, expected %zu", s->len, c.boot2_len);
                s->rep.stage2_fail++;
                halt(s);
                return;
            }
            s->step = s->len ? 2 : 3;
            return;
        case 2:
            compare(s, c.expect_boot2, c.boot2_len, "stage2", b);
            s->check ^= b;
            s->got++;
            if (s->got % STAGE2_BLOCK == 0)
            {
                // Also after a full block that ends the loader: the sender waits for it.
                s->rep.stage2_blocks++;
                answer(a, SimPhase::Stage2BlockAck, take_fault(s, SimPhase::Stage2BlockAck), {BLOCK_ACK});
            }
            if (s->got == s->len)
                s->step = 3;
            return;
        default:
            break;
    }
    const SimFault* f = take_fault(s, SimPhase::Stage2FinalAck);
    bool forced = forced_wrong(s, &f);
    if (b != s->check || forced)
    {
        if (!forced)
            violation(s, "stage-2 check byte 0x%02X, expected 0x%02X", b, s->check);
        s->rep.stage2_fail++;
        halt(s);
        return;
    }
    s->rep.stage2_ok++;
    answer(a, SimPhase::Stage2FinalAck, f, {ACK});
    set_state(s, St::Loader);
}

void feed_loader(Sim* s, uint8_t b, Answer* a)
{
    if (b == CMD_BAUD)
    {
        // The line stays at its rate; the loader reports its memory and accepts.
        s->rep.memory_checks++;
        answer(a, SimPhase::MemoryCheckAck, take_fault(s, SimPhase::MemoryCheckAck),
               {g_memoryReport[0], g_memoryReport[1], ACK});
        return;
    }
    if (b == CMD_IMAGE)
    {
        set_state(s, St::ImageHeader);
        s->word = 0;
        return;
    }
    s->rep.bytes_dropped++;
}

void feed_image_header(Sim* s, uint8_t b, Answer* a)
{
    const SimConfig& c = s->cfg;
    s->word = (s->word << 8) | b;
    s->step++;
    if (s->step == 3)
    {
        if (s->word != FIXED_FILE_SIZE)
            violation(s, "fixed file size 0x%06X, expected 0x%06X", s->word, FIXED_FILE_SIZE);
        s->word = 0;
        answer(a, SimPhase::FileSizeAcks, take_fault(s, SimPhase::FileSizeAcks), {ACK, ACK, ACK}, c.erase_delay_ms);
        return;
    }
    if (s->step < 6)
        return;
    size_t n = s->word;
    if (c.image_len && n != c.image_len)
    {
        violation(s, "image length %zu, expected %zu", n, c.image_len);
        s->rep.images_fail++;
        halt(s);
        return;
    }
    if (n > FIXED_FILE_SIZE)
    {
        violation(s, "image length %zu exceeds the erased area of %u bytes", n, FIXED_FILE_SIZE);
        s->rep.images_fail++;
        halt(s);
        return;
    }
    set_state(s, St::Image);
    s->len = n;
    s->got = 0;
    s->check = 0;
    s->check_odd = 0;
    s->compare_done = false;
    s->rx.clear();
    s->rx.reserve(n);
    s->step = n ? 0 : 1;
}

void feed_image(Sim* s, uint8_t b, Answer* a)
{
    const SimConfig& c = s->cfg;
    if (s->step == 0)
    {
        compare(s, c.expect_image, c.image_len, "image", b);
        s->rx.push_back(b);
        // Blocks are 4000 bytes, an even length, so block offsets and image offsets share their parity.
        if (s->got % 2 == 0)
            s->check ^= b;
        else
            s->check_odd ^= b;
        s->got++;
        if (s->got % IMAGE_BLOCK == 0)
        {
            s->rep.image_blocks++;
            answer(a, SimPhase::ImageBlockAck, take_fault(s, SimPhase::ImageBlockAck), {BLOCK_ACK});
        }
        if (s->got == s->len)
            s->step = 1;
        return;
    }
    if (s->step == 1)
    {
        s->recv_even = b;
        s->step = 2;
        return;
    }
    const SimFault* f = take_fault(s, SimPhase::FinalAck);
    bool forced = forced_wrong(s, &f);
    if (s->recv_even != s->check || b != s->check_odd || forced)
    {
        if (!forced)
            violation(s, "image check bytes 0x%02X 0x%02X, expected 0x%02X 0x%02X", s->recv_even, b, s->check,
                      s->check_odd);
        s->rep.images_fail++;
        s->rx.clear();
        answer(a, SimPhase::FinalAck, f, {NAK});
    }
    else
    {
        // Committed when the check passes; the flash delay only holds back the answer.
        s->rep.images_ok++;
        s->flashed.swap(s->rx);
        s->rx.clear();
        s->rep.flashed = true;
        s->rep.image_len = s->flashed.size();
        s->rep.image_hash = sim_hash(s->flashed.data(), s->flashed.size());
        answer(a, SimPhase::FinalAck, f, {ACK}, c.flash_delay_ms);
    }
    set_state(s, St::Loader);
}

void feed_firmware(Sim* s, uint8_t b, Answer* a)
{
    if (b == '\r')
    {
        std::string line;
        line.swap(s->at_line);
        if (line.size() >= 2 && (line[0] == 'A' || line[0] == 'a') && (line[1] == 'T' || line[1] == 't'))
        {
            s->rep.at_commands++;
            answer(a, SimPhase::Count, nullptr, {'\r', '\n', 'O', 'K', '\r', '\n'});
        }
        return;
    }
    if (b == '\n' || (b == SYNC && s->at_line.empty()))
        return; // line feeds after a CR, and leftover syncs, mean nothing here
    if (s->at_line.size() < AT_LINE_MAX)
        s->at_line.push_back(static_cast<char>(b));
}

void feed(Sim* s, uint8_t b, Answer* a)
{
    switch (s->st)
    {
        case St::BootRom:
            if (b != SYNC)
            {
                s->rep.bytes_dropped++;
                return;
            }
            s->rep.syncs_seen++;
            answer(a, SimPhase::SyncAnswer, take_fault(s, SimPhase::SyncAnswer), {SYNC_ANSWER});
            set_state(s, St::Stage1);
            return;
        case St::Stage1:
            feed_stage1(s, b, a);
            return;
        case St::Stage2:
            feed_stage2(s, b, a);
            return;
        case St::Loader:
            feed_loader(s, b, a);
            return;
        case St::ImageHeader:
            feed_image_header(s, b, a);
            return;
        case St::Image:
            feed_image(s, b, a);
            return;
        case St::Firmware:
            feed_firmware(s, b, a);
            return;
        case St::Halted:
        case St::Silent:
        case St::Gone:
        case St::Stopped:
            s->rep.bytes_dropped++;
            return;
    }
}

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

// Writes bytes, paced at the line rate when configured. False when cut short.
bool write_out(Sim* s, std::unique_lock<std::mutex>& lk, const uint8_t* p, int n)
{
    if (!s->paced)
    {
        lk.unlock();
        int r = s->link.write(s->link.ctx, p, n);
        lk.lock();
        if (r < 0)
        {
            link_gone(s);
            return false;
        }
        s->rep.bytes_out += static_cast<uint64_t>(r);
        return r == n;
    }
    // A byte reaches the far end once it has fully left the line. The times
    // are absolute from the start of the group, so an oversleep is caught up
    // by sending the bytes that are due together.
    Clock::time_point start = std::max(Clock::now(), s->out_clock);
    int i = 0;
    while (i < n)
    {
        if (!sleep_until(s, lk, start + s->byte_time * (i + 1)))
            return false;
        Clock::time_point now = Clock::now();
        int k = 1;
        while (i + k < n && start + s->byte_time * (i + k + 1) <= now)
            k++;
        lk.unlock();
        int r = s->link.write(s->link.ctx, p + i, k);
        lk.lock();
        if (r < 0)
        {
            link_gone(s);
            return false;
        }
        s->rep.bytes_out += static_cast<uint64_t>(r);
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

void emit(Sim* s, std::unique_lock<std::mutex>& lk, const Answer& a)
{
    const SimFault* f = a.fault;
    unsigned delay_ms = s->cfg.ack_delay_ms + a.delay_ms;
    int noise = 0;
    uint8_t bytes[8];
    memcpy(bytes, a.bytes, sizeof bytes);
    bool is_a0 = a.phase == SimPhase::SyncAnswer;
    if (f)
    {
        s->rep.faults_applied++;
        switch (f->kind)
        {
            case SimFaultKind::Missing:
            case SimFaultKind::WrongFinalCheck: // used up by the check; never reaches here
                return;
            case SimFaultKind::Silence:
                set_state(s, St::Silent);
                return;
            case SimFaultKind::Unplug:
                if (s->link.hangup)
                {
                    lk.unlock();
                    s->link.hangup(s->link.ctx);
                    lk.lock();
                }
                link_gone(s);
                return;
            case SimFaultKind::Late:
                delay_ms += static_cast<unsigned>(std::max(f->param, 0));
                break;
            case SimFaultKind::Wrong:
                for (int i = 0; i < a.n; i++)
                    if (bytes[i] == SYNC_ANSWER || bytes[i] == ACK || bytes[i] == BLOCK_ACK)
                        bytes[i] = static_cast<uint8_t>(f->param);
                is_a0 = is_a0 && bytes[0] == SYNC_ANSWER;
                break;
            case SimFaultKind::Noise:
                noise = std::clamp(f->param, 0, NOISE_MAX);
                break;
            case SimFaultKind::Break:
                break;
        }
    }
    // Answer only once the byte that asked for it has fully arrived, then after the delays.
    Clock::time_point t = Clock::now();
    if (s->paced)
        t = std::max(t, s->in_clock);
    if (!sleep_until(s, lk, t + std::chrono::milliseconds(delay_ms)))
        return;
    if (f && f->kind == SimFaultKind::Break)
    {
        if (s->link.send_break)
        {
            s->rep.breaks_sent++; // counted first, so a report taken once the break is seen includes it
            lk.unlock();
            s->link.send_break(s->link.ctx);
            lk.lock();
        }
        return;
    }
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(noise + a.n));
    for (int i = 0; i < noise; i++)
        out.push_back(noise_byte(s));
    out.insert(out.end(), bytes, bytes + a.n);
    if (!write_out(s, lk, out.data(), static_cast<int>(out.size())))
        return;
    if (a.phase != SimPhase::Count)
        s->rep.acks_sent++;
    if (is_a0)
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

void run(Sim* s)
{
    std::unique_lock<std::mutex> lk(s->mu);
    if (s->cfg.firmware_at_start)
        set_state(s, St::Firmware);
    else
        enter_boot_rom(s);
    s->in_clock = s->out_clock = Clock::now();
    size_t chunk = 4096;
    if (s->paced)
    {
        uint64_t per_chunk = uint64_t(s->cfg.baud) * PACE_CHUNK_US / (uint64_t(s->cfg.bits_per_byte) * 1000000u);
        chunk = std::clamp<size_t>(static_cast<size_t>(per_chunk), 1, 4096);
    }
    std::vector<uint8_t> buf(chunk);
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
        if (s->st == St::BootRom && s->boot_deadline_set && firmware_present(s))
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
        lk.unlock();
        // Bytes already waiting have been on the line behind the ones taken
        // before: they keep the line's clock. Only bytes after an idle line
        // restart it.
        bool queued = false;
        int n = 0;
        if (s->paced)
        {
            n = s->link.read(s->link.ctx, buf.data(), static_cast<int>(chunk), 0);
            queued = n > 0;
        }
        if (n == 0)
            n = s->link.read(s->link.ctx, buf.data(), static_cast<int>(chunk), timeout);
        lk.lock();
        if (n < 0)
        {
            link_gone(s);
            continue;
        }
        if (n == 0)
            continue;
        s->rep.bytes_in += static_cast<uint64_t>(n);
        if (s->paced)
        {
            Clock::time_point now = Clock::now();
            // Queued bytes followed the last byte taken, or the last answer
            // (the tool sends on only once it has that), whichever was later.
            Clock::time_point floor = queued ? std::max(s->in_clock, s->out_clock) : now;
            if (s->in_clock < floor)
                s->in_clock = floor;
        }
        for (int i = 0; i < n; i++)
        {
            if (interrupted(s) || s->st == St::Gone)
            {
                // Bytes that were on the line when the module was reset are lost.
                s->rep.bytes_dropped += static_cast<uint64_t>(n - i);
                break;
            }
            if (s->st == St::BootRom && s->boot_deadline_set && firmware_present(s) && Clock::now() >= s->boot_deadline)
                set_state(s, St::Firmware);
            if (s->paced)
                s->in_clock += s->byte_time;
            Answer a;
            feed(s, buf[static_cast<size_t>(i)], &a);
            if (a.due)
                emit(s, lk, a);
        }
    }
    set_state(s, St::Stopped);
}

bool parse_int(const char* p, size_t n, int* out)
{
    std::string t(p, n);
    if (t.empty())
        return false;
    const char* c = t.c_str();
    bool neg = *c == '-';
    if (neg)
        c++;
    int base = (c[0] == '0' && (c[1] == 'x' || c[1] == 'X')) ? 16 : 10;
    if (base == 16)
        c += 2;
    if (!*c)
        return false;
    char* end = nullptr;
    long v = strtol(c, &end, base);
    if (*end || v > 0x7FFFFFFF)
        return false;
    *out = static_cast<int>(neg ? -v : v);
    return true;
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
    s->rep.state = g_stateNames[static_cast<int>(St::BootRom)];
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

bool sim_parse_fault(const char* text, SimFault* out)
{
    std::vector<std::pair<const char*, size_t>> parts;
    const char* p = text;
    for (;;)
    {
        const char* colon = strchr(p, ':');
        size_t n = colon ? static_cast<size_t>(colon - p) : strlen(p);
        parts.emplace_back(p, n);
        if (!colon)
            break;
        p = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 5)
        return false;
    SimFault f{};
    bool found = false;
    for (const auto& e : g_phaseNames)
        if (strlen(e.name) == parts[0].second && strncmp(e.name, parts[0].first, parts[0].second) == 0)
        {
            f.phase = e.phase;
            found = true;
        }
    if (!found)
        return false;
    found = false;
    for (const auto& e : g_kindNames)
        if (strlen(e.name) == parts[1].second && strncmp(e.name, parts[1].first, parts[1].second) == 0)
        {
            f.kind = e.kind;
            found = true;
        }
    if (!found)
        return false;
    if (parts.size() > 2 && (!parse_int(parts[2].first, parts[2].second, &f.occurrence) || f.occurrence < 0))
        return false;
    if (parts.size() > 3 && !parse_int(parts[3].first, parts[3].second, &f.param))
        return false;
    if (parts.size() > 4 && (!parse_int(parts[4].first, parts[4].second, &f.repeat) || f.repeat == 0 || f.repeat < -1))
        return false;
    if (f.kind == SimFaultKind::WrongFinalCheck && f.phase != SimPhase::Stage1Ack &&
        f.phase != SimPhase::Stage2FinalAck && f.phase != SimPhase::FinalAck)
        return false;
    if (f.kind == SimFaultKind::Wrong && (f.param < 0 || f.param > 0xFF))
        return false;
    if ((f.kind == SimFaultKind::Late || f.kind == SimFaultKind::Noise) && f.param < 0)
        return false;
    *out = f;
    return true;
}

const char* sim_phase_name(SimPhase phase)
{
    for (const auto& e : g_phaseNames)
        if (e.phase == phase)
            return e.name;
    return "?";
}

const char* sim_fault_kind_name(SimFaultKind kind)
{
    for (const auto& e : g_kindNames)
        if (e.kind == kind)
            return e.name;
    return "?";
}
