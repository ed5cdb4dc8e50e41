// The ".reg" parser of the device profiles: a profile's text in, a tree of
// keys and typed values out, or the first error as "ORIGIN:LINE: reason".
//
// The parser knows the file format only: the header line, [sections] (every
// key above a section is created too), "name"= and @= values of the types
// "string", dword:, hex: and hex(N): (with '\' continuation lines), ';'
// comments, and the text encodings (UTF-8, or UTF-16 with a byte order mark).
// What the keys mean (the device map, the platform's settings) is the
// loader's business (profile.cpp). The parser keeps no state between calls.
// It holds a text to the limits below (depth, name lengths, values per key,
// keys, data size) and refuses a NUL character inside a string or key name,
// which would otherwise cut the name or the string short unseen.
//
// Also here (reg_tree.cpp): the key path grammar that the registry calls
// share (root key names, '\'-separated components) and the tree's look-ups.
//
// Platform-internal: the profile loader and tests include it.
#pragma once

#include "platform/profile/profile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace plat
{

// What a profile may hold. A profile is a small description of one device; a
// text beyond these is broken or hostile and is refused at the line that
// crosses the limit. They also bound the work and memory of a load: 1 MiB of
// any text loads or is refused in milliseconds.
constexpr size_t kRegMaxDepth = 32;          // keys below the root key in one path
constexpr size_t kRegMaxNameLength = 255;    // UTF-16 units in a key or value name
constexpr size_t kRegMaxValuesPerKey = 1024; // distinct value names in one key
constexpr size_t kRegMaxKeys = 4096;         // keys in the tree, the roots and keys above sections included
constexpr size_t kRegMaxDataBytes = 65536;   // one value's data (a string counts as UTF-16 with its NUL)

constexpr uint32_t kRegNoKey = 0xFFFFFFFFu;

struct RegKeyNode
{
    std::u16string name;          // this key's own name as first spelled; a root key's canonical name
    uint32_t parent;              // index in RegTree::keys; kRegNoKey for a root key
    int line;                     // the first section line that made it (naming it or a key below it)
    std::vector<RegValue> values; // in profile order; a repeated name replaces in place
};

// A name within one key: a child key's or a value's, folded.
struct RegName
{
    uint32_t key; // the parent key (kRegNoKey for the root keys) or the key holding the value
    std::u16string folded;
    bool operator==(const RegName& other) const = default;
};

struct RegNameHash
{
    size_t operator()(const RegName& n) const;
};

// Keys are found one path component at a time and values by name, both
// through hash maps: a look-up costs the length of what is looked up, never
// the number of names in the profile.
struct RegTree
{
    std::vector<RegKeyNode> keys;                                // in the order they were made
    std::unordered_map<RegName, uint32_t, RegNameHash> children; // (parent, folded name) -> index in keys
    std::unordered_map<RegName, uint32_t, RegNameHash> values;   // (key, folded name) -> index in its values
};

// Parses text into *tree (which it fills from empty). origin names the text
// in the error: false with *error (optional) set to "origin:line: reason".
bool reg_parse(std::string_view text, const std::string& origin, RegTree* tree, std::string* error);

// The key at a canonical folded path (see registry_join), or kRegNoKey.
uint32_t reg_find_key(const RegTree& tree, std::u16string_view foldedPath);
// A value of key by name in any case, or null.
const RegValue* reg_find_value(const RegTree& tree, uint32_t key, std::u16string_view name);
// A key's full path, as first spelled (HKEY_LOCAL_MACHINE\Platform) or folded.
std::u16string reg_key_path(const RegTree& tree, uint32_t key, bool folded);

// The one form of a profile error: "origin:line: reason".
std::string reg_error(const std::string& origin, int line, const std::string& reason);
// Text for a message, in quotes, shortened when long: a message names what is
// wrong, it does not repeat a megabyte of it.
std::string reg_quoted(std::string_view text);

// The canonical name of a root key (HKEY_LOCAL_MACHINE...) that name spells
// in any case, or null when it is none.
const char16_t* reg_root_name(std::u16string_view name);

// Splits a key path on '\'; an empty component (leading or doubled separator)
// makes it malformed (false). One trailing separator is tolerated.
bool reg_split_path(std::u16string_view path, std::vector<std::u16string_view>* parts);

} // namespace plat
