// Which device this run is: the profile, found by file or by name and read
// without ever waiting on what is not a file, with the command line's --port
// and --peer standing behind the profile's device names for this run.
//
// The overrides are a section appended to the profile's text, so the
// profile's own parser checks them and a later value of a device name
// replaces the earlier one. The namespace key names the overrides too: the
// same profile on two adapters is two devices, two tools side by side.
#include "app/app.h"

#include "platform/kernel/text.h"
#include "platform/kernel/trust.h"
#include "platform/profile/profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef FWU_SYSCONF_DIR
#define FWU_SYSCONF_DIR "/etc/fwutil"
#endif

namespace app
{
namespace
{

constexpr size_t kMaxProfileBytes = 1u << 20;

// The module's line, and the bridge's fixed peers (its Bluetooth UART is named
// by the profile's Serial2 "Index").
const char16_t kModuleLine[] = u"COM1:";
const char16_t* const kFixedPeers[] = {u"COM5:", u"COM3:"};

bool is_regular(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Reads a profile file. Opened without waiting (a FIFO would block the start
// until someone wrote to it) and refused unless it is a regular file. A
// profile makes the tool act (its "cmd:" controls run as this user), so it is
// refused as ssh refuses its configuration when it, or a folder above it,
// belongs to another user or can be written by group or others.
bool read_profile(const std::string& path, std::string* text, std::string* error)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        *error = path + ":0: cannot open: " + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        *error = path + ":0: " + plat::file_type_name(st.st_mode) + " (refused: a profile is a regular file)";
        close(fd);
        return false;
    }
    std::string reason;
    if (!plat::path_trusted(path, plat::TrustKind::File, &reason))
    {
        *error = path + ":0: not trusted: " + reason;
        close(fd);
        return false;
    }
    char chunk[4096];
    for (;;)
    {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            if (n < 0)
                *error = path + ":0: cannot read: " + strerror(errno);
            close(fd);
            return n == 0;
        }
        text->append(chunk, (size_t)n);
        if (text->size() > kMaxProfileBytes)
        {
            *error = path + ":0: too large for a device profile (over 1 MiB)";
            close(fd);
            return false;
        }
    }
}

// The profile's text in UTF-8 (a regedit export may be UTF-16), so that the
// overrides can follow it.
std::string utf8_text(const std::string& text)
{
    const auto* b = (const unsigned char*)text.data();
    size_t n = text.size();
    if (n < 2 || !((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)) || n % 2 != 0)
        return text; // UTF-8; an odd UTF-16 text is left for the parser to refuse
    bool little = b[0] == 0xFF;
    std::u16string wide;
    for (size_t i = 2; i + 1 < n; i += 2)
        wide.push_back(little ? (char16_t)(b[i] | (b[i + 1] << 8)) : (char16_t)((b[i] << 8) | b[i + 1]));
    return plat::utf16_to_utf8(wide);
}

// A .reg string's body: quotes and backslashes escaped.
std::string reg_string(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

// The bridge's peer names in this profile.
std::vector<std::u16string> peer_names()
{
    std::vector<std::u16string> names(std::begin(kFixedPeers), std::end(kFixedPeers));
    DWORD index = 0;
    if (plat::registry_get_dword(u"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2", u"Index", &index) && index < 10)
        names.push_back(u"COM" + plat::utf8_to_utf16(std::to_string(index)) + u":");
    return names;
}

std::string override_section(const Options& o)
{
    std::string section = "\r\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\r\n";
    if (!o.port.empty())
        section += "\"" + plat::utf16_to_utf8(kModuleLine) + "\"=\"tty:" + reg_string(o.port) + "\"\r\n";
    if (!o.peer.empty())
    {
        for (const std::u16string& name : peer_names())
            section += "\"" + plat::utf16_to_utf8(name) + "\"=\"tty:" + reg_string(o.peer) + "\"\r\n";
    }
    return section;
}

std::string base_name(const std::string& path)
{
    std::string name = path.substr(path.rfind('/') + 1);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".reg") == 0)
        name.resize(name.size() - 4);
    return name;
}

} // namespace

std::vector<std::string> profile_folders()
{
    std::vector<std::string> folders;
    const char* config = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (config != nullptr && config[0] == '/')
        folders.push_back(std::string(config) + "/fwutil");
    else if (home != nullptr && home[0] == '/')
        folders.push_back(std::string(home) + "/.config/fwutil");
    folders.push_back(FWU_SYSCONF_DIR);
    return folders;
}

bool find_profile(const std::string& name, std::string* path, std::string* error)
{
    std::string looked;
    for (const std::string& folder : profile_folders())
    {
        for (const std::string& candidate : {folder + "/" + name, folder + "/" + name + ".reg"})
        {
            if (is_regular(candidate))
            {
                *path = candidate;
                return true;
            }
        }
        looked += (looked.empty() ? "" : ", ") + folder;
    }
    *error = "no profile named '" + name + "' in " + looked + " (a file in this folder is ./" + name + ")";
    return false;
}

std::string port_description(const char16_t* name)
{
    const plat::DeviceSpec* device = plat::device_find(name);
    if (device == nullptr)
        return "none";
    switch (device->type)
    {
        case plat::DeviceType::TtyPath:
            return device->arg;
        case plat::DeviceType::PtyPair:
            return "pty";
        case plat::DeviceType::Cable:
            return "cable:" + device->arg;
        case plat::DeviceType::Simulator:
            return "sim";
        default:
            return "none";
    }
}

bool load_device(const Options& o, Device* device, std::string* error)
{
    std::string text;
    std::string origin = "built-in";
    device->profileName = "built-in";
    if (!o.profileGiven)
        text = plat::profile_default_text();
    else
    {
        std::string path = o.profile;
        if (path.find('/') == std::string::npos && !find_profile(o.profile, &path, error))
            return false;
        if (!read_profile(path, &text, error))
            return false;
        char resolved[PATH_MAX];
        origin = realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
        device->profilePath = path;
        device->profileName = base_name(path);
    }
    // The profile alone first: its own errors and warnings name its own lines.
    if (!plat::profile_load_text(text, origin, error, &device->warnings))
        return false;
    device->origin = origin;
    device->key = origin;
    if (!o.port.empty() || !o.peer.empty())
    {
        std::string section = override_section(o);
        if (!plat::profile_load_text(utf8_text(text) + section, origin, error))
        {
            *error = "--port/--peer: " + *error;
            return false;
        }
        // Two adapters on one profile are two devices.
        device->key += "\n" + section;
    }
    device->port = port_description(kModuleLine);
    return true;
}

} // namespace app
