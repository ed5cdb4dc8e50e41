// The shell's state shared by its two rooms: shell_calls.cpp (the menu bar,
// SHInitDialog's marks, activation, accelerators, key translation and the
// input a display feeds in) and shell_dialogs.cpp (the dialog manager:
// dialogs from templates and their modal loops).
//
// Only the shell's own files include this header.
#pragma once

#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/window.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace plat
{
namespace shellui
{

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
ShellState& shell();

// The display's screen size (the handheld's when no display says).
void screen_size(int* width, int* height);

// Whether hwnd is top or one of its descendants.
bool within(HWND hwnd, HWND top);

// The shell's window classes (menu bar, dialog, static), registered once on
// first use.
void register_shell_classes();

// The dialog class's procedure (shell_dialogs.cpp).
LRESULT dialog_proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

} // namespace shellui
} // namespace plat
