// Per-thread message queues: SendMessageW across threads (the sender blocks
// until the owner has handled the message inside GetMessageW, PeekMessageW or
// a modal loop), posted messages, the quit message, GetMessageW, PeekMessageW,
// DispatchMessageW and the modal loops of boxes and dialogs. Timers are kept
// in the queues but set in window_timer_geometry.cpp.
#include "platform/windowing/window_internal.h"
#include "platform/windowing/display.h"

#include "platform/serial/iocontrol.h"

#include <algorithm>
#include <cerrno>
#include <thread>

namespace plat
{

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
        q->running.lock();
        q->runningHeld = true;
    }
    ~QueueHolder()
    {
        queue_shutdown(q);
    }
};

QueueRef current_queue()
{
    thread_local QueueHolder holder;
    return holder.q;
}

MsgQueue& my_queue_ref()
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

void complete_sent(const SentRef& r, LRESULT result)
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
    std::vector<WindowRef> mine = windows_where([&](Window& w) { return w.owner == q; });
    for (auto it = mine.rbegin(); it != mine.rend(); ++it)
        retire_window(*it);
    if (q->runningHeld)
    {
        q->runningHeld = false;
        q->running.unlock();
    }
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

bool wait_for_work(Clock::time_point deadline)
{
    const DisplayOps& d = display_current();
    struct pollfd fds[8];
    int n = 0;
    if (d.prepare_wait)
        n = std::clamp(d.prepare_wait(fds, 8, &deadline), 0, 8);
    // Every caller has just handled the sent messages: the thread now stands
    // between messages, where a sender may run the edit control in its stead.
    MsgQueue& q = my_queue_ref();
    q.runningHeld = false;
    q.running.unlock();
    int r = wait_fds(n ? fds : nullptr, n, deadline);
    q.running.lock();
    q.runningHeld = true;
    if (r < 0)
        return errno != ECANCELED;
    if (r > 0 && d.after_wait)
        d.after_wait(fds, n);
    return true;
}

bool queue_of(HWND hwnd, QueueRef* q)
{
    if (hwnd == nullptr)
    {
        *q = current_queue();
        return true;
    }
    WindowRef w = lookup(hwnd);
    if (!w)
        return false;
    *q = w->owner;
    return true;
}

// ---------------------------------------------------------------------------
// Handling sent messages
// ---------------------------------------------------------------------------
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
    return MSG{hwnd, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
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
// Controls on a thread with windows
// ---------------------------------------------------------------------------
static bool thread_owns_windows()
{
    const DWORD me = GetCurrentThreadId();
    for (HWND hwnd : window_list())
    {
        WindowInfo wi;
        if (window_info(hwnd, &wi) && wi.threadId == me)
            return true;
    }
    return false;
}

static bool quit_pending()
{
    MsgQueue& q = my_queue_ref();
    std::lock_guard<std::mutex> lock(q.mu);
    return q.quit;
}

// A control (a radio reset with a long modem-line pulse, an outside command)
// asked for by a thread with windows runs on a thread of its own while the
// caller handles its messages in a modal loop: a box or a dialog posted
// meanwhile shows, and a close is not held up. The handheld's driver call
// blocked its caller; here nothing on the screen may wait for a relay. Once
// the windows are closing (the quit message is posted) the caller stops
// waiting and the control is left to end on its own.
static ControlRun run_control_beside(std::function<void()> work)
{
    if (!thread_owns_windows())
        return ControlRun::Inline;
    struct Shared
    {
        std::atomic<bool> done{false};
    };
    auto shared = std::make_shared<Shared>();
    QueueRef q = current_queue();
    std::thread(
        [shared, q, work = std::move(work)]
        {
            work();
            shared->done.store(true);
            queue_wake(q);
        })
        .detach();
    modal_loop([&] { return shared->done.load() || quit_pending(); });
    return shared->done.load() ? ControlRun::Done : ControlRun::Abandoned;
}

// The kernel learns of the runner when the window system is linked in.
static const bool g_controlRunnerSet = []
{
    set_control_runner(run_control_beside);
    return true;
}();

// ---------------------------------------------------------------------------
// Sending to another thread
// ---------------------------------------------------------------------------
namespace
{

struct MarshalEntry
{
    UINT msg;
    Marshal marshal;
};

// clang-format off
// message        what lParam (and wParam) carry
const MarshalEntry kMarshalTable[] = {
    {WM_SETTEXT,    Marshal::InText},
    {EM_REPLACESEL, Marshal::InText},
    {WM_GETTEXT,    Marshal::OutText},
    {EM_GETSEL,     Marshal::OutSel},
};
// clang-format on

} // namespace

static Marshal marshal_of(UINT msg)
{
    for (const MarshalEntry& e : kMarshalTable)
        if (e.msg == msg)
            return e.marshal;
    return Marshal::None;
}

// A record for a message to another thread's window. What lParam points at
// travels in the record (see Marshal).
static SentRef make_sent(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, const QueueRef& sender)
{
    auto r = std::make_shared<SentMsg>();
    r->hwnd = hwnd;
    r->msg = msg;
    r->wParam = wParam;
    r->lParam = lParam;
    r->sender = sender;
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
    return r;
}

// Blocks until the owner has handled r, handling messages sent to the calling
// thread's own windows meanwhile. False when the calling thread was
// terminated first.
static bool await_reply(const SentRef& r, MsgQueue& owner)
{
    for (;;)
    {
        pump_sent_messages();
        {
            std::lock_guard<std::mutex> lock(r->mu);
            if (r->done)
                return true;
        }
        if (!wait_for_work(Clock::time_point::max()))
        {
            // Terminated: a message the owner has not taken yet is withdrawn,
            // so nothing the ended thread asked for happens after its end (a
            // bridge pump's traffic line after the stop's own line). One the
            // owner is handling completes; its reply goes nowhere.
            std::lock_guard<std::mutex> lock(owner.mu);
            auto it = std::find(owner.sent.begin(), owner.sent.end(), r);
            if (it != owner.sent.end())
                owner.sent.erase(it);
            return false;
        }
    }
}

// EM_REPLACESEL to a built-in edit control of a thread that waits between
// messages with none queued: the sender runs the control itself, holding the
// owner's running lock, so the owner stays in its wait until the text is in.
// The result is what the owner would have done at that moment (the control
// keeps its own lock for readers on other threads); the sender is spared two
// thread switches. False when the owner is busy or has messages waiting (the
// line then queues behind them as any send).
static bool send_in_owner_stead(const WindowRef& w, UINT msg, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    if (msg != EM_REPLACESEL || !w->edit)
        return false;
    MsgQueue& q = *w->owner;
    std::unique_lock<std::mutex> running(q.running, std::try_to_lock);
    if (!running.owns_lock())
        return false;
    {
        std::lock_guard<std::mutex> lock(q.mu);
        if (q.dead || !q.sent.empty())
            return false;
    }
    *result = call_proc(w, msg, wParam, lParam);
    return true;
}

// Copies what the owner wrote into the record to the caller's buffers. The
// owner is finished with the record, so reading it needs no lock.
static void copy_reply(const SentMsg& r, WPARAM wParam, LPARAM lParam)
{
    if (r.marshal == Marshal::OutText)
    {
        size_t n = std::min((size_t)r.result, r.outText.size() - 1);
        std::copy_n(r.outText.data(), n, (LPWSTR)lParam);
        ((LPWSTR)lParam)[n] = 0;
    }
    else if (r.marshal == Marshal::OutSel)
    {
        if (wParam)
            *(DWORD*)wParam = r.outSel[0];
        if (lParam)
            *(DWORD*)lParam = r.outSel[1];
    }
}

} // namespace plat

// ---------------------------------------------------------------------------
// The Win32 calls
// ---------------------------------------------------------------------------
using namespace plat;

// Same thread: the procedure is called at once. Another thread: the message
// waits in the owner's queue until the owner handles it, and the caller
// blocks until then, handling messages sent to its own windows meanwhile. A
// window destroyed, or whose thread has ended, before handling it yields 0 at
// once; so does a caller terminated while it waits.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    WindowRef w = enter_window_call(hwnd);
    if (!w)
        return 0;
    QueueRef me = current_queue();
    if (w->owner == me)
        return call_proc(w, msg, wParam, lParam);
    LRESULT inStead = 0;
    if (send_in_owner_stead(w, msg, wParam, lParam, &inStead))
        return inStead;

    SentRef r = make_sent(hwnd, msg, wParam, lParam, me);
    MsgQueue& q = *w->owner;
    {
        std::lock_guard<std::mutex> lock(q.mu);
        if (q.dead)
            return 0;
        q.sent.push_back(r);
        thread_wake(q.thread);
    }
    if (!await_reply(r, q))
        return 0;
    copy_reply(*r, wParam, lParam);
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
    if (!queue_of(hwnd, &q))
        return FALSE;
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->dead)
        return fail_with(ERROR_INVALID_WINDOW_HANDLE);
    if (q->posted.size() >= kMaxPosted)
        return fail_with(ERROR_NOT_ENOUGH_QUOTA);
    q->posted.push_back(make_msg(hwnd, msg, wParam, lParam));
    thread_wake(q->thread);
    return TRUE;
}

// The platform's own posted message: a call to run on the window's thread
// (window_post_call). In the range the system keeps for itself, below
// WM_USER, where no program message lies.
constexpr UINT kMsgPostedCall = WM_USER - 1;

BOOL plat::window_post_call(HWND hwnd, PostedCall fn, uint64_t arg)
{
    if (hwnd == nullptr || fn == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    return PostMessageW(hwnd, kMsgPostedCall, (WPARAM)arg, (LPARAM)(intptr_t)fn);
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
        return fail_with(ERROR_INVALID_PARAMETER);
    Clock::time_point next = Clock::time_point::max();
    return get_one(msg, hwnd, filterMin, filterMax, (remove & PM_REMOVE) != 0, &next) ? TRUE : FALSE;
}

// TranslateMessage is the shell's (shell_calls.cpp): it knows how input_key packs
// the character into a key message.

// A WM_TIMER carrying a timer procedure calls it instead of the window, and
// a posted call runs instead of the window procedure.
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
        return fail_with<LRESULT>(ERROR_ACCESS_DENIED);
    if (msg->message == kMsgPostedCall)
    {
        ((PostedCall)msg->lParam)(msg->hwnd, (uint64_t)msg->wParam);
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
