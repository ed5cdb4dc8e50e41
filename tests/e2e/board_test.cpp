// The fwboard executable end to end, headless: a symbolic link made in the
// watched folder is a plug-in, its removal an unplug. Stations are a stand-in
// fwutil (a shell script, for the crash and hang cases and for holding a run
// open) or the real fwutil against fwsim's pty.
#include "tests/e2e/tool_run.h"
#include "tests/support/process_support.h"
#include "tests/support/pty.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// A stand-in fwutil: answers --check-firmware, and as a station acts on its
// port's name: crash* dies of SIGSEGV, hang* never ends, norecord* ends with
// status 0 and a result line but no record, hold* waits for a line on the
// fifo FAKE_DIR/fifo-NAME, chatty* writes a progress line every 0.5 s for 5 s
// and then flashes; every other one flashes at once. Each start is a line in
// FAKE_DIR/starts.
const char kFakeFwutil[] = R"(#!/bin/sh
case "$1" in
--check-firmware) printf 'source: folder\nname: line-set\nversion: 3.1\n'; exit 0 ;;
--help) echo "usage: fwutil"; exit 0 ;;
esac
while [ $# -gt 0 ]; do
    case "$1" in
    --port) port=$2; shift ;;
    --report) report=$2; shift ;;
    esac
    shift
done
name=${port##*/}
echo "$name" >>"$FAKE_DIR/starts"
echo "fwutil: phase image" >&2
case "$name" in
crash*) kill -SEGV $$ ;;
hang*) exec sleep 1000 ;;
norecord*) echo "fwutil: result: flashed, port $port, 0.1 s" >&2; exit 0 ;;
hold*) read -r _ <"$FAKE_DIR/fifo-$name" ;;
chatty*) for p in 10 20 30 40 50 60 70 80 90 100; do sleep 0.5; echo "fwutil: image $p%" >&2; done ;;
esac
printf '{\n  "port": "%s",\n  "outcome": "flashed",\n  "status": 0,\n  "reason": null\n}\n' "$port" >"$report"
echo "fwutil: result: flashed, port $port, 0.1 s" >&2
)";

class BoardTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        board_ = testproc::sibling_executable("fwboard");
        if (board_.empty())
            GTEST_SKIP() << "fwboard was not built next to the tests";
        ASSERT_FALSE(tmp_.path().empty());
        dir_ = tmp_.path();
        ASSERT_EQ(mkdir((dir_ + "/watch").c_str(), 0700), 0);
        fake_ = dir_ + "/fake-fwutil";
        std::ofstream(fake_) << kFakeFwutil;
        ASSERT_EQ(chmod(fake_.c_str(), 0700), 0);
    }

    // fwboard, headless, on this test's folder; extra options after ours.
    void Start(std::vector<std::string> extra)
    {
        std::vector<std::string> args = {board_,  "--headless",  "--watch",    dir_ + "/watch",
                                         "--out", dir_ + "/out", "--firmware", "standin"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(testproc::spawn(child_, args, {"FAKE_DIR=" + dir_}));
        ASSERT_TRUE(WaitFor("records and logs in ")) << child_.outText << child_.errText;
    }

    // fwboard on a terminal: the pty's slave as its stdin and stdout (a
    // shell puts it there and execs the board), TERM=xterm.
    void StartOnTerminal(const std::string& tty, std::vector<std::string> extra)
    {
        std::vector<std::string> args = {"/bin/sh", "-c",          "exec \"$0\" \"$@\" <" + tty + " >" + tty,
                                         board_,    "--watch",     dir_ + "/watch",
                                         "--out",   dir_ + "/out", "--firmware",
                                         "standin"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(testproc::spawn(child_, args, {"FAKE_DIR=" + dir_, "TERM=xterm"}));
    }
    // Reads what the terminal shows into screen, waiting at most ms for more.
    static void Drain(int master, std::string* screen, int ms)
    {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0)
            return;
        char buf[4096];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
            screen->append(buf, (size_t)n);
    }
    // Waits (bounded) until the terminal has shown text.
    static bool WaitOnTerminal(int master, std::string* screen, const std::string& text, int ms = 30000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (screen->find(text) == std::string::npos)
        {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            Drain(master, screen, 200);
        }
        return true;
    }

    // Waits (bounded) until stdout holds text count times.
    bool WaitFor(const std::string& text, int count = 1, int ms = 30000)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Count(child_.outText, text) < count)
        {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            testproc::pump(child_, 200);
        }
        return true;
    }
    static int Count(const std::string& text, const std::string& what)
    {
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
            n++;
        return n;
    }

    void Plug(const std::string& name, const std::string& target)
    {
        ASSERT_EQ(symlink(target.c_str(), (dir_ + "/watch/" + name).c_str()), 0) << name;
    }
    void Unplug(const std::string& name)
    {
        ASSERT_EQ(unlink((dir_ + "/watch/" + name).c_str()), 0) << name;
    }
    int Starts(const std::string& name)
    {
        std::ifstream in(dir_ + "/starts");
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line == name;
        return n;
    }
    // Ends the board with SIGTERM; its exit status.
    int Stop()
    {
        kill(child_.pid, SIGTERM);
        return testproc::wait_exit(child_, 30000);
    }

    testsupport::TempDir tmp_{"fwboard"};
    std::string dir_, board_, fake_;
    testproc::Child child_;
};

TEST_F(BoardTest, OneStationPerPlugInNoneOnAReplugWhileItRunsNoReflashUntilReplugged)
{
    testsupport::Pty pty;
    ASSERT_TRUE(pty.Open());
    ASSERT_EQ(mkfifo((dir_ + "/fifo-hold-a").c_str(), 0600), 0);
    Start({"--fwutil", fake_});
    Plug("hold-a", pty.path);
    ASSERT_TRUE(WaitFor("hold-a: start, pid ")) << child_.outText;
    ASSERT_TRUE(WaitFor("hold-a: phase image")) << child_.outText;
    Unplug("hold-a");
    ASSERT_TRUE(WaitFor("hold-a: unplugged while its station runs")) << child_.outText;
    Plug("hold-a", pty.path);
    ASSERT_TRUE(WaitFor("hold-a: plugged in again while its station runs: no second station")) << child_.outText;
    {
        std::ofstream release(dir_ + "/fifo-hold-a"); // the station's run ends
        release << "go\n";
    }
    ASSERT_TRUE(WaitFor("hold-a: flashed, after ")) << child_.outText;
    // A second adapter flashes meanwhile; the first, flashed and still present, is not started again.
    Plug("other-b", pty.path);
    ASSERT_TRUE(WaitFor("other-b: flashed, after ")) << child_.outText;
    EXPECT_EQ(Starts("hold-a"), 1);
    EXPECT_EQ(Count(child_.outText, "hold-a: start, pid "), 1);
    // Unplugged and plugged in again: flashed again.
    Unplug("other-b");
    ASSERT_TRUE(WaitFor("other-b: unplugged")) << child_.outText;
    Plug("other-b", pty.path);
    ASSERT_TRUE(WaitFor("other-b: flashed, after ", 2)) << child_.outText;
    EXPECT_EQ(Starts("other-b"), 2);
    EXPECT_EQ(Stop(), 0) << child_.errText;
    EXPECT_NE(child_.outText.find("ended: flashed 3  failed 0  running 0"), std::string::npos) << child_.outText;
}

// --only-new: an adapter present at start waits for a replug; one plugged in
// after the start is flashed at once.
TEST_F(BoardTest, OnlyNewFlashesAnAdapterPresentAtStartOnlyOnceReplugged)
{
    testsupport::Pty pty;
    ASSERT_TRUE(pty.Open());
    Plug("old-a", pty.path);
    Start({"--fwutil", fake_, "--only-new"});
    ASSERT_TRUE(WaitFor("old-a: present at start: not flashed (--only-new)")) << child_.outText;
    Plug("new-b", pty.path);
    ASSERT_TRUE(WaitFor("new-b: flashed, after ")) << child_.outText;
    EXPECT_EQ(Count(child_.outText, "old-a: start, pid "), 0) << child_.outText;
    Unplug("old-a");
    ASSERT_TRUE(WaitFor("old-a: unplugged")) << child_.outText;
    Plug("old-a", pty.path);
    ASSERT_TRUE(WaitFor("old-a: flashed, after ")) << child_.outText;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(Starts("old-a"), 1);
    EXPECT_EQ(Starts("new-b"), 1);
}

// The terminal table is drawn at most 10 times a second however fast events
// come: 400 plug-ins and unplugs about 1 ms apart, new starts paused. The
// board's closing line counts its draws and its time; each draw but the last
// comes at least 100 ms after the one before, whatever the load.
TEST_F(BoardTest, TerminalTableIsDrawnAtMostTenTimesASecond)
{
    testsupport::Pty tty, port;
    ASSERT_TRUE(tty.Open());
    ASSERT_TRUE(port.Open());
    struct winsize ws = {30, 100, 0, 0};
    ASSERT_EQ(ioctl(tty.master, TIOCSWINSZ, &ws), 0);
    ASSERT_NO_FATAL_FAILURE(StartOnTerminal(tty.path, {"--fwutil", fake_}));
    std::string screen;
    ASSERT_TRUE(WaitOnTerminal(tty.master, &screen, "no adapter yet")) << screen << child_.errText;
    ASSERT_EQ(write(tty.master, "p", 1), 1);
    ASSERT_TRUE(WaitOnTerminal(tty.master, &screen, "PAUSED")) << screen;
    for (int i = 0; i < 200; i++)
    {
        Plug("burst", port.path);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Unplug("burst");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Drain(tty.master, &screen, 0);
    }
    kill(child_.pid, SIGTERM);
    ASSERT_TRUE(WaitOnTerminal(tty.master, &screen, " times")) << screen;
    EXPECT_EQ(testproc::wait_exit(child_, 30000), 0) << child_.errText;
    // "... the board's CPU 0.01 s in 1.4 s (0.71 % of a core); the table drawn 9 times"
    size_t at = screen.find("ended: ");
    ASSERT_NE(at, std::string::npos) << screen;
    double wallS = 0;
    int draws = 0;
    ASSERT_EQ(sscanf(screen.c_str() + screen.find(" s in ", at), " s in %lf s", &wallS), 1) << screen.substr(at);
    ASSERT_EQ(sscanf(screen.c_str() + screen.find("drawn ", at), "drawn %d times", &draws), 1) << screen.substr(at);
    EXPECT_GE(draws, 2);
    EXPECT_LE(draws, (wallS + 0.05) * 10 + 2) << screen.substr(at);
}

// A crashed, a hung (silent for its time limit and the margin, 3 s) and a
// record-less station each fail on their own row; the stations beside them
// flash, one of them only after writing its progress for longer than 3 s.
TEST_F(BoardTest, CrashedSilentOrRecordlessStationFailsOnItsRowAndTheOthersGoOn)
{
    testsupport::Pty pty;
    ASSERT_TRUE(pty.Open());
    Start({"--fwutil", fake_, "--timeout", "1", "--margin", "2"});
    // clang-format off
    struct Row { const char* name; const char* ending; };
    const Row rows[] = {
        {"crash-a",    "crash-a: failed: crashed: killed by signal 11 (SIGSEGV)"},
        {"hang-b",     "hang-b: failed: hung: silent for 3 s (its time limit of 1 s and 2 s more); killed"},
        {"norecord-c", "norecord-c: failed: no-record: exit status 0, no record in "},
        {"ok-d",       "ok-d: flashed, after "},
        {"chatty-e",   "chatty-e: flashed, after "},
    };
    // clang-format on
    for (const Row& r : rows)
        Plug(r.name, pty.path);
    for (const Row& r : rows)
        EXPECT_TRUE(WaitFor(r.ending)) << r.name << "\n" << child_.outText;
    EXPECT_NE(child_.outText.find("; its result line said flashed"), std::string::npos) << child_.outText;
    EXPECT_EQ(Stop(), 0);
    EXPECT_NE(child_.outText.find("ended: flashed 2  failed 3  running 0"), std::string::npos) << child_.outText;
    for (const Row& r : rows)
        EXPECT_EQ(Starts(r.name), 1) << r.name;
}

// The real fwutil against fwsim: flashed on plug-in, its record and log name
// its own port, and flashed again only after a replug.
TEST_F(BoardTest, RealStationFlashesOnPlugInAndAgainAfterAReplug)
{
    toolrun::Fwsim sim;
    ASSERT_TRUE(sim.Start()) << sim.child.errText;
    const std::string profile = dir_ + "/fwsim.reg";
    std::ofstream(profile) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
                              "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:/dev/fwutil-not-this-one\"\n"
                              "\"RIL1:\"=\"cmd:kill -USR1 "
                           << sim.child.pid << "\"\n";
    ASSERT_EQ(chmod(profile.c_str(), 0600), 0);
    Start({"--profile", profile});
    ASSERT_NE(child_.outText.find("firmware stand-in images"), std::string::npos) << child_.outText;
    Plug("usb-adapter-1", sim.path);
    ASSERT_TRUE(WaitFor("usb-adapter-1: flashed, after ", 1, 60000)) << child_.outText;
    Unplug("usb-adapter-1");
    ASSERT_TRUE(WaitFor("usb-adapter-1: unplugged")) << child_.outText;
    Plug("usb-adapter-1", sim.path);
    ASSERT_TRUE(WaitFor("usb-adapter-1: flashed, after ", 2, 60000)) << child_.outText;
    EXPECT_EQ(Stop(), 0);
    EXPECT_NE(sim.Stop().find("image ok/fail    2 / 0"), std::string::npos) << sim.child.outText;
    // Each run's record and log, in the folder the board named.
    const std::string tag = "usb-adapter-1: start, pid ";
    size_t at = child_.outText.find(", record ", child_.outText.find(tag));
    ASSERT_NE(at, std::string::npos);
    std::string record = child_.outText.substr(at + 9, child_.outText.find(", log ", at) - at - 9);
    std::ifstream in(record);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("\"port\": \"" + dir_ + "/watch/usb-adapter-1\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"outcome\": \"flashed\""), std::string::npos) << text;
}

// SIGTERM while a station sends its image: the station is stopped (fwutil
// ends interrupted and writes its record), the board waits for it and ends.
TEST_F(BoardTest, SigtermStopsTheRunningStationsWhichWriteTheirRecords)
{
    toolrun::Fwsim sim;
    sim.child.pid = -1;
    std::string exe = testproc::self_dir() + "/../fwsim";
    ASSERT_TRUE(testproc::spawn(sim.child, {exe, "--pty", "--baud", "115200"}, {}));
    ASSERT_TRUE(testproc::read_until(sim.child, "\n", 10000));
    std::string path = sim.child.outText.substr(15, sim.child.outText.find('\n') - 15);
    const std::string profile = dir_ + "/fwsim.reg";
    std::ofstream(profile) << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"none\"\n";
    ASSERT_EQ(chmod(profile.c_str(), 0600), 0);
    Start({"--profile", profile});
    Plug("usb-adapter-2", path);
    ASSERT_TRUE(WaitFor("usb-adapter-2: phase image", 1, 60000)) << child_.outText;
    EXPECT_EQ(Stop(), 0) << child_.errText;
    EXPECT_NE(child_.outText.find("usb-adapter-2: failed: interrupted: stopped by signal 15 (TERM)"), std::string::npos)
        << child_.outText;
    EXPECT_NE(child_.outText.find("ended: flashed 0  failed 1  running 0"), std::string::npos) << child_.outText;
    sim.Stop();
}

} // namespace
