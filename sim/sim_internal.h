// What the simulator's own files share, and nothing outside sim/ includes:
// the state of one simulator (struct Sim), the protocol's states, an answer
// the state machine has decided on, and the calls between the engine
// (sim.cpp: the thread, pacing, delays, faults) and the module-side state
// machine (sim_protocol.cpp). sim.h stays the chief header.
#pragma once

#include "sim/sim.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace simcore
{

using Clock = std::chrono::steady_clock;

// Handshake bytes the engine needs too: noise and Wrong faults avoid or
// replace them.
constexpr uint8_t SYNC = 0x55;
constexpr uint8_t SYNC_ANSWER = 0xA0;
constexpr uint8_t ACK = 0xA5;
constexpr uint8_t BLOCK_ACK = 0xAA;

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

} // namespace simcore

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
    simcore::St st = simcore::St::BootRom;
    int step = 0;              // position inside the current state
    size_t len = 0;            // announced length of the stage or image
    size_t got = 0;            // bytes of it received
    uint32_t word = 0;         // multi-byte field being assembled
    uint8_t check = 0;         // running XOR (stages), E (image, even offsets)
    uint8_t check_odd = 0;     // O (image, odd offsets)
    uint8_t recv_even = 0;     // the E byte received
    bool compare_done = false; // the first content difference of this transfer is reported
    bool boot_deadline_set = false;
    simcore::Clock::time_point boot_deadline;
    std::vector<uint8_t> rx;
    std::vector<uint8_t> flashed;
    std::string at_line;
    uint64_t phase_count[static_cast<int>(SimPhase::Count)] = {};
    uint32_t noise_seed = 0x2545F491;
    SimReport rep;

    // Line pacing, simulator thread only.
    bool paced = false;
    simcore::Clock::duration byte_time{};
    simcore::Clock::time_point in_clock;  // when the last byte taken has fully arrived
    simcore::Clock::time_point out_clock; // when the last byte sent has fully left
};

namespace simcore
{

// The state machine (sim_protocol.cpp). All with the simulator's lock held.
const char* state_name(St st);
void set_state(Sim* s, St st); // also tells cfg.on_state and sim_wait_state
void enter_boot_rom(Sim* s);   // after a reset: the boot ROM waits for the sync
bool firmware_present(const Sim* s);
void feed(Sim* s, uint8_t b, Answer* a); // one byte from the tool; *a is set when it asks for an answer

// Raw mode for a tty, reads returning at once (sim_fd_link.cpp); false when
// the tty refused it.
bool make_raw(int fd);

} // namespace simcore
