// The terminal display's logic that needs no terminal: text widths and
// wrapping, the log pane's scrolling, the layout of the bars, drop-downs,
// boxes and dialogs, and the routing of keys and clicks to actions. The
// ncurses side (terminal.cpp) draws what these compute and carries out the
// actions.
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/terminal.h"
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

// Appends one code point to a row being wrapped. Zero-width code points
// (combining marks, joiners) are left out: they would land on a cell that
// may have wrapped away. A double-width character in a one-cell pane shows
// as '?'.
static void wrap_put(std::vector<std::u32string>& rows, std::u32string& cur, int& curW, char32_t c, int width,
                     std::vector<size_t>* starts, size_t at)
{
    char32_t p = printable(c);
    int w = cell_width(p);
    if (w == 0)
        return;
    if (w > width)
    {
        p = U'?';
        w = 1;
    }
    if (curW + w > width)
    {
        rows.push_back(std::move(cur));
        cur.clear();
        curW = 0;
        if (starts)
            starts->push_back(at);
    }
    cur.push_back(p);
    curW += w;
}

std::vector<std::u32string> wrap_log(std::u16string_view text, int width, std::vector<size_t>* starts)
{
    width = std::max(width, 1);
    std::u32string cps = to_u32(text);
    std::vector<std::u32string> rows;
    if (starts)
    {
        starts->clear();
        starts->push_back(0);
    }
    std::u32string cur;
    int curW = 0;
    auto new_row = [&](size_t at)
    {
        rows.push_back(std::move(cur));
        cur.clear();
        curW = 0;
        if (starts)
            starts->push_back(at);
    };
    for (size_t i = 0; i < cps.size(); i++)
    {
        char32_t c = cps[i];
        if (c == U'\r')
            continue; // "\r\n" ends the line at its '\n'; a lone '\r' shows nothing
        if (c == U'\n')
        {
            new_row(i + 1);
            continue;
        }
        if (c == U'\t')
        {
            if (curW >= width)
                new_row(i);
            int n = std::min(kTabStop - curW % kTabStop, width - curW);
            cur.append((size_t)n, U' ');
            curW += n;
            continue;
        }
        wrap_put(rows, cur, curW, c, width, starts, i);
    }
    rows.push_back(std::move(cur));
    return rows;
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
    std::vector<std::u32string> out;
    std::u32string line;
    int lineW = 0;
    std::u32string word;
    int wordW = 0;

    auto flush_word = [&]
    {
        if (word.empty())
            return;
        if (lineW > 0 && lineW + 1 + wordW <= width)
        {
            line.push_back(U' ');
            line += word;
            lineW += 1 + wordW;
        }
        else
        {
            if (lineW > 0)
            {
                out.push_back(std::move(line));
                line.clear();
                lineW = 0;
            }
            // A word longer than the width is cut into pieces that fit.
            for (char32_t c : word)
            {
                int w = cell_width(c);
                if (lineW + w > width && lineW > 0)
                {
                    out.push_back(std::move(line));
                    line.clear();
                    lineW = 0;
                }
                line.push_back(c);
                lineW += w;
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
            out.push_back(std::move(line));
            line.clear();
            lineW = 0;
            continue;
        }
        if (c == U' ' || c == U'\t')
        {
            flush_word();
            continue;
        }
        char32_t p = printable(c);
        int w = cell_width(p);
        if (w == 0)
            continue;
        if (w > width)
        {
            p = U'?';
            w = 1;
        }
        word.push_back(p);
        wordW += w;
    }
    flush_word();
    if (lineW > 0 || out.empty())
        out.push_back(std::move(line));
    return out;
}

// ---------------------------------------------------------------------------
// The log pane's view
// ---------------------------------------------------------------------------
int log_max_top(const LogView& v)
{
    return std::max(0, v.rowCount - std::max(v.height, 0));
}

void log_resize(LogView& v, int rowCount, int height)
{
    v.rowCount = std::max(rowCount, 0);
    v.height = std::max(height, 0);
    if (v.follow)
        v.top = log_max_top(v);
    else
        v.top = std::clamp(v.top, 0, log_max_top(v));
    if (v.top >= log_max_top(v))
        v.follow = true;
}

void log_scroll(LogView& v, int delta)
{
    v.top = std::clamp(v.top + delta, 0, log_max_top(v));
    v.follow = v.top >= log_max_top(v);
}

void log_page(LogView& v, int pages)
{
    log_scroll(v, pages * std::max(v.height - 1, 1));
}

void log_home(LogView& v)
{
    v.top = 0;
    v.follow = log_max_top(v) == 0;
}

void log_end(LogView& v)
{
    v.top = log_max_top(v);
    v.follow = true;
}

// ---------------------------------------------------------------------------
// Menus
// ---------------------------------------------------------------------------
int menu_step(const std::vector<MenuItemView>& items, int current, int dir)
{
    int n = (int)items.size();
    if (n == 0)
        return -1;
    int i = current;
    if (i < 0 || i >= n)
        i = dir > 0 ? n - 1 : 0; // so the first step lands on the first (or last) item
    for (int k = 0; k < n; k++)
    {
        i = ((i + (dir > 0 ? 1 : -1)) % n + n) % n;
        if (!items[i].separator)
            return i;
    }
    return -1;
}

int menu_first(const std::vector<MenuItemView>& items)
{
    return menu_step(items, -1, +1);
}

int menu_last(const std::vector<MenuItemView>& items)
{
    return menu_step(items, -1, -1);
}

static char32_t fold(char32_t c)
{
    return (c >= U'A' && c <= U'Z') ? c - U'A' + U'a' : c;
}

int menu_hotkey(const std::vector<MenuItemView>& items, char32_t ch)
{
    for (size_t i = 0; i < items.size(); i++)
        if (!items[i].separator && !items[i].caption.empty() && fold(items[i].caption[0]) == fold(ch))
            return (int)i;
    return -1;
}

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------
static std::u32string clean_line(std::u16string_view text)
{
    std::u32string out;
    for (char32_t c : to_u32(text))
    {
        char32_t p = printable(c);
        if (cell_width(p) > 0)
            out.push_back(p);
    }
    return out;
}

// Rows around a box's text: top border, a blank row and the button row
// under the text, bottom border.
constexpr int kBoxChromeRows = 4;
constexpr int kBoxMaxText = 60; // widest text row of a box
static const std::u32string kOkLabel = U"[OK]";

BoxLayout layout_box(std::u16string_view caption, std::u16string_view text, int cols, int rows)
{
    BoxLayout b;
    int maxInner = std::max(1, std::min(cols - 4, kBoxMaxText));
    b.lines = wrap_words(text, maxInner);
    std::u32string cap = clean_line(caption);
    int inner = (int)kOkLabel.size();
    for (auto& l : b.lines)
        inner = std::max(inner, text_cells(l));
    inner = std::max(inner, text_cells(cap) + 2);
    inner = std::min(inner, std::max(1, cols - 4));
    b.frame.w = std::min(inner + 4, std::max(cols, 0));
    int maxLines = std::max(0, rows - kBoxChromeRows);
    if ((int)b.lines.size() > maxLines)
        b.lines.resize((size_t)maxLines);
    b.frame.h = std::min((int)b.lines.size() + kBoxChromeRows, std::max(rows, 0));
    b.frame.x = std::max(0, (cols - b.frame.w) / 2);
    b.frame.y = std::max(0, (rows - b.frame.h) / 2);
    b.caption = fit_cells(cap, std::max(0, b.frame.w - 4));
    b.ok = Rect{b.frame.x + std::max(0, (b.frame.w - 4) / 2), b.frame.y + b.frame.h - 2, 4, 1};
    return b;
}

static bool is_static_item(const DialogItemTemplate& item)
{
    return item.className == nullptr || wstr_iequal(item.className, kStaticClass);
}

DialogLayout layout_dialog(const DialogTemplate& tmpl, int cols, int rows)
{
    DialogLayout d;
    int maxInnerW = std::max(1, cols - 2);
    int innerW = std::clamp((tmpl.cx + 3) / 4, 1, maxInnerW);
    int innerH = std::max(1, (tmpl.cy + 7) / 8);

    struct Placed
    {
        int x, y, w;
        std::vector<std::u32string> lines;
    };
    std::vector<Placed> placed;
    for (UINT i = 0; i < tmpl.count; i++)
    {
        const DialogItemTemplate& item = tmpl.items[i];
        if (!is_static_item(item) || item.text == nullptr || !(item.style & WS_VISIBLE))
            continue;
        Placed p;
        p.x = std::clamp(item.x / 4, 0, innerW - 1);
        p.y = std::max(0, item.y / 8);
        p.w = std::clamp(item.cx / 4, 1, innerW - p.x);
        p.lines = wrap_words(item.text, p.w);
        innerH = std::max(innerH, p.y + (int)p.lines.size());
        placed.push_back(std::move(p));
    }

    d.frame.w = std::min(innerW + 2, std::max(cols, 0));
    d.frame.h = std::min(innerH + 2, std::max(rows, 0));
    d.frame.x = std::max(0, (cols - d.frame.w) / 2);
    d.frame.y = std::max(0, (rows - d.frame.h) / 2);
    d.ok = Rect{d.frame.x + d.frame.w - 6, d.frame.y, 4, 1};
    if (d.ok.x <= d.frame.x)
        d.ok.w = 0; // too narrow for a button: Enter still answers
    d.caption = fit_cells(clean_line(tmpl.caption ? tmpl.caption : u""), std::max(0, d.frame.w - 10));

    int lastRow = d.frame.y + d.frame.h - 2; // the last row inside the frame
    for (auto& p : placed)
    {
        DialogTextView t;
        t.x = d.frame.x + 1 + p.x;
        t.y = d.frame.y + 1 + p.y;
        t.w = p.w;
        for (auto& l : p.lines)
        {
            if (t.y + (int)t.lines.size() > lastRow)
                break;
            t.lines.push_back(l);
        }
        d.texts.push_back(std::move(t));
    }
    return d;
}

void client_size(int cols, int rows, int* width, int* height)
{
    *width = std::max(cols, 1);
    *height = std::max(rows - 2, 1);
}

ScreenLayout layout_screen(int cols, int rows, bool titleOk, const std::vector<MenuButtonView>& buttons, int openButton)
{
    ScreenLayout s;
    s.cols = cols;
    s.rows = rows;
    s.client = Rect{0, 1, cols, std::max(0, rows - 2)};
    if (titleOk && cols >= 6)
        s.ok = Rect{cols - 5, 0, 4, 1};
    int barRow = std::max(0, rows - 1);
    int x = 0;
    for (auto& b : buttons)
    {
        int w = text_cells(b.caption) + 2;
        s.buttons.push_back(Rect{x, barRow, std::min(w, std::max(0, cols - x)), 1});
        x += w + 1;
    }
    if (openButton >= 0 && openButton < (int)buttons.size())
    {
        const auto& items = buttons[(size_t)openButton].items;
        int inner = 1;
        for (auto& it : items)
            inner = std::max(inner, text_cells(it.caption) + 2);
        int w = std::min(inner + 2, std::max(cols, 0));
        int h = (int)items.size() + 2;
        int y = barRow - h;
        if (y < 1)
        {
            h = std::max(0, barRow - 1);
            y = 1;
        }
        int px = std::min(s.buttons[(size_t)openButton].x, std::max(0, cols - w));
        s.popup = Rect{px, y, w, h};
        for (size_t i = 0; i < items.size(); i++)
        {
            int iy = y + 1 + (int)i;
            if (iy >= y + h - 1)
                break; // clipped on a short screen
            s.popupItems.push_back(Rect{px + 1, iy, std::max(0, w - 2), 1});
        }
    }
    return s;
}

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------
void key_to_virtual(const Key& key, int* vk, unsigned* mods, char16_t* ch)
{
    *vk = 0;
    *mods = key.mods;
    *ch = 0;
    switch (key.kind)
    {
        case KeyKind::Enter:
            *vk = kVkReturn;
            *ch = u'\r';
            return;
        case KeyKind::Escape:
            *vk = kVkEscape;
            *ch = 0x1B;
            return;
        case KeyKind::Tab:
            *vk = kVkTab;
            *ch = u'\t';
            return;
        case KeyKind::Backspace:
            *vk = kVkBack;
            *ch = 0x08;
            return;
        case KeyKind::Up:
            *vk = kVkUp;
            return;
        case KeyKind::Down:
            *vk = kVkDown;
            return;
        case KeyKind::Left:
            *vk = kVkLeft;
            return;
        case KeyKind::Right:
            *vk = kVkRight;
            return;
        case KeyKind::PageUp:
            *vk = kVkPrior;
            return;
        case KeyKind::PageDown:
            *vk = kVkNext;
            return;
        case KeyKind::Home:
            *vk = kVkHome;
            return;
        case KeyKind::End:
            *vk = kVkEnd;
            return;
        case KeyKind::Function:
            if (key.fn >= 1 && key.fn <= 24)
                *vk = kVkF1 + key.fn - 1;
            return;
        case KeyKind::Char:
            break;
    }
    char32_t c = key.ch;
    *ch = c > 0xFFFF ? (char16_t)kReplacementChar : (char16_t)c;
    if (c >= 1 && c <= 26)
    {
        // A control character is its letter with Ctrl, as the accelerators want it.
        *vk = 'A' + (int)c - 1;
        *mods |= kModCtrl;
    }
    else if (c >= U'a' && c <= U'z')
        *vk = (int)(c - U'a' + U'A');
    else if (c >= U'A' && c <= U'Z')
    {
        *vk = (int)c;
        *mods |= kModShift;
    }
    else if (c >= U'0' && c <= U'9')
        *vk = (int)c;
    else if (c == U' ')
        *vk = 0x20;
}

static Action command(HWND target, int id)
{
    Action a{Action::Command};
    a.target = target;
    a.id = id;
    return a;
}

static Action redraw()
{
    return Action{Action::Redraw};
}

static Action answer(int id)
{
    Action a{Action::AnswerBox};
    a.id = id;
    return a;
}

// Opens button i's drop-down, or sends the button's own command when it has
// none.
static std::vector<Action> press_button(UiState& ui, int i)
{
    const MenuButtonView& b = ui.buttons[(size_t)i];
    if (b.items.empty())
    {
        ui.openButton = -1;
        return {command(ui.menuOwner, b.command), redraw()};
    }
    ui.openButton = i;
    ui.selItem = menu_first(b.items);
    return {redraw()};
}

static std::vector<Action> pick(UiState& ui, int item)
{
    const MenuItemView& it = ui.buttons[(size_t)ui.openButton].items[(size_t)item];
    ui.openButton = -1;
    ui.selItem = -1;
    if (it.separator)
        return {redraw()};
    return {command(ui.menuOwner, it.id), redraw()};
}

static void close_menu(UiState& ui)
{
    ui.openButton = -1;
    ui.selItem = -1;
}

static int button_by_letter(const UiState& ui, char32_t ch)
{
    for (size_t i = 0; i < ui.buttons.size(); i++)
        if (!ui.buttons[i].caption.empty() && fold(ui.buttons[i].caption[0]) == fold(ch))
            return (int)i;
    return -1;
}

static std::vector<Action> menu_key(UiState& ui, const Key& key)
{
    const auto& items = ui.buttons[(size_t)ui.openButton].items;
    int n = (int)ui.buttons.size();
    switch (key.kind)
    {
        case KeyKind::Up:
            ui.selItem = menu_step(items, ui.selItem, -1);
            return {redraw()};
        case KeyKind::Down:
            ui.selItem = menu_step(items, ui.selItem, +1);
            return {redraw()};
        case KeyKind::Home:
            ui.selItem = menu_first(items);
            return {redraw()};
        case KeyKind::End:
            ui.selItem = menu_last(items);
            return {redraw()};
        case KeyKind::Left:
        case KeyKind::Right:
        {
            int next = ((ui.openButton + (key.kind == KeyKind::Right ? 1 : -1)) % n + n) % n;
            if (ui.buttons[(size_t)next].items.empty())
                return {};
            ui.openButton = next;
            ui.selItem = menu_first(ui.buttons[(size_t)next].items);
            return {redraw()};
        }
        case KeyKind::Enter:
            if (ui.selItem >= 0)
                return pick(ui, ui.selItem);
            close_menu(ui);
            return {redraw()};
        case KeyKind::Escape:
            close_menu(ui);
            return {redraw()};
        case KeyKind::Function:
            if (key.fn == 1)
            {
                close_menu(ui);
                return {redraw()};
            }
            if (key.fn == 10 && ui.titleOk)
            {
                close_menu(ui);
                return {command(ui.front, IDOK), redraw()};
            }
            return {};
        case KeyKind::Char:
        {
            if (key.ch == U' ' && ui.selItem >= 0)
                return pick(ui, ui.selItem);
            if (key.mods & kModAlt)
            {
                int b = button_by_letter(ui, key.ch);
                if (b < 0)
                    return {};
                if (b != ui.openButton)
                    return press_button(ui, b);
                close_menu(ui);
                return {redraw()};
            }
            int i = menu_hotkey(items, key.ch);
            if (i >= 0)
                return pick(ui, i);
            return {};
        }
        default:
            return {};
    }
}

static std::vector<Action> scroll_key(UiState& ui, const Key& key)
{
    LogView& v = *ui.pane;
    switch (key.kind)
    {
        case KeyKind::Up:
            log_scroll(v, -1);
            break;
        case KeyKind::Down:
            log_scroll(v, +1);
            break;
        case KeyKind::PageUp:
            log_page(v, -1);
            break;
        case KeyKind::PageDown:
            log_page(v, +1);
            break;
        case KeyKind::Home:
            log_home(v);
            break;
        case KeyKind::End:
            log_end(v);
            break;
        default:
            return {};
    }
    return {redraw()};
}

static bool is_scroll_key(KeyKind k)
{
    return k == KeyKind::Up || k == KeyKind::Down || k == KeyKind::PageUp || k == KeyKind::PageDown ||
           k == KeyKind::Home || k == KeyKind::End;
}

std::vector<Action> handle_key(UiState& ui, const ScreenLayout& layout, const Key& key)
{
    (void)layout;
    if (ui.boxUp)
    {
        // A box takes every key; only its answers do anything.
        if (key.kind == KeyKind::Enter || key.kind == KeyKind::Escape ||
            (key.kind == KeyKind::Char && key.ch == U' ' && key.mods == 0))
            return {answer(IDOK)};
        return {};
    }
    if (ui.dialog != nullptr)
    {
        if (key.kind == KeyKind::Enter || (key.kind == KeyKind::Function && key.fn == 10))
            return {command(ui.dialog, IDOK)};
        if (key.kind == KeyKind::Escape)
            return {command(ui.dialog, IDCANCEL)};
        return {};
    }
    if (ui.openButton >= 0 && ui.openButton < (int)ui.buttons.size())
        return menu_key(ui, key);

    if (key.kind == KeyKind::Function && key.fn == 1 && !ui.buttons.empty())
        return press_button(ui, 0);
    if (key.kind == KeyKind::Function && key.fn == 10 && ui.titleOk)
        return {command(ui.front, IDOK)};
    if (key.kind == KeyKind::Char && (key.mods & kModAlt))
    {
        int b = button_by_letter(ui, key.ch);
        if (b >= 0)
            return press_button(ui, b);
    }
    if (ui.pane != nullptr && is_scroll_key(key.kind))
        return scroll_key(ui, key);

    Action a{Action::InputKey};
    key_to_virtual(key, &a.vk, &a.mods, &a.ch);
    if (a.vk == 0 && a.ch == 0)
        return {};
    return {a};
}

std::vector<Action> handle_mouse(UiState& ui, const ScreenLayout& layout, Mouse what, int x, int y)
{
    if (ui.boxUp)
    {
        if (what == Mouse::Press && ui.boxLayout.ok.contains(x, y))
            return {answer(IDOK)};
        return {};
    }
    if (ui.dialog != nullptr)
    {
        if (what == Mouse::Press && ui.dialogLayout.ok.w > 0 && ui.dialogLayout.ok.contains(x, y))
            return {command(ui.dialog, IDOK)};
        return {};
    }
    if (what != Mouse::Press)
    {
        if (ui.pane == nullptr || ui.openButton >= 0)
            return {};
        log_scroll(*ui.pane, what == Mouse::WheelUp ? -kWheelRows : kWheelRows);
        return {redraw()};
    }
    if (ui.openButton >= 0)
    {
        for (size_t i = 0; i < layout.popupItems.size(); i++)
            if (layout.popupItems[i].contains(x, y))
            {
                if (ui.buttons[(size_t)ui.openButton].items[i].separator)
                    return {};
                return pick(ui, (int)i);
            }
        for (size_t i = 0; i < layout.buttons.size(); i++)
            if (layout.buttons[i].contains(x, y))
            {
                if ((int)i == ui.openButton)
                {
                    close_menu(ui);
                    return {redraw()};
                }
                return press_button(ui, (int)i);
            }
        if (layout.popup.contains(x, y))
            return {};
        // A click elsewhere only closes the drop-down.
        close_menu(ui);
        return {redraw()};
    }
    if (layout.ok.w > 0 && layout.ok.contains(x, y))
        return {command(ui.front, IDOK)};
    for (size_t i = 0; i < layout.buttons.size(); i++)
        if (layout.buttons[i].contains(x, y))
            return press_button(ui, (int)i);
    return {};
}

} // namespace term
} // namespace plat
