// What the serial rooms share: the port object and the device layer the Win32
// face (serial.cpp) hands its work to. The line settings live in
// serial_line.cpp, the waits, the read plan and the read-ahead in
// serial_wait.cpp. Every device-layer call returns a Win32 error code,
// ERROR_SUCCESS when it did its work; the face turns that into TRUE, or FALSE
// with SetLastError. Counts transferred are filled in either way.
//
// Platform-internal: the serial rooms only.
#pragma once

#include "platform/serial/serial.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{

constexpr size_t kReadAhead = 4096; // see SerialPort::staged

// The serial driver's time-outs after open: 250 ms between bytes, 10 ms per
// byte plus 100 ms in total, both ways. Ports whose owner never sets
// time-outs (the bridge's IR ports) run with these.
constexpr COMMTIMEOUTS kDriverTimeouts = {250, 10, 100, 10, 100};

// A thread's wake-up descriptor for port waits (an eventfd of its own), so
// that PurgeComm's aborts and SetCommMask wake exactly the threads waiting on
// that port. Ports list shared references: a thread that ends while listed
// leaves a valid descriptor behind, never a reused number.
struct Kicker
{
    Kicker();
    ~Kicker();
    Kicker(const Kicker&) = delete;
    Kicker& operator=(const Kicker&) = delete;
    void kick() const;
    void drain() const;
    int fd;
};

// The system call that failed under a device-layer call: port_call hands it
// on with the port's path as the thread's failed call (fail_call, core.h).
struct PortCause
{
    const char* call = nullptr; // null: none
    int err = 0;                // errno, 0 for a hang-up seen without one
    const char* text = nullptr; // the words when err is 0
};
constexpr const char* kHungUpText = "the device hung up";

struct SerialPort : Object
{
    SerialPort() : Object(ObjectKind::Serial) {}
    ~SerialPort() override;
    // CloseHandle: every waiter wakes and fails, and the device is free for
    // the next open at once, although the descriptor closes only when the
    // last in-flight call has let go of it.
    void on_close() override;

    std::u16string name; // device name, for debug lines
    std::string path;    // the device's path (a tty's node, "cable:NAME"), for failed-call records
    std::string holdKey; // entry in the held-devices table
    std::unique_ptr<PortBackend> backend;
    int closeFd = -1; // eventfd, readable from CloseHandle on

    // Three locks, so that a read and a write on one port (the bridge's two
    // pumps) never wait for each other's system call. Order: rxMu or txMu
    // before mu; never both rxMu and txMu.
    //   rxMu  held around every backend read and every look at the staged
    //         bytes; their count changes only with rxMu and mu both held, so
    //         either lock suffices to read it
    //   txMu  held around every backend write
    //   mu    everything else below, and every other backend call
    std::mutex rxMu;
    std::mutex txMu;
    std::mutex mu;
    DCB dcb = {}; // last settings applied; fields termios cannot hold come from here
    COMMTIMEOUTS timeouts = kDriverTimeouts;
    DWORD mask = 0;                // SetCommMask
    DWORD errors = 0;              // CE_* bits gathered since the last ClearCommError
    bool breakPending = false;     // a break not yet reported by WaitCommEvent
    bool errPending = false;       // a line error not yet reported by WaitCommEvent
    std::atomic<bool> gone{false}; // hung up or unplugged; set with mu held
    PortCause goneCause;           // the call that found it gone; set once with mu held
    bool goneReported = false;     // WaitCommEvent has had its one chance to say so
    DWORD inQueueSize = 0;         // SetupComm, recorded only
    DWORD outQueueSize = 0;
    // Bytes taken from the device ahead of the caller, handed out first: a
    // read asks the device for a whole line buffer's worth (a tty's holds
    // 4 KiB), so that a caller reading 1 KiB at a time (the bridge) makes one
    // system call, and one wake-up of the kernel's receive worker, per 4 KiB
    // instead of per 1 KiB. WaitCommEvent's probe reads keep their bytes here
    // too. They count as received and not yet read (ClearCommError, EV_RXCHAR)
    // and PURGE_RXCLEAR drops them, like the driver's receive buffer.
    uint8_t staged[kReadAhead];
    size_t stagedAt = 0;              // first staged byte
    std::atomic<size_t> stagedLen{0}; // read without a lock only as a hint
    // The last ReadFile found the device empty until its time-out: the next
    // one starts with the wait instead of a read that would find nothing
    // either. Only a hint; a device that has bytes polls readable at once.
    std::atomic<bool> rxQuiet{false};
    uint64_t maskGen = 0;                // bumped by SetCommMask
    std::atomic<uint64_t> rxAbortGen{0}; // bumped by PURGE_RXABORT, with mu held
    std::atomic<uint64_t> txAbortGen{0}; // bumped by PURGE_TXABORT, with mu held
    std::atomic<uint64_t> readCount{0};  // bytes ReadFile handed out, for the status line
    std::atomic<uint64_t> writeCount{0}; // bytes WriteFile wrote
    std::vector<std::shared_ptr<Kicker>> waiters;
};
using PortRef = std::shared_ptr<SerialPort>;

// A system call's errno as the call's Win32 error; never ERROR_SUCCESS, so a
// failure cannot read as success. The call and its errno are kept as this
// thread's cause for the face (port_cause_take).
DWORD errno_error(const char* call, int err);
// Keeps a cause for this thread's device-layer call in progress, and takes it
// (the face, once the call returns).
void port_cause_note(const PortCause& cause);
PortCause port_cause_take();
// EIO, ENXIO, ENODEV, EPIPE: the device went away under the call.
bool is_gone_errno(int err);
void debug_port_line(SerialPort* p, const std::string& text);

// ---------------------------------------------------------------------------
// Line settings (serial_line.cpp)
// ---------------------------------------------------------------------------
DCB line_after_open(PortBackend* backend); // what GetCommState reads before any SetCommState
DWORD line_get_state(SerialPort* p, DCB* dcb);
DWORD line_set_state(SerialPort* p, const DCB* dcb);
DWORD line_escape(SerialPort* p, DWORD func);

// ---------------------------------------------------------------------------
// Waits, the read plan and the read-ahead (serial_wait.cpp)
// ---------------------------------------------------------------------------
DWORD port_read(SerialPort* p, void* buffer, DWORD toRead, DWORD* read);
DWORD port_write(SerialPort* p, const void* buffer, DWORD toWrite, DWORD* written);
DWORD port_wait_event(SerialPort* p, DWORD* events);
DWORD port_set_mask(SerialPort* p, DWORD mask);
DWORD port_purge(SerialPort* p, DWORD flags);
DWORD port_clear_error(SerialPort* p, DWORD* errors, COMSTAT* stat);
// Wakes every thread waiting on the port; called with mu held.
void kick_waiters_locked(SerialPort* p);

} // namespace plat
