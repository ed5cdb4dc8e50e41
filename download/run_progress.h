// Run progress for the person at the device: where the run stands, told to
// the platform's run report and posted to the main window, whose display
// shows it on its status line (WM_FWU_PHASE, WM_FWU_PROGRESS, WM_FWU_RUN_END
// of win32.h). Posting never waits, so the transfer's pace is untouched.
//
//   ShowRunPhase(hwnd, dwPhase, dwDetail)  a phase starts (RUNPHASE_*);
//                       dwDetail is the image's length for RUNPHASE_IMAGE,
//                       the attempt for RUNPHASE_WAKE, else 0
//   ShowImageProgress(hwnd, dwDone, dwTotal)  image bytes acknowledged so far
//   SetRunReason(dwReason)  why the run is failing (RUNREASON_*), where the
//                       step that meets it knows best
//   ShowRunEnd(hwnd)    the worker is done: the run's state and its reason
//                       (taken from the last wait when no step gave one)
//   StopUpdate()        the process entry's stop, for a signal or a quit
//                       during a run: ends the worker and the caster and closes
//                       the link. Returns the phase the run was in
//                       (RUNPHASE_*), RUNPHASE_NONE when none was running. A
//                       run already flashed (RUNPHASE_RESTART) is left to its
//                       restart and not stopped.
#pragma once

#include "platform/win32.h"

void ShowRunPhase(HWND hwnd, DWORD dwPhase, DWORD dwDetail);
void ShowImageProgress(HWND hwnd, DWORD dwDone, DWORD dwTotal);
void SetRunReason(DWORD dwReason);
void ShowRunEnd(HWND hwnd);
DWORD StopUpdate();
