// Module reset through an adapter's modem-control lines, as bench adapters
// are wired: "RIL1:"="lines:COM1:dtr:low:100" pulses DTR of the port behind
// "COM1:" low for 100 ms, then back high (rts for RTS, high for the opposite
// pulse). "low" is the line cleared (TIOCMBIC, CLRDTR), "high" the line set.
//
//   modem_pulse_parse(arg, ...)   the profile's text after "lines:"; false with
//                                 the reason when malformed
//   modem_pulse_run(pulse)        does the pulse: on the port object that holds
//                                 the device open now (the module link keeps
//                                 "COM1:" open exclusively through a download),
//                                 else on the device opened just for the pulse
//   modem_port_opened/closed      the serial face's open ports, by device name
//
// Why the open port and not a second descriptor: the device is exclusive (the
// held-devices table, flock, TIOCEXCL): a second open is refused in-process,
// and TIOCEXCL refuses it with EBUSY for a user who is not root; a cable end
// has only one holder at all. The open port's own descriptor takes the ioctl.
//
// Platform-internal.
#pragma once

#include "platform/win32.h"

#include <memory>
#include <string>

namespace plat
{

struct SerialPort;

constexpr DWORD kModemPulseMostMs = 60000; // a longer pulse is refused as a typo

struct ModemPulse
{
    std::u16string port; // "COM1:"
    int line;            // TIOCM_DTR or TIOCM_RTS
    bool high;           // the level during the pulse: true set, false cleared
    DWORD ms;            // how long the line stays there
};

bool modem_pulse_parse(const std::string& arg, ModemPulse* pulse, std::string* reason);
// TRUE when both edges were made; FALSE with the last error set.
BOOL modem_pulse_run(const ModemPulse& pulse);

void modem_port_opened(const std::shared_ptr<SerialPort>& port);
void modem_port_closed(SerialPort* port);

} // namespace plat
