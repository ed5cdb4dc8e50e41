// The dialog manager: dialogs from templates (DialogBoxIndirectParamW), their
// default keys, their modal loops on the calling thread, and EndDialog from
// any thread; displays find the dialog up through dialog_of and
// active_dialog.
#include "platform/shellapi/shell_internal.h"

#include <algorithm>

namespace plat
{
namespace
{

using namespace shellui;

// Dialog units to the display's units: the platform's dialog base units for
// its system font, 4 horizontal and 8 vertical dialog units a character.
constexpr int kDialogBaseX = 6;
constexpr int kDialogBaseY = 12;

DialogRef dialog_record(HWND hDlg)
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.dialogs.find(hDlg);
    return it == s.dialogs.end() ? nullptr : it->second;
}

} // namespace

// The dialog manager: the dialog procedure sees every message but WM_CREATE;
// what it leaves (returns FALSE) gets the default handling: Enter is IDOK,
// Esc and closing are IDCANCEL. Nothing ends the dialog but EndDialog.
LRESULT shellui::dialog_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    ShellState& s = shell();
    if (msg == WM_CREATE)
    {
        const CREATESTRUCTW* cs = (const CREATESTRUCTW*)lParam;
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.creating.find((const DialogRecord*)cs->lpCreateParams);
        if (it == s.creating.end())
            return -1; // made with CreateWindowExW, not by the dialog manager
        it->second->hDlg = hwnd;
        s.dialogs[hwnd] = it->second;
        return 0;
    }
    DialogRef rec = dialog_record(hwnd);
    if (!rec)
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    BOOL handled = rec->proc ? rec->proc(hwnd, msg, wParam, lParam) : FALSE;
    if (msg == WM_DESTROY)
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.dialogs.erase(hwnd);
        return 0;
    }
    if (handled)
        return TRUE;
    switch (msg)
    {
        case WM_KEYDOWN:
            if (wParam == kVkReturn)
                SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
            else if (wParam == kVkEscape)
                SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return 0;
        case WM_CLOSE:
            PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
            return 0;
        case WM_INITDIALOG:
        case WM_COMMAND:
        case WM_CHAR:
        case WM_KEYUP:
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

bool dialog_of(HWND hDlg, DialogState* out)
{
    DialogRef rec = dialog_record(hDlg);
    if (!rec || !IsWindow(hDlg))
        return false;
    if (out)
        *out = DialogState{hDlg, rec->owner, rec->tmpl};
    return true;
}

HWND active_dialog()
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto it = s.modal.rbegin(); it != s.modal.rend(); ++it)
        if (IsWindow(*it))
            return *it;
    return nullptr;
}

} // namespace plat

using namespace plat;
using namespace plat::shellui;

// ---------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------
// Dialog units to the display's units.
static int dialog_x(int units)
{
    return units * kDialogBaseX / 4;
}

static int dialog_y(int units)
{
    return units * kDialogBaseY / 8;
}

// The dialog's window, made by the dialog manager for rec (dialog_proc finds
// the record through the creation parameter). Centred with DS_CENTER; shown
// only after WM_INITDIALOG.
static HWND create_dialog(HINSTANCE instance, const DialogRef& rec)
{
    const DialogTemplate* t = rec->tmpl;
    int screenW, screenH;
    screen_size(&screenW, &screenH);
    int cx = dialog_x(t->cx);
    int cy = dialog_y(t->cy);
    int x = dialog_x(t->x);
    int y = dialog_y(t->y);
    if (t->style & DS_CENTER)
    {
        x = std::max(0, (screenW - cx) / 2);
        y = std::max(0, (screenH - cy) / 2);
    }
    ShellState& s = shell();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.creating[rec.get()] = rec;
    }
    HWND hDlg = CreateWindowExW(t->exStyle, kDialogClass, t->caption, t->style & ~(WS_VISIBLE | WS_CHILD), x, y, cx, cy,
                                rec->owner, nullptr, instance, rec.get());
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.creating.erase(rec.get());
    }
    return hDlg;
}

// The dialog's controls from its template; *first gets the first. False (with
// the creation's error) when one cannot be made.
static bool create_dialog_items(HINSTANCE instance, HWND hDlg, const DialogTemplate* t, HWND* first)
{
    *first = nullptr;
    for (UINT i = 0; i < t->count; i++)
    {
        const DialogItemTemplate& it = t->items[i];
        HWND item =
            CreateWindowExW(it.exStyle, it.className, it.text, it.style | WS_CHILD, dialog_x(it.x), dialog_y(it.y),
                            dialog_x(it.cx), dialog_y(it.cy), hDlg, (HMENU)(uintptr_t)it.id, instance, nullptr);
        if (item == nullptr)
            return false;
        if (*first == nullptr)
            *first = item;
    }
    return true;
}

// After WM_INITDIALOG: a dialog still up is shown (with WS_VISIBLE), takes
// the focus unless it already holds it, and is drawn.
static void show_dialog(HWND hDlg, const DialogTemplate* t)
{
    if (t->style & WS_VISIBLE)
        ShowWindow(hDlg, SW_SHOW);
    HWND focus = focus_window();
    if (focus == nullptr || !within(focus, hDlg))
        SetFocus(hDlg);
    UpdateWindow(hDlg);
}

// The modal loop, with the dialog counted as the active one meanwhile.
static void run_dialog(HWND hDlg, const DialogRef& rec)
{
    ShellState& s = shell();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.modal.push_back(hDlg);
    }
    modal_loop([&] { return rec->ended.load() || !IsWindow(hDlg); });
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.modal.erase(std::remove(s.modal.begin(), s.modal.end(), hDlg), s.modal.end());
    }
}

// Makes the dialog and its controls (owned by owner, centred with
// DS_CENTER), sends WM_INITDIALOG, shows it and runs a modal loop on the
// calling thread until EndDialog: the owner, like every window of the thread,
// keeps getting its sent, posted and timer messages meanwhile. Returns
// EndDialog's result; -1 when the dialog cannot be made, or when it went away
// without EndDialog (its owner was destroyed).
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCVOID dialogTemplate, HWND owner, DLGPROC proc, LPARAM param)
{
    thread_checkpoint();
    if (dialogTemplate == nullptr || (owner != nullptr && !IsWindow(owner)))
    {
        SetLastError(dialogTemplate == nullptr ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    register_shell_classes();
    auto rec = std::make_shared<DialogRecord>();
    rec->owner = owner;
    rec->tmpl = (const DialogTemplate*)dialogTemplate;
    rec->proc = proc;
    rec->queue = current_queue();
    HWND hDlg = create_dialog(instance, rec);
    if (hDlg == nullptr)
        return -1;
    HWND first;
    if (!create_dialog_items(instance, hDlg, rec->tmpl, &first))
    {
        DWORD error = GetLastError();
        DestroyWindow(hDlg);
        SetLastError(error);
        return -1;
    }
    HWND prevFocus = focus_window();
    SendMessageW(hDlg, WM_INITDIALOG, (WPARAM)first, param);
    if (IsWindow(hDlg) && !rec->ended.load())
        show_dialog(hDlg, rec->tmpl);
    run_dialog(hDlg, rec);
    bool ended = rec->ended.load();
    if (IsWindow(hDlg))
        DestroyWindow(hDlg);
    // The focus goes back where it was, unless the program put it elsewhere.
    if (prevFocus != nullptr && IsWindow(prevFocus))
    {
        HWND focus = focus_window();
        if (focus == nullptr || !IsWindow(focus))
            SetFocus(prevFocus);
    }
    if (!ended)
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    return rec->result.load();
}

// Ends a dialog that DialogBoxIndirectParamW runs: its loop returns result.
// Callable from any thread; the dialog goes when its loop ends.
BOOL EndDialog(HWND hDlg, INT_PTR result)
{
    thread_checkpoint();
    DialogRef rec = dialog_record(hDlg);
    if (!rec || !IsWindow(hDlg))
        return fail_with(ERROR_INVALID_WINDOW_HANDLE);
    rec->result.store(result);
    rec->ended.store(true);
    queue_wake(rec->queue);
    return TRUE;
}
