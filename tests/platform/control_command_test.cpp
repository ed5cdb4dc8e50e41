// Tests of an outside command behind "RIL1:" ("cmd:COMMAND"): it is kept
// apart from the tool (a session of its own, stdin /dev/null, no descriptor
// of the tool, output into the debug output), its whole process group is
// stopped at the time limit (SIGTERM, then SIGKILL), it is told which adapter
// it is for (FWU_PORT, FWU_DEVICE), and an empty command is refused with its
// own reason.
#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/text.h"
#include "platform/profile/profile.h"
#include "platform/win32.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr DWORD kLimitMs = 400;  // the command's time limit in these tests
constexpr DWORD kGraceMs = 1000; // SIGTERM -> SIGKILL, as the platform has it

class ControlCommand : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        plat::ril_set_command_limit_ms(kLimitMs);
    }
    void TearDown() override
    {
        pid_t child = ReadPid("child");
        if (child > 0)
            kill(child, SIGKILL);
        plat::debug_capture_end();
    }

    // Loads a profile whose "RIL1:" runs command (and whose "COM1:" is
    // module, when given) and opens it.
    HANDLE OpenCommand(const std::string& command, const std::string& module = "")
    {
        std::string quoted; // a .reg string escapes backslashes and quotes
        for (char c : command)
        {
            if (c == '\\' || c == '"')
                quoted += '\\';
            quoted += c;
        }
        std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"cmd:" + quoted + "\"\n";
        if (!module.empty())
            text += "\"COM1:\"=\"" + module + "\"\n";
        std::string error;
        EXPECT_TRUE(plat::profile_load_text(text, "control-test.reg", &error)) << error;
        return CreateFileW(u"RIL1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }

    static BOOL Reset(HANDLE h)
    {
        DWORD returned = 0;
        return DeviceIoControl(h, plat::kIoctlRilReset, nullptr, 0, nullptr, 0, &returned, nullptr);
    }

    std::string Path(const char* name) const
    {
        return dir_ + "/" + name;
    }

    std::string ReadFile(const char* name) const
    {
        std::ifstream in(Path(name));
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    pid_t ReadPid(const char* name) const
    {
        return (pid_t)atol(ReadFile(name).c_str());
    }

    testsupport::TempDir tmp_{"fwu-cmd"};
    std::string dir_ = tmp_.path();
};

// Gone, or a zombie nobody has reaped yet: either way it runs no more.
bool ProcessEnded(pid_t pid, int waitMs)
{
    auto deadline = Clock::now() + milliseconds(waitMs);
    for (;;)
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t paren = stat.rfind(')');
        if (stat.empty() || paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0)
            return true;
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
}

// Points stdout and stderr at a fresh pipe for as long as it lives; what was
// written to them meanwhile is what the pipe holds.
class CapturedStdio
{
public:
    CapturedStdio()
    {
        fflush(nullptr);
        if (pipe2(pipe_, O_CLOEXEC) != 0)
            return;
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        dup2(pipe_[1], 1);
        dup2(pipe_[1], 2);
        close(pipe_[1]);
        pipe_[1] = -1;
    }
    // Gives stdout and stderr back; returns the read end (EOF once nobody
    // else holds the write end).
    int Restore()
    {
        fflush(nullptr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        savedOut_ = savedErr_ = -1;
        return pipe_[0];
    }
    ~CapturedStdio()
    {
        if (savedOut_ >= 0)
            Restore();
        close(pipe_[0]);
    }

private:
    int pipe_[2] = {-1, -1};
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// Whether fd reaches its end within ms (data before it is read and counted).
bool ReachesEof(int fd, int ms, std::string* data)
{
    auto deadline = Clock::now() + milliseconds(ms);
    for (;;)
    {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, (int)left) <= 0)
            return false;
        char buffer[256];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            return n == 0;
        data->append(buffer, (size_t)n);
    }
}

// ---------------------------------------------------------------------------
// The time limit
// ---------------------------------------------------------------------------
struct LimitCase
{
    const char* name;
    const char* command; // records the pid of a process it starts in "child"
    bool termSeen;       // the group's trap records SIGTERM in "term"
    bool needsKill;      // the group ignores SIGTERM: it ends only at SIGKILL
};

// clang-format off
// name                    command (DIR: the test's folder)                                                   termSeen needsKill
static const LimitCase kLimitCases[] = {
    {"JobOfTheShell",      "sleep 60 & echo $! > DIR/child; wait",                                              false, false},
    {"TermComesFirst",     "trap 'echo term > DIR/term; exit 7' TERM; sleep 60 & echo $! > DIR/child; wait",   true,  false},
    {"TermIgnored",        "trap '' TERM; sleep 60 & echo $! > DIR/child; wait",                                false, true},
};
// clang-format on

TEST_F(ControlCommand, AtTheLimitTheWholeProcessGroupIsStopped)
{
    for (const LimitCase& c : kLimitCases)
    {
        SCOPED_TRACE(c.name);
        unlink(Path("child").c_str());
        unlink(Path("term").c_str());
        std::string command = c.command;
        for (size_t at; (at = command.find("DIR")) != std::string::npos;)
            command.replace(at, 3, dir_);
        HANDLE h = OpenCommand(command);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        auto start = Clock::now();
        SetLastError(0);
        EXPECT_FALSE(Reset(h));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT);
        auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        EXPECT_GE(took, (long)kLimitMs);
        EXPECT_LT(took, (long)(kLimitMs + kGraceMs + 2000));
        if (c.needsKill)
        {
            EXPECT_GE(took, (long)(kLimitMs + kGraceMs - 100)); // SIGKILL only after the grace
        }
        pid_t child = ReadPid("child");
        ASSERT_GT(child, 0) << "the command did not record its job";
        EXPECT_TRUE(ProcessEnded(child, 2000)) << "the command's job " << child << " outlived the limit";
        if (c.termSeen)
        {
            EXPECT_EQ(ReadFile("term"), "term\n");
        }
        kill(child, SIGKILL);
        CloseHandle(h);
    }
}

// A command that writes without pause, or a job it leaves doing so, keeps
// neither the control nor the tool waiting; its output is taken up to a cap.
TEST_F(ControlCommand, OutputWithoutPauseKeepsNobodyWaiting)
{
    struct Row
    {
        const char* command;
        BOOL ok;
        DWORD error;
    };
    // command                      result  error
    static const Row kRows[] = {
        {"yes", FALSE, ERROR_TIMEOUT},
        {"yes & sleep 0.2; exit 0", TRUE, 0},
    };
    for (const Row& row : kRows)
    {
        SCOPED_TRACE(row.command);
        HANDLE h = OpenCommand(row.command);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        plat::debug_capture_begin();
        auto start = Clock::now();
        SetLastError(0);
        EXPECT_EQ(Reset(h), row.ok);
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(),
                  (long)(kLimitMs + kGraceMs + 2000));
        auto lines = plat::debug_capture_take();
        plat::debug_capture_end();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), u"RIL1: (more output dropped)\r\n"), 1);
        EXPECT_LT(lines.size(), 10000u);
        CloseHandle(h);
    }
}

// ---------------------------------------------------------------------------
// Kept apart from the tool
// ---------------------------------------------------------------------------
TEST_F(ControlCommand, RunsInASessionOfItsOwnWithStdinFromDevNull)
{
    HANDLE h = OpenCommand("cat /proc/self/stat > " + dir_ + "/stat; readlink /proc/self/fd/0 > " + dir_ + "/stdin");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(Reset(h));
    // pid (comm) state ppid pgrp session tty_nr
    std::string stat = ReadFile("stat");
    size_t paren = stat.rfind(')');
    ASSERT_NE(paren, std::string::npos) << stat;
    std::istringstream fields(stat.substr(paren + 2));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0, tty = -1;
    fields >> state >> ppid >> pgrp >> session >> tty;
    EXPECT_NE(session, (long)getsid(0)) << "the command shares the tool's session (and its terminal)";
    EXPECT_EQ(session, pgrp); // its shell leads the session and the group
    EXPECT_EQ(session, ppid); // ... and is cat's parent
    EXPECT_EQ(tty, 0);        // no controlling terminal
    EXPECT_EQ(ReadFile("stdin"), "/dev/null\n");
    CloseHandle(h);
}

TEST_F(ControlCommand, OutputGoesToTheDebugOutputNotToTheToolsStdoutOrStderr)
{
    HANDLE h = OpenCommand("echo out-line; echo err-line >&2; printf 'cr-line\\r\\nno newline'");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    plat::debug_capture_begin();
    CapturedStdio stdio;
    BOOL ok = Reset(h);
    int readEnd = stdio.Restore();
    EXPECT_TRUE(ok);
    std::string leaked;
    EXPECT_TRUE(ReachesEof(readEnd, 2000, &leaked));
    EXPECT_EQ(leaked, "");
    std::vector<std::string> lines;
    for (const std::u16string& l : plat::debug_capture_take())
        lines.push_back(plat::utf16_to_utf8(l));
    std::vector<std::string> expected = {"RIL1: out-line\r\n", "RIL1: err-line\r\n", "RIL1: cr-line\r\n",
                                         "RIL1: no newline\r\n"};
    EXPECT_EQ(lines, expected);
    CloseHandle(h);
}

TEST_F(ControlCommand, WhatTheCommandLeavesRunningHoldsNoDescriptorOfTheTool)
{
    // A descriptor of the tool without O_CLOEXEC, as a careless library
    // might leave one, must not reach the command either.
    int loose[2];
    ASSERT_EQ(pipe(loose), 0);
    HANDLE h = OpenCommand("sleep 5 & echo $! > " + dir_ + "/child; exit 0");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CapturedStdio stdio;
    auto start = Clock::now();
    BOOL ok = Reset(h);
    int readEnd = stdio.Restore();
    EXPECT_TRUE(ok);
    EXPECT_LT(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count(), 2000);
    close(loose[1]);
    std::string data;
    EXPECT_TRUE(ReachesEof(readEnd, 1000, &data)) << "the job left running holds the tool's stdout or stderr";
    EXPECT_TRUE(ReachesEof(loose[0], 1000, &data)) << "the job left running holds a descriptor of the tool";
    pid_t child = ReadPid("child");
    ASSERT_GT(child, 0);
    EXPECT_FALSE(ProcessEnded(child, 0)); // it does run on: only the tool's descriptors are kept from it
    close(loose[0]);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Which adapter
// ---------------------------------------------------------------------------
struct AdapterCase
{
    const char* module; // "COM1:" (DIR: the test's folder)
    const char* port;   // FWU_PORT the command sees, "unset" for none
    const char* device; // FWU_DEVICE
};

// DIR/node stands for the adapter's device node, DIR/alias for another name
// of it; DIR/by-id holds the stable names (one of another node, first by name).
// clang-format off
// module                          port                       device
static const AdapterCase kAdapterCases[] = {
    {"tty:DIR/by-id/usb-Adapter-7", "DIR/by-id/usb-Adapter-7", "DIR/by-id/usb-Adapter-7"},
    {"tty:DIR/node",                "DIR/node",                "DIR/by-id/usb-Adapter-7"},
    {"tty:DIR/alias",               "DIR/alias",               "DIR/by-id/usb-Adapter-7"},
    {"tty:DIR/lonely",              "DIR/lonely",              "DIR/lonely"},
    {"tty:DIR/gone",                "DIR/gone",                "DIR/gone"},
    {"sim",                         "unset",                   "unset"},
};
// clang-format on

TEST_F(ControlCommand, KnowsTheAdapterItIsFor)
{
    for (const char* file : {"node", "lonely", "other"})
        std::ofstream(Path(file)) << "";
    ASSERT_EQ(mkdir(Path("by-id").c_str(), 0755), 0);
    ASSERT_EQ(symlink("node", Path("alias").c_str()), 0);
    ASSERT_EQ(symlink("../node", Path("by-id/usb-Adapter-7").c_str()), 0);
    ASSERT_EQ(symlink("../other", Path("by-id/usb-Adapter-1").c_str()), 0);
    plat::ril_set_id_folder(Path("by-id"));
    // The tool's own environment does not leak through as the adapter's.
    setenv("FWU_PORT", "stale", 1);
    setenv("FWU_DEVICE", "stale", 1);
    auto expand = [&](std::string s)
    {
        for (size_t at; (at = s.find("DIR")) != std::string::npos;)
            s.replace(at, 3, dir_);
        return s;
    };
    for (const AdapterCase& c : kAdapterCases)
    {
        SCOPED_TRACE(c.module);
        HANDLE h = OpenCommand("echo \"${FWU_PORT-unset} ${FWU_DEVICE-unset} $FWU_RIL_CONTROL\" > " + dir_ + "/env",
                               expand(c.module));
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(Reset(h));
        EXPECT_EQ(ReadFile("env"), expand(c.port) + " " + expand(c.device) + " reset\n");
        CloseHandle(h);
    }
    unsetenv("FWU_PORT");
    unsetenv("FWU_DEVICE");
    plat::ril_set_id_folder("");
}

// ---------------------------------------------------------------------------
// An empty command
// ---------------------------------------------------------------------------
TEST(ControlCommandEmpty, AnEmptyCommandIsRefusedWithItsOwnReason)
{
    for (const char* command : {"", "  \t"})
    {
        SCOPED_TRACE(std::string("\"") + command + "\"");
        plat::DeviceSpec control{u"RIL1:", plat::DeviceType::RilCommand, command};
        HANDLE h = plat::ril_open(&control);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        plat::debug_capture_begin();
        int resetsBefore = plat::ril_counts().reset;
        SetLastError(0);
        DWORD returned = 0;
        EXPECT_FALSE(DeviceIoControl(h, plat::kIoctlRilReset, nullptr, 0, nullptr, 0, &returned, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_COMMAND);
        auto lines = plat::debug_capture_take();
        plat::debug_capture_end();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], u"RIL1: no command to run (\"cmd:\" names none)\r\n");
        EXPECT_EQ(plat::ril_counts().reset, resetsBefore);
        CloseHandle(h);
    }
}

} // namespace
