// The platform's window system, as seen from inside the platform.
//
// window.cpp, window_queue.cpp and window_timer_geometry.cpp offer the Win32
// window and message calls of win32.h: classes, windows in a
// generation-checked table (an HWND is never handed out twice while the
// program runs, never 0, and always has its lowest bit clear, so that
// "hwnd | 1" can carry a flag), one message queue per thread, SendMessageW
// across threads, posted messages, timers and the read-only "edit" control
// (edit.cpp). This header adds what the rest of the platform needs:
//   - a window observer, through which a display learns of windows created,
//     destroyed and changed;
//   - read access to a window's state and text for the displays;
//   - the pieces of a modal loop (message boxes, dialogs);
//   - the per-thread queue handle that boxes use to wake their waiting thread.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/kernel/core.h"
#include "platform/win32.h"

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace plat
{

// ---------------------------------------------------------------------------
// The edit control's bound
// ---------------------------------------------------------------------------
// A control holds at most kEditMaxUnits of text. When an insertion passes the
// bound, the oldest whole lines go until at most kEditTrimUnits remain, so a
// pane fed without end keeps a flat footprint and trims only now and then.
constexpr size_t kEditMaxUnits = 256 * 1024;
constexpr size_t kEditTrimUnits = 192 * 1024;

// Size of a top-level window created with CW_USEDEFAULT when no display says
// otherwise: the handheld's portrait screen.
constexpr int kDefaultScreenWidth = 240;
constexpr int kDefaultScreenHeight = 320;

// Shortest timer period, as on the handheld.
constexpr UINT kTimerMinimumMs = 10;

// SetLastError(error) and a call's failure value (FALSE, 0, null), for the
// window and shell calls' refusals.
template <typename T = BOOL> T fail_with(DWORD error)
{
    SetLastError(error);
    return T{};
}

// ---------------------------------------------------------------------------
// Observer
// ---------------------------------------------------------------------------
// What changed on a window (bits of WindowObserver::changed).
enum WindowChange : unsigned
{
    kChangeText = 1u << 0,       // title, or the edit control's contents or selection
    kChangeGeometry = 1u << 1,   // position or size
    kChangeVisibility = 1u << 2, // ShowWindow
    kChangeFocus = 1u << 3,      // gained or lost the keyboard focus
    kChangePaint = 1u << 4,      // UpdateWindow: draw it now
    kChangeForeground = 1u << 5, // SetForegroundWindow brought it to the front
};

// Called on the thread that made the change, with no platform lock held.
// Any member may be null. created comes before WM_CREATE; destroyed comes
// after the last message the window gets. A window whose thread ended is
// destroyed without messages (its procedure cannot run any more) but still
// reported.
struct WindowObserver
{
    void (*created)(HWND hwnd);
    void (*destroyed)(HWND hwnd);
    void (*changed)(HWND hwnd, unsigned what);
};

// Installs the observer (null: none). The display layer calls this; nobody
// else should.
void window_set_observer(const WindowObserver* observer);

// Reports a change to the observer. Used by the edit control.
void window_notify_changed(HWND hwnd, unsigned what);

// ---------------------------------------------------------------------------
// Reading window state (any thread)
// ---------------------------------------------------------------------------
struct WindowInfo
{
    HWND hwnd;
    HWND parent;   // the parent of a child, the owner of a top-level window, or null
    bool child;    // WS_CHILD
    int id;        // control id of a child; 0 for a top-level window
    DWORD style;   // WS_*, ES_*
    DWORD exStyle; // WS_EX_*
    std::u16string className;
    RECT rect;      // position in the parent's client area (screen for top-level) and size
    bool visible;   // ShowWindow state (WS_VISIBLE)
    DWORD threadId; // owner thread
};

bool window_info(HWND hwnd, WindowInfo* info);
// Live windows in creation order (which is also the drawing order).
std::vector<HWND> window_list();
// The text of a window: an edit control's contents, otherwise its title.
std::u16string window_text(HWND hwnd);
// A title or a dialog item's text as given, or for an integer resource
// (MAKEINTRESOURCEW(id)) the program's string id, empty when it has none: a
// static control can show a string the program supplies (the About box's
// version line). CreateWindowExW and the displays read texts through it.
std::u16string text_or_string(LPCWSTR text);
// The last maxUnits units of an edit control's contents (all of a shorter
// text), so a display can draw the end of a long log without copying it whole.
std::u16string edit_text_tail(HWND hwnd, size_t maxUnits);
// Units of storage the edit control holds reserved (tests watch it stay flat).
size_t edit_storage_units(HWND hwnd);
// The calling thread's keyboard focus.
HWND focus_window();
// The keyboard focus of the thread that owns hwnd (null when hwnd is not a
// window or that thread has none).
HWND window_thread_focus(HWND hwnd);

// Called on the edit control's thread after EM_REPLACESEL put text into it,
// with the text inserted. The headless display writes a log pane's new text
// out through it. One tap at a time; null removes it.
using EditTextTap = void (*)(HWND hwnd, std::u16string_view inserted);
void window_set_edit_tap(EditTextTap tap);

// Called after the observer hears of a new window, on the creating thread.
// The window namespace (instance.cpp) waits on it for a starting program's
// first window.
void window_set_created_tap(void (*tap)(HWND hwnd));

// Test hook for the timers: brings every timer of every thread that owns a
// window ms nearer, as if ms had passed, and wakes those threads. A timer
// that falls due this way fires once, then runs on with its period from now,
// as a late tick does.
void clock_advance(DWORD ms);

// ---------------------------------------------------------------------------
// Queues and modal loops
// ---------------------------------------------------------------------------
// The message queue of one thread. Opaque outside the window system; held by
// shared_ptr so a record that must wake a thread (a reply, a box answer) stays
// valid after that thread has gone. Waking a queue whose thread ended is a
// no-op.
struct MsgQueue;
using QueueRef = std::shared_ptr<MsgQueue>;

QueueRef current_queue();
void queue_wake(const QueueRef& q);

// Handles every message sent to the calling thread's windows by other threads
// and waiting now; returns how many. Modal loops call it while they wait.
size_t pump_sent_messages();

// A call to run on hwnd's thread, queued as a posted message: when that
// thread dispatches it (after every message posted to hwnd before it, also
// inside a modal loop), fn(hwnd, arg) runs there and the window procedure
// never sees it. FALSE as PostMessageW fails. A call whose window or thread
// goes before it is dispatched is dropped, never run. It lets another thread
// learn when what it posted has been handled without blocking on the window.
using PostedCall = void (*)(HWND hwnd, uint64_t arg);
BOOL window_post_call(HWND hwnd, PostedCall fn, uint64_t arg);

// A modal loop on the calling thread: handles sent messages and dispatches
// posted messages and timers of the thread's windows until finished() is
// true. A quit message is left in the queue for the outer loop. Returns false
// when the thread was terminated meanwhile (finished() may still be false).
bool modal_loop(const std::function<bool()>& finished);

// Work to run if the calling thread ends before it is removed again: a box
// shown from a thread that is ended inside a window procedure of its modal
// loop still has to close. Runs at thread exit, on the ending thread.
uint64_t queue_exit_hook_add(std::function<void()> fn);
void queue_exit_hook_remove(uint64_t id);

// ---------------------------------------------------------------------------
// Between the window table and edit.cpp
// ---------------------------------------------------------------------------
// The state of one "edit" control, owned by its window record.
struct EditControl;
std::shared_ptr<EditControl> edit_new();
// The built-in class's window procedure.
LRESULT edit_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The state behind an edit window (null for any other window).
std::shared_ptr<EditControl> edit_of(HWND hwnd);
// WM_GETTEXT's copy: at most units - 1 of text into buffer, then a NUL;
// returns the units copied (0 for no buffer or no room).
LRESULT copy_text_out(std::u16string_view text, WPARAM units, LPWSTR buffer);
// Reading a control's text from any thread.
std::u16string edit_copy_tail(EditControl& edit, size_t maxUnits);
size_t edit_capacity(EditControl& edit);

} // namespace plat
