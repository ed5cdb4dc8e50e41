// A stopping signal during an update: fwutil headless on the built-in
// profile, the update posted as a script would, the signal sent once the
// stderr status shows the phase the row wants. The run is stopped, one line
// says what the module is left with, and the status says "interrupted".
#include "platform/profile/profile.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <sys/stat.h>

namespace
{

struct InterruptCase
{
    const char* name;
    const char* simulator; // lines added to the profile's simulator section
    const char* waitFor;   // stderr shows this before the signal
    int signal;
    int status;
    const char* line;
};

// clang-format off
const InterruptCase kCases[] = {
    {"SigintDuringTheImage",  "\"Baud\"=dword:00070800\n",             "fwutil: Image ",                    SIGINT,  130,
     "fwutil: interrupted during the image transfer: the module has no working firmware; run the update again (its "
     "boot ROM takes a new update)\n"},
    {"SigtermBeforeTheImage", "\"Faults\"=\"sync:silence:0:0:-1\"\n",   "fwutil: Waiting for the boot ROM",  SIGTERM, 143,
     "fwutil: interrupted before the image transfer: the module's firmware is unchanged\n"},
};
// clang-format on

class InterruptTest : public ::testing::TestWithParam<InterruptCase>
{
protected:
    void SetUp() override
    {
        fwutil_ = testproc::fwutil_path();
        if (fwutil_.empty())
            GTEST_SKIP() << "the fwutil executable was not built next to the tests (../fwutil)";
        ASSERT_FALSE(dir_.empty());
    }

    bool Run(testproc::Child& c, std::vector<std::string> args)
    {
        args.insert(args.begin(), fwutil_);
        return testproc::spawn(c, args, {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state"});
    }

    std::string fwutil_;
    testsupport::TempDir tmp_{"fwinterrupt"};
    std::string dir_ = tmp_.path();
};

TEST_P(InterruptTest, StopsTheRunSaysWhatTheModuleHasAndEndsInterrupted)
{
    const InterruptCase& c = GetParam();
    std::string profile = dir_ + "/paced.reg";
    std::ofstream(profile) << plat::profile_default_text() << c.simulator;

    testproc::Child tool;
    ASSERT_TRUE(Run(tool, {"--display", "headless", "--debug", "off", "--profile", profile}));
    ASSERT_TRUE(testproc::read_until(tool, "<< Firmware Version: V.4.5.0 >>", 20000)) << tool.errText;
    testproc::Child post;
    ASSERT_TRUE(Run(post, {"--post", "118", "--profile", profile}));
    ASSERT_EQ(testproc::wait_exit(post, 20000), 0) << post.errText;
    for (int i = 0; i < 300 && tool.errText.find(c.waitFor) == std::string::npos; i++)
        testproc::pump(tool, 100);
    ASSERT_NE(tool.errText.find(c.waitFor), std::string::npos) << tool.errText;

    ASSERT_EQ(kill(tool.pid, c.signal), 0);
    EXPECT_EQ(testproc::wait_exit(tool, 10000), c.status) << tool.errText;
    EXPECT_NE(tool.errText.find(c.line), std::string::npos) << tool.errText;
    EXPECT_EQ(tool.errText.find("Sanitizer"), std::string::npos) << tool.errText;
    // Its window is gone with it: nothing answers a post on this device.
    testproc::Child again;
    ASSERT_TRUE(Run(again, {"--post", "101", "--profile", profile}));
    EXPECT_EQ(testproc::wait_exit(again, 20000), 2) << again.errText;
}

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool ProcessEnded(pid_t pid, int waitMs)
{
    for (int waited = 0;; waited += 20)
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t paren = stat.rfind(')');
        if (stat.empty() || paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0)
            return true;
        if (waited >= waitMs)
            return false;
        usleep(20 * 1000);
    }
}

// However the tool ends while a "cmd:" control runs, the command's process
// group goes with it (SIGTERM, SIGKILL after a grace of 1 s): no shell and no
// job of it is left to run on under init.
TEST_F(InterruptTest, ToolEndingDuringACommandControlEndsTheCommandsProcessGroup)
{
    // signal sent to the tool
    for (int sig : {SIGTERM, SIGKILL})
    {
        const std::string pids = dir_ + "/pids-" + std::to_string(sig);
        std::string profile = dir_ + "/cmd.reg";
        std::ofstream(profile) << plat::profile_default_text()
                               << "\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"cmd:sleep 60 & echo $$ $! > "
                               << pids << ".tmp; mv " << pids << ".tmp " << pids << "; wait\"\n";
        testproc::Child tool;
        ASSERT_TRUE(Run(tool, {"--display", "headless", "--debug", "off", "--profile", profile}));
        ASSERT_TRUE(testproc::read_until(tool, "<< Firmware Version: V.4.5.0 >>", 20000)) << tool.errText;
        testproc::Child post;
        ASSERT_TRUE(Run(post, {"--post", "154", "--profile", profile})); // the module reset
        ASSERT_EQ(testproc::wait_exit(post, 20000), 0) << post.errText;
        for (int i = 0; i < 200 && access(pids.c_str(), F_OK) != 0; i++)
            testproc::pump(tool, 50);
        long shell = 0, job = 0;
        std::ifstream(pids) >> shell >> job;
        ASSERT_GT(shell, 0) << "the command did not start: " << tool.errText;
        ASSERT_GT(job, 0);

        ASSERT_EQ(kill(tool.pid, sig), 0);
        testproc::wait_exit(tool, 10000);
        EXPECT_TRUE(ProcessEnded((pid_t)shell, 5000)) << "signal " << sig << ": sh -c is left running";
        EXPECT_TRUE(ProcessEnded((pid_t)job, 5000)) << "signal " << sig << ": its job is left running";
        kill((pid_t)-shell, SIGKILL); // whatever a failure left
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<InterruptCase>& p) { return p.param.name; });

} // namespace
