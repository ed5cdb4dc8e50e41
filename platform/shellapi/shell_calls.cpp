// The handheld shell's calls over the window system: the menu bar
// (SHCreateMenuBar), full-screen set-up and the title bar's OK button
// (SHInitDialog), the activation bookkeeping, common controls, accelerators,
// key translation, dialogs from templates, and the input a display feeds in.
#include "platform/shellapi/shell_ui.h"

#include "platform/windowing/display.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"

#include <algorithm>
#include <map>
#include <mutex>

static_assert(sizeof(LPARAM) >= 8, "input_key packs modifiers and the character above bit 31 of lParam");

namespace plat
{
namespace
{

// SHInitDialog's marks on a window.
constexpr unsigned kMarkDoneButton = 1u << 0;
constexpr unsigned kMarkFullScreen = 1u << 1;

// Dialog units to the display's units: the platform's dialog base units for
// its system font, 4 horizontal and 8 vertical dialog units a character.
constexpr int kDialogBaseX = 6;
constexpr int kDialogBaseY = 12;

constexpr WPARAM kSpiSetSipInfo = 0xE0; // WM_SETTINGCHANGE: the input panel moved
constexpr WORD kWaInactive = 0;         // WM_ACTIVATE: deactivated

struct DialogRecord
{
    HWND hDlg = nullptr;
    HWND owner = nullptr;
    const DialogTemplate* tmpl = nullptr;
    DLGPROC proc = nullptr;
    QueueRef queue; // the thread running its modal loop
    std::atomic<bool> ended{false};
    std::atomic<INT_PTR> result{0};
};
using DialogRef = std::shared_ptr<DialogRecord>;

struct ShellState
{
    std::mutex mu;
    std::map<HWND, MenuBarState> menuBars;             // by the bar's window
    std::map<HWND, unsigned> marks;                    // SHInitDialog marks by window
    std::map<HWND, DialogRef> dialogs;                 // live dialogs by window
    std::map<const DialogRecord*, DialogRef> creating; // between CreateWindowExW and WM_CREATE
    std::vector<HWND> modal;                           // dialogs in a modal loop, innermost last
};

// Never destroyed: windows may go while static destructors run.
ShellState& shell()
{
    static ShellState* s = new ShellState();
    return *s;
}

std::atomic<bool> g_menuBarFault{false};

void screen_size(int* width, int* height)
{
    *width = kDefaultScreenWidth;
    *height = kDefaultScreenHeight;
    const DisplayOps& d = display_current();
    if (d.screen_size)
        d.screen_size(width, height);
}

// Whether hwnd is top or one of its descendants.
bool within(HWND hwnd, HWND top)
{
    WindowInfo info;
    while (hwnd != nullptr)
    {
        if (hwnd == top)
            return true;
        if (!window_info(hwnd, &info) || !info.child)
            return false;
        hwnd = info.parent;
    }
    return false;
}

// The menu bar forwards what is sent to it to its owner, so a display may
// address either.
LRESULT menubar_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    ShellState& s = shell();
    if (msg == WM_DESTROY)
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.menuBars.erase(hwnd);
        return 0;
    }
    if (msg == WM_COMMAND)
    {
        HWND owner = nullptr;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            auto it = s.menuBars.find(hwnd);
            if (it != s.menuBars.end())
                owner = it->second.owner;
        }
        if (owner != nullptr)
            PostMessageW(owner, WM_COMMAND, wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

DialogRef dialog_record(HWND hDlg)
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.dialogs.find(hDlg);
    return it == s.dialogs.end() ? nullptr : it->second;
}

// The dialog manager: the dialog procedure sees every message but WM_CREATE;
// what it leaves (returns FALSE) gets the default handling: Enter is IDOK,
// Esc and closing are IDCANCEL. Nothing ends the dialog but EndDialog.
LRESULT dialog_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
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

// The shell's window classes, registered once on first use.
void register_shell_classes()
{
    static std::once_flag once;
    std::call_once(once,
                   []
                   {
                       WNDCLASSW wc = {};
                       wc.lpfnWndProc = menubar_proc;
                       wc.lpszClassName = kMenuBarClass;
                       RegisterClassW(&wc);
                       wc.lpfnWndProc = dialog_proc;
                       wc.lpszClassName = kDialogClass;
                       RegisterClassW(&wc);
                       wc.lpfnWndProc = DefWindowProcW; // the title is the text
                       wc.lpszClassName = kStaticClass;
                       RegisterClassW(&wc);
                   });
}

void set_mark(HWND hwnd, unsigned mark)
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    // Window handles are never handed out twice, so marks of windows that
    // went are only dropped to keep the map small.
    for (auto it = s.marks.begin(); it != s.marks.end();)
    {
        if (!IsWindow(it->first))
            it = s.marks.erase(it);
        else
            ++it;
    }
    s.marks[hwnd] |= mark;
}

bool has_mark(HWND hwnd, unsigned mark)
{
    if (!IsWindow(hwnd))
        return false;
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.marks.find(hwnd);
    return it != s.marks.end() && (it->second & mark) != 0;
}

const AcceleratorTemplate* accelerator_table(HACCEL table)
{
    UINT count = 0;
    const ResourceEntry* entries = plat::resource_table(&count);
    for (UINT i = 0; i < count; i++)
    {
        const ResourceEntry& e = entries[i];
        if (e.type.text == nullptr && e.type.id == RESTYPE_ACCELERATOR && e.data == (const void*)table)
            return (const AcceleratorTemplate*)e.data;
    }
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// For the displays
// ---------------------------------------------------------------------------
bool menubar_of(HWND owner, MenuBarState* out)
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& kv : s.menuBars)
    {
        if (kv.second.owner == owner && IsWindow(kv.first))
        {
            if (out)
                *out = kv.second;
            return true;
        }
    }
    return false;
}

std::vector<HWND> menubar_list()
{
    ShellState& s = shell();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<HWND> out;
    for (auto& kv : s.menuBars)
        if (IsWindow(kv.first))
            out.push_back(kv.first);
    return out;
}

bool window_has_done_button(HWND hwnd)
{
    return has_mark(hwnd, kMarkDoneButton);
}

bool window_is_full_screen(HWND hwnd)
{
    return has_mark(hwnd, kMarkFullScreen);
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

HWND program_window()
{
    for (HWND h : window_list())
    {
        WindowInfo info;
        if (!window_info(h, &info) || info.child || info.parent != nullptr)
            continue;
        if (wstr_iequal(info.className, kMenuBarClass) || wstr_iequal(info.className, kDialogClass))
            continue;
        return h;
    }
    return nullptr;
}

void shell_set_menubar_fault(bool fail)
{
    g_menuBarFault.store(fail);
}

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------
// Keys go to the dialog a modal loop runs, else to the window in front (the
// program's window when nothing was brought forward), and there to the
// keyboard focus when it lies inside that window.
void input_key(int vk, unsigned modifiers, char16_t ch)
{
    HWND top = active_dialog();
    if (top == nullptr)
    {
        top = foreground_window();
        if (top == nullptr)
            top = program_window();
    }
    if (top == nullptr)
        return;
    HWND focus = window_thread_focus(top);
    HWND target = (focus != nullptr && within(focus, top)) ? focus : top;
    modifiers &= kModShift | kModCtrl | kModAlt;
    LPARAM lParam = 1;
    if (modifiers & kModAlt)
        lParam |= (LPARAM)1 << 29;
    lParam |= (LPARAM)modifiers << kKeyModifierShift;
    lParam |= (LPARAM)ch << kKeyCharShift;
    PostMessageW(target, WM_KEYDOWN, (WPARAM)vk, lParam);
}

void send_command(HWND target, int id)
{
    PostMessageW(target, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

unsigned input_modifiers_of(const MSG* msg)
{
    if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_KEYUP && msg->message != WM_CHAR))
        return 0;
    return (unsigned)(((uint64_t)msg->lParam >> kKeyModifierShift) & (kModShift | kModCtrl | kModAlt));
}

} // namespace plat

using namespace plat;

// ---------------------------------------------------------------------------
// Shell calls
// ---------------------------------------------------------------------------
// The menu bar is a top-level window owned by the parent, drawn at the bottom
// of the screen by the display. Its buttons and drop-downs come from the
// RT_RCDATA template nToolBarId and the menu it names; either missing fails
// the call with the resource lookup's error, and no window is made.
BOOL SHCreateMenuBar(SHMENUBARINFO* info)
{
    thread_checkpoint();
    if (info == nullptr || info->cbSize != sizeof(SHMENUBARINFO) || !IsWindow(info->hwndParent))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (g_menuBarFault.load())
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return FALSE;
    }
    HRSRC hBar = FindResourceW(info->hInstRes, MAKEINTRESOURCEW(info->nToolBarId), RT_RCDATA);
    if (hBar == nullptr)
        return FALSE;
    const MenuBarTemplate* bar = (const MenuBarTemplate*)LoadResource(info->hInstRes, hBar);
    if (bar == nullptr)
        return FALSE;
    HRSRC hMenu = FindResourceW(info->hInstRes, MAKEINTRESOURCEW(bar->menuId), RT_MENU);
    if (hMenu == nullptr)
        return FALSE;
    const MenuTemplate* menu = (const MenuTemplate*)LoadResource(info->hInstRes, hMenu);
    if (menu == nullptr)
        return FALSE;

    MenuBarState state;
    state.owner = info->hwndParent;
    for (UINT i = 0; i < bar->count; i++)
    {
        const MenuBarButton& b = bar->buttons[i];
        MenuBarButtonState button;
        WCHAR caption[128] = {};
        LoadStringW(info->hInstRes, b.captionId, caption, 128);
        button.caption = caption;
        button.command = b.command;
        button.dropDown = (b.style & TBSTYLE_DROPDOWN) != 0;
        if (b.popupIndex != MENUBAR_NO_POPUP)
        {
            if (b.popupIndex < 0 || (UINT)b.popupIndex >= menu->count ||
                menu->items[b.popupIndex].kind != MENU_ITEM_POPUP)
            {
                SetLastError(ERROR_INVALID_DATA);
                return FALSE;
            }
            const MenuItemTemplate& popup = menu->items[b.popupIndex];
            for (UINT k = 0; k < popup.popupCount; k++)
                button.popup.push_back(&popup.popup[k]);
        }
        state.buttons.push_back(std::move(button));
    }

    register_shell_classes();
    int width, height;
    screen_size(&width, &height);
    HWND hwndMB = CreateWindowExW(0, kMenuBarClass, u"", WS_VISIBLE, 0, height - kMenuBarHeight, width, kMenuBarHeight,
                                  info->hwndParent, nullptr, info->hInstRes, nullptr);
    if (hwndMB == nullptr)
        return FALSE;
    state.hwndMB = hwndMB;
    {
        ShellState& s = shell();
        std::lock_guard<std::mutex> lock(s.mu);
        s.menuBars[hwndMB] = state;
    }
    // The display heard of the window before it had buttons.
    window_notify_changed(hwndMB, kChangePaint);
    info->hwndMB = hwndMB;
    return TRUE;
}

// SHIDIF_SIZEDLG and SHIDIF_SIZEDLGFULLSCREEN size the window to the whole
// screen (the display keeps the menu bar's strip free when it draws);
// SHIDIF_DONEBUTTON gives it the title bar's OK button, which sends IDOK.
BOOL SHInitDialog(SHINITDLGINFO* info)
{
    thread_checkpoint();
    if (info == nullptr || !IsWindow(info->hDlg))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((info->dwMask & SHIDIM_FLAGS) == 0)
        return TRUE;
    if (info->dwFlags & SHIDIF_DONEBUTTON)
        set_mark(info->hDlg, kMarkDoneButton);
    if (info->dwFlags & (SHIDIF_SIZEDLG | SHIDIF_SIZEDLGFULLSCREEN))
    {
        set_mark(info->hDlg, kMarkFullScreen);
        int width, height;
        screen_size(&width, &height);
        SetWindowPos(info->hDlg, nullptr, 0, 0, width, height, SWP_NOZORDER);
    }
    if (info->dwFlags & SHIDIF_DONEBUTTON)
        window_notify_changed(info->hDlg, kChangePaint);
    return TRUE;
}

// Bookkeeping only: whether the window is active and, when it loses
// activation, which of its windows had the focus. There is no input panel to
// raise or lower.
BOOL SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info, DWORD flags)
{
    (void)lParam;
    (void)flags;
    thread_checkpoint();
    if (info == nullptr || info->cbSize != sizeof(SHACTIVATEINFO))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (LOWORD(wParam) == kWaInactive)
    {
        info->fActive = 0;
        HWND focus = window_thread_focus(hwnd);
        if (focus != nullptr && within(focus, hwnd))
            info->hwndLastFocus = focus;
    }
    else
        info->fActive = 1;
    return TRUE;
}

// The input panel never shows here, so a change of its position leaves it
// down.
BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info)
{
    (void)hwnd;
    (void)lParam;
    thread_checkpoint();
    if (info == nullptr || info->cbSize != sizeof(SHACTIVATEINFO))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (wParam == kSpiSetSipInfo)
        info->fSipUp = 0;
    return TRUE;
}

// The bar classes (the menu bar) are always there; no other common control
// class is offered.
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init)
{
    thread_checkpoint();
    if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((init->dwICC & ~ICC_BAR_CLASSES) != 0)
    {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    register_shell_classes();
    return TRUE;
}

// The height of a command bar. With no bar (a null window, which is what the
// main window's lookup of control id 4 yields: nothing creates that child)
// the height is 0, so the log pane starts at the top of the client area: the
// only bar here is the menu bar, and it sits at the bottom of the screen, not
// on top of the window.
int CommandBar_Height(HWND hwndCB)
{
    thread_checkpoint();
    if (hwndCB == nullptr)
        return 0;
    WindowInfo info;
    if (!window_info(hwndCB, &info))
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (wstr_iequal(info.className, kMenuBarClass))
        return kMenuBarHeight;
    return info.rect.bottom - info.rect.top;
}

// ---------------------------------------------------------------------------
// Accelerators and key translation
// ---------------------------------------------------------------------------
// The table is the resource record itself.
HACCEL LoadAcceleratorsW(HINSTANCE instance, LPCWSTR name)
{
    thread_checkpoint();
    HRSRC hRes = FindResourceW(instance, name, RT_ACCELERATOR);
    if (hRes == nullptr)
        return nullptr;
    return (HACCEL)LoadResource(instance, hRes);
}

// A virtual-key entry matches WM_KEYDOWN of its key with exactly its Ctrl,
// Shift and Alt state (as input_key recorded them); a character entry
// matches WM_CHAR of its character. A match sends WM_COMMAND with the entry's
// command and notification code 1 to hwnd and returns 1.
int TranslateAcceleratorW(HWND hwnd, HACCEL table, MSG* msg)
{
    thread_checkpoint();
    if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_CHAR))
        return 0;
    const AcceleratorTemplate* accel = accelerator_table(table);
    if (accel == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!IsWindow(hwnd))
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    unsigned mods = input_modifiers_of(msg);
    for (UINT i = 0; i < accel->count; i++)
    {
        const ACCEL& a = accel->entries[i];
        bool match;
        if (a.fVirt & FVIRTKEY)
        {
            unsigned want = 0;
            if (a.fVirt & FSHIFT)
                want |= kModShift;
            if (a.fVirt & FCONTROL)
                want |= kModCtrl;
            if (a.fVirt & FALT)
                want |= kModAlt;
            match = msg->message == WM_KEYDOWN && msg->wParam == a.key && mods == want;
        }
        else
            match = msg->message == WM_CHAR && msg->wParam == a.key;
        if (match)
        {
            SendMessageW(hwnd, WM_COMMAND, MAKEWPARAM(a.cmd, 1), 0);
            return 1;
        }
    }
    return 0;
}

// A key press that carries a character (input_key packs it into lParam)
// posts WM_CHAR with it to the same window. Key messages yield TRUE, as on
// the platform, whether or not a character came of them.
BOOL TranslateMessage(const MSG* msg)
{
    thread_checkpoint();
    if (msg == nullptr || (msg->message != WM_KEYDOWN && msg->message != WM_KEYUP))
        return FALSE;
    if (msg->message == WM_KEYDOWN)
    {
        char16_t ch = (char16_t)(((uint64_t)msg->lParam >> kKeyCharShift) & 0xFFFF);
        if (ch != 0)
            PostMessageW(msg->hwnd, WM_CHAR, (WPARAM)ch,
                         (LPARAM)((uint64_t)msg->lParam & ~((uint64_t)0xFFFF << kKeyCharShift)));
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// Dialogs
// ---------------------------------------------------------------------------
// Makes the dialog and its controls (owned by owner, centred with
// DS_CENTER), sends WM_INITDIALOG, shows it and runs a modal loop on the
// calling thread until EndDialog: the owner, like every window of the thread,
// keeps getting its sent, posted and timer messages meanwhile. Returns
// EndDialog's result; -1 when the dialog cannot be made, or when it went away
// without EndDialog (its owner was destroyed).
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCVOID dialogTemplate, HWND owner, DLGPROC proc, LPARAM param)
{
    thread_checkpoint();
    if (dialogTemplate == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (owner != nullptr && !IsWindow(owner))
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    register_shell_classes();
    const DialogTemplate* t = (const DialogTemplate*)dialogTemplate;
    auto rec = std::make_shared<DialogRecord>();
    rec->owner = owner;
    rec->tmpl = t;
    rec->proc = proc;
    rec->queue = current_queue();

    int screenW, screenH;
    screen_size(&screenW, &screenH);
    int cx = t->cx * kDialogBaseX / 4;
    int cy = t->cy * kDialogBaseY / 8;
    int x = t->x * kDialogBaseX / 4;
    int y = t->y * kDialogBaseY / 8;
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
                                owner, nullptr, instance, rec.get());
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.creating.erase(rec.get());
    }
    if (hDlg == nullptr)
        return -1;
    HWND first = nullptr;
    for (UINT i = 0; i < t->count; i++)
    {
        const DialogItemTemplate& it = t->items[i];
        HWND item = CreateWindowExW(it.exStyle, it.className, it.text, it.style | WS_CHILD, it.x * kDialogBaseX / 4,
                                    it.y * kDialogBaseY / 8, it.cx * kDialogBaseX / 4, it.cy * kDialogBaseY / 8, hDlg,
                                    (HMENU)(uintptr_t)it.id, instance, nullptr);
        if (item == nullptr)
        {
            DWORD error = GetLastError();
            DestroyWindow(hDlg);
            SetLastError(error);
            return -1;
        }
        if (first == nullptr)
            first = item;
    }
    HWND prevFocus = focus_window();
    SendMessageW(hDlg, WM_INITDIALOG, (WPARAM)first, param);
    if (IsWindow(hDlg) && !rec->ended.load())
    {
        if (t->style & WS_VISIBLE)
            ShowWindow(hDlg, SW_SHOW);
        HWND focus = focus_window();
        if (focus == nullptr || !within(focus, hDlg))
            SetFocus(hDlg);
        UpdateWindow(hDlg);
    }
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.modal.push_back(hDlg);
    }
    modal_loop([&] { return rec->ended.load() || !IsWindow(hDlg); });
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.modal.erase(std::remove(s.modal.begin(), s.modal.end(), hDlg), s.modal.end());
    }
    bool ended = rec->ended.load();
    if (IsWindow(hDlg))
        DestroyWindow(hDlg);
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
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    rec->result.store(result);
    rec->ended.store(true);
    queue_wake(rec->queue);
    return TRUE;
}
