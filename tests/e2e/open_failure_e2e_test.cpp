// --wait-device end to end: a node that comes late is waited for, and a wait
// gives up at its bound. The exit status and result line of each kind of open
// failure are rows of report_test.cpp's table of ends; the reasons themselves
// are open_failure_test.cpp's.
#include "tests/e2e/tool_run.h"

#include <pty.h>
#include <thread>

namespace
{

class OpenFailureE2e : public toolrun::ToolTest
{
protected:
    toolrun::Result Station(const std::vector<std::string>& more)
    {
        toolrun::Invocation call;
        call.argv = {fwutil_, "--station", "-q", "--attempts", "1", "--timeout", "30", "--firmware", "standin"};
        call.argv.insert(call.argv.end(), more.begin(), more.end());
        call.env = {"XDG_STATE_HOME=" + dir_ + "/state", "FWU_RUNTIME_DIR=" + dir_ + "/run"};
        return toolrun::run(call);
    }
};

// A pty's slave linked into place after a second: the run waits for it and
// goes on to the module (silent here: no simulator behind the pty), instead
// of ending not-found; with no node at all it gives up at its bound.
TEST_F(OpenFailureE2e, WaitDeviceWaitsForALateNodeAndGivesUpAtItsBound)
{
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    const std::string link = dir_ + "/usb-Late_Adapter-if00-port0";
    std::thread maker(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            EXPECT_EQ(symlink(name, link.c_str()), 0);
        });
    toolrun::Result r = Station({"--port", link, "--wait-device", "10"});
    maker.join();
    close(slave);
    close(master);
    EXPECT_EQ(r.status, 5) << r.err; // the module did not answer: the port was there
    EXPECT_GE(r.ms, 1000);

    const std::string never = dir_ + "/never";
    r = Station({"--port", never, "--wait-device", "1"});
    EXPECT_EQ(r.status, 10) << r.err;
    EXPECT_GE(r.ms, 1000);
    EXPECT_LT(r.ms, 10000);
    EXPECT_NE(r.err.find("cannot open COM1: " + never + ": No such file or directory"), std::string::npos) << r.err;
}

} // namespace
