// Tests of the module serial link: the record, the line and time-outs really
// applied to the tty, the byte primitives and their trace lines, and the
// mends (no spinning, a failing port ends the wait, a failed configuration
// closes the port, the silence limit). A scripted peer sits on the master of a
// real pseudo-terminal pair whose slave the profile names "COM1:"; the paths a
// pty cannot show (breaks, line errors) run over a virtual cable.
#include "download/module_link.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/run_report.h"
#include "platform/profile/profile.h"
#include "platform/kernel/text.h"
#include "platform/serial/syscalls.h"
#include "platform/serial/vcable.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <set>
#include <future>
#include <thread>

namespace
{

using serial_support::Clock;
using serial_support::MsSince;
using Lines = std::vector<std::string>;

Lines TakeLines()
{
    Lines out;
    for (const std::u16string& l : plat::debug_capture_take())
        out.push_back(plat::utf16_to_utf8(l));
    return out;
}

bool Has(const Lines& lines, const std::string& line)
{
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The trace line of one byte read; %c shows the byte as the character of
// that code, so 0xA0 comes out as U+00A0.
std::string ByteLine(int b)
{
    char hex[8];
    snprintf(hex, sizeof hex, "%X", b);
    std::u16string line = u"A byte got from TRM08A : ";
    line += (char16_t)b;
    line += u" , " + plat::utf8_to_utf16(hex) + u" h\r\n";
    return plat::utf16_to_utf8(line);
}

// Threads of this process, by id.
std::set<std::string> ThreadIds()
{
    std::set<std::string> ids;
    DIR* d = opendir("/proc/self/task");
    while (d != nullptr)
    {
        struct dirent* e = readdir(d);
        if (e == nullptr)
            break;
        if (e->d_name[0] != '.')
            ids.insert(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    return ids;
}

// Runs WaitForByte on a thread of its own; the result comes as a future.
std::future<int> WaitAsync(BYTE expected)
{
    return std::async(std::launch::async, [expected] { return WaitForByte(expected); });
}

// The same, once the wait has had time to block.
std::future<int> WaitUnderWay(BYTE expected)
{
    std::future<int> result = WaitAsync(expected);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return result;
}

// WaitForByte(0xA0) with nothing more arriving ends silent `ms` after it
// began (within 600 ms more on a loaded machine).
void ExpectEndsSilentAfter(double ms)
{
    const auto start = Clock::now();
    EXPECT_EQ(WaitForByte(0xA0), 0);
    const double took = MsSince(start);
    EXPECT_GE(took, ms - 1);
    EXPECT_LT(took, ms + 600);
    EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_SILENT);
}

class ModuleLinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(serial_tests::OpenPtyAsCom1(&pty));
        plat::debug_capture_begin();
    }
    void TearDown() override
    {
        plat::debug_capture_end();
    }
    HANDLE Com()
    {
        return g_pModulePort.load()->hCom.load();
    }
    serial_support::Pty pty;
};

class ModuleLinkCableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Cables live for the process: each test has its own.
        c = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string err;
        ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "cable:" + c + ":a"}}, &err)) << err;
        plat::debug_capture_begin();
        ASSERT_EQ(OpenModulePort(), 1);
    }
    void TearDown() override
    {
        plat::debug_capture_end();
    }
    HANDLE Com()
    {
        return g_pModulePort.load()->hCom.load();
    }
    std::string c; // the cable's name
};

// ---------------------------------------------------------------------------
// Opening and closing
// ---------------------------------------------------------------------------
TEST_F(ModuleLinkTest, OpenModulePort_AppliesTheLineAndTimeoutsToTheTty)
{
    ASSERT_EQ(OpenModulePort(), 1);
    ModulePort* port = g_pModulePort.load();
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(std::u16string(port->szName), u"COM1:");
    EXPECT_EQ(port->dwReserved, 0u);
    EXPECT_NE(Com(), nullptr);
    EXPECT_EQ(port->dcb.DCBlength, 28u);
    EXPECT_EQ(port->dcb.StopBits, ONE5STOPBITS);
    EXPECT_TRUE(Has(TakeLines(), "Open : COM1:\r\n"));

    // What the tty really has (termios on the master reads the slave's).
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    COMMTIMEOUTS to = {};
    ASSERT_TRUE(GetCommTimeouts(Com(), &to));
    EXPECT_EQ(to.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(to.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(to.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(to.WriteTotalTimeoutConstant, 1000u);

    DCB back = {};
    ASSERT_TRUE(GetCommState(Com(), &back));
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
    EXPECT_EQ(back.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_ENABLE);

    CloseModulePort();
    EXPECT_EQ(Com(), nullptr);
    EXPECT_EQ(g_pModulePort.load(), port) << "the record stays";
}

TEST_F(ModuleLinkTest, OpenModulePort_PortHeldByAnother_ReturnsZeroWithHComZero)
{
    HANDLE other = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenModulePort(), 0);
    EXPECT_EQ(Com(), nullptr);
    CloseHandle(other);
    EXPECT_EQ(OpenModulePort(), 1);
    CloseModulePort();
}

TEST_F(ModuleLinkTest, OpenModulePort_AbandonsThePreviousRecordWithoutFreeingIt)
{
    ASSERT_EQ(OpenModulePort(), 1);
    ModulePort* first = g_pModulePort.load();
    CloseModulePort();
    ASSERT_EQ(OpenModulePort(), 1);
    ModulePort* second = g_pModulePort.load();
    EXPECT_NE(first, second);
    // A thread still holding the old record reads it safely (ASan would object).
    EXPECT_EQ(std::u16string(first->szName), u"COM1:");
    EXPECT_EQ(first->hCom.load(), nullptr);
    CloseModulePort();
}

TEST_F(ModuleLinkTest, OpenModulePort_ConfigurationFailure_ClosesThePortSoTheNextRunOpensIt)
{
    {
        plat::SyscallFaults faults;
        faults.fail(plat::SysCall::Tcsetattr, 2, EIO); // raw mode at open passes, SetCommState fails
        EXPECT_EQ(OpenModulePort(), 0);
        EXPECT_EQ(faults.failed(plat::SysCall::Tcsetattr), 1);
    }
    EXPECT_EQ(Com(), nullptr) << "closed, not left open in the abandoned record";
    // "COM1:" is free again: another client and then the next run open it.
    HANDLE h = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
    EXPECT_EQ(OpenModulePort(), 1);
    CloseModulePort();
}

// ---------------------------------------------------------------------------
// SendByte
// ---------------------------------------------------------------------------
TEST_F(ModuleLinkTest, SendByte_WritesTheByteAndTracesTheCount)
{
    ASSERT_EQ(OpenModulePort(), 1);
    TakeLines();
    SendByte(0x55);
    EXPECT_EQ(serial_support::ReadExactly(pty.master, 1), "\x55");
    EXPECT_EQ(TakeLines(), Lines{" 1 char : 55 h sent \r\n"});
    CloseModulePort();
}

TEST_F(ModuleLinkTest, SendByte_FailedWrite_StillTracesWithZeroBytes)
{
    plat::SyscallFaults faults;
    ASSERT_EQ(OpenModulePort(), 1);
    TakeLines();
    ReportRun(RUNREPORT_STATE, RUNSTATE_ACTIVE); // a run of its own: no cause yet
    faults.fail(plat::SysCall::Write, 1, EIO);
    SendByte(0xA5);
    SendByte(0xA5); // a write failed again in a row: traced once
    // The write's cause is traced and is the run's cause.
    const std::string cause =
        "Write to the module failed: write on " + pty.path + " failed: Input/output error (errno 5, error 1167)\r\n";
    EXPECT_EQ(TakeLines(), (Lines{"COM1: hung up: the device is gone\r\n", cause, " 0 char : A5 h sent \r\n",
                                  " 0 char : A5 h sent \r\n"}));
    EXPECT_EQ(serial_support::ReadUntilQuiet(pty.master, 50), "");
    FAILEDCALL runCause;
    ASSERT_TRUE(QueryRunCause(&runCause));
    EXPECT_EQ(plat::failed_call_text(runCause),
              "write on " + pty.path + " failed: Input/output error (the adapter was unplugged?)");
    EXPECT_EQ(runCause.nErrno, EIO);
    CloseModulePort();
}

// ---------------------------------------------------------------------------
// WaitForByte
// ---------------------------------------------------------------------------
TEST_F(ModuleLinkTest, WaitForByte_DropsBytesBeforeExpected_AndLeavesTheRestUnread)
{
    ASSERT_EQ(OpenModulePort(), 1);
    TakeLines();
    auto result = WaitUnderWay(0xA0);
    ASSERT_TRUE(serial_support::WriteText(pty.master, std::string("\x55\x12\xA0\x33", 4)));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_GOT);
    EXPECT_EQ(TakeLines(), (Lines{"Waiting for char -> A0 h\r\n", ByteLine(0x55), ByteLine(0x12), ByteLine(0xA0)}));

    // The byte after 0xA0 is still there for the next reader.
    COMSTAT st = {};
    DWORD errors = 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(ClearCommError(Com(), &errors, &st));
    EXPECT_EQ(st.cbInQue, 1u);
    BYTE b = 0;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(Com(), &b, 1, &n, nullptr));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(b, 0x33);
    CloseModulePort();
}

TEST_F(ModuleLinkTest, WaitForByte_BytesAlreadyWaiting_AreReadWithoutAWait)
{
    ASSERT_EQ(OpenModulePort(), 1);
    ASSERT_TRUE(serial_support::WriteText(pty.master, std::string("\x01\xA5", 2)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto start = Clock::now();
    EXPECT_EQ(WaitForByte(0xA5), 1);
    EXPECT_LT(MsSince(start), 100);
    CloseModulePort();
}

TEST_F(ModuleLinkTest, WaitForByte_QuietLineBetweenBytes_WaitsWithoutSpinning)
{
    ASSERT_EQ(OpenModulePort(), 1);
    auto result = WaitUnderWay(0xA0);
    // A first byte brings the wait into its read loop; then the line is quiet.
    ASSERT_TRUE(serial_support::WriteText(pty.master, "\x55"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ASSERT_TRUE(serial_support::WriteText(pty.master, "\xA0"));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    EXPECT_LT(cpu, 0.05) << "CPU seconds while the line was quiet for 0.5 s";
    CloseModulePort();
}

TEST_F(ModuleLinkTest, WaitForByte_HangupDuringTheWait_ReturnsZero)
{
    ASSERT_EQ(OpenModulePort(), 1);
    for (bool inReadLoop : {false, true})
    {
        SCOPED_TRACE(inReadLoop ? "in the read loop" : "in the first wait");
        if (inReadLoop)
        {
            // A fresh pair: the first one has hung up.
            CloseModulePort();
            pty.CloseMaster();
            ASSERT_TRUE(pty.Open());
            std::string err;
            ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}}, &err)) << err;
            ASSERT_EQ(OpenModulePort(), 1);
        }
        TakeLines();
        auto result = WaitUnderWay(0xA0);
        if (inReadLoop)
        {
            ASSERT_TRUE(serial_support::WriteText(pty.master, "\x12"));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        auto start = Clock::now();
        pty.CloseMaster();
        ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
        EXPECT_EQ(result.get(), 0);
        EXPECT_LT(MsSince(start), 200);
        EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_LOST) << "a hang-up is no mere line event";
        EXPECT_TRUE(Has(TakeLines(), "None byte got from TRM07 !!\r\n"));
        // Waiting again on the dead line fails at once instead of blocking.
        start = Clock::now();
        EXPECT_EQ(WaitForByte(0xA0), 0);
        EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_LOST);
        EXPECT_LT(MsSince(start), 100);
    }
    CloseModulePort();
}

TEST_F(ModuleLinkTest, WaitForByte_PortClosedUnderTheWait_ReturnsZero)
{
    ASSERT_EQ(OpenModulePort(), 1);
    auto result = WaitUnderWay(0xA0);
    auto start = Clock::now();
    CloseModulePort();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_LT(MsSince(start), 100);
    EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_LOST);
}

TEST_F(ModuleLinkTest, SilenceLimit_EndsAWaitWhenNoByteComesForThatLong)
{
    ASSERT_EQ(OpenModulePort(), 1);
    SetLinkSilenceLimit(200);
    TakeLines();
    ExpectEndsSilentAfter(200);
    EXPECT_EQ(TakeLines(), (Lines{"Waiting for char -> A0 h\r\n", "None byte got from TRM07 !!\r\n"}));

    // Bytes that keep coming keep the wait alive past the limit; it ends the
    // limit after the last one.
    std::thread peer(
        [&]
        {
            for (int i = 0; i < 6; i++)
            {
                std::this_thread::sleep_for(std::chrono::milliseconds(80));
                serial_support::WriteText(pty.master, "\x55");
            }
        });
    ExpectEndsSilentAfter(6 * 80 + 200);
    peer.join();

    // A byte within the limit is found as before.
    std::thread late(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            serial_support::WriteText(pty.master, "\xA0");
        });
    EXPECT_EQ(WaitForByte(0xA0), 1);
    late.join();

    // 0 turns the bound off again.
    SetLinkSilenceLimit(0);
    auto result = WaitAsync(0xA0);
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    serial_support::WriteText(pty.master, "\xA0");
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    CloseModulePort();
}

// The bound costs no thread per wait: one watch serves every bounded wait of
// the open link and ends with it.
TEST_F(ModuleLinkTest, SilenceLimit_OneWatchServesTheLinkAndEndsWithIt)
{
    ASSERT_EQ(OpenModulePort(), 1);
    SetLinkSilenceLimit(2000);
    const size_t before = ThreadIds().size();
    ASSERT_TRUE(serial_support::WriteText(pty.master, "\xAA"));
    ASSERT_EQ(WaitForByte(0xAA), 1);
    // The watch, and whatever helper a runtime (a sanitizer's) starts along
    // with a process's first thread.
    const std::set<std::string> withWatch = ThreadIds();
    ASSERT_GT(withWatch.size(), before);
    for (int i = 0; i < 20; i++)
    {
        ASSERT_TRUE(serial_support::WriteText(pty.master, "\xAA"));
        ASSERT_EQ(WaitForByte(0xAA), 1);
        ASSERT_EQ(ThreadIds(), withWatch) << "wait " << i << " started a thread";
    }
    CloseModulePort();
    auto start = Clock::now();
    while (ThreadIds().size() >= withWatch.size() && MsSince(start) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(ThreadIds().size(), withWatch.size() - 1) << "the watch outlived its link";
}

// A watch that slept toward a long limit does not stretch a shorter one that
// follows: the later wait still ends at its own limit.
TEST_F(ModuleLinkTest, SilenceLimit_AShorterLimitAfterALongerOne_EndsOnTime)
{
    ASSERT_EQ(OpenModulePort(), 1);
    SetLinkSilenceLimit(5000);
    auto result = WaitUnderWay(0xA0); // long enough for the watch to sleep toward 5 s
    ASSERT_TRUE(serial_support::WriteText(pty.master, "\xA0"));
    ASSERT_EQ(result.get(), 1);
    SetLinkSilenceLimit(200);
    ExpectEndsSilentAfter(200);
    CloseModulePort();
}

// ---------------------------------------------------------------------------
// Events a pty cannot show, over a virtual cable
// ---------------------------------------------------------------------------
TEST_F(ModuleLinkCableTest, WaitForByte_EventWithDataAndError_ClearsTheErrorThenReads)
{
    TakeLines();
    ASSERT_TRUE(plat::cable_inject_error(c, 'b', CE_FRAME));
    ASSERT_EQ(plat::cable_write(c, 'b', "\x42\xA5", 2), 2);
    EXPECT_EQ(WaitForByte(0xA5), 1);
    EXPECT_EQ(TakeLines(), (Lines{"Waiting for char -> A5 h\r\n", ByteLine(0x42), ByteLine(0xA5)}));
    DWORD errors = 77;
    ASSERT_TRUE(ClearCommError(Com(), &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "the wait cleared the error state";
    CloseModulePort();
}

TEST_F(ModuleLinkCableTest, WaitForByte_BreakWithoutData_ReturnsZeroWithoutReading)
{
    TakeLines();
    auto result = WaitUnderWay(0xA0);
    ASSERT_TRUE(plat::cable_inject_break(c, 'b'));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    EXPECT_EQ(LinkWaitEnd(), LINK_WAIT_EVENT);
    EXPECT_EQ(TakeLines(), (Lines{"Waiting for char -> A0 h\r\n", "None byte got from TRM07 !!\r\n"}));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(Com(), &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "the break's error state was cleared";

    // Nothing was read: a byte sent now is the next one the port gives.
    ASSERT_EQ(plat::cable_write(c, 'b', "\x77", 1), 1);
    BYTE b = 0;
    DWORD n = 0;
    COMMTIMEOUTS wait = {MAXDWORD, MAXDWORD, 1000, 10, 1000};
    ASSERT_TRUE(SetCommTimeouts(Com(), &wait));
    ASSERT_TRUE(ReadFile(Com(), &b, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(b, 0x77);
    CloseModulePort();
}

TEST_F(ModuleLinkCableTest, WaitForByte_BreakWhileReading_IsClearedAndTheWaitGoesOn)
{
    auto result = WaitUnderWay(0xA0);
    ASSERT_EQ(plat::cable_write(c, 'b', "\x11", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(plat::cable_inject_break(c, 'b'));
    EXPECT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout)
        << "with data seen, only the expected byte ends the wait";
    ASSERT_EQ(plat::cable_write(c, 'b', "\xA0", 1), 1);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 1);
    DWORD errors = 77;
    ASSERT_TRUE(ClearCommError(Com(), &errors, nullptr));
    EXPECT_EQ(errors, 0u);
    CloseModulePort();
}

TEST_F(ModuleLinkCableTest, WaitForByte_CableHungUp_ReturnsZero)
{
    auto result = WaitUnderWay(0xA0);
    ASSERT_TRUE(plat::cable_hangup(c, 'b'));
    ASSERT_EQ(result.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(result.get(), 0);
    CloseModulePort();
}

} // namespace
