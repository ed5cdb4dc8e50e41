// The terminal display's logic that needs no terminal: the log pane's
// scrolling, the layout of the bars, drop-downs, boxes and dialogs, and the
// routing of keys and clicks to actions (text widths and wrapping are in
// terminal_text.cpp). The ncurses side (terminal.cpp) draws what these
// compute and carries out the actions.
#include "platform/shellapi/shell_ui.h"
#include "platform/displays/terminal.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cctype>

namespace plat
{
namespace term
{

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
static const std::u32string kYesNoLabels = U"[Yes]  [No]"; // "[Yes]", two blanks, "[No]"

BoxLayout layout_box(std::u16string_view caption, std::u16string_view text, int cols, int rows, UINT type)
{
    BoxLayout b;
    const bool yesNo = (type & MB_TYPEMASK) == MB_YESNO;
    b.defaultId = box_default_answer(type);
    b.focusId = b.defaultId;
    int maxInner = std::max(1, std::min(cols - 4, kBoxMaxText));
    b.lines = wrap_words(text, maxInner);
    std::u32string cap = clean_line(caption);
    int inner = (int)(yesNo ? kYesNoLabels : kOkLabel).size();
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
    if (yesNo)
    {
        const int x = b.frame.x + std::max(0, (b.frame.w - (int)kYesNoLabels.size()) / 2);
        b.ok = Rect{x, b.ok.y, 5, 1};
        b.no = Rect{x + 7, b.ok.y, 4, 1};
    }
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
        std::u16string text = text_or_string(item.text); // a string the program supplies, maybe none
        if (text.empty() && IS_INTRESOURCE(item.text))
            continue;
        Placed p;
        p.x = std::clamp(item.x / 4, 0, innerW - 1);
        p.y = std::max(0, item.y / 8);
        p.w = std::clamp(item.cx / 4, 1, innerW - p.x);
        p.lines = wrap_words(text, p.w);
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

// Rows the title bar, the status row and the menu bar take.
static int frame_rows(int rows)
{
    return rows >= kStatusRowMinRows ? 3 : 2;
}

void client_size(int cols, int rows, int* width, int* height)
{
    *width = std::max(cols, 1);
    *height = std::max(rows - frame_rows(rows), 1);
}

ScreenLayout layout_screen(int cols, int rows, bool titleOk, const std::vector<MenuButtonView>& buttons, int openButton)
{
    ScreenLayout s;
    s.cols = cols;
    s.rows = rows;
    s.client = Rect{0, 1, cols, std::max(0, rows - frame_rows(rows))};
    if (rows >= kStatusRowMinRows)
        s.status = Rect{0, rows - 2, cols, 1};
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
namespace
{

struct VirtualKeyEntry
{
    KeyKind kind;
    int vk;
    char16_t ch; // the character the key carries; 0: none
};

// clang-format off
// key                 virtual key   character
const VirtualKeyEntry kVirtualKeys[] = {
    {KeyKind::Enter,     kVkReturn,   u'\r'},
    {KeyKind::Escape,    kVkEscape,   0x1B},
    {KeyKind::Tab,       kVkTab,      u'\t'},
    {KeyKind::Backspace, kVkBack,     0x08},
    {KeyKind::Up,        kVkUp,       0},
    {KeyKind::Down,      kVkDown,     0},
    {KeyKind::Left,      kVkLeft,     0},
    {KeyKind::Right,     kVkRight,    0},
    {KeyKind::PageUp,    kVkPrior,    0},
    {KeyKind::PageDown,  kVkNext,     0},
    {KeyKind::Home,      kVkHome,     0},
    {KeyKind::End,       kVkEnd,      0},
};
// clang-format on

} // namespace

void key_to_virtual(const Key& key, int* vk, unsigned* mods, char16_t* ch)
{
    *vk = 0;
    *mods = key.mods;
    *ch = 0;
    for (const VirtualKeyEntry& e : kVirtualKeys)
        if (e.kind == key.kind)
        {
            *vk = e.vk;
            *ch = e.ch;
            return;
        }
    if (key.kind == KeyKind::Function)
    {
        if (key.fn >= 1 && key.fn <= 24)
            *vk = kVkF1 + key.fn - 1;
        return;
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

static void scroll_home(LogView& v, int)
{
    log_home(v);
}

static void scroll_end(LogView& v, int)
{
    log_end(v);
}

namespace
{

struct ScrollKey
{
    KeyKind kind;
    void (*scroll)(LogView& v, int amount);
    int amount;
};

// clang-format off
// key                  what it does to the pane
const ScrollKey kScrollKeys[] = {
    {KeyKind::Up,       log_scroll,  -1},
    {KeyKind::Down,     log_scroll,  +1},
    {KeyKind::PageUp,   log_page,    -1},
    {KeyKind::PageDown, log_page,    +1},
    {KeyKind::Home,     scroll_home, 0},
    {KeyKind::End,      scroll_end,  0},
};
// clang-format on

} // namespace

// The keys that scroll the log pane; null for the others.
static const ScrollKey* scroll_key_of(KeyKind k)
{
    for (const ScrollKey& e : kScrollKeys)
        if (e.kind == k)
            return &e;
    return nullptr;
}

// A box takes every key; only its answers and the focus between its
// buttons do anything.
static std::vector<Action> box_key(BoxLayout& b, const Key& key)
{
    const bool plain = key.kind == KeyKind::Char && key.mods == 0;
    const char32_t ch = plain && key.ch < 0x80 ? (char32_t)std::tolower((int)key.ch) : 0;
    if (key.kind == KeyKind::Enter || ch == U' ')
        return {answer(b.no.w == 0 ? IDOK : b.focusId)};
    if (b.no.w == 0)
        return key.kind == KeyKind::Escape ? std::vector<Action>{answer(IDOK)} : std::vector<Action>{};
    if (key.kind == KeyKind::Left || key.kind == KeyKind::Right || key.kind == KeyKind::Tab)
    {
        b.focusId = b.focusId == IDYES ? IDNO : IDYES; // two buttons: every move goes to the other
        return {redraw()};
    }
    if (ch == U'y')
        return {answer(IDYES)};
    if (ch == U'n' || key.kind == KeyKind::Escape)
        return {answer(IDNO)};
    return {};
}

std::vector<Action> handle_key(UiState& ui, const ScreenLayout& layout, const Key& key)
{
    (void)layout;
    if (ui.boxUp)
        return box_key(ui.boxLayout, key);
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
    if (const ScrollKey* sk = ui.pane != nullptr ? scroll_key_of(key.kind) : nullptr)
    {
        sk->scroll(*ui.pane, sk->amount);
        return {redraw()};
    }

    Action a{Action::InputKey};
    key_to_virtual(key, &a.vk, &a.mods, &a.ch);
    if (a.vk == 0 && a.ch == 0)
        return {};
    if (a.vk == 'C' && a.mods == kModCtrl)
    {
        // Raw mode makes Ctrl+C a key: it quits as Ctrl+Q does, asking first
        // where the program asks.
        a.vk = 'Q';
        a.ch = u'Q' - u'A' + 1;
    }
    return {a};
}

std::vector<Action> handle_mouse(UiState& ui, const ScreenLayout& layout, Mouse what, int x, int y)
{
    if (ui.boxUp)
    {
        const BoxLayout& b = ui.boxLayout;
        if (what == Mouse::Press && b.ok.contains(x, y))
            return {answer(b.no.w > 0 ? IDYES : IDOK)};
        if (what == Mouse::Press && b.no.w > 0 && b.no.contains(x, y))
            return {answer(IDNO)};
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
