// Displays: what draws the windows and answers message boxes.
//
// The window system (window*.cpp) keeps windows, queues and texts; a display
// renders them and turns a person's input into messages. One display is
// current at a time, chosen by the process entry:
//   - the headless display (the default, used by tests and automation): draws
//     nothing, records every message box and answers it with its default
//     button (box_default_answer: IDOK, No for a yes/no box), at once or,
//     when a test holds boxes, only when the test dismisses it;
//   - the terminal display: plugs in through DisplayOps below.
//
// MessageBoxW (display.cpp) is modal and callable from any thread, with or
// without an owner. It hands a BoxRequest to the current display and runs a
// modal loop on the calling thread (sent, posted and timer messages of that
// thread's windows keep flowing) until the display answers the box. A thread
// terminated while its box is up leaves MessageBoxW at once with 0, and the
// display is told to take the box down.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/kernel/core.h"
#include "platform/windowing/window.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat
{

// ---------------------------------------------------------------------------
// Message boxes
// ---------------------------------------------------------------------------
// One MessageBoxW in flight. Fields above mu are fixed once shown.
struct BoxRequest
{
    std::u16string text;
    std::u16string caption;
    UINT type = 0; // MB_* as given
    HWND owner = nullptr;
    DWORD threadId = 0; // thread inside MessageBoxW
    QueueRef waiter;    // its queue: woken when the box is answered
    size_t serial = 0;  // 0, 1, 2 ... in the order boxes were shown

    std::mutex mu;
    bool done = false;      // answered or cancelled
    bool cancelled = false; // the waiting thread was terminated
    int result = 0;         // IDOK, IDCANCEL ...; 0 when cancelled
};
using BoxRef = std::shared_ptr<BoxRequest>;

// Answers a box from any thread and wakes the thread waiting on it. Only the
// first answer counts: false when the box was already answered or cancelled.
bool box_answer(const BoxRef& box, int result);
// What a box of this type answers when nobody picks a button (Enter, the
// headless display): its default button. IDOK, or for MB_YESNO IDYES, IDNO
// with MB_DEFBUTTON2, so an unattended "Quit anyway?" keeps running.
int box_default_answer(UINT type);

// ---------------------------------------------------------------------------
// The display interface
// ---------------------------------------------------------------------------
// A display is a table of functions; any member may be null.
//
// Threads: a display that must draw on one thread of its own (the terminal
// display draws only on the UI thread) uses prepare_wait/after_wait, which
// the window system calls from every thread that waits for messages
// (GetMessageW, modal loops, a cross-thread SendMessageW). It returns no
// descriptors on threads other than its own. Work handed to it from other
// threads (a box shown from a worker, a window changed by its owner) it
// queues and gets to its thread with queue_wake().
struct DisplayOps
{
    const char* name;

    // Window events (created, destroyed, changed), on the thread making the change.
    WindowObserver windows;

    // A box to show, called on the thread inside MessageBoxW before it starts
    // waiting. The display keeps the BoxRef and answers it later with
    // box_answer() (from any thread), or at once. Must not block.
    void (*show_box)(const BoxRef& box);
    // The box is over (answered or cancelled): take it down. Called on the
    // box's thread when MessageBoxW returns, or at that thread's exit.
    void (*box_closed)(const BoxRef& box);

    // Before a wait for messages: the display may draw, add descriptors to
    // poll (at most max) and bring the deadline nearer. Returns the number of
    // descriptors added.
    int (*prepare_wait)(struct pollfd* fds, int max, Clock::time_point* deadline);
    // After that wait, with the descriptors' revents: read input and post or
    // send the messages it makes.
    void (*after_wait)(const struct pollfd* fds, int n);

    // The size a full-screen top-level window gets (CW_USEDEFAULT), in the
    // display's own units.
    void (*screen_size)(int* width, int* height);
};

// Makes ops the current display (null: back to the headless display). Its
// window events are installed as the window observer. ops must stay valid.
void display_set(const DisplayOps* ops);
const DisplayOps& display_current();

// ---------------------------------------------------------------------------
// The headless display's box answerer (tests and automation)
// ---------------------------------------------------------------------------
struct BoxRecord
{
    std::u16string text;
    std::u16string caption;
    UINT type;
    HWND owner;
    DWORD threadId;
    bool open;      // still waiting for an answer
    bool cancelled; // its thread was terminated before an answer
    int result;     // the answer (0 while open or when cancelled)
};

// true: boxes shown from now on stay open until display_dismiss(); false
// (the default): every box gets its default answer as soon as it is shown. Turning
// holding off does not answer boxes already held.
void display_hold_boxes(bool hold);
// Every box the headless display was shown, in order.
std::vector<BoxRecord> display_box_list();
// Answers held box number index with result. False when there is no such box
// or it is no longer open.
bool display_dismiss(size_t index, int result);
// Blocks until at least count boxes have been shown or ms pass; true if they
// have. For tests that wait for a box from another thread.
bool display_wait_boxes(size_t count, DWORD ms);

} // namespace plat
