// A device that cannot be opened is named with its path, the system's reason
// and what to do, with a Win32 error per kind of failure; the tool's own
// terminal is refused; a by-id style link is the device it leads to.
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"
#include "platform/serial/open_reason.h"
#include "platform/windowing/status_line.h"
#include "tests/e2e/tool_run.h"
#include "tests/platform/serial_port_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

using serial_tests::kSentinel;
using serial_tests::OpenPort;

struct Outcome
{
    HANDLE h = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    std::string line; // serial_last_open_failure()
    std::string debug;
};

// COM1: stands on path; one open of it, with what it said.
Outcome OpenAt(const std::string& path)
{
    std::string err;
    Outcome o;
    if (!serial_support::LoadDevices({{"COM1:", "tty:" + path}}, &err))
    {
        o.line = "profile: " + err;
        return o;
    }
    plat::debug_capture_begin();
    SetLastError(kSentinel);
    o.h = OpenPort();
    o.error = GetLastError();
    for (const std::u16string& l : plat::debug_capture_take())
        o.debug += plat::utf16_to_utf8(l);
    plat::debug_capture_end();
    o.line = plat::serial_last_open_failure();
    return o;
}

// Each kind of failure: its Win32 error and its words, in the debug output
// and in the status line's notice too.
TEST(OpenFailure, EachReasonHasItsErrorAndItsLine)
{
    testsupport::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string file = dir.path() + "/image.bin";
    int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    struct Row
    {
        std::string path;
        DWORD error;
        std::string reason; // after "cannot open COM1: PATH: "
    };
    const Row rows[] = {
        {dir.path() + "/ttyUSB9", ERROR_FILE_NOT_FOUND, "No such file or directory: is the adapter plugged in?"},
        {file + "/ttyUSB0", ERROR_PATH_NOT_FOUND, "Not a directory: a folder on the path is a file"},
        {dir.path(), ERROR_NOT_SUPPORTED, "Is a directory: give the adapter's device node"},
        {file, ERROR_NOT_SUPPORTED, "not a terminal: a serial port is a tty such as /dev/ttyUSB0"},
        {"/dev/null", ERROR_NOT_SUPPORTED, "not a terminal: a serial port is a tty such as /dev/ttyUSB0"},
        {"/dev/tty", ERROR_NOT_SUPPORTED, "is the tool's own terminal: the sync bytes would go to the screen"},
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.path);
        plat::status_reset();
        Outcome o = OpenAt(row.path);
        EXPECT_EQ(o.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(o.error, row.error);
        const std::string line = "cannot open COM1: " + row.path + ": " + row.reason;
        EXPECT_EQ(o.line, line);
        EXPECT_EQ(o.debug, line + "\r\n");
        EXPECT_EQ(plat::status_text(), line);
    }
}

// Every errno an open can end with is pinned to its kind, its Win32 error (the
// station's exit status follows from it) and its words; the three that mean
// "no such adapter" alike. The path does not exist, so the permission hint is
// the one for a node that cannot be reached.
TEST(OpenFailure, EveryErrnoHasItsKindErrorReasonAndHint)
{
    const std::string path = "/nonexistent-fwutil-dir/ttyUSB0";
    struct Row
    {
        int err;
        plat::Fault fault;
        DWORD error;
        std::string reason; // after "cannot open COM1: PATH: "
    };
    const std::string plugged = ": is the adapter plugged in?";
    // clang-format off
    const Row rows[] = {
        {ENOENT,      plat::Fault::Absent,      ERROR_FILE_NOT_FOUND,       strerror(ENOENT) + plugged},
        {ENXIO,       plat::Fault::Absent,      ERROR_FILE_NOT_FOUND,       strerror(ENXIO) + plugged},
        {ENODEV,      plat::Fault::Absent,      ERROR_FILE_NOT_FOUND,       strerror(ENODEV) + plugged},
        {ENOTDIR,     plat::Fault::NoFolder,    ERROR_PATH_NOT_FOUND,       std::string(strerror(ENOTDIR)) + ": a folder on the path is a file"},
        {EACCES,      plat::Fault::Permission,  ERROR_ACCESS_DENIED,        std::string(strerror(EACCES)) + ": this user may not reach it"},
        {EPERM,       plat::Fault::Permission,  ERROR_ACCESS_DENIED,        std::string(strerror(EPERM)) + ": this user may not reach it"},
        {EBUSY,       plat::Fault::Held,        ERROR_SHARING_VIOLATION,    "held by another program"},
        {EWOULDBLOCK, plat::Fault::Held,        ERROR_SHARING_VIOLATION,    "held by another program"},
        {EISDIR,      plat::Fault::Folder,      ERROR_NOT_SUPPORTED,        std::string(strerror(EISDIR)) + ": give the adapter's device node"},
        {ENOTTY,      plat::Fault::NotTerminal, ERROR_NOT_SUPPORTED,        "not a terminal: a serial port is a tty such as /dev/ttyUSB0"},
        {EIO,         plat::Fault::Gone,        ERROR_DEVICE_NOT_CONNECTED, strerror(EIO)},
        {EMFILE,      plat::Fault::Other,       ERROR_TOO_MANY_OPEN_FILES,  strerror(EMFILE)},
    };
    // clang-format on
    for (const Row& row : rows)
    {
        SCOPED_TRACE(strerror(row.err));
        plat::OpenFailure f;
        f.device = u"COM1:";
        f.path = path;
        f.err = row.err;
        f.fault = plat::fault_of_errno(row.err);
        EXPECT_EQ(f.fault, row.fault);
        EXPECT_EQ(plat::open_failure_error(f), row.error);
        EXPECT_EQ(plat::open_failure_text(f), "cannot open COM1: " + path + ": " + row.reason);
    }
}

// The terminal on a standard descriptor is the tool's own, whatever its name.
TEST(OpenFailure, TheTerminalOfStandardInputIsRefused)
{
    serial_support::Pty pty;
    ASSERT_TRUE(pty.Open());
    int slave = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    int saved = dup(STDIN_FILENO);
    ASSERT_EQ(dup2(slave, STDIN_FILENO), STDIN_FILENO);
    Outcome o = OpenAt(pty.path);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(slave);
    EXPECT_EQ(o.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(o.error, (DWORD)ERROR_NOT_SUPPORTED);
    EXPECT_EQ(o.line,
              "cannot open COM1: " + pty.path + ": is the tool's own terminal: the sync bytes would go to the screen");
    // Not on standard input, it is an ordinary port.
    Outcome again = OpenAt(pty.path);
    EXPECT_NE(again.h, INVALID_HANDLE_VALUE) << again.line;
    CloseHandle(again.h);
}

// A port this user may not open: as root, in a child that drops to a second
// user (root opens anything); otherwise the node's mode shuts this user out.
TEST(OpenFailure, PermissionDeniedNamesTheNodesGroup)
{
    serial_support::Pty pty;
    ASSERT_TRUE(pty.Open());
    uid_t uid = 0;
    gid_t gid = 0;
    std::string why;
    const bool drop = geteuid() == 0;
    if (drop && !toolrun::second_user(&uid, &gid, &why))
        GTEST_SKIP() << why;
    ASSERT_EQ(chmod(pty.path.c_str(), drop ? 0600 : 0), 0);
    struct stat st;
    ASSERT_EQ(stat(pty.path.c_str(), &st), 0);
    struct group* g = getgrgid(st.st_gid);
    const std::string hint = st.st_gid != 0 && g != nullptr
                                 ? std::string("add the user to the ") + g->gr_name + " group"
                                 : std::string("this user may not open it");
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t child = drop ? fork() : 0;
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        if (drop && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0))
            _exit(3);
        Outcome o = OpenAt(pty.path);
        std::string report = std::to_string(o.error) + "|" + o.line;
        if (write(pipeFds[1], report.data(), report.size()) != (ssize_t)report.size() && drop)
            _exit(4);
        if (drop)
            _exit(o.h == INVALID_HANDLE_VALUE ? 0 : 5);
    }
    close(pipeFds[1]);
    std::string report = serial_support::ReadUntilQuiet(pipeFds[0], 200, 5000);
    close(pipeFds[0]);
    if (drop)
    {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(report,
              std::to_string(ERROR_ACCESS_DENIED) + "|cannot open COM1: " + pty.path + ": Permission denied: " + hint);
}

// Another process holding the tty's lock (flock holds for root too) is named
// by its pid; once it lets go, the port opens.
TEST(OpenFailure, APortHeldByAnotherProcessNamesItsPidUntilItLetsGo)
{
    serial_support::Pty pty;
    ASSERT_TRUE(pty.Open());
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        close(ready[0]);
        close(release[1]); // the parent's close is the release
        int fd = open(pty.path.c_str(), O_RDWR | O_NOCTTY);
        char c = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || read(release[0], &c, 1) < 0)
            _exit(1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    EXPECT_EQ(serial_support::ReadExactly(ready[0], 1), "y");
    Outcome o = OpenAt(pty.path);
    close(release[1]);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    EXPECT_EQ(o.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(o.error, (DWORD)ERROR_SHARING_VIOLATION);
    const std::string start =
        "cannot open COM1: " + pty.path + ": held by another program (pid " + std::to_string(child);
    EXPECT_EQ(o.line.substr(0, start.size()), start) << o.line;
    Outcome freed = OpenAt(pty.path);
    EXPECT_NE(freed.h, INVALID_HANDLE_VALUE) << freed.line;
    CloseHandle(freed.h);
}

// A by-id style link opens, and names the same device as the node it leads
// to: exclusive through either name, and a refusal shows both paths.
TEST(OpenFailure, AByIdLinkIsTheDeviceItLeadsTo)
{
    serial_support::Pty pty;
    ASSERT_TRUE(pty.Open());
    testsupport::TempDir dir;
    const std::string link = dir.path() + "/usb-Fake_Serial_A1B2-if00-port0";
    ASSERT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + link}, {"COM2:", "tty:" + pty.path}}, &err)) << err;
    HANDLE h = OpenPort(u"COM2:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << plat::serial_last_open_failure();
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(u"COM1:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_EQ(plat::serial_last_open_failure(),
              "cannot open COM1: " + link + " (" + pty.path + "): held by this program (COM2:)");
    CloseHandle(h);
    h = OpenPort(u"COM1:");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << plat::serial_last_open_failure();
    CloseHandle(h);
}

// --wait-device's wait: a node made late is waited for, a missing one is
// given up on at the bound, and neither spins.
TEST(OpenFailure, WaitDeviceWaitsForALateNodeAndGivesUpAtItsBound)
{
    serial_support::Pty pty;
    ASSERT_TRUE(pty.Open());
    testsupport::TempDir dir;
    const std::string link = dir.path() + "/by-id-late";
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + link}}, &err)) << err;
    std::thread maker(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(600));
            EXPECT_EQ(symlink(pty.path.c_str(), link.c_str()), 0);
        });
    auto start = serial_support::Clock::now();
    const double cpu = serial_support::ProcessCpuSeconds();
    EXPECT_TRUE(plat::serial_wait_device(u"COM1:", 5));
    const double waited = serial_support::MsSince(start);
    maker.join();
    EXPECT_GE(waited, 550);
    EXPECT_LT(waited, 2000);
    EXPECT_LT(serial_support::ProcessCpuSeconds() - cpu, 0.1) << "the wait must sleep, not spin";

    ASSERT_EQ(unlink(link.c_str()), 0);
    start = serial_support::Clock::now();
    EXPECT_FALSE(plat::serial_wait_device(u"COM1:", 1));
    EXPECT_GE(serial_support::MsSince(start), 1000);
    EXPECT_LT(serial_support::MsSince(start), 2500);
}

} // namespace
