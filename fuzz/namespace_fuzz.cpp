// Fuzz target: the window namespace's request parser, as the holder reads a
// line from a peer. A request that parses must say the same when written back
// in the form a client sends.
#include "platform/kernel/text.h"
#include "platform/shellapi/instance.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace
{

std::string Hex(uint64_t v)
{
    char buffer[17];
    snprintf(buffer, sizeof(buffer), "%016llx", (unsigned long long)v);
    return buffer;
}

// The line a client would send for r.
std::string Unparse(const plat::InstanceRequest& r)
{
    switch (r.kind)
    {
        case plat::InstanceRequest::Find:
            return "find\t" + plat::utf16_to_utf8(r.className) +
                   (r.hasTitle ? "\t" + plat::utf16_to_utf8(r.title) : std::string());
        case plat::InstanceRequest::Front:
            return "front\t" + Hex(r.window) + (r.withOwned ? "\t1" : "\t0");
        case plat::InstanceRequest::Command:
            return "command\t" + std::to_string(r.id);
        case plat::InstanceRequest::Bad:
            break;
    }
    return std::string();
}

bool Same(const plat::InstanceRequest& a, const plat::InstanceRequest& b)
{
    return a.kind == b.kind && a.className == b.className && a.title == b.title && a.hasTitle == b.hasTitle &&
           a.window == b.window && a.withOwned == b.withOwned && a.id == b.id;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string line(reinterpret_cast<const char*>(data), size);
    plat::InstanceRequest r = plat::instance_parse_request(line);
    switch (r.kind)
    {
        case plat::InstanceRequest::Command:
            if (r.id < 0 || r.id > 0xFFFF)
                abort();
            break;
        case plat::InstanceRequest::Front:
            if ((r.window & 0xF) != 0)
                abort(); // never a value a local handle could not have
            break;
        case plat::InstanceRequest::Find:
        case plat::InstanceRequest::Bad:
            break;
    }
    if (r.kind == plat::InstanceRequest::Bad)
        return 0;
    // A class or title that held a separator would not have come as one field.
    if (r.kind == plat::InstanceRequest::Find && (r.className.find_first_of(u"\t") != std::u16string::npos ||
                                                  r.title.find_first_of(u"\t") != std::u16string::npos))
        abort();
    plat::InstanceRequest again = plat::instance_parse_request(Unparse(r));
    if (r.kind == plat::InstanceRequest::Front && r.window == 0)
        again.window = 0; // an unreadable handle is written back as 0
    if (!Same(r, again))
        abort();
    return 0;
}
