#include "tests/support/serial_support.h"

#include "platform/profile/profile.h"

namespace serial_support
{

std::string DeviceProfile(const std::vector<std::pair<std::string, std::string>>& devices, const std::string& extra)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    for (const auto& d : devices)
        text += "\"" + d.first + "\"=\"" + d.second + "\"\n";
    return text + "\n" + extra;
}

bool LoadDevices(const std::vector<std::pair<std::string, std::string>>& devices, std::string* error)
{
    return plat::profile_load_text(DeviceProfile(devices), "serial-test.reg", error);
}

} // namespace serial_support
