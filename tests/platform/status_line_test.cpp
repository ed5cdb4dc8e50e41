// The status line: its texts from the acknowledged bytes and their times,
// what it shows as a run's messages arrive, and the headless display's
// stderr lines (every phase, the image at most every 10 %, none when quiet).
#include "platform/windowing/status_line.h"

#include "platform/profile/profile.h"
#include "platform/serial/open_reason.h"

#include <regex>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <unistd.h>

namespace
{

struct ImageRow
{
    uint32_t done, total, rateBytes;
    double rateSeconds;
    const char* text;
};

// clang-format off
// done      total     rate bytes  over s   text
const ImageRow kImageRows[] = {
    {0,        2490264,  0,          0.0,     "Image 0%"},                            // no rate yet
    {1245132,  2490264,  0,          5.0,     "Image 50%"},
    {2490263,  2490264,  10472,      1.0,     "Image 99%  10.5 kB/s  0:01 left"},     // rounds down, time up
    {2490264,  2490264,  10472,      1.0,     "Image 100%  10.5 kB/s  0:00 left"},
    {400000,   2490264,  104720,     10.0,    "Image 16%  10.5 kB/s  3:20 left"},
    {4000,     2490264,  4000,       8.0,     "Image 0%  500 B/s  1:22:53 left"},
    {1000000,  2490264,  3000000,    2.0,     "Image 40%  1.5 MB/s  0:01 left"},
};
// clang-format on

TEST(StatusLine, ImageTextHasPercentRateAndTimeLeft)
{
    for (const ImageRow& r : kImageRows)
        EXPECT_EQ(plat::status_image_text(r.done, r.total, r.rateBytes, r.rateSeconds), r.text) << r.done;
}

struct PhaseRow
{
    DWORD phase, detail;
    const char* text;
};

// clang-format off
const PhaseRow kPhaseRows[] = {
    {RUNPHASE_OPEN,    0, "Opening the link"},
    {RUNPHASE_WAKE,    3, "Waiting for the boot ROM (attempt 3)"},
    {RUNPHASE_LOADER2, 0, "Stage 2 loader"},
    {RUNPHASE_VERIFY,  0, "Verifying the image"},
    {RUNPHASE_NONE,    0, ""},
};
// clang-format on

TEST(StatusLine, PhaseAndEndTexts)
{
    for (const PhaseRow& r : kPhaseRows)
        EXPECT_EQ(plat::status_phase_text(r.phase, r.detail), r.text) << r.phase;
    EXPECT_EQ(plat::status_end_text(RUNSTATE_FLASHED, RUNREASON_NONE), "Update done");
    EXPECT_EQ(plat::status_end_text(RUNSTATE_UPDATE_FAILED, RUNREASON_SILENT),
              "Update failed: the module stopped answering");
    EXPECT_EQ(plat::status_end_text(RUNSTATE_LINK_LOST, RUNREASON_LINK_LOST), "Update failed: the link was lost");
    EXPECT_EQ(plat::status_interrupted_text(RUNPHASE_WAKE),
              "interrupted before the image transfer: the module's firmware is unchanged");
    EXPECT_EQ(plat::status_interrupted_text(RUNPHASE_IMAGE),
              "interrupted during the image transfer: the module has no working firmware; run the update again (its "
              "boot ROM takes a new update)");
}

// The line follows the messages: the phase, the image's percent, then the
// end, which stays as the last word; a notice replaces it.
TEST(StatusLine, FollowsTheRunsMessagesAndKeepsTheLastWord)
{
    plat::status_reset();
    EXPECT_EQ(plat::status_text(), "");
    EXPECT_FALSE(plat::status_message(WM_APP + 99, 0, 0));
    EXPECT_TRUE(plat::status_message(WM_FWU_PHASE, RUNPHASE_WAKE, 2));
    EXPECT_EQ(plat::status_text(), "Waiting for the boot ROM (attempt 2)");
    plat::status_message(WM_FWU_PHASE, RUNPHASE_IMAGE, 8000);
    plat::status_message(WM_FWU_PROGRESS, RUNPHASE_IMAGE, 4000);
    EXPECT_EQ(plat::status_text().rfind("Image 50%  ", 0), 0u) << plat::status_text();
    EXPECT_NE(plat::status_text().find(" left"), std::string::npos) << plat::status_text();
    plat::status_message(WM_FWU_RUN_END, RUNSTATE_UPDATE_FAILED, RUNREASON_SILENT);
    EXPECT_EQ(plat::status_text(), "Update failed: the module stopped answering");
    plat::status_notice("cannot open COM1: /dev/ttyUSB0: No such file or directory");
    EXPECT_EQ(plat::status_text(), "cannot open COM1: /dev/ttyUSB0: No such file or directory");
}

// While the boot ROM is awaited, a module that nothing here can reset
// ("RIL1:"="none") needs a person to power-cycle it: the line asks.
TEST(StatusLine, WaitingForTheBootRomAsksForAPowerCycleOnlyWithoutAReset)
{
    // "RIL1:"       the line while the boot ROM is awaited
    const struct
    {
        const char* ril;
        const char* text;
    } rows[] = {
        {"sim-reset", "Waiting for the boot ROM (attempt 2)"},
        {"cmd:true", "Waiting for the boot ROM (attempt 2)"},
        {"none", "Waiting for the boot ROM (attempt 2): power-cycle the module now (nothing here can reset it)"},
    };
    for (const auto& row : rows)
    {
        std::string text = std::regex_replace(plat::profile_default_text(), std::regex("\"RIL1:\"=\"[^\"]*\""),
                                              std::string("\"RIL1:\"=\"") + row.ril + "\"");
        std::string error;
        ASSERT_TRUE(plat::profile_load_text(text, row.ril, &error)) << error;
        plat::status_reset();
        plat::status_message(WM_FWU_PHASE, RUNPHASE_WAKE, 2);
        EXPECT_EQ(plat::status_text(), row.text) << row.ril;
    }
    plat::profile_load_default();
}

// A run that failed at the open ends with the port's path and the system's
// reason, as the open said them, not only that the port could not be opened.
TEST(StatusLine, OpenFailureEndNamesThePathAndTheReason)
{
    // fault                       errno   holder  the end of the line
    const struct
    {
        plat::Fault fault;
        int err;
        long holderPid;
        const char* says;
    } rows[] = {
        {plat::Fault::Absent, ENOENT, 0, "/dev/ttyUSB9: No such file or directory: is the adapter plugged in?"},
        {plat::Fault::Held, EBUSY, 812, "/dev/ttyUSB9: held by another program (pid 812, picocom)"},
    };
    for (const auto& row : rows)
    {
        plat::status_reset();
        plat::OpenFailure f;
        f.device = u"COM1:";
        f.path = "/dev/ttyUSB9";
        f.fault = row.fault;
        f.err = row.err;
        f.holderPid = row.holderPid;
        f.holderName = "picocom";
        plat::open_failure_report(f);
        plat::status_message(WM_FWU_RUN_END, RUNSTATE_OPEN_FAILED, RUNREASON_OPEN);
        EXPECT_EQ(plat::status_text(), std::string("Update failed: cannot open COM1: ") + row.says);
    }
}

// What run writes to stderr, through a file without a name.
std::string StderrOf(const std::function<void()>& run)
{
    FILE* f = tmpfile();
    if (f == nullptr)
        return "(no temporary file)";
    fflush(stderr);
    int saved = dup(STDERR_FILENO);
    dup2(fileno(f), STDERR_FILENO);
    run();
    fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);
    std::string text;
    char buf[4096];
    rewind(f);
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    fclose(f);
    return text;
}

// What the headless display writes to stderr over a run of 100 blocks.
std::string StderrOfARun(bool quiet)
{
    plat::status_reset();
    plat::status_set_stderr(true);
    plat::status_set_quiet(quiet);
    return StderrOf(
        []
        {
            plat::status_message(WM_FWU_PHASE, RUNPHASE_ERASE, 0);
            plat::status_message(WM_FWU_PHASE, RUNPHASE_IMAGE, 100 * 4000);
            for (uint32_t block = 1; block <= 100; block++)
                plat::status_message(WM_FWU_PROGRESS, RUNPHASE_IMAGE, block * 4000);
            plat::status_message(WM_FWU_RUN_END, RUNSTATE_FLASHED, RUNREASON_NONE);
        });
}

// A notice names a path the profile gave: on the headless display's stderr its
// control characters are written out, so it cannot drive the terminal.
TEST(StatusLine, HeadlessNoticeWritesOutControlCharacters)
{
    plat::status_reset();
    plat::status_set_stderr(true);
    plat::status_set_quiet(false);
    std::string text =
        StderrOf([] { plat::status_notice("cannot open COM1: /dev/x\x1b]0;T\x07\x1b[2J: No such file or directory"); });
    EXPECT_EQ(text, "fwutil: cannot open COM1: /dev/x\\x1b]0;T\\x07\\x1b[2J: No such file or directory\n");
    // What the window's status row shows is the text itself: it draws it safely.
    EXPECT_EQ(plat::status_text(), "cannot open COM1: /dev/x\x1b]0;T\x07\x1b[2J: No such file or directory");
}

TEST(StatusLine, HeadlessStderrHasEachPhaseAndEveryTenthOfTheImage)
{
    std::string text = StderrOfARun(false);
    EXPECT_EQ(text.rfind("fwutil: Erasing the module's flash\nfwutil: Image 0%\nfwutil: Image 10%", 0), 0u) << text;
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    EXPECT_EQ(lines, 2 + 10 + 1) << text; // two phases, 10 % to 100 %, the end
    EXPECT_NE(text.find("fwutil: Image 100%"), std::string::npos) << text;
    EXPECT_EQ(text.substr(text.size() - 20), "fwutil: Update done\n");
    EXPECT_EQ(StderrOfARun(true), "");
}

// A lost link's end names the failed call the download reported; without
// one, the end text alone.
TEST(StatusLine, LinkLostEndNamesTheFailedCall)
{
    plat::status_reset();
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    plat::status_message(WM_FWU_RUN_END, RUNSTATE_LINK_LOST, RUNREASON_LINK_LOST);
    EXPECT_EQ(plat::status_text(), "Update failed: the link was lost");
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE);
    FAILEDCALL cause = {};
    const std::u16string call = u"read", device = u"/dev/ttyUSB0", text = u"Input/output error";
    std::copy(call.begin(), call.end(), cause.szCall);
    std::copy(device.begin(), device.end(), cause.szDevice);
    std::copy(text.begin(), text.end(), cause.szText);
    cause.nErrno = EIO;
    ReportRunCause(&cause);
    plat::status_message(WM_FWU_RUN_END, RUNSTATE_LINK_LOST, RUNREASON_LINK_LOST);
    EXPECT_EQ(plat::status_text(), "Update failed: link lost: read on /dev/ttyUSB0 failed: Input/output error (the "
                                   "adapter was unplugged?)");
    plat::status_reset();
}

} // namespace
