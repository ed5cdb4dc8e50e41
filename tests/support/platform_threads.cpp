#include "tests/support/platform_threads.h"

#include "tests/support/fd_io.h"

#include <dirent.h>
#include <sys/resource.h>

namespace testsupport
{

DWORD ThreadExitCode(HANDLE hThread)
{
    DWORD code = 0;
    return GetExitCodeThread(hThread, &code) ? code : 0xFFFFFFFF;
}

bool ThreadRuns(HANDLE hThread)
{
    return ThreadExitCode(hThread) == STILL_ACTIVE;
}

bool WaitThreadExit(HANDLE hThread, int ms, DWORD* exitCode)
{
    DWORD code = 0;
    if (!WaitUntil([&] { return (code = ThreadExitCode(hThread)) != STILL_ACTIVE; }, ms))
        return false;
    if (exitCode)
        *exitCode = code;
    return true;
}

int ThreadCount()
{
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

double ProcessCpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace testsupport
