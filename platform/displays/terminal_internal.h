// The terminal display's state, shared by its rooms:
//   terminal.cpp        opening and restoring the terminal, signals, window
//                       events and boxes, and the display's wait hooks, which
//                       read the input and carry out what it asks for
//   terminal_draw.cpp   drawing a frame: title bar, panes, menu bar,
//                       drop-down, dialogs and boxes
//   terminal_keys.cpp   turning what ncurses reads into keys and mouse events
//   terminal_model.cpp, terminal_text.cpp   the logic that needs no terminal
//
// Only the UI thread calls ncurses, and only with screenMu held.
//
// Only the terminal display's own files include this header.
#pragma once

#include "platform/displays/terminal.h"
#include "platform/windowing/window.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#ifndef NCURSES_WIDECHAR
#define NCURSES_WIDECHAR 1
#endif
#include <curses.h>

namespace plat
{
namespace tui
{

using namespace term;

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
    BoxRef focusBox; // the box whose focus ui.boxLayout keeps
    Clock::time_point lastDraw{};
    int emptyReads = 0;
    bool inputGone = false;
};

extern std::atomic<Term*> g_term; // never freed: hooks and late threads may still look

// ---------------------------------------------------------------------------
// Drawing (terminal_draw.cpp; UI thread, screen lock held)
// ---------------------------------------------------------------------------
// Draws the whole screen from the window system's state and brings t->ui and
// t->layout up to date with what is shown.
void draw_frame();

// ---------------------------------------------------------------------------
// Input (terminal_keys.cpp; UI thread, screen lock held)
// ---------------------------------------------------------------------------
struct InputEvent
{
    bool mouse;
    Key key;
    Mouse what;
    int x, y;
};

// Reads everything the terminal has sent; returns whether anything came.
// KEY_RESIZE sets *resized instead of making an event.
bool read_input(std::vector<InputEvent>& out, bool* resized);

} // namespace tui
} // namespace plat
