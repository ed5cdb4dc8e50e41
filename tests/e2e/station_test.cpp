// The fwutil executable end to end, driven as a script drives it: station
// mode against the built-in simulated handheld and against profiles whose
// simulator misbehaves, a running headless
// instance steered with --post, the single instance per profile, and the
// command line's own refusals.
#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace
{

const char kBanner[] = "Morvane Tessel Firmware Utility\r\n<< Firmware Version: V.4.5.0 >>\r\n";
const char kBridgeLine[] = "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";

class StationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (fwutil_.empty())
            GTEST_SKIP() << "the fwutil executable was not built next to the tests (../fwutil)";
        ASSERT_FALSE(dir_.empty());
    }

    // Runs fwutil with args in this test's private runtime directory.
    bool Run(testproc::Child& c, std::vector<std::string> args)
    {
        args.insert(args.begin(), fwutil_);
        return testproc::spawn(c, args, {"FWU_RUNTIME_DIR=" + dir_ + "/rt"});
    }
    int RunToEnd(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr, int ms = 60000)
    {
        testproc::Child c;
        if (!Run(c, std::move(args)))
            return -2;
        int status = testproc::wait_exit(c, ms);
        // The tool ends with _exit: a sanitizer's findings show only in its output.
        EXPECT_EQ(c.errText.find("Sanitizer"), std::string::npos) << c.errText;
        if (out)
            *out = c.outText;
        if (err)
            *err = c.errText;
        return status;
    }

    // A profile file: the built-in one with extra lines appended to its
    // simulator section, or COM1: replaced.
    std::string WriteProfile(const std::string& name, const std::string& text)
    {
        std::string path = dir_ + "/" + name;
        std::ofstream(path) << text;
        return path;
    }
    std::string DefaultProfileWith(const std::string& simulatorLines)
    {
        std::string text = DefaultText() + "\n" + simulatorLines + "\n";
        return text;
    }
    std::string DefaultText()
    {
        std::ifstream in(testproc::self_dir() + "/../../profiles/default.reg");
        if (in)
            return std::string(std::istreambuf_iterator<char>(in), {});
        // The source tree is not next to the build: the essentials.
        return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:00000001\n\n"
               "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2]\n\"Index\"=dword:00000004\n\n"
               "[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
               "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"sim\"\n\"COM3:\"=\"pty\"\n\"COM4:\"=\"pty\"\n"
               "\"COM5:\"=\"pty\"\n\"RIL1:\"=\"sim-reset\"\n\n"
               "[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n\"FirmwareAtStart\"=dword:00000001\n";
    }

    // Namespace sockets in the runtime directory.
    int SocketCount()
    {
        int n = 0;
        DIR* d = opendir((dir_ + "/rt").c_str());
        if (d == nullptr)
            return 0;
        while (struct dirent* e = readdir(d))
            n += std::string(e->d_name).find(".sock") != std::string::npos;
        closedir(d);
        return n;
    }

    const std::string fwutil_ = testproc::fwutil_path();
    testsupport::TempDir tmp_{"fwstation"};
    const std::string dir_ = tmp_.path();
};

// ---------------------------------------------------------------------------
// Station mode
// ---------------------------------------------------------------------------
TEST_F(StationTest, FlashesTheSimulatedModuleAndEndsWithTheRestart)
{
    std::string out, err;
    // Station mode: 0 once the module is flashed and the device restarted.
    EXPECT_EQ(RunToEnd({"--station", "--debug", "stderr"}, &out, &err), 0) << err;
    EXPECT_EQ(out.rfind(kBanner, 0), 0u) << out;
    EXPECT_NE(out.find("Bootload1 updated!!\r\nBootload2 updated!!\r\n"), std::string::npos);
    EXPECT_NE(out.find("\r\nFirmware Updated....Done\r\n[box] Successful: Reboot device/Reset module !\n"),
              std::string::npos)
        << out;
    // The debug output, asked for on stderr, says the restart happened.
    EXPECT_NE(err.find("Device restart: the handheld goes down"), std::string::npos);
    // The namespace socket went with the process.
    EXPECT_EQ(SocketCount(), 0);
    EXPECT_EQ(RunToEnd({"--post", "101"}), 2);
}

TEST_F(StationTest, SilentModuleEndsWith5AfterTheAttemptsAllowed)
{
    std::string profile = WriteProfile("silent.reg", DefaultProfileWith("\"Faults\"=\"sync:silence:0:0:-1\""));
    std::string out, err;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunToEnd({"--station", "--profile", profile, "--attempts", "1"}, &out, &err), 5) << err;
    // One attempt: a second of sync bytes, then the boot answer's silence limit.
    EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count(),
              4000);
    EXPECT_NE(out.find("No answer from the module, retrying...\r\n"), std::string::npos) << out;
}

TEST_F(StationTest, FailedImageTransferEndsWith6)
{
    std::string profile = WriteProfile("nocheck.reg", DefaultProfileWith("\"Faults\"=\"memory-check:missing\""));
    std::string out, err;
    EXPECT_EQ(RunToEnd({"--station", "--profile", profile}, &out, &err), 6) << err;
    EXPECT_NE(out.find("Update firmware FAIL!!!"), std::string::npos) << out;
    EXPECT_EQ(out.find("[box] Successful"), std::string::npos);
}

TEST_F(StationTest, LostLinkEndsWith6)
{
    std::string profile = WriteProfile("unplug.reg", DefaultProfileWith("\"Faults\"=\"image-block:unplug:3\""));
    std::string out, err;
    EXPECT_EQ(RunToEnd({"--station", "--profile", profile}, &out, &err), 6) << err;
    EXPECT_EQ(out.find("[box] Successful"), std::string::npos) << out;
}

TEST_F(StationTest, TimeLimitEndsWith7)
{
    std::string profile = WriteProfile("slow.reg", DefaultProfileWith("\"Faults\"=\"sync:silence:0:0:-1\""));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunToEnd({"--station", "--profile", profile, "--timeout", "2", "--attempts", "100"}), 7);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(took, 2000);
    EXPECT_LT(took, 10000);
}

// ---------------------------------------------------------------------------
// A running headless instance
// ---------------------------------------------------------------------------
TEST_F(StationTest, PostedBridgeStartRunsInTheHeadlessInstance)
{
    EXPECT_EQ(RunToEnd({"--post", "153"}), 2); // nothing runs yet
    testproc::Child tool;
    ASSERT_TRUE(Run(tool, {"--display", "headless"}));
    ASSERT_TRUE(testproc::read_until(tool, kBanner, 20000)) << tool.outText << tool.errText;

    std::string err;
    EXPECT_EQ(RunToEnd({"--post", "153"}, nullptr, &err), 0) << err;
    EXPECT_TRUE(testproc::read_until(tool, kBridgeLine, 10000)) << tool.outText;
    // A second start on the same profile is refused and makes no window.
    std::string out2;
    EXPECT_EQ(RunToEnd({"--display", "headless"}, &out2), 255);
    EXPECT_EQ(out2, "");
    // Stop the bridge, then close the tool through its Exit command.
    EXPECT_EQ(RunToEnd({"--post", "155"}), 0);
    EXPECT_TRUE(testproc::read_until(tool, "COMs released, R/W threads stopped\r\n", 10000)) << tool.outText;
    EXPECT_EQ(RunToEnd({"--post", "101"}), 0);
    EXPECT_EQ(testproc::wait_exit(tool, 10000), 0) << tool.errText;
    EXPECT_EQ(tool.errText.find("Sanitizer"), std::string::npos) << tool.errText;
    EXPECT_EQ(RunToEnd({"--post", "101"}), 2);
}

TEST_F(StationTest, ToolsOnDifferentProfilesRunSideBySide)
{
    std::string other = WriteProfile("other.reg", DefaultText());
    testproc::Child a, b;
    ASSERT_TRUE(Run(a, {"--display", "headless"}));
    ASSERT_TRUE(testproc::read_until(a, kBanner, 20000)) << a.errText;
    ASSERT_TRUE(Run(b, {"--display", "headless", "--profile", other}));
    ASSERT_TRUE(testproc::read_until(b, kBanner, 20000)) << b.errText;
    // Each is reached through its own profile.
    std::string err;
    EXPECT_EQ(RunToEnd({"--post", "101", "--profile", other}, nullptr, &err), 0) << err;
    EXPECT_EQ(testproc::wait_exit(b, 10000), 0);
    EXPECT_EQ(RunToEnd({"--post", "101"}), 0);
    EXPECT_EQ(testproc::wait_exit(a, 10000), 0);
    EXPECT_EQ(a.errText.find("Sanitizer"), std::string::npos) << a.errText;
    EXPECT_EQ(b.errText.find("Sanitizer"), std::string::npos) << b.errText;
}

TEST_F(StationTest, StoppingSignalRemovesTheNamespaceSocket)
{
    testproc::Child tool;
    ASSERT_TRUE(Run(tool, {"--display", "headless", "--debug", "off"}));
    ASSERT_TRUE(testproc::read_until(tool, kBanner, 20000));
    struct stat st;
    ASSERT_EQ(stat((dir_ + "/rt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(SocketCount(), 1);
    kill(tool.pid, SIGTERM);
    EXPECT_EQ(testproc::wait_exit(tool, 10000), 128 + SIGTERM);
    EXPECT_EQ(SocketCount(), 0);
}

// ---------------------------------------------------------------------------
// The command line
// ---------------------------------------------------------------------------
TEST_F(StationTest, BadProfileIsRefusedWithItsFileAndLine)
{
    std::string bad =
        WriteProfile("bad.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"warp\"\n");
    std::string out, err;
    EXPECT_EQ(RunToEnd({"--display", "headless", "--profile", bad}, &out, &err), 2);
    EXPECT_NE(err.find("bad.reg:4:"), std::string::npos) << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(RunToEnd({"--profile", dir_ + "/missing.reg"}, nullptr, &err), 2);
    EXPECT_NE(err.find("missing.reg"), std::string::npos) << err;
}

TEST_F(StationTest, OptionsAreCheckedAndDocumented)
{
    std::string out, err;
    EXPECT_EQ(RunToEnd({"--help"}, &out), 0);
    for (const char* s : {"--profile FILE", "--display terminal|headless", "--debug stderr|FILE|off", "--post ID",
                          "--station", "--timeout SECONDS", "Exit status:", "  255  ", "  7    the time limit"})
        EXPECT_NE(out.find(s), std::string::npos) << s;
    EXPECT_EQ(RunToEnd({"--version"}, &out), 0);
    EXPECT_EQ(out, "fwutil 4.5.0\nembedded firmware: stand-in images (--firmware chooses a set)\n");
    struct
    {
        std::vector<std::string> args;
        const char* says;
    } bad[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--display", "paper"}, "--display takes terminal or headless"},
        {{"--post", "70000"}, "--post takes a command id"},
        {{"--post"}, "--post needs a value"},
        {{"--timeout", "5"}, "--timeout and --attempts are for --station"},
        {{"--station", "--timeout", "0"}, "--timeout takes a number of seconds"},
        {{"--station", "--display", "terminal"}, "--station runs headless"},
        {{"--station", "--post", "1"}, "--post and --station do not go together"},
    };
    for (auto& b : bad)
    {
        EXPECT_EQ(RunToEnd(b.args, &out, &err), 2) << b.says;
        EXPECT_NE(err.find(b.says), std::string::npos) << err;
    }
    // Asked for explicitly, the terminal display is refused without a terminal.
    EXPECT_EQ(RunToEnd({"--display", "terminal"}, &out, &err), 2);
    EXPECT_NE(err.find("cannot use the terminal display"), std::string::npos) << err;
}

} // namespace
