// Timers and geometry: SetTimer and KillTimer (the timers live in the queue
// of the window's thread and fall due in GetMessageW, see window_queue.cpp),
// the test clock, and the position, size and visibility the window system
// records for the displays: windows have no frame here, so the client area is
// the whole window.
#include "platform/windowing/window_internal.h"

#include <algorithm>

namespace plat
{

// Test hook: every timer of every thread with a window comes ms nearer.
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

using namespace plat;

// ---------------------------------------------------------------------------
// Timers
// ---------------------------------------------------------------------------
// Timers live in the queue of the window's thread. A timer is due at most
// once per period: WM_TIMER comes when the queue has nothing else to give.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc)
{
    thread_checkpoint();
    QueueRef q;
    if (!queue_of(hwnd, &q))
        return 0;
    UINT period = std::max(elapse, kTimerMinimumMs);
    std::lock_guard<std::mutex> lock(q->mu);
    if (q->dead)
        return fail_with<UINT_PTR>(ERROR_INVALID_WINDOW_HANDLE);
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
    if (!queue_of(hwnd, &q))
        return FALSE;
    std::lock_guard<std::mutex> lock(q->mu);
    auto it =
        std::find_if(q->timers.begin(), q->timers.end(), [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == q->timers.end())
        return fail_with(ERROR_INVALID_PARAMETER);
    q->timers.erase(it);
    return TRUE;
}

// ---------------------------------------------------------------------------
// Geometry and visibility
// ---------------------------------------------------------------------------
// Visibility is recorded for the displays; the previous state is returned.
BOOL ShowWindow(HWND hwnd, int cmdShow)
{
    WindowRef w = enter_window_call(hwnd);
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
    if (!enter_window_call(hwnd))
        return FALSE;
    window_notify_changed(hwnd, kChangePaint);
    return TRUE;
}

// Windows have no frame here: the client area is the whole window.
BOOL GetClientRect(HWND hwnd, RECT* rect)
{
    WindowRef w = enter_window_call(hwnd);
    if (!w)
        return FALSE;
    if (rect == nullptr)
        return fail_with(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(ws().mu);
    *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

// Position and size are recorded; a change of size sends WM_SIZE and a move
// WM_MOVE. The z-order is the creation order, whatever 'after' says.
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags)
{
    (void)after;
    WindowRef w = enter_window_call(hwnd);
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
