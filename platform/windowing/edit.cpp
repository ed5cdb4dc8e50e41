// The built-in "edit" control: a read-only multi-line text the program fills
// with EM_REPLACESEL and WM_SETTEXT and reads back with WM_GETTEXT.
//
// The text is kept whole in UTF-16 with one selection (an empty selection is
// the caret). Like a real control it holds a bounded amount of text: when an
// insertion passes kEditMaxUnits, the oldest whole lines are dropped until at
// most kEditTrimUnits remain, so a pane fed for days keeps a flat footprint
// and the trim cost is paid once per kEditMaxUnits - kEditTrimUnits units.
// Keyboard editing is not offered: the displays scroll the pane themselves.
#include "platform/windowing/window.h"

#include <algorithm>
#include <mutex>

namespace plat
{

struct EditControl
{
    std::mutex mu; // the text is read by displays on other threads
    std::u16string text;
    size_t selStart = 0; // selStart <= selEnd <= text.size()
    size_t selEnd = 0;
};

std::shared_ptr<EditControl> edit_new()
{
    return std::make_shared<EditControl>();
}

// Under e.mu. Drops the oldest whole lines once the text is past the bound.
// A single line longer than the whole bound is cut inside, at a code point
// boundary, so the bound always holds.
static void enforce_bound(EditControl& e)
{
    if (e.text.size() <= kEditMaxUnits)
        return;
    size_t need = e.text.size() - kEditTrimUnits; // units that must go, at least
    size_t nl = e.text.find(u'\n', need - 1);
    size_t cut;
    if (nl != std::u16string::npos)
        cut = nl + 1;
    else
    {
        cut = need;
        if (cut < e.text.size() && e.text[cut] >= 0xDC00 && e.text[cut] <= 0xDFFF)
            cut++;
    }
    e.text.erase(0, cut);
    e.selStart = e.selStart > cut ? e.selStart - cut : 0;
    e.selEnd = e.selEnd > cut ? e.selEnd - cut : 0;
    // A huge WM_SETTEXT may have grown the storage far past the bound.
    if (e.text.capacity() > 2 * kEditMaxUnits)
        e.text.shrink_to_fit();
}

static void set_text(EditControl& e, LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(e.mu);
    e.text = text ? std::u16string(text) : std::u16string();
    e.selStart = 0;
    e.selEnd = 0;
    enforce_bound(e);
}

std::u16string edit_copy_tail(EditControl& e, size_t maxUnits)
{
    std::lock_guard<std::mutex> lock(e.mu);
    if (e.text.size() <= maxUnits)
        return e.text;
    return e.text.substr(e.text.size() - maxUnits);
}

size_t edit_capacity(EditControl& e)
{
    std::lock_guard<std::mutex> lock(e.mu);
    return e.text.capacity();
}

// EM_REPLACESEL: the text replaces the selection and the caret goes after it.
static void replace_sel(EditControl& e, LPCWSTR text)
{
    std::lock_guard<std::mutex> lock(e.mu);
    std::u16string_view ins = text ? std::u16string_view(text) : std::u16string_view();
    e.text.replace(e.selStart, e.selEnd - e.selStart, ins);
    e.selStart += ins.size();
    e.selEnd = e.selStart;
    enforce_bound(e);
}

// EM_SETSEL: start -1: no selection, the caret stays where it is; end -1 (or
// past the text): the end of the text. Reversed ends are swapped.
static void set_sel(EditControl& e, long start, long end)
{
    std::lock_guard<std::mutex> lock(e.mu);
    size_t len = e.text.size();
    if (start == -1)
    {
        e.selStart = e.selEnd;
        return;
    }
    size_t s = start < 0 ? len : std::min((size_t)start, len);
    size_t t = end < 0 ? len : std::min((size_t)end, len);
    e.selStart = std::min(s, t);
    e.selEnd = std::max(s, t);
}

// EM_GETSEL: start and end packed into one value, or -1 when either does not
// fit in 16 bits (the DWORD outputs always hold them).
static LRESULT get_sel(EditControl& e, DWORD* start, DWORD* end)
{
    size_t s, t;
    {
        std::lock_guard<std::mutex> lock(e.mu);
        s = e.selStart;
        t = e.selEnd;
    }
    if (start)
        *start = (DWORD)s;
    if (end)
        *end = (DWORD)t;
    if (s > 0xFFFF || t > 0xFFFF)
        return -1;
    return (LRESULT)(DWORD)MAKELONG(s, t);
}

// Message results follow the handheld's control: EM_REPLACESEL and EM_SETSEL
// return nothing (0); EM_GETSEL see get_sel.
LRESULT edit_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<EditControl> ep = edit_of(hwnd);
    if (!ep)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    EditControl& e = *ep;
    switch (msg)
    {
        case WM_CREATE:
        {
            const CREATESTRUCTW* cs = (const CREATESTRUCTW*)lParam;
            set_text(e, cs ? cs->lpszName : nullptr);
            return 0;
        }
        case WM_SETTEXT:
            set_text(e, (LPCWSTR)lParam);
            window_notify_changed(hwnd, kChangeText);
            return TRUE;
        case WM_GETTEXT:
        {
            std::lock_guard<std::mutex> lock(e.mu);
            return copy_text_out(e.text, wParam, (LPWSTR)lParam);
        }
        case WM_GETTEXTLENGTH:
        {
            std::lock_guard<std::mutex> lock(e.mu);
            return (LRESULT)e.text.size();
        }
        case EM_REPLACESEL:
            replace_sel(e, (LPCWSTR)lParam);
            window_notify_changed(hwnd, kChangeText);
            return 0;
        case EM_SETSEL:
            set_sel(e, (long)(intptr_t)wParam, (long)lParam);
            window_notify_changed(hwnd, kChangeText);
            return 0;
        case EM_GETSEL:
            return get_sel(e, (DWORD*)wParam, (DWORD*)lParam);
        case EM_GETLINECOUNT:
        {
            std::lock_guard<std::mutex> lock(e.mu);
            return (LRESULT)(1 + std::count(e.text.begin(), e.text.end(), u'\n'));
        }
        case WM_CHAR:
        case WM_KEYDOWN:
        case WM_KEYUP:
            return 0; // read-only
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

} // namespace plat
