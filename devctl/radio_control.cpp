// Radio interface control through the "RIL1:" driver, and the device restart
// through the HAL's KernelIoControl.
#include "devctl/radio_control.h"

#include "shell/log.h"

// One row per driver control: its code and its log-pane lines.
struct RadioControl
{
    DWORD dwCode;          // control code sent to the driver
    LPCWSTR szOpenFail;    // "%08lX" of GetLastError
    LPCWSTR szControlFail; // "%08lX" of GetLastError
    LPCWSTR szDone;        // null: no success line
};

enum
{
    RC_SUSPEND,
    RC_RESUME,
    RC_RESET
};

// clang-format off
// code               open failure                                                   control failure                                              success
static const RadioControl g_radioControls[] = {
    {IOCTL_RIL_SUSPEND, u"Failed to open RIL1:, error code: 0x%08lX\r\n",              u"Failed to suspend RIL action, error code: 0x%08lX\r\n",     nullptr},
    {IOCTL_RIL_RESUME,  u"Failed to open RIL1:, error code: 0x%08lX\r\n",              u"Failed to resume RIL action, error code: 0x%08lX\r\n",      u"RIL has been resumed\r\n"},
    {IOCTL_RIL_RESET,   u"Failed to open RIL1,CANNOT reset:, error code: 0x%08lX\r\n", u"Failed to reset GSM/GPRS module, error code: 0x%08lX\r\n", u"GSM/GPRS has been reset\r\n"},
};
// clang-format on

// Opens the driver, sends one control code, closes it. Lines only with a window.
static LONG SendRadioControl(HWND hwnd, const RadioControl* rc)
{
    HANDLE hRil = CreateFileW(u"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hRil == INVALID_HANDLE_VALUE)
    {
        if (hwnd)
        {
            wsprintfW(g_szLogBuf, rc->szOpenFail, GetLastError());
            AppendLog(hwnd, g_szLogBuf);
        }
        return 1;
    }
    if (!DeviceIoControl(hRil, rc->dwCode, nullptr, 0, nullptr, 0, nullptr, nullptr))
    {
        if (hwnd)
        {
            wsprintfW(g_szLogBuf, rc->szControlFail, GetLastError());
            AppendLog(hwnd, g_szLogBuf);
        }
        CloseHandle(hRil);
        return 1;
    }
    if (hwnd && rc->szDone)
        AppendLog(hwnd, rc->szDone);
    CloseHandle(hRil);
    return 0;
}

LONG SuspendRadio(HWND hwnd, int, LPARAM, int)
{
    return SendRadioControl(hwnd, &g_radioControls[RC_SUSPEND]);
}

LONG ResumeRadio(HWND hwnd, int, LPARAM, int)
{
    return SendRadioControl(hwnd, &g_radioControls[RC_RESUME]);
}

LONG ResetModule(HWND hwnd, int, LPARAM, int)
{
    return SendRadioControl(hwnd, &g_radioControls[RC_RESET]);
}

// The restart's lines go through TraceLog: they show only while tracing is on.
// When the restart takes effect the device goes down inside the call.
LONG RebootDevice(HWND hwnd, int, LPARAM, int)
{
    HMODULE hCore = LoadLibraryW(u"COREDLL.DLL");
    if (hCore == nullptr)
    {
        TraceLog(hwnd, u"LoadLibrary() call fails !\r\n");
        return 1;
    }
    PFN_KernelIoControl pfnKernelIoControl = (PFN_KernelIoControl)GetProcAddressW(hCore, u"KernelIoControl");
    if (pfnKernelIoControl == nullptr)
    {
        TraceLog(hwnd, u"GetProcAddress() call fails !\r\n");
        return 1;
    }
    // The entry point stays valid after the release: the program's own imports
    // keep the core library loaded.
    if (!FreeLibrary(hCore))
        TraceLog(hwnd, u"Coredll.dll is not freed !\r\n");
    if (pfnKernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, nullptr) == 0)
    {
        TraceLog(hwnd, u"Failed to call KernelIoControl() to reboot!\r\n");
        return 1;
    }
    return 0;
}
