// Run progress: the run report's phase and byte items, and the posts to the
// main window's status line.
#include "download/run_progress.h"

#include "download/module_link.h"
#include "download/run.h"

// A run without a window (tests, tools) only reports.
static void PostToWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (hwnd != nullptr)
        PostMessageW(hwnd, message, wParam, lParam);
}

void ShowRunPhase(HWND hwnd, DWORD dwPhase, DWORD dwDetail)
{
    ReportRun(RUNREPORT_PHASE, dwPhase);
    if (dwPhase == RUNPHASE_IMAGE)
        ReportRun(RUNREPORT_TOTAL, dwDetail);
    PostToWindow(hwnd, WM_FWU_PHASE, dwPhase, (LPARAM)dwDetail);
}

void ShowImageProgress(HWND hwnd, DWORD dwDone, DWORD dwTotal)
{
    ReportRun(RUNREPORT_BYTES_SENT, dwDone);
    ReportRun(RUNREPORT_PROGRESS, dwTotal != 0 ? (DWORD)((unsigned long long)dwDone * 100 / dwTotal) : 0);
    PostToWindow(hwnd, WM_FWU_PROGRESS, RUNPHASE_IMAGE, (LPARAM)dwDone);
}

void SetRunReason(DWORD dwReason)
{
    ReportRun(RUNREPORT_REASON, dwReason);
}

// The reason a failed run ended with, when no step named one.
static DWORD ReasonOfState(DWORD dwState)
{
    switch (dwState)
    {
        case RUNSTATE_OPEN_FAILED:
            return RUNREASON_OPEN;
        case RUNSTATE_LINK_LOST:
            return RUNREASON_LINK_LOST;
        case RUNSTATE_UPDATE_FAILED:
            return LinkWaitEnd() == LINK_WAIT_SILENT ? RUNREASON_SILENT : RUNREASON_REJECTED;
        default:
            return RUNREASON_NONE;
    }
}

void ShowRunEnd(HWND hwnd)
{
    DWORD dwState = QueryRun(RUNREPORT_STATE);
    DWORD dwReason = QueryRun(RUNREPORT_REASON);
    if (dwReason == RUNREASON_NONE || dwState == RUNSTATE_LINK_LOST)
        dwReason = ReasonOfState(dwState);
    ReportRun(RUNREPORT_REASON, dwReason);
    PostToWindow(hwnd, WM_FWU_RUN_END, dwState, (LPARAM)dwReason);
}

// A terminated thread ends at its next platform call, so once both are told
// no further byte reaches the module; closing the link then wakes a call
// still blocked on it.
DWORD StopUpdate()
{
    DWORD dwCode = 0;
    HANDLE hWorker = g_hWorker.load();
    if (!GetExitCodeThread(hWorker, &dwCode) || dwCode != STILL_ACTIVE)
        return RUNPHASE_NONE;
    DWORD dwPhase = QueryRun(RUNREPORT_PHASE);
    if (dwPhase == RUNPHASE_RESTART)
        return dwPhase;
    TerminateThread(hWorker, 0);
    HANDLE hCaster = g_hCaster.load();
    if (GetExitCodeThread(hCaster, &dwCode) && dwCode == STILL_ACTIVE)
        TerminateThread(hCaster, 0);
    CloseModulePort();
    ReportRun(RUNREPORT_RUNNING, 0);
    return dwPhase != RUNPHASE_NONE ? dwPhase : RUNPHASE_OPEN;
}
