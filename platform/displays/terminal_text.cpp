// The terminal display's text handling, which needs no terminal: what a code
// point shows as and how many cells it takes, UTF-16 to code points, and the
// wrapping of log panes (by cells, keeping each row's place in the text) and
// of box and dialog texts (by words).
#include "platform/displays/terminal.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cwchar>

namespace plat
{
namespace term
{

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------
static bool is_control(char32_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0);
}

char32_t printable(char32_t c)
{
    if (is_control(c))
        return U'?';
    // The locale decides what the terminal can show (ncurses asks the same).
    if (wcwidth((wchar_t)c) < 0)
        return U'?';
    return c;
}

int cell_width(char32_t c)
{
    int w = wcwidth((wchar_t)c);
    return w < 0 ? 1 : w;
}

std::u32string to_u32(std::u16string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); i++)
    {
        char16_t u = text[i];
        if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1]))
        {
            out.push_back(0x10000 + (((char32_t)u - 0xD800) << 10) + ((char32_t)text[i + 1] - 0xDC00));
            i++;
        }
        else if (is_high_surrogate(u) || is_low_surrogate(u))
            out.push_back(kReplacementChar);
        else
            out.push_back(u);
    }
    return out;
}

int text_cells(std::u32string_view text)
{
    int n = 0;
    for (char32_t c : text)
        n += cell_width(c);
    return n;
}

std::u32string fit_cells(std::u32string_view text, int cells)
{
    std::u32string out;
    int used = 0;
    for (char32_t c : text)
    {
        int w = cell_width(c);
        if (used + w > cells)
            break;
        out.push_back(c);
        used += w;
    }
    return out;
}

std::u32string fit_ellipsis(std::u32string_view text, int cells)
{
    if (text_cells(text) <= cells)
        return std::u32string(text);
    std::u32string ellipsis = printable(U'\u2026') == U'\u2026' ? U"\u2026" : U"...";
    int room = cells - text_cells(ellipsis);
    if (room < 0)
        return fit_cells(text, cells);
    return fit_cells(text, room) + ellipsis;
}

// What a code point of wrapped text shows as, and its cells. Zero-width code
// points (combining marks, joiners) are left out (false): they would land on
// a cell that may have wrapped away. A double-width character in a one-cell
// row shows as '?'.
static bool wrap_glyph(char32_t c, int width, char32_t* glyph, int* cells)
{
    *glyph = printable(c);
    *cells = cell_width(*glyph);
    if (*cells == 0)
        return false;
    if (*cells > width)
    {
        *glyph = U'?';
        *cells = 1;
    }
    return true;
}

// Rows being wrapped: those finished and the one being filled.
struct RowBuilder
{
    std::vector<std::u32string> rows;
    std::u32string cur;
    int curW = 0;                          // cells of cur
    std::vector<size_t>* starts = nullptr; // optional: each row's first code point

    void next_row(size_t at)
    {
        rows.push_back(std::move(cur));
        cur.clear();
        curW = 0;
        if (starts)
            starts->push_back(at);
    }
    void put(char32_t glyph, int cells)
    {
        cur.push_back(glyph);
        curW += cells;
    }
};

std::vector<std::u32string> wrap_log(std::u16string_view text, int width, std::vector<size_t>* starts)
{
    width = std::max(width, 1);
    std::u32string cps = to_u32(text);
    RowBuilder b;
    b.starts = starts;
    if (starts)
    {
        starts->clear();
        starts->push_back(0);
    }
    for (size_t i = 0; i < cps.size(); i++)
    {
        char32_t c = cps[i];
        if (c == U'\r')
            continue; // "\r\n" ends the line at its '\n'; a lone '\r' shows nothing
        if (c == U'\n')
        {
            b.next_row(i + 1);
            continue;
        }
        if (c == U'\t')
        {
            if (b.curW >= width)
                b.next_row(i);
            int n = std::min(kTabStop - b.curW % kTabStop, width - b.curW);
            b.cur.append((size_t)n, U' ');
            b.curW += n;
            continue;
        }
        char32_t glyph;
        int cells;
        if (!wrap_glyph(c, width, &glyph, &cells))
            continue;
        if (b.curW + cells > width)
            b.next_row(i);
        b.put(glyph, cells);
    }
    b.rows.push_back(std::move(b.cur));
    return std::move(b.rows);
}

int row_of_offset(const std::vector<size_t>& starts, size_t offset)
{
    auto it = std::upper_bound(starts.begin(), starts.end(), offset);
    return it == starts.begin() ? 0 : (int)(it - starts.begin()) - 1;
}

std::vector<std::u32string> wrap_words(std::u16string_view text, int width)
{
    width = std::max(width, 1);
    std::u32string cps = to_u32(text);
    RowBuilder b;
    std::u32string word;
    int wordW = 0;

    auto flush_word = [&]
    {
        if (word.empty())
            return;
        if (b.curW > 0 && b.curW + 1 + wordW <= width)
        {
            b.put(U' ', 1);
            b.cur += word;
            b.curW += wordW;
        }
        else
        {
            if (b.curW > 0)
                b.next_row(0);
            // A word longer than the width is cut into pieces that fit.
            for (char32_t c : word)
            {
                int w = cell_width(c);
                if (b.curW + w > width && b.curW > 0)
                    b.next_row(0);
                b.put(c, w);
            }
        }
        word.clear();
        wordW = 0;
    };

    for (char32_t c : cps)
    {
        if (c == U'\r')
            continue;
        if (c == U'\n')
        {
            flush_word();
            b.next_row(0);
            continue;
        }
        if (c == U' ' || c == U'\t')
        {
            flush_word();
            continue;
        }
        char32_t glyph;
        int cells;
        if (!wrap_glyph(c, width, &glyph, &cells))
            continue;
        word.push_back(glyph);
        wordW += cells;
    }
    flush_word();
    if (b.curW > 0 || b.rows.empty())
        b.rows.push_back(std::move(b.cur));
    return std::move(b.rows);
}

} // namespace term
} // namespace plat
