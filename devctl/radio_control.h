// Radio interface control and device restart.
//
// Four command handlers (window, command id, lParam, notification code):
//   SuspendRadio   IDM_RIL_SUSPEND  (152)  hold the radio driver's activity
//   ResumeRadio    IDM_RIL_RESUME   (151)  let it go on
//   ResetModule    IDM_MODULE_RESET (154)  reset the GSM/GPRS module
//   RebootDevice   IDM_REBOOT       (150)  restart the whole device
// Each returns 0 when done and 1 when it failed. Each reads only the window:
// with a null window (the download run's calls) no line is written and
// g_szLogBuf is not touched.
#pragma once

#include "platform/win32.h"

#define IDM_REBOOT 150
#define IDM_RIL_RESUME 151
#define IDM_RIL_SUSPEND 152
#define IDM_MODULE_RESET 154

#define IOCTL_RIL_SUSPEND 0x03001F80u
#define IOCTL_RIL_RESUME 0x03001F84u
#define IOCTL_RIL_RESET 0x03001F88u

LONG SuspendRadio(HWND hwnd, int id, LPARAM lParam, int notifyCode);
LONG ResumeRadio(HWND hwnd, int id, LPARAM lParam, int notifyCode);
LONG ResetModule(HWND hwnd, int id, LPARAM lParam, int notifyCode);
LONG RebootDevice(HWND hwnd, int id, LPARAM lParam, int notifyCode);
