// What the status line shows of an open port: its device name, what stands
// behind it, and the bytes read from it so far (ReadFile's counts, kept per
// handle by the Win32 face in serial.cpp).
//
// Platform-internal.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>

namespace plat
{

struct PortStatus
{
    std::string device; // "COM1:"
    std::string path;   // "/dev/pts/4", "simulator", "cable X:a"; empty when unknown
    uint64_t read = 0;  // bytes ReadFile took from it
    uint64_t written = 0;
};

// False when h is not an open port (closed, or never one).
bool serial_port_status(HANDLE h, PortStatus* out);

// What stands behind a device name of the profile, for a person: the tty
// path, the far end of a pseudo-terminal pair, "simulator", "cable NAME:a".
std::string serial_device_path(LPCWSTR name);

} // namespace plat
