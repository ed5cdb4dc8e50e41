// Fuzz target: the device profile parser. Any text either loads (and the
// registry it makes can be listed and dumped) or is refused with a reason;
// nothing else may happen.
#include "platform/profile/profile.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string error;
    std::vector<std::string> warnings;
    if (!plat::profile_load_text(text, "fuzz.reg", &error, &warnings))
    {
        // A refusal names where and why: "fuzz.reg:LINE: reason" or at least the origin.
        if (error.rfind("fuzz.reg", 0) != 0)
            abort();
        return 0;
    }
    if (plat::profile_origin() != "fuzz.reg")
        abort();
    // A warning, like a refusal, says where: "fuzz.reg:LINE: ...".
    for (const std::string& w : warnings)
        if (w.rfind("fuzz.reg", 0) != 0)
            abort();
    for (const plat::DeviceSpec& d : plat::device_list())
    {
        if (plat::device_find(d.name.c_str()) == nullptr)
            abort();
    }
    (void)plat::registry_dump();
    return 0;
}
