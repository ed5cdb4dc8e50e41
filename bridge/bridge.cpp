// Serial bridge: the three command handlers, the port openers and the two
// pump threads that copy bytes between the module's UART and the peer port.
#include "bridge/bridge.h"

#include "shell/log.h"

#define PORT_NAME_CHARS 32
#define PUMP_CHUNK 1024
#define PUMP_LINE_CHARS 128
#define UART_BAUD 115200
#define UART_READ_TOTAL_MS 1
// A read that fails (the port was closed under the pump, or its device hung
// up) fails again at once on the next pass; the pause keeps such a pump from
// spinning on a core until StopBridge ends it. Reads that succeed, with or
// without bytes, are paced by the port's own 1 ms read time-out instead.
#define PUMP_FAILED_READ_PAUSE_MS 10

std::atomic<HANDLE> g_hModuleCom{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hPeerCom{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hPumpUp{INVALID_HANDLE_VALUE};
std::atomic<HANDLE> g_hPumpDown{INVALID_HANDLE_VALUE};
std::atomic<int> g_bridgeRunning{1};
std::atomic<int> g_peerKind{PEER_IRDA};

// One UART the serial driver lists in the registry.
struct UartSide
{
    LPCWSTR szUart;             // name StartBridge asks for
    LPCWSTR szKey;              // driver key under HKEY_LOCAL_MACHINE
    LPCWSTR szOpenFail;         // "%s": the port name, empty when none was built
    std::atomic<HANDLE>* phCom; // where the opened handle goes
};

// One port opened by its fixed device name, with the driver's own settings.
struct FixedPort
{
    LPCWSTR szPort;     // device name
    LPCWSTR szOpened;   // "%s": the device name
    LPCWSTR szOpenFail; // "%s": the device name
};

typedef int (*PeerOpener)(HWND hwnd);

// One peer kind and how StartBridge opens it.
struct PeerEntry
{
    int nKind;
    PeerOpener pfnOpen;
};

enum PumpRow
{
    PUMP_MODULE_TO_PEER,
    PUMP_PEER_TO_MODULE
};

enum OptionTarget
{
    OPT_PEER,
    OPT_TRACE
};

// One command of SelectOption.
struct OptionEntry
{
    int nId;
    int nTarget; // OPT_PEER: g_peerKind; OPT_TRACE: g_traceMode
    int nValue;
};

// One direction of the bridge. Both pumps run the same body over one row.
struct PumpDirection
{
    std::atomic<HANDLE>* phFrom; // read from
    std::atomic<HANDLE>* phTo;   // write to
    LPCWSTR szWriteFail;         // text and caption of the write-failure box
    LPCWSTR szTraffic;           // "%d": the count below
    int nTraceMask;              // g_traceMode bits that show the traffic line
    int fCountRead;              // the line shows the count read (1) or written (0)
};

static int OpenBtPort(HWND hwnd);

// clang-format off
// UART       driver key                    failure line                handle
static const UartSide g_uartSides[] = {
    {u"FFUART", u"Drivers\\BuiltIn\\Serial",  u"Open FF(%s) failed.\r\n",   &g_hModuleCom},
    {u"BTUART", u"Drivers\\BuiltIn\\Serial2", u"Open BT(%s) failed.\r\n",   &g_hPeerCom},
};

//                                  port      success line           failure line
static const FixedPort g_irPort   = {u"COM5:", u"%s (IR)opened\r\n",   u"Open IR(%s) failed.\r\n"};
static const FixedPort g_irdaPort = {u"COM3:", u"IRDA(%s) opened\r\n", u"Open IRDA(%s) failed.\r\n"};

// peer kind    opener
static const PeerEntry g_peerTable[] = {
    {PEER_BTUART, OpenBtPort},
    {PEER_IR,     OpenIrPort},
    {PEER_IRDA,   OpenIrdaPort},
};

// command id             target     value
static const OptionEntry g_optionTable[] = {
    {IDM_PEER_BT,           OPT_PEER,  PEER_BTUART},
    {IDM_PEER_IR,           OPT_PEER,  PEER_IR},
    {IDM_PEER_IRDA,         OPT_PEER,  PEER_IRDA},
    {IDM_TRACE_OFF,         OPT_TRACE, IDM_TRACE_OFF - IDM_TRACE_OFF},
    {IDM_TRACE_TO_MODULE,   OPT_TRACE, IDM_TRACE_TO_MODULE - IDM_TRACE_OFF},
    {IDM_TRACE_FROM_MODULE, OPT_TRACE, IDM_TRACE_FROM_MODULE - IDM_TRACE_OFF},
    {IDM_TRACE_BOTH,        OPT_TRACE, IDM_TRACE_BOTH - IDM_TRACE_OFF},
};

// Trace mode 1 shows traffic toward the module, 2 traffic from it, 3 both.
// from          to             write-failure box                traffic line                    trace count read
static const PumpDirection g_pumpDirections[] = {
    {&g_hModuleCom, &g_hPeerCom,   u"Fail to write to BT/Irda\r\n", u"%d bytes <-BT<-FF<- <<<\r\n", 2,    0},
    {&g_hPeerCom,   &g_hModuleCom, u"Fail to write FF(GSM)",        u">>> %d bytes ->BT->FF->\r\n", 1,    1},
};
// clang-format on

static const WCHAR g_szSettings[] = u"Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------
static int SameText(LPCWSTR a, LPCWSTR b)
{
    while (*a != 0 && *a == *b)
    {
        a++;
        b++;
    }
    return *a == *b;
}

static HANDLE OpenPortExclusive(LPCWSTR szPort)
{
    return CreateFileW(szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Builds "COMn:" from the driver's "Index" when it is below 10; otherwise the
// name stays empty.
static void BuildUartName(LPCWSTR szKey, WCHAR* szPort, int cchPort)
{
    HKEY hKey = nullptr;
    szPort[0] = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, szKey, 0, 0, &hKey) != ERROR_SUCCESS)
        return;
    // A value shorter than four bytes fills only the low bytes of a zeroed number.
    DWORD dwIndex = 0;
    DWORD dwType = 0;
    DWORD cbIndex = sizeof dwIndex;
    if (RegQueryValueExW(hKey, u"Index", nullptr, &dwType, (LPBYTE)&dwIndex, &cbIndex) == ERROR_SUCCESS && dwIndex < 10)
        wnsprintfW(szPort, cchPort, u"COM%d:", (int)dwIndex);
    RegCloseKey(hKey);
}

// 115200 8N1 without XON/XOFF; hardware flow control, DTR/RTS handling and the
// special characters stay as the driver has them.
static void SetUpUartLine(HANDLE hCom)
{
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    // A line setting that could not be read is not written back from guesses.
    if (GetCommState(hCom, &dcb))
    {
        dcb.BaudRate = UART_BAUD;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fParity = dcb.fNull = dcb.fOutX = dcb.fInX = 0;
        SetCommState(hCom, &dcb);
    }
    PurgeComm(hCom, PURGE_TXCLEAR | PURGE_RXCLEAR);
    // A read returns after at most 1 ms with what has arrived; a write has no time-out.
    // read interval, read multiplier, read constant, write multiplier, write constant
    COMMTIMEOUTS cto = {0, 0, UART_READ_TOTAL_MS, 0, 0};
    SetCommTimeouts(hCom, &cto);
}

static int OpenFixedPort(HWND hwnd, const FixedPort* pPort)
{
    HANDLE hCom = OpenPortExclusive(pPort->szPort);
    if (hCom == INVALID_HANDLE_VALUE)
    {
        wsprintfW(g_szLogBuf, pPort->szOpenFail, pPort->szPort);
        AppendLog(hwnd, g_szLogBuf);
        return 0;
    }
    wsprintfW(g_szLogBuf, pPort->szOpened, pPort->szPort);
    AppendLog(hwnd, g_szLogBuf);
    g_hPeerCom.store(hCom);
    return 1;
}

static int OpenBtPort(HWND hwnd)
{
    return OpenUartPort(hwnd, u"BTUART");
}

static int OpenPeer(HWND hwnd, int nKind)
{
    for (const PeerEntry& pe : g_peerTable)
    {
        if (pe.nKind == nKind)
            return pe.pfnOpen(hwnd);
    }
    return 0;
}

// Starts a pump unless the one in *phPump still runs. The replaced handle
// belongs to a pump that has ended; it is released here so that restarts do
// not pile up thread objects.
static void StartPump(HWND hwnd, std::atomic<HANDLE>* phPump, LPTHREAD_START_ROUTINE pfnPump)
{
    HANDLE hOld = phPump->load();
    DWORD dwCode = 0;
    if (GetExitCodeThread(hOld, &dwCode) && dwCode == STILL_ACTIVE)
        return;
    phPump->store(CreateThread(nullptr, 0, pfnPump, (LPVOID)hwnd, 0, nullptr));
    if (hOld != nullptr && hOld != INVALID_HANDLE_VALUE)
        CloseHandle(hOld);
}

static void EndPump(std::atomic<HANDLE>* phPump)
{
    HANDLE hPump = phPump->load();
    DWORD dwCode = 0;
    if (GetExitCodeThread(hPump, &dwCode) && dwCode == STILL_ACTIVE)
        TerminateThread(hPump, 0);
}

// The body both pumps run. Handles are taken from the globals at every call,
// so a pump never holds on to a port StopBridge has closed.
static DWORD RunPump(HWND hwnd, const PumpDirection* pDir)
{
    BYTE abData[PUMP_CHUNK];
    WCHAR szLine[PUMP_LINE_CHARS];

    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    while (g_bridgeRunning.load() != 0)
    {
        DWORD dwRead = 0;
        if (!ReadFile(pDir->phFrom->load(), abData, PUMP_CHUNK, &dwRead, nullptr))
        {
            Sleep(PUMP_FAILED_READ_PAUSE_MS);
        }
        else if (dwRead > 0)
        {
            HANDLE hTo = pDir->phTo->load();
            DWORD dwWritten = 0;
            // A write that failed because StopBridge closed the port under it
            // is not the peer's fault: no box for that one.
            if (!WriteFile(hTo, abData, dwRead, &dwWritten, nullptr) && g_bridgeRunning.load() != 0 &&
                pDir->phTo->load() == hTo)
                MessageBoxW(nullptr, pDir->szWriteFail, pDir->szWriteFail, MB_OK);
            if (dwWritten != 0 && (g_traceMode.load() & pDir->nTraceMask) != 0)
            {
                wsprintfW(szLine, pDir->szTraffic, (int)(pDir->fCountRead ? dwRead : dwWritten));
                AppendLog(hwnd, szLine);
            }
        }
        if (g_hModuleCom.load() == INVALID_HANDLE_VALUE || g_hPeerCom.load() == INVALID_HANDLE_VALUE)
            break;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Port openers
// ---------------------------------------------------------------------------
int OpenUartPort(HWND hwnd, LPCWSTR szUart)
{
    WCHAR szPort[PORT_NAME_CHARS];
    const UartSide* pSide = SameText(szUart, g_uartSides[0].szUart) ? &g_uartSides[0] : &g_uartSides[1];

    BuildUartName(pSide->szKey, szPort, PORT_NAME_CHARS);
    HANDLE hCom = szPort[0] != 0 ? OpenPortExclusive(szPort) : INVALID_HANDLE_VALUE;
    if (hCom == INVALID_HANDLE_VALUE)
    {
        wsprintfW(g_szLogBuf, pSide->szOpenFail, szPort);
        AppendLog(hwnd, g_szLogBuf);
        return 0;
    }
    wsprintfW(g_szLogBuf, u"%s opened\r\n", szPort);
    AppendLog(hwnd, g_szLogBuf);
    pSide->phCom->store(hCom);
    SetUpUartLine(hCom);
    return 1;
}

int OpenIrPort(HWND hwnd)
{
    return OpenFixedPort(hwnd, &g_irPort);
}

int OpenIrdaPort(HWND hwnd)
{
    return OpenFixedPort(hwnd, &g_irdaPort);
}

// ---------------------------------------------------------------------------
// Pumps
// ---------------------------------------------------------------------------
DWORD PumpModuleToPeer(LPVOID param)
{
    return RunPump((HWND)param, &g_pumpDirections[PUMP_MODULE_TO_PEER]);
}

DWORD PumpPeerToModule(LPVOID param)
{
    return RunPump((HWND)param, &g_pumpDirections[PUMP_PEER_TO_MODULE]);
}

// ---------------------------------------------------------------------------
// Command handlers
// ---------------------------------------------------------------------------
// A port that did open stays held when the other did not; only StopBridge
// releases it.
LONG StartBridge(HWND hwnd, int, LPARAM, int)
{
    OpenUartPort(hwnd, g_uartSides[0].szUart);
    OpenPeer(hwnd, g_peerKind.load());
    if (g_hPeerCom.load() == INVALID_HANDLE_VALUE || g_hModuleCom.load() == INVALID_HANDLE_VALUE)
    {
        wsprintfW(g_szLogBuf, u"one of the handles is INVALID_HANDLE_VALUE\r\n");
        AppendLog(hwnd, g_szLogBuf);
        return 1;
    }
    g_bridgeRunning.store(1);
    // The status line reads both ports' byte counts while they stay open.
    PostMessageW(hwnd, WM_FWU_BRIDGE, (WPARAM)g_hModuleCom.load(), (LPARAM)g_hPeerCom.load());
    StartPump(hwnd, &g_hPumpUp, PumpModuleToPeer);
    StartPump(hwnd, &g_hPumpDown, PumpPeerToModule);
    if (g_hPumpUp.load() != nullptr && g_hPumpDown.load() != nullptr)
        AppendLog(hwnd, g_szSettings);
    return 0;
}

// Closing a port ends a pump's read or write on it with a failure; a pump
// still running is then ended at once, so nothing here waits on a blocked
// read or on a pump's failure box.
void BridgeTeardown()
{
    HANDLE hModule = g_hModuleCom.load();
    HANDLE hPeer = g_hPeerCom.load();

    g_bridgeRunning.store(0);
    if (hModule != INVALID_HANDLE_VALUE)
        CloseHandle(hModule);
    if (hPeer != INVALID_HANDLE_VALUE)
        CloseHandle(hPeer);
    g_hModuleCom.store(INVALID_HANDLE_VALUE);
    g_hPeerCom.store(INVALID_HANDLE_VALUE);
    EndPump(&g_hPumpUp);
    EndPump(&g_hPumpDown);
}

LONG StopBridge(HWND hwnd, int, LPARAM, int)
{
    BridgeTeardown();
    wsprintfW(g_szLogBuf, u"COMs released, R/W threads stopped\r\n");
    AppendLog(hwnd, g_szLogBuf);
    return 0;
}

LONG SelectOption(HWND hwnd, int id, LPARAM, int)
{
    for (const OptionEntry& oe : g_optionTable)
    {
        if (oe.nId != id)
            continue;
        if (oe.nTarget == OPT_TRACE)
        {
            g_traceMode.store(oe.nValue);
            return 0;
        }
        if (g_hPeerCom.load() != INVALID_HANDLE_VALUE || g_hModuleCom.load() != INVALID_HANDLE_VALUE)
        {
            MessageBoxW(hwnd, u"COMs should be released first", nullptr, MB_ICONERROR);
            return 1;
        }
        g_peerKind.store(oe.nValue);
        return 0;
    }
    return 0;
}
