// Why a serial device could not be opened, in words a person can act on.
//
// A failed open of a device name becomes one line that names the device, the
// path behind it (and the node that path leads to, when it is another), the
// system's reason and, where one is known, what to do:
//   "cannot open COM1: /dev/ttyUSB0: No such file or directory: is the adapter plugged in?"
//   "cannot open COM1: /dev/serial/by-id/usb-X (/dev/ttyUSB0): held by another program (pid 812, picocom)"
// The line goes to the debug output and to the status line's notice (through
// serial_set_notice_listener), and is
// kept for the process entry (serial_last_open_failure). The failure's kind
// (Fault), its Win32 error, its reason and its hint are rows of the fault
// table (kernel/faults.h); the failed call it leaves carries the fault, so the
// station reads the outcome from the same row.
//
// Platform-internal: the serial rooms, the process entry and tests.
#pragma once

#include "platform/kernel/faults.h"
#include "platform/win32.h"

#include <string>
#include <sys/types.h>

namespace plat
{

struct OpenFailure
{
    std::u16string device; // "COM1:"
    std::string path;      // as the profile or --port gave it
    Fault fault = Fault::Other;
    int err = 0;            // errno, when the system gave one
    DWORD error = 0;        // the Win32 error for Other without an errno
    long holderPid = 0;     // Held: the holder, 0 when it cannot be found
    std::string holderName; // its command name
    std::u16string heldAs;  // HeldHere: the device name that holds it
};

// The Win32 error a failure leaves.
DWORD open_failure_error(const OpenFailure& f);
// The whole line, without a line end.
std::string open_failure_text(const OpenFailure& f);
// Says it (debug output, status notice), keeps it, and sets the last error.
void open_failure_report(const OpenFailure& f);
// The line of the latest failed open in this process; empty when none.
std::string serial_last_open_failure();
// Who is told the line besides the debug output: the status line, which sits
// above this room and registers itself when the window system is linked in
// (windowing/status_line.cpp). Null: nobody.
using OpenNoticeListener = void (*)(const std::string& line);
void serial_set_notice_listener(OpenNoticeListener listener);

// The process that holds the node at path: the flock on its inode in
// /proc/locks, else a descriptor on the same device among /proc/*/fd. This
// process counts only when no other holds it. 0 when none is found.
long open_holder_pid(const std::string& path, std::string* name);
// Whether the node at path is the terminal the tool itself runs in: /dev/tty,
// the controlling terminal, or the terminal of a standard descriptor.
bool open_is_own_terminal(const std::string& path);
// The key a tty is held by: its device number when it is a device node, so
// that every name for one adapter (/dev/serial/by-id/..., /dev/ttyUSB0, a
// second node) is one device; else the path with its links resolved.
std::string open_hold_key(const std::string& path);

// Waits until the node behind a device name of the profile exists (a tty
// path: an adapter being plugged in, a by-id link appearing), looking every
// 100 ms, at most seconds. True when it exists, or when the device is no tty
// path; false when the time ran out.
bool serial_wait_device(LPCWSTR name, int seconds);

} // namespace plat
