// The platform's window system: classes, the window table, per-thread message
// queues, SendMessageW across threads, posted messages, timers and the calls
// that keep window geometry and state for the displays.
//
// Threads: every window belongs to the thread that created it, and its
// procedure runs only on that thread. A SendMessageW from another thread is
// queued on the owner as a record and the sender blocks on its own wake
// descriptor (never a condition variable, so TerminateThread can wake it)
// until the owner has handled the record inside GetMessageW, PeekMessageW or a
// modal loop. A blocked sender keeps handling messages sent to its own
// windows, so two threads that send to each other do not deadlock.
//
// Locks: one mutex for the window and class tables, one per queue, one per
// sent record. No lock is held while a window procedure, an observer or any
// platform call that may end the thread runs.
#include "platform/windowing/window.h"
#include "platform/windowing/display.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cerrno>
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
// The tables
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

    WindowSystem()
    {
        auto edit = std::make_shared<WindowClass>();
        edit->name = u"edit";
        edit->proc = edit_proc;
        edit->instance = nullptr;
        edit->style = 0;
        edit->atom = nextAtom++;
        edit->edit = true;
        classes[wstr_fold(edit->name)] = edit;
    }
};

// Never destroyed: queues of threads still ending at process exit may reach it.
static WindowSystem& ws()
{
    static WindowSystem* system = new WindowSystem();
    return *system;
}

static HWND hwnd_from_serial(uint64_t serial)
{
    return (HWND)(uintptr_t)(serial << 4);
}

// The live window behind hwnd, or null (with ERROR_INVALID_WINDOW_HANDLE when
// setError). A window being destroyed is still live until its WM_DESTROY ran.
static WindowRef lookup(HWND hwnd, bool setError = true)
{
    uintptr_t v = (uintptr_t)hwnd;
    if (v != 0 && (v & 0xF) == 0)
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.windows.find(v);
        if (it != s.windows.end())
            return it->second;
    }
    if (setError)
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
}

static std::atomic<void (*)(HWND)> g_createdTap{nullptr};

void window_set_created_tap(void (*tap)(HWND hwnd))
{
    g_createdTap.store(tap);
}

static void notify_created(HWND hwnd)
{
    const WindowObserver* o = ws().observer.load();
    if (o && o->created)
        o->created(hwnd);
    if (auto tap = g_createdTap.load())
        tap(hwnd);
}

static void notify_destroyed(HWND hwnd)
{
    const WindowObserver* o = ws().observer.load();
    if (o && o->destroyed)
        o->destroyed(hwnd);
}

void window_notify_changed(HWND hwnd, unsigned what)
{
    const WindowObserver* o = ws().observer.load();
    if (o && o->changed)
        o->changed(hwnd, what);
}

void window_set_observer(const WindowObserver* observer)
{
    ws().observer.store(observer);
}

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------
static void queue_shutdown(const QueueRef& q);

// The calling thread's queue lives in a thread_local holder whose destructor
// runs when the thread ends (also when it was ended by TerminateThread), so
// senders waiting on it are released and its windows retired.
struct QueueHolder
{
    QueueRef q;
    QueueHolder()
    {
        // current_thread() first: its thread_local record then outlives this one.
        ThreadObj* t = current_thread();
        q = std::make_shared<MsgQueue>();
        q->thread = t;
        q->threadId = t->id;
    }
    ~QueueHolder()
    {
        queue_shutdown(q);
    }
};

static MsgQueue& my_queue_ref();

QueueRef current_queue()
{
    thread_local QueueHolder holder;
    return holder.q;
}

static MsgQueue& my_queue_ref()
{
    thread_local MsgQueue* cached = nullptr;
    if (cached == nullptr)
        cached = current_queue().get();
    return *cached;
}

void queue_wake(const QueueRef& q)
{
    if (!q)
        return;
    std::lock_guard<std::mutex> lock(q->mu);
    if (!q->dead)
        thread_wake(q->thread);
}

static void complete_sent(const SentRef& r, LRESULT result)
{
    QueueRef sender;
    {
        std::lock_guard<std::mutex> lock(r->mu);
        if (r->done)
            return;
        r->done = true;
        r->result = result;
        sender = r->sender;
    }
    queue_wake(sender);
}

// Removes a window from the table and its traces from its owner's queue:
// timers, posted messages, and sent messages still waiting (their senders get
// 0 at once).
static void retire_window(const WindowRef& w)
{
    WindowSystem& s = ws();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.windows.erase((uintptr_t)w->hwnd);
        s.order.erase(std::remove(s.order.begin(), s.order.end(), w->hwnd), s.order.end());
    }
    std::vector<SentRef> orphans;
    {
        MsgQueue& q = *w->owner;
        std::lock_guard<std::mutex> lock(q.mu);
        q.timers.erase(
            std::remove_if(q.timers.begin(), q.timers.end(), [&](const Timer& t) { return t.hwnd == w->hwnd; }),
            q.timers.end());
        q.posted.erase(
            std::remove_if(q.posted.begin(), q.posted.end(), [&](const MSG& m) { return m.hwnd == w->hwnd; }),
            q.posted.end());
        for (auto it = q.sent.begin(); it != q.sent.end();)
        {
            if ((*it)->hwnd == w->hwnd)
            {
                orphans.push_back(*it);
                it = q.sent.erase(it);
            }
            else
                ++it;
        }
        if (q.focus == w->hwnd)
            q.focus = nullptr;
    }
    for (auto& r : orphans)
        complete_sent(r, 0);
    notify_destroyed(w->hwnd);
}

static void queue_shutdown(const QueueRef& q)
{
    std::vector<std::pair<uint64_t, std::function<void()>>> hooks;
    {
        std::lock_guard<std::mutex> lock(q->mu);
        hooks.swap(q->exitHooks);
    }
    for (auto& h : hooks)
        h.second();

    std::vector<SentRef> pending;
    {
        std::lock_guard<std::mutex> lock(q->mu);
        q->dead = true;
        pending.assign(q->sent.begin(), q->sent.end());
        pending.insert(pending.end(), q->handling.begin(), q->handling.end());
        q->sent.clear();
        q->handling.clear();
        q->posted.clear();
        q->timers.clear();
    }
    for (auto& r : pending)
        complete_sent(r, 0);

    // The thread's windows go with it. Their procedures cannot run any more,
    // so they get no WM_DESTROY; the displays still hear of it.
    std::vector<WindowRef> mine;
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        for (HWND h : s.order)
        {
            auto it = s.windows.find((uintptr_t)h);
            if (it != s.windows.end() && it->second->owner == q)
                mine.push_back(it->second);
        }
    }
    for (auto it = mine.rbegin(); it != mine.rend(); ++it)
        retire_window(*it);
}

uint64_t queue_exit_hook_add(std::function<void()> fn)
{
    MsgQueue& q = my_queue_ref();
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(ws().mu);
        id = ws().nextHook++;
    }
    std::lock_guard<std::mutex> lock(q.mu);
    q.exitHooks.emplace_back(id, std::move(fn));
    return id;
}

void queue_exit_hook_remove(uint64_t id)
{
    MsgQueue& q = my_queue_ref();
    std::lock_guard<std::mutex> lock(q.mu);
    q.exitHooks.erase(
        std::remove_if(q.exitHooks.begin(), q.exitHooks.end(), [&](const auto& h) { return h.first == id; }),
        q.exitHooks.end());
}

// Blocks until the calling thread is woken (a message, a reply, an answer),
// the display's descriptors are ready or the deadline passes. False when the
// thread was terminated.
static bool wait_for_work(Clock::time_point deadline)
{
    const DisplayOps& d = display_current();
    struct pollfd fds[8];
    int n = 0;
    if (d.prepare_wait)
        n = std::clamp(d.prepare_wait(fds, 8, &deadline), 0, 8);
    int r = wait_fds(n ? fds : nullptr, n, deadline);
    if (r < 0)
        return errno != ECANCELED;
    if (r > 0 && d.after_wait)
        d.after_wait(fds, n);
    return true;
}

// ---------------------------------------------------------------------------
// Calling procedures
// ---------------------------------------------------------------------------
static std::atomic<EditTextTap> g_editTextTap{nullptr};

void window_set_edit_tap(EditTextTap tap)
{
    g_editTextTap.store(tap);
}

static LRESULT call_proc(const WindowRef& w, UINT msg, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = w->proc(w->hwnd, msg, wParam, lParam);
    if (msg == EM_REPLACESEL && w->edit)
    {
        EditTextTap tap = g_editTextTap.load();
        if (tap)
            tap(w->hwnd, lParam ? std::u16string_view((LPCWSTR)lParam) : std::u16string_view());
    }
    return result;
}

// Runs a record taken from the queue, with its marshalled data.
static LRESULT run_sent(SentMsg& r)
{
    WindowRef w = lookup(r.hwnd, false);
    if (!w)
        return 0;
    switch (r.marshal)
    {
        case Marshal::InText:
            return call_proc(w, r.msg, r.wParam, (LPARAM)r.inText.c_str());
        case Marshal::OutText:
            return call_proc(w, r.msg, r.outText.size(), (LPARAM)r.outText.data());
        case Marshal::OutSel:
            return call_proc(w, r.msg, (WPARAM)&r.outSel[0], (LPARAM)&r.outSel[1]);
        case Marshal::None:
            break;
    }
    return call_proc(w, r.msg, r.wParam, r.lParam);
}

size_t pump_sent_messages()
{
    MsgQueue& q = my_queue_ref();
    size_t handled = 0;
    for (;;)
    {
        SentRef r;
        {
            std::lock_guard<std::mutex> lock(q.mu);
            if (q.sent.empty())
                break;
            r = q.sent.front();
            q.sent.pop_front();
            q.handling.push_back(r);
        }
        // A sender terminated while the message waited is gone: nothing it
        // asked for happens after its end (it may not have withdrawn the
        // message yet when this thread gets to it).
        bool senderEnded = false;
        if (r->senderThread)
        {
            std::lock_guard<std::mutex> lock(r->senderThread->mu);
            senderEnded = r->senderThread->terminated;
        }
        LRESULT result = senderEnded ? 0 : run_sent(*r);
        {
            std::lock_guard<std::mutex> lock(q.mu);
            auto it = std::find(q.handling.rbegin(), q.handling.rend(), r);
            if (it != q.handling.rend())
                q.handling.erase(std::next(it).base());
        }
        complete_sent(r, result);
        handled++;
    }
    return handled;
}

// ---------------------------------------------------------------------------
// Taking messages from a queue
// ---------------------------------------------------------------------------
static bool filter_match(const MSG& m, HWND hwnd, UINT lo, UINT hi)
{
    if (hwnd != nullptr && m.hwnd != hwnd)
        return false;
    if (lo == 0 && hi == 0)
        return true;
    return m.message >= lo && m.message <= hi;
}

static MSG make_msg(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    MSG m;
    m.hwnd = hwnd;
    m.message = message;
    m.wParam = wParam;
    m.lParam = lParam;
    m.time = GetTickCount();
    m.pt.x = 0;
    m.pt.y = 0;
    return m;
}

// Under q.mu. Posted messages first, then the quit message (once the posted
// ones are gone, as on the handheld), then a due timer. *next gets the
// earliest timer deadline when nothing is ready.
static bool take_message(MsgQueue& q, MSG* out, HWND hwnd, UINT lo, UINT hi, bool remove, bool allowQuit,
                         Clock::time_point* next)
{
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it)
    {
        if (filter_match(*it, hwnd, lo, hi))
        {
            *out = *it;
            if (remove)
                q.posted.erase(it);
            return true;
        }
    }
    if (q.quit && allowQuit)
    {
        *out = make_msg(nullptr, WM_QUIT, (WPARAM)q.quitCode, 0);
        if (remove)
            q.quit = false;
        return true;
    }
    auto now = Clock::now();
    Timer* due = nullptr;
    for (Timer& t : q.timers)
    {
        MSG probe = make_msg(t.hwnd, WM_TIMER, t.id, 0);
        if (!filter_match(probe, hwnd, lo, hi))
            continue;
        if (t.due <= now && (due == nullptr || t.due < due->due))
            due = &t;
        if (t.due < *next)
            *next = t.due;
    }
    if (due)
    {
        *out = make_msg(due->hwnd, WM_TIMER, due->id, (LPARAM)due->proc);
        // Ticks do not pile up: a late loop gets one WM_TIMER, then the period again.
        if (remove)
            due->due = now + std::chrono::milliseconds(due->period);
        return true;
    }
    return false;
}

bool modal_loop(const std::function<bool()>& finished)
{
    MsgQueue& q = my_queue_ref();
    for (;;)
    {
        pump_sent_messages();
        if (finished())
            return true;
        MSG m;
        Clock::time_point next = Clock::time_point::max();
        bool got;
        {
            std::lock_guard<std::mutex> lock(q.mu);
            got = take_message(q, &m, nullptr, 0, 0, true, false, &next);
        }
        if (got)
        {
            TranslateMessage(&m);
            DispatchMessageW(&m);
            continue;
        }
        if (!wait_for_work(next))
            return false;
    }
}

// ---------------------------------------------------------------------------
// Reading state for the displays
// ---------------------------------------------------------------------------
bool window_info(HWND hwnd, WindowInfo* info)
{
    WindowRef w = lookup(hwnd, false);
    if (!w || info == nullptr)
        return false;
    std::lock_guard<std::mutex> lock(ws().mu);
    info->hwnd = w->hwnd;
    info->parent = w->parent;
    info->child = w->child;
    info->id = w->id;
    info->style = w->style;
    info->exStyle = w->exStyle;
    info->className = w->cls->name;
    info->rect = w->rect;
    info->visible = (w->style & WS_VISIBLE) != 0;
    info->threadId = w->threadId;
    return true;
}

std::vector<HWND> window_list()
{
    std::lock_guard<std::mutex> lock(ws().mu);
    return ws().order;
}

std::u16string window_text(HWND hwnd)
{
    WindowRef w = lookup(hwnd, false);
    if (!w)
        return std::u16string();
    if (w->edit)
        return edit_copy_tail(*w->edit, SIZE_MAX);
    std::lock_guard<std::mutex> lock(ws().mu);
    return w->title;
}

std::u16string edit_text_tail(HWND hwnd, size_t maxUnits)
{
    WindowRef w = lookup(hwnd, false);
    if (!w || !w->edit)
        return std::u16string();
    return edit_copy_tail(*w->edit, maxUnits);
}

size_t edit_storage_units(HWND hwnd)
{
    WindowRef w = lookup(hwnd, false);
    if (!w || !w->edit)
        return 0;
    return edit_capacity(*w->edit);
}

std::shared_ptr<EditControl> edit_of(HWND hwnd)
{
    WindowRef w = lookup(hwnd, false);
    return w ? w->edit : nullptr;
}

HWND focus_window()
{
    MsgQueue& q = my_queue_ref();
    std::lock_guard<std::mutex> lock(q.mu);
    return q.focus;
}

HWND window_thread_focus(HWND hwnd)
{
    WindowRef w = lookup(hwnd, false);
    if (!w)
        return nullptr;
    std::lock_guard<std::mutex> lock(w->owner->mu);
    return w->owner->focus;
}

void clock_advance(DWORD ms)
{
    std::vector<QueueRef> queues;
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        for (auto& kv : s.windows)
            if (std::find(queues.begin(), queues.end(), kv.second->owner) == queues.end())
                queues.push_back(kv.second->owner);
    }
    for (auto& q : queues)
    {
        std::lock_guard<std::mutex> lock(q->mu);
        for (Timer& t : q->timers)
            t.due -= std::chrono::milliseconds(ms);
        if (!q->dead)
            thread_wake(q->thread);
    }
}

} // namespace plat

// ---------------------------------------------------------------------------
// The Win32 calls
// ---------------------------------------------------------------------------
using namespace plat;

static ClassRef find_class(LPCWSTR name)
{
    WindowSystem& s = ws();
    std::lock_guard<std::mutex> lock(s.mu);
    if (name == nullptr)
        return nullptr;
    if (IS_INTRESOURCE(name))
    {
        ATOM atom = (ATOM)(uintptr_t)name;
        for (auto& kv : s.classes)
            if (kv.second->atom == atom)
                return kv.second;
        return nullptr;
    }
    auto it = s.classes.find(wstr_fold(name));
    return it == s.classes.end() ? nullptr : it->second;
}

// Class names compare without regard to ASCII case; the built-in "edit"
// class exists from the start.
ATOM RegisterClassW(const WNDCLASSW* wc)
{
    thread_checkpoint();
    if (wc == nullptr || wc->lpfnWndProc == nullptr || wc->lpszClassName == nullptr ||
        IS_INTRESOURCE(wc->lpszClassName) || wc->lpszClassName[0] == 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WindowSystem& s = ws();
    std::u16string key = wstr_fold(wc->lpszClassName);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.classes.count(key))
    {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (s.nextAtom == 0xFFFF)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->proc = wc->lpfnWndProc;
    cls->instance = wc->hInstance;
    cls->style = wc->style;
    cls->atom = s.nextAtom++;
    cls->edit = false;
    s.classes[key] = cls;
    return cls->atom;
}

static void default_size(bool child, int* cx, int* cy)
{
    if (child)
    {
        *cx = 0;
        *cy = 0;
        return;
    }
    *cx = kDefaultScreenWidth;
    *cy = kDefaultScreenHeight;
    const DisplayOps& d = display_current();
    if (d.screen_size)
        d.screen_size(cx, cy);
}

// WM_CREATE is sent inside the call, before it returns, with a CREATESTRUCTW;
// -1 from it refuses the window. A window destroyed during its own WM_CREATE
// also yields null. Then WM_SIZE and WM_MOVE, as on the handheld.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param)
{
    thread_checkpoint();
    ClassRef cls = find_class(className);
    if (!cls)
    {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    bool child = (style & WS_CHILD) != 0;
    if (parent != nullptr && !lookup(parent))
        return nullptr;
    if (child && parent == nullptr)
    {
        SetLastError(ERROR_TLW_WITH_WSCHILD);
        return nullptr;
    }
    if (x == CW_USEDEFAULT)
    {
        x = 0;
        y = 0;
    }
    int defCx, defCy;
    default_size(child, &defCx, &defCy);
    if (width == CW_USEDEFAULT)
        width = defCx;
    if (height == CW_USEDEFAULT)
        height = defCy;
    width = std::max(width, 0);
    height = std::max(height, 0);

    auto w = std::make_shared<Window>();
    w->cls = cls;
    w->proc = cls->proc;
    w->owner = current_queue();
    w->threadId = w->owner->threadId;
    w->parent = parent;
    w->child = child;
    w->id = child ? (int)(intptr_t)menuOrId : 0;
    w->exStyle = exStyle;
    w->instance = instance;
    if (cls->edit)
        w->edit = edit_new();
    w->style = style;
    w->title = title ? std::u16string(title) : std::u16string();
    w->rect = RECT{x, y, x + width, y + height};
    HWND hwnd;
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        hwnd = hwnd_from_serial(s.nextSerial++);
        w->hwnd = hwnd;
        s.windows[(uintptr_t)hwnd] = w;
        s.order.push_back(hwnd);
    }
    notify_created(hwnd);

    CREATESTRUCTW cs;
    cs.lpCreateParams = param;
    cs.hInstance = instance;
    cs.hMenu = menuOrId;
    cs.hwndParent = parent;
    cs.cy = height;
    cs.cx = width;
    cs.y = y;
    cs.x = x;
    cs.style = (LONG)style;
    cs.lpszName = title;
    cs.lpszClass = className;
    cs.dwExStyle = exStyle;
    if (call_proc(w, WM_CREATE, 0, (LPARAM)&cs) == -1)
    {
        if (lookup(hwnd, false))
            DestroyWindow(hwnd);
        return nullptr;
    }
    if (!lookup(hwnd, false))
        return nullptr;
    call_proc(w, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
    call_proc(w, WM_MOVE, 0, MAKELPARAM(x, y));
    return lookup(hwnd, false) ? hwnd : nullptr;
}

// WM_DESTROY goes to the window first, then to its children (top-down); the
// records then leave the table children first. Owned top-level windows of
// the same thread are destroyed before their owner.
static void destroy_tree(const WindowRef& w)
{
    call_proc(w, WM_DESTROY, 0, 0);
    std::vector<WindowRef> children;
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        for (HWND h : s.order)
        {
            auto it = s.windows.find((uintptr_t)h);
            if (it != s.windows.end() && it->second->parent == w->hwnd && it->second->child && !it->second->destroying)
            {
                it->second->destroying = true;
                children.push_back(it->second);
            }
        }
    }
    for (auto& c : children)
    {
        // A child of another thread cannot run its procedure here: it just goes.
        if (c->owner == w->owner)
            destroy_tree(c);
        else
            retire_window(c);
    }
    retire_window(w);
}

BOOL DestroyWindow(HWND hwnd)
{
    thread_checkpoint();
    WindowRef w = lookup(hwnd);
    if (!w)
        return FALSE;
    if (w->owner.get() != &my_queue_ref())
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<HWND> owned;
    {
        WindowSystem& s = ws();
        std::lock_guard<std::mutex> lock(s.mu);
        if (w->destroying)
            return TRUE; // already on its way out (a second call from its WM_DESTROY)
        w->destroying = true;
        for (HWND h : s.order)
        {
            auto it = s.windows.find((uintptr_t)h);
            if (it != s.windows.end() && it->second->parent == hwnd && !it->second->child &&
                it->second->owner == w->owner)
                owned.push_back(h);
        }
    }
    for (HWND h : owned)
        DestroyWindow(h);
    destroy_tree(w);
    return TRUE;
}

BOOL IsWindow(HWND hwnd)
{
    thread_checkpoint();
    return lookup(hwnd, false) ? TRUE : FALSE;
}

// Visibility is recorded for the displays; the previous state is returned.
BOOL ShowWindow(HWND hwnd, int cmdShow)
{
    thread_checkpoint();
    WindowRef w = lookup(hwnd);
    if (!w)
        return FALSE;
    bool was;
    {
        std::lock_guard<std::mutex> lock(ws().mu);
        was = (w->style & WS_VISIBLE) != 0;
        if (cmdShow == SW_HIDE)
            w->style &= ~WS_VISIBLE;
        else
            w->style |= WS_VISIBLE;
    }
    if (was != (cmdShow != SW_HIDE))
        window_notify_changed(hwnd, kChangeVisibility);
    return was ? TRUE : FALSE;
}

// Drawing belongs to the display: it is told to draw the window now.
BOOL UpdateWindow(HWND hwnd)
{
    thread_checkpoint();
    if (!lookup(hwnd))
        return FALSE;
    window_notify_changed(hwnd, kChangePaint);
    return TRUE;
}

HWND GetDlgItem(HWND hwnd, int id)
{
    thread_checkpoint();
    if (!lookup(hwnd))
        return nullptr;
    WindowSystem& s = ws();
    std::lock_guard<std::mutex> lock(s.mu);
    for (HWND h : s.order)
    {
        auto it = s.windows.find((uintptr_t)h);
        if (it != s.windows.end() && it->second->parent == hwnd && it->second->child && it->second->id == id)
            return h;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

// Windows have no frame here: the client area is the whole window.
BOOL GetClientRect(HWND hwnd, RECT* rect)
{
    thread_checkpoint();
    WindowRef w = lookup(hwnd);
    if (!w)
        return FALSE;
    if (rect == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(ws().mu);
    rect->left = 0;
    rect->top = 0;
    rect->right = w->rect.right - w->rect.left;
    rect->bottom = w->rect.bottom - w->rect.top;
    return TRUE;
}

// Position and size are recorded; a change of size sends WM_SIZE and a move
// WM_MOVE. The z-order is the creation order, whatever 'after' says.
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    (void)after;
    thread_checkpoint();
    WindowRef w = lookup(hwnd);
    if (!w)
        return FALSE;
    bool moved = false, sized = false;
    int width, height;
    {
        std::lock_guard<std::mutex> lock(ws().mu);
        RECT r = w->rect;
        width = r.right - r.left;
        height = r.bottom - r.top;
        if (!(flags & SWP_NOMOVE) && (x != r.left || y != r.top))
        {
            moved = true;
            r.left = x;
            r.top = y;
        }
        if (!(flags & SWP_NOSIZE))
        {
            cx = std::max(cx, 0);
            cy = std::max(cy, 0);
            if (cx != width || cy != height)
            {
                sized = true;
                width = cx;
                height = cy;
            }
        }
        r.right = r.left + width;
        r.bottom = r.top + height;
        w->rect = r;
        x = r.left;
        y = r.top;
    }
    if (moved || sized)
        window_notify_changed(hwnd, kChangeGeometry);
    if (sized)
        SendMessageW(hwnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
    if (moved)
        SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(x, y));
    return TRUE;
}

// The focus is per thread, among the thread's own windows. The window losing
// it gets WM_KILLFOCUS, the one gaining it WM_SETFOCUS. Returns the previous
// focus (null on failure).
HWND SetFocus(HWND hwnd)
{
    thread_checkpoint();
    MsgQueue& q = my_queue_ref();
    WindowRef w;
    if (hwnd != nullptr)
    {
        w = lookup(hwnd);
        if (!w)
            return nullptr;
        if (w->owner.get() != &q)
        {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    HWND prev;
    {
        std::lock_guard<std::mutex> lock(q.mu);
        prev = q.focus;
        if (prev == hwnd)
            return prev;
        q.focus = hwnd;
    }
    if (WindowRef p = prev ? lookup(prev, false) : nullptr)
    {
        call_proc(p, WM_KILLFOCUS, (WPARAM)hwnd, 0);
        window_notify_changed(prev, kChangeFocus);
    }
    if (w && lookup(hwnd, false))
    {
        call_proc(w, WM_SETFOCUS, (WPARAM)prev, 0);
        window_notify_changed(hwnd, kChangeFocus);
    }
    return prev;
}

// Default processing: WM_CLOSE destroys the window; the title answers the
// text messages; everything else yields 0.
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    thread_checkpoint();
    switch (msg)
    {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_SETTEXT:
        {
            WindowRef w = lookup(hwnd);
            if (!w)
                return FALSE;
            {
                std::lock_guard<std::mutex> lock(ws().mu);
                w->title = lParam ? std::u16string((LPCWSTR)lParam) : std::u16string();
            }
            window_notify_changed(hwnd, kChangeText);
            return TRUE;
        }
        case WM_GETTEXT:
        {
            WindowRef w = lookup(hwnd);
            LPWSTR buffer = (LPWSTR)lParam;
            if (!w || wParam == 0 || buffer == nullptr)
                return 0;
            std::lock_guard<std::mutex> lock(ws().mu);
            size_t n = std::min(w->title.size(), (size_t)wParam - 1);
            std::copy_n(w->title.data(), n, buffer);
            buffer[n] = 0;
            return (LRESULT)n;
        }
        case WM_GETTEXTLENGTH:
        {
            WindowRef w = lookup(hwnd);
            if (!w)
                return 0;
            std::lock_guard<std::mutex> lock(ws().mu);
            return (LRESULT)w->title.size();
        }
        default:
            return 0;
    }
}

static Marshal marshal_of(UINT msg)
{
    switch (msg)
    {
        case WM_SETTEXT:
        case EM_REPLACESEL:
            return Marshal::InText;
        case WM_GETTEXT:
            return Marshal::OutText;
        case EM_GETSEL:
            return Marshal::OutSel;
        default:
            return Marshal::None;
    }
}

// Same thread: the procedure is called at once. Another thread: the message
// waits in the owner's queue until the owner handles it, and the caller
// blocks until then, handling messages sent to its own windows meanwhile. A
// window destroyed, or whose thread has ended, before handling it yields 0 at
// once; so does a caller terminated while it waits.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    thread_checkpoint();
    WindowRef w = lookup(hwnd);
    if (!w)
        return 0;
    QueueRef me = current_queue();
    if (w->owner == me)
        return call_proc(w, msg, wParam, lParam);

    auto r = std::make_shared<SentMsg>();
    r->hwnd = hwnd;
    r->msg = msg;
    r->wParam = wParam;
    r->lParam = lParam;
    r->sender = me;
    r->senderThread = current_thread_ref();
    r->marshal = marshal_of(msg);
    if (r->marshal == Marshal::InText && lParam != 0)
        r->inText = (LPCWSTR)lParam;
    if (r->marshal == Marshal::OutText)
    {
        if (wParam == 0 || lParam == 0)
            r->marshal = Marshal::None; // nothing to fill: pass as given
        else
            r->outText.assign(std::min((size_t)wParam, kMaxMarshalledText), u'\0');
    }
    {
        MsgQueue& q = *w->owner;
        std::lock_guard<std::mutex> lock(q.mu);
        if (q.dead)
            return 0;
        q.sent.push_back(r);
        thread_wake(q.thread);
    }
    for (;;)
    {
        pump_sent_messages();
        {
            std::lock_guard<std::mutex> lock(r->mu);
            if (r->done)
                break;
        }
        if (!wait_for_work(Clock::time_point::max()))
        {
            // Terminated: a message the owner has not taken yet is withdrawn,
            // so nothing the ended thread asked for happens after its end (a
            // bridge pump's traffic line after the stop's own line). One the
            // owner is handling completes; its reply goes nowhere.
            MsgQueue& q = *w->owner;
            std::lock_guard<std::mutex> lock(q.mu);
            auto it = std::find(q.sent.begin(), q.sent.end(), r);
            if (it != q.sent.end())
                q.sent.erase(it);
            return 0;
        }
    }
    // Done: the owner is finished with the record, so reading it needs no lock.
    if (r->marshal == Marshal::OutText)
    {
        size_t n = std::min((size_t)r->result, r->outText.size() - 1);
        std::copy_n(r->outText.data(), n, (LPWSTR)lParam);
        ((LPWSTR)lParam)[n] = 0;
    }
    else if (r->marshal == Marshal::OutSel)
    {
        if (wParam)
            *(DWORD*)wParam = r->outSel[0];
        if (lParam)
            *(DWORD*)lParam = r->outSel[1];
    }
    return r->result;
}

LRESULT SendDlgItemMessageW(HWND hwnd, int id, UINT msg, WPARAM wParam, LPARAM lParam)
{
    HWND item = GetDlgItem(hwnd, id);
    if (item == nullptr)
        return 0;
    return SendMessageW(item, msg, wParam, lParam);
}

// A null window posts to the calling thread itself.
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    thread_checkpoint();
    QueueRef q;
    if (hwnd == nullptr)
        q = current_queue();
    else
    {
        WindowRef w = lookup(hwnd);
        if (!w)
            return FALSE;
        q = w->owner;
    }
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->dead)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (q->posted.size() >= kMaxPosted)
    {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    q->posted.push_back(make_msg(hwnd, msg, wParam, lParam));
    thread_wake(q->thread);
    return TRUE;
}

// One pass of GetMessageW/PeekMessageW: sent messages are handled first, then
// a posted message, the quit message or a due timer is taken.
static bool get_one(MSG* msg, HWND hwnd, UINT lo, UINT hi, bool remove, Clock::time_point* next)
{
    pump_sent_messages();
    MsgQueue& q = my_queue_ref();
    std::lock_guard<std::mutex> lock(q.mu);
    return take_message(q, msg, hwnd, lo, hi, remove, true, next);
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax)
{
    thread_checkpoint();
    if (msg == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd != nullptr && !lookup(hwnd))
        return -1;
    for (;;)
    {
        Clock::time_point next = Clock::time_point::max();
        if (get_one(msg, hwnd, filterMin, filterMax, true, &next))
            return msg->message == WM_QUIT ? FALSE : TRUE;
        if (!wait_for_work(next))
        {
            thread_checkpoint(); // terminated: the thread ends here
            *msg = make_msg(nullptr, WM_QUIT, 0, 0);
            return FALSE;
        }
    }
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT remove)
{
    thread_checkpoint();
    if (msg == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Clock::time_point next = Clock::time_point::max();
    return get_one(msg, hwnd, filterMin, filterMax, (remove & PM_REMOVE) != 0, &next) ? TRUE : FALSE;
}

// TranslateMessage is the shell's (shell.cpp): it knows how input_key packs
// the character into a key message.

// A WM_TIMER carrying a timer procedure calls it instead of the window.
LRESULT DispatchMessageW(const MSG* msg)
{
    thread_checkpoint();
    if (msg == nullptr)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0)
    {
        ((TIMERPROC)msg->lParam)(msg->hwnd, WM_TIMER, (UINT_PTR)msg->wParam, GetTickCount());
        return 0;
    }
    if (msg->hwnd == nullptr)
        return 0;
    WindowRef w = lookup(msg->hwnd);
    if (!w)
        return 0;
    if (w->owner.get() != &my_queue_ref())
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return call_proc(w, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode)
{
    thread_checkpoint();
    MsgQueue& q = my_queue_ref();
    std::lock_guard<std::mutex> lock(q.mu);
    q.quit = true;
    q.quitCode = exitCode;
}

// Timers live in the queue of the window's thread. A timer is due at most
// once per period: WM_TIMER comes when the queue has nothing else to give.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    thread_checkpoint();
    QueueRef q;
    if (hwnd == nullptr)
        q = current_queue();
    else
    {
        WindowRef w = lookup(hwnd);
        if (!w)
            return 0;
        q = w->owner;
    }
    UINT period = std::max(elapse, kTimerMinimumMs);
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->dead)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (hwnd == nullptr)
    {
        // A thread timer gets an id of its own unless it names one it holds.
        bool held = std::any_of(q->timers.begin(), q->timers.end(),
                                [&](const Timer& t) { return t.hwnd == nullptr && t.id == id; });
        if (!held)
            id = q->nextThreadTimer++;
    }
    Clock::time_point due = Clock::now() + std::chrono::milliseconds(period);
    for (Timer& t : q->timers)
    {
        if (t.hwnd == hwnd && t.id == id)
        {
            t.period = period;
            t.proc = proc;
            t.due = due;
            thread_wake(q->thread);
            return id == 0 ? 1 : id;
        }
    }
    q->timers.push_back(Timer{hwnd, id, period, proc, due});
    thread_wake(q->thread); // its wait must learn of the nearer deadline
    return id == 0 ? 1 : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    thread_checkpoint();
    QueueRef q;
    if (hwnd == nullptr)
        q = current_queue();
    else
    {
        WindowRef w = lookup(hwnd);
        if (!w)
            return FALSE;
        q = w->owner;
    }
    std::lock_guard<std::mutex> lock(q->mu);
    auto it =
        std::find_if(q->timers.begin(), q->timers.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == q->timers.end())
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    q->timers.erase(it);
    return TRUE;
}
