// The terminal display over ncursesw: opens and restores the terminal, hears
// of window changes and boxes from any thread, and in the window system's
// waits draws (terminal_draw.cpp) and reads the keys and mouse clicks
// (terminal_keys.cpp), then carries out what the input asks for.
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
#include "platform/displays/terminal_internal.h"

#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/status_line.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <fcntl.h>
#include <langinfo.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace plat
{
namespace tui
{
std::atomic<Term*> g_term{nullptr};
} // namespace tui

namespace
{

using namespace tui;

// Input that reads as ready but yields nothing this many times in a row
// means the terminal is gone.
constexpr int kMaxEmptyReads = 5;
// How long a restore from another thread waits for a draw in progress.
constexpr auto kRestoreWaitMs = std::chrono::milliseconds(500);

thread_local bool t_isUi = false;
std::atomic<bool> g_hooksInstalled{false};
std::atomic<bool (*)(int)> g_stopHook{nullptr};

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
// One byte into one of the display's pipes (also from a signal handler). A
// full pipe already says what the byte would.
void pipe_byte(int fd, unsigned char b)
{
    ssize_t r = write(fd, &b, 1);
    (void)r;
}

void on_winch(int)
{
    int saved = errno;
    if (Term* t = g_term.load())
        pipe_byte(t->winchPipe[1], 'w');
    errno = saved;
}

void on_fatal(int sig)
{
    int saved = errno;
    if (Term* t = g_term.load())
        pipe_byte(t->fatalPipe[1], (unsigned char)sig);
    errno = saved;
}

// The first stopping signal goes to the stop hook, which may take it (a run
// is stopped and the process ended along the way every display shares); a
// signal it leaves, or a second one, restores the terminal and ends the
// process at once.
void guard_main(Term* t)
{
    bool handedOver = false;
    for (;;)
    {
        unsigned char b = 0;
        ssize_t r = read(t->fatalPipe[0], &b, 1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || b == 0)
            return; // closed normally
        bool (*hook)(int) = g_stopHook.load();
        if (!handedOver && hook != nullptr && hook(b))
        {
            handedOver = true;
            continue;
        }
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

// Installs the display's handlers before newterm, so ncurses keeps its own
// out.
void catch_signals(Term* t)
{
    catch_signal(SIGWINCH, on_winch, &t->oldWinch);
    t->caughtInt = catch_signal(SIGINT, on_fatal, &t->oldInt);
    t->caughtTerm = catch_signal(SIGTERM, on_fatal, &t->oldTerm);
    t->caughtHup = catch_signal(SIGHUP, on_fatal, &t->oldHup);
}

void release_signals(Term* t)
{
    sigaction(SIGWINCH, &t->oldWinch, nullptr);
    if (t->caughtInt)
        sigaction(SIGINT, &t->oldInt, nullptr);
    if (t->caughtTerm)
        sigaction(SIGTERM, &t->oldTerm, nullptr);
    if (t->caughtHup)
        sigaction(SIGHUP, &t->oldHup, nullptr);
}

// A 0 byte tells the guard thread to end.
void stop_guard(Term* t)
{
    pipe_byte(t->fatalPipe[1], 0);
    if (t->guard.joinable())
        t->guard.join();
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
        box_answer(box, box_default_answer(box->type)); // no screen to ask on
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
// Layout and resize (UI thread)
// ---------------------------------------------------------------------------
// The screen's rectangles for the current menu state.
void relayout(Term* t)
{
    t->layout = layout_screen(t->cols.load(), t->rows.load(), t->ui.titleOk, t->ui.buttons, t->ui.openButton);
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

// Screen lock held: ncurses learns the terminal's new size.
void resize_curses()
{
    struct winsize ws = {};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0)
        resize_term(ws.ws_row, ws.ws_col);
}

// The display takes the size ncurses now has and the windows follow it.
void on_resize(Term* t)
{
    int oldW = 0, oldH = 0;
    client_size(t->cols.load(), t->rows.load(), &oldW, &oldH);
    {
        std::lock_guard<TimedLock> lock(t->screenMu);
        t->cols.store(COLS);
        t->rows.store(LINES);
        relayout(t);
        clearok(curscr, TRUE);
    }
    relayout_windows(oldW, oldH);
    mark_dirty();
}

// ---------------------------------------------------------------------------
// Hang-up (UI thread)
// ---------------------------------------------------------------------------
// Modal boxes with nobody left to answer them get their default answer.
void answer_all_boxes(Term* t)
{
    std::vector<BoxRef> up;
    {
        std::lock_guard<std::mutex> lock(t->mu);
        up.swap(t->boxes);
    }
    for (const BoxRef& b : up)
        box_answer(b, box_default_answer(b->type));
}

// The person's terminal is gone: end as a hang-up would, unless hang-ups are
// ignored (nohup); then run on without a screen, and boxes from now on are
// answered OK at once.
void on_hangup(Term* t)
{
    t->inputGone = true;
    if (t->caughtHup)
    {
        pipe_byte(t->fatalPipe[1], SIGHUP);
        return;
    }
    restore_terminal();
    answer_all_boxes(t);
}

// ---------------------------------------------------------------------------
// Input (UI thread)
// ---------------------------------------------------------------------------
// What one wake-up brought.
struct InputTurn
{
    std::vector<InputEvent> events; // keys and mouse events, in order
    bool resized = false;           // SIGWINCH or KEY_RESIZE
    bool hangup = false;            // the terminal is gone
};

// The resize signal's pipe, drained.
bool take_resize_signal(Term* t, const struct pollfd& winch)
{
    if (!(winch.revents & POLLIN))
        return false;
    char buf[64];
    while (read(t->winchPipe[0], buf, sizeof buf) > 0)
    {
    }
    return true;
}

// Reads the terminal under the screen lock; false when the display closed
// meanwhile.
bool read_terminal(Term* t, short revents, InputTurn* in)
{
    std::lock_guard<TimedLock> lock(t->screenMu);
    if (!t->open.load())
        return false;
    if (revents & POLLIN)
    {
        if (read_input(in->events, &in->resized))
            t->emptyReads = 0;
        else if (++t->emptyReads >= kMaxEmptyReads)
            in->hangup = true;
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        in->hangup = true;
    // Keys go where things are now, not where they were at the last frame: a
    // box answered elsewhere must not swallow the next key.
    if (!in->events.empty())
    {
        bool dirty;
        {
            std::lock_guard<std::mutex> l(t->mu);
            dirty = t->dirty;
        }
        if (dirty)
            draw_frame();
    }
    if (in->resized)
        resize_curses();
    return true;
}

// Keys and mouse events become actions. Each event sees the menu state the
// one before left: a key that opened the drop-down routes the next into it.
std::vector<Action> route_input(Term* t, const std::vector<InputEvent>& events)
{
    std::vector<Action> actions;
    for (const InputEvent& e : events)
    {
        auto a = e.mouse ? handle_mouse(t->ui, t->layout, e.what, e.x, e.y) : handle_key(t->ui, t->layout, e.key);
        actions.insert(actions.end(), a.begin(), a.end());
        relayout(t);
    }
    return actions;
}

// A menu pick or a button's command, a key for the program, or the answer to
// the box on top. Program code runs here: no display lock is held.
void carry_out(Term* t, const Action& a)
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
        if (status_needs_polling())
        {
            // The bridge's byte counts change without a message.
            auto due = t->lastDraw + std::chrono::milliseconds(kStatusPollMs);
            if (Clock::now() >= due)
                t->dirty = true;
            else if (due < *deadline)
                *deadline = due;
        }
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
    InputTurn in;
    in.resized = take_resize_signal(t, fds[1]);
    if (!read_terminal(t, fds[0].revents, &in))
        return;
    if (in.hangup)
    {
        on_hangup(t);
        return;
    }
    if (in.resized)
        on_resize(t);
    for (const Action& a : route_input(t, in.events))
        carry_out(t, a);
    if (!in.events.empty())
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

bool fail_why(std::string* why, std::string reason)
{
    *why = std::move(reason);
    return false;
}

// Whether the display can open here: a terminal on stdin and stdout whose
// type terminfo knows. *termName gets the type.
bool check_terminal(const char** termName, std::string* why)
{
    if (g_term.load() != nullptr && g_term.load()->open.load())
        return fail_why(why, "the terminal display is already open");
    if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO))
        return fail_why(why, "the terminal display needs a terminal on stdin and stdout");
    *termName = getenv("TERM");
    if (*termName == nullptr || **termName == 0)
        return fail_why(why, "TERM is not set");
    // An unknown type is refused before newterm, which keeps some memory
    // when it fails.
    bool addressable = false;
    if (!terminal_type_known(*termName, STDOUT_FILENO, &addressable))
        return fail_why(why, std::string("cannot use terminal type '") + *termName + "'");
    if (!addressable)
        return fail_why(why, std::string("terminal type '") + *termName +
                                 "' cannot place the cursor, so the window cannot be drawn (a screen terminal "
                                 "such as xterm can)");
    return true;
}

// The window texts are Unicode: draw them in a UTF-8 locale, the user's own
// if it is one.
void use_utf8_locale()
{
    setlocale(LC_ALL, "");
    if (!utf8_locale())
        setlocale(LC_CTYPE, "C.UTF-8");
}

// A new display record with its signal pipes. An earlier display's record
// stays reachable: late threads may look.
Term* new_term(std::string* why)
{
    static std::vector<Term*>* retired = new std::vector<Term*>();
    if (Term* old = g_term.load())
        retired->push_back(old);
    Term* t = new Term();
    if (!make_pipe(t->winchPipe) || !make_pipe(t->fatalPipe))
    {
        *why = std::string("cannot make the display's signal pipes: ") + strerror(errno);
        return nullptr;
    }
    // The guard thread blocks on its pipe.
    fcntl(t->fatalPipe[0], F_SETFL, fcntl(t->fatalPipe[0], F_GETFL) & ~O_NONBLOCK);
    return t;
}

// ncurses set up the way the display reads and draws.
void start_curses(Term* t, SCREEN* s)
{
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
    const char* termName = nullptr;
    std::string why;
    if (!check_terminal(&termName, &why))
        return fail(why);
    use_utf8_locale();
    Term* t = new_term(&why);
    if (t == nullptr)
        return fail(why);
    g_term = t; // the handlers below look for their pipes here
    catch_signals(t);
    SCREEN* s = newterm(nullptr, stdout, stdin);
    if (s == nullptr)
    {
        release_signals(t);
        return fail(std::string("cannot use terminal type '") + termName + "'");
    }
    start_curses(t, s);

    t->uiThreadId = GetCurrentThreadId();
    t->uiQueue = current_queue();
    t_isUi = true;
    t->open.store(true);
    debug_set_screen_active(true);
    t->guard = std::thread(guard_main, t);
    status_set_listener([] { mark_dirty(); });

    if (!g_hooksInstalled.exchange(true))
    {
        at_device_down(on_device_down);
        atexit(on_exit_restore);
    }
    return &kTerminalOps;
}

void terminal_set_stop_hook(bool (*hook)(int sig))
{
    g_stopHook.store(hook);
}

void terminal_display_close()
{
    Term* t = g_term;
    if (t == nullptr || t->restored.load())
    {
        if (t != nullptr && t->guard.joinable())
            stop_guard(t);
        return;
    }
    if (&display_current() == &kTerminalOps)
        display_set(nullptr);
    restore_terminal();
    release_signals(t);
    stop_guard(t);
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
