// The modem-line pulse of a module reset ("lines:" in the profile, parsed by
// kernel/modem_reset.h), done by the serial room:
//
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

#include "platform/kernel/modem_reset.h"

#include <memory>

namespace plat
{

struct SerialPort;

// TRUE when both edges were made; FALSE with the last error set.
BOOL modem_pulse_run(const ModemPulse& pulse);

void modem_port_opened(const std::shared_ptr<SerialPort>& port);
void modem_port_closed(SerialPort* port);

} // namespace plat
