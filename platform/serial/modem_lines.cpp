// Module reset through an adapter's modem-control lines: the open ports by
// device name, and the pulse (the profile's "lines:" text is read by
// kernel/modem_reset.cpp).
#include "platform/serial/modem_lines.h"

#include "platform/kernel/text.h"
#include "platform/serial/serial_port.h"

#include <map>
#include <mutex>
#include <sys/ioctl.h>

namespace plat
{

namespace
{

std::mutex g_portsMutex;
std::map<std::u16string, std::weak_ptr<SerialPort>> g_openPorts; // by folded device name

// The port holding the device open now, or null.
std::shared_ptr<SerialPort> open_port(const std::u16string& name)
{
    std::lock_guard<std::mutex> lock(g_portsMutex);
    auto it = g_openPorts.find(wstr_fold(name));
    if (it == g_openPorts.end())
        return nullptr;
    std::shared_ptr<SerialPort> p = it->second.lock();
    return p && !p->closing.load() ? p : nullptr;
}

DWORD escape_of(int line, bool high)
{
    if (line == TIOCM_DTR)
        return high ? SETDTR : CLRDTR;
    return high ? SETRTS : CLRRTS;
}

} // namespace

BOOL modem_pulse_run(const ModemPulse& pulse)
{
    const DWORD to = escape_of(pulse.line, pulse.high);
    const DWORD back = escape_of(pulse.line, !pulse.high);
    std::shared_ptr<SerialPort> p = open_port(pulse.port);
    if (p)
    {
        DWORD err = line_escape(p.get(), to);
        if (err == ERROR_SUCCESS)
        {
            Sleep(pulse.ms);
            err = line_escape(p.get(), back);
        }
        if (err != ERROR_SUCCESS)
            SetLastError(err);
        return err == ERROR_SUCCESS;
    }
    // Nobody holds the device: it is opened for the pulse alone.
    HANDLE h = CreateFileW(pulse.port.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL ok = EscapeCommFunction(h, to);
    if (ok)
    {
        Sleep(pulse.ms);
        ok = EscapeCommFunction(h, back);
    }
    const DWORD err = GetLastError();
    CloseHandle(h);
    SetLastError(err);
    return ok;
}

void modem_port_opened(const std::shared_ptr<SerialPort>& port)
{
    std::lock_guard<std::mutex> lock(g_portsMutex);
    g_openPorts[wstr_fold(port->name)] = port;
}

void modem_port_closed(SerialPort* port)
{
    std::lock_guard<std::mutex> lock(g_portsMutex);
    auto it = g_openPorts.find(wstr_fold(port->name));
    if (it != g_openPorts.end())
    {
        std::shared_ptr<SerialPort> held = it->second.lock();
        if (!held || held.get() == port)
            g_openPorts.erase(it);
    }
}

} // namespace plat
