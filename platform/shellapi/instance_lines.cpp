// The window namespace's lines and places: the request lines as the holder
// reads them, and the socket's path (see instance.h; the directories are
// kernel/runtime_dir.h's).
#include "platform/shellapi/instance.h"

#include "platform/kernel/text.h"
#include "platform/shellapi/instance_internal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace plat
{

uint64_t fnv1a(const std::string& text)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text)
    {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hex64(uint64_t v)
{
    char buffer[17];
    snprintf(buffer, sizeof(buffer), "%016llx", (unsigned long long)v);
    return buffer;
}

// Hex digits only, as hex64 writes them (strtoull would take a sign, spaces
// or "0x", and stop at an embedded NUL).
bool parse_hex(const std::string& text, uint64_t* out)
{
    if (text.empty() || text.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : text)
    {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0)
            return false;
        v = (v << 4) | (uint64_t)digit;
    }
    *out = v;
    return true;
}

std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;)
    {
        size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

// A field may not carry the protocol's separators.
bool clean_field(const std::string& text)
{
    return text.find_first_of("\t\n\r", 0) == std::string::npos;
}

// Creates the folders above dir that are missing (mode 0700), for a fallback
// under the user's own state folder.
void instance_make_parents(const std::string& dir)
{
    for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    {
        if (mkdir(dir.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

std::string instance_socket_path(const std::string& dir, const std::string& key)
{
    return dir + "/ns-" + hex64(fnv1a(key)) + ".sock";
}

InstanceRequest instance_parse_request(const std::string& line)
{
    InstanceRequest r;
    std::vector<std::string> f = split_tabs(line);
    if (f[0] == "find" && (f.size() == 2 || f.size() == 3))
    {
        r.kind = InstanceRequest::Find;
        r.className = utf8_to_utf16(f[1]);
        r.hasTitle = f.size() == 3;
        if (r.hasTitle)
            r.title = utf8_to_utf16(f[2]);
    }
    else if (f[0] == "front" && f.size() == 3 && (f[2] == "0" || f[2] == "1"))
    {
        uint64_t v = 0;
        r.kind = InstanceRequest::Front;
        r.window = (parse_hex(f[1], &v) && (v & kHandleLowBits) == 0) ? v : 0;
        r.withOwned = f[2] == "1";
    }
    else if (f[0] == "command" && f.size() == 2)
    {
        // 1 to 5 decimal digits only: what --post sends.
        long id = 0;
        bool digits = !f[1].empty() && f[1].size() <= 5;
        for (size_t i = 0; digits && i < f[1].size(); i++)
        {
            digits = f[1][i] >= '0' && f[1][i] <= '9';
            id = id * 10 + (f[1][i] - '0');
        }
        if (digits && id <= 0xFFFF)
        {
            r.kind = InstanceRequest::Command;
            r.id = (int)id;
        }
    }
    return r;
}

} // namespace plat
