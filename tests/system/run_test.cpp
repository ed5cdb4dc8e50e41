// The download run's own resources over many runs in one process: what each
// "Update firmware - Go" takes, the next one gives back.
#include "download/run.h"
#include "platform/kernel/core.h"
#include "tests/support/download_harness.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

namespace
{

using namespace download_harness;

constexpr int kUpdates = 30; // each start waits its 500 ms; 200 measured by hand hold level too
constexpr int kWorkerLimitMs = 10000;

// Descriptors this process holds; the listing's own counts in every call alike.
long OpenDescriptors()
{
    std::error_code ec;
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd", ec), {});
}

// One update whose open fails ("COM1:" is held): the worker ends within
// milliseconds, so the run is StartUpdate's own 500 ms and little more.
void RunOneUpdate(Rig& rig)
{
    ASSERT_EQ(1, rig.Go());
    DWORD code = 0;
    ASSERT_TRUE(rig.WaitWorker(kWorkerLimitMs, &code)) << "the download worker did not end";
    ASSERT_EQ(1u, code);
}

// A new run releases the handle of the worker before it (which has ended):
// many updates hold no more thread objects, and so no more descriptors, than
// one. The latest worker's handle stays held until the next run, so the counts
// are taken after a first run.
TEST(DownloadRunResources, ManyUpdates_LeaveHandlesAndDescriptorsWhereTheyWere)
{
    Rig rig;
    std::string err;
    ASSERT_TRUE(rig.Setup(RigOptions(), SimConfig(), &err)) << err;
    HANDLE held = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    g_traceMode = 0; // the pane would grow by a line a run

    RunOneUpdate(rig);
    const size_t handles = plat::handle_count();
    const long descriptors = OpenDescriptors();
    for (int i = 0; i < kUpdates; i++)
    {
        SCOPED_TRACE("update " + std::to_string(i + 2));
        RunOneUpdate(rig);
        if (HasFatalFailure())
            break;
    }
    EXPECT_EQ(handles, plat::handle_count());
    EXPECT_EQ(descriptors, OpenDescriptors());
    EXPECT_EQ(RUN_OPEN_FAILED, (int)QueryRun(RUNREPORT_STATE));
    CloseHandle(held);
}

} // namespace
