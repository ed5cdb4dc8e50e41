// Serial-port tests' view of the shared test support: pseudo-terminal pairs
// whose slave the platform opens with nobody else holding it, profile text for
// a device map, and descriptor I/O with time-outs.
#pragma once

#include "platform/profile/profile.h"
#include "tests/support/fd_io.h"
#include "tests/support/platform_threads.h"
#include "tests/support/pty.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace serial_support
{

using testsupport::Clock;
using testsupport::MsSince;
using testsupport::ProcessCpuSeconds;
using testsupport::ReadExactly;
using testsupport::ReadFor;
using testsupport::ReadUntilQuiet;
using testsupport::WriteAll;
using testsupport::WriteText;

// The platform's open is the only one of the slave: a closed port shows the
// master a hang-up.
struct Pty : testsupport::Pty
{
    bool Open()
    {
        return testsupport::Pty::Open(false);
    }
};

// "REGEDIT4" text with a Platform\Devices key mapping each name to its kind.
std::string DeviceProfile(const std::vector<std::pair<std::string, std::string>>& devices,
                          const std::string& extra = std::string());
bool LoadDevices(const std::vector<std::pair<std::string, std::string>>& devices, std::string* error);

} // namespace serial_support
