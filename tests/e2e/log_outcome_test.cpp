// The device log's last line says how the run ended, whatever ended it: a
// flash, a failure, the time limit, SIGINT, SIGTERM, SIGHUP (a closed
// terminal), in station mode and in a plain headless run. The line is on disk
// when the process has gone.
#include "platform/profile/profile.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace
{

struct Ending
{
    const char* name;
    bool station;          // --station, else a headless run nobody posts to
    const char* simulator; // lines added to the profile's simulator section
    std::vector<std::string> args;
    const char* waitFor; // stderr shows this before the signal ("" for none)
    int signal;          // 0: the run ends on its own
    int status;
    const char* how; // the line's text after "TIME: "
};

// clang-format off
const Ending kEndings[] = {
    // name            station  simulator                                   args                                  wait for                    signal   status  how
    {"Flashed",        true,    "",                                         {},                                   "",                         0,       0,      "result: flashed, port "},
    {"Failed",         true,    "\"Faults\"=\"sync:silence:0:0:-1\"\n",     {"--attempts", "1"},                  "",                         0,       5,      "result: module-silent, port "},
    {"TimeLimit",      true,    "\"Faults\"=\"sync:silence:0:0:-1\"\n",     {"--timeout", "2", "--attempts", "100"}, "",                      0,       7,      "result: time-limit, port "},
    {"Sigint",         true,    "\"Faults\"=\"sync:silence:0:0:-1\"\n",     {"--attempts", "100"},                "fwutil: phase wake",       SIGINT,  130,    "result: interrupted, port "},
    {"Sigterm",        true,    "\"Faults\"=\"sync:silence:0:0:-1\"\n",     {"--attempts", "100"},                "fwutil: phase wake",       SIGTERM, 143,    "result: interrupted, port "},
    {"Sighup",         true,    "\"Faults\"=\"sync:silence:0:0:-1\"\n",     {"--attempts", "100"},                "fwutil: phase wake",       SIGHUP,  129,    "result: interrupted, port "},
    {"SighupIdle",     false,   "",                                         {"--display", "headless"},            "<< Firmware Version:",     SIGHUP,  129,    "stopped by signal 1"},
};
// clang-format on

std::string last_line(const std::string& path)
{
    std::ifstream in(path);
    std::string line, last;
    while (std::getline(in, line))
        last = line;
    return last;
}

class LogOutcome : public ::testing::TestWithParam<Ending>
{
protected:
    void SetUp() override
    {
        fwutil_ = testproc::fwutil_path();
        if (fwutil_.empty())
            GTEST_SKIP() << "the fwutil executable was not built next to the tests (../fwutil)";
    }
    std::string fwutil_;
    testsupport::TempDir dir_;
};

TEST_P(LogOutcome, TheLogEndsWithOneOutcomeLine)
{
    const Ending& e = GetParam();
    const std::string profile = dir_.path() + "/p.reg";
    std::ofstream(profile) << plat::profile_default_text() << e.simulator;
    const std::string log = dir_.path() + "/debug.log";
    std::vector<std::string> argv = {fwutil_, "--profile", profile, "--debug", log};
    if (e.station)
        argv.push_back("--station");
    argv.insert(argv.end(), e.args.begin(), e.args.end());
    testproc::Child tool;
    ASSERT_TRUE(testproc::spawn(tool, argv,
                                {"FWU_RUNTIME_DIR=" + dir_.path() + "/rt", "XDG_STATE_HOME=" + dir_.path() + "/st"}));
    if (e.signal != 0)
    {
        // Station mode's progress is on stderr, the headless window on stdout.
        for (int i = 0; i < 200 && tool.errText.find(e.waitFor) == std::string::npos &&
                        tool.outText.find(e.waitFor) == std::string::npos;
             i++)
            testproc::pump(tool, 100);
        ASSERT_TRUE(tool.errText.find(e.waitFor) != std::string::npos ||
                    tool.outText.find(e.waitFor) != std::string::npos)
            << tool.errText;
        ASSERT_EQ(kill(tool.pid, e.signal), 0);
    }
    EXPECT_EQ(testproc::wait_exit(tool, 30000), e.status) << tool.errText;
    const std::regex line(std::string(".*==== ended [0-9T:.-]+Z: ") + e.how + ".*, exit status " +
                          std::to_string(e.status) + " ====");
    const std::string last = last_line(log);
    EXPECT_TRUE(std::regex_match(last, line)) << last;
    std::ifstream in(log);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str().find("==== ended "), all.str().rfind("==== ended ")) << "one outcome line";
}

INSTANTIATE_TEST_SUITE_P(Endings, LogOutcome, ::testing::ValuesIn(kEndings),
                         [](const ::testing::TestParamInfo<Ending>& i) { return std::string(i.param.name); });

} // namespace
