// Device profiles: loading a profile (text or file), turning its parsed tree
// (reg_parse.cpp) into the device map and the registry, keeping every loaded
// profile alive, and the registry tree queries. The built-in profile's text
// is in profile_default.cpp.
#include "platform/profile/profile.h"
#include "platform/profile/profile_check.h"
#include "platform/profile/reg_parse.h"

#include "platform/kernel/modem_reset.h"
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
#include <unordered_map>

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
    RegTree tree;
    std::vector<DeviceSpec> devices;                        // in profile order
    std::unordered_map<std::u16string, size_t> deviceIndex; // folded name -> index in devices
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

// A REG_SZ value's UTF-16 units, every one of them.
static std::u16string sz_units(const std::vector<BYTE>& data)
{
    std::u16string text(data.size() / sizeof(char16_t), u'\0');
    std::memcpy(text.data(), data.data(), text.size() * sizeof(char16_t));
    return text;
}

// A REG_SZ value's text, up to its first NUL.
static std::u16string sz_text(const std::vector<BYTE>& data)
{
    std::u16string text = sz_units(data);
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
    bool ril;            // a radio driver's kind (RILn:); the others are serial ports'
    const char* missing; // the refusal when the argument is blank; null: an unknown kind
};

// clang-format off
// kind         prefix  type                      radio driver  argument blank
const DeviceKind kDeviceKinds[] = {
    {"sim",       false, DeviceType::Simulator,   false,        nullptr},
    {"pty",       false, DeviceType::PtyPair,     false,        nullptr},
    {"tty:",      true,  DeviceType::TtyPath,     false,        nullptr},
    {"cable:",    true,  DeviceType::Cable,       false,        nullptr},
    {"sim-reset", false, DeviceType::RilSimReset, true,         nullptr},
    {"none",      false, DeviceType::RilNone,     true,         nullptr},
    {"cmd:",      true,  DeviceType::RilCommand,  true,         "cmd: needs a command"},
    {"lines:",    true,  DeviceType::RilLines,    true,         "lines: needs PORT:dtr|rts:low|high:MS"},
};
// clang-format on

// A cable end is "NAME:a" or "NAME:b".
bool cable_end_valid(const std::string& end)
{
    const size_t colon = end.rfind(':');
    return colon != std::string::npos && colon != 0 && end.size() == colon + 2 &&
           (end[colon + 1] == 'a' || end[colon + 1] == 'b');
}

bool is_blank(const std::string& s)
{
    return s.find_first_not_of(" \t") == std::string::npos;
}

// The kind a value spells (by its whole text, or by its prefix with *arg set
// to what follows); null when it spells none.
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
            return &k;
        }
    }
    return nullptr;
}

bool argument_valid(const DeviceKind& k, const std::string& arg)
{
    if (!k.prefix)
    {
        return true;
    }
    if (k.type == DeviceType::Cable)
    {
        return cable_end_valid(arg);
    }
    return k.missing != nullptr ? !is_blank(arg) : !arg.empty();
}

// A device's string must be whole: a NUL inside it would cut it short, and
// the shell would run a command that is not the one the profile shows.
bool check_no_nul(const RegValue& v, const std::string& name, ProfileError* err)
{
    std::u16string units = sz_units(v.data);
    while (!units.empty() && units.back() == u'\0')
    {
        units.pop_back();
    }
    const size_t nul = units.find(u'\0');
    if (nul == std::u16string::npos)
    {
        return true;
    }
    return fail(err, v.line,
                "the string of device " + name + " holds a NUL character, which would cut it short before " +
                    reg_quoted(utf16_to_utf8(std::u16string_view(units).substr(nul + 1))));
}

// One value of Platform\Devices as a device.
bool device_from_value(const RegValue& v, DeviceSpec* device, ProfileError* err)
{
    const std::string name = utf16_to_utf8(v.name);
    if (v.name.size() < 2 || v.name.back() != u':')
    {
        return fail(err, v.line, "device name " + reg_quoted(name) + " must end with ':' (like \"COM1:\")");
    }
    if (v.type != REG_SZ)
    {
        return fail(err, v.line, "device " + name + " must be a string");
    }
    if (!check_no_nul(v, name, err))
    {
        return false;
    }
    const std::string kind = utf16_to_utf8(sz_text(v.data));
    const bool ril = v.name.size() >= 3 && wstr_iequal(std::u16string_view(v.name).substr(0, 3), u"RIL");
    *device = DeviceSpec{v.name, DeviceType::RilNone, std::string()};
    const DeviceKind* k = classify(kind, &device->arg);
    if (k != nullptr && !argument_valid(*k, device->arg))
    {
        if (k->missing != nullptr)
        {
            return fail(err, v.line, std::string(k->missing) + " (" + name + " is " + reg_quoted(kind) + ")");
        }
        k = nullptr; // a prefix without a usable argument names no kind
    }
    if (k == nullptr)
    {
        return fail(err, v.line,
                    "unknown device kind " + reg_quoted(kind) + " for " + name +
                        " (expected sim, pty, tty:PATH, cable:NAME:a|b, sim-reset, none or cmd:COMMAND)");
    }
    device->type = k->type;
    ModemPulse pulse;
    std::string reason;
    if (k->type == DeviceType::RilLines && !modem_pulse_parse(device->arg, &pulse, &reason))
    {
        return fail(err, v.line, reason + " (" + name + " is " + reg_quoted(kind) + ")");
    }
    if (ril && !k->ril)
    {
        return fail(err, v.line,
                    name + " is the radio driver: it takes sim-reset, none or cmd:COMMAND, not " + reg_quoted(kind));
    }
    if (!ril && k->ril)
    {
        return fail(err, v.line,
                    name + " is a serial port: it takes sim, pty, tty:PATH or cable:NAME:a|b, not " + reg_quoted(kind));
    }
    return true;
}

// The device map: every value of Platform\Devices names a device. A cable
// end belongs to one device, and the simulator is one module with one UART.
bool build_devices(const RegTree& tree, std::vector<DeviceSpec>* devices, ProfileError* err)
{
    const uint32_t key = reg_find_key(tree, kDevicesKey);
    if (key == kRegNoKey)
    {
        return true;
    }
    std::map<std::string, std::u16string> cableEnds; // "NAME:a" -> device holding it
    std::u16string simulatorName;
    for (const RegValue& v : tree.keys[key].values)
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
bool check_platform(const RegTree& tree, ProfileError* err)
{
    const RegValue* v = reg_find_value(tree, reg_find_key(tree, kPlatformKey), u"Restart");
    if (v == nullptr)
    {
        return true;
    }
    static const BYTE kExit[] = {'e', 0, 'x', 0, 'i', 0, 't', 0, 0, 0};
    if (v->type != REG_SZ || v->data.size() != sizeof(kExit) || std::memcmp(v->data.data(), kExit, sizeof(kExit)) != 0)
    {
        return fail(err, v->line, "unknown restart action (the only one is \"exit\")");
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

// Under the load mutex. label names the text in errors and warnings; origin
// is what profile_origin() says once it is loaded.
bool load_locked(const std::string& text, const std::string& label, const std::string& origin, std::string* error,
                 std::vector<std::string>* warnings)
{
    auto* reg = new RegistryData;
    ProfileError err;
    if (!reg_parse(text, label, &reg->tree, error))
    {
        delete reg;
        return false;
    }
    if (!build_devices(reg->tree, &reg->devices, &err) || !check_platform(reg->tree, &err))
    {
        if (error != nullptr)
        {
            *error = reg_error(label, err.line, err.reason);
        }
        delete reg;
        return false;
    }
    reg->origin = origin;
    for (size_t i = 0; i < reg->devices.size(); i++)
    {
        reg->deviceIndex.emplace(wstr_fold(reg->devices[i].name), i);
    }
    if (warnings != nullptr)
    {
        *warnings = profile_check(reg->tree, label);
    }
    install(reg);
    return true;
}

// Under the load mutex. The built-in text is part of the program; a test
// keeps it valid.
void load_builtin_locked()
{
    std::string error;
    if (!load_locked(profile_default_text(), kBuiltInOrigin, kBuiltInOrigin, &error, nullptr))
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

bool profile_load_text(const std::string& text, const std::string& origin, std::string* error,
                       std::vector<std::string>* warnings)
{
    std::lock_guard<std::mutex> lock(load_mutex());
    return load_locked(text, origin, origin, error, warnings);
}

bool profile_load_file(const std::string& path, std::string* error, std::vector<std::string>* warnings)
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
    return load_locked(text, path, origin, error, warnings);
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
    const RegistryData* reg = registry_current();
    auto it = reg->deviceIndex.find(wstr_fold(std::u16string_view(name, wstr_len(name))));
    return it == reg->deviceIndex.end() ? nullptr : &reg->devices[it->second];
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
    return reg != nullptr && reg_find_key(reg->tree, path) != kRegNoKey;
}

const RegValue* registry_find_value(const RegistryData* reg, const std::u16string& path, std::u16string_view name)
{
    return reg == nullptr ? nullptr : reg_find_value(reg->tree, reg_find_key(reg->tree, path), name);
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
    const RegTree& tree = registry_current()->tree;
    std::map<std::u16string, uint32_t> keys; // by folded path
    for (uint32_t k = 0; k < tree.keys.size(); k++)
    {
        keys.emplace(reg_key_path(tree, k, true), k);
    }
    std::string out;
    for (const auto& [path, k] : keys)
    {
        const RegKeyNode& node = tree.keys[k];
        out += "[" + utf16_to_utf8(reg_key_path(tree, k, false)) + "]\n";
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
