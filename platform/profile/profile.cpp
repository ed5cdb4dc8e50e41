// Device profiles: loading a profile (text or file), turning its parsed tree
// (reg_parse.cpp) into the device map and the registry, keeping every loaded
// profile alive, and the registry tree queries. The built-in profile's text
// is in profile_default.cpp.
#include "platform/profile/profile.h"
#include "platform/profile/reg_parse.h"

#include "platform/kernel/text.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace plat
{

static const char kBuiltInOrigin[] = "built-in";
static const size_t kMaxProfileBytes = 1u << 20;

static const char16_t kDevicesKey[] = u"hkey_local_machine\\platform\\devices";
static const char16_t kPlatformKey[] = u"hkey_local_machine\\platform";
static const char16_t kLocalMachine[] = u"hkey_local_machine";

struct RegistryData
{
    std::string origin;
    std::map<std::u16string, RegKeyNode> keys; // by folded path
    std::vector<DeviceSpec> devices;           // in profile order
};

// ---------------------------------------------------------------------------
// Loaded profiles. Every profile ever installed is kept, so that pointers into
// one (device specs, open registry keys, the origin) stay valid while another
// thread loads a new one.
// ---------------------------------------------------------------------------
static std::mutex& load_mutex()
{
    static std::mutex* m = new std::mutex;
    return *m;
}
static std::vector<const RegistryData*>& kept_profiles()
{
    static std::vector<const RegistryData*>* v = new std::vector<const RegistryData*>;
    return *v;
}
static std::atomic<const RegistryData*> g_current{nullptr};

// A query path: a full path, or one under HKEY_LOCAL_MACHINE.
static bool query_path(const std::u16string& key, std::u16string* out)
{
    if (registry_join(u"", key, out))
    {
        return true;
    }
    return registry_join(kLocalMachine, key, out);
}

// A REG_SZ value's text, up to its first NUL.
static std::u16string sz_text(const std::vector<BYTE>& data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    const size_t nul = text.find(u'\0');
    if (nul != std::u16string::npos)
    {
        text.resize(nul);
    }
    return text;
}

// A REG_DWORD value's number (data of 4 bytes, little-endian).
static DWORD dword_of(const std::vector<BYTE>& data)
{
    return static_cast<DWORD>(data[0]) | (static_cast<DWORD>(data[1]) << 8) | (static_cast<DWORD>(data[2]) << 16) |
           (static_cast<DWORD>(data[3]) << 24);
}

static std::string quoted(std::string_view s)
{
    return "\"" + std::string(s) + "\"";
}

// ---------------------------------------------------------------------------
// The device map
// ---------------------------------------------------------------------------
namespace
{

// Where a profile is wrong: the line of the value and what is wrong with it.
struct ProfileError
{
    int line = 0;
    std::string reason;
};

bool fail(ProfileError* err, int line, std::string reason)
{
    err->line = line;
    err->reason = std::move(reason);
    return false;
}

struct DeviceKind
{
    const char* text; // the whole kind, or its prefix
    bool prefix;      // an argument follows the prefix
    DeviceType type;
    bool ril; // a radio driver's kind (RILn:); the others are serial ports'
};

// clang-format off
// kind         prefix  type                      radio driver
const DeviceKind kDeviceKinds[] = {
    {"sim",       false, DeviceType::Simulator,   false},
    {"pty",       false, DeviceType::PtyPair,     false},
    {"tty:",      true,  DeviceType::TtyPath,     false},
    {"cable:",    true,  DeviceType::Cable,       false},
    {"sim-reset", false, DeviceType::RilSimReset, true},
    {"none",      false, DeviceType::RilNone,     true},
    {"cmd:",      true,  DeviceType::RilCommand,  true},
};
// clang-format on

// A cable end is "NAME:a" or "NAME:b".
bool cable_end_valid(const std::string& end)
{
    const size_t colon = end.rfind(':');
    return colon != std::string::npos && colon != 0 && end.size() == colon + 2 &&
           (end[colon + 1] == 'a' || end[colon + 1] == 'b');
}

// The kind of device a value names; null when it names none. *arg gets what
// follows a prefix.
const DeviceKind* classify(const std::string& kind, std::string* arg)
{
    for (const DeviceKind& k : kDeviceKinds)
    {
        if (!k.prefix && kind == k.text)
        {
            return &k;
        }
        if (k.prefix && kind.rfind(k.text, 0) == 0)
        {
            *arg = kind.substr(std::strlen(k.text));
            const bool valid = k.type == DeviceType::Cable ? cable_end_valid(*arg) : !arg->empty();
            return valid ? &k : nullptr;
        }
    }
    return nullptr;
}

// One value of Platform\Devices as a device.
bool device_from_value(const RegValue& v, DeviceSpec* device, ProfileError* err)
{
    const std::string name = utf16_to_utf8(v.name);
    if (v.name.size() < 2 || v.name.back() != u':')
    {
        return fail(err, v.line, "device name " + quoted(name) + " must end with ':' (like \"COM1:\")");
    }
    if (v.type != REG_SZ)
    {
        return fail(err, v.line, "device " + name + " must be a string");
    }
    const std::string kind = utf16_to_utf8(sz_text(v.data));
    const bool ril = v.name.size() >= 3 && wstr_iequal(std::u16string_view(v.name).substr(0, 3), u"RIL");
    *device = DeviceSpec{v.name, DeviceType::RilNone, std::string()};
    const DeviceKind* k = classify(kind, &device->arg);
    if (k == nullptr)
    {
        return fail(err, v.line,
                    "unknown device kind " + quoted(kind) + " for " + name +
                        " (expected sim, pty, tty:PATH, cable:NAME:a|b, sim-reset, none or cmd:COMMAND)");
    }
    device->type = k->type;
    if (ril && !k->ril)
    {
        return fail(err, v.line,
                    name + " is the radio driver: it takes sim-reset, none or cmd:COMMAND, not " + quoted(kind));
    }
    if (!ril && k->ril)
    {
        return fail(err, v.line,
                    name + " is a serial port: it takes sim, pty, tty:PATH or cable:NAME:a|b, not " + quoted(kind));
    }
    return true;
}

// The device map: every value of Platform\Devices names a device. A cable
// end belongs to one device, and the simulator is one module with one UART.
bool build_devices(const RegistryData& reg, std::vector<DeviceSpec>* devices, ProfileError* err)
{
    auto it = reg.keys.find(kDevicesKey);
    if (it == reg.keys.end())
    {
        return true;
    }
    std::map<std::string, std::u16string> cableEnds; // "NAME:a" -> device holding it
    std::u16string simulatorName;
    for (const RegValue& v : it->second.values)
    {
        DeviceSpec device;
        if (!device_from_value(v, &device, err))
        {
            return false;
        }
        if (device.type == DeviceType::Cable)
        {
            auto [at, inserted] = cableEnds.emplace(device.arg, v.name);
            if (!inserted)
            {
                return fail(err, v.line, "cable end " + device.arg + " is already " + utf16_to_utf8(at->second));
            }
        }
        if (device.type == DeviceType::Simulator)
        {
            if (!simulatorName.empty())
            {
                return fail(err, v.line,
                            "only one device can be the simulator; " + utf16_to_utf8(simulatorName) + " already is");
            }
            simulatorName = v.name;
        }
        devices->push_back(std::move(device));
    }
    return true;
}

// Platform "Restart": what the device restart does.
bool check_platform(const RegistryData& reg, ProfileError* err)
{
    auto it = reg.keys.find(kPlatformKey);
    if (it == reg.keys.end())
    {
        return true;
    }
    for (const RegValue& v : it->second.values)
    {
        if (!wstr_iequal(v.name, u"Restart"))
        {
            continue;
        }
        static const BYTE kExit[] = {'e', 0, 'x', 0, 'i', 0, 't', 0, 0, 0};
        if (v.type != REG_SZ || v.data.size() != sizeof(kExit) || std::memcmp(v.data.data(), kExit, sizeof(kExit)) != 0)
        {
            return fail(err, v.line, "unknown restart action (the only one is \"exit\")");
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------
void install(const RegistryData* reg)
{
    kept_profiles().push_back(reg);
    g_current.store(reg, std::memory_order_release);
}

// Under the load mutex. label names the text in errors; origin is what
// profile_origin() says once it is loaded.
bool load_locked(const std::string& text, const std::string& label, const std::string& origin, std::string* error)
{
    RegTree tree;
    if (!reg_parse(text, label, &tree, error))
    {
        return false;
    }
    auto* reg = new RegistryData;
    reg->origin = origin;
    reg->keys = std::move(tree.keys);
    ProfileError err;
    if (!build_devices(*reg, &reg->devices, &err) || !check_platform(*reg, &err))
    {
        if (error != nullptr)
        {
            *error = reg_error(label, err.line, err.reason);
        }
        delete reg;
        return false;
    }
    install(reg);
    return true;
}

// Under the load mutex. The built-in text is part of the program; a test
// keeps it valid.
void load_builtin_locked()
{
    std::string error;
    if (!load_locked(profile_default_text(), kBuiltInOrigin, kBuiltInOrigin, &error))
    {
        std::fprintf(stderr, "built-in device profile is broken: %s\n", error.c_str());
        std::abort();
    }
}

// A profile file's bytes, at most kMaxProfileBytes of a regular file.
bool read_profile_file(const std::string& path, std::string* text, std::string* reason)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        *reason = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!ok)
    {
        *reason = "not a regular file";
    }
    char chunk[4096];
    while (ok)
    {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n <= 0)
        {
            ok = n == 0;
            if (!ok)
            {
                *reason = std::string("cannot read: ") + std::strerror(errno);
            }
            break;
        }
        text->append(chunk, static_cast<size_t>(n));
        if (text->size() > kMaxProfileBytes)
        {
            *reason = "too large for a device profile (over 1 MiB)";
            ok = false;
        }
    }
    ::close(fd);
    return ok;
}

} // namespace

bool profile_load_text(const std::string& text, const std::string& origin, std::string* error)
{
    std::lock_guard<std::mutex> lock(load_mutex());
    return load_locked(text, origin, origin, error);
}

bool profile_load_file(const std::string& path, std::string* error)
{
    std::string text;
    std::string reason;
    if (!read_profile_file(path, &text, &reason))
    {
        if (error != nullptr)
        {
            *error = reg_error(path, 0, reason);
        }
        return false;
    }
    char resolved[PATH_MAX];
    const std::string origin = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    std::lock_guard<std::mutex> lock(load_mutex());
    return load_locked(text, path, origin, error);
}

void profile_load_default()
{
    std::lock_guard<std::mutex> lock(load_mutex());
    load_builtin_locked();
}

const RegistryData* registry_current()
{
    const RegistryData* reg = g_current.load(std::memory_order_acquire);
    if (reg != nullptr)
    {
        return reg;
    }
    // No profile loaded yet: the built-in one stands.
    {
        std::lock_guard<std::mutex> lock(load_mutex());
        if (g_current.load(std::memory_order_acquire) == nullptr)
        {
            load_builtin_locked();
        }
    }
    return g_current.load(std::memory_order_acquire);
}

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------
const DeviceSpec* device_find(LPCWSTR name)
{
    if (name == nullptr)
    {
        return nullptr;
    }
    const std::u16string_view wanted(name, wstr_len(name));
    for (const DeviceSpec& d : registry_current()->devices)
    {
        if (wstr_iequal(d.name, wanted))
        {
            return &d;
        }
    }
    return nullptr;
}

std::vector<DeviceSpec> device_list()
{
    return registry_current()->devices;
}

const std::string& profile_origin()
{
    return registry_current()->origin;
}

// ---------------------------------------------------------------------------
// Registry tree
// ---------------------------------------------------------------------------
bool registry_key_exists(const RegistryData* reg, const std::u16string& path)
{
    return reg != nullptr && reg->keys.count(path) != 0;
}

const RegValue* registry_find_value(const RegistryData* reg, const std::u16string& path, std::u16string_view name)
{
    if (reg == nullptr)
    {
        return nullptr;
    }
    auto it = reg->keys.find(path);
    if (it == reg->keys.end())
    {
        return nullptr;
    }
    for (const RegValue& v : it->second.values)
    {
        if (wstr_iequal(v.name, name))
        {
            return &v;
        }
    }
    return nullptr;
}

// A value by a query path (see query_path); null when there is none.
static const RegValue* query_value(const std::u16string& key, const std::u16string& value)
{
    std::u16string path;
    if (!query_path(key, &path))
    {
        return nullptr;
    }
    return registry_find_value(registry_current(), path, value);
}

bool registry_get_dword(const std::u16string& key, const std::u16string& value, DWORD* out)
{
    const RegValue* v = query_value(key, value);
    if (v == nullptr || v->type != REG_DWORD || v->data.size() != 4)
    {
        return false;
    }
    if (out != nullptr)
    {
        *out = dword_of(v->data);
    }
    return true;
}

bool registry_get_string(const std::u16string& key, const std::u16string& value, std::u16string* out)
{
    const RegValue* v = query_value(key, value);
    if (v == nullptr || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
    {
        return false;
    }
    if (out != nullptr)
    {
        *out = sz_text(v->data);
    }
    return true;
}

static std::string escape_string(const std::string& s)
{
    std::string out;
    for (char c : s)
    {
        if (c == '"' || c == '\\')
        {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

static std::string dump_value(const RegValue& v)
{
    std::string line = v.name.empty() ? std::string("@") : "\"" + escape_string(utf16_to_utf8(v.name)) + "\"";
    line += "=";
    char buf[32];
    if (v.type == REG_DWORD && v.data.size() == 4)
    {
        std::snprintf(buf, sizeof(buf), "dword:%08x", dword_of(v.data));
        return line + buf;
    }
    if (v.type == REG_SZ)
    {
        // One string with its NUL at the very end; anything else shows as bytes.
        const std::u16string text = sz_text(v.data);
        if ((text.size() + 1) * sizeof(char16_t) == v.data.size())
        {
            return line + "\"" + escape_string(utf16_to_utf8(text)) + "\"";
        }
    }
    std::snprintf(buf, sizeof(buf), "hex(%x):", static_cast<unsigned>(v.type));
    line += buf;
    for (size_t i = 0; i < v.data.size(); i++)
    {
        std::snprintf(buf, sizeof(buf), i == 0 ? "%02x" : ",%02x", v.data[i]);
        line += buf;
    }
    return line;
}

std::string registry_dump()
{
    const RegistryData* reg = registry_current();
    std::string out;
    for (const auto& [path, node] : reg->keys)
    {
        out += "[" + utf16_to_utf8(node.display) + "]\n";
        std::map<std::u16string, const RegValue*> sorted;
        for (const RegValue& v : node.values)
        {
            sorted.emplace(wstr_fold(v.name), &v);
        }
        for (const auto& [name, v] : sorted)
        {
            out += dump_value(*v) + "\n";
        }
    }
    return out;
}

} // namespace plat
