// Download run: what "Update firmware - Go" sets off.
//
//   StartUpdate(hwnd, id, lParam, code)  command handler for IDM_UPDATE and
//                       IDM_UPDATE_GO: suspends the radio driver, waits 500 ms,
//                       starts DownloadWorker. Returns 1. While a run is active
//                       it starts nothing, says so in the log pane, returns 1.
//                       The handle of the previous run's worker, ended by
//                       then, is closed when the next run starts.
//   DownloadWorker(hwnd)  thread: opens the link, starts SyncCaster, wakes the
//                       boot ROM (reset + wait for 0xA0), loads both loader
//                       stages (new attempt on failure, no limit), transfers the
//                       image, closes the link, stops the caster. Exit code 1
//                       when the link could not be opened, else 0.
//   SyncCaster()        thread: one 0x55 every 10 ms until ended.
//
// Every wait for the module is bounded by a silence limit per phase: a module
// that sends nothing at all for that long ends the wait. Waiting for 0xA0 that
// way starts a new attempt; a loader stage or the image that way fails. A port
// that is lost ends the run with its failure lines.
//
// How the latest run stands (RUN_*, the platform's RUNSTATE_* numbers), its
// attempts and whether its worker still runs go to the platform's run report
// (ReportRun) as they change; station mode and tests read them with QueryRun.
#pragma once

#include "platform/win32.h"

#include <atomic>

#define IDM_UPDATE 117
#define IDM_UPDATE_GO 118

#define SYNC_BYTE 0x55   // repeated by the caster
#define BOOT_ANSWER 0xA0 // the boot ROM has seen the sync
#define SYNC_PERIOD_MS 10

enum RunOutcome
{
    RUN_NONE = RUNSTATE_NONE,                   // no run yet
    RUN_ACTIVE = RUNSTATE_ACTIVE,               // a run is going on
    RUN_OPEN_FAILED = RUNSTATE_OPEN_FAILED,     // the link could not be opened
    RUN_FLASHED = RUNSTATE_FLASHED,             // the module acknowledged the image
    RUN_UPDATE_FAILED = RUNSTATE_UPDATE_FAILED, // the image transfer failed
    RUN_LINK_LOST = RUNSTATE_LINK_LOST,         // the port went away during the run
};

extern std::atomic<HANDLE> g_hWorker; // latest download worker; closed when the next run starts
extern std::atomic<HANDLE> g_hCaster; // sync caster of the current run

LONG StartUpdate(HWND hwnd, int id, LPARAM lParam, int notifyCode);
DWORD DownloadWorker(LPVOID param);
DWORD SyncCaster(LPVOID param);
