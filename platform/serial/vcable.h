// Virtual cables: an in-process serial line with two ends, "a" and "b".
//
// A device profile can wire a serial port to one end ("cable:NAME:a"); the
// other end is held by a test, by the module simulator (cable_sim_link) or by
// another port. Unlike a pseudo-terminal, a cable carries what a real line
// can show and a pty cannot: breaks, line errors (CE_FRAME, CE_RXPARITY,
// CE_OVERRUN) and a hang-up.
//
// Every call acts as the holder of the end it names:
//   cable_write(name, end, ...)         sends bytes from `end` to the other end
//   cable_read(name, end, ...)          takes bytes that arrived at `end`
//   cable_inject_break(name, end)       `end` sends a break: the other end sees EV_BREAK
//   cable_inject_error(name, end, ce)   `end`'s transmission arrives garbled: the
//                                       other end sees EV_ERR and the CE_* bits
//   cable_hangup(name, end)             `end` drops the line: the other end sees a
//                                       hang-up; the cable stays down for good
// Bytes queue at the receiving end up to kCableQueueBytes; beyond that a
// writer waits (a port's WriteFile time-out applies) or gets a short count.
//
// Cables live for the whole process. Names are case-sensitive. Platform-
// internal and test-facing.
#pragma once

#include "platform/serial/serial.h"
#include "platform/win32.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct SimLink;

namespace plat
{

constexpr size_t kCableQueueBytes = 64 * 1024;

// Makes the cable if it does not exist yet. False for an empty name.
bool cable_create(const std::string& name);
bool cable_exists(const std::string& name);

// Sends up to n bytes from `end` ('a' or 'b'). Returns the count queued (less
// than n when the far queue fills), or -1 when the cable is unknown or down.
long cable_write(const std::string& name, char end, const void* data, size_t n);
// Takes up to max bytes that arrived at `end`, waiting up to timeoutMs
// (INFINITE: no limit) for the first. Returns the count, 0 on time-out, -1
// when the cable is unknown, or down with nothing left to read.
long cable_read(const std::string& name, char end, void* buf, size_t max, DWORD timeoutMs);
// Bytes waiting at `end`.
size_t cable_pending(const std::string& name, char end);

bool cable_inject_break(const std::string& name, char end);
bool cable_inject_error(const std::string& name, char end, DWORD ce);
bool cable_hangup(const std::string& name, char end);

// A change of the modem lines `end`'s holder raised (EscapeCommFunction's
// SETDTR/CLRDTR/SETRTS/CLRRTS, a DCB's DTR and RTS control), with its time.
struct CableLineChange
{
    Clock::time_point at;
    int lines; // TIOCM_DTR | TIOCM_RTS raised after the change
};
// The changes recorded at `end` since the last call, oldest first; taken.
std::vector<CableLineChange> cable_take_line_changes(const std::string& name, char end);

// The backend a serial port stands on, for "NAME:a" or "NAME:b"; made on
// first use. Null with ERROR_ACCESS_DENIED when the end is held by another
// port, ERROR_FILE_NOT_FOUND when the text names no end.
std::unique_ptr<PortBackend> cable_open_backend(const std::string& nameEnd);

// A simulator link over `end` of the cable (made if needed): the simulator
// holds that end as a port would. Its send_break and hangup act as
// cable_inject_break and cable_hangup from that end.
SimLink cable_sim_link(const std::string& name, char end);

} // namespace plat
