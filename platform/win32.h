// The handheld's operating system interface, as the tool sees it.
//
// This is the only header the system code (download/, devctl/, bridge/, shell/,
// resources/) includes from the platform. It offers the Win32/Windows CE calls
// the tool uses, under their platform names, with the results Win32 gives:
// BOOL calls return nonzero on success and leave the detail in GetLastError;
// handles are values from the platform's object table, never raw descriptors.
//
// Text is UTF-16 (WCHAR is char16_t, literals are u"..."). The platform converts
// to UTF-8 only at its edges: terminal, debug output, file names.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// ---------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef unsigned int UINT;
typedef char16_t WCHAR;
typedef char CHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef long LSTATUS;
typedef unsigned short ATOM;
typedef DWORD COLORREF;

typedef void* HANDLE;
typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HMENU__* HMENU;
typedef struct HKEY__* HKEY;
typedef struct HRSRC__* HRSRC;
typedef void* HGLOBAL;
typedef struct HACCEL__* HACCEL;
typedef struct HICON__* HICON;
typedef struct HCURSOR__* HCURSOR;
typedef struct HBRUSH__* HBRUSH;
typedef void* HGDIOBJ;

// A generic entry point; void (*)() converts to and from any function pointer without a cast warning.
typedef void (*FARPROC)();
typedef DWORD (*LPTHREAD_START_ROUTINE)(LPVOID param);
typedef LRESULT (*WNDPROC)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
typedef BOOL (*DLGPROC)(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
typedef void (*TIMERPROC)(HWND hwnd, UINT msg, UINT_PTR id, DWORD time);
typedef BOOL (*PFN_KernelIoControl)(DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned);

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define LOWORD(l) ((WORD)(((uintptr_t)(l)) & 0xFFFF))
#define HIWORD(l) ((WORD)((((uintptr_t)(l)) >> 16) & 0xFFFF))
#define MAKELONG(lo, hi) ((LONG)(((DWORD)(WORD)(lo)) | (((DWORD)(WORD)(hi)) << 16)))
#define MAKELPARAM(lo, hi) ((LPARAM)(DWORD)MAKELONG(lo, hi))
#define MAKEWPARAM(lo, hi) ((WPARAM)(((DWORD)(WORD)(lo)) | (((DWORD)(WORD)(hi)) << 16)))
#define MAKEINTRESOURCEW(i) ((LPCWSTR)(uintptr_t)((WORD)(i)))
#define IS_INTRESOURCE(p) ((((uintptr_t)(p)) >> 16) == 0)

// ---------------------------------------------------------------------------
// Error codes (winerror.h values)
// ---------------------------------------------------------------------------
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_COMMAND 22L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_INVALID_MENU_HANDLE 1401L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_CONTROL_ID_NOT_FOUND 1421L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define ERROR_RESOURCE_DATA_NOT_FOUND 1812L
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813L
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814L
#define ERROR_TIMEOUT 1460L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_COUNTER_TIMEOUT 1121L

DWORD GetLastError();
void SetLastError(DWORD error);

// The thread's last failed system call (a platform extension), kept beside
// its last error by the call that failed: the system call, the device it was
// made on, the errno (0 when the system gave none, as for a hang-up seen by
// poll) and the reason in words. It belongs to the last error it came with:
// once SetLastError stores another value, there is none.
typedef struct _FAILEDCALL
{
    WCHAR szCall[16];    // "read", "write", "open", "poll", ...
    WCHAR szDevice[256]; // the device's path ("/dev/ttyUSB0"), else its name
    int nErrno;
    WCHAR szText[128]; // strerror(nErrno), or the platform's words without one
    DWORD dwFault;     // the platform's kind of failure (a row of its fault table), 0 for none
} FAILEDCALL;
BOOL GetLastFailedCall(FAILEDCALL* pCall); // FALSE (record zeroed) when there is none

// ---------------------------------------------------------------------------
// Files, devices and serial ports
// ---------------------------------------------------------------------------
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define FILE_ATTRIBUTE_NORMAL 0x80u

struct SECURITY_ATTRIBUTES;
struct OVERLAPPED;

// Line settings record. The bit layout and its size (28) are those of the
// platform's own record; the module link fills it field by field.
struct DCB
{
    DWORD DCBlength;           // sizeof(DCB)
    DWORD BaudRate;            // bits per second
    DWORD fBinary : 1;         // binary mode, no EOF check
    DWORD fParity : 1;         // parity checking on receive
    DWORD fOutxCtsFlow : 1;    // CTS output flow control
    DWORD fOutxDsrFlow : 1;    // DSR output flow control
    DWORD fDtrControl : 2;     // DTR_CONTROL_*
    DWORD fDsrSensitivity : 1; // ignore input while DSR is low
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;         // XON/XOFF output flow control
    DWORD fInX : 1;          // XON/XOFF input flow control
    DWORD fErrorChar : 1;    // replace bytes with parity errors
    DWORD fNull : 1;         // discard null bytes
    DWORD fRtsControl : 2;   // RTS_CONTROL_*
    DWORD fAbortOnError : 1; // abort I/O on error
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize; // 4..8
    BYTE Parity;   // NOPARITY ..
    BYTE StopBits; // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must keep the platform's 28-byte layout");

struct COMMTIMEOUTS
{
    DWORD ReadIntervalTimeout;         // ms between bytes; MAXDWORD with zero totals: return at once
    DWORD ReadTotalTimeoutMultiplier;  // ms per byte requested
    DWORD ReadTotalTimeoutConstant;    // ms added to the total
    DWORD WriteTotalTimeoutMultiplier; // ms per byte written
    DWORD WriteTotalTimeoutConstant;   // ms added to the total; both 0: no time-out
};

struct COMSTAT
{
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;  // bytes waiting to be read
    DWORD cbOutQue; // bytes waiting to be sent
};

#define CBR_115200 115200
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define PURGE_TXABORT 0x0001u
#define PURGE_RXABORT 0x0002u
#define PURGE_TXCLEAR 0x0004u
#define PURGE_RXCLEAR 0x0008u

#define SETXOFF 1
#define SETXON 2
#define SETRTS 3
#define CLRRTS 4
#define SETDTR 5
#define CLRDTR 6
#define SETBREAK 8
#define CLRBREAK 9

#define EV_RXCHAR 0x0001u
#define EV_RXFLAG 0x0002u
#define EV_TXEMPTY 0x0004u
#define EV_CTS 0x0008u
#define EV_DSR 0x0010u
#define EV_RLSD 0x0020u
#define EV_BREAK 0x0040u
#define EV_ERR 0x0080u
#define EV_RING 0x0100u

#define CE_RXOVER 0x0001u
#define CE_OVERRUN 0x0002u
#define CE_RXPARITY 0x0004u
#define CE_FRAME 0x0008u
#define CE_BREAK 0x0010u

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security, DWORD creation,
                   DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped);
BOOL CloseHandle(HANDLE h);
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned,
                     OVERLAPPED* overlapped);

BOOL GetCommState(HANDLE h, DCB* dcb);
BOOL SetCommState(HANDLE h, DCB* dcb);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL EscapeCommFunction(HANDLE h, DWORD func);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, LPDWORD mask);
BOOL WaitCommEvent(HANDLE h, LPDWORD events, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat);

// ---------------------------------------------------------------------------
// Threads and time
// ---------------------------------------------------------------------------
#define STILL_ACTIVE 259u
#define CREATE_SUSPENDED 0x00000004u
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7

HANDLE CreateThread(SECURITY_ATTRIBUTES* security, DWORD stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD threadId);
DWORD SuspendThread(HANDLE thread);
DWORD ResumeThread(HANDLE thread);
BOOL TerminateThread(HANDLE thread, DWORD exitCode);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
void Sleep(DWORD ms);
DWORD GetTickCount();

// ---------------------------------------------------------------------------
// Registry (read side)
// ---------------------------------------------------------------------------
#define HKEY_CLASSES_ROOT ((HKEY)(uintptr_t)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(uintptr_t)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(uintptr_t)0x80000002u)
#define HKEY_USERS ((HKEY)(uintptr_t)0x80000003u)
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, DWORD access, HKEY* result);
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size);
LONG RegCloseKey(HKEY key);

// ---------------------------------------------------------------------------
// Resources and libraries
// ---------------------------------------------------------------------------
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_ACCELERATOR MAKEINTRESOURCEW(9)
#define RT_RCDATA MAKEINTRESOURCEW(10)
#define RT_GROUP_ICON MAKEINTRESOURCEW(14)

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HMODULE module, HRSRC resource);
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax);

HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddressW(HMODULE module, LPCWSTR name);
BOOL FreeLibrary(HMODULE module);
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);

#define IOCTL_HAL_REBOOT 0x0101003Cu

// ---------------------------------------------------------------------------
// Debug output and formatting
// ---------------------------------------------------------------------------
// Kernel debug output: one formatted line to the platform's debug sink (a file
// or stderr, never the terminal screen while a window is drawn).
void NKDbgPrintfW(LPCWSTR format, ...);

// wsprintfW with an explicit capacity in WCHARs; the result is always
// terminated and never longer than capacity - 1 units. Supports %d %u %X %x
// %s %c %% with flags '0' and '-', a width, and the 'l' size prefix.
int wnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, ...);
int wvnsprintfW(LPWSTR buffer, int capacity, LPCWSTR format, va_list args);

// The platform's wsprintfW writes at most 1024 units. When the destination is
// an array its real size is the bound, so no line can overflow its buffer.
#define WSPRINTF_MAX 1024
template <typename Buffer, typename... Args> inline int wsprintfW(Buffer&& buffer, LPCWSTR format, Args... args)
{
    using B = std::remove_reference_t<Buffer>;
    if constexpr (std::is_array_v<B>)
        return wnsprintfW(buffer, (int)std::extent_v<B>, format, args...);
    else
        return wnsprintfW(buffer, WSPRINTF_MAX, format, args...);
}

// ---------------------------------------------------------------------------
// Windows and messages
// ---------------------------------------------------------------------------
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SETTINGCHANGE 0x001A
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

#define EM_GETSEL 0x00B0
#define EM_SETSEL 0x00B1
#define EM_REPLACESEL 0x00C2
#define EM_GETLINECOUNT 0x00BA

#define WS_OVERLAPPED 0x00000000u
#define WS_POPUP 0x80000000u
#define WS_CHILD 0x40000000u
#define WS_VISIBLE 0x10000000u
#define WS_CAPTION 0x00C00000u
#define WS_BORDER 0x00800000u
#define WS_VSCROLL 0x00200000u
#define WS_HSCROLL 0x00100000u
#define WS_SYSMENU 0x00080000u
#define WS_GROUP 0x00020000u
#define WS_TABSTOP 0x00010000u
#define WS_EX_CLIENTEDGE 0x00000200u
#define ES_LEFT 0x0000u
#define ES_MULTILINE 0x0004u
#define ES_AUTOVSCROLL 0x0040u
#define ES_AUTOHSCROLL 0x0080u
#define ES_READONLY 0x0800u
#define SS_LEFT 0x0000u
#define DS_SETFONT 0x40u
#define DS_MODALFRAME 0x80u
#define DS_CENTER 0x0800u
#define CW_USEDEFAULT ((int)0x80000000)

#define SIZE_RESTORED 0

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define SWP_NOSIZE 0x0001u
#define SWP_NOMOVE 0x0002u
#define SWP_NOZORDER 0x0004u

#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#define MB_OK 0x00000000u
#define MB_YESNO 0x00000004u
#define MB_TYPEMASK 0x0000000Fu // the buttons
#define MB_ICONERROR 0x00000010u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define MB_DEFBUTTON2 0x00000100u // the second button answers Enter (and the headless display)

#define WHITE_BRUSH 0
#define IDC_ARROW MAKEINTRESOURCEW(32512)

#define PM_NOREMOVE 0x0000u
#define PM_REMOVE 0x0001u

struct POINT
{
    LONG x;
    LONG y;
};

struct RECT
{
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct MSG
{
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WNDCLASSW
{
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
};

struct CREATESTRUCTW
{
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
};

ATOM RegisterClassW(const WNDCLASSW* wc);
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width, int height,
                     HWND parent, HMENU menuOrId, HINSTANCE instance, LPVOID param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int cmdShow);
BOOL UpdateWindow(HWND hwnd);
HWND FindWindowW(LPCWSTR className, LPCWSTR title);
BOOL SetForegroundWindow(HWND hwnd);
HWND GetDlgItem(HWND hwnd, int id);
BOOL GetClientRect(HWND hwnd, RECT* rect);
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);
HWND SetFocus(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name);
HGDIOBJ GetStockObject(int object);

// Messages. SendMessageW to a window of another thread blocks the sender until
// the owning thread has handled the message inside GetMessageW or a modal loop.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageW(HWND hwnd, int id, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT remove);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageW(const MSG* msg);
void PostQuitMessage(int exitCode);

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Accelerators
#define FVIRTKEY 0x01
#define FNOINVERT 0x02
#define FSHIFT 0x04
#define FCONTROL 0x08
#define FALT 0x10

struct ACCEL
{
    BYTE fVirt;
    WORD key;
    WORD cmd;
};

HACCEL LoadAcceleratorsW(HINSTANCE instance, LPCWSTR name);
int TranslateAcceleratorW(HWND hwnd, HACCEL table, MSG* msg);

// Boxes and dialogs
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCVOID dialogTemplate, HWND owner, DLGPROC proc, LPARAM param);
BOOL EndDialog(HWND hDlg, INT_PTR result);

// ---------------------------------------------------------------------------
// Pocket PC shell and common controls
// ---------------------------------------------------------------------------
#define SHIDIM_FLAGS 0x0001u
#define SHIDIF_DONEBUTTON 0x0001u
#define SHIDIF_SIZEDLG 0x0002u
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004u
#define I_IMAGENONE (-2)
#define TBSTATE_ENABLED 0x04
#define TBSTYLE_DROPDOWN 0x0008
#define TBSTYLE_AUTOSIZE 0x0010
#define ICC_BAR_CLASSES 0x00000004u

struct SHMENUBARINFO
{
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
};

struct SHINITDLGINFO
{
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
};

struct SHACTIVATEINFO
{
    DWORD cbSize;
    HWND hwndLastFocus;
    UINT fSipUp : 1;
    UINT fSipOnDeactivation : 1;
    UINT fActive : 1;
    UINT fReserved : 29;
};

struct INITCOMMONCONTROLSEX
{
    DWORD dwSize;
    DWORD dwICC;
};

BOOL SHCreateMenuBar(SHMENUBARINFO* info);
BOOL SHInitDialog(SHINITDLGINFO* info);
BOOL SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info, DWORD flags);
BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* info);
BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);
int CommandBar_Height(HWND hwndCB);

// ---------------------------------------------------------------------------
// Virtual memory and power
// ---------------------------------------------------------------------------
#define MEM_COMMIT 0x1000u
#define MEM_RESERVE 0x2000u
#define MEM_RELEASE 0x8000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READWRITE 0x04u
#define PAGE_NOCACHE 0x200u
#define KEYEVENTF_KEYUP 0x0002u
#define KEYEVENTF_SILENT 0x0004u

LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD type, DWORD protect);
BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect);
BOOL VirtualFree(LPVOID address, DWORD size, DWORD type);
void SystemIdleTimerReset();
void keybd_event(BYTE vk, BYTE scan, DWORD flags, DWORD extra);

// ---------------------------------------------------------------------------
// The program's entry, called by the platform's process entry.
// ---------------------------------------------------------------------------
int WinMain(HINSTANCE instance, HINSTANCE prevInstance, LPWSTR cmdLine, int cmdShow);

// ===========================================================================
// Resource formats: what the resource compiler makes of the program's script.
// FindResourceW / LoadResource / LockResource yield a pointer to one of these
// records (or to the image bytes); the window system reads them.
// ===========================================================================
// ---------------------------------------------------------------------------
// Menus
// ---------------------------------------------------------------------------
enum MenuItemKind
{
    MENU_ITEM_COMMAND,   // a command with a caption
    MENU_ITEM_SEPARATOR, // a line; no id, no caption
    MENU_ITEM_POPUP,     // a caption that opens the items of `popup`
};

struct MenuItemTemplate
{
    int kind;                      // MenuItemKind
    WORD id;                       // command id (MENU_ITEM_COMMAND), else 0
    LPCWSTR text;                  // caption; null for a separator
    const MenuItemTemplate* popup; // MENU_ITEM_POPUP: its items, else null
    UINT popupCount;               // number of items in `popup`
};

struct MenuTemplate
{
    const MenuItemTemplate* items; // top-level items, in order; popups are numbered from 0
    UINT count;
};

// The menu bar (SHCreateMenuBar's template): the menu it draws its drop-downs
// from, and its buttons.
#define MENUBAR_NO_POPUP (-1)

struct MenuBarButton
{
    int image;      // bitmap index, or I_IMAGENONE for a text button
    WORD command;   // id the button sends when pressed
    BYTE state;     // TBSTATE_*
    BYTE style;     // TBSTYLE_*
    WORD captionId; // string id of the caption (LoadStringW)
    int popupIndex; // index of the popup in the bar's menu, or MENUBAR_NO_POPUP
};

struct MenuBarTemplate
{
    WORD menuId; // RT_MENU resource holding the drop-downs
    const MenuBarButton* buttons;
    UINT count;
};

// ---------------------------------------------------------------------------
// Strings: as on the platform, grouped 16 to a bundle; string id n lives in
// bundle n / 16 + 1 at index n % 16. A null entry is an absent string.
// ---------------------------------------------------------------------------
#define STRINGS_PER_BUNDLE 16

struct StringBundle
{
    LPCWSTR strings[STRINGS_PER_BUNDLE];
};

// ---------------------------------------------------------------------------
// Accelerators
// ---------------------------------------------------------------------------
struct AcceleratorTemplate
{
    const ACCEL* entries; // fVirt (FVIRTKEY, FCONTROL, ...), key, command
    UINT count;
};

// ---------------------------------------------------------------------------
// Dialogs (the record DialogBoxIndirectParamW receives)
// ---------------------------------------------------------------------------
struct DialogItemTemplate
{
    DWORD style;   // WS_*, SS_*, ES_* ...
    DWORD exStyle; // WS_EX_*
    short x;       // position and size in dialog units
    short y;
    short cx;
    short cy;
    WORD id;           // control id; 0xFFFF for none
    LPCWSTR className; // window class, e.g. u"static"
    LPCWSTR text;      // initial text
};

struct DialogTemplate
{
    DWORD style;   // WS_*, DS_*
    DWORD exStyle; // WS_EX_*
    short x;       // position and size in dialog units
    short y;
    short cx;
    short cy;
    LPCWSTR caption;
    WORD pointSize;   // font size (DS_SETFONT)
    LPCWSTR typeface; // font name (DS_SETFONT)
    const DialogItemTemplate* items;
    UINT count;
};

// ---------------------------------------------------------------------------
// Icons: device-independent bitmaps without the file headers. Each image has
// a palette-index plane (bitCount bits a pixel, rows bottom-up, each row padded
// to 32 bits) and a 1-bit transparency mask of the same geometry.
// ---------------------------------------------------------------------------
struct IconImage
{
    BYTE width;              // pixels
    BYTE height;             // pixels
    WORD bitCount;           // bits per pixel: 2 or 4 here
    const COLORREF* palette; // 1 << bitCount colours, 0x00BBGGRR
    const BYTE* xorBits;
    DWORD xorSize; // bytes
    const BYTE* andBits;
    DWORD andSize; // bytes
};

struct IconGroupTemplate
{
    const IconImage* images;
    UINT count;
};

// ---------------------------------------------------------------------------
// The resource table: one entry per resource of the program image
// ---------------------------------------------------------------------------

// Numeric resource types as the table stores them; RT_MENU etc. in win32.h
// are the same numbers in their MAKEINTRESOURCEW form.
#define RESTYPE_MENU 4
#define RESTYPE_DIALOG 5
#define RESTYPE_STRING 6
#define RESTYPE_ACCELERATOR 9
#define RESTYPE_RCDATA 10
#define RESTYPE_GROUP_ICON 14

// A resource type or name: a number (text == null) or a text (id == 0).
struct ResourceKey
{
    WORD id;
    LPCWSTR text; // compared without regard to ASCII case
};

struct ResourceEntry
{
    ResourceKey type;
    ResourceKey name;
    const void* data; // the record or bytes LoadResource yields
    DWORD size;       // what SizeofResource reports
};

// The program image's resource section. The program registers its table once
// at start, before any resource call; on the handheld the loader maps it.
void RegisterProgramResources(const ResourceEntry* table, UINT count);

// ===========================================================================
// Run report (a platform extension). The program's long job, the firmware
// download, tells the platform how it stands, item by item; the process entry
// reads it back to learn how a run ended (station mode, the run's record).
// The platform keeps the latest value of each item, and the time of each
// change of the state, attempts, running and phase items. Reporting
// RUNSTATE_ACTIVE starts a new run: the phase, open error, bytes sent,
// progress, total, reason and cause go back to 0. The platform keeps these
// values and never fills one in itself: the program reports the open error
// (RUNREPORT_OPEN_ERROR) and the cause (ReportRunCause) where they happen.
// ===========================================================================
#define RUNREPORT_STATE 0      // RUNSTATE_*
#define RUNREPORT_ATTEMPTS 1   // attempts of the current run so far
#define RUNREPORT_RUNNING 2    // 1 while the run's worker thread runs
#define RUNREPORT_PHASE 3      // RUNPHASE_*: the step the run is in
#define RUNREPORT_OPEN_ERROR 4 // the Win32 error of the link's failed open
#define RUNREPORT_BYTES_SENT 5 // bytes written to the module in this run
#define RUNREPORT_PROGRESS 6   // percent of the image sent, 0 to 100
#define RUNREPORT_TOTAL 7      // bytes of the image
#define RUNREPORT_REASON 8     // RUNREASON_*: why the run failed
#define RUNREPORT_ITEMS 9

#define RUNPHASE_NONE 0    // not reported
#define RUNPHASE_OPEN 1    // opening and setting up the link
#define RUNPHASE_WAKE 2    // sync bytes and resets until the boot ROM answers
#define RUNPHASE_LOADER1 3 // the stage-1 frame
#define RUNPHASE_LOADER2 4 // the stage-2 loader's blocks
#define RUNPHASE_ERASE 5   // memory check, fixed file size, the module erasing
#define RUNPHASE_IMAGE 6   // the image's blocks
#define RUNPHASE_VERIFY 7  // check bytes until the final acknowledgement
#define RUNPHASE_RESTART 8 // the box, the module reset, the device restart

#define RUNSTATE_NONE 0          // no run yet
#define RUNSTATE_ACTIVE 1        // a run is going on
#define RUNSTATE_OPEN_FAILED 2   // the link could not be opened
#define RUNSTATE_FLASHED 3       // the module acknowledged the image
#define RUNSTATE_UPDATE_FAILED 4 // the image transfer failed
#define RUNSTATE_LINK_LOST 5     // the port went away during the run

void ReportRun(DWORD item, DWORD value); // an unknown item is ignored
DWORD QueryRun(DWORD item);              // 0 for an item never reported or unknown
// The run's cause: the failed call that ended it or that the program traced.
// The first one reported in a run is kept; failures after it on the same
// dead line are its consequences.
void ReportRunCause(const FAILEDCALL* pCall);
BOOL QueryRunCause(FAILEDCALL* pCall); // FALSE (record zeroed) when none was reported in this run

// Whether the radio driver's reset reaches the module (a platform extension):
// FALSE when the device has no reset kind ("RIL1:"="none"). Such a module
// restarts only when a person power-cycles it, and its boot ROM may answer
// the sync bytes at any time after they start.
BOOL RilCanReset(void);

#define RUNREASON_NONE 0      // none known (or the run did not fail)
#define RUNREASON_SILENT 1    // the module stopped answering
#define RUNREASON_LINK_LOST 2 // the port went away
#define RUNREASON_REJECTED 3  // the module answered, but not with the final acknowledgement
#define RUNREASON_OPEN 4      // the port could not be opened
#define RUNREASON_NO_IMAGE 5  // the firmware image is not in the program

// Run progress for a person (a platform extension): the download posts these
// to its main window as the run goes on, never waiting for them; the window
// procedure leaves them to DefWindowProcW, which hands them to the display's
// status line. Posted at each phase change and after each acknowledged image
// block, never from a timer.
// WM_FWU_PHASE     a phase starts: wParam RUNPHASE_*; lParam the image's bytes
//                  for RUNPHASE_IMAGE, the attempt for RUNPHASE_WAKE, else 0
// WM_FWU_PROGRESS  wParam RUNPHASE_IMAGE; lParam the image bytes acknowledged
// WM_FWU_RUN_END   the run ended: wParam RUNSTATE_*, lParam RUNREASON_*
// WM_FWU_BRIDGE    the serial bridge runs: wParam its module-side port,
//                  lParam its peer (handles); the status line reads their
//                  byte counts while they stay open
#define WM_FWU_PHASE (WM_APP + 1)
#define WM_FWU_PROGRESS (WM_APP + 2)
#define WM_FWU_RUN_END (WM_APP + 3)
#define WM_FWU_BRIDGE (WM_APP + 4)
