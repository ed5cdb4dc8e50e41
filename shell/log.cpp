// Log channels: the log pane (always, or only while tracing) and the kernel
// debug output, plus the globals every part of the tool shares.
#include "shell/log.h"

#define DEBUG_LINE_CHARS 1024

std::atomic<int> g_traceMode{3};
WCHAR g_szLogBuf[LOG_BUF_CHARS];
std::atomic<HINSTANCE> g_hInst{nullptr};
std::atomic<int> g_keepForeground{1};

// The send is synchronous: from a worker thread it returns once the text is
// in the pane, so lines never interleave.
void AppendLog(HWND hwnd, LPCWSTR text)
{
    if (hwnd == NULL)
        return;
    SendDlgItemMessageW(hwnd, IDC_LOG, EM_REPLACESEL, 0, (LPARAM)text);
}

void TraceLog(HWND hwnd, LPCWSTR text)
{
    if (g_traceMode.load() == 0)
        return;
    AppendLog(hwnd, text);
}

void DebugPrint(LPCWSTR format, ...)
{
    WCHAR szLine[DEBUG_LINE_CHARS];
    va_list args;

    va_start(args, format);
    wvnsprintfW(szLine, DEBUG_LINE_CHARS, format, args);
    va_end(args);
    NKDbgPrintfW(u"%s", szLine);
}
