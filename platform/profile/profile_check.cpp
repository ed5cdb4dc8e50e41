// Warnings about a loaded profile: names the platform never reads, names given
// twice, a profile that defines nothing. The table below is what the platform
// and the system code read from the registry; a key or value outside it is
// loaded (the registry calls can still read it) but never acted on.
#include "platform/profile/profile_check.h"

#include "platform/kernel/text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace plat
{

namespace
{

struct KnownKey
{
    const char16_t* path;   // under HKEY_LOCAL_MACHINE, as the documentation spells it
    const char16_t* values; // the value names read there, '|'-separated; null: any name (the device map)
};

// clang-format off
// key                            values read there                      read by
const KnownKey kKnownKeys[] = {
    {u"Drivers\\BuiltIn\\Serial",  u"Index"},                             // the bridge: the module's UART
    {u"Drivers\\BuiltIn\\Serial2", u"Index"},                             // the bridge and --peer: the Bluetooth UART
    {u"Platform",                  u"Restart"},                           // the profile loader: the device restart
    {u"Platform\\Devices",         nullptr},                              // the device layer: one value per device
    {u"Platform\\Firmware",        u"Set|RequireSignature"},              // the process entry: the firmware set
    {u"Platform\\Simulator",       u"FirmwareAtStart|AtFirmware|Baud|Bits|BitsPerByte|AckDelay|EraseDelay|"
                                   u"FlashDelay|BootWindow|Faults"},       // the simulator wiring (serial_devices.cpp)
};
// clang-format on

const char16_t kKnownRoot[] = u"HKEY_LOCAL_MACHINE";

// What the table says of a key in the profile.
enum class Known : uint8_t
{
    No,    // neither read nor above a key that is
    Above, // on the way to a key that is read; it holds no values of its own
    Read,  // a key of the table
};

enum class Note : uint8_t
{
    UnknownKey,
    UnknownValue,
    RepeatedValue,
};

struct Pending
{
    int line;
    Note note;
    uint32_t key;
    uint32_t value; // index in the key's values (value notes)
};

std::vector<std::u16string_view> split(std::u16string_view text, char16_t sep)
{
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    for (;;)
    {
        const size_t at = text.find(sep, start);
        parts.push_back(text.substr(start, at == std::u16string_view::npos ? at : at - start));
        if (at == std::u16string_view::npos)
        {
            return parts;
        }
        start = at + 1;
    }
}

// The edit distance of two names in any case, adjacent swaps counting one;
// limit + 1 as soon as it is sure to exceed limit.
size_t distance(std::u16string_view a, std::u16string_view b, size_t limit)
{
    if ((a.size() > b.size() ? a.size() - b.size() : b.size() - a.size()) > limit)
    {
        return limit + 1;
    }
    const size_t w = b.size() + 1;
    std::vector<size_t> d((a.size() + 1) * w);
    for (size_t i = 0; i <= a.size(); i++)
    {
        d[i * w] = i;
    }
    for (size_t j = 0; j <= b.size(); j++)
    {
        d[j] = j;
    }
    for (size_t i = 1; i <= a.size(); i++)
    {
        for (size_t j = 1; j <= b.size(); j++)
        {
            const size_t cost = ascii_fold(a[i - 1]) == ascii_fold(b[j - 1]) ? 0 : 1;
            size_t best = std::min({d[(i - 1) * w + j] + 1, d[i * w + j - 1] + 1, d[(i - 1) * w + j - 1] + cost});
            if (i > 1 && j > 1 && ascii_fold(a[i - 1]) == ascii_fold(b[j - 2]) &&
                ascii_fold(a[i - 2]) == ascii_fold(b[j - 1]))
            {
                best = std::min(best, d[(i - 2) * w + j - 2] + 1);
            }
            d[i * w + j] = best;
        }
    }
    return d[a.size() * w + b.size()];
}

// The candidate closest to name, when it is close enough to be a slip of the
// keyboard (one edit in a short name, two in a longer one); empty otherwise.
std::u16string_view closest(std::u16string_view name, const std::vector<std::u16string_view>& candidates)
{
    const size_t limit = name.size() >= 6 ? 2 : 1;
    std::u16string_view best;
    size_t bestDistance = limit + 1;
    for (const std::u16string_view c : candidates)
    {
        const size_t d = distance(name, c, limit);
        if (d < bestDistance)
        {
            best = c;
            bestDistance = d;
        }
    }
    return best;
}

class Checker
{
public:
    Checker(const RegTree& tree, const std::string& origin) : tree_(tree), origin_(origin) {}

    std::vector<std::string> run()
    {
        std::vector<std::string> out;
        if (tree_.keys.empty())
        {
            out.push_back(reg_error(origin_, 1,
                                    "the profile defines nothing (no key follows the header); it stands in place "
                                    "of the built-in profile, so the device has no ports, no radio driver and no "
                                    "settings"));
            return out;
        }
        mark_known();
        collect();
        std::stable_sort(pending_.begin(), pending_.end(),
                         [](const Pending& a, const Pending& b) { return a.line < b.line; });
        for (size_t i = 0; i < pending_.size() && i < kMaxProfileWarnings; i++)
        {
            out.push_back(reg_error(origin_, pending_[i].line, text(pending_[i])));
        }
        if (pending_.size() > kMaxProfileWarnings)
        {
            const size_t more = pending_.size() - kMaxProfileWarnings;
            out.push_back(reg_error(origin_, pending_[kMaxProfileWarnings].line,
                                    std::to_string(more) + " more warning" + (more == 1 ? "" : "s") +
                                        " from this line on, not shown"));
        }
        return out;
    }

private:
    // The path of a table row in the tree's terms: the root, then its keys.
    static std::vector<std::u16string_view> row_path(const KnownKey& row)
    {
        std::vector<std::u16string_view> path = split(row.path, u'\\');
        path.insert(path.begin(), kKnownRoot);
        return path;
    }

    void mark_known()
    {
        known_.assign(tree_.keys.size(), Known::No);
        row_.assign(tree_.keys.size(), nullptr);
        for (const KnownKey& row : kKnownKeys)
        {
            uint32_t key = kRegNoKey;
            for (const std::u16string_view part : row_path(row))
            {
                auto it = tree_.children.find(RegName{key, wstr_fold(part)});
                if (it == tree_.children.end())
                {
                    key = kRegNoKey;
                    break;
                }
                key = it->second;
                if (known_[key] == Known::No)
                {
                    known_[key] = Known::Above;
                }
            }
            if (key != kRegNoKey)
            {
                known_[key] = Known::Read;
                row_[key] = &row;
            }
        }
    }

    bool value_known(uint32_t key, const RegValue& v) const
    {
        if (known_[key] != Known::Read)
        {
            return false;
        }
        if (row_[key]->values == nullptr)
        {
            return true;
        }
        for (const std::u16string_view name : split(row_[key]->values, u'|'))
        {
            if (wstr_iequal(name, v.name))
            {
                return true;
            }
        }
        return false;
    }

    void collect()
    {
        for (uint32_t k = 0; k < tree_.keys.size(); k++)
        {
            const RegKeyNode& node = tree_.keys[k];
            // Only the topmost unknown key: what lies below it is unknown with it.
            if (known_[k] == Known::No && (node.parent == kRegNoKey || known_[node.parent] != Known::No))
            {
                pending_.push_back(Pending{node.line, Note::UnknownKey, k, 0});
            }
            for (uint32_t i = 0; i < node.values.size(); i++)
            {
                const RegValue& v = node.values[i];
                if (v.firstLine != v.line)
                {
                    pending_.push_back(Pending{v.line, Note::RepeatedValue, k, i});
                }
                if (known_[k] != Known::No && !value_known(k, v))
                {
                    pending_.push_back(Pending{v.line, Note::UnknownValue, k, i});
                }
            }
        }
    }

    std::string key_path(uint32_t key) const
    {
        return reg_quoted(utf16_to_utf8(reg_key_path(tree_, key, false)));
    }

    static std::string value_name(const RegValue& v)
    {
        return v.name.empty() ? std::string("@ (the default value)") : reg_quoted(utf16_to_utf8(v.name));
    }

    static std::string did_you_mean(std::u16string_view name, const std::vector<std::u16string_view>& candidates)
    {
        const std::u16string_view best = closest(name, candidates);
        return best.empty() ? std::string() : "; did you mean \"" + utf16_to_utf8(best) + "\"?";
    }

    // The names the table has right below key: the keys it could have meant.
    std::vector<std::u16string_view> child_names(uint32_t key) const
    {
        std::vector<std::u16string_view> names;
        if (key == kRegNoKey)
        {
            names.push_back(kKnownRoot);
            return names;
        }
        const std::u16string parent = reg_key_path(tree_, key, true);
        for (const KnownKey& row : kKnownKeys)
        {
            const std::vector<std::u16string_view> path = row_path(row);
            std::u16string prefix;
            for (size_t i = 0; i + 1 < path.size(); i++)
            {
                prefix += (i == 0 ? u"" : u"\\") + wstr_fold(path[i]);
                if (prefix == parent)
                {
                    names.push_back(path[i + 1]);
                }
            }
        }
        return names;
    }

    std::string text(const Pending& p) const
    {
        const RegKeyNode& node = tree_.keys[p.key];
        if (p.note == Note::UnknownKey)
        {
            return "unknown key " + key_path(p.key) + ": the platform reads nothing there" +
                   did_you_mean(node.name, child_names(node.parent));
        }
        const RegValue& v = node.values[p.value];
        if (p.note == Note::UnknownValue)
        {
            if (known_[p.key] == Known::Above)
            {
                return "unknown value " + value_name(v) + " in " + key_path(p.key) +
                       ": the platform reads no values there";
            }
            return "unknown value " + value_name(v) + " in " + key_path(p.key) + ": the platform does not read it" +
                   did_you_mean(v.name, split(row_[p.key]->values, u'|'));
        }
        const std::string first = " (first at line " + std::to_string(v.firstLine) + ")";
        if (known_[p.key] == Known::Read && row_[p.key]->values == nullptr)
        {
            return "device " + utf16_to_utf8(v.name) + " is named again" + first +
                   "; this later one wins: " + reg_quoted(utf16_to_utf8(sz_value(v)));
        }
        return "value " + value_name(v) + " of " + key_path(p.key) + " is given again" + first +
               "; this later one wins";
    }

    // A device's text (its values are checked strings by now).
    static std::u16string sz_value(const RegValue& v)
    {
        std::u16string s(v.data.size() / sizeof(char16_t), u'\0');
        std::memcpy(s.data(), v.data.data(), s.size() * sizeof(char16_t));
        while (!s.empty() && s.back() == u'\0')
        {
            s.pop_back();
        }
        return s;
    }

    const RegTree& tree_;
    const std::string& origin_;
    std::vector<Known> known_;         // by key
    std::vector<const KnownKey*> row_; // by key: its table row when Read
    std::vector<Pending> pending_;
};

} // namespace

std::vector<std::string> profile_check(const RegTree& tree, const std::string& origin)
{
    return Checker(tree, origin).run();
}

} // namespace plat
