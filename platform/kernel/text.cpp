// UTF-16 <-> UTF-8 conversion and WCHAR string helpers for the platform.
#include "platform/kernel/text.h"

#include <cstdio>

namespace plat
{

static void append_code_point(std::string& out, char32_t cp)
{
    if (cp < 0x80)
    {
        out.push_back(static_cast<char>(cp));
    }
    else if (cp < 0x800)
    {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else if (cp < 0x10000)
    {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
    else
    {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

void utf16_append_utf8(std::string& out, std::u16string_view text)
{
    const size_t n = text.size();
    for (size_t i = 0; i < n; i++)
    {
        const char16_t c = text[i];
        if (is_high_surrogate(c) && i + 1 < n && is_low_surrogate(text[i + 1]))
        {
            const char32_t cp = 0x10000 + ((static_cast<char32_t>(c - 0xD800) << 10) | (text[i + 1] - 0xDC00));
            append_code_point(out, cp);
            i++;
        }
        else if (is_high_surrogate(c) || is_low_surrogate(c))
        {
            append_code_point(out, kReplacementChar);
        }
        else
        {
            append_code_point(out, c);
        }
    }
}

std::string utf16_to_utf8(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    utf16_append_utf8(out, text);
    return out;
}

std::string utf16_to_utf8(LPCWSTR text)
{
    if (text == nullptr)
    {
        return std::string();
    }
    return utf16_to_utf8(std::u16string_view(text, wstr_len(text)));
}

static void append_utf16(std::u16string& out, char32_t cp)
{
    if (cp < 0x10000)
    {
        out.push_back(static_cast<char16_t>(cp));
    }
    else
    {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Decoding follows the well-formed byte sequence table: the lead byte fixes
// the length and the range allowed for the second byte, which rules out
// overlong forms, surrogates and values above U+10FFFF without decoding them.
std::u16string utf8_to_utf16(std::string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n)
    {
        const unsigned char b0 = static_cast<unsigned char>(text[i]);
        if (b0 < 0x80)
        {
            out.push_back(b0);
            i++;
            continue;
        }
        int len = 0;
        unsigned char lo = 0x80, hi = 0xBF;
        char32_t cp = 0;
        if (b0 >= 0xC2 && b0 <= 0xDF)
        {
            len = 2;
            cp = b0 & 0x1F;
        }
        else if (b0 >= 0xE0 && b0 <= 0xEF)
        {
            len = 3;
            cp = b0 & 0x0F;
            if (b0 == 0xE0)
            {
                lo = 0xA0;
            }
            else if (b0 == 0xED)
            {
                hi = 0x9F;
            }
        }
        else if (b0 >= 0xF0 && b0 <= 0xF4)
        {
            len = 4;
            cp = b0 & 0x07;
            if (b0 == 0xF0)
            {
                lo = 0x90;
            }
            else if (b0 == 0xF4)
            {
                hi = 0x8F;
            }
        }
        else
        {
            // A stray continuation byte or a lead byte that never starts a
            // well-formed sequence.
            out.push_back(kReplacementChar);
            i++;
            continue;
        }
        size_t j = i + 1;
        bool ok = true;
        for (int k = 1; k < len; k++, j++)
        {
            if (j >= n)
            {
                ok = false;
                break;
            }
            const unsigned char b = static_cast<unsigned char>(text[j]);
            const unsigned char bl = (k == 1) ? lo : 0x80;
            const unsigned char bh = (k == 1) ? hi : 0xBF;
            if (b < bl || b > bh)
            {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok)
        {
            // The maximal subpart (lead byte plus the valid continuation
            // bytes seen so far) becomes one replacement character.
            out.push_back(kReplacementChar);
            i = j;
            continue;
        }
        append_utf16(out, cp);
        i = j;
    }
    return out;
}

size_t wstr_len(LPCWSTR text)
{
    if (text == nullptr)
    {
        return 0;
    }
    size_t n = 0;
    while (text[n] != 0)
    {
        n++;
    }
    return n;
}

size_t wstr_copy(LPWSTR dst, size_t capacity, LPCWSTR src)
{
    if (dst == nullptr || capacity == 0)
    {
        return 0;
    }
    size_t n = 0;
    if (src != nullptr)
    {
        while (n + 1 < capacity && src[n] != 0)
        {
            dst[n] = src[n];
            n++;
        }
        // Cut before a pair whose low half did not fit.
        if (n > 0 && is_high_surrogate(dst[n - 1]) && src[n] != 0 && is_low_surrogate(src[n]))
        {
            n--;
        }
    }
    dst[n] = 0;
    return n;
}

int wstr_icmp(LPCWSTR a, LPCWSTR b)
{
    static const WCHAR kEmpty[] = u"";
    if (a == nullptr)
    {
        a = kEmpty;
    }
    if (b == nullptr)
    {
        b = kEmpty;
    }
    for (size_t i = 0;; i++)
    {
        const char16_t ca = ascii_fold(a[i]);
        const char16_t cb = ascii_fold(b[i]);
        if (ca != cb)
        {
            return ca < cb ? -1 : 1;
        }
        if (ca == 0)
        {
            return 0;
        }
    }
}

bool wstr_iequal(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
    {
        return false;
    }
    for (size_t i = 0; i < a.size(); i++)
    {
        if (ascii_fold(a[i]) != ascii_fold(b[i]))
        {
            return false;
        }
    }
    return true;
}

std::u16string wstr_fold(std::u16string_view text)
{
    std::u16string out(text);
    for (char16_t& c : out)
    {
        c = ascii_fold(c);
    }
    return out;
}

namespace
{

// Bytes in the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t utf8_sequence(std::string_view text, size_t i)
{
    const unsigned char lead = (unsigned char)text[i];
    // lead        length  second byte from  to
    const struct
    {
        unsigned char first, last;
        size_t length;
        unsigned char lo, hi;
    } kLeads[] = {
        {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
        {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
        {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
    };
    for (const auto& l : kLeads)
    {
        if (lead < l.first || lead > l.last)
            continue;
        if (i + l.length > text.size())
            return 0;
        const unsigned char second = (unsigned char)text[i + 1];
        if (second < l.lo || second > l.hi)
            return 0;
        for (size_t k = 2; k < l.length; k++)
        {
            const unsigned char c = (unsigned char)text[i + k];
            if (c < 0x80 || c > 0xBF)
                return 0;
        }
        return l.length;
    }
    return 0;
}

} // namespace

std::string printable_text(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    char escape[8];
    for (size_t i = 0; i < utf8.size();)
    {
        const unsigned char c = (unsigned char)utf8[i];
        if (c < 0x80)
        {
            if ((c < 0x20 && c != '\t') || c == 0x7F)
            {
                snprintf(escape, sizeof(escape), "\\x%02x", c);
                out += escape;
            }
            else
                out += (char)c;
            i++;
            continue;
        }
        const size_t n = utf8_sequence(utf8, i);
        if (n == 0)
        {
            snprintf(escape, sizeof(escape), "\\x%02x", c);
            out += escape;
            i++;
        }
        else if (n == 2 && c == 0xC2 && (unsigned char)utf8[i + 1] <= 0x9F)
        {
            snprintf(escape, sizeof(escape), "\\u%04x", (unsigned char)utf8[i + 1]);
            out += escape;
            i += 2;
        }
        else
        {
            out.append(utf8.substr(i, n));
            i += n;
        }
    }
    return out;
}

} // namespace plat
