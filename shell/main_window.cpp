// The main window: start-up, message table and handlers, shutdown.
#include "shell/main_window.h"

#include "bridge/bridge.h"
#include "shell/commands.h"
#include "shell/log.h"

WCHAR g_szWorkDir[WORKDIR_CHARS];
LPVOID g_pGpio;
SHACTIVATEINFO g_activateInfo = {sizeof(SHACTIVATEINFO), nullptr, 0, 0, 0, 0};

// clang-format off
// message            handler
const MessageEntry g_messageTable[] = {
    {WM_CREATE,        OnCreate},
    {WM_SIZE,          OnSize},
    {WM_COMMAND,       OnCommand},
    {WM_SETTINGCHANGE, OnShellEvent},
    {WM_ACTIVATE,      OnShellEvent},
    {WM_SETFOCUS,      OnSetFocus},
    {WM_DESTROY,       OnDestroy},
    {WM_TIMER,         OnTimer},
};
// clang-format on
const int g_messageCount = sizeof(g_messageTable) / sizeof(g_messageTable[0]);

// A window handle with its lowest bit set brings the window to the front
// together with the windows it owns.
static HWND WithOwnedWindows(HWND hwnd)
{
    return (HWND)((UINT_PTR)hwnd | 1);
}

int WinMain(HINSTANCE hInstance, HINSTANCE, LPWSTR, int nCmdShow)
{
    int nRegistered = RegisterMainClass(hInstance);
    if (nRegistered != 0)
        return nRegistered;
    HWND hwnd = CreateMainWindow(hInstance, nCmdShow);
    if (hwnd == nullptr)
        return EXIT_WINDOW_FAILED;
    HACCEL hAccel = LoadAcceleratorsW(g_hInst.load(), ACCEL_TABLE_NAME);
    MSG msg = {};
    while (GetMessageW(&msg, nullptr, 0, 0))
    {
        if (!TranslateAcceleratorW(hwnd, hAccel, &msg))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return (int)msg.wParam;
}

int RegisterMainClass(HINSTANCE hInstance)
{
    HWND hRunning = FindWindowW(MAIN_CLASS_NAME, nullptr);
    if (hRunning)
    {
        SetForegroundWindow(WithOwnedWindows(hRunning));
        return EXIT_ALREADY_RUNNING;
    }
    WNDCLASSW wc = {};
    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = nullptr;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = MAIN_CLASS_NAME;
    if (RegisterClassW(&wc) == 0)
        return EXIT_CLASS_FAILED;
    INITCOMMONCONTROLSEX icc = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    InitCommonControlsEx(&icc);
    return 0;
}

HWND CreateMainWindow(HINSTANCE hInstance, int nCmdShow)
{
    g_hInst.store(hInstance);
    HWND hwnd = CreateWindowExW(0, MAIN_CLASS_NAME, MAIN_TITLE, WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, hInstance, nullptr);
    if (!IsWindow(hwnd))
        return nullptr;
    ShowWindow(hwnd, nCmdShow);
    UpdateWindow(hwnd);
    return hwnd;
}

LRESULT MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    for (int i = 0; i < g_messageCount; i++)
    {
        if (g_messageTable[i].message == message)
            return g_messageTable[i].handler(hwnd, message, wParam, lParam);
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// Records the directory of the program file, with its trailing backslash.
static void RecordWorkDir()
{
    WCHAR szPath[WORKDIR_CHARS] = {};
    GetModuleFileNameW(nullptr, szPath, WORKDIR_CHARS);
    int nLastSlash = -1;
    for (int i = 0; i < WORKDIR_CHARS && szPath[i]; i++)
    {
        if (szPath[i] == u'\\')
            nLastSlash = i;
    }
    if (nLastSlash < 0)
    {
        MessageBoxW(nullptr, szPath, u"WorkDir Error", MB_OK);
        return;
    }
    for (int i = 0; i <= nLastSlash; i++)
        g_szWorkDir[i] = szPath[i];
    g_szWorkDir[nLastSlash + 1] = 0;
}

LRESULT OnCreate(HWND hwnd, UINT, WPARAM, LPARAM)
{
    SHMENUBARINFO mbi = {};
    mbi.cbSize = sizeof(SHMENUBARINFO);
    mbi.hwndParent = hwnd;
    mbi.dwFlags = 0;
    mbi.nToolBarId = IDR_MENUBAR;
    mbi.hInstRes = g_hInst.load();
    mbi.nBmpId = 0;
    mbi.cBmpImages = 0;
    if (!SHCreateMenuBar(&mbi))
        return -1;

    HWND hLog = CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"",
                                WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY, 0, 0,
                                CW_USEDEFAULT, CW_USEDEFAULT, hwnd, (HMENU)(UINT_PTR)IDC_LOG, g_hInst.load(), nullptr);
    if (!IsWindow(hLog))
    {
        DestroyWindow(hwnd);
        return 0;
    }

    SHINITDLGINFO sid = {};
    sid.dwMask = SHIDIM_FLAGS;
    sid.hDlg = hwnd;
    sid.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
    SHInitDialog(&sid);

    g_pGpio = VirtualAlloc(nullptr, GPIO_WINDOW_BYTES, MEM_RESERVE, PAGE_NOACCESS);
    if (g_pGpio == nullptr)
    {
        DestroyWindow(hwnd);
        return 0;
    }
    // The source is the kernel's uncached virtual address of the block, not a
    // physical one.
    if (!VirtualCopy(g_pGpio, (LPVOID)(UINT_PTR)GPIO_KERNEL_ADDRESS, GPIO_WINDOW_BYTES, PAGE_READWRITE | PAGE_NOCACHE))
    {
        DestroyWindow(hwnd);
        return 0;
    }

    SetTimer(hwnd, IDT_KEEPALIVE, KEEPALIVE_PERIOD_MS, nullptr);
    RecordWorkDir();
    DebugPrint(u"get current dir %s\r\n", g_szWorkDir);
    TraceLog(hwnd, u"Morvane Tessel Firmware Utility\r\n<< Firmware Version: V.4.5.0 >>\r\n");
    return 0;
}

LRESULT OnSize(HWND hwnd, UINT, WPARAM, LPARAM)
{
    RECT rc = {};
    GetClientRect(hwnd, &rc);
    rc.top += CommandBar_Height(GetDlgItem(hwnd, IDC_COMMANDBAR));
    SetWindowPos(GetDlgItem(hwnd, IDC_LOG), nullptr, rc.left, rc.top, rc.right - rc.left, rc.bottom - rc.top,
                 SWP_NOZORDER);
    return 0;
}

LRESULT OnShellEvent(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTINGCHANGE)
        return SHHandleWMSettingChange(hwnd, wParam, lParam, &g_activateInfo);
    return SHHandleWMActivate(hwnd, wParam, lParam, &g_activateInfo, 0);
}

LRESULT OnSetFocus(HWND hwnd, UINT, WPARAM, LPARAM)
{
    SetFocus(GetDlgItem(hwnd, IDC_LOG));
    return 0;
}

// Keep-alive: hold off the idle suspend, and keep the window in front until a
// successful transfer leaves its box without owner in front of it.
LRESULT OnTimer(HWND hwnd, UINT, WPARAM, LPARAM)
{
    SystemIdleTimerReset();
    keybd_event(0x15, 0, KEYEVENTF_KEYUP | KEYEVENTF_SILENT, 0);
    if (g_keepForeground.load() != 0)
        SetForegroundWindow(WithOwnedWindows(hwnd));
    return 0;
}

// Tears the bridge down (without its log line) and releases the register
// window. A download run still going on is left alone.
LRESULT OnDestroy(HWND, UINT, WPARAM, LPARAM)
{
    BridgeTeardown();
    if (g_pGpio != nullptr)
        VirtualFree(g_pGpio, 0, MEM_RELEASE);
    g_pGpio = nullptr;
    PostQuitMessage(0);
    return 0;
}
