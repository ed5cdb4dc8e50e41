// The run report's history, for the process entry's run record: each change of
// the state, attempts, running and phase items, in order, with its time. The
// latest value of every item is QueryRun's (win32.h).
//
//   run_report_history()   the changes kept so far (the last kRunHistoryMax)
//   run_report_reset()     forgets every item and the history (tests)
//   run_report_watch()     lets one thread wait for changes instead of reading
//                          the report on a timer: call it before any wake-up
//   run_report_wait(ms)    waits until an item other than the byte counts has
//                          changed or run_report_wake() was called (true), or
//                          ms passed (false; without run_report_watch: after
//                          at most 100 ms)
//   run_report_wake()      ends that wait; async-signal-safe
//
// Platform-internal: the process entry and tests include it.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace plat
{

constexpr size_t kRunHistoryMax = 1024;

struct RunEvent
{
    DWORD item;                               // RUNREPORT_STATE, _ATTEMPTS, _RUNNING or _PHASE
    DWORD value;                              // its new value
    std::chrono::steady_clock::time_point at; // when it was reported
};

std::vector<RunEvent> run_report_history();
// A failed call for a person: "read on /dev/ttyUSB0 failed: Input/output
// error (the adapter was unplugged?)", with the hint where its errno has one.
std::string failed_call_text(const FAILEDCALL& call);
void run_report_reset();
bool run_report_watch();
bool run_report_wait(int ms);
void run_report_wake();

} // namespace plat
