// The main window's edge cases through the real WinMain, run on a thread of
// the test process as the UI thread, with the headless display writing what
// a person would read into a pipe: the second instance, the three ways to
// close, closing under the bridge and under a download, commands without an
// entry, the program directory and its error box, the keep-alive timer on
// the virtual clock, the About box, start-up failures and their exit codes,
// the banner and the layout of the log pane.
#include "bridge/bridge.h"
#include "devctl/radio_control.h"
#include "download/run.h"
#include "shell/commands.h"
#include "shell/log.h"
#include "shell/main_window.h"

#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/text.h"
#include "platform/windowing/display.h"
#include "platform/displays/headless.h"
#include "platform/shellapi/instance.h"
#include "platform/kernel/kernel.h"
#include "platform/profile/profile.h"
#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/window.h"
#include "tests/support/fd_io.h"
#include "tests/support/platform_threads.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace
{
using namespace std::chrono;

const char kBanner[] = "Morvane Tessel Firmware Utility\r\n<< Firmware Version: V.4.5.0 >>\r\n";
const char16_t kBanner16[] = u"Morvane Tessel Firmware Utility\r\n<< Firmware Version: V.4.5.0 >>\r\n";

using testsupport::TempDir;
using testsupport::ThreadRuns;
using testsupport::WaitUntil;

class MainWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // WinMain registers its class once per process and the system's
        // globals keep their state: every case needs a process of its own,
        // which is how ctest runs them.
        static int cases = 0;
        if (cases++ > 0)
            GTEST_SKIP() << "needs a fresh process: run one case per process (ctest does)";
        ASSERT_EQ(pipe2(out_, O_CLOEXEC), 0);
        plat::display_set(plat::headless_display_open(out_[1]));
        reader_ = std::thread(
            [this]
            {
                char buffer[4096];
                ssize_t n;
                while ((n = read(out_[0], buffer, sizeof(buffer))) > 0)
                {
                    std::lock_guard<std::mutex> lock(outMu_);
                    output_.append(buffer, (size_t)n);
                }
            });
    }

    void TearDown() override
    {
        if (out_[0] < 0)
            return; // skipped
        if (ui_.joinable())
        {
            if (IsWindow(main_))
                PostMessageW(main_, WM_CLOSE, 0, 0);
            ui_.join();
        }
        plat::headless_display_close();
        plat::display_set(nullptr);
        close(out_[1]);
        reader_.join();
        close(out_[0]);
        plat::instance_leave();
    }

    // Starts WinMain as the UI thread and waits for its window.
    void Start()
    {
        ui_ = std::thread([this] { result_.set_value(WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW)); });
        ASSERT_TRUE(WaitUntil([this] { return (main_ = FindWindowW(MAIN_CLASS_NAME, nullptr)) != nullptr; }));
        ASSERT_TRUE(WaitUntil([this] { return Output().find(kBanner) != std::string::npos; }));
    }

    // Starts with the program file at path; the debug lines of the start.
    std::vector<std::u16string> StartAt(const char16_t* path)
    {
        plat::set_module_path(path);
        plat::debug_capture_begin();
        Start();
        std::vector<std::u16string> lines = plat::debug_capture_take();
        plat::debug_capture_end();
        plat::set_module_path(nullptr);
        return lines;
    }

    // WinMain's result, or -999 when it does not return within ms.
    int Finish(int ms = 5000)
    {
        auto f = result_.get_future();
        if (f.wait_for(milliseconds(ms)) != std::future_status::ready)
            return -999;
        ui_.join();
        return f.get();
    }

    std::string Output()
    {
        std::lock_guard<std::mutex> lock(outMu_);
        return output_;
    }

    HWND LogPane()
    {
        return GetDlgItem(main_, IDC_LOG);
    }

    HWND main_ = nullptr;
    std::thread ui_;
    std::promise<int> result_;
    int out_[2] = {-1, -1};
    std::thread reader_;
    std::mutex outMu_;
    std::string output_;
};

// ---------------------------------------------------------------------------
// Start-up
// ---------------------------------------------------------------------------
TEST_F(MainWindowTest, BannerIsTheFirstTextOfTheLogPane)
{
    Start();
    EXPECT_EQ(plat::window_text(LogPane()), kBanner16);
    EXPECT_EQ(Output(), kBanner);
    // The window is full-screen with the title bar's OK and the menu bar.
    EXPECT_TRUE(plat::window_is_full_screen(main_));
    EXPECT_TRUE(plat::window_has_done_button(main_));
    EXPECT_TRUE(plat::menubar_of(main_, nullptr));
    EXPECT_NE(g_pGpio, nullptr);
}

TEST_F(MainWindowTest, LogPaneCoversTheClientAreaAfterEveryResize)
{
    Start();
    plat::WindowInfo info;
    // The pane is sized when the window's thread handles its first WM_SIZE,
    // which can come after the banner on a loaded machine.
    WaitUntil([&] { return plat::window_info(LogPane(), &info) && info.rect.right != 0; });
    ASSERT_TRUE(plat::window_info(LogPane(), &info));
    EXPECT_EQ(info.rect.left, 0);
    EXPECT_EQ(info.rect.top, 0); // no command bar on top: the menu bar is at the bottom
    EXPECT_EQ(info.rect.right, plat::kDefaultScreenWidth);
    EXPECT_EQ(info.rect.bottom, plat::kDefaultScreenHeight);
    EXPECT_TRUE(SetWindowPos(main_, nullptr, 0, 0, 200, 100, SWP_NOZORDER));
    ASSERT_TRUE(plat::window_info(LogPane(), &info));
    EXPECT_EQ(info.rect.right, 200);
    EXPECT_EQ(info.rect.bottom, 100);
}

TEST_F(MainWindowTest, ProgramDirectoryIsThePathUpToItsLastBackslash)
{
    auto lines = StartAt(u"\\Program Files\\fwutil\\fwutil.exe");
    EXPECT_EQ(std::u16string(g_szWorkDir), u"\\Program Files\\fwutil\\");
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"get current dir \\Program Files\\fwutil\\\r\n"), lines.end());
    EXPECT_TRUE(plat::display_box_list().empty());
}

TEST_F(MainWindowTest, ProgramPathWithoutBackslashShowsWorkDirErrorThenTheBanner)
{
    auto lines = StartAt(u"fwutil");
    auto boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, u"WorkDir Error");
    EXPECT_EQ(boxes[0].text, u"fwutil");
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].type, MB_OK);
    EXPECT_EQ(g_szWorkDir[0], 0);
    EXPECT_NE(std::find(lines.begin(), lines.end(), u"get current dir \r\n"), lines.end());
    EXPECT_EQ(plat::window_text(LogPane()), kBanner16);
    EXPECT_EQ(Output(), std::string("[box] WorkDir Error: fwutil\n") + kBanner);
}

// The menu bar, the address reservation or the register mapping failing:
// the window is gone during its own creation, the process ends with 16, and
// nothing is shown, held or written.
struct StartFault
{
    std::string name;
    bool menuBar;
    plat::KernelFaults kernel;
};

class StartFaultTest : public MainWindowTest, public ::testing::WithParamInterface<StartFault>
{
};

void PrintTo(const StartFault& f, std::ostream* os)
{
    *os << f.name;
}

TEST_P(StartFaultTest, EndsWith16WithNoWindowNoRegionAndNoOutput)
{
    plat::shell_set_menubar_fault(GetParam().menuBar);
    plat::kernel_set_faults(GetParam().kernel);
    EXPECT_EQ(WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW), 16);
    plat::shell_set_menubar_fault(false);
    plat::kernel_set_faults({});
    EXPECT_TRUE(plat::window_list().empty());
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(plat::virtual_region_count(), 0u);
    EXPECT_EQ(g_pGpio, nullptr);
    EXPECT_EQ(Output(), "");
}

// clang-format off
// name                  menu bar  reservation, mapping
INSTANTIATE_TEST_SUITE_P(Failing, StartFaultTest, ::testing::Values(
    StartFault{"MenuBar",         true,     {false, false}},
    StartFault{"AddressReservation", false, {true,  false}},
    StartFault{"RegisterMapping", false,    {false, true}}),
    [](const ::testing::TestParamInfo<StartFault>& p) { return p.param.name; });
// clang-format on

TEST_F(MainWindowTest, ClassRegistrationFailureEndsWith1)
{
    // The class name is taken (by a class that made no window), so the
    // instance test passes and the registration fails.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = MAIN_CLASS_NAME;
    ASSERT_NE(RegisterClassW(&wc), 0);
    EXPECT_EQ(WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW), 1);
    EXPECT_TRUE(plat::window_list().empty());
    EXPECT_EQ(plat::virtual_region_count(), 0u);
}

// ---------------------------------------------------------------------------
// A second instance
// ---------------------------------------------------------------------------
TEST_F(MainWindowTest, SecondInstanceInAnotherProcessExitsMinusOneAndRaisesTheFirst)
{
    std::string fwutil = testproc::fwutil_path();
    if (fwutil.empty())
        GTEST_SKIP() << "the fwutil executable was not built next to the tests (../fwutil)";
    TempDir dir("fwshell");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir.path(), &error)) << error;
    Start();
    EXPECT_EQ(plat::foreground_window(), nullptr);

    testproc::Child second;
    ASSERT_TRUE(testproc::spawn(second, {fwutil, "--display", "headless", "--debug", "off"},
                                {"FWU_RUNTIME_DIR=" + dir.path()}));
    EXPECT_EQ(testproc::wait_exit(second, 20000), 255) << second.errText;
    EXPECT_EQ(second.outText, ""); // it made no window: no banner
    EXPECT_TRUE(WaitUntil([this] { return plat::foreground_window() == main_; }));
    EXPECT_TRUE(plat::foreground_with_owned());
    EXPECT_TRUE(IsWindow(main_));
}

TEST_F(MainWindowTest, SecondInstanceInTheSameProcessExitsMinusOne)
{
    Start();
    int second = -999;
    std::thread t([&] { second = WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW); });
    t.join();
    EXPECT_EQ(second, -1);
    EXPECT_EQ(plat::foreground_window(), main_);
    EXPECT_TRUE(plat::foreground_with_owned());
    EXPECT_EQ(plat::window_text(LogPane()), kBanner16); // nothing new in the pane
}

// ---------------------------------------------------------------------------
// Closing
// ---------------------------------------------------------------------------
// A parameterised case is named by its parameter.
std::string ParamName(const ::testing::TestParamInfo<std::string>& p)
{
    return p.param;
}

class CloseTest : public MainWindowTest, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(CloseTest, EndsWinMainWithZero)
{
    Start();
    plat::MenuBarState bar;
    ASSERT_TRUE(plat::menubar_of(main_, &bar));
    if (GetParam() == "MenuExit")
    {
        // What a display sends when "Exit" is picked in the drop-down.
        ASSERT_EQ(bar.buttons[0].popup[2]->id, IDM_EXIT);
        plat::send_command(bar.owner, bar.buttons[0].popup[2]->id);
    }
    else if (GetParam() == "CtrlQ")
        plat::input_key('Q', plat::kModCtrl, 0x11);
    else
    {
        ASSERT_TRUE(plat::window_has_done_button(main_));
        plat::send_command(main_, IDOK);
    }
    EXPECT_EQ(Finish(), 0);
    EXPECT_FALSE(IsWindow(main_));
    EXPECT_FALSE(IsWindow(bar.hwndMB));
    EXPECT_EQ(g_pGpio, nullptr);
    EXPECT_EQ(plat::virtual_region_count(), 0u);
}

INSTANTIATE_TEST_SUITE_P(ThreeWays, CloseTest, ::testing::Values("MenuExit", "CtrlQ", "TitleBarOk"), ParamName);

TEST_F(MainWindowTest, ClosingWhileTheBridgeRunsClosesBothPortsAndEndsBothPumps)
{
    Start();
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_BRIDGE_START, 0), 0);
    ASSERT_TRUE(WaitUntil(
        [this]
        { return Output().find("Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n") != std::string::npos; }))
        << Output();
    HANDLE up = g_hPumpUp.load();
    HANDLE down = g_hPumpDown.load();
    ASSERT_TRUE(ThreadRuns(up));
    ASSERT_TRUE(ThreadRuns(down));
    ASSERT_NE(g_hModuleCom.load(), INVALID_HANDLE_VALUE);
    ASSERT_NE(g_hPeerCom.load(), INVALID_HANDLE_VALUE);

    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
    EXPECT_EQ(Finish(), 0);
    EXPECT_EQ(g_hModuleCom.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_hPeerCom.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_bridgeRunning.load(), 0);
    EXPECT_FALSE(ThreadRuns(up));
    EXPECT_FALSE(ThreadRuns(down));
    EXPECT_EQ(Output().find("COMs released, R/W threads stopped"), std::string::npos);
}

// Closing (answered Yes: quit_test.cpp has the question) leaves the run to
// the process entry, which stops it as the process ends.
TEST_F(MainWindowTest, ClosingDuringADownloadLeavesTheWorkerAndCasterRunning)
{
    // A module that never answers keeps the run in its attempts.
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text() + "\n\"Faults\"=\"sync:silence:0:0:-1\"\n",
                                        "silent-module", &error))
        << error;
    Start();
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_UPDATE_GO, 0), 0);
    ASSERT_TRUE(WaitUntil([] { return (int)QueryRun(RUNREPORT_STATE) == RUN_ACTIVE && ThreadRuns(g_hWorker.load()); }));
    ASSERT_TRUE(WaitUntil([] { return ThreadRuns(g_hCaster.load()); }));
    HANDLE worker = g_hWorker.load();
    HANDLE caster = g_hCaster.load();

    plat::display_hold_boxes(true);
    PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
    ASSERT_TRUE(plat::display_wait_boxes(1, 5000));
    ASSERT_TRUE(plat::display_dismiss(0, IDYES));
    EXPECT_EQ(Finish(), 0);
    EXPECT_FALSE(IsWindow(main_));
    std::this_thread::sleep_for(milliseconds(200));
    EXPECT_TRUE(ThreadRuns(worker));
    EXPECT_TRUE(ThreadRuns(caster));
    EXPECT_EQ((int)QueryRun(RUNREPORT_STATE), RUN_ACTIVE);

    // The process would end them; the test ends them itself.
    TerminateThread(worker, 0);
    TerminateThread(caster, 0);
}

// ---------------------------------------------------------------------------
// Commands
// ---------------------------------------------------------------------------
// Every command id of the table reaches its handler through WM_COMMAND, found
// by the low 16 bits of wParam alone: what each handler does shows in its
// result, the pane, the radio driver's counts, the restart, the bridge peer or
// the trace mode. (1 and 101 close the window and 120 shows the About box:
// the cases above.) The module never answers, so the run the update commands
// start stays in its attempts.
struct CommandCase
{
    int id;
    LRESULT result;
    const char* pane; // what it adds to the pane
    int suspends, resumes, resets, restarts;
    int peerKind;  // -1: unchanged
    int traceMode; // -1: unchanged
};

// clang-format off
// id                     result  pane                                                        susp res rst rbt  peer         trace
const CommandCase kCommandCases[] = {
    {IDM_RIL_SUSPEND,       0, "",                                                             1,  0,  0,  0,  -1,          -1},
    {IDM_RIL_RESUME,        0, "RIL has been resumed\r\n",                                      0,  1,  0,  0,  -1,          -1},
    {IDM_MODULE_RESET,      0, "GSM/GPRS has been reset\r\n",                                   0,  0,  1,  0,  -1,          -1},
    {IDM_BRIDGE_START,      0, "COM1: opened\r\nIRDA(COM3:) opened\r\n"
                               "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n",      0,  0,  0,  0,  -1,          -1},
    {IDM_BRIDGE_STOP,       0, "COMs released, R/W threads stopped\r\n",                         0,  0,  0,  0,  -1,          -1},
    {IDM_REBOOT,            0, "",                                                             0,  0,  0,  1,  -1,          -1},
    {IDM_PEER_BT,           0, "",                                                             0,  0,  0,  0,  PEER_BTUART, -1},
    {IDM_PEER_IR,           0, "",                                                             0,  0,  0,  0,  PEER_IR,     -1},
    {IDM_PEER_IRDA,         0, "",                                                             0,  0,  0,  0,  PEER_IRDA,   -1},
    {IDM_TRACE_TO_MODULE,   0, "",                                                             0,  0,  0,  0,  -1,           1},
    {IDM_TRACE_BOTH,        0, "",                                                             0,  0,  0,  0,  -1,           3},
    {IDM_TRACE_FROM_MODULE, 0, "",                                                             0,  0,  0,  0,  -1,           2},
    {IDM_TRACE_OFF,         0, "",                                                             0,  0,  0,  0,  -1,           0},
    {IDM_UPDATE,            1, "",                                                             1,  0,  0,  0,  -1,          -1},
    {IDM_UPDATE_GO,         1, "Update already in progress, please wait...\r\n",                0,  0,  0,  0,  -1,          -1},
};
// clang-format on

std::atomic<int> g_restarts{0};

TEST_F(MainWindowTest, EveryCommandIdReachesItsHandler)
{
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text() + "\n\"Faults\"=\"sync:silence:0:0:-1\"\n",
                                        "silent-module", &error))
        << error;
    plat::set_restart_hook([] { g_restarts.fetch_add(1); });
    Start();
    for (const CommandCase& c : kCommandCases)
    {
        SCOPED_TRACE(c.id);
        const plat::RilCounts ril = plat::ril_counts();
        const int restarts = g_restarts.load();
        const int peer = g_peerKind.load();
        const int trace = g_traceMode.load();
        const std::u16string pane = plat::window_text(LogPane());
        EXPECT_EQ(SendMessageW(main_, WM_COMMAND, MAKEWPARAM(c.id, 1), 0), c.result);
        EXPECT_EQ(plat::utf16_to_utf8(plat::window_text(LogPane()).substr(pane.size())), c.pane);
        const plat::RilCounts now = plat::ril_counts();
        EXPECT_EQ(now.suspend - ril.suspend, c.suspends);
        EXPECT_EQ(now.resume - ril.resume, c.resumes);
        EXPECT_EQ(now.reset - ril.reset, c.resets);
        EXPECT_EQ(g_restarts.load() - restarts, c.restarts);
        EXPECT_EQ(g_peerKind.load(), c.peerKind < 0 ? peer : c.peerKind);
        EXPECT_EQ(g_traceMode.load(), c.traceMode < 0 ? trace : c.traceMode);
    }
    EXPECT_TRUE(ThreadRuns(g_hWorker.load())) << "the update commands started no run";
    EXPECT_TRUE(plat::display_box_list().empty());

    // The process would end the run; the test ends it itself.
    ASSERT_TRUE(WaitUntil([] { return ThreadRuns(g_hCaster.load()); }));
    TerminateThread(g_hWorker.load(), 0);
    TerminateThread(g_hCaster.load(), 0);
    plat::set_restart_hook(nullptr);
}

TEST_F(MainWindowTest, CommandsWithoutAnEntryDoNothingAndGiveZero)
{
    Start();
    const WPARAM ids[] = {MAKEWPARAM(IDC_LOG, 0), MAKEWPARAM(IDC_LOG, 0x0300), MAKEWPARAM(IDM_MENUBAR_BUTTON, 0),
                          MAKEWPARAM(0xFFFF, 0)};
    for (WPARAM w : ids)
        EXPECT_EQ(SendMessageW(main_, WM_COMMAND, w, 0), 0) << LOWORD(w);
    // Messages without an entry get the default processing.
    EXPECT_EQ(SendMessageW(main_, WM_PAINT, 0, 0), 0);
    EXPECT_TRUE(IsWindow(main_));
    EXPECT_EQ(plat::window_text(LogPane()), kBanner16);
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(plat::active_dialog(), nullptr);
}

class AboutTest : public MainWindowTest, public ::testing::WithParamInterface<std::string>
{
};

TEST_P(AboutTest, EndsOnlyOnOneOrTwoAndAlwaysWithZero)
{
    Start();
    plat::PowerCounts before = plat::power_counts();
    auto result =
        std::async(std::launch::async, [this] { return SendMessageW(main_, WM_COMMAND, MAKEWPARAM(IDM_ABOUT, 0), 0); });
    HWND dlg = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (dlg = plat::active_dialog()) != nullptr; }));
    plat::DialogState ds;
    ASSERT_TRUE(plat::dialog_of(dlg, &ds));
    EXPECT_EQ(ds.owner, main_);
    EXPECT_EQ(std::u16string(ds.tmpl->caption), u"About");

    // Other commands, the menu's included, leave it up.
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(3, 0), 0);
    PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
    // The owner keeps its keep-alive ticks while the box is up.
    plat::clock_advance(10000);
    EXPECT_TRUE(plat::power_wait_idle_resets(before.idleResets + 1, 3000));
    EXPECT_EQ(result.wait_for(milliseconds(100)), std::future_status::timeout);
    EXPECT_EQ(plat::active_dialog(), dlg);

    if (GetParam() == "EnterKey")
        plat::input_key(plat::kVkReturn, 0, u'\r');
    else
        PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(GetParam() == "Ok" ? IDOK : IDCANCEL, 0), 0);
    ASSERT_EQ(result.wait_for(milliseconds(5000)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(plat::active_dialog(), nullptr);
    EXPECT_FALSE(IsWindow(dlg));
    EXPECT_TRUE(IsWindow(main_));
}

INSTANTIATE_TEST_SUITE_P(Endings, AboutTest, ::testing::Values("Ok", "Cancel", "EnterKey"), ParamName);

// ---------------------------------------------------------------------------
// The keep-alive timer
// ---------------------------------------------------------------------------
TEST_F(MainWindowTest, KeepAliveEveryTenSecondsRaisesTheWindowUntilTheTransferClearsIt)
{
    Start();
    plat::PowerCounts start = plat::power_counts();
    plat::clock_advance(10000 - 1000);
    EXPECT_FALSE(plat::power_wait_idle_resets(start.idleResets + 1, 200)); // not yet
    plat::clock_advance(1000);
    ASSERT_TRUE(plat::power_wait_idle_resets(start.idleResets + 1, 3000));
    ASSERT_TRUE(WaitUntil([&] { return plat::power_counts().keyEvents == start.keyEvents + 1; }));
    plat::PowerCounts one = plat::power_counts();
    EXPECT_EQ(one.lastKey, 0x15);
    EXPECT_EQ(one.lastKeyFlag, KEYEVENTF_KEYUP | KEYEVENTF_SILENT);
    EXPECT_TRUE(WaitUntil([this] { return plat::foreground_window() == main_; }));
    EXPECT_TRUE(plat::foreground_with_owned());

    // Another window comes to the front; the next tick brings the main window back.
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Other";
    RegisterClassW(&wc);
    HWND other = CreateWindowExW(0, u"Other", u"", WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(SetForegroundWindow(other));
    plat::clock_advance(10000);
    ASSERT_TRUE(plat::power_wait_idle_resets(start.idleResets + 2, 3000));
    EXPECT_TRUE(WaitUntil([this] { return plat::foreground_window() == main_; }));

    // After a successful transfer the tick still resets the idle timer and
    // sends the key release, but leaves the window where it is.
    g_keepForeground.store(0);
    ASSERT_TRUE(SetForegroundWindow(other));
    plat::clock_advance(10000);
    ASSERT_TRUE(plat::power_wait_idle_resets(start.idleResets + 3, 3000));
    ASSERT_TRUE(WaitUntil([&] { return plat::power_counts().keyEvents == start.keyEvents + 3; }));
    // The tick has run: a message handled after it proves the loop moved on.
    EXPECT_EQ(SendMessageW(main_, WM_COMMAND, MAKEWPARAM(IDC_LOG, 0), 0), 0);
    EXPECT_EQ(plat::foreground_window(), other);
    DestroyWindow(other);
}

} // namespace
