// Tests of the radio interface controls and the device restart: each of the
// four command handlers with "RIL1:" missing from the device profile, with a
// driver whose control fails, and with working drivers; the lines each writes
// to the log pane (none at all with a null window, and g_szLogBuf untouched
// then); every HAL failure of the restart with tracing on and off; and a real
// process that a restart without a hook ends with the restart status.
#include "devctl/radio_control.h"
#include "platform/kernel/core.h"
#include "platform/serial/iocontrol.h"
#include "platform/profile/profile.h"
#include "platform/kernel/text.h"
#include "shell/log.h"
#include "sim/sim.h"
#include "tests/support/bridge_harness.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace
{

using bridge_harness::MainWindow;

typedef LONG (*Handler)(HWND hwnd, int id, LPARAM lParam, int notifyCode);

// One driver control and its lines, with the error codes filled in as the
// platform reports them: ERROR_FILE_NOT_FOUND for a missing "RIL1:",
// ERROR_GEN_FAILURE for an outside command that exits non-zero.
struct Control
{
    const char* name;
    Handler handler;
    int command;
    const char* openFailLine;
    const char* controlFailLine;
    const char* doneLine; // "" when the control has no success line
};

// clang-format off
// name            handler       command            open failure (RIL1: missing)                                  control failure (command exits 1)                             success
static const Control kControls[] = {
    {"SuspendRadio", SuspendRadio, IDM_RIL_SUSPEND,  "Failed to open RIL1:, error code: 0x00000002\r\n",              "Failed to suspend RIL action, error code: 0x0000001F\r\n",     ""},
    {"ResumeRadio",  ResumeRadio,  IDM_RIL_RESUME,   "Failed to open RIL1:, error code: 0x00000002\r\n",              "Failed to resume RIL action, error code: 0x0000001F\r\n",      "RIL has been resumed\r\n"},
    {"ResetModule",  ResetModule,  IDM_MODULE_RESET, "Failed to open RIL1,CANNOT reset:, error code: 0x00000002\r\n", "Failed to reset GSM/GPRS module, error code: 0x0000001F\r\n", "GSM/GPRS has been reset\r\n"},
};
// clang-format on

// Loads a profile whose "RIL1:" is ril (empty: no "RIL1:" at all).
void LoadRil(const std::string& ril)
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    if (!ril.empty())
        text += "\"RIL1:\"=\"" + ril + "\"\n";
    std::string err;
    ASSERT_TRUE(plat::profile_load_text(text, "radio-test.reg", &err)) << err;
}

int Counter(const plat::RilCounts& c, int command)
{
    switch (command)
    {
        case IDM_RIL_SUSPEND:
            return c.suspend;
        case IDM_RIL_RESUME:
            return c.resume;
        default:
            return c.reset;
    }
}

// Fills g_szLogBuf with a sentinel pattern.
void FillLogBuf()
{
    for (int i = 0; i < LOG_BUF_CHARS; i++)
        g_szLogBuf[i] = (WCHAR)(0xA000 + i);
}

bool LogBufUntouched()
{
    for (int i = 0; i < LOG_BUF_CHARS; i++)
        if (g_szLogBuf[i] != (WCHAR)(0xA000 + i))
            return false;
    return true;
}

// The restart hook records the pane as it stood, to show what came before.
std::atomic<int> g_restarts{0};
std::string g_paneAtRestart;
MainWindow* g_window = nullptr;

void OnRestart()
{
    if (g_window != nullptr)
        g_paneAtRestart = g_window->Log();
    g_restarts.fetch_add(1);
}

class RadioControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(window.Start());
        g_window = &window;
        plat::set_restart_hook(&OnRestart);
        g_traceMode = 3;
    }
    void TearDown() override
    {
        g_window = nullptr;
    }

    // Runs a handler with the window; what it added to the pane.
    std::string Run(Handler h, int command, LONG* result)
    {
        const std::string before = window.Log();
        *result = h(window.hwnd(), command, 0, 0);
        const std::string after = window.Log();
        return after.substr(before.size());
    }

    MainWindow window;
};

// ---------------------------------------------------------------------------
// Driver controls
// ---------------------------------------------------------------------------

// Each control against a driver that is missing from the profile, one whose
// control fails and one that works: its line, its result, whether the driver
// counted it, and the driver's handle closed again.
struct Driver
{
    const char* name;
    const char* ril;            // "RIL1:" in the profile; "" for none
    const char* Control::*line; // the line each control writes
    LONG result;
    int counted; // controls that reach the driver
};

// clang-format off
// name       RIL1:         line                       result  counted
const Driver kDrivers[] = {
    {"Missing", "",           &Control::openFailLine,    1,      0},
    {"Failing", "cmd:exit 1", &Control::controlFailLine, 1,      0},
    {"Working", "none",       &Control::doneLine,        0,      1},
};
// clang-format on

void PrintTo(const Driver& d, std::ostream* os)
{
    *os << d.name;
}

class RadioDriver : public RadioControl, public ::testing::WithParamInterface<Driver>
{
};

TEST_P(RadioDriver, EachControlWritesItsLineAndClosesTheDriver)
{
    const Driver& d = GetParam();
    LoadRil(d.ril);
    const size_t handles = plat::handle_count();
    for (const Control& c : kControls)
    {
        SCOPED_TRACE(c.name);
        const int before = Counter(plat::ril_counts(), c.command);
        LONG result = -1;
        EXPECT_EQ(c.*d.line, Run(c.handler, c.command, &result));
        EXPECT_EQ(d.result, result);
        EXPECT_EQ(before + d.counted, Counter(plat::ril_counts(), c.command));
        EXPECT_EQ(handles, plat::handle_count()) << "the driver handle was left open";
    }
}

INSTANTIATE_TEST_SUITE_P(Drivers, RadioDriver, ::testing::ValuesIn(kDrivers),
                         [](const ::testing::TestParamInfo<Driver>& p) { return std::string(p.param.name); });

// Only the reset reaches the simulated module; suspend and resume are accepted.
TEST_F(RadioControl, SimReset_ResetModuleResetsTheRegisteredSimulator)
{
    bridge_harness::Pty pty;
    ASSERT_TRUE(pty.Open(true));
    SimLink link = sim_fd_link(pty.master);
    ASSERT_NE(nullptr, link.read);
    pty.master = -1; // the link owns it now
    Sim* sim = sim_start(link, SimConfig());
    ASSERT_NE(nullptr, sim);
    plat::simulator_register(sim);
    LoadRil("sim-reset");

    const uint64_t resets = sim_report(sim).resets;
    LONG result = -1;
    EXPECT_EQ("", Run(SuspendRadio, IDM_RIL_SUSPEND, &result));
    EXPECT_EQ(0, result);
    EXPECT_EQ("RIL has been resumed\r\n", Run(ResumeRadio, IDM_RIL_RESUME, &result));
    EXPECT_EQ(0, result);
    const auto deadline = bridge_harness::Clock::now() + std::chrono::seconds(2);
    EXPECT_EQ("GSM/GPRS has been reset\r\n", Run(ResetModule, IDM_MODULE_RESET, &result));
    EXPECT_EQ(0, result);
    while (sim_report(sim).resets == resets && bridge_harness::Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(resets + 1, sim_report(sim).resets);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(resets + 1, sim_report(sim).resets) << "suspend or resume reset the module";

    plat::simulator_unregister(sim);
    sim_stop(sim);
}

// An outside driver command runs for every control and learns which one.
TEST_F(RadioControl, RilCommand_RunsForEveryControlWithItsName)
{
    testsupport::TempDir dir("radio-control");
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/controls";
    LoadRil(std::string("cmd:echo $FWU_RIL_CONTROL >> ") + path);
    for (const Control& c : kControls)
    {
        LONG result = -1;
        EXPECT_EQ(c.doneLine, Run(c.handler, c.command, &result));
        EXPECT_EQ(0, result);
    }
    std::ifstream in(path);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ("suspend\nresume\nreset\n", got.str());
}

// A null window (the download run's calls): no line, and g_szLogBuf is not
// used, whether the driver is missing, failing or working.
TEST_F(RadioControl, NullWindow_WritesNothingAndLeavesTheBufferAlone)
{
    struct Case
    {
        const char* ril;
        LONG result;
    };
    static const Case kCases[] = {{"", 1}, {"cmd:exit 1", 1}, {"none", 0}};
    for (const Case& k : kCases)
    {
        LoadRil(k.ril);
        for (const Control& c : kControls)
        {
            SCOPED_TRACE(std::string(c.name) + " with RIL1: \"" + k.ril + "\"");
            FillLogBuf();
            const std::string before = window.Log();
            EXPECT_EQ(k.result, c.handler(nullptr, c.command, 0, 0));
            EXPECT_TRUE(LogBufUntouched());
            EXPECT_EQ(before, window.Log());
        }
    }
}

// ---------------------------------------------------------------------------
// Device restart
// ---------------------------------------------------------------------------

struct RestartCase
{
    const char* name;
    plat::HalFaults faults;
    const char* line; // written through TraceLog
    LONG result;
    bool restarts;
};

// clang-format off
// name                 faults (load, proc, free, ioctl)   line                                                  result  restarts
static const RestartCase kRestartCases[] = {
    {"LoadLibrary",     {true,  false, false, false},     "LoadLibrary() call fails !\r\n",                     1,      false},
    {"GetProcAddress",  {false, true,  false, false},     "GetProcAddress() call fails !\r\n",                  1,      false},
    {"FreeLibrary",     {false, false, true,  false},     "Coredll.dll is not freed !\r\n",                     0,      true},
    {"KernelIoControl", {false, false, false, true},      "Failed to call KernelIoControl() to reboot!\r\n",    1,      false},
    {"none",            {false, false, false, false},     "",                                                   0,      true},
};
// clang-format on

TEST_F(RadioControl, RebootDevice_EachHalFailureWritesItsLineWhileTracing)
{
    for (const RestartCase& k : kRestartCases)
    {
        SCOPED_TRACE(k.name);
        plat::hal_set_faults(k.faults);
        g_restarts = 0;
        g_paneAtRestart.clear();
        LONG result = -1;
        const std::string before = window.Log();
        EXPECT_EQ(k.line, Run(RebootDevice, IDM_REBOOT, &result));
        EXPECT_EQ(k.result, result);
        EXPECT_EQ(k.restarts ? 1 : 0, g_restarts.load());
        // The line (where there is one) is written before the restart goes ahead.
        if (k.restarts)
        {
            EXPECT_EQ(before + k.line, g_paneAtRestart);
        }
    }
}

TEST_F(RadioControl, RebootDevice_TracingOffOrNoWindow_WritesNothingEvenWhenFailing)
{
    for (int variant = 0; variant < 2; variant++)
    {
        g_traceMode = variant == 0 ? 0 : 3;
        HWND hwnd = variant == 0 ? window.hwnd() : nullptr;
        for (const RestartCase& k : kRestartCases)
        {
            SCOPED_TRACE(std::string(k.name) + (variant == 0 ? ", tracing off" : ", no window"));
            plat::hal_set_faults(k.faults);
            g_restarts = 0;
            FillLogBuf();
            const std::string before = window.Log();
            EXPECT_EQ(k.result, RebootDevice(hwnd, IDM_REBOOT, 0, 0));
            EXPECT_EQ(before, window.Log());
            EXPECT_EQ(k.restarts ? 1 : 0, g_restarts.load());
            EXPECT_TRUE(LogBufUntouched());
        }
    }
}

// Without a hook the simulated handheld goes down: the process ends with the
// restart status, in a child process of its own.
TEST(DeviceRestart, WithoutHook_EndsTheProcessWithTheRestartStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            plat::set_restart_hook(nullptr);
            RebootDevice(nullptr, IDM_REBOOT, 0, 0);
            fprintf(stderr, "still running after the restart\n");
            _exit(0);
        },
        ::testing::ExitedWithCode(plat::kExitDeviceRestart), "");
}

// The restart's own HAL failure keeps the process running.
TEST(DeviceRestart, KernelIoControlFailing_ProcessGoesOn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            plat::set_restart_hook(nullptr);
            plat::HalFaults f{};
            f.kernelIoControl = true;
            plat::hal_set_faults(f);
            LONG r = RebootDevice(nullptr, IDM_REBOOT, 0, 0);
            _exit(r == 1 ? 42 : 43);
        },
        ::testing::ExitedWithCode(42), "");
}

} // namespace
