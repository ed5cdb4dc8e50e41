// Module reset through an adapter's modem-control lines: the profile's
// "lines:" text (the pulse itself is the serial room's: modem_lines.cpp).
#include "platform/kernel/modem_reset.h"

#include "platform/kernel/text.h"

#include <sys/ioctl.h>

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

} // namespace plat
