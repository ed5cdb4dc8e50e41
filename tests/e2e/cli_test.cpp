// The fwutil command line as a technician meets it: each refusal with its own
// message and status 2, strict numbers, profiles found by name, files that
// would hang the start refused at once, --port and --peer standing behind the
// profile's names (and making a device of their own), what a running tool
// answers and shows, closed standard descriptors.
#include "tests/e2e/tool_run.h"

#include "platform/kernel/debug.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/file.h>

namespace
{

class Cli : public toolrun::ToolTest
{
protected:
    // fwutil with args, in this test's own runtime, state and config folders.
    toolrun::Result Run(std::vector<std::string> args, std::vector<std::string> env = {}, int limitMs = 30000)
    {
        toolrun::Invocation call;
        call.argv = {fwutil_};
        call.argv.insert(call.argv.end(), args.begin(), args.end());
        // The caller's changes replace these.
        for (std::string base : {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state",
                                 "XDG_CONFIG_HOME=" + dir_ + "/config"})
        {
            std::string name = base.substr(0, base.find('='));
            if (std::none_of(env.begin(), env.end(),
                             [&](const std::string& e) { return e.substr(0, e.find('=')) == name; }))
                call.env.push_back(base);
        }
        call.env.insert(call.env.end(), env.begin(), env.end());
        call.limitMs = limitMs;
        return toolrun::run(call);
    }
};

// ---------------------------------------------------------------------------
// Conventions
// ---------------------------------------------------------------------------
TEST_F(Cli, EachRefusalHasItsOwnMessageAndStatus2)
{
    // argv                                        stderr says
    const struct
    {
        std::vector<std::string> args;
        std::string says;
    } rows[] = {
        {{"--bogus"}, "fwutil: unknown option '--bogus'"},
        {{"--bogus=1"}, "fwutil: unknown option '--bogus'"},
        {{"-x"}, "fwutil: unknown option '-x'"},
        {{"stray"}, "fwutil: unexpected argument 'stray'"},
        {{"--station", "--", "-q"}, "fwutil: unexpected argument '-q'"},
        {{"--p"}, "fwutil: ambiguous option '--p' (--profile, --port, --peer, --post)"},
        {{"--post"}, "fwutil: --post needs a value"},
        {{"-p"}, "fwutil: --port needs a value"},
        {{"--station=yes"}, "fwutil: --station takes no value"},
        {{"--display", "paper"}, "fwutil: --display takes terminal or headless, not 'paper'"},
        {{"--profile", ""}, "fwutil: --profile needs a profile file or name, not ''"},
        {{"--port", ""}, "fwutil: --port needs the path of a tty, not ''"},
        {{"--peer", ""}, "fwutil: --peer needs the path of a tty, not ''"},
        {{"--debug", ""}, "fwutil: --debug needs stderr, off or a file, not ''"},
        {{"--station", "--report", ""}, "fwutil: --report needs a file, not ''"},
        {{"--timeout", "5"}, "fwutil: --timeout and --attempts are for --station"},
        {{"--report", "r.json"}, "fwutil: --report is for --station"},
        {{"--ledger", "l.jsonl"}, "fwutil: --ledger is for --station"},
        {{"--ledger-summary", "l.jsonl", "--station"}, "fwutil: --ledger-summary reads a ledger and exits"},
        {{"-q"}, "fwutil: -q is for --station"},
        {{"--quiet"}, "fwutil: -q is for --station"},
        {{"--station", "--display", "terminal"}, "fwutil: --station runs headless"},
        {{"--station", "--post", "1"}, "fwutil: --post and --station do not go together"},
        {{"--station", "--report", "/no/such/folder/r.json"}, "fwutil: cannot write the record: /no/such/folder"},
        // The temporary record is made at start: root passes access() here.
        {{"--station", "--report", "/sys/r.json"}, "fwutil: cannot write the record: /sys: cannot make the record's"},
        {{"--station", "--report", dir_ + "/open/r.json"},
         "fwutil: cannot write the record: " + dir_ + "/open: writable by group or others (mode 0777)"},
    };
    ASSERT_EQ(mkdir((dir_ + "/open").c_str(), 0700), 0);
    ASSERT_EQ(chmod((dir_ + "/open").c_str(), 0777), 0);
    for (const auto& row : rows)
    {
        toolrun::Result r = Run(row.args);
        std::string what = row.args.empty() ? "" : row.args[0];
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.err.rfind(row.says, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << "one line: " << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Cli, HelpAndVersionInBothForms)
{
    for (const char* flag : {"-h", "--help"})
    {
        toolrun::Result r = Run({flag});
        EXPECT_EQ(r.status, 0) << flag;
        EXPECT_EQ(r.out.rfind("Usage: fwutil [OPTION]...\n", 0), 0u) << flag;
        for (const char* s : {"  -p, --port PATH", "  -q, --quiet", "  -V, --version", "      --report FILE",
                              "      --peer PATH", "Exit status:", "  10   the port was not found"})
            EXPECT_NE(r.out.find(s), std::string::npos) << s;
        EXPECT_EQ(r.err, "");
    }
    toolrun::Result a = Run({"-V"});
    toolrun::Result b = Run({"--version"});
    EXPECT_EQ(a.status, 0);
    EXPECT_TRUE(std::regex_match(a.out, std::regex("fwutil \\d+\\.\\d+\\.\\d+\nembedded firmware: .+\n"))) << a.out;
    EXPECT_EQ(a.out, b.out);
}

TEST_F(Cli, NumbersAreDigitsOnlyAndInRange)
{
    // option          values refused
    const struct
    {
        const char* option;
        const char* says;
    } options[] = {
        {"--timeout", "--timeout takes a number of seconds from 1 to 604800, not '"},
        {"--attempts", "--attempts takes a number from 1 to 100000, not '"},
        {"--post", "--post takes a command id from 0 to 65535, not '"},
    };
    const char* refused[] = {" 5", "+120", "5x", "", "-1", "0x10", "5 ", "1e3", "99999999999999999999", "700000"};
    for (const auto& o : options)
    {
        for (const char* value : refused)
        {
            std::vector<std::string> args = {o.option, value};
            if (std::string(o.option) != "--post")
                args.insert(args.begin(), "--station");
            toolrun::Result r = Run(args);
            EXPECT_EQ(r.status, 2) << o.option << " '" << value << "'";
            EXPECT_NE(r.err.find(std::string(o.says) + value + "'"), std::string::npos) << r.err;
        }
    }
    // In range, with leading zeros: taken (nothing runs to post to).
    toolrun::Result r = Run({"--post", "00120"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no tool runs on the profile built-in"), std::string::npos) << r.err;
}

TEST_F(Cli, PostingAnIdNoCommandHasWarns)
{
    // id      warned
    const struct
    {
        const char* id;
        bool warned;
    } rows[] = {{"999", true}, {"0", true}, {"118", false}, {"101", false}, {"1", false}};
    for (const auto& row : rows)
    {
        toolrun::Result r = Run({"--post", row.id});
        EXPECT_EQ(r.status, 2) << row.id; // nothing runs: the post itself is still tried
        std::string warning = std::string("fwutil: warning: no command has id ") + row.id;
        EXPECT_EQ(r.err.find(warning) != std::string::npos, row.warned) << r.err;
        EXPECT_NE(r.err.find("no tool runs"), std::string::npos) << r.err;
    }
}

// ---------------------------------------------------------------------------
// Profiles
// ---------------------------------------------------------------------------
TEST_F(Cli, ProfileByNameIsLookedUpInTheConfigurationFolder)
{
    const std::string withReg = Write("config/fwutil/bench.reg", DefaultProfile());
    const std::string plain = Write("config/fwutil/plain", DefaultProfile());
    Write("bench.reg", "not a profile"); // a file of that name here is not taken by name
    // --profile     found at
    const struct
    {
        std::string name;
        std::string found;
    } rows[] = {{"bench", withReg}, {"bench.reg", withReg}, {"plain", plain}};
    for (const auto& row : rows)
    {
        toolrun::Result r = Run({"--post", "101", "--profile", row.name});
        EXPECT_EQ(r.status, 2) << row.name;
        EXPECT_NE(r.err.find("no tool runs on the profile " + row.found + "\n"), std::string::npos) << r.err;
    }
    toolrun::Result missing = Run({"--post", "101", "--profile", "nope"});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("no profile named 'nope' in " + dir_ + "/config/fwutil, /etc/fwutil"), std::string::npos)
        << missing.err;
    // Without XDG_CONFIG_HOME: ~/.config/fwutil.
    toolrun::Result home = Run({"--post", "101", "--profile", "bench"}, {"XDG_CONFIG_HOME", "HOME=" + dir_ + "/h"});
    EXPECT_NE(home.err.find("no profile named 'bench' in " + dir_ + "/h/.config/fwutil, /etc/fwutil"),
              std::string::npos)
        << home.err;
}

// A profile's "cmd:" controls run as whoever loads it: a profile, or a folder
// above it, that another user owns or that group or others can write is
// refused with the offending path, found by name or given as a file.
TEST_F(Cli, ProfileAnotherUserCouldChangeIsRefusedWithItsReason)
{
    uid_t other = 0;
    gid_t otherGroup = 0;
    std::string why;
    const bool haveOther = toolrun::second_user(&other, &otherGroup, &why);
    // file                         file mode  folder mode  file owner  --profile  reason
    const struct
    {
        const char* file;
        mode_t fileMode;
        mode_t folderMode;
        bool otherOwns;
        const char* profile;
        std::string reason;
    } rows[] = {
        {"config/fwutil/open.reg", 0666, 0700, false, "open",
         "/config/fwutil/open.reg: writable by group or others (mode 0666)"},
        {"config/fwutil/group.reg", 0620, 0700, false, "group",
         "/config/fwutil/group.reg: writable by group or others (mode 0620)"},
        {"shared/bench.reg", 0644, 0777, false, "shared/bench.reg", "/shared: writable by group or others (mode 0777)"},
        {"theirs/bench.reg", 0644, 0755, true, "theirs/bench.reg", "/theirs/bench.reg: owned by user "},
    };
    for (const auto& row : rows)
    {
        if (row.otherOwns && !haveOther)
        {
            ADD_FAILURE() << "no second user: " << why;
            continue;
        }
        const std::string path = Write(row.file, DefaultProfile());
        const std::string folder = path.substr(0, path.rfind('/'));
        ASSERT_EQ(chmod(path.c_str(), row.fileMode), 0);
        ASSERT_EQ(chmod(folder.c_str(), row.folderMode), 0);
        if (row.otherOwns)
        {
            ASSERT_EQ(chown(path.c_str(), other, otherGroup), 0);
        }
        const std::string profile = strchr(row.profile, '/') != nullptr ? dir_ + "/" + row.profile : row.profile;
        toolrun::Result r = Run({"--post", "101", "--profile", profile});
        EXPECT_EQ(r.status, 2) << row.file;
        EXPECT_EQ(r.err.rfind("fwutil: profile refused: " + path + ":0: not trusted: " + dir_ + row.reason, 0), 0u)
            << r.err;
    }
}

TEST_F(Cli, FifoOrFolderForProfileOrDebugIsRefusedAtOnce)
{
    // A FIFO nobody reads would block an open for writing; one with a reader
    // opens at once: both are refused.
    const std::string lone = dir_ + "/lone-fifo";
    ASSERT_EQ(mkfifo(lone.c_str(), 0600), 0);
    const std::string read = dir_ + "/read-fifo";
    ASSERT_EQ(mkfifo(read.c_str(), 0600), 0);
    int reader = open(read.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    // args                                                         says
    const struct
    {
        std::vector<std::string> args;
        const char* says;
    } rows[] = {
        {{"--profile", lone, "--post", "101"}, "a FIFO (refused: a profile is a regular file)"},
        {{"--profile", dir_, "--post", "101"}, "a folder (refused: a profile is a regular file)"},
        {{"--display", "headless", "--debug", lone}, "a FIFO or socket nobody reads"},
        {{"--display", "headless", "--debug", read}, "a FIFO (refused"},
        {{"--station", "--debug", read}, "a FIFO (refused"},
    };
    for (const auto& row : rows)
    {
        toolrun::Result r = Run(row.args, {}, 10000);
        EXPECT_EQ(r.status, 2) << row.args[1] << " " << row.args[0];
        EXPECT_LT(r.ms, 5000);
        EXPECT_NE(r.err.find(row.says), std::string::npos) << r.err;
    }
    close(reader);
}

// ---------------------------------------------------------------------------
// --port and --peer
// ---------------------------------------------------------------------------
TEST_F(Cli, PortAndPeerStandBehindTheProfilesNames)
{
    const std::string log = dir_ + "/trace.log";
    const std::string port = dir_ + "/no-such-tty";
    toolrun::Result r =
        Run({"--station", "--port", port, "--peer", "/dev/peer0", "--debug", log, "--firmware", "standin"});
    EXPECT_EQ(r.status, 10) << r.err;
    EXPECT_NE(r.err.find("fwutil: result: not-found, port " + port + ", "), std::string::npos) << r.err;
    std::string trace = toolrun::read_file(log);
    // The run's header: the version, the profile, the ports.
    EXPECT_TRUE(
        std::regex_search(trace, std::regex("^\\S+ \\S+ ==== fwutil \\d+\\.\\d+\\.\\d+, pid \\d+, started "
                                            "\\d{4}-\\d\\d-\\d\\dT[0-9:.]+Z ====\n\\S+ \\S+ profile: built-in\n")))
        << trace;
    EXPECT_NE(trace.find(" ports: COM1:=" + port + " COM3:=/dev/peer0 COM4:=/dev/peer0 COM5:=/dev/peer0 RIL1:="),
              std::string::npos)
        << trace;
    // Without them the profile's own devices stand.
    r = Run({"--station", "--debug", log, "--timeout", "1"});
    trace = toolrun::read_file(log);
    EXPECT_NE(trace.find(" ports: COM1:=sim COM3:=pty COM4:=pty COM5:=pty RIL1:=sim-reset"), std::string::npos)
        << trace;
}

// The run's header names what stands behind "RIL1:" as the profile says it.
TEST_F(Cli, RunHeaderDescribesTheRadioDriverAsTheProfileHasIt)
{
    // "RIL1:" in the profile         the header's word for it
    const struct
    {
        const char* ril;
        const char* header;
    } rows[] = {
        {"none", " RIL1:=none\n"},
        {"cmd:true", " RIL1:=cmd:true\n"},
        {"lines:COM1:dtr:low:100", " RIL1:=lines:COM1:dtr:low:100\n"},
    };
    for (const auto& row : rows)
    {
        std::string profile = DefaultProfile();
        profile = std::regex_replace(profile, std::regex("\"RIL1:\"=\"[^\"]*\""),
                                     std::string("\"RIL1:\"=\"") + row.ril + "\"");
        std::string path = Write("ril.reg", profile);
        const std::string log = dir_ + "/trace.log";
        unlink(log.c_str());
        toolrun::Result r = Run(
            {"--station", "--profile", path, "--port", dir_ + "/no-such-tty", "--firmware", "standin", "--debug", log});
        EXPECT_EQ(r.status, 10) << r.err;
        std::string trace = toolrun::read_file(log);
        EXPECT_NE(trace.find(row.header), std::string::npos) << row.ril << ": " << trace;
    }
}

// One profile, two adapters: two devices, two tools side by side, each
// reached through its own --port.
TEST_F(Cli, PortMakesADeviceOfItsOwn)
{
    const std::string profile = Write("adapters.reg", DefaultProfile());
    testproc::Child a, b;
    auto start = [&](testproc::Child& c, const std::string& port)
    {
        return testproc::spawn(c,
                               {fwutil_, "--display", "headless", "--debug", "off", "--profile", profile, "--port",
                                dir_ + "/" + port},
                               {"FWU_RUNTIME_DIR=" + dir_ + "/rt"}) &&
               testproc::read_until(c, "Firmware Version", 20000);
    };
    ASSERT_TRUE(start(a, "ttyA")) << a.errText;
    ASSERT_TRUE(start(b, "ttyB")) << b.errText;
    toolrun::Result same =
        Run({"--display", "headless", "--debug", "off", "--profile", profile, "--port", dir_ + "/ttyA"});
    EXPECT_EQ(same.status, 255) << same.err;
    // It says so, naming the tool that runs, which it brought to the front.
    EXPECT_NE(same.err.find("a tool already runs for this device (pid " + std::to_string(a.pid) +
                            "); it was brought to the front"),
              std::string::npos)
        << same.err;
    EXPECT_EQ(Run({"--post", "101", "--profile", profile, "--port", dir_ + "/ttyB"}).status, 0);
    EXPECT_EQ(testproc::wait_exit(b, 10000), 0);
    EXPECT_EQ(Run({"--post", "101", "--profile", profile, "--port", dir_ + "/ttyA"}).status, 0);
    EXPECT_EQ(testproc::wait_exit(a, 10000), 0);
}

// ---------------------------------------------------------------------------
// A running tool, as a technician reaches it
// ---------------------------------------------------------------------------
class RunningTool : public Cli
{
protected:
    // The tool on the built-in profile, headless, its trace on stderr.
    bool StartTool()
    {
        return testproc::spawn(tool_, {fwutil_, "--display", "headless", "--debug", "stderr"},
                               {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state"}) &&
               testproc::read_until(tool_, "Firmware Version", 20000);
    }
    int Quit()
    {
        EXPECT_EQ(Run({"--post", "101"}).status, 0);
        return testproc::wait_exit(tool_, 10000);
    }
    testproc::Child tool_;
};

TEST_F(RunningTool, PostedBridgeStartPrintsThePeerATerminalAttachesTo)
{
    ASSERT_TRUE(StartTool()) << tool_.errText;
    toolrun::Result r = Run({"--post", "153"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::smatch peer;
    ASSERT_TRUE(std::regex_match(r.out, peer, std::regex("bridge peer: (/dev/pts/[0-9]+)\n"))) << r.out << r.err;
    struct stat st;
    EXPECT_EQ(stat(peer[1].str().c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(Quit(), 0);
    // The pseudo-terminal the platform announced for the bridge's peer.
    EXPECT_NE(tool_.errText.find("COM3: is the pseudo-terminal " + peer[1].str() + "\n"), std::string::npos)
        << tool_.errText;
}

TEST_F(RunningTool, AboutBoxShowsTheVersionUnderItsText)
{
    toolrun::Result version = Run({"--version"});
    ASSERT_EQ(version.status, 0);
    ASSERT_TRUE(StartTool()) << tool_.errText;
    EXPECT_EQ(Run({"--post", "120"}).status, 0);
    EXPECT_TRUE(testproc::read_until(tool_, "FFUART fwutil", 10000)) << tool_.outText;
    EXPECT_EQ(Quit(), 0);
    EXPECT_NE(tool_.outText.find("[dialog] About: Tandrel - Written for Vela to update phone module firmware and "
                                 "transmit data between BTUART and FFUART " +
                                 version.out.substr(0, version.out.find('\n')) + ", firmware stand-in images\n"),
              std::string::npos)
        << tool_.outText;
}

// ---------------------------------------------------------------------------
// Standard descriptors
// ---------------------------------------------------------------------------
TEST_F(Cli, ClosedStandardDescriptorsAreNotHandedToTheLog)
{
    toolrun::Invocation call;
    const std::string record = dir_ + "/record.json";
    call.argv = {fwutil_, "--station", "--report", record};
    call.env = {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state"};
    call.closeStdin = call.closeStdout = call.closeStderr = true;
    toolrun::Result r = toolrun::run(call);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(toolrun::read_file(record).find("\"outcome\": \"flashed\""), std::string::npos);
    // What was meant for stdout (the pane) and stderr (the result) went nowhere,
    // not into the log that took a free low descriptor.
    std::string log = toolrun::read_file(dir_ + "/state/fwutil/" + plat::debug_log_name("built-in", "sim"));
    EXPECT_NE(log.find("Device restart: the handheld goes down"), std::string::npos);
    EXPECT_EQ(log.find("[box] Successful"), std::string::npos);
    EXPECT_EQ(log.find("fwutil: result:"), std::string::npos);
    EXPECT_EQ(log.find("#######"), std::string::npos);
}

} // namespace
