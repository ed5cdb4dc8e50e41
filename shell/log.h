// Log channels: the three ways every part of the tool reports what it does.
//
//   AppendLog(hwnd, text)  always shown in the main window's log pane (IDC_LOG);
//                          a synchronous send, so callable from any thread.
//                          A null window writes nothing.
//   TraceLog(hwnd, text)   the same, only while g_traceMode is not 0.
//   DebugPrint(fmt, ...)   the protocol trace: formatted with wsprintfW rules and
//                          written to the kernel debug output, never the pane.
//
// Shared globals (32-bit values that threads read and write whole):
//   g_traceMode       0 tracing off; 1 bridge traffic toward the module;
//                     2 traffic from the module; 3 both. Initial 3.
//   g_szLogBuf        formatting buffer of the window thread (512 units).
//   g_hInst           the program instance, stored once before any window.
//   g_keepForeground  1 until a successful image transfer clears it.
#pragma once

#include "platform/win32.h"

#include <atomic>

#define IDC_LOG 5
#define LOG_BUF_CHARS 512

extern std::atomic<int> g_traceMode;
extern WCHAR g_szLogBuf[LOG_BUF_CHARS];
extern std::atomic<HINSTANCE> g_hInst;
extern std::atomic<int> g_keepForeground;

void AppendLog(HWND hwnd, LPCWSTR text);
void TraceLog(HWND hwnd, LPCWSTR text);
void DebugPrint(LPCWSTR format, ...);
