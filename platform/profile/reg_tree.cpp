// The key path grammar the registry calls share (root key names,
// '\'-separated components), the parsed tree's look-ups, and the one form of
// a profile message. The parser itself is reg_parse.cpp.
#include "platform/profile/reg_parse.h"

#include "platform/kernel/text.h"

#include <functional>

namespace plat
{

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

// ---------------------------------------------------------------------------
// Paths
// ---------------------------------------------------------------------------
const char16_t* reg_root_name(std::u16string_view name)
{
    for (const auto& r : g_rootTable)
    {
        if (wstr_iequal(name, r.name))
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

bool reg_split_path(std::u16string_view path, std::vector<std::u16string_view>* parts)
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
    if (!reg_split_path(subKey, &parts))
    {
        return false;
    }
    std::u16string path(base);
    size_t first = 0;
    if (path.empty())
    {
        if (parts.empty() || reg_root_name(parts[0]) == nullptr)
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

std::string reg_error(const std::string& origin, int line, const std::string& reason)
{
    return origin + ":" + std::to_string(line) + ": " + reason;
}

std::string reg_quoted(std::string_view text)
{
    static const size_t kShown = 60; // bytes of a long text that a message shows
    if (text.size() <= kShown)
    {
        return "\"" + std::string(text) + "\"";
    }
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
    {
        cut--; // never split a UTF-8 sequence
    }
    return "\"" + std::string(text.substr(0, cut)) + "...\" (" + std::to_string(text.size()) + " bytes)";
}

// ---------------------------------------------------------------------------
// The tree
// ---------------------------------------------------------------------------
size_t RegNameHash::operator()(const RegName& n) const
{
    return std::hash<std::u16string_view>{}(n.folded) ^ (static_cast<size_t>(n.key) * 0x9E3779B97F4A7C15ull);
}

uint32_t reg_find_key(const RegTree& tree, std::u16string_view foldedPath)
{
    uint32_t key = kRegNoKey;
    size_t start = 0;
    for (;;)
    {
        const size_t sep = foldedPath.find(u'\\', start);
        const std::u16string_view part = foldedPath.substr(start, sep == std::u16string_view::npos ? sep : sep - start);
        auto it = tree.children.find(RegName{key, std::u16string(part)});
        if (it == tree.children.end())
        {
            return kRegNoKey;
        }
        key = it->second;
        if (sep == std::u16string_view::npos)
        {
            return key;
        }
        start = sep + 1;
    }
}

const RegValue* reg_find_value(const RegTree& tree, uint32_t key, std::u16string_view name)
{
    if (key >= tree.keys.size())
    {
        return nullptr;
    }
    auto it = tree.values.find(RegName{key, wstr_fold(name)});
    return it == tree.values.end() ? nullptr : &tree.keys[key].values[it->second];
}

std::u16string reg_key_path(const RegTree& tree, uint32_t key, bool folded)
{
    std::vector<uint32_t> chain;
    for (uint32_t k = key; k < tree.keys.size(); k = tree.keys[k].parent)
    {
        chain.push_back(k);
    }
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    {
        if (!path.empty())
        {
            path.push_back(u'\\');
        }
        path += folded ? wstr_fold(tree.keys[*it].name) : tree.keys[*it].name;
    }
    return path;
}

} // namespace plat
