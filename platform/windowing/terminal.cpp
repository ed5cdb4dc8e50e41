// The terminal display over ncursesw: draws the front window, its log pane,
// the menu bar, drop-downs, dialogs and message boxes, and reads keys and
// mouse clicks, all on the UI thread inside the window system's waits.
//
// Stands in for the handheld's screen and its touch input. Unlike the
// handheld, nothing is drawn by the program itself: the display reads the
// window system's state (titles, children, the edit control's text, the menu
// bar, dialog templates) and repaints from it whenever something changed.
//
// Signals: SIGWINCH only writes a byte to a pipe the UI thread polls, so a
// resize is never lost between a check and the wait. SIGTERM, SIGINT and
// SIGHUP write to a second pipe that a small guard thread reads: it restores
// the terminal and lets the signal end the process, even while the UI thread
// is busy inside a command.
#include "platform/windowing/terminal.h"

#include "platform/kernel/debug.h"
#include "platform/kernel/iocontrol.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <set>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>

namespace plat
{
namespace
{

using namespace term;

// Input that reads as ready but yields nothing this many times in a row
// means the terminal is gone.
constexpr int kMaxEmptyReads = 5;
// How long a restore from another thread waits for a draw in progress.
constexpr auto kRestoreWaitMs = std::chrono::milliseconds(500);

// A lock with a bounded wait, made of a mutex and a condition variable
// (std::timed_mutex's timed wait is invisible to ThreadSanitizer here).
class TimedLock
{
public:
    void lock()
    {
        std::unique_lock<std::mutex> l(mu_);
        cv_.wait(l, [this] { return !held_; });
        held_ = true;
    }
    template <class Rep, class Period> bool try_lock_for(const std::chrono::duration<Rep, Period>& d)
    {
        std::unique_lock<std::mutex> l(mu_);
        if (!cv_.wait_for(l, d, [this] { return !held_; }))
            return false;
        held_ = true;
        return true;
    }
    void unlock()
    {
        {
            std::lock_guard<std::mutex> l(mu_);
            held_ = false;
        }
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool held_ = false;
};

struct PaneCache
{
    std::u16string text;              // bounded copy of the control's tail
    std::vector<std::u32string> rows; // text wrapped to `width`
    std::vector<size_t> starts;       // first code point of each row
    int width = -1;                   // -1: not wrapped yet
    bool stale = true;                // the control changed since the copy
    bool seen = false;                // drawn in this frame
    LogView view;
};

struct Term
{
    // Fixed once open.
    DWORD uiThreadId = 0;
    QueueRef uiQueue;
    SCREEN* screen = nullptr;
    int winchPipe[2] = {-1, -1};
    int fatalPipe[2] = {-1, -1};
    std::thread guard;
    struct sigaction oldWinch = {}, oldInt = {}, oldTerm = {}, oldHup = {};
    bool caughtInt = false, caughtTerm = false, caughtHup = false;

    std::atomic<bool> open{false};     // drawing allowed
    std::atomic<bool> restored{false}; // the terminal was given back
    TimedLock screenMu;                // every ncurses call
    std::atomic<int> cols{80};
    std::atomic<int> rows{24};

    // Shared with other threads, under mu.
    std::mutex mu;
    std::vector<BoxRef> boxes; // shown and not closed, in order
    std::set<HWND> textChanged;
    bool dirty = true;

    // UI thread only.
    std::map<HWND, PaneCache> panes;
    UiState ui;
    ScreenLayout layout;
    BoxRef topBox;
    Clock::time_point lastDraw{};
    int emptyReads = 0;
    bool inputGone = false;
};

std::atomic<Term*> g_term{nullptr}; // never freed: hooks and late threads may still look
thread_local bool t_isUi = false;
std::atomic<bool> g_hooksInstalled{false};

// ---------------------------------------------------------------------------
// Restoring the terminal (any thread)
// ---------------------------------------------------------------------------
void restore_terminal()
{
    Term* t = g_term;
    if (t == nullptr || t->restored.exchange(true))
        return;
    std::unique_lock<TimedLock> lock(t->screenMu, std::defer_lock);
    (void)lock.try_lock_for(kRestoreWaitMs); // a stuck draw must not keep the terminal broken
    t->open.store(false);
    if (t->screen != nullptr)
    {
        set_term(t->screen);
        endwin();
    }
    debug_set_screen_active(false);
}

void on_device_down()
{
    restore_terminal();
}

void on_exit_restore()
{
    restore_terminal();
}

// ---------------------------------------------------------------------------
// Signals
// ---------------------------------------------------------------------------
void on_winch(int)
{
    int saved = errno;
    Term* t = g_term.load();
    if (t != nullptr)
    {
        char b = 'w';
        ssize_t r = write(t->winchPipe[1], &b, 1); // a full pipe already says "resized"
        (void)r;
    }
    errno = saved;
}

void on_fatal(int sig)
{
    int saved = errno;
    Term* t = g_term.load();
    if (t != nullptr)
    {
        unsigned char b = (unsigned char)sig;
        ssize_t r = write(t->fatalPipe[1], &b, 1);
        (void)r;
    }
    errno = saved;
}

void guard_main(Term* t)
{
    for (;;)
    {
        unsigned char b = 0;
        ssize_t r = read(t->fatalPipe[0], &b, 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || b == 0)
            return; // closed normally
        restore_terminal();
        int sig = b;
        signal(sig, SIG_DFL);
        raise(sig);
        _exit(128 + sig); // the signal was blocked here: still end as it asked
    }
}

// Installs handler for sig unless the process was told to ignore it.
bool catch_signal(int sig, void (*handler)(int), struct sigaction* old)
{
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    struct sigaction prev = {};
    sigaction(sig, nullptr, &prev);
    if (prev.sa_handler == SIG_IGN && sig != SIGWINCH)
        return false;
    sigaction(sig, &sa, old);
    return true;
}

bool make_pipe(int fds[2])
{
    return pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0;
}

// ---------------------------------------------------------------------------
// Window events and boxes (any thread)
// ---------------------------------------------------------------------------
void wake_ui(Term* t)
{
    if (!t_isUi)
        queue_wake(t->uiQueue);
}

void mark_dirty(HWND textOf = nullptr)
{
    Term* t = g_term;
    if (t == nullptr || !t->open.load())
        return;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        t->dirty = true;
        if (textOf != nullptr)
            t->textChanged.insert(textOf);
    }
    wake_ui(t);
}

void on_created(HWND)
{
    mark_dirty();
}

void on_destroyed(HWND)
{
    mark_dirty();
}

void on_changed(HWND hwnd, unsigned what)
{
    mark_dirty((what & kChangeText) ? hwnd : nullptr);
}

void term_show_box(const BoxRef& box)
{
    Term* t = g_term;
    if (t == nullptr || !t->open.load())
    {
        box_answer(box, IDOK); // no screen to ask on
        return;
    }
    {
        std::lock_guard<std::mutex> lock(t->mu);
        t->boxes.push_back(box);
        t->dirty = true;
    }
    wake_ui(t);
}

void term_box_closed(const BoxRef& box)
{
    Term* t = g_term;
    if (t == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        t->boxes.erase(std::remove(t->boxes.begin(), t->boxes.end(), box), t->boxes.end());
        t->dirty = true;
    }
    wake_ui(t);
}

void term_screen_size(int* width, int* height)
{
    Term* t = g_term;
    if (t == nullptr)
        return;
    client_size(t->cols.load(), t->rows.load(), width, height);
}

// ---------------------------------------------------------------------------
// Drawing helpers (UI thread, screen lock held)
// ---------------------------------------------------------------------------
void put_text(int y, int x, std::u32string_view text, int maxCells)
{
    Term* t = g_term;
    if (y < 0 || y >= t->rows.load() || x < 0 || maxCells <= 0)
        return;
    maxCells = std::min(maxCells, t->cols.load() - x);
    std::wstring ws;
    int used = 0;
    for (char32_t c : text)
    {
        int w = cell_width(c);
        if (used + w > maxCells)
            break;
        ws.push_back((wchar_t)c);
        used += w;
    }
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
    else
    {
        hint = U"F1 Menu";
        if (t->ui.titleOk)
            hint += U"  F10 OK";
        hint += U" ";
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

void draw_dialog(const DialogLayout& d)
{
    fill(d.frame, A_NORMAL);
    frame(d.frame);
    attron(A_BOLD);
    put_text(d.frame.y, d.frame.x + 2, U" " + d.caption + U" ", d.frame.w - 4);
    attroff(A_BOLD);
    if (d.ok.w > 0)
    {
        attron(A_REVERSE);
        put_text(d.ok.y, d.ok.x, U"[OK]", 4);
        attroff(A_REVERSE);
    }
    for (auto& tv : d.texts)
        for (size_t i = 0; i < tv.lines.size(); i++)
            put_text(tv.y + (int)i, tv.x, tv.lines[i], tv.w);
}

void draw_box(const BoxLayout& b)
{
    fill(b.frame, A_NORMAL);
    frame(b.frame);
    if (!b.caption.empty())
    {
        attron(A_BOLD);
        int cw = text_cells(b.caption) + 2;
        put_text(b.frame.y, b.frame.x + std::max(1, (b.frame.w - cw) / 2), U" " + b.caption + U" ", b.frame.w - 2);
        attroff(A_BOLD);
    }
    for (size_t i = 0; i < b.lines.size(); i++)
        put_text(b.frame.y + 1 + (int)i, b.frame.x + 2, b.lines[i], b.frame.w - 4);
    attron(A_REVERSE);
    put_text(b.ok.y, b.ok.x, U"[OK]", 4);
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

    // Which windows are up.
    std::vector<HWND> all = window_list();
    std::vector<WindowInfo> infos;
    infos.reserve(all.size());
    HWND front = nullptr;
    HWND fg = strip_flag(foreground_window());
    std::vector<HWND> dialogs;
    for (HWND h : all)
    {
        WindowInfo wi;
        if (!window_info(h, &wi))
            continue;
        infos.push_back(wi);
        if (wi.child || !wi.visible)
            continue;
        if (wstr_iequal(wi.className, kMenuBarClass))
            continue;
        if (wstr_iequal(wi.className, kDialogClass))
        {
            dialogs.push_back(h);
            continue;
        }
        if (front == nullptr || h == fg || front != fg)
            front = h;
    }

    UiState& ui = t->ui;
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

    t->layout = layout_screen(cols, rows, ui.titleOk, ui.buttons, ui.openButton);

    // Paint.
    for (auto& kv : t->panes)
        kv.second.seen = false;
    ui.pane = nullptr;
    erase();
    draw_title(front ? window_text(front) : std::u16string());
    if (front != nullptr)
    {
        HWND focus = focus_window();
        for (const WindowInfo& wi : infos)
        {
            if (!wi.child || wi.parent != front || !wi.visible)
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
    draw_menubar(ui.pane);
    draw_popup();
    if (ui.dialog != nullptr)
        draw_dialog(ui.dialogLayout);
    for (const BoxRef& b : boxes)
    {
        BoxLayout bl = layout_box(b->caption, b->text, cols, rows);
        draw_box(bl);
        if (b == t->topBox)
            ui.boxLayout = bl;
    }
    wnoutrefresh(stdscr);
    doupdate();
    t->lastDraw = Clock::now();
}

// ---------------------------------------------------------------------------
// Input (UI thread)
// ---------------------------------------------------------------------------
struct InputEvent
{
    bool mouse;
    Key key;
    Mouse what;
    int x, y;
};

bool function_key(int code, Key* k)
{
    switch (code)
    {
        case KEY_UP:
            k->kind = KeyKind::Up;
            return true;
        case KEY_DOWN:
            k->kind = KeyKind::Down;
            return true;
        case KEY_LEFT:
            k->kind = KeyKind::Left;
            return true;
        case KEY_RIGHT:
            k->kind = KeyKind::Right;
            return true;
        case KEY_PPAGE:
            k->kind = KeyKind::PageUp;
            return true;
        case KEY_NPAGE:
            k->kind = KeyKind::PageDown;
            return true;
        case KEY_HOME:
        case KEY_FIND:
            k->kind = KeyKind::Home;
            return true;
        case KEY_END:
        case KEY_SELECT:
            k->kind = KeyKind::End;
            return true;
        case KEY_ENTER:
            k->kind = KeyKind::Enter;
            return true;
        case KEY_BACKSPACE:
            k->kind = KeyKind::Backspace;
            return true;
        case KEY_BTAB:
            k->kind = KeyKind::Tab;
            k->mods = kModShift;
            return true;
        default:
            break;
    }
    if (code >= KEY_F(1) && code <= KEY_F(24))
    {
        k->kind = KeyKind::Function;
        k->fn = code - KEY_F(0);
        return true;
    }
    return false;
}

Key char_key(wint_t wc)
{
    Key k{KeyKind::Char};
    switch (wc)
    {
        case L'\r':
        case L'\n':
            k.kind = KeyKind::Enter;
            return k;
        case L'\t':
            k.kind = KeyKind::Tab;
            return k;
        case 8:
        case 127:
            k.kind = KeyKind::Backspace;
            return k;
        case 27:
            k.kind = KeyKind::Escape;
            return k;
        default:
            break;
    }
    k.ch = (char32_t)wc;
    if (wc < 0x20)
        k.mods = kModCtrl;
    return k;
}

// Reads everything the terminal has sent; returns whether anything came.
bool read_input(std::vector<InputEvent>& out, bool* resized)
{
    bool any = false;
    for (;;)
    {
        wint_t wc = 0;
        int r = get_wch(&wc);
        if (r == ERR)
            break;
        any = true;
        if (r == KEY_CODE_YES)
        {
            if (wc == KEY_RESIZE)
            {
                *resized = true;
                continue;
            }
            if (wc == KEY_MOUSE)
            {
                MEVENT ev;
                if (getmouse(&ev) != OK)
                    continue;
                InputEvent e{true, Key{KeyKind::Char}, Mouse::Press, ev.x, ev.y};
                if (ev.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED))
                    e.what = Mouse::Press;
                else if (ev.bstate & BUTTON4_PRESSED)
                    e.what = Mouse::WheelUp;
#ifdef BUTTON5_PRESSED
                else if (ev.bstate & BUTTON5_PRESSED)
                    e.what = Mouse::WheelDown;
#endif
                else
                    continue;
                out.push_back(e);
                continue;
            }
            Key k{KeyKind::Char};
            if (function_key((int)wc, &k))
                out.push_back(InputEvent{false, k, Mouse::Press, 0, 0});
            continue;
        }
        if (wc == 27)
        {
            // Esc followed at once by a character is Alt with that character.
            wint_t next = 0;
            int r2 = get_wch(&next);
            if (r2 == OK && next != 27)
            {
                Key k = char_key(next);
                if (k.kind == KeyKind::Char)
                {
                    k.mods |= kModAlt;
                    out.push_back(InputEvent{false, k, Mouse::Press, 0, 0});
                    continue;
                }
                out.push_back(InputEvent{false, char_key(27), Mouse::Press, 0, 0});
                out.push_back(InputEvent{false, k, Mouse::Press, 0, 0});
                continue;
            }
            out.push_back(InputEvent{false, char_key(27), Mouse::Press, 0, 0});
            if (r2 == OK)
                out.push_back(InputEvent{false, char_key(27), Mouse::Press, 0, 0});
            else if (r2 == KEY_CODE_YES)
            {
                Key k{KeyKind::Char};
                if (function_key((int)next, &k))
                    out.push_back(InputEvent{false, k, Mouse::Press, 0, 0});
            }
            continue;
        }
        out.push_back(InputEvent{false, char_key(wc), Mouse::Press, 0, 0});
    }
    return any;
}

// Full-screen windows of the UI thread take the new client size; their
// WM_SIZE lays their children out again.
void relayout_windows(int oldW, int oldH)
{
    Term* t = g_term;
    int w = 0, h = 0;
    client_size(t->cols.load(), t->rows.load(), &w, &h);
    for (HWND hwnd : window_list())
    {
        WindowInfo wi;
        if (!window_info(hwnd, &wi) || wi.child || wi.threadId != t->uiThreadId)
            continue;
        if (wstr_iequal(wi.className, kMenuBarClass) || wstr_iequal(wi.className, kDialogClass))
            continue;
        bool full = window_is_full_screen(hwnd) ||
                    (wi.rect.left == 0 && wi.rect.top == 0 && wi.rect.right == oldW && wi.rect.bottom == oldH);
        if (full)
            SetWindowPos(hwnd, nullptr, 0, 0, w, h, SWP_NOZORDER | SWP_NOMOVE);
    }
}

// ---------------------------------------------------------------------------
// DisplayOps
// ---------------------------------------------------------------------------
int term_prepare_wait(struct pollfd* fds, int max, Clock::time_point* deadline)
{
    Term* t = g_term;
    if (!t_isUi || t == nullptr || !t->open.load() || max < 2)
        return 0;
    bool dirty;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        dirty = t->dirty;
    }
    if (dirty)
    {
        auto due = t->lastDraw + std::chrono::milliseconds(kFrameMs);
        if (Clock::now() >= due)
        {
            std::lock_guard<TimedLock> lock(t->screenMu);
            if (t->open.load())
                draw_frame();
        }
        else if (due < *deadline)
            *deadline = due;
    }
    int n = 0;
    if (!t->inputGone)
        fds[n++] = pollfd{STDIN_FILENO, POLLIN, 0};
    else
        fds[n++] = pollfd{-1, 0, 0}; // keeps the slots where after_wait expects them
    fds[n++] = pollfd{t->winchPipe[0], POLLIN, 0};
    return n;
}

void term_after_wait(const struct pollfd* fds, int n)
{
    Term* t = g_term;
    if (!t_isUi || t == nullptr || !t->open.load() || n < 2)
        return;
    bool resized = false;
    if (fds[1].revents & POLLIN)
    {
        char buf[64];
        while (read(t->winchPipe[0], buf, sizeof buf) > 0)
        {
        }
        resized = true;
    }
    std::vector<InputEvent> events;
    bool hangup = false;
    short in = fds[0].revents;
    {
        std::lock_guard<TimedLock> lock(t->screenMu);
        if (!t->open.load())
            return;
        if (in & POLLIN)
        {
            if (read_input(events, &resized))
                t->emptyReads = 0;
            else if (++t->emptyReads >= kMaxEmptyReads)
                hangup = true;
        }
        if (in & (POLLHUP | POLLERR | POLLNVAL))
            hangup = true;
        // Keys go where things are now, not where they were at the last
        // frame: a box answered elsewhere must not swallow the next key.
        if (!events.empty())
        {
            bool dirty;
            {
                std::lock_guard<std::mutex> l(t->mu);
                dirty = t->dirty;
            }
            if (dirty)
                draw_frame();
        }
        if (resized)
        {
            struct winsize ws = {};
            if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
                resize_term(ws.ws_row, ws.ws_col);
        }
    }
    if (hangup)
    {
        // The person's terminal is gone: end as a hang-up would, unless
        // hang-ups are ignored (nohup); then run on without a screen, and
        // boxes from now on are answered OK at once.
        t->inputGone = true;
        if (t->caughtHup)
        {
            unsigned char b = SIGHUP;
            ssize_t r = write(t->fatalPipe[1], &b, 1);
            (void)r;
        }
        else
        {
            restore_terminal();
            std::vector<BoxRef> up;
            {
                std::lock_guard<std::mutex> lock(t->mu);
                up.swap(t->boxes);
            }
            for (const BoxRef& b : up)
                box_answer(b, IDOK); // nobody is left to answer them
        }
        return;
    }
    if (resized)
    {
        int oldW = 0, oldH = 0;
        client_size(t->cols.load(), t->rows.load(), &oldW, &oldH);
        {
            std::lock_guard<TimedLock> lock(t->screenMu);
            t->cols.store(COLS);
            t->rows.store(LINES);
            t->layout = layout_screen(COLS, LINES, t->ui.titleOk, t->ui.buttons, t->ui.openButton);
            clearok(curscr, TRUE);
        }
        relayout_windows(oldW, oldH);
        mark_dirty();
    }

    std::vector<Action> actions;
    for (const InputEvent& e : events)
    {
        auto a = e.mouse ? handle_mouse(t->ui, t->layout, e.what, e.x, e.y) : handle_key(t->ui, t->layout, e.key);
        actions.insert(actions.end(), a.begin(), a.end());
        // Later events of the same read see the new menu state.
        t->layout = layout_screen(t->cols.load(), t->rows.load(), t->ui.titleOk, t->ui.buttons, t->ui.openButton);
    }
    // Program code runs from here on: no display lock is held.
    for (const Action& a : actions)
    {
        switch (a.kind)
        {
            case Action::Command:
                if (a.target != nullptr)
                    send_command(a.target, a.id);
                break;
            case Action::InputKey:
                input_key(a.vk, a.mods, a.ch);
                break;
            case Action::AnswerBox:
                if (t->topBox)
                    box_answer(t->topBox, a.id);
                break;
            case Action::Redraw:
                break;
        }
    }
    if (!events.empty())
        mark_dirty();
}

const DisplayOps kTerminalOps = {
    "terminal",        {on_created, on_destroyed, on_changed},
    term_show_box,     term_box_closed,
    term_prepare_wait, term_after_wait,
    term_screen_size,
};

bool utf8_locale()
{
    const char* cs = nl_langinfo(CODESET);
    return cs != nullptr && (strcmp(cs, "UTF-8") == 0 || strcmp(cs, "utf8") == 0);
}

} // namespace

const DisplayOps* terminal_display_open(std::string* error)
{
    auto fail = [&](const std::string& why) -> const DisplayOps*
    {
        if (error)
            *error = why;
        return nullptr;
    };
    if (g_term.load() != nullptr && g_term.load()->open.load())
        return fail("the terminal display is already open");
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
        return fail("the terminal display needs a terminal on stdin and stdout");
    const char* termName = getenv("TERM");
    if (termName == nullptr || *termName == 0)
        return fail("TERM is not set");

    // An unknown type is refused before newterm, which keeps some memory
    // when it fails.
    if (!terminal_type_known(termName, STDOUT_FILENO))
        return fail(std::string("cannot use terminal type '") + termName + "'");

    // The window texts are Unicode: draw them in a UTF-8 locale, the user's
    // own if it is one.
    setlocale(LC_ALL, "");
    if (!utf8_locale())
        setlocale(LC_CTYPE, "C.UTF-8");

    // An earlier display's record stays reachable: late threads may look.
    static std::vector<Term*>* retired = new std::vector<Term*>();
    if (Term* old = g_term.load())
        retired->push_back(old);
    Term* t = new Term();
    if (!make_pipe(t->winchPipe) || !make_pipe(t->fatalPipe))
        return fail(std::string("cannot make the display's signal pipes: ") + strerror(errno));
    // The guard thread blocks on its pipe.
    fcntl(t->fatalPipe[0], F_SETFL, fcntl(t->fatalPipe[0], F_GETFL) & ~O_NONBLOCK);

    g_term = t; // the handlers below look for their pipes here

    // Our handlers go in before newterm, so ncurses keeps its own out.
    catch_signal(SIGWINCH, on_winch, &t->oldWinch);
    t->caughtInt = catch_signal(SIGINT, on_fatal, &t->oldInt);
    t->caughtTerm = catch_signal(SIGTERM, on_fatal, &t->oldTerm);
    t->caughtHup = catch_signal(SIGHUP, on_fatal, &t->oldHup);

    SCREEN* s = newterm(nullptr, stdout, stdin);
    if (s == nullptr)
    {
        sigaction(SIGWINCH, &t->oldWinch, nullptr);
        if (t->caughtInt)
            sigaction(SIGINT, &t->oldInt, nullptr);
        if (t->caughtTerm)
            sigaction(SIGTERM, &t->oldTerm, nullptr);
        if (t->caughtHup)
            sigaction(SIGHUP, &t->oldHup, nullptr);
        return fail(std::string("cannot use terminal type '") + termName + "'");
    }
    set_term(s);
    t->screen = s;
    raw(); // Ctrl+Q, Ctrl+S and Ctrl+C arrive as keys
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON4_PRESSED
#ifdef BUTTON5_PRESSED
                  | BUTTON5_PRESSED
#endif
              ,
              nullptr);
    mouseinterval(0); // a press acts at once
    t->cols.store(COLS);
    t->rows.store(LINES);

    t->uiThreadId = GetCurrentThreadId();
    t->uiQueue = current_queue();
    t_isUi = true;
    t->open.store(true);
    debug_set_screen_active(true);
    t->guard = std::thread(guard_main, t);

    if (!g_hooksInstalled.exchange(true))
    {
        at_device_down(on_device_down);
        atexit(on_exit_restore);
    }
    return &kTerminalOps;
}

void terminal_display_close()
{
    Term* t = g_term;
    if (t == nullptr || t->restored.load())
    {
        if (t != nullptr && t->guard.joinable())
        {
            unsigned char b = 0;
            ssize_t r = write(t->fatalPipe[1], &b, 1);
            (void)r;
            t->guard.join();
        }
        return;
    }
    if (&display_current() == &kTerminalOps)
        display_set(nullptr);
    restore_terminal();
    sigaction(SIGWINCH, &t->oldWinch, nullptr);
    if (t->caughtInt)
        sigaction(SIGINT, &t->oldInt, nullptr);
    if (t->caughtTerm)
        sigaction(SIGTERM, &t->oldTerm, nullptr);
    if (t->caughtHup)
        sigaction(SIGHUP, &t->oldHup, nullptr);
    unsigned char b = 0;
    ssize_t r = write(t->fatalPipe[1], &b, 1);
    (void)r;
    if (t->guard.joinable())
        t->guard.join();
    // The pipes stay open: a handler still running elsewhere must not write
    // into a descriptor that was handed out again.
    if (t->screen != nullptr)
    {
        std::lock_guard<TimedLock> lock(t->screenMu);
        delscreen(t->screen);
        t->screen = nullptr;
    }
    t_isUi = false;
}

} // namespace plat
