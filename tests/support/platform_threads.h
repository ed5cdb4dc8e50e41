// Platform threads as tests see them: exit codes read through the platform,
// a bounded wait for a thread's end, and the process's own thread count and
// CPU time.
#pragma once

#include "platform/win32.h"

namespace testsupport
{

// GetExitCodeThread's code; STILL_ACTIVE while the thread runs, 0xFFFFFFFF
// when the handle reads as no thread at all.
DWORD ThreadExitCode(HANDLE hThread);
bool ThreadRuns(HANDLE hThread);

// Waits until the thread no longer reads as running; false when ms pass first.
bool WaitThreadExit(HANDLE hThread, int ms, DWORD* exitCode = nullptr);

// Operating-system threads of this process.
int ThreadCount();

// CPU time (user + system) of the whole process, in seconds.
double ProcessCpuSeconds();

} // namespace testsupport
