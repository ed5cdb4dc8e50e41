// The ".reg" parser: a device profile's text (UTF-8, or UTF-16 with a byte
// order mark) into a tree of keys and typed values, and the key path grammar
// the registry calls share. What the keys mean is the loader's (profile.cpp).
#include "platform/profile/reg_parse.h"

#include "platform/kernel/text.h"

#include <cstring>

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

// Splits text into lines: '\n' ends a line, a '\r' before it is dropped, and
// a final line end closes the last line without opening another.
std::vector<std::string_view> split_lines(std::string_view text)
{
    std::vector<std::string_view> lines;
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
        lines.push_back(line);
        start = nl + 1;
    }
    return lines;
}

class Parser
{
public:
    Parser(std::string_view text, RegTree* tree) : tree_(tree), lines_(split_lines(text)) {}

    // False with error_line() and error_reason() saying what is wrong.
    bool run()
    {
        return parse_lines();
    }
    int error_line() const
    {
        return errLine_;
    }
    const std::string& error_reason() const
    {
        return errReason_;
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
        if (!reg_split_path(wide, &parts) || parts.empty() || wide.back() == u'\\')
        {
            return fail(line_no(), "bad section header: empty key name in " + quoted(path));
        }
        const char16_t* root = reg_root_name(parts[0]);
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
        auto it = tree_->keys.find(folded);
        if (it == tree_->keys.end())
        {
            tree_->keys.emplace(folded, RegKeyNode{display, {}});
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
        if (!parse_data(line, pos, &value))
        {
            return false;
        }
        store_value(std::move(value));
        return true;
    }

    // What follows the '=': the value's type and data.
    bool parse_data(std::string_view line, size_t pos, RegValue* value)
    {
        if (pos < line.size() && line[pos] == '"')
        {
            return parse_string_data(line, pos, value);
        }
        if (starts_with_nocase(line, pos, "dword:"))
        {
            return parse_dword_data(line, pos + 6, value);
        }
        if (starts_with_nocase(line, pos, "hex"))
        {
            return parse_hex_data(line, pos + 3, value);
        }
        if (pos < line.size() && line[pos] == '-')
        {
            return fail(value->line, "value deletion (=-) has no meaning in a device profile");
        }
        return fail(value->line, "unknown value type (expected \"string\", dword:, hex: or hex(N):)");
    }

    // "text": REG_SZ, stored as UTF-16 with its terminating NUL.
    bool parse_string_data(std::string_view line, size_t pos, RegValue* value)
    {
        std::string text;
        if (!parse_quoted(line, &pos, &text))
        {
            return false;
        }
        if (!rest_is_empty(line, pos))
        {
            return fail(value->line, "unexpected text after the string");
        }
        const std::u16string wide = utf8_to_utf16(text);
        value->type = REG_SZ;
        value->data.resize((wide.size() + 1) * sizeof(char16_t));
        std::memcpy(value->data.data(), wide.c_str(), value->data.size());
        return true;
    }

    // dword:XXXXXXXX (pos after the colon): REG_DWORD, little-endian.
    bool parse_dword_data(std::string_view line, size_t pos, RegValue* value)
    {
        DWORD v = 0;
        if (!read_hex32(line, &pos, &v) || !rest_is_empty(line, pos))
        {
            return fail(value->line, "bad dword: expected dword: and 1 to 8 hex digits");
        }
        value->type = REG_DWORD;
        value->data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8), static_cast<BYTE>(v >> 16),
                       static_cast<BYTE>(v >> 24)};
        return true;
    }

    // hex: or hex(N): (pos after "hex"): REG_BINARY or type N, then the bytes.
    bool parse_hex_data(std::string_view line, size_t pos, RegValue* value)
    {
        DWORD type = REG_BINARY;
        if (pos < line.size() && line[pos] == '(')
        {
            pos++;
            if (!read_hex32(line, &pos, &type) || pos >= line.size() || line[pos] != ')')
            {
                return fail(value->line, "bad value type: expected hex(N): with N in hex");
            }
            pos++;
        }
        if (pos >= line.size() || line[pos] != ':')
        {
            return fail(value->line, "bad value type: expected hex: or hex(N):");
        }
        value->type = type;
        return parse_hex_list(line, pos + 1, &value->data);
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
        RegKeyNode& node = tree_->keys.at(current_);
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

    RegTree* tree_;
    std::vector<std::string_view> lines_;
    size_t idx_ = 0;
    std::u16string current_; // folded path of the current section; empty before the first
    int errLine_ = 0;
    std::string errReason_;
};

// A profile file may be UTF-16 (regedit's version 5 export) or UTF-8, with or
// without a byte order mark; the parser works on UTF-8.
bool normalize_text(std::string_view text, std::string* out, std::string* reason)
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
        *out = std::string(text.substr(3));
        return true;
    }
    *out = std::string(text);
    return true;
}

} // namespace

bool reg_parse(std::string_view text, const std::string& origin, RegTree* tree, std::string* error)
{
    tree->keys.clear();
    std::string utf8;
    std::string reason;
    if (!normalize_text(text, &utf8, &reason))
    {
        if (error != nullptr)
        {
            *error = reg_error(origin, 1, reason);
        }
        return false;
    }
    Parser parser(utf8, tree);
    if (!parser.run())
    {
        if (error != nullptr)
        {
            *error = reg_error(origin, parser.error_line(), parser.error_reason());
        }
        return false;
    }
    return true;
}

} // namespace plat
