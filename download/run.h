// Download run: what "Update firmware - Go" sets off.
//
//   StartUpdate(hwnd, id, lParam, code)  command handler for IDM_UPDATE and
//                       IDM_UPDATE_GO: suspends the radio driver, waits 500 ms,
//                       starts DownloadWorker. Returns 1. While a run is active
//                       it starts nothing, says so in the log pane, returns 1.
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
// g_runOutcome tells how the latest run stands (RUN_*); g_runAttempts counts
// its attempts. Both are for the shell's station mode and for tests.
#pragma once

#include "platform/win32.h"

#include <atomic>

#define IDM_UPDATE 117
#define IDM_UPDATE_GO 118

#define SYNC_BYTE 0x55   // repeated by the caster
#define BOOT_ANSWER 0xA0 // the boot ROM has seen the sync
#define SYNC_PERIOD_MS 10

// Silence limits, in ms, per phase. A real module answers the sync within its
// boot window and acknowledges a loader or a block within a few hundred ms of
// the last byte reaching it; erasing and writing its flash take longest. Each
// limit is many times what a module needs, so none ends a healthy run.
#define SILENCE_SYNC_ANSWER_MS 3000 // reset -> 0xA0: boot window is well under 1 s
#define SILENCE_LOADER_MS 5000      // loader blocks and acknowledgements
#define SILENCE_COMMAND_MS 5000     // 0x50 memory check
#define SILENCE_ERASE_MS 60000      // fixed file size -> 3 x 0xA5: erases 4 MB of flash
#define SILENCE_BLOCK_MS 10000      // image blocks: queued bytes drain at line rate first
#define SILENCE_FLASH_MS 60000      // check bytes -> final 0xA5: writes and verifies flash

// Percentage applied to every silence limit: 100 on a real line; tests that
// make the simulated module fall silent on purpose shorten it.
extern std::atomic<DWORD> g_dwSilencePercent;
DWORD PhaseSilence(DWORD limitMs);

enum RunOutcome
{
    RUN_NONE = 0,          // no run yet
    RUN_ACTIVE = 1,        // a run is going on
    RUN_OPEN_FAILED = 2,   // the link could not be opened
    RUN_FLASHED = 3,       // the module acknowledged the image
    RUN_UPDATE_FAILED = 4, // the image transfer failed
    RUN_LINK_LOST = 5,     // the port went away during the run
};

extern std::atomic<HANDLE> g_hWorker; // latest download worker; never closed
extern std::atomic<HANDLE> g_hCaster; // sync caster of the current run
extern std::atomic<int> g_runOutcome;
extern std::atomic<int> g_runAttempts;

LONG StartUpdate(HWND hwnd, int id, LPARAM lParam, int notifyCode);
DWORD DownloadWorker(LPVOID param);
DWORD SyncCaster(LPVOID param);
