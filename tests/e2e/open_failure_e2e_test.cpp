// --wait-device end to end: a node that comes late is waited for, and a wait
// gives up at its bound. The exit status and result line of each kind of open
// failure are rows of report_test.cpp's table of ends; the reasons themselves
// are open_failure_test.cpp's.
#include "tests/e2e/tool_run.h"

#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Each errno a port can give, end to end: its exit status, outcome and the
// platform's reason on the result line. Missing nodes, a node without a
// device (ENXIO) and a file where a folder should be all mean "no such
// adapter"; a folder or a file that is no terminal cannot be a port at all.
TEST_F(OpenFailureE2e, EachErrnoOfAnOpenEndsWithItsStatusAndReason)
{
    const std::string file = dir_ + "/image.bin";
    Write("image.bin", "x");
    const std::string noDevice = dir_ + "/ttyNoDevice";
    // Major 240 is kept for local use: no driver stands behind it here.
    const bool haveNoDevice = mknod(noDevice.c_str(), S_IFCHR | 0600, makedev(240, 7)) == 0;
    struct Row
    {
        std::string port;
        int status;
        const char* outcome;
        std::string reason; // after "cannot open COM1: PORT: "
    };
    // clang-format off
    const Row rows[] = {
        {dir_ + "/ttyUSB9",    10, "not-found",   "No such file or directory: is the adapter plugged in?"},
        {file + "/ttyUSB0",    10, "not-found",   "Not a directory: a folder on the path is a file"},
        {noDevice,             10, "not-found",   "No such device or address: is the adapter plugged in?"},
        {dir_,                 12, "open-failed", "Is a directory: give the adapter's device node"},
        {file,                 12, "open-failed", "not a terminal: a serial port is a tty such as /dev/ttyUSB0"},
        {"/dev/null",          12, "open-failed", "not a terminal: a serial port is a tty such as /dev/ttyUSB0"},
    };
    // clang-format on
    for (const Row& row : rows)
    {
        if (row.port == noDevice && !haveNoDevice)
            continue; // no mknod here (not root, or no device nodes allowed)
        SCOPED_TRACE(row.port);
        toolrun::Result r = Station({"--port", row.port});
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_NE(r.err.find("fwutil: result: " + std::string(row.outcome) + ", port " + row.port + ", "),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("cannot open COM1: " + row.port + ": " + row.reason), std::string::npos) << r.err;
    }
}

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
