// The run report: latest values, the timeline of the items that mark the
// run's course, what a new run clears, and the open error taken from the
// thread that failed to open the link.
#include "platform/kernel/run_report.h"

#include <gtest/gtest.h>

#include <thread>

namespace
{

TEST(RunReport, TimelineKeepsEachChangeOfTheCourseItemsInOrder)
{
    plat::run_report_reset();
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    ReportRun(RUNREPORT_RUNNING, 1);
    ReportRun(RUNREPORT_ATTEMPTS, 1);
    ReportRun(RUNREPORT_ATTEMPTS, 1);      // no change: not kept
    ReportRun(RUNREPORT_BYTES_SENT, 4000); // a counter: not kept
    ReportRun(RUNREPORT_PROGRESS, 10);
    ReportRun(RUNREPORT_PHASE, RUNPHASE_IMAGE);
    ReportRun(RUNREPORT_STATE, RUNSTATE_FLASHED);
    ReportRun(RUNREPORT_ITEMS, 7); // unknown: ignored
    std::vector<plat::RunEvent> events = plat::run_report_history();
    struct
    {
        DWORD item, value;
    } expected[] = {
        {RUNREPORT_STATE, RUNSTATE_ACTIVE},
        {RUNREPORT_RUNNING, 1},
        {RUNREPORT_ATTEMPTS, 1},
        {RUNREPORT_PHASE, RUNPHASE_IMAGE},
        {RUNREPORT_STATE, RUNSTATE_FLASHED},
    };
    ASSERT_EQ(events.size(), std::size(expected));
    for (size_t i = 0; i < events.size(); i++)
    {
        EXPECT_EQ(events[i].item, expected[i].item) << i;
        EXPECT_EQ(events[i].value, expected[i].value) << i;
        if (i > 0)
        {
            EXPECT_GE(events[i].at, events[i - 1].at) << i;
        }
    }
    EXPECT_EQ(QueryRun(RUNREPORT_BYTES_SENT), 4000u);
    EXPECT_EQ(QueryRun(RUNREPORT_ITEMS), 0u);
}

TEST(RunReport, TimelineIsBounded)
{
    plat::run_report_reset();
    for (DWORD i = 1; i <= plat::kRunHistoryMax + 10; i++)
        ReportRun(RUNREPORT_ATTEMPTS, i);
    std::vector<plat::RunEvent> events = plat::run_report_history();
    ASSERT_EQ(events.size(), plat::kRunHistoryMax);
    EXPECT_EQ(events.back().value, plat::kRunHistoryMax + 10);
    EXPECT_EQ(events.front().value, 11u);
}

TEST(RunReport, NewRunClearsThePerRunItems)
{
    plat::run_report_reset();
    ReportRun(RUNREPORT_PHASE, RUNPHASE_VERIFY);
    ReportRun(RUNREPORT_OPEN_ERROR, ERROR_ACCESS_DENIED);
    ReportRun(RUNREPORT_BYTES_SENT, 123);
    ReportRun(RUNREPORT_PROGRESS, 100);
    ReportRun(RUNREPORT_TOTAL, 4000);
    ReportRun(RUNREPORT_REASON, RUNREASON_SILENT);
    ReportRun(RUNREPORT_ATTEMPTS, 3);
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    const DWORD cleared[] = {RUNREPORT_PHASE,    RUNREPORT_OPEN_ERROR, RUNREPORT_BYTES_SENT,
                             RUNREPORT_PROGRESS, RUNREPORT_TOTAL,      RUNREPORT_REASON};
    for (DWORD item : cleared)
        EXPECT_EQ(QueryRun(item), 0u) << item;
    EXPECT_EQ(QueryRun(RUNREPORT_ATTEMPTS), 3u); // the run's own counting resets it
}

TEST(RunReport, OpenFailureTakesTheReportingThreadsLastError)
{
    // reported open error   thread's last error   kept
    const struct
    {
        DWORD reported;
        DWORD lastError;
        DWORD kept;
    } rows[] = {
        {0, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {0, ERROR_FILE_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {ERROR_ACCESS_DENIED, ERROR_GEN_FAILURE, ERROR_ACCESS_DENIED},
    };
    for (const auto& row : rows)
    {
        plat::run_report_reset();
        ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
        std::thread worker(
            [&]
            {
                if (row.reported != 0)
                    ReportRun(RUNREPORT_OPEN_ERROR, row.reported);
                SetLastError(row.lastError);
                ReportRun(RUNREPORT_STATE, RUNSTATE_OPEN_FAILED);
                EXPECT_EQ(GetLastError(), row.lastError); // reporting leaves it alone
            });
        worker.join();
        EXPECT_EQ(QueryRun(RUNREPORT_OPEN_ERROR), row.kept);
    }
}

} // namespace
