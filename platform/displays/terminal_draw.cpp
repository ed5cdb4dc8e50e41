// Drawing the terminal display's frame: the title bar, the front window's
// children (log panes, static texts), the menu bar with its drop-down, and
// dialogs and message boxes as overlays. Everything is drawn from the window
// system's state on the UI thread, with the screen lock held; a frame also
// brings the input routing (t->ui, t->layout) up to date with what it shows.
#include "platform/displays/terminal_internal.h"

#include "platform/kernel/text.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/status_line.h"

#include <algorithm>

namespace plat
{
namespace tui
{
namespace
{

// ---------------------------------------------------------------------------
// Drawing helpers
// ---------------------------------------------------------------------------
void put_text(int y, int x, std::u32string_view text, int maxCells)
{
    Term* t = g_term;
    if (y < 0 || y >= t->rows.load() || x < 0 || maxCells <= 0)
        return;
    std::u32string fit = fit_cells(text, std::min(maxCells, t->cols.load() - x));
    std::wstring ws(fit.begin(), fit.end());
    if (!ws.empty())
        mvaddnwstr(y, x, ws.c_str(), (int)ws.size());
}

void fill(const Rect& r, attr_t attr)
{
    for (int y = r.y; y < r.y + r.h; y++)
        mvhline(y, r.x, ' ' | attr, r.w);
}

void frame(const Rect& r)
{
    if (r.w < 2 || r.h < 2)
        return;
    mvhline(r.y, r.x + 1, ACS_HLINE, r.w - 2);
    mvhline(r.y + r.h - 1, r.x + 1, ACS_HLINE, r.w - 2);
    mvvline(r.y + 1, r.x, ACS_VLINE, r.h - 2);
    mvvline(r.y + 1, r.x + r.w - 1, ACS_VLINE, r.h - 2);
    mvaddch(r.y, r.x, ACS_ULCORNER);
    mvaddch(r.y, r.x + r.w - 1, ACS_URCORNER);
    mvaddch(r.y + r.h - 1, r.x, ACS_LLCORNER);
    mvaddch(r.y + r.h - 1, r.x + r.w - 1, ACS_LRCORNER);
}

// Intersection of a child's rectangle (client coordinates) with the client area.
Rect child_rect(const RECT& rc, const Rect& client)
{
    int x0 = std::max(client.x + (int)rc.left, client.x);
    int y0 = std::max(client.y + (int)rc.top, client.y);
    int x1 = std::min(client.x + (int)rc.right, client.x + client.w);
    int y1 = std::min(client.y + (int)rc.bottom, client.y + client.h);
    return Rect{x0, y0, std::max(0, x1 - x0), std::max(0, y1 - y0)};
}

// Brings a pane's copy and wrapping up to date for a text width.
void refresh_pane(HWND hwnd, PaneCache& pc, int width, int height)
{
    if (pc.stale && pc.view.follow)
    {
        pc.text = edit_text_tail(hwnd, kLogTailUnits);
        if (pc.text.size() >= kLogTailUnits)
        {
            // The copy starts inside a line: show whole lines only.
            size_t nl = pc.text.find(u'\n');
            if (nl != std::u16string::npos && nl + 1 < pc.text.size())
                pc.text.erase(0, nl + 1);
        }
        pc.stale = false;
        pc.width = -1;
    }
    if (pc.width != width)
    {
        // A view scrolled back keeps the text at its top row in place.
        bool keep = pc.width > 0 && !pc.view.follow && pc.view.top < (int)pc.starts.size();
        size_t anchor = keep ? pc.starts[(size_t)pc.view.top] : 0;
        pc.rows = wrap_log(pc.text, width, &pc.starts);
        pc.width = width;
        if (keep)
            pc.view.top = row_of_offset(pc.starts, anchor);
    }
    log_resize(pc.view, (int)pc.rows.size(), height);
}

void draw_pane(HWND hwnd, const WindowInfo& info, const Rect& r, bool changed)
{
    Term* t = g_term;
    PaneCache& pc = t->panes[hwnd];
    pc.seen = true;
    if (changed)
        pc.stale = true;
    if (r.w <= 0 || r.h <= 0)
        return;
    bool bar = (info.style & WS_VSCROLL) && r.w >= 2;
    int textW = r.w - (bar ? 1 : 0);
    refresh_pane(hwnd, pc, textW, r.h);
    fill(r, A_NORMAL);
    for (int i = 0; i < r.h; i++)
    {
        int row = pc.view.top + i;
        if (row >= (int)pc.rows.size())
            break;
        put_text(r.y + i, r.x, pc.rows[(size_t)row], textW);
    }
    if (bar && pc.view.rowCount > r.h)
    {
        int track = r.h;
        int thumb = std::max(1, track * r.h / pc.view.rowCount);
        int maxTop = log_max_top(pc.view);
        int pos = maxTop > 0 ? (track - thumb) * pc.view.top / maxTop : 0;
        int bx = r.x + r.w - 1;
        mvvline(r.y, bx, ACS_VLINE, track);
        mvvline(r.y + pos, bx, ' ' | A_REVERSE, thumb);
    }
}

void draw_static(HWND hwnd, const Rect& r)
{
    if (r.w <= 0 || r.h <= 0)
        return;
    auto lines = wrap_words(window_text(hwnd), r.w);
    fill(r, A_NORMAL);
    for (int i = 0; i < r.h && i < (int)lines.size(); i++)
        put_text(r.y + i, r.x, lines[(size_t)i], r.w);
}

void draw_title(const std::u16string& title)
{
    Term* t = g_term;
    int cols = t->cols.load();
    mvhline(0, 0, ' ' | A_REVERSE, cols);
    attron(A_REVERSE | A_BOLD);
    int room = (t->layout.ok.w > 0 ? t->layout.ok.x - 1 : cols) - 1;
    std::u32string s;
    for (char32_t c : to_u32(title))
        s.push_back(printable(c));
    put_text(0, 1, s, room);
    attroff(A_BOLD);
    if (t->layout.ok.w > 0)
        put_text(0, t->layout.ok.x, U"[OK]", 4);
    attroff(A_REVERSE);
}

// The status line on its own row: a rule between the client area and the
// menu bar with the status set into it, cut with an ellipsis where the row
// is too narrow for all of it.
void draw_status_row(const Rect& r)
{
    if (r.w <= 0 || r.h <= 0)
        return;
    mvhline(r.y, r.x, ACS_HLINE, r.w);
    std::u32string status;
    for (char32_t c : to_u32(utf8_to_utf16(status_text())))
        status.push_back(printable(c));
    int room = r.w - 4; // a rule cell and a blank on each side
    if (status.empty() || room < 1)
        return;
    std::u32string shown = U" " + fit_ellipsis(status, room) + U" ";
    put_text(r.y, r.x + 1, shown, text_cells(shown));
}

void draw_menubar(const LogView* pane)
{
    Term* t = g_term;
    const ScreenLayout& L = t->layout;
    int y = L.rows - 1;
    if (y < 1)
        return;
    mvhline(y, 0, ' ' | A_REVERSE, L.cols);
    int used = 0;
    for (size_t i = 0; i < L.buttons.size(); i++)
    {
        const Rect& b = L.buttons[i];
        bool open = (int)i == t->ui.openButton;
        attr_t a = open ? A_NORMAL : (A_REVERSE | A_BOLD);
        mvhline(y, b.x, ' ' | a, b.w);
        attron(a);
        put_text(y, b.x + 1, t->ui.buttons[i].caption, b.w - 2);
        attroff(a);
        used = b.x + b.w;
    }
    std::u32string hint;
    if (pane != nullptr && !pane->follow)
        hint = U"row " + to_u32(utf8_to_utf16(std::to_string(pane->top + 1))) + U"/" +
               to_u32(utf8_to_utf16(std::to_string(pane->rowCount))) + U"  End: follow ";
    else if (t->ui.openButton >= 0)
        hint = U"Up/Down Enter  Esc ";
    else if (t->ui.boxUp && t->topBox && (t->topBox->type & MB_TYPEMASK) == MB_YESNO)
        hint = U"Left/Right Enter  Y/N ";
    else
    {
        hint = U"F1 Menu";
        if (t->ui.titleOk)
            hint += U"  F10 OK";
        hint += U"  ^Q Quit ";
    }
    int hw = text_cells(hint);
    if (used + 2 + hw <= L.cols)
    {
        attron(A_REVERSE);
        put_text(y, L.cols - hw, hint, hw);
        attroff(A_REVERSE);
    }
}

void draw_popup()
{
    Term* t = g_term;
    const ScreenLayout& L = t->layout;
    if (L.popup.w <= 0 || t->ui.openButton < 0)
        return;
    const auto& items = t->ui.buttons[(size_t)t->ui.openButton].items;
    fill(L.popup, A_NORMAL);
    frame(L.popup);
    for (size_t i = 0; i < L.popupItems.size() && i < items.size(); i++)
    {
        const Rect& r = L.popupItems[i];
        if (items[i].separator)
        {
            mvaddch(r.y, r.x - 1, ACS_LTEE);
            mvhline(r.y, r.x, ACS_HLINE, r.w);
            mvaddch(r.y, r.x + r.w, ACS_RTEE);
            continue;
        }
        attr_t a = (int)i == t->ui.selItem ? A_REVERSE : A_NORMAL;
        mvhline(r.y, r.x, ' ' | a, r.w);
        attron(a);
        put_text(r.y, r.x + 1, items[i].caption, r.w - 2);
        attroff(a);
    }
}

// An overlay's frame on a cleared rectangle, its caption in the top border.
void draw_overlay(const Rect& r, int captionX, std::u32string_view caption, int captionCells)
{
    fill(r, A_NORMAL);
    frame(r);
    attron(A_BOLD);
    put_text(r.y, captionX, U" " + std::u32string(caption) + U" ", captionCells);
    attroff(A_BOLD);
}

void draw_ok_button(const Rect& ok)
{
    attron(A_REVERSE);
    put_text(ok.y, ok.x, U"[OK]", 4);
    attroff(A_REVERSE);
}

void draw_dialog(const DialogLayout& d)
{
    draw_overlay(d.frame, d.frame.x + 2, d.caption, d.frame.w - 4);
    if (d.ok.w > 0)
        draw_ok_button(d.ok);
    for (auto& tv : d.texts)
        for (size_t i = 0; i < tv.lines.size(); i++)
            put_text(tv.y + (int)i, tv.x, tv.lines[i], tv.w);
}

void draw_box(const BoxLayout& b)
{
    if (b.caption.empty())
    {
        fill(b.frame, A_NORMAL);
        frame(b.frame);
    }
    else
    {
        int cw = text_cells(b.caption) + 2;
        draw_overlay(b.frame, b.frame.x + std::max(1, (b.frame.w - cw) / 2), b.caption, b.frame.w - 2);
    }
    for (size_t i = 0; i < b.lines.size(); i++)
        put_text(b.frame.y + 1 + (int)i, b.frame.x + 2, b.lines[i], b.frame.w - 4);
    if (b.no.w == 0)
    {
        draw_ok_button(b.ok);
        return;
    }
    // The focused button stands out; the other is plain.
    attron(b.focusId == IDYES ? A_REVERSE : A_NORMAL);
    put_text(b.ok.y, b.ok.x, U"[Yes]", b.ok.w);
    attroff(A_REVERSE);
    attron(b.focusId == IDNO ? A_REVERSE : A_NORMAL);
    put_text(b.no.y, b.no.x, U"[No]", b.no.w);
    attroff(A_REVERSE);
}

// ---------------------------------------------------------------------------
// A frame
// ---------------------------------------------------------------------------
HWND strip_flag(HWND h)
{
    return (HWND)((uintptr_t)h & ~(uintptr_t)1);
}

std::vector<MenuButtonView> buttons_of(const MenuBarState& mb)
{
    std::vector<MenuButtonView> out;
    for (auto& b : mb.buttons)
    {
        MenuButtonView v;
        v.caption = to_u32(b.caption);
        v.command = b.command;
        if (b.dropDown)
            for (const MenuItemTemplate* it : b.popup)
            {
                MenuItemView iv;
                // A nested popup is not offered: it shows as a line.
                iv.separator = it->kind != MENU_ITEM_COMMAND;
                iv.id = iv.separator ? 0 : it->id;
                if (!iv.separator && it->text != nullptr)
                    iv.caption = to_u32(it->text);
                v.items.push_back(std::move(iv));
            }
        out.push_back(std::move(v));
    }
    return out;
}

bool same_menus(const std::vector<MenuButtonView>& a, const std::vector<MenuButtonView>& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].caption != b[i].caption || a[i].items.size() != b[i].items.size())
            return false;
    return true;
}

// The windows that are up, as the window system has them now.
struct Scene
{
    std::vector<WindowInfo> infos; // every live window, in drawing order
    HWND front = nullptr;          // the window the title bar belongs to
    std::vector<HWND> dialogs;     // visible dialogs, the newest last
};

Scene gather_windows()
{
    Scene sc;
    std::vector<HWND> all = window_list();
    sc.infos.reserve(all.size());
    HWND fg = strip_flag(foreground_window());
    for (HWND h : all)
    {
        WindowInfo wi;
        if (!window_info(h, &wi))
            continue;
        sc.infos.push_back(wi);
        if (wi.child || !wi.visible)
            continue;
        if (wstr_iequal(wi.className, kMenuBarClass))
            continue;
        if (wstr_iequal(wi.className, kDialogClass))
        {
            sc.dialogs.push_back(h);
            continue;
        }
        if (sc.front == nullptr || h == fg || sc.front != fg)
            sc.front = h;
    }
    return sc;
}

// The title bar and the menu bar belong to the front window. An open
// drop-down stays open only while the bar shows the same menus.
void update_bars(UiState& ui, HWND front)
{
    ui.front = front;
    ui.titleOk = front != nullptr && window_has_done_button(front);
    MenuBarState mb;
    std::vector<MenuButtonView> buttons;
    ui.menuOwner = nullptr;
    if (front != nullptr && menubar_of(front, &mb))
    {
        buttons = buttons_of(mb);
        ui.menuOwner = mb.owner;
    }
    if (!same_menus(buttons, ui.buttons))
        ui.openButton = -1;
    ui.buttons = std::move(buttons);
}

// The topmost dialog and message box take the input.
void update_modal(Term* t, const std::vector<HWND>& dialogs, const std::vector<BoxRef>& boxes, int cols, int rows)
{
    UiState& ui = t->ui;
    ui.dialog = nullptr;
    DialogState ds;
    for (auto it = dialogs.rbegin(); it != dialogs.rend(); ++it)
        if (dialog_of(*it, &ds) && ds.tmpl != nullptr)
        {
            ui.dialog = *it;
            ui.dialogLayout = layout_dialog(*ds.tmpl, cols, rows);
            break;
        }
    ui.boxUp = !boxes.empty();
    t->topBox = ui.boxUp ? boxes.back() : nullptr;
    if (ui.boxUp || ui.dialog != nullptr)
        ui.openButton = -1; // a modal window takes the input
    if (ui.openButton < 0)
        ui.selItem = -1;
}

// The front window's children: log panes and static texts. The pane with the
// focus (else the first) is the one the keys scroll; panes no longer shown
// lose their cache.
void draw_children(Term* t, const Scene& sc, const std::set<HWND>& changedText)
{
    UiState& ui = t->ui;
    for (auto& kv : t->panes)
        kv.second.seen = false;
    ui.pane = nullptr;
    if (sc.front != nullptr)
    {
        HWND focus = focus_window();
        for (const WindowInfo& wi : sc.infos)
        {
            if (!wi.child || wi.parent != sc.front || !wi.visible)
                continue;
            Rect r = child_rect(wi.rect, t->layout.client);
            if (wstr_iequal(wi.className, u"edit"))
            {
                draw_pane(wi.hwnd, wi, r, changedText.count(wi.hwnd) != 0);
                if (ui.pane == nullptr || wi.hwnd == focus)
                {
                    ui.pane = &t->panes[wi.hwnd].view;
                    ui.paneRect = r;
                }
            }
            else if (wstr_iequal(wi.className, kStaticClass))
                draw_static(wi.hwnd, r);
        }
    }
    for (auto it = t->panes.begin(); it != t->panes.end();)
        it = it->second.seen ? std::next(it) : t->panes.erase(it);
}

// Message boxes over everything, the newest on top; the top one's layout
// routes the clicks.
void draw_boxes(Term* t, const std::vector<BoxRef>& boxes, int cols, int rows)
{
    for (const BoxRef& b : boxes)
    {
        BoxLayout bl = layout_box(b->caption, b->text, cols, rows, b->type);
        // The top box keeps the focus the keys moved, until another box is on top.
        if (b == t->topBox && b == t->focusBox)
            bl.focusId = t->ui.boxLayout.focusId;
        if (b == t->topBox)
        {
            t->focusBox = b;
            t->ui.boxLayout = bl;
        }
        draw_box(bl);
    }
}

} // namespace

void draw_frame()
{
    Term* t = g_term;
    std::vector<BoxRef> boxes;
    std::set<HWND> changedText;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        boxes = t->boxes;
        changedText.swap(t->textChanged);
        t->dirty = false;
    }
    int cols = t->cols.load(), rows = t->rows.load();

    Scene sc = gather_windows();
    UiState& ui = t->ui;
    update_bars(ui, sc.front);
    update_modal(t, sc.dialogs, boxes, cols, rows);
    t->layout = layout_screen(cols, rows, ui.titleOk, ui.buttons, ui.openButton);

    erase();
    draw_title(sc.front ? window_text(sc.front) : std::u16string());
    draw_children(t, sc, changedText);
    draw_status_row(t->layout.status);
    draw_menubar(ui.pane);
    draw_popup();
    if (ui.dialog != nullptr)
        draw_dialog(ui.dialogLayout);
    draw_boxes(t, boxes, cols, rows);
    wnoutrefresh(stdscr);
    doupdate();
    t->lastDraw = Clock::now();
}

} // namespace tui
} // namespace plat
