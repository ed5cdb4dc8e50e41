// Text helpers for the platform's edges.
//
// The system's text is UTF-16 (WCHAR = char16_t); the platform meets UTF-8 at
// the terminal, the debug output, file names and profile files. These helpers
// convert between the two and offer the few WCHAR string operations the
// platform needs:
//   - utf16_to_utf8 / utf8_to_utf16: surrogate pairs are joined and split
//     correctly; a lone surrogate or a malformed UTF-8 sequence becomes
//     U+FFFD, so the result is always well-formed.
//   - wstr_len / wstr_copy: length and bounded, always terminated copy.
//   - wstr_icmp / wstr_iequal: comparison that folds ASCII letters only, the
//     way device names and registry keys compare.
//   - printable_text: text from outside (a profile, a command's output) made
//     safe for a person's terminal or log.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace plat
{

constexpr char16_t kReplacementChar = 0xFFFD;

// UTF-16 -> UTF-8. A null pointer gives an empty string.
std::string utf16_to_utf8(std::u16string_view text);
std::string utf16_to_utf8(LPCWSTR text);
// Appends the UTF-8 form of text to out (no allocation when out has room).
void utf16_append_utf8(std::string& out, std::u16string_view text);

// UTF-8 -> UTF-16. Each maximal ill-formed subsequence (overlong forms,
// encoded surrogates, values above U+10FFFF, truncated sequences, stray
// continuation bytes) becomes one U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// Units before the terminator; a null pointer has length 0.
size_t wstr_len(LPCWSTR text);
// Copies at most capacity - 1 units of src and terminates dst. Returns the
// number of units copied. capacity 0 writes nothing; a null src copies "".
// A surrogate pair that does not fit whole is left out whole.
size_t wstr_copy(LPWSTR dst, size_t capacity, LPCWSTR src);

// ASCII case folding of one unit; everything outside A-Z is left alone.
constexpr char16_t ascii_fold(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}
// <0, 0, >0 like strcmp, comparing folded units. Null sorts as "".
int wstr_icmp(LPCWSTR a, LPCWSTR b);
bool wstr_iequal(std::u16string_view a, std::u16string_view b);

// UTF-8 text with every control character written out, so that text a
// profile or a command's output carried cannot drive the terminal it is shown
// on (an OSC title, a clear screen): C0 controls but the tab, and DEL, as
// "\xNN"; C1 controls (U+0080-U+009F) as "\uNNNN"; a byte that is not part of
// well-formed UTF-8 as "\xNN". Everything else is kept as it is.
std::string printable_text(std::string_view utf8);
// The folded copy, for use as a map key.
std::u16string wstr_fold(std::u16string_view text);

// Surrogate classification of a UTF-16 unit.
constexpr bool is_high_surrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool is_low_surrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

} // namespace plat
