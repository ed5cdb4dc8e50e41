// Module reset through an adapter's modem-control lines: the profile's
// "lines:" text, the open ports by device name, and the pulse.
#include "platform/kernel/modem_reset.h"

#include "platform/kernel/text.h"
#include "platform/serial/serial_port.h"

#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <vector>

namespace plat
{

namespace
{

// text  line
struct LineName
{
    const char* text;
    int line;
};
static const LineName g_lineNames[] = {
    {"dtr", TIOCM_DTR},
    {"rts", TIOCM_RTS},
};

// text   level
struct LevelName
{
    const char* text;
    bool high;
};
static const LevelName g_levelNames[] = {
    {"low", false},
    {"high", true},
};

std::mutex g_portsMutex;
std::map<std::u16string, std::weak_ptr<SerialPort>> g_openPorts; // by folded device name

// Splits at ':' from the right: the port's name holds a colon of its own.
bool split_fields(const std::string& arg, std::string* port, std::string fields[3])
{
    std::string rest = arg;
    for (int i = 2; i >= 0; i--)
    {
        const size_t colon = rest.rfind(':');
        if (colon == std::string::npos)
            return false;
        fields[i] = rest.substr(colon + 1);
        rest.erase(colon);
    }
    *port = rest + ":";
    return rest.size() > 0;
}

bool parse_ms(const std::string& text, DWORD* ms)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *ms = (DWORD)std::stoul(text);
    return *ms > 0 && *ms <= kModemPulseMostMs;
}

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

bool modem_pulse_parse(const std::string& arg, ModemPulse* pulse, std::string* reason)
{
    std::string port;
    std::string fields[3];
    pulse->ms = 0;
    if (!split_fields(arg, &port, fields))
    {
        *reason = "lines: takes PORT:dtr|rts:low|high:MS, as in lines:COM1:dtr:low:100";
        return false;
    }
    const LineName* line = nullptr;
    for (const LineName& l : g_lineNames)
        line = fields[0] == l.text ? &l : line;
    const LevelName* level = nullptr;
    for (const LevelName& l : g_levelNames)
        level = fields[1] == l.text ? &l : level;
    if (line == nullptr)
        *reason = "lines: pulses dtr or rts, not \"" + fields[0] + "\"";
    else if (level == nullptr)
        *reason = "lines: pulses a line low or high, not \"" + fields[1] + "\"";
    else if (!parse_ms(fields[2], &pulse->ms))
        *reason = "lines: needs the pulse's length in milliseconds (1 to " + std::to_string(kModemPulseMostMs) +
                  "), not \"" + fields[2] + "\"";
    if (line == nullptr || level == nullptr || pulse->ms == 0 || pulse->ms > kModemPulseMostMs)
        return false;
    pulse->port = utf8_to_utf16(port);
    pulse->line = line->line;
    pulse->high = level->high;
    return true;
}

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
