// wnsprintfW / wvnsprintfW: the platform's bounded wsprintfW.
//
// Keeps the conversions of the handheld's wsprintfW that the tool uses
// (%d %i %u %x %X %s %c %%, flags '0' and '-', a width, the 'l' prefix, which
// is 32 bits there as here). Unlike the original, every call has a capacity:
// the result is always terminated and never longer than capacity - 1 units,
// and a conversion it does not know is copied to the output as written
// instead of consuming an argument.
#include "platform/win32.h"

#include "platform/kernel/text.h"

#include <cstdint>

namespace
{

// The output side of one call: stops taking units once only the terminator's
// place is left.
struct Out
{
    LPWSTR buf;
    size_t cap; // units available for text (capacity - 1)
    size_t n;   // units written so far
    bool full;

    bool put(WCHAR c)
    {
        if (n >= cap)
        {
            full = true;
            return false;
        }
        buf[n++] = c;
        return true;
    }
    bool repeat(WCHAR c, size_t count)
    {
        for (size_t i = 0; i < count; i++)
        {
            if (!put(c))
            {
                return false;
            }
        }
        return true;
    }
    // Copies text; a surrogate pair that does not fit whole is left out whole,
    // so a cut line never ends in half a character.
    bool text(const WCHAR* s, size_t len)
    {
        for (size_t i = 0; i < len; i++)
        {
            if (plat::is_high_surrogate(s[i]) && i + 1 < len && plat::is_low_surrogate(s[i + 1]) && n + 1 >= cap)
            {
                full = true;
                return false;
            }
            if (!put(s[i]))
            {
                return false;
            }
        }
        return true;
    }
};

struct Conversion
{
    bool leftAlign;
    bool zeroPad;
    size_t width;
};

// Widths beyond this are read but capped: the output is bounded anyway, and
// the cap keeps the padding loop and the parse free of overflow.
constexpr size_t kMaxWidth = 1u << 20;

bool emit_field(Out& out, const Conversion& conv, const WCHAR* body, size_t len, bool numeric, bool negative)
{
    const size_t total = len + (negative ? 1 : 0);
    const size_t pad = conv.width > total ? conv.width - total : 0;
    if (conv.leftAlign)
    {
        if (negative && !out.put(u'-'))
        {
            return false;
        }
        return out.text(body, len) && out.repeat(u' ', pad);
    }
    if (conv.zeroPad && numeric)
    {
        // The sign goes before the zeros: "%05d" of -42 is "-0042".
        if (negative && !out.put(u'-'))
        {
            return false;
        }
        return out.repeat(u'0', pad) && out.text(body, len);
    }
    if (!out.repeat(u' ', pad))
    {
        return false;
    }
    if (negative && !out.put(u'-'))
    {
        return false;
    }
    return out.text(body, len);
}

// Digits of value in base 10 or 16, most significant first, into digits[];
// returns the count.
size_t unsigned_digits(uint32_t value, unsigned base, bool upper, WCHAR (&digits)[16])
{
    const char* const set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR rev[16];
    size_t n = 0;
    do
    {
        rev[n++] = static_cast<WCHAR>(set[value % base]);
        value /= base;
    } while (value != 0);
    for (size_t i = 0; i < n; i++)
    {
        digits[i] = rev[n - 1 - i];
    }
    return n;
}

} // namespace

int wvnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, va_list args)
{
    if (buffer == nullptr || capacity <= 0)
    {
        return 0;
    }
    Out out{buffer, static_cast<size_t>(capacity) - 1, 0, false};
    if (format == nullptr)
    {
        buffer[0] = 0;
        return 0;
    }

    // va_list may be an array type; work on a copy so that va_arg is applied
    // to an lvalue of the right type on every ABI.
    va_list ap;
    va_copy(ap, args);

    const WCHAR* p = format;
    while (*p != 0 && !out.full)
    {
        if (*p != u'%')
        {
            const WCHAR* const run = p;
            while (*p != 0 && *p != u'%')
            {
                p++;
            }
            out.text(run, static_cast<size_t>(p - run));
            continue;
        }

        const WCHAR* const start = p++;
        Conversion conv{false, false, 0};
        for (;; p++)
        {
            if (*p == u'-')
            {
                conv.leftAlign = true;
            }
            else if (*p == u'0')
            {
                conv.zeroPad = true;
            }
            else
            {
                break;
            }
        }
        while (*p >= u'0' && *p <= u'9')
        {
            conv.width = conv.width * 10 + static_cast<size_t>(*p - u'0');
            if (conv.width > kMaxWidth)
            {
                conv.width = kMaxWidth;
            }
            p++;
        }
        if (*p == u'l')
        {
            p++; // 32 bits on the handheld; arguments are read as 32-bit values
        }

        WCHAR digits[16];
        switch (*p)
        {
            case u'd':
            case u'i':
            {
                const int32_t v = static_cast<int32_t>(va_arg(ap, int));
                const bool negative = v < 0;
                const uint32_t magnitude = negative ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
                const size_t len = unsigned_digits(magnitude, 10, false, digits);
                emit_field(out, conv, digits, len, true, negative);
                p++;
                break;
            }
            case u'u':
            case u'x':
            case u'X':
            {
                const uint32_t v = static_cast<uint32_t>(va_arg(ap, unsigned int));
                const unsigned base = (*p == u'u') ? 10 : 16;
                const size_t len = unsigned_digits(v, base, *p == u'X', digits);
                emit_field(out, conv, digits, len, true, false);
                p++;
                break;
            }
            case u's':
            {
                static const WCHAR kNull[] = u"(null)";
                const WCHAR* s = va_arg(ap, const WCHAR*);
                if (s == nullptr)
                {
                    s = kNull;
                }
                emit_field(out, conv, s, plat::wstr_len(s), false, false);
                p++;
                break;
            }
            case u'c':
            {
                const WCHAR c = static_cast<WCHAR>(va_arg(ap, int));
                emit_field(out, conv, &c, 1, false, false);
                p++;
                break;
            }
            case u'%':
                // "%%" only; flags or a width before it make it unknown.
                if (p == start + 1)
                {
                    out.put(u'%');
                    p++;
                    break;
                }
                [[fallthrough]];
            default:
            {
                // Unknown or unfinished: copy what was read as it stands and go
                // on after it. A terminator ends the copy without being copied.
                out.text(start, static_cast<size_t>(p - start));
                if (*p != 0 && !out.full)
                {
                    const size_t len = (plat::is_high_surrogate(p[0]) && plat::is_low_surrogate(p[1])) ? 2 : 1;
                    out.text(p, len);
                    p += len;
                }
                break;
            }
        }
    }
    va_end(ap);
    buffer[out.n] = 0;
    return static_cast<int>(out.n);
}

int wnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, ...)
{
    va_list args;
    va_start(args, format);
    const int n = wvnsprintfW(buffer, capacity, format, args);
    va_end(args);
    return n;
}
