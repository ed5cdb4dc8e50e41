// The window table, classes and procedures: RegisterClassW, creating and
// destroying windows (WM_CREATE inside CreateWindowExW, WM_DESTROY down the
// tree), children by id, the keyboard focus, default processing, the observer
// the displays hear changes through, and the state they read. The queues live
// in window_queue.cpp, timers and geometry in window_timer_geometry.cpp.
#include "platform/windowing/window_internal.h"
#include "platform/kernel/firmware_set.h"
#include "platform/kernel/resource_loader.h"
#include "platform/windowing/display.h"
#include "platform/windowing/status_line.h"
#include "platform/kernel/text.h"

#include <algorithm>

namespace plat
{

// ---------------------------------------------------------------------------
// The tables
// ---------------------------------------------------------------------------
WindowSystem::WindowSystem()
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

WindowSystem& ws()
{
    static WindowSystem* system = new WindowSystem();
    return *system;
}

static HWND hwnd_from_serial(uint64_t serial)
{
    return (HWND)(uintptr_t)(serial << 4);
}

WindowRef lookup(HWND hwnd, bool setError)
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

WindowRef enter_window_call(HWND hwnd)
{
    thread_checkpoint();
    return lookup(hwnd);
}

std::vector<WindowRef> windows_where(const std::function<bool(Window&)>& pred)
{
    WindowSystem& s = ws();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<WindowRef> out;
    for (HWND h : s.order)
    {
        auto it = s.windows.find((uintptr_t)h);
        if (it != s.windows.end() && pred(*it->second))
            out.push_back(it->second);
    }
    return out;
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
// Calling procedures
// ---------------------------------------------------------------------------
static std::atomic<EditTextTap> g_editTextTap{nullptr};

void window_set_edit_tap(EditTextTap tap)
{
    g_editTextTap.store(tap);
}

LRESULT copy_text_out(std::u16string_view text, WPARAM units, LPWSTR buffer)
{
    if (units == 0 || buffer == nullptr)
        return 0;
    size_t n = std::min(text.size(), (size_t)units - 1);
    std::copy_n(text.data(), n, buffer);
    buffer[n] = 0;
    return (LRESULT)n;
}

LRESULT call_proc(const WindowRef& w, UINT msg, WPARAM wParam, LPARAM lParam)
{
    // A refused firmware set takes the update command away, whichever way it came.
    std::string refused;
    if (msg == WM_COMMAND && firmware_command_refused(LOWORD(wParam), &refused))
    {
        status_notice(refused);
        return 0;
    }
    LRESULT result = w->proc(w->hwnd, msg, wParam, lParam);
    if (msg == EM_REPLACESEL && w->edit)
    {
        EditTextTap tap = g_editTextTap.load();
        if (tap)
            tap(w->hwnd, lParam ? std::u16string_view((LPCWSTR)lParam) : std::u16string_view());
    }
    return result;
}

void retire_window(const WindowRef& w)
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

std::u16string text_or_string(LPCWSTR text)
{
    if (text == nullptr)
        return std::u16string();
    if (!IS_INTRESOURCE(text))
        return text;
    LPCWSTR string = nullptr;
    int length = LoadStringW(program_instance(), (UINT)(uintptr_t)text, (LPWSTR)&string, 0);
    return length > 0 ? std::u16string(string, (size_t)length) : std::u16string();
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
        return fail_with<ATOM>(ERROR_INVALID_PARAMETER);
    WindowSystem& s = ws();
    std::u16string key = wstr_fold(wc->lpszClassName);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.classes.count(key))
        return fail_with<ATOM>(ERROR_CLASS_ALREADY_EXISTS);
    if (s.nextAtom == 0xFFFF)
        return fail_with<ATOM>(ERROR_NOT_ENOUGH_MEMORY);
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

// Position and size from CreateWindowExW's arguments: CW_USEDEFAULT places a
// window at the origin with the display's screen size (a child: empty).
static RECT create_rect(bool child, int x, int y, int width, int height)
{
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
    return RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
}

// Puts a new window into the table under a fresh handle; the displays hear of
// it before its procedure runs.
static HWND insert_window(const WindowRef& w)
{
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
    return hwnd;
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
        return fail_with<HWND>(ERROR_CANNOT_FIND_WND_CLASS);
    bool child = (style & WS_CHILD) != 0;
    if (parent != nullptr && !lookup(parent))
        return nullptr;
    if (child && parent == nullptr)
        return fail_with<HWND>(ERROR_TLW_WITH_WSCHILD);
    RECT rect = create_rect(child, x, y, width, height);
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;

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
    w->title = text_or_string(title);
    w->rect = rect;
    HWND hwnd = insert_window(w);

    CREATESTRUCTW cs{.lpCreateParams = param,
                     .hInstance = instance,
                     .hMenu = menuOrId,
                     .hwndParent = parent,
                     .cy = height,
                     .cx = width,
                     .y = rect.top,
                     .x = rect.left,
                     .style = (LONG)style,
                     .lpszName = title,
                     .lpszClass = className,
                     .dwExStyle = exStyle};
    if (call_proc(w, WM_CREATE, 0, (LPARAM)&cs) == -1)
    {
        if (lookup(hwnd, false))
            DestroyWindow(hwnd);
        return nullptr;
    }
    if (!lookup(hwnd, false))
        return nullptr;
    call_proc(w, WM_SIZE, SIZE_RESTORED, MAKELPARAM(width, height));
    call_proc(w, WM_MOVE, 0, MAKELPARAM(rect.left, rect.top));
    return lookup(hwnd, false) ? hwnd : nullptr;
}

// WM_DESTROY goes to the window first, then to its children (top-down); the
// records then leave the table children first. Owned top-level windows of
// the same thread are destroyed before their owner.
static void destroy_tree(const WindowRef& w)
{
    call_proc(w, WM_DESTROY, 0, 0);
    std::vector<WindowRef> children = windows_where(
        [&](Window& c)
        {
            if (c.parent != w->hwnd || !c.child || c.destroying)
                return false;
            c.destroying = true;
            return true;
        });
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
    WindowRef w = enter_window_call(hwnd);
    if (!w)
        return FALSE;
    if (w->owner.get() != &my_queue_ref())
        return fail_with(ERROR_ACCESS_DENIED);
    {
        std::lock_guard<std::mutex> lock(ws().mu);
        if (w->destroying)
            return TRUE; // already on its way out (a second call from its WM_DESTROY)
        w->destroying = true;
    }
    std::vector<WindowRef> owned =
        windows_where([&](Window& o) { return o.parent == hwnd && !o.child && o.owner == w->owner; });
    for (auto& o : owned)
        DestroyWindow(o->hwnd);
    destroy_tree(w);
    return TRUE;
}

BOOL IsWindow(HWND hwnd)
{
    thread_checkpoint();
    return lookup(hwnd, false) ? TRUE : FALSE;
}

HWND GetDlgItem(HWND hwnd, int id)
{
    if (!enter_window_call(hwnd))
        return nullptr;
    std::vector<WindowRef> items = windows_where([&](Window& c) { return c.parent == hwnd && c.child && c.id == id; });
    if (items.empty())
        return fail_with<HWND>(ERROR_CONTROL_ID_NOT_FOUND);
    return items.front()->hwnd;
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
            return fail_with<HWND>(ERROR_ACCESS_DENIED);
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
            if (!w)
                return 0;
            std::lock_guard<std::mutex> lock(ws().mu);
            return copy_text_out(w->title, wParam, (LPWSTR)lParam);
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
            status_message(msg, wParam, lParam); // the download's progress, the bridge's ports
            return 0;
    }
}
