// The main window: start-up, the single full-screen window with its menu bar
// and log pane, its message table, the keep-alive timer and shutdown.
//
//   WinMain            refuses a second instance (-1), registers the class (1
//                      when that fails), creates the window (16 when that
//                      fails), runs the message loop with the "ID_ACCEL"
//                      shortcuts and returns the quit code (0).
//   RegisterMainClass  0 go on, -1 another instance runs (brought to the
//                      front), 1 registration failed.
//   CreateMainWindow   the main window, or null.
//   MainWndProc        g_messageTable lookup; the rest to DefWindowProcW.
//
// Globals: g_szWorkDir (program directory with its trailing backslash),
// g_pGpio (the GPIO register window while mapped), g_activateInfo (the
// shell's activation record).
#pragma once

#include "platform/win32.h"

#define MAIN_CLASS_NAME u"Firmware Utility"
#define MAIN_TITLE u"Firmware Utility"
#define IDR_MENUBAR 105
#define IDS_SYSTEM 40003
#define IDT_KEEPALIVE 100
#define KEEPALIVE_PERIOD_MS 10000
#define IDC_COMMANDBAR 4 // a command bar child the shell may add; none is made here
#define ACCEL_TABLE_NAME u"ID_ACCEL"

#define WORKDIR_CHARS 100
#define GPIO_WINDOW_BYTES 332
#define GPIO_KERNEL_ADDRESS 0xB4E00000u

#define EXIT_ALREADY_RUNNING (-1)
#define EXIT_CLASS_FAILED 1
#define EXIT_WINDOW_FAILED 16

typedef LRESULT (*MessageHandler)(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

struct MessageEntry
{
    UINT message;           // WM_*
    MessageHandler handler; // gets all four parameters; its result is the procedure's
};

extern const MessageEntry g_messageTable[];
extern const int g_messageCount;

extern WCHAR g_szWorkDir[WORKDIR_CHARS];
extern LPVOID g_pGpio;
extern SHACTIVATEINFO g_activateInfo;

int RegisterMainClass(HINSTANCE hInstance);
HWND CreateMainWindow(HINSTANCE hInstance, int nCmdShow);
LRESULT MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

LRESULT OnCreate(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnSize(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnShellEvent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnSetFocus(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnTimer(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT OnDestroy(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
