// The device profile: what the simulated handheld is.
//
// A profile is a registry file in the usual ".reg" text format. It fills the
// platform's registry (the keys the tool reads, such as
// HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial "Index") and carries the
// platform's own keys:
//   HKEY_LOCAL_MACHINE\Platform\Devices   one string per device name:
//       "sim"             the built-in module simulator        (serial ports)
//       "tty:PATH"        a tty device: USB-serial adapter, pty slave
//       "pty"             a fresh pseudo-terminal pair, far end announced
//       "cable:NAME:a|b"  one end of an in-process virtual cable
//       "sim-reset"       reset the simulated module            (RILn: only)
//       "none"            accept the controls and do nothing    (RILn: only)
//       "cmd:COMMAND"     run a shell command for each control   (RILn: only)
//       "lines:PORT:dtr|rts:low|high:MS"  reset: pulse a modem line of the
//                         port behind PORT for MS ms, then back  (RILn: only)
//   HKEY_LOCAL_MACHINE\Platform           "Restart"="exit"
//   HKEY_LOCAL_MACHINE\Platform\Simulator settings read by the simulator wiring
//
// Until a profile is loaded, the built-in default profile stands. Loading
// replaces the whole registry; a profile that fails to parse or validate, or
// that goes beyond the limits of reg_parse.h (depth, name length, values per
// key, keys, data size), is refused with "ORIGIN:LINE: reason" and the
// previous one stays. Pointers and
// references handed out here stay valid for the life of the program (a
// replaced profile is kept, not freed), so readers on other threads never see
// freed memory.
//
// The ".reg" text itself is parsed by reg_parse.h (a separate unit: text in,
// a tree or "ORIGIN:LINE: reason" out); this module gives the tree its
// meaning.
//
// Platform-internal: the process entry, the device layer, the registry calls
// and the simulator wiring include it.
#pragma once

#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace plat
{

enum class DeviceType
{
    TtyPath,     // arg: the tty path
    PtyPair,     // a fresh pseudo-terminal pair
    Cable,       // arg: "NAME:a" or "NAME:b"
    Simulator,   // the built-in module simulator
    RilSimReset, // radio driver: resets the simulated module
    RilNone,     // radio driver: accepts every control, does nothing
    RilCommand,  // arg: the shell command run on a module reset
    RilLines,    // arg: "PORT:LINE:LEVEL:MS", the modem-line pulse of a reset (modem_reset.h)
};

struct DeviceSpec
{
    std::u16string name; // as spelled in the profile, e.g. u"COM1:"
    DeviceType type;
    std::string arg; // tty path, cable "NAME:a", or command; empty otherwise
};

// Loads a profile from text; origin names it in error messages ("origin:line:
// reason") and becomes profile_origin(). On error the current profile stays.
// warnings (optional) gets what the profile says that the platform will not
// act on, each "origin:line: text" (profile_check.h): a name it never reads, a
// name given twice, a profile that defines nothing. They do not refuse it.
bool profile_load_text(const std::string& text, const std::string& origin, std::string* error,
                       std::vector<std::string>* warnings = nullptr);
// Loads a profile file (UTF-8, or UTF-16 with a byte order mark). Its origin
// is the file's canonical path, so two spellings of one file are one device.
bool profile_load_file(const std::string& path, std::string* error, std::vector<std::string>* warnings = nullptr);
// Loads the built-in default profile.
void profile_load_default();
// The text of the built-in profile (the same as profiles/default.reg).
const std::string& profile_default_text();

// Devices. Names compare case-insensitively ("com1:" finds "COM1:").
const DeviceSpec* device_find(LPCWSTR name);
std::vector<DeviceSpec> device_list(); // in profile order
const std::string& profile_origin();   // "built-in" or the profile's path

// Registry tree queries. key is a full path, such as
// u"HKEY_LOCAL_MACHINE\\Platform\\Simulator"; a path that does not start with
// a root key name is taken under HKEY_LOCAL_MACHINE. Names compare
// case-insensitively.
bool registry_get_dword(const std::u16string& key, const std::u16string& value, DWORD* out);
bool registry_get_string(const std::u16string& key, const std::u16string& value, std::u16string* out);

// A canonical text form of the whole registry tree (sorted keys, typed values,
// data in hex), for tests and for showing what a profile amounts to.
std::string registry_dump();

// ---------------------------------------------------------------------------
// For the registry calls (registry.cpp)
// ---------------------------------------------------------------------------
struct RegValue
{
    std::u16string name; // as spelled; empty for the default value
    DWORD type;          // REG_SZ, REG_DWORD, REG_BINARY or the N of hex(N)
    std::vector<BYTE> data;
    int line;      // profile line it came from (error messages)
    int firstLine; // the line that first gave this name in its key: an earlier value was replaced when it differs
};

struct RegistryData; // one loaded profile's tree; lives as long as the program

const RegistryData* registry_current();
// Canonical folded path of subKey under base (a canonical path, or empty for
// none, in which case subKey starts with a root name). False when subKey is
// malformed (an empty component).
bool registry_join(std::u16string_view base, std::u16string_view subKey, std::u16string* out);
// The canonical folded name of a predefined root (HKEY_LOCAL_MACHINE...), or
// empty when root is not one.
std::u16string registry_root_path(HKEY root);
bool registry_key_exists(const RegistryData* reg, const std::u16string& path);
const RegValue* registry_find_value(const RegistryData* reg, const std::u16string& path, std::u16string_view name);

} // namespace plat
