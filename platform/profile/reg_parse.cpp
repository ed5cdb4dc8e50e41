// The ".reg" parser: a device profile's text (UTF-8, or UTF-16 with a byte
// order mark) into a tree of keys and typed values, held to the limits of
// reg_parse.h. What the keys mean is the loader's (profile.cpp); the paths
// and the tree's look-ups are in reg_tree.cpp.
#include "platform/profile/reg_parse.h"

#include "platform/kernel/text.h"

#include <algorithm>
#include <cstring>

namespace plat
{

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

class Parser
{
public:
    Parser(std::string_view text, RegTree* tree) : tree_(tree), text_(text)
    {
        // A final line end closes the last line without opening another.
        if (!text_.empty() && text_.back() == '\n')
        {
            text_.remove_suffix(1);
        }
    }

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

    // The next line: '\n' ends a line and a '\r' before it is dropped. The
    // lines are taken one at a time, never split up front: a text of a million
    // empty lines costs no more than its own bytes.
    bool next_line(std::string_view* line)
    {
        if (done_)
        {
            return false;
        }
        size_t nl = text_.find('\n', next_);
        if (nl == std::string_view::npos)
        {
            nl = text_.size();
            done_ = true;
        }
        std::string_view l = text_.substr(next_, nl - next_);
        if (!l.empty() && l.back() == '\r')
        {
            l.remove_suffix(1);
        }
        next_ = nl + 1;
        lineNo_++;
        *line = l;
        return true;
    }

    int line_no() const
    {
        return lineNo_;
    }

    bool parse_lines()
    {
        std::string_view first;
        next_line(&first);
        while (!first.empty() && is_blank(first.back()))
        {
            first.remove_suffix(1);
        }
        if (first != "REGEDIT4" && first != "Windows Registry Editor Version 5.00")
        {
            return fail(1, "missing header: the first line must be \"REGEDIT4\" or \"Windows Registry Editor "
                           "Version 5.00\"");
        }
        std::string_view line;
        while (next_line(&line))
        {
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
                ok = fail(line_no(), "unexpected text " + reg_quoted(line.substr(pos)) +
                                         " (expected a [section], a \"value\"=..., or a ; comment)");
            }
            if (!ok)
            {
                return false;
            }
        }
        return true;
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
        if (path.find('\0') != std::string_view::npos)
        {
            return fail(line_no(), "a NUL character in a key path (it would cut the key's name short)");
        }
        // Counted before the split, so that a path of a million levels is
        // refused without being taken apart (one trailing '\' is allowed).
        if (static_cast<size_t>(std::count(path.begin(), path.end(), '\\')) > kRegMaxDepth + 1)
        {
            return fail(line_no(), too_deep());
        }
        const std::u16string wide = utf8_to_utf16(path);
        std::vector<std::u16string_view> parts;
        if (!reg_split_path(wide, &parts) || parts.empty() || wide.back() == u'\\')
        {
            return fail(line_no(), "bad section header: empty key name in " + reg_quoted(path));
        }
        const char16_t* root = reg_root_name(parts[0]);
        if (root == nullptr)
        {
            return fail(line_no(), "unknown root key " + reg_quoted(utf16_to_utf8(parts[0])));
        }
        if (parts.size() - 1 > kRegMaxDepth)
        {
            return fail(line_no(), too_deep());
        }
        for (const std::u16string_view part : parts)
        {
            if (part.size() > kRegMaxNameLength)
            {
                return fail(line_no(), "key name longer than " + std::to_string(kRegMaxNameLength) +
                                           " characters: " + reg_quoted(utf16_to_utf8(part)));
            }
        }
        // Make the key and every key above it, as the registry would.
        uint32_t key = touch_key(kRegNoKey, root);
        for (size_t i = 1; i < parts.size() && key != kRegNoKey; i++)
        {
            key = touch_key(key, parts[i]);
        }
        current_ = key;
        return key != kRegNoKey;
    }

    static std::string too_deep()
    {
        return "key path too deep: more than " + std::to_string(kRegMaxDepth) + " keys below the root key";
    }

    // The child of parent named name, made when there is none yet; kRegNoKey
    // (with the error set) when the tree is full.
    uint32_t touch_key(uint32_t parent, std::u16string_view name)
    {
        RegName folded{parent, wstr_fold(name)};
        auto it = tree_->children.find(folded);
        if (it != tree_->children.end())
        {
            return it->second;
        }
        if (tree_->keys.size() >= kRegMaxKeys)
        {
            fail(line_no(), "more than " + std::to_string(kRegMaxKeys) + " keys in the profile");
            return kRegNoKey;
        }
        const auto index = static_cast<uint32_t>(tree_->keys.size());
        tree_->keys.push_back(RegKeyNode{std::u16string(name), parent, line_no(), {}});
        tree_->children.emplace(std::move(folded), index);
        return index;
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
            if (c == '\0')
            {
                // Everything after it would be lost to whoever reads the string.
                return fail(line_no(), "a NUL character inside a string (it would cut the string short)");
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
        if (current_ == kRegNoKey)
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

        RegValue value{utf8_to_utf16(name), REG_NONE, {}, valueLine, valueLine};
        if (value.name.size() > kRegMaxNameLength)
        {
            return fail(valueLine, "value name longer than " + std::to_string(kRegMaxNameLength) +
                                       " characters: " + reg_quoted(name));
        }
        if (!parse_data(line, pos, &value))
        {
            return false;
        }
        return store_value(std::move(value));
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

    static std::string too_much_data()
    {
        return "value data over " + std::to_string(kRegMaxDataBytes) + " bytes";
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
        if ((wide.size() + 1) * sizeof(char16_t) > kRegMaxDataBytes)
        {
            return fail(value->line, too_much_data());
        }
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
                if (!next_line(&line))
                {
                    return fail(line_no(), "hex list continues past the end of the file");
                }
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
                return fail(line_no(), "bad hex byte " + reg_quoted(line.substr(from, end == std::string_view::npos
                                                                                          ? std::string_view::npos
                                                                                          : end - from)));
            }
            if (out->size() == kRegMaxDataBytes)
            {
                return fail(line_no(), too_much_data());
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

    // A repeated name replaces the value in place and keeps the line that
    // first gave the name, so the loader can say which one won.
    bool store_value(RegValue value)
    {
        RegKeyNode& node = tree_->keys[current_];
        RegName folded{current_, wstr_fold(value.name)};
        auto it = tree_->values.find(folded);
        if (it != tree_->values.end())
        {
            RegValue& old = node.values[it->second];
            value.firstLine = old.firstLine;
            old = std::move(value);
            return true;
        }
        if (node.values.size() >= kRegMaxValuesPerKey)
        {
            return fail(value.line, "more than " + std::to_string(kRegMaxValuesPerKey) + " values in the key " +
                                        reg_quoted(utf16_to_utf8(reg_key_path(*tree_, current_, false))));
        }
        tree_->values.emplace(std::move(folded), static_cast<uint32_t>(node.values.size()));
        node.values.push_back(std::move(value));
        return true;
    }

    RegTree* tree_;
    std::string_view text_;
    size_t next_ = 0;              // where the next line starts
    bool done_ = false;            // the last line has been taken
    int lineNo_ = 0;               // the current line's number, from 1
    uint32_t current_ = kRegNoKey; // the current section's key; none before the first
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
    *tree = RegTree();
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
