// Download run: the command handler, the download worker and the sync caster.
#include "download/run.h"

#include "devctl/radio_control.h"
#include "download/image_transfer.h"
#include "download/loader_stages.h"
#include "download/module_link.h"
#include "download/run_progress.h"
#include "shell/log.h"

std::atomic<HANDLE> g_hWorker{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hCaster{INVALID_HANDLE_VALUE};

static void SetRunOutcome(int nOutcome)
{
    ReportRun(RUNREPORT_STATE, (DWORD)nOutcome);
}

static void CountAttempt(int bReset)
{
    ReportRun(RUNREPORT_ATTEMPTS, bReset ? 0 : QueryRun(RUNREPORT_ATTEMPTS) + 1);
}

static void PurgeLink()
{
    PurgeComm(g_pModulePort.load()->hCom, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

// Closes the link and ends the caster: the end of every run that opened it.
static void EndRun()
{
    CloseModulePort();
    DebugPrint(u" Communication Port Closed!!\r\n");
    DWORD dwCode = 0;
    HANDLE hCaster = g_hCaster.load();
    if (GetExitCodeThread(hCaster, &dwCode) && dwCode == STILL_ACTIVE)
        TerminateThread(hCaster, 0);
    CloseHandle(hCaster);
    DebugPrint(u" Communication Port Closed!!\r\n");
}

// The worker of an earlier run has ended by the time a new one starts: its
// handle is released here, as the bridge does for its pumps. On the handheld
// the handles were never closed; here each one held a thread object and a
// descriptor, so that many runs in one process piled them up.
LONG StartUpdate(HWND hwnd, int, LPARAM, int)
{
    HANDLE hOldWorker = g_hWorker.load();
    DWORD dwCode = 0;
    if (GetExitCodeThread(hOldWorker, &dwCode) && dwCode == STILL_ACTIVE)
    {
        AppendLog(hwnd, u"Update already in progress, please wait...\r\n");
        return 1;
    }
    SuspendRadio(hwnd, 0, 0, 0);
    Sleep(500);
    SetRunOutcome(RUN_ACTIVE);
    CountAttempt(1);
    g_hWorker.store(CreateThread(nullptr, 0, DownloadWorker, hwnd, 0, nullptr));
    if (hOldWorker != nullptr && hOldWorker != INVALID_HANDLE_VALUE)
        CloseHandle(hOldWorker);
    return 1;
}

DWORD SyncCaster(LPVOID)
{
    static const BYTE bSync = SYNC_BYTE;
    for (;;)
    {
        DWORD dwWritten = 0;
        WriteLink(&bSync, 1, &dwWritten);
        Sleep(SYNC_PERIOD_MS);
    }
}

// Waits for the boot ROM's answer. A break or a line error keeps waiting; a
// silent module or a lost port ends the wait with 0.
static int WaitForBootAnswer()
{
    SetLinkSilenceLimit(PhaseSilence(SILENCE_SYNC_ANSWER_MS));
    while (!WaitForByte(BOOT_ANSWER))
    {
        if (LinkWaitEnd() != LINK_WAIT_EVENT)
            return 0;
    }
    return 1;
}

// Opens the link and starts the caster; 0 (with the failure lines) when the
// link could not be opened.
static int OpenLinkAndCast(HWND hwnd)
{
    ShowRunPhase(hwnd, RUNPHASE_OPEN, 0);
    if (!OpenModulePort())
    {
        DebugPrint(u"Open com port failed!!\r\n");
        TraceLog(hwnd, u"Open Comport fail!!\r\n");
        SetRunOutcome(RUN_OPEN_FAILED);
        return 0;
    }
    DebugPrint(u"Open com port succeed!!\r\n");
    g_hCaster.store(CreateThread(nullptr, 0, SyncCaster, nullptr, 0, nullptr));
    return 1;
}

// Resets the module while the caster floods the line, until the boot ROM
// answers; 1 when it did. A silent module is said once per run (*pnSilent
// counts them); a lost port is left for the caller to see in LinkWaitEnd.
static int WakeBootRom(HWND hwnd, int* pnSilent)
{
    CountAttempt(0);
    ShowRunPhase(hwnd, RUNPHASE_WAKE, QueryRun(RUNREPORT_ATTEMPTS));
    DebugPrint(u"!Cast 55h!\r\n");
    Sleep(1000);
    // A boot ROM that was already up (a module without a firmware) has
    // answered the syncs before this reset; that 0xA0 is not the answer of
    // the boot ROM the reset starts, and taking it sent the stage-1 frame
    // to a module that had not yet seen a sync. It goes before the reset:
    // a module that answers while the reset call is still returning (a
    // reset command that ends after its signal) had its one answer wiped
    // by a purge after it, and the run needed a second attempt.
    // Without a reset kind nothing here restarts the module: a boot ROM
    // already up (a module left without firmware) answers the first syncs
    // once, or a person power-cycles it while the syncs go on. Whatever it
    // answers after the caster started is its answer, and is kept.
    if (RilCanReset())
        PurgeComm(g_pModulePort.load()->hCom, PURGE_RXCLEAR);
    ResetModule(nullptr, 0, 0, 0);
    if (WaitForBootAnswer())
        return 1;
    if (LinkWaitEnd() != LINK_WAIT_LOST)
    {
        // The module stayed silent: reset it again. Say so once, so nobody
        // is left guessing while the attempts go on.
        DebugPrint(u"No answer from the module, reset again\r\n");
        if ((*pnSilent)++ == 0)
            TraceLog(hwnd, u"No answer from the module, retrying...\r\n");
    }
    return 0;
}

// The stage-1 loader; on failure the caster resumes after the pause.
static int LoadStage1(HWND hwnd)
{
    if (!SendStage1Loader())
    {
        DebugPrint(u" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n");
        if (LinkWaitEnd() != LINK_WAIT_LOST)
        {
            PurgeLink();
            Sleep(1000);
            ResumeThread(g_hCaster.load());
        }
        return 0;
    }
    DebugPrint(u"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n");
    PurgeLink();
    TraceLog(hwnd, u"Bootload1 updated!!\r\n");
    ShowRunPhase(hwnd, RUNPHASE_LOADER2, 0);
    return 1;
}

// The stage-2 loader; on failure the caster resumes before the pause.
static int LoadStage2()
{
    if (!SendStage2Loader())
    {
        DebugPrint(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n");
        if (LinkWaitEnd() != LINK_WAIT_LOST)
        {
            PurgeLink();
            ResumeThread(g_hCaster.load());
            Sleep(1000);
        }
        return 0;
    }
    return 1;
}

// Stops the caster and loads both stages; 1 when the module accepted both.
static int LoadStages(HWND hwnd)
{
    SuspendThread(g_hCaster.load());
    PurgeLink();
    DebugPrint(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
    SetLinkSilenceLimit(PhaseSilence(SILENCE_LOADER_MS));
    ShowRunPhase(hwnd, RUNPHASE_LOADER1, 0);
    return LoadStage1(hwnd) && LoadStage2();
}

// Both loaders run: the image transfer, and the line that says how it went.
static void TransferImage(HWND hwnd)
{
    DebugPrint(u"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n");
    PurgeLink();
    TraceLog(hwnd, u"Bootload2 updated!!\r\n");
    TraceLog(hwnd, u"Wait a moment please...\r\n");
    if (SendFirmwareImage(hwnd))
    {
        DebugPrint(u" Upgrade succeed!! \r\n");
    }
    else
    {
        DebugPrint(u" Write to flash  fail!!  !!\r\n");
        // The pane would otherwise end at the progress marks.
        TraceLog(hwnd, u"\r\nUpdate firmware FAIL!!!\r\n");
        SetRunOutcome(LinkWaitEnd() == LINK_WAIT_LOST ? RUN_LINK_LOST : RUN_UPDATE_FAILED);
    }
}

// The port went away: the run ends instead of retrying on a dead link.
static void ReportLinkLost(HWND hwnd)
{
    DebugPrint(u"Module link lost!!\r\n");
    AppendLog(hwnd, u"Communication port lost, update stopped!!\r\n");
    SetRunOutcome(RUN_LINK_LOST);
}

// Attempts go on without limit until both loaders are accepted or the port is
// lost.
static DWORD RunDownload(HWND hwnd)
{
    int nSilent = 0;

    if (!OpenLinkAndCast(hwnd))
        return 1;
    while (!WakeBootRom(hwnd, &nSilent) || !LoadStages(hwnd))
    {
        if (LinkWaitEnd() == LINK_WAIT_LOST)
        {
            ReportLinkLost(hwnd);
            EndRun();
            return 0;
        }
    }
    TransferImage(hwnd);
    EndRun();
    return 0;
}

// The run's worker: the report says it runs until it returns.
DWORD DownloadWorker(LPVOID param)
{
    ReportRun(RUNREPORT_RUNNING, 1);
    DWORD dwCode = RunDownload((HWND)param);
    ShowRunEnd((HWND)param);
    ReportRun(RUNREPORT_RUNNING, 0);
    return dwCode;
}
