// Conformance tests of the serial port waits against what the tool relies on:
// the COMMTIMEOUTS modes of ReadFile and WriteFile, blocked calls woken by
// CloseHandle, TerminateThread, PurgeComm's aborts and SetCommMask,
// WaitCommEvent's events, a hang-up ending every wait, and SuspendThread with
// a writer. The far side is the master of a real pseudo-terminal pair whose
// slave the profile names "COM1:".
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <poll.h>
#include <thread>

namespace
{

using namespace serial_tests;
using SerialTest = PtyPortTest;

// ---------------------------------------------------------------------------
// Time-out modes. Lower bounds are the real checks; upper bounds are loose.
// ---------------------------------------------------------------------------
// Writes chunks to the master at the given offsets from now, on a thread.
class Feeder
{
public:
    Feeder(int fd, std::vector<std::pair<int, std::string>> script)
        : t_(
              [fd, script]
              {
                  auto start = Clock::now();
                  for (const auto& s : script)
                  {
                      std::this_thread::sleep_until(start + std::chrono::milliseconds(s.first));
                      serial_support::WriteText(fd, s.second);
                  }
              })
    {
    }
    ~Feeder()
    {
        t_.join();
    }

private:
    std::thread t_;
};

struct ReadModeCase
{
    const char* what;
    DWORD interval, multiplier, constant;            // the read time-outs
    DWORD count;                                     // bytes asked for
    std::string waiting;                             // received before the read starts
    std::vector<std::pair<int, std::string>> script; // sent at ms from the read's start
    std::string bytes;                               // what the read returns
    double minMs, maxMs;
};

// Every mode returns success with what came, leaving the last error alone.
TEST_F(SerialTest, ReadModes_ReturnWhatCameWithinTheirTimeouts)
{
    const ReadModeCase cases[] = {
        {"interval MAXDWORD, totals 0: at once, with nothing", MAXDWORD, 0, 0, 64, "", {}, "", 0, 20},
        {"interval MAXDWORD, totals 0: at once, with what is there", MAXDWORD, 0, 0, 64, "abc", {}, "abc", 0, 20},
        {"first-byte wait: the constant when nothing comes", MAXDWORD, MAXDWORD, 200, 64, "", {}, "", 199, 600},
        {"first-byte wait: the first bytes, not the constant",
         MAXDWORD,
         MAXDWORD,
         200,
         64,
         "",
         {{60, "xy"}},
         "xy",
         50,
         180},
        {"all zero: blocks until the count is read", 0, 0, 0, 4, "", {{0, "ab"}, {150, "cd"}}, "abcd", 140, 5000},
        {"total: gives up after multiplier x count + constant", 0, 10, 100, 10, "", {}, "", 199, 600},
        // The deliberate choice: no interval limit plus a total time-out returns
        // as soon as bytes have arrived, instead of waiting out the total.
        {"total without interval: once bytes came and no more wait",
         0,
         0,
         1000,
         1024,
         "",
         {{60, "hello"}},
         "hello",
         50,
         400},
        {"interval: the gap after the last byte", 80, 0, 0, 100, "", {{30, "a"}, {60, "b"}}, "ab", 60 + 79, 500},
    };
    for (const ReadModeCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        HANDLE h = OpenOrFail();
        ASSERT_TRUE(SetTimeouts(h, c.interval, c.multiplier, c.constant));
        ASSERT_TRUE(serial_support::WriteText(pty.master, c.waiting));
        ASSERT_TRUE(WaitInQueue(h, (DWORD)c.waiting.size()));
        ReadOutcome r;
        {
            Feeder f(pty.master, c.script);
            r = TimedRead(h, c.count);
        }
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, c.bytes);
        EXPECT_EQ(r.n, c.bytes.size());
        EXPECT_EQ(r.error, kSentinel);
        EXPECT_GE(r.ms, c.minMs);
        EXPECT_LT(r.ms, c.maxMs);
        CloseHandle(h);
    }
}

TEST_F(SerialTest, ReadMode_OneMillisecondTotal_ReturnsWithinAboutAMillisecond)
{
    // The bridge's reads: interval 0, constant 1.
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1));
    double worst = 0;
    for (int i = 0; i < 20; i++)
    {
        ReadOutcome r = TimedRead(h, 1024);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.n, 0u);
        EXPECT_GE(r.ms, 0.9);
        worst = std::max(worst, r.ms);
    }
    EXPECT_LT(worst, 30);
    CloseHandle(h);
}

// The trace says how much the time-out left unwritten: a caller that drops
// the rest (the bridge) leaves an account of every byte.
TEST_F(SerialTest, WriteTimeout_ReturnsSuccessWithThePartialCount_AndTracesIt)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 200));
    // Nobody reads the master: the pty's buffer fills.
    std::vector<char> big(256 * 1024, 'x');
    DWORD written = 0;
    plat::debug_capture_begin();
    SetLastError(kSentinel);
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, big.data(), (DWORD)big.size(), &written, nullptr));
    double ms = MsSince(start);
    std::vector<std::u16string> lines = plat::debug_capture_take();
    plat::debug_capture_end();
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(ms, 199);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(plat::utf16_to_utf8(lines[0]), "COM1: write timed out after 200 ms: " + std::to_string(written) + " of " +
                                                 std::to_string(big.size()) + " bytes written\r\n");
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Wake-ups of blocked calls
// ---------------------------------------------------------------------------
// ReadFile of up to 16 bytes, WaitCommEvent, and WriteFile of `data`, each
// blocked on a platform thread until `wake` runs (see WakeAfter).
double ReadWokenBy(Blocked* b, HANDLE h, std::function<void()> wake)
{
    return WakeAfter(
        b,
        [h](DWORD* n)
        {
            char buf[16];
            return ReadFile(h, buf, sizeof buf, n, nullptr);
        },
        std::move(wake));
}

double WaitWokenBy(Blocked* b, HANDLE h, std::function<void()> wake)
{
    return WakeAfter(
        b, [h](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); }, std::move(wake));
}

double WriteWokenBy(Blocked* b, HANDLE h, const std::vector<char>& data, std::function<void()> wake)
{
    return WakeAfter(
        b, [h, &data](DWORD* n) { return WriteFile(h, data.data(), (DWORD)data.size(), n, nullptr); }, std::move(wake));
}

TEST_F(SerialTest, CloseHandle_WakesAThreadBlockedInReadFile)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    Blocked b;
    double ms = ReadWokenBy(&b, h, [&] { EXPECT_TRUE(CloseHandle(h)); });
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_LT(ms, kWakeMs);
    // The descriptor closed when the woken call let go: the master hangs up.
    struct pollfd p = {pty.master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 500), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
}

TEST_F(SerialTest, CloseHandle_WakesAThreadBlockedInWaitCommEvent)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    Blocked b;
    double ms = WaitWokenBy(&b, h, [&] { EXPECT_TRUE(CloseHandle(h)); });
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_LT(ms, kWakeMs);
}

TEST_F(SerialTest, CloseHandle_WakesAThreadBlockedInWriteFile)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 0)); // writes without time-out
    std::vector<char> big(1024 * 1024, 'x');
    Blocked b;
    double ms = WriteWokenBy(&b, h, big, [&] { EXPECT_TRUE(CloseHandle(h)); });
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_GT(b.value, 0u) << "the count written so far is reported";
    EXPECT_LT(ms, kWakeMs);
}

TEST_F(SerialTest, TerminateThread_EndsAThreadBlockedInReadFile_AndReleasesThePort)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    PlatformThread t;
    ASSERT_TRUE(t.Start(
        [&]() -> DWORD
        {
            char buf[16];
            DWORD n = 0;
            ReadFile(h, buf, sizeof buf, &n, nullptr);
            Sleep(0); // the next platform call ends a terminated thread
            return 7;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(TerminateThread(t.handle(), 42));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t.handle(), &code));
    EXPECT_EQ(code, 42u);
    // Once the thread has let go, closing the port closes the descriptor and
    // the master sees the hang-up: nothing of the port was left behind.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(t.done()) << "the body went on past its next platform call";
    ASSERT_TRUE(CloseHandle(h));
    struct pollfd p = {pty.master, POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
}

TEST_F(SerialTest, PurgeComm_RxAbortEndsAnotherThreadsRead_TxAbortItsWrite)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0, 0, 0));
    Blocked r;
    double ms = ReadWokenBy(&r, h, [&] { EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT)); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_LT(ms, kWakeMs);

    std::vector<char> big(1024 * 1024, 'x');
    Blocked w;
    ms = WriteWokenBy(&w, h, big, [&] { EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR)); });
    EXPECT_FALSE(w.ok);
    EXPECT_EQ(w.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_LT(ms, kWakeMs);

    // The port works on: a later read is not aborted.
    ASSERT_TRUE(serial_support::WriteText(pty.master, "ok"));
    ReadOutcome after = TimedRead(h, 2);
    EXPECT_TRUE(after.ok);
    EXPECT_EQ(after.bytes, "ok");
    CloseHandle(h);
}

TEST_F(SerialTest, SetCommMask_FromAnotherThread_EndsAPendingWaitWithEventZero)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Blocked b;
    double ms = WaitWokenBy(&b, h, [&] { EXPECT_TRUE(SetCommMask(h, EV_RXCHAR | EV_ERR)); });
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.value, 0u);
    EXPECT_EQ(b.error, kSentinel);
    EXPECT_LT(ms, kWakeMs);
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, (DWORD)(EV_RXCHAR | EV_ERR));
    CloseHandle(h);
}

TEST_F(SerialTest, WaitCommEvent_DataWaitingCountsAtOnce_ArrivingDataEndsTheWait)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    Blocked b;
    double ms = WaitWokenBy(&b, h, [&] { serial_support::WriteText(pty.master, "z"); });
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.value, (DWORD)EV_RXCHAR);
    EXPECT_LT(ms, kWakeMs);

    // The byte is still unread: the next wait returns at once.
    DWORD ev = 0;
    auto start = Clock::now();
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(ev, (DWORD)EV_RXCHAR);
    EXPECT_LT(MsSince(start), 20);
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    ReadOutcome r = TimedRead(h, 8);
    EXPECT_EQ(r.bytes, "z");
    CloseHandle(h);
}

// What the module link does for every byte it awaits: WaitCommEvent, then
// ReadFile, on one thread. Per byte that comes while the wait blocks, the
// device is looked at twice before the wait blocks (a read and the count of
// its queue) and twice once it polls readable; the wait reads the byte ahead,
// so the ReadFile makes no device read of its own. A wait that left itself a
// wake-up would look again for nothing at the next byte.
TEST_F(SerialTest, WaitCommEvent_ThenReadFile_FourLooksAtTheDevicePerByte)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    plat::SyscallFaults counted; // fails nothing: counts the calls
    auto looks = [&] { return counted.calls(plat::SysCall::Read) + counted.calls(plat::SysCall::Ioctl); };
    Feeder feeder(pty.master, {{100, "a"}, {200, "b"}, {300, "c"}});
    for (const char* byte : {"a", "b", "c"})
    {
        const int before = looks();
        DWORD ev = 0;
        ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
        EXPECT_EQ(ev, (DWORD)EV_RXCHAR);
        const int reads = counted.calls(plat::SysCall::Read);
        EXPECT_EQ(TimedRead(h, 1).bytes, byte);
        EXPECT_EQ(counted.calls(plat::SysCall::Read), reads) << "the ReadFile read the device";
        EXPECT_LE(looks() - before, 4) << "looks at the device for " << byte;
    }
    CloseHandle(h);
}

TEST_F(SerialTest, WaitCommEvent_UnreadDataOutsideTheMask_DoesNotSpin)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(serial_support::WriteText(pty.master, "pending"));
    ASSERT_TRUE(WaitInQueue(h, 7));
    ASSERT_TRUE(SetCommMask(h, EV_BREAK | EV_ERR));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    Blocked b;
    WaitWokenBy(&b, h,
                [&]
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(300));
                    SetCommMask(h, EV_BREAK | EV_ERR);
                });
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.value, 0u);
    EXPECT_LT(cpu, 0.1) << "CPU seconds over a 0.4 s wait";
    CloseHandle(h);
}

// A UART's driver counts breaks and line errors (faked here under the pty):
// they show as events and as ClearCommError's bits.
TEST_F(SerialTest, UartBreakAndLineErrors_ShowAsEventsAndErrors)
{
    const plat::Syscalls uart = UartSyscalls();
    plat::SyscallOverride asUart(&uart);
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    Blocked b;
    WaitWokenBy(&b, h,
                [&]
                {
                    {
                        std::lock_guard<std::mutex> lock(FakeUart::mu);
                        FakeUart::counts.brk++;
                    }
                    serial_support::WriteText(pty.master, std::string(1, '\0')); // a break reads as 0x00
                });
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.value, (DWORD)(EV_RXCHAR | EV_BREAK));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, (DWORD)CE_BREAK);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "cleared by the first call";

    // With the 0x00 still unread and a mask without EV_RXCHAR, a framing
    // error the driver counts is still seen.
    ASSERT_TRUE(SetCommMask(h, EV_BREAK | EV_ERR));
    Blocked e;
    double ms = WaitWokenBy(&e, h,
                            [&]
                            {
                                std::lock_guard<std::mutex> lock(FakeUart::mu);
                                FakeUart::counts.frame++;
                                FakeUart::counts.overrun++;
                            });
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.value, (DWORD)EV_ERR);
    EXPECT_LT(ms, 600);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, (DWORD)(CE_FRAME | CE_OVERRUN));
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Hang-up
// ---------------------------------------------------------------------------
TEST_F(SerialTest, Hangup_EndsTheWaitWithEvErrOnce_ThenEveryCallFails_WithoutSpinning)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    Blocked b;
    double ms = WaitWokenBy(&b, h, [&] { pty.CloseMaster(); });
    EXPECT_TRUE(b.ok);
    EXPECT_EQ(b.value, (DWORD)EV_ERR);
    EXPECT_LT(ms, kWakeMs);

    // Reported once; from then on the port fails instead of reading nothing.
    DWORD ev = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    for (DWORD interval : {MAXDWORD, 0u})
    {
        ASSERT_TRUE(SetTimeouts(h, interval, 0, 0)); // at once, then blocking until the count
        ExpectReadAndWriteFail(h, ERROR_DEVICE_NOT_CONNECTED);
    }
    DWORD errors = 0;
    COMSTAT st;
    SetLastError(kSentinel);
    EXPECT_FALSE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.1) << "CPU seconds for the whole hang-up";
    CloseHandle(h);
}

// A wait whose mask lacks EV_RXCHAR still sees the line hang up, promptly,
// with unread bytes on it (which that wait does not watch) or without:
// EV_ERR when the mask has it, else the call fails.
TEST_F(SerialTest, Hangup_EndsAWaitWithoutEvRxchar_WithOrWithoutUnreadBytes)
{
    struct Row
    {
        DWORD mask;
        const char* unread; // in the port before the wait
        BOOL ok;
        DWORD events;
        DWORD error;
    };
    // clang-format off
    const Row rows[] = {
        {EV_BREAK | EV_ERR, "",        TRUE,  EV_ERR, 0},
        {EV_BREAK | EV_ERR, "pending", TRUE,  EV_ERR, 0},
        {EV_BREAK,          "",        FALSE, 0,      ERROR_DEVICE_NOT_CONNECTED},
        {EV_BREAK,          "pending", FALSE, 0,      ERROR_DEVICE_NOT_CONNECTED},
    };
    // clang-format on
    for (const Row& row : rows)
    {
        SCOPED_TRACE(testing::Message() << "mask " << row.mask << ", unread \"" << row.unread << "\"");
        if (pty.master < 0) // hung up by the row before: a new line
        {
            close(pty.heldSlave);
            pty.heldSlave = -1;
            ASSERT_TRUE(OpenPtyAsCom1(&pty));
        }
        HANDLE h = OpenOrFail();
        const size_t unread = strlen(row.unread);
        if (unread > 0)
        {
            ASSERT_TRUE(serial_support::WriteText(pty.master, row.unread));
            ASSERT_TRUE(WaitInQueue(h, unread));
        }
        ASSERT_TRUE(SetCommMask(h, row.mask));
        Blocked b;
        double ms = WaitWokenBy(&b, h, [&] { pty.CloseMaster(); });
        EXPECT_EQ(b.ok.load(), row.ok);
        EXPECT_EQ(b.value.load(), row.events);
        if (!row.ok)
        {
            EXPECT_EQ(b.error.load(), row.error);
        }
        EXPECT_LT(ms, kWakeMs);
        CloseHandle(h);
    }
}

TEST_F(SerialTest, Hangup_EndsABlockedReadFile_AndAWaitWithoutEvErrFails)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    Blocked b;
    double ms = ReadWokenBy(&b, h, [&] { pty.CloseMaster(); });
    EXPECT_FALSE(b.ok);
    EXPECT_EQ(b.error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(ms, kWakeMs);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD ev = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// SuspendThread with a writer
// ---------------------------------------------------------------------------
std::string DrainNow(int fd)
{
    std::string out;
    char buf[4096];
    for (;;)
    {
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            return out;
        out.append(buf, (size_t)r);
    }
}

TEST_F(SerialTest, SuspendThread_NoByteArrivesUntilResumeThread)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 0));
    std::atomic<bool> stop{false};
    PlatformThread writer;
    ASSERT_TRUE(writer.Start(
        [&]() -> DWORD
        {
            BYTE b = 0x55;
            DWORD n = 0;
            while (!stop)
                WriteFile(h, &b, 1, &n, nullptr);
            return 0;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(serial_support::ReadFor(pty.master, 50).empty()) << "the writer writes";

    for (int round = 0; round < 3; round++)
    {
        ASSERT_NE(SuspendThread(writer.handle()), (DWORD)-1);
        serial_support::ReadUntilQuiet(pty.master, 30); // what was written before SuspendThread returned
        EXPECT_EQ(serial_support::ReadFor(pty.master, 200), "") << "round " << round;
        ASSERT_NE(ResumeThread(writer.handle()), (DWORD)-1);
        EXPECT_FALSE(serial_support::ReadFor(pty.master, 50).empty()) << "round " << round;
    }
    stop = true;
    DrainNow(pty.master);
    EXPECT_TRUE(writer.WaitDone(2000));
    CloseHandle(h);
}

} // namespace
