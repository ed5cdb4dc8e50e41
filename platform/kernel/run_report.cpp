// The run report: the latest value of each item the program reported.
#include "platform/win32.h"

#include <atomic>

namespace
{

std::atomic<DWORD> g_items[RUNREPORT_ITEMS];

} // namespace

void ReportRun(DWORD item, DWORD value)
{
    if (item < RUNREPORT_ITEMS)
        g_items[item].store(value);
}

DWORD QueryRun(DWORD item)
{
    return item < RUNREPORT_ITEMS ? g_items[item].load() : 0;
}
