// The command table and the shell's own command handlers.
#include "shell/commands.h"

#include "bridge/bridge.h"
#include "devctl/radio_control.h"
#include "download/run.h"
#include "shell/log.h"

// clang-format off
// command id              handler
const CommandEntry g_commandTable[] = {
    {IDOK,                  CloseMainWindow},
    {IDM_EXIT,              CloseMainWindow},
    {IDM_ABOUT,             ShowAbout},
    {IDM_RIL_SUSPEND,       SuspendRadio},
    {IDM_RIL_RESUME,        ResumeRadio},
    {IDM_MODULE_RESET,      ResetModule},
    {IDM_BRIDGE_START,      StartBridge},
    {IDM_BRIDGE_STOP,       StopBridge},
    {IDM_REBOOT,            RebootDevice},
    {IDM_PEER_BT,           SelectOption},
    {IDM_PEER_IR,           SelectOption},
    {IDM_PEER_IRDA,         SelectOption},
    {IDM_TRACE_OFF,         SelectOption},
    {IDM_TRACE_TO_MODULE,   SelectOption},
    {IDM_TRACE_FROM_MODULE, SelectOption},
    {IDM_TRACE_BOTH,        SelectOption},
    {IDM_UPDATE,            StartUpdate},
    {IDM_UPDATE_GO,         StartUpdate},
};
// clang-format on
const int g_commandCount = sizeof(g_commandTable) / sizeof(g_commandTable[0]);

static const CommandEntry* FindCommand(int id)
{
    for (int i = 0; i < g_commandCount; i++)
    {
        if (g_commandTable[i].id == id)
            return &g_commandTable[i];
    }
    return nullptr;
}

// Commands without an entry (the log pane's notifications, the menu bar's own
// button) do nothing and get no default processing.
LRESULT OnCommand(HWND hwnd, UINT, WPARAM wParam, LPARAM lParam)
{
    int nId = LOWORD(wParam);
    int nNotifyCode = HIWORD(wParam);
    const CommandEntry* pEntry = FindCommand(nId);
    if (pEntry == nullptr)
        return 0;
    return pEntry->handler(hwnd, nId, lParam, nNotifyCode);
}

// Whether a download worker is still running: quitting now would leave the
// module between erase and final acknowledgement.
static int UpdateRunning()
{
    DWORD dwCode = 0;
    return GetExitCodeThread(g_hWorker.load(), &dwCode) && dwCode == STILL_ACTIVE;
}

// The question by the phase the run is in: the last row whose first phase
// the run has reached.
struct QuitQuestion
{
    DWORD dwFirstPhase; // RUNPHASE_*
    LPCWSTR szText;
};

// clang-format off
// from phase          question
static const QuitQuestion g_quitQuestions[] = {
    {RUNPHASE_NONE,    QUIT_UNCHANGED_TEXT},
    {RUNPHASE_ERASE,   QUIT_RUNNING_TEXT},
    {RUNPHASE_RESTART, QUIT_FLASHED_TEXT},
};
// clang-format on

LPCWSTR QuitQuestionText(DWORD dwPhase)
{
    LPCWSTR szText = g_quitQuestions[0].szText;
    for (const QuitQuestion& q : g_quitQuestions)
    {
        if (dwPhase >= q.dwFirstPhase)
            szText = q.szText;
    }
    return szText;
}

// Every way of closing (the title bar's OK, Exit, Ctrl+Q, a posted 101) asks
// first while a run goes on; No (the default, and what an unattended display
// answers) keeps running. One question at a time: a second close while it is
// up is dropped.
LONG CloseMainWindow(HWND hwnd, int, LPARAM, int)
{
    static int s_fAsking = 0;
    if (UpdateRunning())
    {
        if (s_fAsking)
            return 0;
        s_fAsking = 1;
        int nAnswer = MessageBoxW(hwnd, QuitQuestionText(QueryRun(RUNREPORT_PHASE)), QUIT_RUNNING_CAPTION,
                                  MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
        s_fAsking = 0;
        if (nAnswer != IDYES)
            return 0;
    }
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    return 0;
}

LONG ShowAbout(HWND hwnd, int, LPARAM, int)
{
    HRSRC hRes = FindResourceW(g_hInst.load(), u"aboutbox", RT_DIALOG);
    HGLOBAL hTemplate = LoadResource(g_hInst.load(), hRes);
    DialogBoxIndirectParamW(g_hInst.load(), hTemplate, hwnd, AboutDlgProc, 0);
    return 0;
}

BOOL AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL))
    {
        EndDialog(hDlg, 0);
        return TRUE;
    }
    return FALSE;
}
