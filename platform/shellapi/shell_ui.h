// The handheld shell's pieces of the window system, between the calls that
// make them (shell_calls.cpp: SHCreateMenuBar, SHInitDialog, accelerators;
// shell_dialogs.cpp: DialogBoxIndirectParamW) and the displays that draw
// them and feed them input.
//
//   - The menu bar: SHCreateMenuBar makes a top-level window of class
//     kMenuBarClass owned by the given parent (it is not a child of it, so it
//     takes no control id). A display draws its buttons at the bottom of the
//     screen; pressing the drop-down button opens the popup, and picking an
//     item sends WM_COMMAND with the item's id to the owner.
//   - The title bar's OK button: SHInitDialog with SHIDIF_DONEBUTTON marks the
//     window; a display draws the button and, when it is pressed, the owner
//     gets WM_COMMAND IDOK.
//   - Dialogs from templates: DialogBoxIndirectParamW makes a window of class
//     kDialogClass with its controls, owned by the given window, and runs a
//     modal loop until EndDialog. A display draws it over its owner; Enter
//     sends IDOK and Esc IDCANCEL to the dialog.
//   - Keyboard input: a display hands every key to input_key(), which posts
//     WM_KEYDOWN/WM_CHAR to the focus window of the UI thread with the
//     modifier state the accelerators need.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/kernel/resource_loader.h"
#include "platform/win32.h"

#include <string>
#include <vector>

namespace plat
{

constexpr const char16_t* kMenuBarClass = u"menu_worker";
constexpr const char16_t* kDialogClass = u"Dialog";
constexpr const char16_t* kStaticClass = u"static";

// Lines a menu bar takes at the bottom of a terminal screen, and pixels on
// the handheld (CommandBar_Height of a bar).
constexpr int kMenuBarHeight = 26;

// Modifier bits for input_key.
enum KeyModifier : unsigned
{
    kModShift = 1u << 0,
    kModCtrl = 1u << 1,
    kModAlt = 1u << 2,
};

// Virtual key codes a display produces besides letters and digits ('A'..'Z',
// '0'..'9' are their ASCII codes).
enum VirtualKey : int
{
    kVkBack = 0x08,
    kVkTab = 0x09,
    kVkReturn = 0x0D,
    kVkEscape = 0x1B,
    kVkPrior = 0x21,
    kVkNext = 0x22,
    kVkEnd = 0x23,
    kVkHome = 0x24,
    kVkLeft = 0x25,
    kVkUp = 0x26,
    kVkRight = 0x27,
    kVkDown = 0x28,
    kVkF1 = 0x70,
    kVkF10 = 0x79,
};

struct MenuBarButtonState
{
    std::u16string caption;                     // from the caption string id
    WORD command;                               // what the button itself sends (40001 here)
    bool dropDown;                              // TBSTYLE_DROPDOWN: pressing it opens `popup`
    std::vector<const MenuItemTemplate*> popup; // the items of its drop-down, in order
};

struct MenuBarState
{
    HWND hwndMB; // the bar's window
    HWND owner;  // the window its commands go to
    std::vector<MenuBarButtonState> buttons;
};

// The menu bar owned by a window; false when it has none.
bool menubar_of(HWND owner, MenuBarState* out);
// Every live menu bar (a display draws the one of the window in front).
std::vector<HWND> menubar_list();

// SHInitDialog's marks on a window.
bool window_has_done_button(HWND hwnd);
bool window_is_full_screen(HWND hwnd);

// The template a dialog was made from; false when hwnd is not a dialog.
struct DialogState
{
    HWND hDlg;
    HWND owner;
    const DialogTemplate* tmpl;
};
bool dialog_of(HWND hDlg, DialogState* out);

// The window brought to the front last (SetForegroundWindow), or null.
HWND foreground_window();

// Input from a display. input_key posts to the UI thread's focus window (or
// its active top-level window); send_command posts WM_COMMAND(id) to target.
void input_key(int vk, unsigned modifiers, char16_t ch);
void send_command(HWND target, int id);

// The modifier state of the key message being handled (TranslateAcceleratorW
// reads it).
unsigned input_modifiers_of(const MSG* msg);

// ---------------------------------------------------------------------------
// Added by the shell calls' implementation (shell_calls.cpp, instance.cpp)
// ---------------------------------------------------------------------------
// How input_key packs a key into WM_KEYDOWN's lParam (64 bits here): bits
// 0-15 the repeat count (1), bit 29 Alt as on the platform, bits 32-34 the
// KeyModifier bits, bits 40-55 the character (TranslateMessage posts it as
// WM_CHAR; 0: the key has none).
constexpr int kKeyModifierShift = 32;
constexpr int kKeyCharShift = 40;

// The program's main window: its oldest live top-level window that has no
// owner and is none of the shell's own (menu bar, dialog). Null when there is
// none. Commands posted from outside (--post) and the station go to it.
HWND program_window();

// Whether SetForegroundWindow asked for the window's owned windows too (the
// handle's lowest bit), the last time.
bool foreground_with_owned();

// The dialog a modal loop runs now on any thread (the innermost), or null.
HWND active_dialog();

// Test hook: SHCreateMenuBar fails as if its template were missing.
void shell_set_menubar_fault(bool fail);

} // namespace plat
