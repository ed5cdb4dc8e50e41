// Commands of the main window.
//
//   g_commandTable   eighteen (command id, handler) pairs, searched in order by
//                    the command id alone; the first match gets (hwnd, id,
//                    lParam, notification code) and its result is the result of
//                    the WM_COMMAND message. An id without an entry yields 0.
//   OnCommand        the WM_COMMAND handler that does that lookup.
//   CloseMainWindow  IDOK and IDM_EXIT: sends WM_CLOSE to the main window;
//                    while a download runs it asks first (QUIT_*: the text
//                    follows the run's phase; Yes/No, No the default) and
//                    closes only on Yes.
//   ShowAbout        IDM_ABOUT: the modal About box.
//   AboutDlgProc     ends the About box on IDOK or IDCANCEL, with result 0.
#pragma once

#include "platform/win32.h"

#define IDM_EXIT 101
#define IDM_ABOUT 120
#define IDM_MENUBAR_BUTTON 40001 // the menu bar's own button: no entry

// The question a close asks while a download runs: before the erase the
// module's firmware is untouched; from the erase until the final
// acknowledgement it has none that works; after it, the new one is in place.
#define QUIT_UNCHANGED_TEXT                                                                                            \
    u"The module's firmware is unchanged so far: quitting now stops the update before the erase. Quit anyway?"
#define QUIT_RUNNING_TEXT                                                                                              \
    u"Quitting now leaves the module without a working firmware until the next update. Quit anyway?"
#define QUIT_FLASHED_TEXT                                                                                              \
    u"The module is flashed: quitting now keeps the new firmware but skips the restart. Quit anyway?"
#define QUIT_RUNNING_CAPTION u"Update in progress"

// Command handler form: (main window, command id, lParam, notification code).
typedef LONG (*CommandHandler)(HWND hwnd, int id, LPARAM lParam, int notifyCode);

struct CommandEntry
{
    int id;                 // low 16 bits of WM_COMMAND's wParam
    CommandHandler handler; // gets the window, id, lParam, notification code
};

extern const CommandEntry g_commandTable[];
extern const int g_commandCount;

LRESULT OnCommand(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LONG CloseMainWindow(HWND hwnd, int id, LPARAM lParam, int notifyCode);
// The question CloseMainWindow asks while a run is in phase dwPhase (RUNPHASE_*).
LPCWSTR QuitQuestionText(DWORD dwPhase);
LONG ShowAbout(HWND hwnd, int id, LPARAM lParam, int notifyCode);
BOOL AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
