// The handheld shell's calls over the window system: the menu bar
// (SHCreateMenuBar), full-screen set-up and the title bar's OK button
// (SHInitDialog), the activation bookkeeping, common controls, accelerators,
// key translation, and the input a display feeds in. Dialogs from templates
// are in shell_dialogs.cpp.
#include "platform/shellapi/shell_internal.h"

#include "platform/windowing/display.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"

#include <algorithm>
#include <map>
#include <mutex>

static_assert(sizeof(LPARAM) >= 8, "input_key packs modifiers and the character above bit 31 of lParam");

namespace plat
{
namespace shellui
{

// Never destroyed: windows may go while static destructors run.
ShellState& shell()
{
    static ShellState* s = new ShellState();
    return *s;
}

void screen_size(int* width, int* height)
{
    *width = kDefaultScreenWidth;
    *height = kDefaultScreenHeight;
    const DisplayOps& d = display_current();
    if (d.screen_size)
        d.screen_size(width, height);
}

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

} // namespace shellui

namespace
{

using namespace shellui;

// SHInitDialog's marks on a window.
constexpr unsigned kMarkDoneButton = 1u << 0;
constexpr unsigned kMarkFullScreen = 1u << 1;

constexpr WPARAM kSpiSetSipInfo = 0xE0; // WM_SETTINGCHANGE: the input panel moved
constexpr WORD kWaInactive = 0;         // WM_ACTIVATE: deactivated

std::atomic<bool> g_menuBarFault{false};

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

void shellui::register_shell_classes()
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

// keybd_event's keys: the kernel learns of the shell's input when the shell
// is linked in (it sits below the shell and never names it).
static const bool g_keyInputSet = []
{
    set_key_input(input_key);
    return true;
}();

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
// A resource's data (FindResourceW and LoadResource); null with their error.
static const void* load_template(HINSTANCE instance, LPCWSTR name, LPCWSTR type)
{
    HRSRC hRes = FindResourceW(instance, name, type);
    if (hRes == nullptr)
        return nullptr;
    return LoadResource(instance, hRes);
}

// The bar's buttons with their captions and drop-downs; false when a button
// names a popup the menu does not have.
static bool menubar_buttons(HINSTANCE instance, const MenuBarTemplate* bar, const MenuTemplate* menu,
                            MenuBarState* state)
{
    for (UINT i = 0; i < bar->count; i++)
    {
        const MenuBarButton& b = bar->buttons[i];
        MenuBarButtonState button;
        WCHAR caption[128] = {};
        LoadStringW(instance, b.captionId, caption, 128);
        button.caption = caption;
        button.command = b.command;
        button.dropDown = (b.style & TBSTYLE_DROPDOWN) != 0;
        if (b.popupIndex != MENUBAR_NO_POPUP)
        {
            if (b.popupIndex < 0 || (UINT)b.popupIndex >= menu->count ||
                menu->items[b.popupIndex].kind != MENU_ITEM_POPUP)
                return fail_with<bool>(ERROR_INVALID_DATA);
            const MenuItemTemplate& popup = menu->items[b.popupIndex];
            for (UINT k = 0; k < popup.popupCount; k++)
                button.popup.push_back(&popup.popup[k]);
        }
        state->buttons.push_back(std::move(button));
    }
    return true;
}

// The menu bar is a top-level window owned by the parent, drawn at the bottom
// of the screen by the display. Its buttons and drop-downs come from the
// RT_RCDATA template nToolBarId and the menu it names; either missing fails
// the call with the resource lookup's error, and no window is made.
BOOL SHCreateMenuBar(SHMENUBARINFO* info)
{
    thread_checkpoint();
    if (info == nullptr || info->cbSize != sizeof(SHMENUBARINFO) || !IsWindow(info->hwndParent))
        return fail_with(ERROR_INVALID_PARAMETER);
    if (g_menuBarFault.load())
        return fail_with(ERROR_RESOURCE_NAME_NOT_FOUND);
    const MenuBarTemplate* bar =
        (const MenuBarTemplate*)load_template(info->hInstRes, MAKEINTRESOURCEW(info->nToolBarId), RT_RCDATA);
    if (bar == nullptr)
        return FALSE;
    const MenuTemplate* menu =
        (const MenuTemplate*)load_template(info->hInstRes, MAKEINTRESOURCEW(bar->menuId), RT_MENU);
    if (menu == nullptr)
        return FALSE;
    MenuBarState state;
    state.owner = info->hwndParent;
    if (!menubar_buttons(info->hInstRes, bar, menu, &state))
        return FALSE;

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
        return fail_with(ERROR_INVALID_PARAMETER);
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
        return fail_with(ERROR_INVALID_PARAMETER);
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
        return fail_with(ERROR_INVALID_PARAMETER);
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
        return fail_with(ERROR_INVALID_PARAMETER);
    if ((init->dwICC & ~ICC_BAR_CLASSES) != 0)
        return fail_with(ERROR_NOT_SUPPORTED);
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
        return fail_with<int>(ERROR_INVALID_WINDOW_HANDLE);
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
    return (HACCEL)load_template(instance, name, RT_ACCELERATOR);
}

// Whether a key message is the accelerator entry's key (see below).
static bool accel_matches(const ACCEL& a, const MSG* msg, unsigned mods)
{
    if (!(a.fVirt & FVIRTKEY))
        return msg->message == WM_CHAR && msg->wParam == a.key;
    unsigned want = 0;
    if (a.fVirt & FSHIFT)
        want |= kModShift;
    if (a.fVirt & FCONTROL)
        want |= kModCtrl;
    if (a.fVirt & FALT)
        want |= kModAlt;
    return msg->message == WM_KEYDOWN && msg->wParam == a.key && mods == want;
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
        return fail_with<int>(ERROR_INVALID_HANDLE);
    if (!IsWindow(hwnd))
        return fail_with<int>(ERROR_INVALID_WINDOW_HANDLE);
    unsigned mods = input_modifiers_of(msg);
    for (UINT i = 0; i < accel->count; i++)
    {
        const ACCEL& a = accel->entries[i];
        if (accel_matches(a, msg, mods))
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
