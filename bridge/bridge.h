// Serial bridge: joins the module's UART (FFUART) to one peer port and copies
// raw bytes both ways on two pump threads until it is stopped.
//
// Command handlers (window, command id, lParam, notification code), on the UI
// thread; each returns 0 when done and 1 when failed or refused:
//   StartBridge    IDM_BRIDGE_START (153)  open FFUART and the peer, start the
//                                          pumps; 1 when one of the ports is not held
//   StopBridge     IDM_BRIDGE_STOP  (155)  close both ports, end the pumps; always 0
//   SelectOption   110 to 116              the peer (only while no port is held:
//                                          1 and a box when refused) and the trace mode
// Port openers, called by StartBridge; 1 opened, 0 not:
//   OpenUartPort(window, "FFUART" | "BTUART")   COMn: from the serial driver's "Index"
//   OpenIrPort(window)                          "COM5:", the raw IR port
//   OpenIrdaPort(window)                        "COM3:", the IrDA port
// Pump threads (parameter: the main window), returning 0 when they end:
//   PumpModuleToPeer, PumpPeerToModule
// BridgeTeardown() is StopBridge without its line, for the main window's
// destruction.
//
// Globals, 32-bit values read and written whole: the port handles
// (INVALID_HANDLE_VALUE: not held), the pump thread handles, the run flag and
// the peer kind (1 BTUART, 2 IR "COM5:", 3 IrDA "COM3:"). The trace mode that
// chooses the traffic lines is g_traceMode (shell/log.h).
#pragma once

#include "platform/win32.h"

#include <atomic>

#define IDM_PEER_BT 110
#define IDM_PEER_IR 111
#define IDM_TRACE_OFF 112
#define IDM_TRACE_TO_MODULE 113
#define IDM_TRACE_FROM_MODULE 114
#define IDM_TRACE_BOTH 115
#define IDM_PEER_IRDA 116
#define IDM_BRIDGE_START 153
#define IDM_BRIDGE_STOP 155

#define PEER_BTUART 1
#define PEER_IR 2
#define PEER_IRDA 3

extern std::atomic<HANDLE> g_hModuleCom; // the module-side UART
extern std::atomic<HANDLE> g_hPeerCom;   // the peer port
extern std::atomic<HANDLE> g_hPumpUp;    // thread of PumpModuleToPeer; 0 after a failed creation
extern std::atomic<HANDLE> g_hPumpDown;  // thread of PumpPeerToModule; 0 after a failed creation
extern std::atomic<int> g_bridgeRunning; // the pumps go on while it is not 0
extern std::atomic<int> g_peerKind;      // PEER_BTUART, PEER_IR or PEER_IRDA

LONG StartBridge(HWND hwnd, int id, LPARAM lParam, int notifyCode);
LONG StopBridge(HWND hwnd, int id, LPARAM lParam, int notifyCode);
LONG SelectOption(HWND hwnd, int id, LPARAM lParam, int notifyCode);
void BridgeTeardown();

int OpenUartPort(HWND hwnd, LPCWSTR szUart);
int OpenIrPort(HWND hwnd);
int OpenIrdaPort(HWND hwnd);

DWORD PumpModuleToPeer(LPVOID param);
DWORD PumpPeerToModule(LPVOID param);
