// The module side of the download protocol, one byte at a time: the boot ROM
// (0x55 -> 0xA0), the stage-1 frame, the stage-2 blocks, the loader's commands
// (0x50 memory check, 0x54 image transfer), the image into flash with its
// check bytes, and afterwards a small AT-command firmware. Every call runs on
// the simulator's thread with its lock held; answers are only decided here and
// sent by the engine (sim.cpp), which applies delays and faults.
#include "sim/sim_internal.h"

#include <cstdarg>
#include <cstdio>
#include <initializer_list>

namespace simcore
{

namespace
{

constexpr uint8_t NAK = 0xEE; // what the loader answers to wrong image check bytes
constexpr uint8_t CMD_BAUD = 0x50;
constexpr uint8_t CMD_IMAGE = 0x54;
constexpr size_t STAGE2_BLOCK = 1000;
constexpr size_t IMAGE_BLOCK = 4000;
constexpr uint32_t FIXED_FILE_SIZE = 0x3FA000;
constexpr size_t AT_LINE_MAX = 256;
constexpr size_t VIOLATIONS_KEPT = 256;

// The two memory-report bytes the loader sends before its 0xA5 on 0x50.
const uint8_t g_memoryReport[2] = {0x40, 0x00};

// clang-format off
// name, indexed by St
const char* const g_stateNames[] = {
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
// clang-format on

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

// A stage or image begins: nothing of it received yet.
void begin_transfer(Sim* s)
{
    s->got = 0;
    s->check = 0;
    s->check_odd = 0;
    s->compare_done = false;
    s->rx.clear();
}

// Counts one byte of a transfer sent in blocks; each full block is
// acknowledged with 0xAA, also one that ends the transfer: the sender waits
// for it. True once the last byte has come.
bool count_block_byte(Sim* s, size_t block, uint64_t SimReport::*blocks, SimPhase phase, Answer* a)
{
    s->got++;
    if (s->got % block == 0)
    {
        s->rep.*blocks += 1;
        answer(a, phase, take_fault(s, phase), {BLOCK_ACK});
    }
    return s->got == s->len;
}

// One loader stage: how the simulator names and counts it.
struct Stage
{
    const char* name;       // in violations: "stage-1", "stage-2"
    size_t SimConfig::*len; // expected length (0 = any)
    uint64_t SimReport::*ok;
    uint64_t SimReport::*fail;
    SimPhase final_phase;               // the answer to its check byte
    St next;                            // the state once it is accepted
    size_t SimReport::*got_len;         // what arrived, once accepted
    std::string SimReport::*got_sha256; // and its SHA-256
};

const Stage g_stage1 = {
    "stage-1",  &SimConfig::boot1_len,  &SimReport::stage1_ok,    &SimReport::stage1_fail, SimPhase::Stage1Ack,
    St::Stage2, &SimReport::stage1_len, &SimReport::stage1_sha256};
const Stage g_stage2 = {
    "stage-2",  &SimConfig::boot2_len,  &SimReport::stage2_ok,    &SimReport::stage2_fail, SimPhase::Stage2FinalAck,
    St::Loader, &SimReport::stage2_len, &SimReport::stage2_sha256};

// The announced length is in s->len; false (and halted) when it is not the expected one.
bool stage_length_ok(Sim* s, const Stage& st)
{
    begin_transfer(s);
    size_t expected = s->cfg.*st.len;
    if (expected == 0 || s->len == expected)
        return true;
    violation(s, "%s length %zu, expected %zu", st.name, s->len, expected);
    s->rep.*st.fail += 1;
    halt(s);
    return false;
}

// The stage's check byte: 0xA5 and the next state, or halted.
void finish_stage(Sim* s, const Stage& st, uint8_t b, Answer* a)
{
    const SimFault* f = take_fault(s, st.final_phase);
    bool forced = forced_wrong(s, &f);
    if (b != s->check || forced)
    {
        if (!forced)
            violation(s, "%s check byte 0x%02X, expected 0x%02X", st.name, b, s->check);
        s->rep.*st.fail += 1;
        halt(s);
        return;
    }
    s->rep.*st.ok += 1;
    s->rep.*st.got_len = s->rx.size();
    s->rep.*st.got_sha256 = sim_sha256(s->rx.data(), s->rx.size());
    s->rx.clear();
    answer(a, st.final_phase, f, {ACK});
    set_state(s, st.next);
}

void feed_boot_rom(Sim* s, uint8_t b, Answer* a)
{
    if (b != SYNC)
    {
        s->rep.bytes_dropped++;
        return;
    }
    s->rep.syncs_seen++;
    answer(a, SimPhase::SyncAnswer, take_fault(s, SimPhase::SyncAnswer), {SYNC_ANSWER});
    set_state(s, St::Stage1);
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
        if (stage_length_ok(s, g_stage1))
            s->step = s->len ? 1 : 2;
        return;
    }
    if (s->step == 1)
    {
        compare(s, c.expect_boot1, c.boot1_len, "stage1", b);
        s->rx.push_back(b);
        s->check ^= b;
        if (++s->got == s->len)
            s->step = 2;
        return;
    }
    finish_stage(s, g_stage1, b, a);
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
            if (stage_length_ok(s, g_stage2))
                s->step = s->len ? 2 : 3;
            return;
        case 2:
            compare(s, c.expect_boot2, c.boot2_len, "stage2", b);
            s->rx.push_back(b);
            s->check ^= b;
            if (count_block_byte(s, STAGE2_BLOCK, &SimReport::stage2_blocks, SimPhase::Stage2BlockAck, a))
                s->step = 3;
            return;
        default:
            finish_stage(s, g_stage2, b, a);
            return;
    }
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

// False (and halted) when the announced image length cannot be taken.
bool image_length_ok(Sim* s, size_t n)
{
    const SimConfig& c = s->cfg;
    if (c.image_len && n != c.image_len)
        violation(s, "image length %zu, expected %zu", n, c.image_len);
    else if (n > FIXED_FILE_SIZE)
        violation(s, "image length %zu exceeds the erased area of %u bytes", n, FIXED_FILE_SIZE);
    else
        return true;
    s->rep.images_fail++;
    halt(s);
    return false;
}

void feed_image_header(Sim* s, uint8_t b, Answer* a)
{
    s->word = (s->word << 8) | b;
    s->step++;
    if (s->step == 3)
    {
        if (s->word != FIXED_FILE_SIZE)
            violation(s, "fixed file size 0x%06X, expected 0x%06X", s->word, FIXED_FILE_SIZE);
        s->word = 0;
        answer(a, SimPhase::FileSizeAcks, take_fault(s, SimPhase::FileSizeAcks), {ACK, ACK, ACK},
               s->cfg.erase_delay_ms);
        return;
    }
    if (s->step < 6)
        return;
    size_t n = s->word;
    if (!image_length_ok(s, n))
        return;
    set_state(s, St::Image);
    s->len = n;
    begin_transfer(s);
    s->rx.reserve(n);
    s->step = n ? 0 : 1;
}

// The check bytes passed: the image is committed; the flash delay only holds
// back the answer.
void commit_image(Sim* s)
{
    s->rep.images_ok++;
    s->flashed.swap(s->rx);
    s->rx.clear();
    s->rep.flashed = true;
    s->rep.image_len = s->flashed.size();
    s->rep.image_hash = sim_hash(s->flashed.data(), s->flashed.size());
    s->rep.image_sha256 = sim_sha256(s->flashed.data(), s->flashed.size());
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
        if (count_block_byte(s, IMAGE_BLOCK, &SimReport::image_blocks, SimPhase::ImageBlockAck, a))
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
        commit_image(s);
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

typedef void (*Feeder)(Sim* s, uint8_t b, Answer* a);

// The state that takes bytes and its feeder; states without one drop them.
struct StateFeeder
{
    St st;
    Feeder feed;
};

// clang-format off
// state              feeder
const StateFeeder g_feeders[] = {
    { St::BootRom,     feed_boot_rom     },
    { St::Stage1,      feed_stage1       },
    { St::Stage2,      feed_stage2       },
    { St::Loader,      feed_loader       },
    { St::ImageHeader, feed_image_header },
    { St::Image,       feed_image        },
    { St::Firmware,    feed_firmware     },
};
// clang-format on

} // namespace

const char* state_name(St st)
{
    return g_stateNames[static_cast<int>(st)];
}

void set_state(Sim* s, St st)
{
    s->st = st;
    s->step = 0;
    s->rep.state = state_name(st);
    if (s->cfg.on_state)
        s->cfg.on_state(s->cfg.state_arg, s->rep.state.c_str());
    s->state_cv.notify_all();
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

// Halted, Silent, Gone and Stopped take nothing: their bytes count as dropped.
void feed(Sim* s, uint8_t b, Answer* a)
{
    for (const StateFeeder& e : g_feeders)
    {
        if (e.st == s->st)
        {
            e.feed(s, b, a);
            return;
        }
    }
    s->rep.bytes_dropped++;
}

} // namespace simcore
