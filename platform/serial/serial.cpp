// Serial ports: the port object and the Win32 file and comm-port calls on it.
// Each call checks its handle and its arguments and hands the work to the
// device layer (serial_line.cpp, serial_wait.cpp); device resolution lives in
// serial_devices.cpp, the tty backend in serial_tty.cpp, the virtual cable in
// vcable.cpp.
#include "platform/serial/serial.h"
#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/serial/modem_lines.h"
#include "platform/kernel/text.h"
#include "platform/serial/serial_port.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

namespace plat
{

SerialPort::~SerialPort()
{
    backend.reset(); // closes the descriptor: no call is in flight any more
    if (closeFd >= 0)
        ::close(closeFd);
}

void SerialPort::on_close()
{
    // What went through the port, for a trace that must account for every byte.
    debug_port_line(this, "closed: " + std::to_string(readCount.load()) + " bytes read, " +
                              std::to_string(writeCount.load()) + " bytes written");
    modem_port_closed(this);
    uint64_t one = 1;
    ssize_t r = ::write(closeFd, &one, sizeof one);
    (void)r;
    std::lock_guard<std::mutex> lock(mu);
    backend->release();
    serial_hold_release(holdKey);
    kick_waiters_locked(this);
}

namespace
{
thread_local PortCause t_portCause;
} // namespace

void port_cause_note(const PortCause& cause)
{
    t_portCause = cause;
}

PortCause port_cause_take()
{
    PortCause c = t_portCause;
    t_portCause = PortCause{};
    return c;
}

DWORD errno_error(const char* call, int err)
{
    port_cause_note(PortCause{call, err, nullptr});
    const DWORD error = win32_error_from_errno(err);
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

bool is_gone_errno(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

void debug_port_line(SerialPort* p, const std::string& text)
{
    debug_write(p->name + u" " + utf8_to_utf16(text) + u"\r\n");
}

namespace
{

// A port object on an opened device; null with the last error set.
HANDLE port_insert(const DeviceSpec* device, OpenedDevice* dev)
{
    auto p = std::make_shared<SerialPort>();
    p->name = device->name;
    p->path = dev->path;
    p->holdKey = dev->holdKey;
    p->backend = std::move(dev->backend);
    p->closeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (p->closeFd < 0)
    {
        const int err = errno;
        p->on_close();
        set_error_from_errno(err);
        return nullptr;
    }
    p->dcb = line_after_open(p->backend.get());
    HANDLE h = handle_insert(p);
    if (h == nullptr)
    {
        const DWORD err = GetLastError();
        p->on_close();
        SetLastError(err);
    }
    else
        modem_port_opened(p); // a "lines:" reset pulses this port's lines
    return h;
}

bool is_control_device(const DeviceSpec* device)
{
    return device->type == DeviceType::RilSimReset || device->type == DeviceType::RilNone ||
           device->type == DeviceType::RilCommand || device->type == DeviceType::RilLines;
}

// The frame of every comm-port call: a suspended thread waits and a
// terminated one ends here, a handle that is no live port fails with
// ERROR_INVALID_HANDLE, and the device layer's error word becomes the result.
template <typename Work> BOOL port_call(HANDLE h, Work work)
{
    thread_checkpoint();
    PortRef p = handle_get_as<SerialPort>(h, ObjectKind::Serial);
    if (!p)
        return FALSE;
    port_cause_take(); // nothing left over from an earlier call
    const DWORD error = work(p.get());
    PortCause cause = port_cause_take();
    if (error == ERROR_SUCCESS)
        return TRUE;
    // The call that failed under this one; on a port that is gone, the one
    // that found it gone (a later call fails only because of it).
    if (cause.call == nullptr && p->gone.load())
    {
        std::lock_guard<std::mutex> lock(p->mu);
        cause = p->goneCause;
    }
    if (cause.call != nullptr)
        fail_call(cause.call, p->path, cause.err, cause.text, error, cause.err == 0 ? Fault::Gone : Fault::None);
    else
        SetLastError(error);
    return FALSE;
}

// ReadFile and WriteFile check the same arguments: no overlapped I/O, a count
// word, a buffer when the count is above 0. The count starts at 0.
DWORD transfer_args(const void* buffer, DWORD count, LPDWORD done, OVERLAPPED* overlapped)
{
    if (overlapped != nullptr || done == nullptr || (buffer == nullptr && count > 0))
        return ERROR_INVALID_PARAMETER;
    *done = 0;
    return ERROR_SUCCESS;
}

// A record the port keeps (time-outs, mask), read or written
// under the port's lock; a missing record is refused.
template <typename Record, typename Access> DWORD kept(SerialPort* p, Record* record, Access access)
{
    if (record == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(p->mu);
    access();
    return ERROR_SUCCESS;
}

} // namespace

} // namespace plat

// ---------------------------------------------------------------------------
// The Win32 calls
// ---------------------------------------------------------------------------
using namespace plat;

// Opens a device of the profile. Serial devices are exclusive whatever the
// share mode (a serial line has one user; the tool always asks for none) and
// refuse a second open with ERROR_SHARING_VIOLATION (a departure: the
// handheld's driver says ERROR_ACCESS_DENIED, which here means a permission
// the user lacks). Access rights are not checked: every port reads and
// writes. A failed open is named with its reason (open_reason.h).
HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD creation, DWORD, HANDLE)
{
    thread_checkpoint();
    const DeviceSpec* device = name != nullptr ? device_find(name) : nullptr;
    if (device == nullptr)
    {
        SetLastError(name == nullptr ? ERROR_INVALID_PARAMETER : ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = nullptr;
    if (is_control_device(device))
    {
        h = ril_open(device); // control-only: no line, no exclusive hold
    }
    else if (creation != OPEN_EXISTING)
    {
        SetLastError(ERROR_INVALID_PARAMETER); // a device is never created
    }
    else
    {
        OpenedDevice dev;
        if (serial_device_open(device, &dev))
            h = port_insert(device, &dev);
    }
    return h != nullptr ? h : INVALID_HANDLE_VALUE;
}

// A time-out is success with the count read so far.
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped)
{
    return port_call(h,
                     [&](SerialPort* p)
                     {
                         const DWORD error = transfer_args(buffer, toRead, read, overlapped);
                         return error != ERROR_SUCCESS || toRead == 0 ? error : port_read(p, buffer, toRead, read);
                     });
}

// A time-out is success with the count written, as on the handheld.
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped)
{
    return port_call(h,
                     [&](SerialPort* p)
                     {
                         const DWORD error = transfer_args(buffer, toWrite, written, overlapped);
                         return error != ERROR_SUCCESS || toWrite == 0 ? error
                                                                       : port_write(p, buffer, toWrite, written);
                     });
}

// Reads what the device really has; fields termios cannot hold come from the
// last SetCommState.
BOOL GetCommState(HANDLE h, DCB* dcb)
{
    return port_call(h,
                     [&](SerialPort* p) { return dcb != nullptr ? line_get_state(p, dcb) : ERROR_INVALID_PARAMETER; });
}

// Applies what the device can take and reports the rest as a debug line. One
// and a half stop bits become two.
BOOL SetCommState(HANDLE h, DCB* dcb)
{
    return port_call(h, [&](SerialPort* p) { return line_set_state(p, dcb); });
}

// The time-outs last set, or the driver's defaults after open.
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts)
{
    return port_call(h, [&](SerialPort* p) { return kept(p, timeouts, [&] { *timeouts = p->timeouts; }); });
}

// Recorded and applied by the next ReadFile/WriteFile; a call already waiting
// keeps the time-outs it started with, as on the handheld.
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts)
{
    return port_call(h, [&](SerialPort* p) { return kept(p, timeouts, [&] { p->timeouts = *timeouts; }); });
}

// The sizes are recorded; the kernel's queues are what they are.
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue)
{
    return port_call(h,
                     [&](SerialPort* p) -> DWORD
                     {
                         std::lock_guard<std::mutex> lock(p->mu);
                         p->inQueueSize = inQueue;
                         p->outQueueSize = outQueue;
                         return ERROR_SUCCESS;
                     });
}

// tcflush for the CLEAR flags; the ABORT flags end other threads' pending
// reads or writes on the port, which fail with ERROR_OPERATION_ABORTED.
BOOL PurgeComm(HANDLE h, DWORD flags)
{
    return port_call(h, [&](SerialPort* p) { return port_purge(p, flags); });
}

// Modem lines where the device has them (a pty has none: ERROR_NOT_SUPPORTED;
// the tool's callers do not look at the result), breaks, XON/XOFF.
BOOL EscapeCommFunction(HANDLE h, DWORD func)
{
    return port_call(h, [&](SerialPort* p) { return line_escape(p, func); });
}

// A new mask ends a WaitCommEvent pending on another thread: it returns TRUE
// with event 0, the way the handheld lets one thread cancel another's wait.
BOOL SetCommMask(HANDLE h, DWORD mask)
{
    return port_call(h, [&](SerialPort* p) { return port_set_mask(p, mask); });
}

// The mask last set; 0 after open, as on the handheld.
BOOL GetCommMask(HANDLE h, LPDWORD mask)
{
    return port_call(h, [&](SerialPort* p) { return kept(p, mask, [&] { *mask = p->mask; }); });
}

// Blocks until received data, a break or a line error within the mask; no
// time-out. A dead line fails instead of blocking (see port_wait_event).
BOOL WaitCommEvent(HANDLE h, LPDWORD events, OVERLAPPED* overlapped)
{
    return port_call(h,
                     [&](SerialPort* p) -> DWORD
                     {
                         if (overlapped != nullptr || events == nullptr)
                             return ERROR_INVALID_PARAMETER;
                         *events = 0;
                         return port_wait_event(p, events);
                     });
}

// Returns and clears the CE_* errors gathered since the last call; COMSTAT
// counts the bytes waiting each way. On a gone port the figures are filled in
// and the call fails with ERROR_DEVICE_NOT_CONNECTED.
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat)
{
    return port_call(h, [&](SerialPort* p) { return port_clear_error(p, errors, stat); });
}
