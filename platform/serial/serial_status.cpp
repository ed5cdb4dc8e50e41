// What the status line shows of an open port (serial_status.h).
#include "platform/serial/serial_status.h"

#include "platform/kernel/text.h"
#include "platform/serial/serial_port.h"

namespace plat
{

std::string serial_device_path(LPCWSTR name)
{
    const DeviceSpec* device = device_find(name);
    if (device == nullptr)
        return std::string();
    switch (device->type)
    {
        case DeviceType::TtyPath:
            return device->arg;
        case DeviceType::PtyPair:
            return serial_far_end(name);
        case DeviceType::Simulator:
            return "simulator";
        case DeviceType::Cable:
            return "cable " + device->arg;
        default:
            return std::string();
    }
}

bool serial_port_status(HANDLE h, PortStatus* out)
{
    // A look from the status line must not disturb the caller's last error.
    const DWORD lastError = GetLastError();
    PortRef p = handle_get_as<SerialPort>(h, ObjectKind::Serial);
    SetLastError(lastError);
    if (!p)
        return false;
    out->device = utf16_to_utf8(p->name);
    out->path = serial_device_path(p->name.c_str());
    out->read = p->readCount.load(std::memory_order_relaxed);
    out->written = p->writeCount.load(std::memory_order_relaxed);
    return true;
}

} // namespace plat
