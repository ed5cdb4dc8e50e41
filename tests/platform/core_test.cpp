// Conformance of the platform core: last-error, handle values, platform
// threads (suspend, resume, terminate, exit codes) and Sleep.
#include "platform/kernel/core.h"
#include "platform/kernel/kernel.h"
#include "tests/support/fd_io.h"
#include "tests/support/platform_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <chrono>
#include <sys/resource.h>
#include <thread>

namespace
{
const DWORD kSentinel = 0xDEADBEEF;

using namespace std::chrono;

long long elapsed_ms(steady_clock::time_point since)
{
    return duration_cast<milliseconds>(steady_clock::now() - since).count();
}

struct Counter
{
    std::atomic<int> ticks{0};
    std::atomic<int> stop{0};
};

// Counts one tick per platform Sleep(1): stands in for the sync caster.
DWORD TickingBody(LPVOID param)
{
    Counter* c = (Counter*)param;
    while (!c->stop.load())
    {
        plat::thread_checkpoint(); // each tick is a platform call with an I/O section, like a one-byte write
        plat::IoScope io;
        if (!io.cancelled())
            c->ticks.fetch_add(1);
    }
    return 7;
}

// Whether the counter stays where it is for ms.
bool StaysFrozen(const Counter& c, int ms)
{
    const int frozen = c.ticks.load();
    std::this_thread::sleep_for(milliseconds(ms));
    return c.ticks.load() == frozen;
}

// Ends a ticking thread by its own flag: its exit code is TickingBody's.
void StopTicking(HANDLE h, Counter& c)
{
    c.stop = 1;
    DWORD code = 0;
    EXPECT_TRUE(testsupport::WaitThreadExit(h, 2000, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(h);
}

DWORD SleepingBody(LPVOID param)
{
    Sleep((DWORD)(uintptr_t)param);
    return 42;
}

DWORD ReturnBody(LPVOID param)
{
    return (DWORD)(uintptr_t)param;
}

bool WaitExit(HANDLE h, DWORD* code)
{
    return testsupport::WaitThreadExit(h, 2000, code);
}

// Whether the thread behind h has really ended (its record reads finished),
// not only been marked; waits up to ms.
bool RecordFinishes(HANDLE h, int ms)
{
    auto t = plat::handle_get_as<plat::ThreadObj>(h, plat::ObjectKind::Thread);
    return testsupport::WaitUntil(
        [&]
        {
            std::lock_guard<std::mutex> lock(t->mu);
            return t->finished;
        },
        ms, 1);
}
} // namespace

TEST(LastError, IsPerThread)
{
    SetLastError(kSentinel);
    DWORD other = 0;
    std::thread t(
        [&]
        {
            SetLastError(5);
            other = GetLastError();
        });
    t.join();
    EXPECT_EQ(other, 5u);
    EXPECT_EQ(GetLastError(), kSentinel);
}

TEST(LastError, ErrnoMapsToWin32Codes)
{
    struct
    {
        int err;
        DWORD code;
    } cases[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},         {EACCES, ERROR_ACCESS_DENIED},        {EBADF, ERROR_INVALID_HANDLE},
        {EIO, ERROR_DEVICE_NOT_CONNECTED},      {EINVAL, ERROR_INVALID_PARAMETER},    {ENOTTY, ERROR_NOT_SUPPORTED},
        {EWOULDBLOCK, ERROR_SHARING_VIOLATION}, {ECANCELED, ERROR_OPERATION_ABORTED},
    };
    for (auto& c : cases)
    {
        SetLastError(kSentinel);
        plat::set_error_from_errno(c.err);
        EXPECT_EQ(GetLastError(), c.code) << "errno " << c.err;
    }
}

TEST(Handles, ValuesAreNeverReused)
{
    std::set<uintptr_t> seen;
    for (int i = 0; i < 1000; i++)
    {
        HANDLE h = plat::handle_insert(std::make_shared<plat::Object>(plat::ObjectKind::Other));
        ASSERT_NE(h, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(seen.insert((uintptr_t)h).second) << "handle value handed out twice";
        ASSERT_TRUE(CloseHandle(h));
    }
}

TEST(Handles, StaleAndBadHandlesFail)
{
    HANDLE h = plat::handle_insert(std::make_shared<plat::Object>(plat::ObjectKind::Other));
    ASSERT_TRUE(CloseHandle(h));
    HANDLE reused = plat::handle_insert(std::make_shared<plat::Object>(plat::ObjectKind::Other));
    for (HANDLE bad : {h, (HANDLE) nullptr, INVALID_HANDLE_VALUE, (HANDLE)(uintptr_t)0x12345})
    {
        SetLastError(kSentinel);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(plat::handle_get(reused, plat::ObjectKind::Serial), nullptr) << "kind is checked";
    EXPECT_NE(plat::handle_get(reused, plat::ObjectKind::Other), nullptr);
    EXPECT_TRUE(CloseHandle(reused));
}

TEST(Threads, ExitCodeIsStillActiveWhileRunningThenTheResult)
{
    HANDLE h = CreateThread(nullptr, 0, SleepingBody, (LPVOID)(uintptr_t)100, 0, nullptr);
    ASSERT_NE(h, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    ASSERT_TRUE(WaitExit(h, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(Threads, BadThreadHandlesAreRefused)
{
    DWORD code = 0;
    for (HANDLE bad : {(HANDLE) nullptr, INVALID_HANDLE_VALUE})
    {
        SetLastError(kSentinel);
        EXPECT_FALSE(GetExitCodeThread(bad, &code));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
        EXPECT_EQ(SuspendThread(bad), (DWORD)-1);
        EXPECT_EQ(ResumeThread(bad), (DWORD)-1);
        EXPECT_FALSE(TerminateThread(bad, 0));
    }
    // A handle of another kind is not a thread.
    HANDLE other = plat::handle_insert(std::make_shared<plat::Object>(plat::ObjectKind::Other));
    EXPECT_FALSE(GetExitCodeThread(other, &code));
    CloseHandle(other);
}

TEST(Threads, CreateSuspendedRunsOnlyAfterResume)
{
    HANDLE h = CreateThread(nullptr, 0, ReturnBody, (LPVOID)(uintptr_t)9, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(h, nullptr);
    std::this_thread::sleep_for(milliseconds(50));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(h), 1u);
    ASSERT_TRUE(WaitExit(h, &code));
    EXPECT_EQ(code, 9u);
    CloseHandle(h);
}

TEST(Threads, AfterSuspendReturnsNoFurtherIoStartsUntilResumed)
{
    Counter c;
    HANDLE h = CreateThread(nullptr, 0, TickingBody, &c, 0, nullptr);
    ASSERT_NE(h, nullptr);
    for (int round = 0; round < 20; round++)
    {
        std::this_thread::sleep_for(milliseconds(2));
        EXPECT_EQ(SuspendThread(h), 0u);
        EXPECT_TRUE(StaysFrozen(c, 10)) << "a tick started after SuspendThread returned";
        EXPECT_EQ(ResumeThread(h), 1u);
    }
    EXPECT_FALSE(StaysFrozen(c, 10)) << "the thread runs again once resumed";
    StopTicking(h, c);
}

TEST(Threads, SuspendCountsNest)
{
    Counter c;
    HANDLE h = CreateThread(nullptr, 0, TickingBody, &c, 0, nullptr);
    EXPECT_EQ(SuspendThread(h), 0u);
    EXPECT_EQ(SuspendThread(h), 1u);
    EXPECT_EQ(ResumeThread(h), 2u);
    EXPECT_TRUE(StaysFrozen(c, 10)) << "still suspended once";
    EXPECT_EQ(ResumeThread(h), 1u);
    EXPECT_EQ(ResumeThread(h), 0u) << "resuming a running thread reports 0";
    StopTicking(h, c);
}

TEST(Threads, TerminateReadsTheCodeAtOnceAndWakesASleep)
{
    HANDLE h = CreateThread(nullptr, 0, SleepingBody, (LPVOID)(uintptr_t)60000, 0, nullptr);
    std::this_thread::sleep_for(milliseconds(20));
    auto start = steady_clock::now();
    ASSERT_TRUE(TerminateThread(h, 0));
    DWORD code = STILL_ACTIVE;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 0u) << "the given code reads at once";
    // The thread really ends: its record reads finished soon.
    EXPECT_TRUE(RecordFinishes(h, 1000));
    EXPECT_LT(elapsed_ms(start), 500);
    CloseHandle(h);
}

TEST(Threads, TerminateASuspendedThreadEndsIt)
{
    Counter c;
    HANDLE h = CreateThread(nullptr, 0, TickingBody, &c, 0, nullptr);
    SuspendThread(h);
    ASSERT_TRUE(TerminateThread(h, 3));
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 3u);
    EXPECT_TRUE(StaysFrozen(c, 20));
    EXPECT_TRUE(RecordFinishes(h, 1000));
    CloseHandle(h);
}

TEST(Threads, ExitCodeOfAFinishedThreadIsNotChangedByTerminate)
{
    HANDLE h = CreateThread(nullptr, 0, ReturnBody, (LPVOID)(uintptr_t)5, 0, nullptr);
    DWORD code = 0;
    ASSERT_TRUE(WaitExit(h, &code));
    EXPECT_TRUE(TerminateThread(h, 99));
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 5u);
    CloseHandle(h);
}

TEST(Threads, PriorityIsRecordedAndCheckedForRange)
{
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    SetLastError(kSentinel);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 8));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST(Sleep, WaitsAtLeastTheTimeAndBurnsNoCpu)
{
    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    auto start = steady_clock::now();
    Sleep(200);
    long long ms = elapsed_ms(start);
    getrusage(RUSAGE_SELF, &r1);
    EXPECT_GE(ms, 200);
    EXPECT_LT(ms, 400);
    long long cpu_us =
        (r1.ru_utime.tv_sec - r0.ru_utime.tv_sec) * 1000000LL + (r1.ru_utime.tv_usec - r0.ru_utime.tv_usec) +
        (r1.ru_stime.tv_sec - r0.ru_stime.tv_sec) * 1000000LL + (r1.ru_stime.tv_usec - r0.ru_stime.tv_usec);
    EXPECT_LT(cpu_us, 20000) << "Sleep must block, not spin";
}

// The fuzzer's shortened pauses: a tenth of the time, never under 1 ms.
TEST(Sleep, ScaledSleepsTakeTheirShareOfTheTime)
{
    plat::set_sleep_percent(10);
    auto start = steady_clock::now();
    Sleep(1000);
    long long tenth = elapsed_ms(start);
    start = steady_clock::now();
    Sleep(5);
    auto least = steady_clock::now() - start;
    plat::set_sleep_percent(100);
    EXPECT_GE(tenth, 100);
    EXPECT_LT(tenth, 500);
    EXPECT_GE(least, std::chrono::milliseconds(1));
}

TEST(Waits, WakeEndsAWaitEarly)
{
    plat::ThreadObj* waiter = nullptr;
    std::atomic<int> ready{0};
    long long waited = 0;
    std::thread t(
        [&]
        {
            waiter = plat::current_thread();
            ready = 1;
            auto start = steady_clock::now();
            int r = plat::wait_fds(nullptr, 0, plat::deadline_after_ms(5000));
            waited = elapsed_ms(start);
            EXPECT_EQ(r, 0);
        });
    while (!ready)
        std::this_thread::sleep_for(milliseconds(1));
    std::this_thread::sleep_for(milliseconds(20));
    plat::thread_wake(waiter);
    t.join();
    EXPECT_LT(waited, 1000);
}
