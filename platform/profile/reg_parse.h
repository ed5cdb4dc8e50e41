// The ".reg" parser of the device profiles: a profile's text in, a tree of
// keys and typed values out, or the first error as "ORIGIN:LINE: reason".
//
// The parser knows the file format only: the header line, [sections] (every
// key above a section is created too), "name"= and @= values of the types
// "string", dword:, hex: and hex(N): (with '\' continuation lines), ';'
// comments, and the text encodings (UTF-8, or UTF-16 with a byte order mark).
// What the keys mean (the device map, the platform's settings) is the
// loader's business (profile.cpp). The parser keeps no state between calls.
//
// Also here: the key path grammar that the registry calls share (root key
// names, '\'-separated components).
//
// Platform-internal: profile.cpp and tests include it.
#pragma once

#include "platform/profile/profile.h"

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace plat
{

struct RegKeyNode
{
    std::u16string display;       // path as first spelled, root in canonical form
    std::vector<RegValue> values; // in profile order; a repeated name replaces in place
};

struct RegTree
{
    std::map<std::u16string, RegKeyNode> keys; // by folded path
};

// Parses text into *tree (which it fills from empty). origin names the text
// in the error: false with *error (optional) set to "origin:line: reason".
bool reg_parse(std::string_view text, const std::string& origin, RegTree* tree, std::string* error);

// The one form of a profile error: "origin:line: reason".
std::string reg_error(const std::string& origin, int line, const std::string& reason);

// The canonical name of a root key (HKEY_LOCAL_MACHINE...) that name spells
// in any case, or null when it is none.
const char16_t* reg_root_name(std::u16string_view name);

// Splits a key path on '\'; an empty component (leading or doubled separator)
// makes it malformed (false). One trailing separator is tolerated.
bool reg_split_path(std::u16string_view path, std::vector<std::u16string_view>* parts);

} // namespace plat
