// The module serial link: opening, configuring and closing "COM1:", and the
// byte primitives of the download protocol.
#include "download/module_link.h"

#include "shell/log.h"

// Port and line
#define LINK_NAME u"COM1:"
#define LINK_BAUD CBR_115200
#define LINK_QUEUE_BYTES 0x8000
#define LINK_PURGE_ALL (PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)
#define LINK_EVENTS (EV_RXCHAR | EV_BREAK | EV_ERR)

// Time-outs: reads return at once with what is there; writes get 10 ms a
// byte plus 1000 ms.
#define LINK_READ_INTERVAL MAXDWORD
#define LINK_WRITE_MULTIPLIER 10
#define LINK_WRITE_CONSTANT 1000

// How often an expired silence watch repeats its wake-up (at most; a shorter
// limit repeats at that), in case the wait it ends had not started yet when
// it first fired.
#define SILENCE_REPEAT_MS 50

std::atomic<DWORD> g_dwSilencePercent{100};

DWORD PhaseSilence(DWORD limitMs)
{
    DWORD scaled = (DWORD)((unsigned long long)limitMs * g_dwSilencePercent.load() / 100);
    return scaled > 0 ? scaled : 1;
}

// A record and the one opened before it. Records are abandoned, never freed;
// the chain keeps every one reachable so leak checkers see them as kept.
struct ModulePortSlot
{
    ModulePort port;
    ModulePortSlot* pOlder;
};

std::atomic<ModulePort*> g_pModulePort{nullptr};
std::atomic<DWORD> g_dwSilenceLimitMs{0};
static std::atomic<int> g_linkWaitEnd{LINK_WAIT_GOT}; // how the latest WaitForByte ended

static std::atomic<ModulePortSlot*> g_pNewestSlot{nullptr};

// Failed writes in a row: only the first of a row is traced, since the
// caster writes on every few milliseconds to a dead line until the run ends.
// Each open link starts a new row.
static std::atomic<DWORD> g_dwWriteFailures{0};

// The silence watch: one thread per open link, started by the link's first
// bounded wait and ended by CloseModulePort. Between waits it is suspended; a
// wait arms it (a number of its own, quiet since now, the limit) and resumes
// it, and suspends it again when it ends. Each wait's own number keeps a watch
// that fires late from ending a later wait.
static std::atomic<HANDLE> g_hSilenceWatch{nullptr}; // the watch thread, or 0
static std::atomic<DWORD> g_dwWatchLongestMs{0};     // the longest limit it has been armed with
static std::atomic<DWORD> g_dwWaitNumber{0};         // number of the latest bounded wait
static std::atomic<DWORD> g_dwArmedWait{0};          // number of the wait the watch bounds
static std::atomic<DWORD> g_dwExpiredWait{0};        // number of the wait whose silence limit passed
static std::atomic<DWORD> g_dwQuietSinceTick{0};     // tick of the last byte, or of the wait's start
static std::atomic<DWORD> g_dwWatchLimitMs{0};       // the limit of the armed wait
static std::atomic<HANDLE> g_hWatchedCom{nullptr};   // the port the watch wakes

static void CopyName(WCHAR* pDest, int capacity, const WCHAR* pSrc)
{
    int i = 0;
    for (; i < capacity - 1 && pSrc[i] != 0; i++)
    {
        pDest[i] = pSrc[i];
    }
    pDest[i] = 0;
}

// The module line as the driver gets it: 115200 baud, 8 data bits, no parity,
// one and a half stop bits (code 1, handed to the driver unchanged), binary,
// DTR and RTS raised, sending going on after an XOFF. Every other field of the
// zero-filled record stays 0: no parity check, no CTS or DSR flow, no
// XON/XOFF, no error-character or null handling, no abort on error, limits
// and special characters 0.
static void FillLinkDcb(DCB* pDcb)
{
    pDcb->DCBlength = sizeof(DCB);
    pDcb->BaudRate = LINK_BAUD;
    pDcb->ByteSize = 8;
    pDcb->Parity = NOPARITY;
    pDcb->StopBits = ONE5STOPBITS;
    pDcb->fBinary = 1;
    pDcb->fDtrControl = DTR_CONTROL_ENABLE;
    pDcb->fRtsControl = RTS_CONTROL_ENABLE;
    pDcb->fTXContinueOnXoff = 1;
}

// The silence watch: sleeps until the armed wait's link has been quiet for its
// limit, then ends the pending WaitCommEvent by setting the mask, the
// platform's way for one thread to end another's comm wait. It reads the
// wait's number before the rest, so a number it marks expired is never a
// wait it has not fully seen.
static DWORD SilenceWatch(LPVOID)
{
    for (;;)
    {
        DWORD dwWait = g_dwArmedWait.load();
        DWORD dwLimit = g_dwWatchLimitMs.load();
        DWORD dwQuiet = GetTickCount() - g_dwQuietSinceTick.load();
        if (dwQuiet < dwLimit)
        {
            Sleep(dwLimit - dwQuiet);
            continue;
        }
        g_dwExpiredWait = dwWait;
        SetCommMask(g_hWatchedCom.load(), LINK_EVENTS);
        Sleep(dwLimit < SILENCE_REPEAT_MS ? dwLimit : SILENCE_REPEAT_MS);
    }
}

static void EndSilenceWatch()
{
    HANDLE hWatch = g_hSilenceWatch.exchange(nullptr);
    if (hWatch != NULL)
    {
        TerminateThread(hWatch, 0);
        CloseHandle(hWatch);
    }
}

// The link's watch, started suspended when there is none. NULL when no
// thread could be started.
static HANDLE SilenceWatchOf(HANDLE hCom)
{
    HANDLE hWatch = g_hSilenceWatch.load();
    if (hWatch != NULL)
    {
        return hWatch;
    }
    hWatch = CreateThread(NULL, 0, SilenceWatch, NULL, CREATE_SUSPENDED, NULL);
    if (hWatch == NULL)
    {
        DebugPrint(u"No silence watch (error %u): waiting without limit\r\n", GetLastError());
        return NULL;
    }
    g_dwWatchLongestMs = 0;
    g_hSilenceWatch = hWatch;
    // A link that another thread closed meanwhile keeps no watch.
    if (g_pModulePort.load()->hCom.load() != hCom)
    {
        EndSilenceWatch();
        return NULL;
    }
    return hWatch;
}

// Arms the watch for a wait when a silence limit is set. Returns the wait's
// number (0: no bound).
static DWORD ArmSilenceWatch(HANDLE hCom)
{
    DWORD dwLimit = g_dwSilenceLimitMs.load();
    if (dwLimit == 0 || hCom == NULL)
    {
        return 0;
    }
    // A suspended watch may still sleep toward an earlier wait's end, and only
    // ending its thread cuts a sleep short: a shorter limit than it has slept
    // toward gets a fresh watch instead of a late one.
    if (dwLimit < g_dwWatchLongestMs.load())
    {
        EndSilenceWatch();
    }
    HANDLE hWatch = SilenceWatchOf(hCom);
    if (hWatch == NULL)
    {
        return 0;
    }
    if (dwLimit > g_dwWatchLongestMs.load())
    {
        g_dwWatchLongestMs = dwLimit;
    }
    DWORD dwWait = g_dwWaitNumber.fetch_add(1) + 1;
    if (dwWait == 0)
    {
        dwWait = g_dwWaitNumber.fetch_add(1) + 1; // 0 means "no bound"
    }
    g_dwQuietSinceTick = GetTickCount();
    g_dwWatchLimitMs = dwLimit;
    g_hWatchedCom = hCom;
    g_dwArmedWait = dwWait;
    ResumeThread(hWatch);
    return dwWait;
}

static void DisarmSilenceWatch(DWORD dwWait)
{
    if (dwWait != 0)
    {
        SuspendThread(g_hSilenceWatch.load());
    }
}

// Waits for the next comm event. FALSE when the port failed under the wait
// (unplug, hang-up, handle closed) or the silence limit passed, so that a
// dead line ends the wait instead of blocking or spinning.
static BOOL WaitForLinkEvent(HANDLE hCom, DWORD dwWait, DWORD* pdwEvents)
{
    for (;;)
    {
        if (dwWait != 0 && g_dwExpiredWait.load() == dwWait)
        {
            g_linkWaitEnd = LINK_WAIT_SILENT;
            return FALSE;
        }
        *pdwEvents = 0;
        if (!WaitCommEvent(hCom, pdwEvents, NULL))
        {
            NoteLinkFailure(u"Wait on the module link");
            g_linkWaitEnd = LINK_WAIT_LOST;
            return FALSE;
        }
        // Event 0 means the mask was set under the wait: with a silence watch,
        // that is the watch (checked above) or a stray wake-up to wait on from.
        if (*pdwEvents != 0 || dwWait == 0)
        {
            return TRUE;
        }
    }
}

// Reads one byte at a time until `expected`; 0 when the port fails or the
// silence limit passes.
static int ReadUntilByte(HANDLE hCom, BYTE expected, DWORD dwWait)
{
    for (;;)
    {
        BYTE byte = 0;
        DWORD dwRead = 0;
        // A port that fails while read ends the wait (the original read on forever).
        if (!ReadFile(hCom, &byte, 1, &dwRead, NULL))
        {
            NoteLinkFailure(u"Read from the module");
            g_linkWaitEnd = LINK_WAIT_LOST;
            return 0;
        }
        if (dwRead == 1)
        {
            g_dwQuietSinceTick = GetTickCount();
            DebugPrint(u"A byte got from TRM08A : %c , %X h\r\n", byte, byte);
            if (byte == expected)
            {
                g_linkWaitEnd = LINK_WAIT_GOT;
                return 1;
            }
            continue;
        }
        // An empty read waits for the next comm event instead of reading again
        // at once: the original spun a whole core while the line was quiet.
        DWORD dwEvents = 0;
        if (!WaitForLinkEvent(hCom, dwWait, &dwEvents))
        {
            return 0;
        }
        if (dwEvents & ~EV_RXCHAR)
        {
            DWORD dwErrors = 0;
            ClearCommError(hCom, &dwErrors, NULL);
        }
    }
}

void NoteLinkFailure(LPCWSTR pszWhat)
{
    const DWORD dwError = GetLastError();
    FAILEDCALL call;
    if (!GetLastFailedCall(&call))
    {
        DebugPrint(u"%s failed: error %u\r\n", pszWhat, dwError);
        return;
    }
    ReportRunCause(&call);
    DebugPrint(u"%s failed: %s on %s failed: %s (errno %d, error %u)\r\n", pszWhat, call.szCall, call.szDevice,
               call.szText, call.nErrno, dwError);
}

// The link could not be opened or set up: the opener reports its error and
// cause (the platform never takes them on its own).
static int OpenFailed(LPCWSTR pszWhat)
{
    ReportRun(RUNREPORT_OPEN_ERROR, GetLastError());
    NoteLinkFailure(pszWhat);
    return 0;
}

int OpenModulePort()
{
    g_pModulePort = nullptr;
    ModulePortSlot* pSlot = new ModulePortSlot(); // zero-filled
    pSlot->pOlder = g_pNewestSlot.exchange(pSlot);
    ModulePort* pPort = &pSlot->port;
    g_pModulePort = pPort;

    g_dwWriteFailures = 0;
    CopyName(pPort->szName, 8, LINK_NAME);
    pPort->dwReserved = 0;
    FillLinkDcb(&pPort->dcb);
    DebugPrint(u"Open : %s\r\n", pPort->szName);

    HANDLE hCom = CreateFileW(pPort->szName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hCom == INVALID_HANDLE_VALUE)
    {
        pPort->hCom = NULL;
        return OpenFailed(u"Open the module link");
    }
    pPort->hCom = hCom;
    PurgeComm(hCom, LINK_PURGE_ALL);

    // A configuration failure closes the port again: left open, it kept
    // "COM1:" held and made every later run fail to open the link.
    if (!SetCommState(hCom, &pPort->dcb))
    {
        OpenFailed(u"Set up the module link");
        CloseModulePort();
        return 0;
    }
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(hCom, &timeouts))
    {
        OpenFailed(u"Read the module link's time-outs");
        CloseModulePort();
        return 0;
    }
    timeouts.ReadIntervalTimeout = LINK_READ_INTERVAL;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = LINK_WRITE_MULTIPLIER;
    timeouts.WriteTotalTimeoutConstant = LINK_WRITE_CONSTANT;
    if (!SetCommTimeouts(hCom, &timeouts))
    {
        OpenFailed(u"Set the module link's time-outs");
        CloseModulePort();
        return 0;
    }
    EscapeCommFunction(hCom, SETDTR);
    EscapeCommFunction(hCom, SETRTS);
    SetupComm(hCom, LINK_QUEUE_BYTES, LINK_QUEUE_BYTES);
    return 1;
}

void CloseModulePort()
{
    ModulePort* pPort = g_pModulePort;
    HANDLE hCom = pPort->hCom;
    if (hCom != NULL)
    {
        PurgeComm(hCom, LINK_PURGE_ALL);
        CloseHandle(hCom);
        pPort->hCom = NULL;
    }
    EndSilenceWatch();
}

void WriteLink(const void* pBytes, DWORD cbBytes, DWORD* pdwWritten)
{
    if (WriteFile(g_pModulePort.load()->hCom, pBytes, cbBytes, pdwWritten, NULL))
    {
        g_dwWriteFailures = 0;
    }
    else if (g_dwWriteFailures.fetch_add(1) == 0)
    {
        NoteLinkFailure(u"Write to the module");
    }
}

void SendByte(BYTE value)
{
    DWORD dwWritten = 0;
    WriteLink(&value, 1, &dwWritten);
    DebugPrint(u" %d char : %X h sent \r\n", dwWritten, value);
}

int WaitForByte(BYTE expected)
{
    HANDLE hCom = g_pModulePort.load()->hCom;
    DebugPrint(u"Waiting for char -> %X h\r\n", expected);
    SetCommMask(hCom, LINK_EVENTS);

    DWORD dwWait = ArmSilenceWatch(hCom);
    int result = 0;
    DWORD dwEvents = 0;
    if (WaitForLinkEvent(hCom, dwWait, &dwEvents))
    {
        g_linkWaitEnd = LINK_WAIT_EVENT;
        SetCommMask(hCom, LINK_EVENTS);
        if (dwEvents & ~EV_RXCHAR)
        {
            DWORD dwErrors = 0;
            // The error event of a hang-up: the port fails from here on.
            if (!ClearCommError(hCom, &dwErrors, NULL))
            {
                NoteLinkFailure(u"Line error on the module link");
                g_linkWaitEnd = LINK_WAIT_LOST;
            }
        }
        if (dwEvents & EV_RXCHAR)
        {
            result = ReadUntilByte(hCom, expected, dwWait);
        }
    }
    DisarmSilenceWatch(dwWait);
    if (result == 0)
    {
        DebugPrint(u"None byte got from TRM07 !!\r\n");
    }
    return result;
}

int LinkWaitEnd()
{
    return g_linkWaitEnd.load();
}

void SetLinkSilenceLimit(DWORD ms)
{
    g_dwSilenceLimitMs = ms;
}
