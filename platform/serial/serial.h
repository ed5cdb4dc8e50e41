// Serial ports: the platform's serial driver under CreateFileW, ReadFile,
// WriteFile and the comm-port calls of win32.h.
//
// A port is a handle-table object (ObjectKind::Serial) standing on a backend:
// a termios descriptor (a tty path, a pseudo-terminal the platform made, the
// slave side of the built-in simulator's pty) or one end of an in-process
// virtual cable (vcable.h). What stands behind a device name comes from the
// device profile (profile.h):
//   TtyPath    the path, opened O_RDWR|O_NOCTTY|O_NONBLOCK
//   PtyPair    a pseudo-terminal pair made once per device; its far end (the
//              slave path) is announced once in the debug output; each open
//              uses a duplicate of the master
//   Cable      an end of a virtual cable, made on first use
//   Simulator  a pty pair whose master the module simulator serves (started
//              once, kept for the process); the port is the slave
//   Ril*       control-only devices: handed to ril_open (device.h)
//
// The rooms: serial.cpp is the thin Win32 face (each call checks its handle
// and arguments and hands the work on); serial_line.cpp translates DCB to and
// from termios and drives the modem lines; serial_wait.cpp holds the waits,
// the read plan and the read-ahead; serial_port.h is what those three share.
// Below them, serial_devices.cpp resolves device names, serial_tty.cpp and
// vcable.cpp are the backends.
//
// What the callers rely on, and how it is kept here:
//   - share mode 0 is exclusive, even for root: an in-process table of held
//     devices (keyed by the device number, so every name of one adapter is
//     one device), flock(LOCK_EX|LOCK_NB) and TIOCEXCL together. A held
//     device refuses a second open with ERROR_SHARING_VIOLATION (the
//     handheld's driver said ERROR_ACCESS_DENIED; here that is a permission
//     the user lacks). Every failed open is named with its reason and the
//     tool's own terminal is refused: open_reason.h.
//   - raw mode on open, before any byte flows; DCB and COMMTIMEOUTS with their
//     Win32 meanings (see serial_wait.cpp for the one deliberate difference: a read
//     with a total time-out and no interval time-out returns as soon as bytes
//     have arrived and no more are waiting).
//   - every wait polls the device, the port's close descriptor and the
//     thread's wake descriptor: CloseHandle, TerminateThread, PurgeComm's
//     aborts and SetCommMask end blocked calls at once.
//   - a hang-up or unplug (POLLHUP/POLLERR/POLLNVAL, EIO, or a 0-byte read
//     after the device polled readable) marks the port gone: WaitCommEvent
//     reports EV_ERR once (when in the mask), then ReadFile, WriteFile,
//     WaitCommEvent and ClearCommError fail with ERROR_DEVICE_NOT_CONNECTED.
//     Nothing ever loops on empty reads.
//
// Platform-internal.
#pragma once

#include "platform/kernel/core.h"
#include "platform/profile/profile.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

struct termios;
struct Sim;

namespace plat
{

// What a backend can do, one bit each in PortBackend::caps. The port asks
// these instead of guessing from the descriptors a backend names.
enum PortCap : unsigned
{
    kPortBreaks = 1u << 0,        // breaks both ways: one that arrives shows (EV_BREAK, CE_BREAK), SETBREAK sends one
    kPortLineErrors = 1u << 1,    // framing, parity and overrun errors show (EV_ERR, CE_*)
    kPortModemLines = 1u << 2,    // DTR and RTS can be raised and lowered
    kPortEventFd = 1u << 3,       // event_fd() polls readable while a line event waits to be taken
    kPortEventCounters = 1u << 4, // line events are counters that change as bytes arrive, not as reads take
                                  // them (a UART's TIOCGICOUNT): re-checked while unread data stops the wait
};

// What a port stands on. Reads and writes never block; the port waits on the
// descriptors the backend names. Calls other than read and write are made
// with the port's lock held, one at a time. The port makes one read at a time
// and one write at a time, but without that lock: a read, a write and one of
// the other calls may run at once on different threads (the bridge's two
// pumps read and write one port together). State that read or write shares
// with other calls needs the backend's own lock (the tty backend's decoded
// marks and the cable have one).
class PortBackend
{
public:
    explicit PortBackend(unsigned what) : caps(what) {}
    virtual ~PortBackend() = default;

    const unsigned caps; // kPort* bits
    bool can(unsigned cap) const
    {
        return (caps & cap) == cap;
    }

    // Polls readable (POLLIN) when input is waiting; a tty also shows a
    // hang-up here (POLLHUP/POLLERR).
    virtual int rx_fd() const = 0;
    // Polls ready (tx_events()) when a write can make progress.
    virtual int tx_fd() const = 0;
    virtual short tx_events() const = 0;
    // With kPortEventFd: polls readable when a line event (break, line
    // error, hang-up) is waiting to be taken. Without it, -1.
    virtual int event_fd() const = 0;

    // >0 bytes read; 0 nothing read (after rx_fd polled readable: the far
    // side is gone); -1 with errno (EAGAIN: nothing yet).
    virtual ssize_t read(void* buf, size_t n) = 0;
    // >0 bytes written; -1 with errno (EAGAIN: no room yet).
    virtual ssize_t write(const void* buf, size_t n) = 0;

    virtual int get_attr(struct termios* t) = 0;
    virtual int set_attr(const struct termios* t) = 0;
    virtual int flush(int queue) = 0; // TCIFLUSH, TCOFLUSH, TCIOFLUSH
    virtual int in_queue(int* n) = 0; // bytes received, not yet read
    // Takes the bytes waiting on the device into the backend, where line
    // events marked among them show (a tty's driver marks breaks in the byte
    // stream). True when bytes moved: a reader polling rx_fd must be woken.
    virtual bool look_ahead()
    {
        return false;
    }
    virtual int out_queue(int* n) = 0;                  // bytes written, not yet sent
    virtual int modem_lines(bool raise, int lines) = 0; // TIOCM_DTR, TIOCM_RTS
    virtual int set_break(bool on) = 0;
    virtual int flow(int action) = 0; // TCOOFF, TCOON
    // Line events since the last call: CE_* bits, whether a break arrived,
    // whether the line was hung up. Clears what it reports.
    virtual void take_line_events(DWORD* errors, bool* brk, bool* hangup) = 0;
    // Gives up the exclusive claim on the device; called at CloseHandle, so
    // the device can be opened again while an in-flight call still holds the
    // descriptor. The descriptor itself closes with the backend.
    virtual void release() = 0;
};

// A backend over a termios descriptor, which it owns from now on. lockFile:
// take flock(LOCK_EX|LOCK_NB) and TIOCEXCL (false for a duplicate of a
// descriptor the platform keeps). On failure returns null, the descriptor is
// closed, the failed call is the thread's (fail_call: the last error is the
// errno's own) and *err, when given, is its errno: EWOULDBLOCK when another
// holder has the device's flock, ENOTTY for a descriptor that is no tty. The
// caller reads the fault from the errno (fault_of_errno), never back
// from a Win32 code.
std::unique_ptr<PortBackend> tty_backend_open(int fd, bool lockFile, int* err = nullptr);

// Raw mode as every serial line here runs it: cfmakeraw, the receiver on, no
// modem control, and reads that never wait in the kernel (VMIN = VTIME = 0).
void raw_termios(struct termios* t);

// The module simulator serving a Simulator device, started on first use (by
// this call or by the first CreateFileW of the device); null when the name is
// not a Simulator device or the simulator cannot start. A started simulator
// is registered with the radio driver (simulator_register), whose module
// reset reaches it.
Sim* simulator_for_device(LPCWSTR name);

// The far end (the slave path) of a PtyPair device's pseudo-terminal, made on
// first use as CreateFileW would; empty for other devices.
std::string serial_far_end(LPCWSTR name);

// ---------------------------------------------------------------------------
// Between the serial files
// ---------------------------------------------------------------------------
struct OpenedDevice
{
    std::unique_ptr<PortBackend> backend;
    std::string holdKey; // entry in the held-devices table, released at close
    std::string path;    // the device's path, for failed-call records
};
// Opens a serial device of the profile (TtyPath, PtyPair, Cable, Simulator)
// and takes its hold. False with the last error set.
bool serial_device_open(const DeviceSpec* device, OpenedDevice* out);
void serial_hold_release(const std::string& key);

} // namespace plat
