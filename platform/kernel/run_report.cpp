// The run report: the latest value of each item the program reported, and the
// times at which the items that mark the run's course changed.
#include "platform/kernel/run_report.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace
{

std::atomic<DWORD> g_items[RUNREPORT_ITEMS];

struct History
{
    std::mutex mu;
    std::deque<plat::RunEvent> events; // oldest first, at most kRunHistoryMax
};

// Never destroyed: a worker may still report while static destructors run.
History& history()
{
    static History* h = new History;
    return *h;
}

// Items whose changes make the run's timeline; the counters change too often.
bool kept_in_history(DWORD item)
{
    return item == RUNREPORT_STATE || item == RUNREPORT_ATTEMPTS || item == RUNREPORT_RUNNING ||
           item == RUNREPORT_PHASE;
}

void record(DWORD item, DWORD value)
{
    History& h = history();
    std::lock_guard<std::mutex> lock(h.mu);
    if (h.events.size() >= plat::kRunHistoryMax)
        h.events.pop_front();
    h.events.push_back(plat::RunEvent{item, value, std::chrono::steady_clock::now()});
}

} // namespace

void ReportRun(DWORD item, DWORD value)
{
    if (item >= RUNREPORT_ITEMS)
        return;
    // Read first: whatever the program called since its open failed, this is
    // still the thread that failed to open the link.
    const DWORD lastError = GetLastError();
    if (item == RUNREPORT_STATE && value == RUNSTATE_ACTIVE)
    {
        const DWORD perRun[] = {RUNREPORT_PHASE,    RUNREPORT_OPEN_ERROR, RUNREPORT_BYTES_SENT,
                                RUNREPORT_PROGRESS, RUNREPORT_TOTAL,      RUNREPORT_REASON};
        for (DWORD i : perRun)
            g_items[i].store(0);
    }
    if (item == RUNREPORT_STATE && value == RUNSTATE_OPEN_FAILED && g_items[RUNREPORT_OPEN_ERROR].load() == 0)
        g_items[RUNREPORT_OPEN_ERROR].store(lastError);
    const DWORD previous = g_items[item].exchange(value);
    if (kept_in_history(item) && previous != value)
        record(item, value);
    SetLastError(lastError);
}

DWORD QueryRun(DWORD item)
{
    return item < RUNREPORT_ITEMS ? g_items[item].load() : 0;
}

namespace plat
{

std::vector<RunEvent> run_report_history()
{
    History& h = history();
    std::lock_guard<std::mutex> lock(h.mu);
    return std::vector<RunEvent>(h.events.begin(), h.events.end());
}

void run_report_reset()
{
    for (auto& item : g_items)
        item.store(0);
    History& h = history();
    std::lock_guard<std::mutex> lock(h.mu);
    h.events.clear();
}

} // namespace plat
