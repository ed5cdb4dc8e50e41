// The run report: the latest value of each item the program reported, and the
// times at which the items that mark the run's course changed.
#include "platform/kernel/run_report.h"

#include "platform/kernel/faults.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace
{

std::atomic<DWORD> g_items[RUNREPORT_ITEMS];
std::atomic<int> g_watchFd{-1}; // an eventfd once run_report_watch made it

// Async-signal-safe, and leaves errno as it was (a caller's last error).
void wake_watcher()
{
    const int fd = g_watchFd.load();
    if (fd < 0)
        return;
    const int saved = errno;
    const uint64_t one = 1;
    ssize_t n = write(fd, &one, sizeof one); // a full counter wakes the wait as well
    (void)n;
    errno = saved;
}

// The run's cause, the first one reported since the run started.
struct Cause
{
    std::mutex mu;
    FAILEDCALL call = {};
    bool set = false;
};

Cause& cause()
{
    static Cause* c = new Cause; // never destroyed, as the history
    return *c;
}

void cause_clear()
{
    Cause& c = cause();
    std::lock_guard<std::mutex> lock(c.mu);
    c.call = FAILEDCALL{};
    c.set = false;
}

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
    if (item == RUNREPORT_STATE && value == RUNSTATE_ACTIVE)
    {
        const DWORD perRun[] = {RUNREPORT_PHASE,    RUNREPORT_OPEN_ERROR, RUNREPORT_BYTES_SENT,
                                RUNREPORT_PROGRESS, RUNREPORT_TOTAL,      RUNREPORT_REASON};
        for (DWORD i : perRun)
            g_items[i].store(0);
        cause_clear();
    }
    const DWORD previous = g_items[item].exchange(value);
    if (kept_in_history(item) && previous != value)
        record(item, value);
    if (previous != value && item != RUNREPORT_BYTES_SENT && item != RUNREPORT_TOTAL)
        wake_watcher();
}

void ReportRunCause(const FAILEDCALL* pCall)
{
    if (pCall == nullptr || pCall->szCall[0] == 0)
        return;
    Cause& c = cause();
    std::lock_guard<std::mutex> lock(c.mu);
    if (c.set)
        return;
    c.call = *pCall;
    c.set = true;
}

BOOL QueryRunCause(FAILEDCALL* pCall)
{
    if (pCall == nullptr)
        return FALSE;
    Cause& c = cause();
    std::lock_guard<std::mutex> lock(c.mu);
    *pCall = c.set ? c.call : FAILEDCALL{};
    return c.set ? TRUE : FALSE;
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

std::string failed_call_text(const FAILEDCALL& call)
{
    std::string text =
        utf16_to_utf8(call.szCall) + " on " + utf16_to_utf8(call.szDevice) + " failed: " + utf16_to_utf8(call.szText);
    // What it likely means on a port already open: the fault table's last column.
    const Fault fault = call.dwFault != 0 ? (Fault)call.dwFault : fault_of_errno(call.nErrno);
    const char* hint = fault_row(fault, call.nErrno).runHint;
    return hint[0] != 0 ? text + " (" + hint + ")" : text;
}

bool run_report_watch()
{
    if (g_watchFd.load() >= 0)
        return true;
    int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        return false;
    int none = -1;
    if (!g_watchFd.compare_exchange_strong(none, fd))
        close(fd);
    return true;
}

bool run_report_wait(int ms)
{
    const int fd = g_watchFd.load();
    if (fd < 0)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 100)));
        return false;
    }
    struct pollfd p = {fd, POLLIN, 0};
    uint64_t count = 0;
    return poll(&p, 1, ms) > 0 && read(fd, &count, sizeof count) == (ssize_t)sizeof count;
}

void run_report_wake()
{
    wake_watcher();
}

void run_report_reset()
{
    for (auto& item : g_items)
        item.store(0);
    cause_clear();
    History& h = history();
    std::lock_guard<std::mutex> lock(h.mu);
    h.events.clear();
}

} // namespace plat
