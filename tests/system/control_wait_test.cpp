// A radio control asked for from the main window (a module reset whose
// outside command or modem-line pulse takes its time) leaves the window
// answering: a message posted meanwhile is handled, and a close ends WinMain
// while the control still runs. WinMain runs on a thread of the test process
// as the UI thread; the control's command waits on a FIFO the test opens.
#include "devctl/radio_control.h"
#include "shell/commands.h"
#include "shell/main_window.h"

#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/instance.h"
#include "platform/profile/profile.h"
#include "platform/windowing/display.h"
#include "platform/windowing/window.h"
#include "tests/support/fd_io.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <future>
#include <regex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using testsupport::WaitUntil;

bool Exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(ControlBesideTheWindow, ResetCommandLeavesTheWindowAnsweringAndACloseIsNotHeldUp)
{
    testsupport::TempDir dir("fwctl");
    const std::string gate = dir.path() + "/gate";
    ASSERT_EQ(0, mkfifo(gate.c_str(), 0600));
    const std::string command =
        "cmd:touch " + dir.path() + "/started; cat " + gate + " >/dev/null; touch " + dir.path() + "/ended";
    std::string profile = std::regex_replace(plat::profile_default_text(), std::regex("\"RIL1:\"=\"[^\"]*\""),
                                             "\"RIL1:\"=\"" + command + "\"");
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(profile, "control-wait", &error)) << error;
    ASSERT_TRUE(plat::instance_join(dir.path(), "control-wait", &error)) << error;

    std::promise<int> result;
    std::thread ui([&result] { result.set_value(WinMain(plat::program_instance(), nullptr, nullptr, SW_SHOW)); });
    HWND main = nullptr;
    ASSERT_TRUE(WaitUntil([&main] { return (main = FindWindowW(MAIN_CLASS_NAME, nullptr)) != nullptr; }));

    PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDM_MODULE_RESET, 0), 0);
    ASSERT_TRUE(WaitUntil([&] { return Exists(dir.path() + "/started"); })) << "the reset's command did not start";

    // The window handles what is posted to it while the command waits.
    static std::atomic<bool> s_handled{false};
    ASSERT_TRUE(plat::window_post_call(
        main, [](HWND, uint64_t) { s_handled.store(true); }, 0));
    EXPECT_TRUE(WaitUntil([] { return s_handled.load(); }, 3000)) << "the window stood still during the control";

    // A close ends the message loop without waiting for the command.
    PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 0), 0);
    auto finished = result.get_future();
    EXPECT_EQ(finished.wait_for(std::chrono::seconds(3)), std::future_status::ready) << "the close waited";
    EXPECT_FALSE(Exists(dir.path() + "/ended"));

    // The command ends once the gate opens (the writer's open succeeds once
    // cat has the FIFO open for reading).
    EXPECT_TRUE(WaitUntil(
        [&]
        {
            int fd = open(gate.c_str(), O_WRONLY | O_NONBLOCK);
            if (fd >= 0)
                close(fd);
            return fd >= 0;
        }));
    ui.join();
    EXPECT_TRUE(WaitUntil([&] { return Exists(dir.path() + "/ended"); }, 5000));
    plat::instance_leave();
}

} // namespace
