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

// How often an expired silence watch repeats its wake-up, in case the wait it
// ends had not started yet when it first fired.
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

// The silence watch of the WaitForByte in progress (one at a time: the
// download worker's). Each bounded wait has its own number, so a watch that
// is ending late cannot end a later wait.
static std::atomic<DWORD> g_dwWaitNumber{0};       // number of the latest bounded wait
static std::atomic<DWORD> g_dwExpiredWait{0};      // number of the wait whose silence limit passed
static std::atomic<DWORD> g_dwQuietSinceTick{0};   // tick of the last byte, or of the wait's start
static std::atomic<DWORD> g_dwWatchLimitMs{0};     // the limit the running watch applies
static std::atomic<HANDLE> g_hWatchedCom{nullptr}; // the port the running watch wakes

static void CopyName(WCHAR* pDest, int capacity, const WCHAR* pSrc)
{
    int i = 0;
    for (; i < capacity - 1 && pSrc[i] != 0; i++)
    {
        pDest[i] = pSrc[i];
    }
    pDest[i] = 0;
}

static void FillLinkDcb(DCB* pDcb)
{
    pDcb->DCBlength = sizeof(DCB);
    pDcb->BaudRate = LINK_BAUD;
    pDcb->fBinary = 1;
    pDcb->fParity = 0;
    pDcb->fOutxCtsFlow = 0;
    pDcb->fOutxDsrFlow = 0;
    pDcb->fDtrControl = DTR_CONTROL_ENABLE;
    pDcb->fDsrSensitivity = 0;
    pDcb->fTXContinueOnXoff = 1;
    pDcb->fOutX = 0;
    pDcb->fInX = 0;
    pDcb->fErrorChar = 0;
    pDcb->fNull = 0;
    pDcb->fRtsControl = RTS_CONTROL_ENABLE;
    pDcb->fAbortOnError = 0;
    pDcb->XonLim = 0;
    pDcb->XoffLim = 0;
    pDcb->ByteSize = 8;
    pDcb->Parity = NOPARITY;
    pDcb->StopBits = ONE5STOPBITS; // code 1, handed to the driver unchanged
    pDcb->XonChar = 0;
    pDcb->XoffChar = 0;
    pDcb->ErrorChar = 0;
    pDcb->EofChar = 0;
    pDcb->EvtChar = 0;
}

// The silence watch: sleeps until the link has been quiet for the limit, then
// ends the pending WaitCommEvent by setting the mask, the platform's way for
// one thread to end another's comm wait. It ends when WaitForByte terminates it.
static DWORD SilenceWatch(LPVOID param)
{
    DWORD dwWait = (DWORD)(UINT_PTR)param;
    for (;;)
    {
        DWORD dwQuiet = GetTickCount() - g_dwQuietSinceTick.load();
        DWORD dwLimit = g_dwWatchLimitMs.load();
        if (dwQuiet < dwLimit)
        {
            Sleep(dwLimit - dwQuiet);
            continue;
        }
        g_dwExpiredWait = dwWait;
        SetCommMask(g_hWatchedCom.load(), LINK_EVENTS);
        Sleep(SILENCE_REPEAT_MS);
    }
}

// Starts a watch when a silence limit is set. Returns the wait's number (0:
// no bound) and the watch's thread handle.
static DWORD StartSilenceWatch(HANDLE hCom, HANDLE* phWatch)
{
    *phWatch = NULL;
    DWORD dwLimit = g_dwSilenceLimitMs.load();
    if (dwLimit == 0)
    {
        return 0;
    }
    DWORD dwWait = g_dwWaitNumber.fetch_add(1) + 1;
    if (dwWait == 0)
    {
        dwWait = g_dwWaitNumber.fetch_add(1) + 1; // 0 means "no bound"
    }
    g_dwQuietSinceTick = GetTickCount();
    g_dwWatchLimitMs = dwLimit;
    g_hWatchedCom = hCom;
    *phWatch = CreateThread(NULL, 0, SilenceWatch, (LPVOID)(UINT_PTR)dwWait, 0, NULL);
    if (*phWatch == NULL)
    {
        DebugPrint(u"No silence watch (error %u): waiting without limit\r\n", GetLastError());
        return 0;
    }
    return dwWait;
}

static void StopSilenceWatch(HANDLE hWatch)
{
    if (hWatch != NULL)
    {
        TerminateThread(hWatch, 0);
        CloseHandle(hWatch);
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

int OpenModulePort()
{
    g_pModulePort = nullptr;
    ModulePortSlot* pSlot = new ModulePortSlot(); // zero-filled
    pSlot->pOlder = g_pNewestSlot.exchange(pSlot);
    ModulePort* pPort = &pSlot->port;
    g_pModulePort = pPort;

    CopyName(pPort->szName, 8, LINK_NAME);
    pPort->dwReserved = 0;
    FillLinkDcb(&pPort->dcb);
    DebugPrint(u"Open : %s\r\n", pPort->szName);

    HANDLE hCom = CreateFileW(pPort->szName, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hCom == INVALID_HANDLE_VALUE)
    {
        pPort->hCom = NULL;
        return 0;
    }
    pPort->hCom = hCom;
    PurgeComm(hCom, LINK_PURGE_ALL);

    // A configuration failure closes the port again: left open, it kept
    // "COM1:" held and made every later run fail to open the link.
    if (!SetCommState(hCom, &pPort->dcb))
    {
        CloseModulePort();
        return 0;
    }
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(hCom, &timeouts))
    {
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
}

void SendByte(BYTE value)
{
    DWORD dwWritten = 0;
    WriteFile(g_pModulePort.load()->hCom, &value, 1, &dwWritten, NULL);
    DebugPrint(u" %d char : %X h sent \r\n", dwWritten, value);
}

int WaitForByte(BYTE expected)
{
    HANDLE hCom = g_pModulePort.load()->hCom;
    DebugPrint(u"Waiting for char -> %X h\r\n", expected);
    SetCommMask(hCom, LINK_EVENTS);

    HANDLE hWatch = NULL;
    DWORD dwWait = StartSilenceWatch(hCom, &hWatch);
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
                g_linkWaitEnd = LINK_WAIT_LOST;
            }
        }
        if (dwEvents & EV_RXCHAR)
        {
            result = ReadUntilByte(hCom, expected, dwWait);
        }
    }
    StopSilenceWatch(hWatch);
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
