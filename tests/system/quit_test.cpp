// Quitting while a download runs: every way of closing the main window (the
// title bar's OK, the menu's Exit, Ctrl+Q, a posted 101) asks first, No keeps
// the run going, Yes closes. WinMain runs on a thread of the test process as
// the UI thread, with the headless display holding the boxes until a row
// answers them; the module never answers, so the run stays in its attempts.
#include "download/run.h"
#include "shell/commands.h"
#include "shell/main_window.h"

#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/instance.h"
#include "platform/profile/profile.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/display.h"
#include "platform/windowing/window.h"
#include "tests/support/fd_io.h"
#include "tests/support/platform_threads.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace
{

using testsupport::ThreadRuns;
using testsupport::WaitUntil;

enum class Way
{
    TitleBarOk,
    MenuExit,
    CtrlQ,
    Post101,
};

struct QuitCase
{
    const char* name;
    Way way;
    int answer;  // what the person answers; 0: nobody (the display's default)
    bool closes; // the window is gone and WinMain returned 0
};

// clang-format off
// name                 way               answer  closes
const QuitCase kQuitCases[] = {
    {"TitleBarOkYes",     Way::TitleBarOk,  IDYES,  true},
    {"TitleBarOkNo",      Way::TitleBarOk,  IDNO,   false},
    {"MenuExitYes",       Way::MenuExit,    IDYES,  true},
    {"MenuExitNo",        Way::MenuExit,    IDNO,   false},
    {"CtrlQYes",          Way::CtrlQ,       IDYES,  true},
    {"CtrlQNo",           Way::CtrlQ,       IDNO,   false},
    {"Post101Yes",        Way::Post101,     IDYES,  true},
    {"Post101No",         Way::Post101,     IDNO,   false},
    {"UnattendedKeepsRunning", Way::MenuExit, 0,    false},
};
// clang-format on

const char kKey[] = "quit-test";

class QuitTest : public ::testing::TestWithParam<QuitCase>
{
protected:
    void TearDown() override
    {
        // The process entry stops a run left going; here the test does.
        TerminateThread(g_hWorker.load(), 0);
        TerminateThread(g_hCaster.load(), 0);
        if (ui_.joinable())
        {
            if (IsWindow(main_))
                PostMessageW(main_, WM_CLOSE, 0, 0);
            ui_.join();
        }
        plat::display_set(nullptr);
        plat::instance_leave();
    }

    void Close(Way way)
    {
        std::string error;
        plat::MenuBarState bar;
        switch (way)
        {
            case Way::TitleBarOk:
                plat::send_command(main_, IDOK);
                break;
            case Way::MenuExit:
                ASSERT_TRUE(plat::menubar_of(main_, &bar));
                ASSERT_EQ(bar.buttons[0].popup[2]->id, IDM_EXIT);
                plat::send_command(bar.owner, IDM_EXIT);
                break;
            case Way::CtrlQ:
                plat::input_key('Q', plat::kModCtrl, 0x11);
                break;
            case Way::Post101:
                ASSERT_EQ(plat::instance_post_command(dir_.path(), kKey, IDM_EXIT, &error), plat::PostResult::Delivered)
                    << error;
                break;
        }
    }

    testsupport::TempDir dir_{"fwquit"};
    HWND main_ = nullptr;
    std::thread ui_;
    std::promise<int> result_;
};

TEST_P(QuitTest, CloseDuringADownloadAsksAndOnlyYesCloses)
{
    const QuitCase& c = GetParam();
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text() + "\n\"Faults\"=\"sync:silence:0:0:-1\"\n",
                                        "silent-module", &error))
        << error;
    ASSERT_TRUE(plat::instance_join(dir_.path(), kKey, &error)) << error;
    plat::display_hold_boxes(c.answer != 0);
    ui_ = std::thread([this] { result_.set_value(WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW)); });
    ASSERT_TRUE(WaitUntil([this] { return (main_ = FindWindowW(MAIN_CLASS_NAME, nullptr)) != nullptr; }));
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_UPDATE_GO, 0), 0);
    ASSERT_TRUE(WaitUntil([] { return ThreadRuns(g_hWorker.load()) && ThreadRuns(g_hCaster.load()); }));

    Close(c.way);
    ASSERT_TRUE(plat::display_wait_boxes(1, 5000));
    std::vector<plat::BoxRecord> boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"Update in progress");
    // The module never answered: its firmware is untouched, and the question says so.
    EXPECT_EQ(boxes[0].text, std::u16string(QUIT_UNCHANGED_TEXT));
    EXPECT_EQ(boxes[0].type, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2);
    EXPECT_EQ(boxes[0].owner, main_);
    if (c.answer != 0)
    {
        ASSERT_TRUE(plat::display_dismiss(0, c.answer));
    }

    auto finished = result_.get_future();
    if (c.closes)
    {
        ASSERT_EQ(finished.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(finished.get(), 0);
        EXPECT_FALSE(IsWindow(main_));
    }
    else
    {
        EXPECT_EQ(finished.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
        EXPECT_TRUE(IsWindow(main_));
        EXPECT_TRUE(ThreadRuns(g_hWorker.load()));
        EXPECT_EQ(plat::display_box_list()[0].result, IDNO);
    }
}

// The question follows the phase: the firmware is unchanged until the erase,
// gone from the erase to the final acknowledgement, new after it.
TEST(QuitQuestion, FollowsTheRunsPhase)
{
    // phase              question
    const struct
    {
        DWORD phase;
        const char16_t* text;
    } rows[] = {
        {RUNPHASE_NONE, QUIT_UNCHANGED_TEXT}, {RUNPHASE_OPEN, QUIT_UNCHANGED_TEXT},
        {RUNPHASE_WAKE, QUIT_UNCHANGED_TEXT}, {RUNPHASE_LOADER2, QUIT_UNCHANGED_TEXT},
        {RUNPHASE_ERASE, QUIT_RUNNING_TEXT},  {RUNPHASE_IMAGE, QUIT_RUNNING_TEXT},
        {RUNPHASE_VERIFY, QUIT_RUNNING_TEXT}, {RUNPHASE_RESTART, QUIT_FLASHED_TEXT},
    };
    for (const auto& row : rows)
        EXPECT_EQ(std::u16string(QuitQuestionText(row.phase)), std::u16string(row.text)) << row.phase;
}

INSTANTIATE_TEST_SUITE_P(FourWays, QuitTest, ::testing::ValuesIn(kQuitCases),
                         [](const ::testing::TestParamInfo<QuitCase>& p) { return p.param.name; });

} // namespace
