// Download run: the command handler, the download worker and the sync caster.
#include "download/run.h"

#include "devctl/radio_control.h"
#include "download/image_transfer.h"
#include "download/loader_stages.h"
#include "download/module_link.h"
#include "shell/log.h"

std::atomic<HANDLE> g_hWorker{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hCaster{INVALID_HANDLE_VALUE};
static void SetRunOutcome(int outcome)
{
    ReportRun(RUNREPORT_STATE, (DWORD)outcome);
}

static void CountAttempt(int reset)
{
    ReportRun(RUNREPORT_ATTEMPTS, reset ? 0 : QueryRun(RUNREPORT_ATTEMPTS) + 1);
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
    DWORD code = 0;
    HANDLE hCaster = g_hCaster.load();
    if (GetExitCodeThread(hCaster, &code) && code == STILL_ACTIVE)
        TerminateThread(hCaster, 0);
    CloseHandle(hCaster);
    DebugPrint(u" Communication Port Closed!!\r\n");
}

LONG StartUpdate(HWND hwnd, int, LPARAM, int)
{
    DWORD code = 0;
    if (GetExitCodeThread(g_hWorker.load(), &code) && code == STILL_ACTIVE)
    {
        AppendLog(hwnd, u"Update already in progress, please wait...\r\n");
        return 1;
    }
    SuspendRadio(hwnd, 0, 0, 0);
    Sleep(500);
    SetRunOutcome(RUN_ACTIVE);
    CountAttempt(1);
    g_hWorker.store(CreateThread(nullptr, 0, DownloadWorker, hwnd, 0, nullptr));
    return 1;
}

DWORD SyncCaster(LPVOID)
{
    static const BYTE sync = SYNC_BYTE;
    for (;;)
    {
        DWORD written = 0;
        WriteFile(g_pModulePort.load()->hCom, &sync, 1, &written, nullptr);
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

static DWORD RunDownload(HWND hwnd);

// The run's worker: the report says it runs until it returns.
DWORD DownloadWorker(LPVOID param)
{
    ReportRun(RUNREPORT_RUNNING, 1);
    DWORD code = RunDownload((HWND)param);
    ReportRun(RUNREPORT_RUNNING, 0);
    return code;
}

static DWORD RunDownload(HWND hwnd)
{
    int silentAttempts = 0;

    if (!OpenModulePort())
    {
        DebugPrint(u"Open com port failed!!\r\n");
        TraceLog(hwnd, u"Open Comport fail!!\r\n");
        SetRunOutcome(RUN_OPEN_FAILED);
        return 1;
    }
    DebugPrint(u"Open com port succeed!!\r\n");
    g_hCaster.store(CreateThread(nullptr, 0, SyncCaster, nullptr, 0, nullptr));

    for (;;)
    {
        CountAttempt(0);
        DebugPrint(u"!Cast 55h!\r\n");
        Sleep(1000);
        ResetModule(nullptr, 0, 0, 0);
        // A boot ROM that was already up (a module without a firmware) has
        // answered the syncs before this reset; that 0xA0 is not the answer of
        // the boot ROM the reset starts, and taking it sent the stage-1 frame
        // to a module that had not yet seen a sync.
        PurgeComm(g_pModulePort.load()->hCom, PURGE_RXCLEAR);
        if (!WaitForBootAnswer())
        {
            if (LinkWaitEnd() == LINK_WAIT_LOST)
                break;
            // The module stayed silent: reset it again. Say so once, so nobody
            // is left guessing while the attempts go on.
            DebugPrint(u"No answer from the module, reset again\r\n");
            if (silentAttempts++ == 0)
                TraceLog(hwnd, u"No answer from the module, retrying...\r\n");
            continue;
        }
        SuspendThread(g_hCaster.load());
        PurgeLink();
        DebugPrint(u" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
        SetLinkSilenceLimit(PhaseSilence(SILENCE_LOADER_MS));
        if (!SendStage1Loader())
        {
            DebugPrint(u" BootLoad1 upload fail!!  Restart sending 55h again!!\r\n");
            if (LinkWaitEnd() == LINK_WAIT_LOST)
                break;
            PurgeLink();
            Sleep(1000);
            ResumeThread(g_hCaster.load());
            continue;
        }
        DebugPrint(u"BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n");
        PurgeLink();
        TraceLog(hwnd, u"Bootload1 updated!!\r\n");
        if (!SendStage2Loader())
        {
            DebugPrint(u"BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n");
            if (LinkWaitEnd() == LINK_WAIT_LOST)
                break;
            PurgeLink();
            ResumeThread(g_hCaster.load());
            Sleep(1000);
            continue;
        }

        DebugPrint(u"BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n");
        PurgeLink();
        TraceLog(hwnd, u"Bootload2 updated!!\r\n");
        TraceLog(hwnd, u"Wait a moment please...\r\n");
        if (SendFirmwareImage(hwnd))
            DebugPrint(u" Upgrade succeed!! \r\n");
        else
        {
            DebugPrint(u" Write to flash  fail!!  !!\r\n");
            // The pane would otherwise end at the progress marks.
            TraceLog(hwnd, u"\r\nUpdate firmware FAIL!!!\r\n");
            SetRunOutcome(LinkWaitEnd() == LINK_WAIT_LOST ? RUN_LINK_LOST : RUN_UPDATE_FAILED);
        }
        EndRun();
        return 0;
    }

    // The port went away: end the run instead of retrying on a dead link.
    DebugPrint(u"Module link lost!!\r\n");
    AppendLog(hwnd, u"Communication port lost, update stopped!!\r\n");
    SetRunOutcome(RUN_LINK_LOST);
    EndRun();
    return 0;
}
