// The window system's records, shared by its three rooms:
//   window.cpp            the window table, classes, creation and destruction,
//                         procedures, the focus and what the displays read
//   window_queue.cpp      per-thread message queues, SendMessageW across
//                         threads, posted messages, GetMessageW and modal loops
//   window_timer_geometry.cpp  timers, position, size and visibility
//
// Threads: every window belongs to the thread that created it, and its
// procedure runs only on that thread. A SendMessageW from another thread is
// queued on the owner as a record and the sender blocks on its own wake
// descriptor (never a condition variable, so TerminateThread can wake it)
// until the owner has handled the record inside GetMessageW, PeekMessageW or a
// modal loop. A blocked sender keeps handling messages sent to its own
// windows, so two threads that send to each other do not deadlock. One
// exception saves the thread switches of a traced bridge: text for a built-in
// edit control whose owner waits between messages with none queued is put in
// by the sender itself, the owner held in its wait meanwhile (the result and
// the order are what the owner would have made of it).
//
// Locks: one mutex for the window and class tables, one per queue, one per
// sent record. No lock is held while a window procedure, an observer or any
// platform call that may end the thread runs.
//
// Only the window system's own files include this header.
#pragma once

#include "platform/windowing/window.h"

#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>

namespace plat
{

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------
// Messages whose lParam points at the sender's memory are carried in the
// record itself, so a sender that is terminated while waiting can return at
// once: the owner never touches the sender's (possibly freed) buffers.
enum class Marshal
{
    None,
    InText,  // lParam: a string to read (WM_SETTEXT, EM_REPLACESEL)
    OutText, // lParam: a buffer of wParam units to fill (WM_GETTEXT)
    OutSel,  // wParam, lParam: optional DWORD* outputs (EM_GETSEL)
};

// Upper bound of a WM_GETTEXT buffer carried across threads.
constexpr size_t kMaxMarshalledText = 4u * 1024 * 1024;

struct SentMsg
{
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    Marshal marshal = Marshal::None;
    std::u16string inText;  // Marshal::InText
    std::u16string outText; // Marshal::OutText, sized to the caller's buffer
    DWORD outSel[2] = {0, 0};
    QueueRef sender;                         // woken when done
    std::shared_ptr<ThreadObj> senderThread; // a terminated sender's message is dropped, not run

    std::mutex mu;
    bool done = false;
    LRESULT result = 0;
};
using SentRef = std::shared_ptr<SentMsg>;

struct Timer
{
    HWND hwnd;
    UINT_PTR id;
    UINT period; // ms
    TIMERPROC proc;
    Clock::time_point due;
};

// Posted messages a queue holds at most, as on the handheld; past it
// PostMessageW fails, so a runaway poster cannot eat the memory.
constexpr size_t kMaxPosted = 10000;

struct MsgQueue
{
    std::mutex mu;
    // Held by the owner thread except while it waits for work between
    // messages (wait_for_work). A sender that takes it finds the owner
    // waiting and runs the built-in edit control in its stead (see
    // SendMessageW). Locked and unlocked only by the owner, apart from such a
    // sender's try_lock.
    std::mutex running;
    bool runningHeld = false;    // the owner holds running (read and written by the owner only)
    ThreadObj* thread = nullptr; // valid while !dead
    DWORD threadId = 0;
    bool dead = false;             // the thread has ended
    std::deque<MSG> posted;        // PostMessageW, in order
    std::deque<SentRef> sent;      // SendMessageW from other threads, waiting
    std::vector<SentRef> handling; // taken from sent; procedure running
    std::vector<Timer> timers;     // of this thread's windows and of the thread
    bool quit = false;             // PostQuitMessage called, WM_QUIT not yet taken
    int quitCode = 0;
    HWND focus = nullptr;         // keyboard focus among this thread's windows
    UINT_PTR nextThreadTimer = 1; // ids for SetTimer(NULL, ...)
    std::vector<std::pair<uint64_t, std::function<void()>>> exitHooks;
};

struct WindowClass
{
    std::u16string name;
    WNDPROC proc;
    HINSTANCE instance;
    UINT style;
    ATOM atom;
    bool edit; // the built-in "edit" class
};
using ClassRef = std::shared_ptr<const WindowClass>;

struct Window
{
    HWND hwnd;
    ClassRef cls;
    WNDPROC proc;
    QueueRef owner;
    DWORD threadId;
    HWND parent; // parent of a child, owner of a top-level window
    bool child;  // WS_CHILD
    int id;      // control id of a child
    DWORD exStyle;
    HINSTANCE instance;
    std::shared_ptr<EditControl> edit; // set for the "edit" class

    // Guarded by the table mutex.
    DWORD style;
    std::u16string title;
    RECT rect; // left/top in the parent's coordinates; right/bottom = left/top + size
    bool destroying = false;
};
using WindowRef = std::shared_ptr<Window>;

// ---------------------------------------------------------------------------
// The tables (window.cpp)
// ---------------------------------------------------------------------------
// HWND values are serial numbers shifted left by 4: never 0, the low bits
// always clear (so hwnd | 1 never names a window), and never handed out twice
// while the program runs, so a stale HWND fails instead of reaching a newer
// window.
constexpr uint64_t kFirstSerial = 0x1000;
constexpr ATOM kFirstAtom = 0xC000;

struct WindowSystem
{
    std::mutex mu;
    std::unordered_map<uintptr_t, WindowRef> windows;
    std::vector<HWND> order;                    // creation order
    std::map<std::u16string, ClassRef> classes; // by folded name
    uint64_t nextSerial = kFirstSerial;
    ATOM nextAtom = kFirstAtom;
    uint64_t nextHook = 1;
    std::atomic<const WindowObserver*> observer{nullptr};

    WindowSystem();
};

// Never destroyed: queues of threads still ending at process exit may reach it.
WindowSystem& ws();

// The live window behind hwnd, or null (with ERROR_INVALID_WINDOW_HANDLE when
// setError). A window being destroyed is still live until its WM_DESTROY ran.
WindowRef lookup(HWND hwnd, bool setError = true);

// The start of a Win32 call on a window: thread_checkpoint(), then the live
// window behind hwnd (null, with ERROR_INVALID_WINDOW_HANDLE, when none).
WindowRef enter_window_call(HWND hwnd);

// Live windows in creation order for which pred is true. pred runs under the
// table mutex (it may set the fields that mutex guards) and must not call out.
std::vector<WindowRef> windows_where(const std::function<bool(Window&)>& pred);

// Calls the window's procedure on the calling (owner) thread; text put into
// an edit control also goes to the edit tap.
LRESULT call_proc(const WindowRef& w, UINT msg, WPARAM wParam, LPARAM lParam);

// Removes a window from the table and its traces from its owner's queue:
// timers, posted messages, and sent messages still waiting (their senders get
// 0 at once).
void retire_window(const WindowRef& w);

// ---------------------------------------------------------------------------
// Queues (window_queue.cpp)
// ---------------------------------------------------------------------------
// The calling thread's queue, without the reference count.
MsgQueue& my_queue_ref();

// The queue that serves hwnd: its owner's, or the calling thread's for a null
// window. False (ERROR_INVALID_WINDOW_HANDLE) when hwnd is not a window.
bool queue_of(HWND hwnd, QueueRef* q);

// A sent message is done: its result is kept and its sender woken.
void complete_sent(const SentRef& r, LRESULT result);

// Blocks until the calling thread is woken (a message, a reply, an answer),
// the display's descriptors are ready or the deadline passes. False when the
// thread was terminated.
bool wait_for_work(Clock::time_point deadline);

} // namespace plat
