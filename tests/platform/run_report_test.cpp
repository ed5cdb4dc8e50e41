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

// A watcher waits for the report to change instead of reading it on a timer:
// a change of any item but the byte counts ends its wait, as does a wake-up
// (a stopping signal); a value reported again unchanged does not.
TEST(RunReport, WaitEndsOnAChangeOrAWakeUpNotOnAByteCount)
{
    plat::run_report_reset();
    ASSERT_TRUE(plat::run_report_watch());
    plat::run_report_wait(0); // what earlier tests reported
    ReportRun(RUNREPORT_BYTES_SENT, 4000);
    ReportRun(RUNREPORT_TOTAL, 2490264);
    EXPECT_FALSE(plat::run_report_wait(0));
    ReportRun(RUNREPORT_PROGRESS, 10);
    EXPECT_TRUE(plat::run_report_wait(0));
    EXPECT_FALSE(plat::run_report_wait(0)) << "one change, one wake-up";
    ReportRun(RUNREPORT_PROGRESS, 10);
    EXPECT_FALSE(plat::run_report_wait(0)) << "unchanged";
    std::thread other([] { ReportRun(RUNREPORT_STATE, RUNSTATE_FLASHED); });
    EXPECT_TRUE(plat::run_report_wait(30000));
    other.join();
    plat::run_report_wake();
    EXPECT_TRUE(plat::run_report_wait(0));
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

TEST(RunReport, KeepsOnlyWhatTheProgramReports)
{
    // The open error and the cause are the program's to report: a failed open
    // with a last error set fills in neither, and the first cause of a run is
    // kept until a new run starts.
    plat::run_report_reset();
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    std::thread worker(
        [&]
        {
            SetLastError(ERROR_SHARING_VIOLATION);
            ReportRun(RUNREPORT_STATE, RUNSTATE_OPEN_FAILED);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
        });
    worker.join();
    EXPECT_EQ(QueryRun(RUNREPORT_OPEN_ERROR), 0u);
    FAILEDCALL first = {{u'r', u'e', u'a', u'd'}, {u'/', u'd'}, 5, {u'x'}, 0};
    FAILEDCALL later = {{u'w'}, {u'/'}, 32, {u'y'}, 0};
    ReportRunCause(&first);
    ReportRunCause(&later);
    FAILEDCALL kept;
    ASSERT_TRUE(QueryRunCause(&kept));
    EXPECT_EQ(kept.nErrno, 5);
    EXPECT_EQ(std::u16string(kept.szCall), u"read");
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    EXPECT_FALSE(QueryRunCause(&kept));
    EXPECT_EQ(kept.nErrno, 0);
}

} // namespace
