// The module simulator: the far end of the module's download protocol (boot ROM,
// stage-1 and stage-2 loaders, flash, then a small AT-command firmware), served
// on a thread of its own over a byte link.
//
// What it offers:
//   - SimLink: the byte link it talks through (function pointers + context);
//     sim_fd_link() makes one over a file descriptor (a tty, a pty master or
//     slave). The platform's in-process cable can supply its own.
//   - SimConfig: line pacing, acknowledgement/erase/flash delays, the boot
//     window, the expected images (optional) and a list of fault rules.
//   - sim_start / sim_reset / sim_report / sim_flashed_image / sim_wait_state /
//     sim_stop: run it, reset the module, read its counters and violations,
//     fetch the flashed image, wait for a state, stop it. All are thread-safe.
//   - sim_hash: FNV-1a 64, the hash the report gives for the flashed image;
//     sim_sha256: the SHA-256 it also gives for each loader stage and the
//     image, in the form the tool's record uses.
//   - sim_parse_fault / sim_phase_name / sim_fault_kind_name: the text form of
//     fault rules used by the fwsim executable.
//
// Violations are mistakes of the sending side (a wrong length, check byte or
// content). Faults are misbehaviour the simulator injects on purpose; they are
// counted, never reported as violations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The byte link. All calls but interrupt() come from the simulator's thread.
struct SimLink
{
    void* ctx;
    // Waits up to timeout_ms (-1: no limit) for bytes. Returns the count read
    // (>0), 0 on time-out or interrupt, -1 when the peer is gone for good.
    int (*read)(void* ctx, uint8_t* buf, int max, int timeout_ms);
    // Writes all n bytes, waiting for room as needed. Returns n, fewer when
    // interrupted, -1 when the peer is gone.
    int (*write)(void* ctx, const uint8_t* buf, int n);
    // Signals a line break. Null when the link cannot; the simulator then
    // sends nothing in place of the answer.
    void (*send_break)(void* ctx);
    // Hangs the link up, as pulling the cable would. May be null.
    void (*hangup)(void* ctx);
    // Called from any thread: makes a blocked (or the next) read or write
    // return at once. May be null; reads are then taken in short slices so a
    // stop or reset is still seen.
    void (*interrupt)(void* ctx);
    // Releases the link; sim_stop calls it once after the thread has ended.
    // May be null.
    void (*close)(void* ctx);
};

// A link over a file descriptor. The link takes the descriptor over: it is
// closed by hangup() or by close() (so by sim_stop), never by the caller;
// dup() it first to keep a copy. A tty is switched to raw mode (cfmakeraw,
// CLOCAL, CREAD) before any byte flows; on a pty master that sets the pair's
// slave side. The descriptor is made non-blocking. POLLHUP/POLLERR, or a
// 0-byte read after POLLIN, reads as the peer gone. send_break is tcsendbreak,
// which a pty accepts and ignores. hangup drops the modem lines (B0) where the
// device has them and closes the descriptor; the far side of a pty then sees
// POLLHUP. On failure returns a link whose read is null (errno set) and the
// descriptor stays the caller's.
SimLink sim_fd_link(int fd);

// Which answer a fault rule hits.
enum class SimPhase
{
    SyncAnswer,     // 0xA0 after the first sync byte
    Stage1Ack,      // 0xA5 after the stage-1 check byte
    Stage2BlockAck, // 0xAA after each full 1000-byte stage-2 block
    Stage2FinalAck, // 0xA5 after the stage-2 check byte
    MemoryCheckAck, // the three bytes after 0x50
    FileSizeAcks,   // the three 0xA5 after the fixed file size (one occurrence)
    ImageBlockAck,  // 0xAA after each full 4000-byte image block
    FinalAck,       // 0xA5 after the image check bytes
    Count
};

enum class SimFaultKind
{
    Missing,         // send nothing, carry on as if sent
    Late,            // wait param ms more, then answer
    Wrong,           // every handshake byte of the answer becomes param
    Noise,           // param noise bytes (never 0xA0/0xA5/0xAA) before the answer
    Break,           // a line break instead of the answer (where the link can)
    Silence,         // no answer, and none to anything until the next reset
    Unplug,          // hang the link up instead of answering
    WrongFinalCheck, // treat the check byte(s) as wrong (Stage1Ack, Stage2FinalAck, FinalAck only)
};

struct SimFault
{
    SimPhase phase;
    SimFaultKind kind;
    int occurrence = 0; // first occurrence of the phase it hits, 0-based, counted over the whole session
    int param = 0;      // ms for Late, the byte for Wrong, the count for Noise
    int repeat = 1;     // how many occurrences from there on; -1 = all
};

struct SimConfig
{
    unsigned baud = 0;              // line rate to pace at; 0 = unpaced (memory speed)
    unsigned bits_per_byte = 11;    // 1 start + 8 data + 2 stop
    unsigned ack_delay_ms = 0;      // before every answer
    unsigned erase_delay_ms = 0;    // before the three 0xA5 after the fixed file size
    unsigned flash_delay_ms = 0;    // before the final 0xA5
    unsigned boot_window_ms = 300;  // how long the boot ROM waits for a sync before booting a firmware; 0 = forever
    bool firmware_at_start = false; // a firmware is present from the start and runs at once

    // Expected lengths (0 = any) and contents (null = lengths and check bytes
    // only). The bytes must stay valid until sim_stop.
    const uint8_t* expect_boot1 = nullptr;
    size_t boot1_len = 0;
    const uint8_t* expect_boot2 = nullptr;
    size_t boot2_len = 0;
    const uint8_t* expect_image = nullptr;
    size_t image_len = 0;

    std::vector<SimFault> faults; // the first rule that matches an occurrence wins

    // Called on the simulator's thread at every state change, with the
    // simulator's lock held: it must not call back into the simulator. Meant
    // for a wake-up (write to a pipe) or a trace line.
    void (*on_state)(void* arg, const char* state) = nullptr;
    void* state_arg = nullptr;
};

struct SimReport
{
    uint64_t bytes_in = 0;      // bytes taken from the link
    uint64_t bytes_out = 0;     // bytes written to the link (noise included)
    uint64_t bytes_dropped = 0; // bytes the current state did not expect
    uint64_t syncs_seen = 0;    // 0x55 seen by the boot ROM
    uint64_t syncs_skipped = 0; // 0x55 skipped between 0xA0 and the stage-1 length
    uint64_t a0_sent = 0;       // sync answers actually sent
    uint64_t stage1_ok = 0;
    uint64_t stage1_fail = 0;
    uint64_t stage2_blocks = 0; // full 1000-byte stage-2 blocks received
    uint64_t stage2_ok = 0;
    uint64_t stage2_fail = 0;
    uint64_t memory_checks = 0; // 0x50 commands
    uint64_t image_blocks = 0;  // full 4000-byte image blocks received
    uint64_t images_ok = 0;
    uint64_t images_fail = 0;
    uint64_t acks_sent = 0;      // protocol answers sent (a group of bytes counts once; AT replies do not)
    uint64_t faults_applied = 0; // fault rules that hit
    uint64_t breaks_sent = 0;
    uint64_t resets = 0;
    uint64_t at_commands = 0;  // AT lines answered
    bool flashed = false;      // an image passed its check bytes
    bool link_gone = false;    // the peer went away or the link was unplugged
    size_t image_len = 0;      // length of the flashed image
    uint64_t image_hash = 0;   // sim_hash of the flashed image
    std::string image_sha256;  // sim_sha256 of the flashed image; empty when nothing was flashed
    size_t stage1_len = 0;     // length of the last stage-1 loader accepted
    std::string stage1_sha256; // its sim_sha256; empty until one is accepted
    size_t stage2_len = 0;     // the same for the stage-2 loader
    std::string stage2_sha256;
    uint64_t violation_count = 0; // all violations; the list keeps the first 256
    std::vector<std::string> violations;
    std::string state; // see sim_wait_state
};

struct Sim;

// Starts serving on a thread of its own. Returns null (and closes the link)
// when the link is unusable or the thread cannot start.
Sim* sim_start(SimLink link, const SimConfig& cfg);

// A module reset: partial state is dropped and the boot ROM starts again.
void sim_reset(Sim* sim);

SimReport sim_report(Sim* sim);

// Copies the flashed image; false (and an empty vector) when nothing was flashed.
bool sim_flashed_image(Sim* sim, std::vector<uint8_t>* out);

// Waits until the current state is `state`: "boot_rom", "stage1", "stage2",
// "loader" (stage 2 runs and awaits a command), "image_header", "image",
// "halted" (a violation: silent until reset), "silent" (a silence fault),
// "firmware" (AT mode), "gone" (the link is gone), "stopped".
// Returns false on time-out (timeout_ms -1: no limit).
bool sim_wait_state(Sim* sim, const char* state, int timeout_ms);

// Stops the thread (also while it sleeps for pacing or a delay), closes the
// link and frees the simulator.
void sim_stop(Sim* sim);

uint64_t sim_hash(const uint8_t* p, size_t n);
// SHA-256 (libsodium's), 64 lowercase hex digits: the digest the tool's
// station record and sha256sum give, so the three can be compared.
std::string sim_sha256(const uint8_t* p, size_t n);

// Parses "PHASE:KIND[:OCCURRENCE[:PARAM[:REPEAT]]]"; numbers may be decimal or
// 0x-hex. Phases: sync, stage1, stage2-block, stage2-final, memory-check,
// file-size, image-block, final. Kinds: missing, late, wrong, noise, break,
// silence, unplug, wrong-check. Returns false on any error.
bool sim_parse_fault(const char* text, SimFault* out);
const char* sim_phase_name(SimPhase phase);
const char* sim_fault_kind_name(SimFaultKind kind);
