// Device profiles: the ".reg" parser, the registry tree it builds, the device
// map and the built-in default profile.
#include "platform/profile/profile.h"

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

// ---------------------------------------------------------------------------
// The built-in profile. profiles/default.reg ships the same tree with more
// commentary; a test keeps the two equal.
// ---------------------------------------------------------------------------
static const char kDefaultProfile[] = R"REG(REGEDIT4

; The built-in device profile: a simulated handheld.
;
; The module's UART (FFUART) is the serial driver instance with Index 1, so the
; tool opens it as COM1:; the Bluetooth UART (BTUART) is Index 4, COM4:.
; COM1: is wired to the built-in module simulator. The peer ports COM3: (IrDA),
; COM4: (Bluetooth UART) and COM5: (raw IR) are fresh pseudo-terminal pairs
; whose far ends are announced in the debug output.

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial]
"Index"=dword:00000001

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial2]
"Index"=dword:00000004

[HKEY_LOCAL_MACHINE\Platform]
"Restart"="exit"

[HKEY_LOCAL_MACHINE\Platform\Devices]
"COM1:"="sim"
"COM3:"="pty"
"COM4:"="pty"
"COM5:"="pty"
"RIL1:"="sim-reset"

[HKEY_LOCAL_MACHINE\Platform\Simulator]
"FirmwareAtStart"=dword:00000001
)REG";

static const char kBuiltInOrigin[] = "built-in";
static const size_t kMaxProfileBytes = 1u << 20;

// root key name (canonical)  handle
static const struct
{
    const char16_t* name;
    HKEY root;
} g_rootTable[] = {
    {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {u"HKEY_USERS", HKEY_USERS},
};

static const char16_t kDevicesKey[] = u"hkey_local_machine\\platform\\devices";
static const char16_t kPlatformKey[] = u"hkey_local_machine\\platform";
static const char16_t kLocalMachine[] = u"hkey_local_machine";

struct RegKeyNode
{
    std::u16string display;       // path as first spelled, root in canonical form
    std::vector<RegValue> values; // in profile order; a repeated name replaces in place
};

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

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
static const char16_t* root_display_name(std::u16string_view folded)
{
    for (const auto& r : g_rootTable)
    {
        if (wstr_iequal(folded, r.name))
        {
            return r.name;
        }
    }
    return nullptr;
}

std::u16string registry_root_path(HKEY root)
{
    for (const auto& r : g_rootTable)
    {
        if (r.root == root)
        {
            return wstr_fold(r.name);
        }
    }
    return std::u16string();
}

// Splits on '\'; an empty component (leading or doubled separator) makes the
// path malformed. One trailing separator is tolerated.
static bool split_path(std::u16string_view path, std::vector<std::u16string_view>* parts)
{
    parts->clear();
    if (!path.empty() && path.back() == u'\\')
    {
        path.remove_suffix(1);
    }
    if (path.empty())
    {
        return true;
    }
    size_t start = 0;
    for (;;)
    {
        const size_t sep = path.find(u'\\', start);
        const std::u16string_view part = path.substr(start, sep == std::u16string_view::npos ? sep : sep - start);
        if (part.empty())
        {
            return false;
        }
        parts->push_back(part);
        if (sep == std::u16string_view::npos)
        {
            return true;
        }
        start = sep + 1;
    }
}

bool registry_join(std::u16string_view base, std::u16string_view subKey, std::u16string* out)
{
    std::vector<std::u16string_view> parts;
    if (!split_path(subKey, &parts))
    {
        return false;
    }
    std::u16string path(base);
    size_t first = 0;
    if (path.empty())
    {
        if (parts.empty() || root_display_name(parts[0]) == nullptr)
        {
            return false;
        }
        path = wstr_fold(parts[0]);
        first = 1;
    }
    for (size_t i = first; i < parts.size(); i++)
    {
        path.push_back(u'\\');
        path += wstr_fold(parts[i]);
    }
    *out = std::move(path);
    return true;
}

// A query path: a full path, or one under HKEY_LOCAL_MACHINE.
static bool query_path(const std::u16string& key, std::u16string* out)
{
    if (registry_join(u"", key, out))
    {
        return true;
    }
    return registry_join(kLocalMachine, key, out);
}

// ---------------------------------------------------------------------------
// The parser
// ---------------------------------------------------------------------------
namespace
{

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

size_t skip_blanks(std::string_view s, size_t pos)
{
    while (pos < s.size() && is_blank(s[pos]))
    {
        pos++;
    }
    return pos;
}

// Nothing but blanks or a ';' comment from pos on.
bool rest_is_empty(std::string_view s, size_t pos)
{
    pos = skip_blanks(s, pos);
    return pos == s.size() || s[pos] == ';';
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
    {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f')
    {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F')
    {
        return c - 'A' + 10;
    }
    return -1;
}

bool starts_with_nocase(std::string_view s, size_t pos, std::string_view word)
{
    if (s.size() - pos < word.size())
    {
        return false;
    }
    for (size_t i = 0; i < word.size(); i++)
    {
        char c = s[pos + i];
        if (c >= 'A' && c <= 'Z')
        {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != word[i])
        {
            return false;
        }
    }
    return true;
}

// Reads up to 8 hex digits as a 32-bit number; false when there are none or
// more than 8.
bool read_hex32(std::string_view s, size_t* pos, DWORD* out)
{
    size_t p = *pos;
    DWORD v = 0;
    int digits = 0;
    while (p < s.size() && hex_digit(s[p]) >= 0)
    {
        if (++digits > 8)
        {
            return false;
        }
        v = (v << 4) | static_cast<DWORD>(hex_digit(s[p]));
        p++;
    }
    if (digits == 0)
    {
        return false;
    }
    *pos = p;
    *out = v;
    return true;
}

std::string quoted(std::string_view s)
{
    return "\"" + std::string(s) + "\"";
}

class Parser
{
public:
    Parser(std::string_view text, const std::string& origin, RegistryData* reg) : origin_(origin), reg_(reg)
    {
        // A final line end closes the last line; it does not open another.
        if (!text.empty() && text.back() == '\n')
        {
            text.remove_suffix(1);
        }
        size_t start = 0;
        while (start <= text.size())
        {
            size_t nl = text.find('\n', start);
            if (nl == std::string_view::npos)
            {
                nl = text.size();
            }
            std::string_view line = text.substr(start, nl - start);
            if (!line.empty() && line.back() == '\r')
            {
                line.remove_suffix(1);
            }
            lines_.push_back(line);
            start = nl + 1;
        }
    }

    bool run(std::string* error)
    {
        if (!parse_lines() || !build_devices() || !check_platform())
        {
            if (error != nullptr)
            {
                *error = origin_ + ":" + std::to_string(errLine_) + ": " + errReason_;
            }
            return false;
        }
        return true;
    }

private:
    bool fail(int line, std::string reason)
    {
        errLine_ = line;
        errReason_ = std::move(reason);
        return false;
    }

    bool parse_lines()
    {
        std::string_view first = lines_.empty() ? std::string_view() : lines_[0];
        while (!first.empty() && is_blank(first.back()))
        {
            first.remove_suffix(1);
        }
        if (first != "REGEDIT4" && first != "Windows Registry Editor Version 5.00")
        {
            return fail(1, "missing header: the first line must be \"REGEDIT4\" or \"Windows Registry Editor "
                           "Version 5.00\"");
        }
        for (idx_ = 1; idx_ < lines_.size(); idx_++)
        {
            const std::string_view line = lines_[idx_];
            const size_t pos = skip_blanks(line, 0);
            if (pos == line.size() || line[pos] == ';')
            {
                continue;
            }
            bool ok;
            if (line[pos] == '[')
            {
                ok = parse_section(line, pos);
            }
            else if (line[pos] == '"' || line[pos] == '@')
            {
                ok = parse_value(line, pos);
            }
            else
            {
                ok = fail(line_no(), "unexpected text " + quoted(line.substr(pos)) +
                                         " (expected a [section], a \"value\"=..., or a ; comment)");
            }
            if (!ok)
            {
                return false;
            }
        }
        return true;
    }

    int line_no() const
    {
        return static_cast<int>(idx_) + 1;
    }

    bool parse_section(std::string_view line, size_t pos)
    {
        const size_t close = line.find(']', pos);
        if (close == std::string_view::npos)
        {
            return fail(line_no(), "bad section header: missing ']'");
        }
        if (!rest_is_empty(line, close + 1))
        {
            return fail(line_no(), "bad section header: text after ']'");
        }
        const std::string_view path = line.substr(pos + 1, close - pos - 1);
        if (path.empty())
        {
            return fail(line_no(), "bad section header: empty key path");
        }
        if (path[0] == '-')
        {
            return fail(line_no(), "key deletion ([-...]) has no meaning in a device profile");
        }
        const std::u16string wide = utf8_to_utf16(path);
        std::vector<std::u16string_view> parts;
        if (!split_path(wide, &parts) || parts.empty() || wide.back() == u'\\')
        {
            return fail(line_no(), "bad section header: empty key name in " + quoted(path));
        }
        const char16_t* root = root_display_name(parts[0]);
        if (root == nullptr)
        {
            return fail(line_no(), "unknown root key " + quoted(utf16_to_utf8(parts[0])));
        }
        // Create the key and every key above it, as the registry would.
        std::u16string folded = wstr_fold(root);
        std::u16string display = root;
        touch_key(folded, display);
        for (size_t i = 1; i < parts.size(); i++)
        {
            folded.push_back(u'\\');
            folded += wstr_fold(parts[i]);
            display.push_back(u'\\');
            display += parts[i];
            touch_key(folded, display);
        }
        current_ = folded;
        return true;
    }

    void touch_key(const std::u16string& folded, const std::u16string& display)
    {
        auto it = reg_->keys.find(folded);
        if (it == reg_->keys.end())
        {
            reg_->keys.emplace(folded, RegKeyNode{display, {}});
        }
    }

    // A quoted string with the \" and \\ escapes; pos is at the opening quote
    // and ends after the closing one.
    bool parse_quoted(std::string_view line, size_t* pos, std::string* out)
    {
        size_t p = *pos + 1;
        out->clear();
        for (;;)
        {
            if (p >= line.size())
            {
                return fail(line_no(), "unterminated string");
            }
            const char c = line[p];
            if (c == '"')
            {
                *pos = p + 1;
                return true;
            }
            if (c == '\\')
            {
                if (p + 1 >= line.size())
                {
                    return fail(line_no(), "unterminated string");
                }
                const char e = line[p + 1];
                if (e != '"' && e != '\\')
                {
                    return fail(line_no(), std::string("bad escape \\") + e + " in a string (only \\\" and \\\\)");
                }
                out->push_back(e);
                p += 2;
                continue;
            }
            out->push_back(c);
            p++;
        }
    }

    bool parse_value(std::string_view line, size_t pos)
    {
        const int valueLine = line_no();
        if (current_.empty())
        {
            return fail(valueLine, "value outside a section");
        }
        std::string name;
        if (line[pos] == '@')
        {
            pos++;
        }
        else if (!parse_quoted(line, &pos, &name))
        {
            return false;
        }
        pos = skip_blanks(line, pos);
        if (pos >= line.size() || line[pos] != '=')
        {
            return fail(valueLine, "expected '=' after the value name");
        }
        pos = skip_blanks(line, pos + 1);

        RegValue value{utf8_to_utf16(name), REG_NONE, {}, valueLine};
        if (pos < line.size() && line[pos] == '"')
        {
            std::string text;
            if (!parse_quoted(line, &pos, &text))
            {
                return false;
            }
            if (!rest_is_empty(line, pos))
            {
                return fail(valueLine, "unexpected text after the string");
            }
            const std::u16string wide = utf8_to_utf16(text);
            value.type = REG_SZ;
            value.data.resize((wide.size() + 1) * sizeof(char16_t));
            std::memcpy(value.data.data(), wide.c_str(), value.data.size());
        }
        else if (starts_with_nocase(line, pos, "dword:"))
        {
            pos += 6;
            DWORD v = 0;
            if (!read_hex32(line, &pos, &v) || !rest_is_empty(line, pos))
            {
                return fail(valueLine, "bad dword: expected dword: and 1 to 8 hex digits");
            }
            value.type = REG_DWORD;
            value.data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                          static_cast<BYTE>(v >> 24)};
        }
        else if (starts_with_nocase(line, pos, "hex"))
        {
            pos += 3;
            DWORD type = REG_BINARY;
            if (pos < line.size() && line[pos] == '(')
            {
                pos++;
                if (!read_hex32(line, &pos, &type) || pos >= line.size() || line[pos] != ')')
                {
                    return fail(valueLine, "bad value type: expected hex(N): with N in hex");
                }
                pos++;
            }
            if (pos >= line.size() || line[pos] != ':')
            {
                return fail(valueLine, "bad value type: expected hex: or hex(N):");
            }
            value.type = type;
            if (!parse_hex_list(line, pos + 1, &value.data))
            {
                return false;
            }
        }
        else if (pos < line.size() && line[pos] == '-')
        {
            return fail(valueLine, "value deletion (=-) has no meaning in a device profile");
        }
        else
        {
            return fail(valueLine, "unknown value type (expected \"string\", dword:, hex: or hex(N):)");
        }
        store_value(std::move(value));
        return true;
    }

    // Comma-separated bytes of one or two hex digits; a trailing backslash
    // continues the list on the next line.
    bool parse_hex_list(std::string_view line, size_t pos, std::vector<BYTE>* out)
    {
        for (;;)
        {
            pos = skip_blanks(line, pos);
            if (pos >= line.size() || line[pos] == ';')
            {
                return true;
            }
            if (line[pos] == '\\')
            {
                if (skip_blanks(line, pos + 1) != line.size())
                {
                    return fail(line_no(), "text after the line continuation '\\'");
                }
                if (idx_ + 1 >= lines_.size())
                {
                    return fail(line_no(), "hex list continues past the end of the file");
                }
                idx_++;
                line = lines_[idx_];
                pos = 0;
                continue;
            }
            int digits = 0;
            unsigned v = 0;
            while (pos < line.size() && hex_digit(line[pos]) >= 0 && digits < 3)
            {
                v = (v << 4) | static_cast<unsigned>(hex_digit(line[pos]));
                digits++;
                pos++;
            }
            if (digits == 0 || digits > 2)
            {
                const size_t end = line.find_first_of(",; \t\\", pos);
                const size_t from = pos - static_cast<size_t>(digits);
                return fail(line_no(), "bad hex byte " + quoted(line.substr(from, end == std::string_view::npos
                                                                                      ? std::string_view::npos
                                                                                      : end - from)));
            }
            out->push_back(static_cast<BYTE>(v));
            pos = skip_blanks(line, pos);
            if (pos < line.size() && line[pos] == ',')
            {
                pos++;
            }
            else if (pos < line.size() && line[pos] != ';' && line[pos] != '\\')
            {
                return fail(line_no(), "bad hex list: expected ',' between bytes");
            }
        }
    }

    void store_value(RegValue value)
    {
        RegKeyNode& node = reg_->keys.at(current_);
        for (RegValue& v : node.values)
        {
            if (wstr_iequal(v.name, value.name))
            {
                v = std::move(value);
                return;
            }
        }
        node.values.push_back(std::move(value));
    }

    // The device map: every value of Platform\Devices names a device.
    bool build_devices()
    {
        auto it = reg_->keys.find(kDevicesKey);
        if (it == reg_->keys.end())
        {
            return true;
        }
        std::map<std::string, std::u16string> cableEnds; // "NAME:a" -> device holding it
        std::u16string simulatorName;
        for (const RegValue& v : it->second.values)
        {
            const std::string name = utf16_to_utf8(v.name);
            if (v.name.size() < 2 || v.name.back() != u':')
            {
                return fail(v.line, "device name " + quoted(name) + " must end with ':' (like \"COM1:\")");
            }
            if (v.type != REG_SZ)
            {
                return fail(v.line, "device " + name + " must be a string");
            }
            std::u16string wide;
            wide.resize(v.data.size() / sizeof(char16_t));
            std::memcpy(wide.data(), v.data.data(), wide.size() * sizeof(char16_t));
            const size_t nul = wide.find(u'\0');
            if (nul != std::u16string::npos)
            {
                wide.resize(nul);
            }
            const std::string kind = utf16_to_utf8(wide);
            const bool ril = v.name.size() >= 3 && wstr_iequal(std::u16string_view(v.name).substr(0, 3), u"RIL");
            DeviceSpec device{v.name, DeviceType::RilNone, std::string()};
            if (!classify(kind, &device))
            {
                return fail(v.line, "unknown device kind " + quoted(kind) + " for " + name +
                                        " (expected sim, pty, tty:PATH, cable:NAME:a|b, sim-reset, none or "
                                        "cmd:COMMAND)");
            }
            const bool rilKind = device.type == DeviceType::RilSimReset || device.type == DeviceType::RilNone ||
                                 device.type == DeviceType::RilCommand;
            if (ril && !rilKind)
            {
                return fail(v.line, name + " is the radio driver: it takes sim-reset, none or cmd:COMMAND, not " +
                                        quoted(kind));
            }
            if (!ril && rilKind)
            {
                return fail(v.line, name + " is a serial port: it takes sim, pty, tty:PATH or cable:NAME:a|b, not " +
                                        quoted(kind));
            }
            if (device.type == DeviceType::Cable)
            {
                auto [at, inserted] = cableEnds.emplace(device.arg, v.name);
                if (!inserted)
                {
                    return fail(v.line, "cable end " + device.arg + " is already " + utf16_to_utf8(at->second));
                }
            }
            if (device.type == DeviceType::Simulator)
            {
                // The simulator is one module with one UART.
                if (!simulatorName.empty())
                {
                    return fail(v.line, "only one device can be the simulator; " + utf16_to_utf8(simulatorName) +
                                            " already is");
                }
                simulatorName = v.name;
            }
            reg_->devices.push_back(std::move(device));
        }
        return true;
    }

    static bool classify(const std::string& kind, DeviceSpec* device)
    {
        if (kind == "sim")
        {
            device->type = DeviceType::Simulator;
        }
        else if (kind == "pty")
        {
            device->type = DeviceType::PtyPair;
        }
        else if (kind.rfind("tty:", 0) == 0 && kind.size() > 4)
        {
            device->type = DeviceType::TtyPath;
            device->arg = kind.substr(4);
        }
        else if (kind.rfind("cable:", 0) == 0)
        {
            const std::string rest = kind.substr(6);
            const size_t colon = rest.rfind(':');
            if (colon == std::string::npos || colon == 0 || rest.size() != colon + 2 ||
                (rest[colon + 1] != 'a' && rest[colon + 1] != 'b'))
            {
                return false;
            }
            device->type = DeviceType::Cable;
            device->arg = rest;
        }
        else if (kind == "sim-reset")
        {
            device->type = DeviceType::RilSimReset;
        }
        else if (kind == "none")
        {
            device->type = DeviceType::RilNone;
        }
        else if (kind.rfind("cmd:", 0) == 0 && kind.size() > 4)
        {
            device->type = DeviceType::RilCommand;
            device->arg = kind.substr(4);
        }
        else
        {
            return false;
        }
        return true;
    }

    // Platform "Restart": what the device restart does.
    bool check_platform()
    {
        auto it = reg_->keys.find(kPlatformKey);
        if (it == reg_->keys.end())
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
            if (v.type != REG_SZ || v.data.size() != sizeof(kExit) ||
                std::memcmp(v.data.data(), kExit, sizeof(kExit)) != 0)
            {
                return fail(v.line, "unknown restart action (the only one is \"exit\")");
            }
        }
        return true;
    }

    const std::string& origin_;
    RegistryData* reg_;
    std::vector<std::string_view> lines_;
    size_t idx_ = 0;
    std::u16string current_; // folded path of the current section; empty before the first
    int errLine_ = 0;
    std::string errReason_;
};

// A profile file may be UTF-16 (regedit's version 5 export) or UTF-8, with or
// without a byte order mark; the parser works on UTF-8.
bool normalize_text(const std::string& text, std::string* out, std::string* reason)
{
    const auto* b = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    if (n >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF)))
    {
        if (n % 2 != 0)
        {
            *reason = "UTF-16 text with an odd number of bytes";
            return false;
        }
        const bool little = b[0] == 0xFF;
        std::u16string wide;
        wide.reserve(n / 2 - 1);
        for (size_t i = 2; i < n; i += 2)
        {
            wide.push_back(little ? static_cast<char16_t>(b[i] | (b[i + 1] << 8))
                                  : static_cast<char16_t>((b[i] << 8) | b[i + 1]));
        }
        *out = utf16_to_utf8(wide);
        return true;
    }
    if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
    {
        *out = text.substr(3);
        return true;
    }
    *out = text;
    return true;
}

void install(const RegistryData* reg)
{
    kept_profiles().push_back(reg);
    g_current.store(reg, std::memory_order_release);
}

bool load_locked(const std::string& text, const std::string& label, const std::string& origin, std::string* error)
{
    std::string utf8;
    std::string reason;
    if (!normalize_text(text, &utf8, &reason))
    {
        if (error != nullptr)
        {
            *error = label + ":1: " + reason;
        }
        return false;
    }
    auto* reg = new RegistryData;
    reg->origin = origin;
    Parser parser(utf8, label, reg);
    if (!parser.run(error))
    {
        delete reg;
        return false;
    }
    install(reg);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Loading
// ---------------------------------------------------------------------------
bool profile_load_text(const std::string& text, const std::string& origin, std::string* error)
{
    std::lock_guard<std::mutex> lock(load_mutex());
    return load_locked(text, origin, origin, error);
}

bool profile_load_file(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        if (error != nullptr)
        {
            *error = path + ":0: cannot open: " + std::strerror(errno);
        }
        return false;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        ::close(fd);
        if (error != nullptr)
        {
            *error = path + ":0: not a regular file";
        }
        return false;
    }
    std::string text;
    char chunk[4096];
    for (;;)
    {
        const ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR)
        {
            continue;
        }
        if (n < 0)
        {
            const int err = errno;
            ::close(fd);
            if (error != nullptr)
            {
                *error = path + ":0: cannot read: " + std::strerror(err);
            }
            return false;
        }
        if (n == 0)
        {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > kMaxProfileBytes)
        {
            ::close(fd);
            if (error != nullptr)
            {
                *error = path + ":0: too large for a device profile (over 1 MiB)";
            }
            return false;
        }
    }
    ::close(fd);

    char resolved[PATH_MAX];
    const std::string origin = ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
    std::lock_guard<std::mutex> lock(load_mutex());
    return load_locked(text, path, origin, error);
}

const std::string& profile_default_text()
{
    static const std::string* text = new std::string(kDefaultProfile);
    return *text;
}

void profile_load_default()
{
    std::lock_guard<std::mutex> lock(load_mutex());
    std::string error;
    if (!load_locked(profile_default_text(), kBuiltInOrigin, kBuiltInOrigin, &error))
    {
        // The built-in text is part of the program; a test keeps it valid.
        std::fprintf(stderr, "built-in device profile is broken: %s\n", error.c_str());
        std::abort();
    }
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
            std::string error;
            if (!load_locked(profile_default_text(), kBuiltInOrigin, kBuiltInOrigin, &error))
            {
                std::fprintf(stderr, "built-in device profile is broken: %s\n", error.c_str());
                std::abort();
            }
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

bool registry_get_dword(const std::u16string& key, const std::u16string& value, DWORD* out)
{
    std::u16string path;
    if (!query_path(key, &path))
    {
        return false;
    }
    const RegValue* v = registry_find_value(registry_current(), path, value);
    if (v == nullptr || v->type != REG_DWORD || v->data.size() != 4)
    {
        return false;
    }
    if (out != nullptr)
    {
        *out = static_cast<DWORD>(v->data[0]) | (static_cast<DWORD>(v->data[1]) << 8) |
               (static_cast<DWORD>(v->data[2]) << 16) | (static_cast<DWORD>(v->data[3]) << 24);
    }
    return true;
}

bool registry_get_string(const std::u16string& key, const std::u16string& value, std::u16string* out)
{
    std::u16string path;
    if (!query_path(key, &path))
    {
        return false;
    }
    const RegValue* v = registry_find_value(registry_current(), path, value);
    if (v == nullptr || (v->type != REG_SZ && v->type != REG_EXPAND_SZ))
    {
        return false;
    }
    if (out != nullptr)
    {
        std::u16string text(v->data.size() / sizeof(char16_t), u'\0');
        std::memcpy(text.data(), v->data.data(), text.size() * sizeof(char16_t));
        const size_t nul = text.find(u'\0');
        if (nul != std::u16string::npos)
        {
            text.resize(nul);
        }
        *out = std::move(text);
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
        const DWORD d = static_cast<DWORD>(v.data[0]) | (static_cast<DWORD>(v.data[1]) << 8) |
                        (static_cast<DWORD>(v.data[2]) << 16) | (static_cast<DWORD>(v.data[3]) << 24);
        std::snprintf(buf, sizeof(buf), "dword:%08x", d);
        return line + buf;
    }
    if (v.type == REG_SZ && v.data.size() % 2 == 0 && v.data.size() >= 2)
    {
        std::u16string text(v.data.size() / 2, u'\0');
        std::memcpy(text.data(), v.data.data(), v.data.size());
        if (text.find(u'\0') == text.size() - 1)
        {
            text.pop_back();
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
