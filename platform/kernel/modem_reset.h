// Module reset through an adapter's modem-control lines, as bench adapters
// are wired: "RIL1:"="lines:COM1:dtr:low:100" pulses DTR of the port behind
// "COM1:" low for 100 ms, then back high (rts for RTS, high for the opposite
// pulse). "low" is the line cleared (TIOCMBIC, CLRDTR), "high" the line set.
//
//   modem_pulse_parse(arg, ...)   the profile's text after "lines:"; false with
//                                 the reason when malformed
//
// The pulse itself is the serial room's (serial/modem_lines.h): the profile
// checks the text when it loads, the radio driver parses it again and runs it.
//
// Platform-internal.
#pragma once

#include "platform/win32.h"

#include <string>

namespace plat
{

constexpr DWORD kModemPulseMostMs = 60000; // a longer pulse is refused as a typo

struct ModemPulse
{
    std::u16string port; // "COM1:"
    int line;            // TIOCM_DTR or TIOCM_RTS
    bool high;           // the level during the pulse: true set, false cleared
    DWORD ms;            // how long the line stays there
};

bool modem_pulse_parse(const std::string& arg, ModemPulse* pulse, std::string* reason);

} // namespace plat
