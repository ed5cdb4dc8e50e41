// The module serial link: the one line to the cellular module ("COM1:"), the
// record that describes it, and the two primitives the download protocol is
// built from.
//
//   OpenModulePort()        opens and configures the link in a fresh record:
//                           1 open and configured, 0 not (a link whose
//                           configuration failed is closed again, hCom 0)
//   CloseModulePort()       closes the link if it is open; the record stays
//   SendByte(value)         writes one byte and traces the count written
//   WaitForByte(expected)   1 once `expected` has been read (bytes before it
//                           are read, traced and dropped; nothing after it is
//                           taken); 0 when the awaited event carried no data
//                           (a break or line error alone), when the port
//                           failed (unplug, hang-up, handle closed), or when
//                           the silence limit passed without a byte
//   SetLinkSilenceLimit(ms) bounds WaitForByte: when no byte at all arrives for
//                           that long it returns 0. 0 (the default) waits
//                           without limit. One watch thread per open link keeps
//                           the bound: started by its first bounded wait,
//                           suspended between waits, ended by CloseModulePort.
//   PhaseSilence(ms)        a phase's silence limit (SILENCE_*) scaled by
//                           g_dwSilencePercent
//   LinkWaitEnd()           how the latest WaitForByte ended: LINK_WAIT_GOT,
//                           LINK_WAIT_EVENT (a break or line error without
//                           data), LINK_WAIT_SILENT (the silence limit passed)
//                           or LINK_WAIT_LOST (the port failed under it).
//
// g_pModulePort points at the current record; records are never freed, so a
// thread still holding an older one never reads freed memory. All four calls
// act on the current record; OpenModulePort must come first.
#pragma once

#include "platform/win32.h"

#include <atomic>

struct ModulePort
{
    WCHAR szName[8];          // device name of the link, "COM1:"
    DWORD dwReserved;         // written, never read
    DCB dcb;                  // line settings applied to the port
    std::atomic<HANDLE> hCom; // the opened port, or 0 when not open; read by the caster while the worker closes
};

extern std::atomic<ModulePort*> g_pModulePort;
// How a wait ended; the ones from LINK_WAIT_SILENT on mean the module or the
// port is gone rather than a single event without data.
enum
{
    LINK_WAIT_EVENT = 0,
    LINK_WAIT_GOT = 1,
    LINK_WAIT_SILENT = 2,
    LINK_WAIT_LOST = 3,
};

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

extern std::atomic<DWORD> g_dwSilenceLimitMs; // 0: WaitForByte waits without limit

int OpenModulePort();
void CloseModulePort();
// A call on the link failed: the failed call the platform kept beside the
// last error (the system call, the device, the errno) goes to the run report
// as the run's cause and to the trace, with what the download was doing.
// Called at the failure, before another call can change the last error.
void NoteLinkFailure(LPCWSTR pszWhat);
// Writes to the module. The protocol leaves the result unexamined: a failed
// write changes nothing in the run, it is only traced with its cause.
void WriteLink(const void* pBytes, DWORD cbBytes, DWORD* pdwWritten);
void SendByte(BYTE value);
int WaitForByte(BYTE expected);
void SetLinkSilenceLimit(DWORD ms);
int LinkWaitEnd();
