// System-call faults injected through the serial ports' replaceable table.
// First the faults a port must ride out or report (EINTR retried everywhere,
// EAGAIN waited out, short writes continued, EIO marking the port gone); then
// a sweep, the way a test VFS fails "the Nth next call": for opening the
// module link, ReadFile, WriteFile and WaitCommEvent, and for each system call
// they make, the Nth call fails with a chosen errno, N from 1 until the
// operation runs without reaching an Nth call. At every N the operation
// either succeeds or fails with a Win32 error, returns within a bound, and
// leaves the handle table and the process's descriptors as they were.
#include "download/module_link.h"
#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace serial_tests;
using plat::SysCall;
using plat::SyscallFaults;
// The debug lines (a hang-up says so) are captured: the census then counts
// no descriptor a first line to the default sink might leave open.
class SerialFaultTest : public PtyPortTest
{
protected:
    void SetUp() override
    {
        PtyPortTest::SetUp();
        plat::debug_capture_begin();
    }
    void TearDown() override
    {
        plat::debug_capture_end();
    }
};

// ---------------------------------------------------------------------------
// Faults a port rides out or reports
// ---------------------------------------------------------------------------
TEST_F(SerialFaultTest, Eintr_IsRetriedEverywhere)
{
    SyscallFaults faults;
    faults.fail(SysCall::Tcsetattr, 1, EINTR, 2);
    HANDLE h = OpenOrFail(); // raw mode through two EINTRs
    EXPECT_EQ(faults.failed(SysCall::Tcsetattr), 2);
    faults.fail(SysCall::Tcsetattr, 1, EINTR, 3);
    DCB d = LinkDcb();
    EXPECT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(faults.failed(SysCall::Tcsetattr), 3);
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1000));
    ASSERT_TRUE(serial_support::WriteText(pty.master, "in"));
    ASSERT_TRUE(WaitInQueue(h, 2));
    faults.fail(SysCall::Read, 1, EINTR, 3);
    ReadOutcome r = TimedRead(h, 2);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "in");
    EXPECT_EQ(faults.failed(SysCall::Read), 3);
    faults.fail(SysCall::Write, 1, EINTR, 3);
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "out", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(faults.failed(SysCall::Write), 3);
    EXPECT_EQ(serial_support::ReadExactly(pty.master, 3), "out");
    CloseHandle(h);
}

// A device that takes at most 7 bytes a write.
ssize_t ShortWrite(int fd, const void* buf, size_t n)
{
    return plat::real_syscalls().write(fd, buf, std::min<size_t>(n, 7));
}

TEST_F(SerialFaultTest, Eagain_IsWaitedOut_ShortWritesAreContinued)
{
    plat::Syscalls shortWrites = plat::real_syscalls();
    shortWrites.write = ShortWrite;
    SyscallFaults faults(shortWrites);
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 2000));
    std::string msg;
    for (int i = 0; i < 100; i++)
        msg.push_back((char)('A' + i % 26));
    faults.fail(SysCall::Write, 1, EAGAIN, 3);
    DWORD n = 0;
    SetLastError(kSentinel);
    EXPECT_TRUE(WriteFile(h, msg.data(), (DWORD)msg.size(), &n, nullptr));
    EXPECT_EQ(n, msg.size());
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(faults.failed(SysCall::Write), 3);
    EXPECT_GE(faults.calls(SysCall::Write), 3 + 15) << "three refusals and fifteen pieces of 7";
    EXPECT_EQ(serial_support::ReadExactly(pty.master, msg.size()), msg);
    CloseHandle(h);
}

// A write a signal cuts short moves half of its bytes, and the next write is
// interrupted before any byte went: WriteFile carries on from where the
// device stopped, so every byte arrives once, in order.
TEST_F(SerialFaultTest, HalfWriteThenEintr_DeliversEveryByteOnce)
{
    SyscallFaults faults;
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 2000));
    std::string msg;
    for (int i = 0; i < 100; i++)
        msg.push_back((char)('A' + i % 26));
    faults.half_write(1, 3);
    DWORD n = 0;
    SetLastError(kSentinel);
    EXPECT_TRUE(WriteFile(h, msg.data(), (DWORD)msg.size(), &n, nullptr));
    EXPECT_EQ(n, msg.size());
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(faults.calls(SysCall::Write), 7) << "50, EINTR, 25, EINTR, 12, EINTR, the last 13";
    EXPECT_EQ(serial_support::ReadExactly(pty.master, msg.size()), msg);
    int more = -1;
    EXPECT_EQ(ioctl(pty.master, FIONREAD, &more), 0);
    EXPECT_EQ(more, 0) << "no byte twice";
    CloseHandle(h);
}

// EIO on either direction is an unplugged device: that call and every later
// one fail with ERROR_DEVICE_NOT_CONNECTED, nothing is counted as moved.
TEST_F(SerialFaultTest, Eio_MarksThePortGone)
{
    const std::pair<SysCall, const char*> cases[] = {{SysCall::Read, "read"}, {SysCall::Write, "write"}};
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.second);
        HANDLE h = OpenOrFail();
        ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
        char buf[4];
        DWORD n = 3;
        {
            SyscallFaults faults;
            faults.fail(c.first, 1, EIO, SyscallFaults::kEvery);
            SetLastError(kSentinel);
            BOOL ok = c.first == SysCall::Read ? ReadFile(h, buf, sizeof buf, &n, nullptr)
                                               : WriteFile(h, "abc", 3, &n, nullptr);
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
            EXPECT_EQ(n, 0u);
        }
        ExpectReadAndWriteFail(h, ERROR_DEVICE_NOT_CONNECTED); // a gone port stays gone
        CloseHandle(h);
    }
}

// ---------------------------------------------------------------------------
// The sweep
// ---------------------------------------------------------------------------
constexpr int kHangMs = 5000; // an operation still running after this has hung
constexpr int kMostN = 64;    // no operation here makes more calls of one kind

// What the process holds. An operation that fails half-way gives back what
// it took.
struct Census
{
    size_t handles;
    int fds;
};

Census TakeCensus()
{
    return {plat::handle_count(), testsupport::OpenDescriptors()};
}

struct Outcome
{
    bool ok;
    DWORD error; // the last error after the call (kSentinel: untouched)
};

// An operation under the sweep: set up without faults, then run and cleaned
// up (its port closed) with them.
struct SweptOp
{
    const char* name;
    std::function<bool(Pty*, HANDLE*)> setUp;
    std::function<Outcome(Pty*, HANDLE)> run;
};

Outcome Finish(BOOL ok, HANDLE h)
{
    Outcome o = {ok != FALSE, GetLastError()};
    CloseHandle(h);
    return o;
}

bool OpenQuiet(Pty*, HANDLE* h)
{
    *h = OpenPort();
    return *h != INVALID_HANDLE_VALUE && PurgeComm(*h, PURGE_RXCLEAR);
}

const SweptOp kOpenLink = {
    "OpenModulePort",
    [](Pty*, HANDLE* h)
    {
        *h = nullptr;
        return true;
    },
    [](Pty*, HANDLE)
    {
        SetLastError(kSentinel);
        const bool ok = OpenModulePort() == 1;
        const Outcome o = {ok, GetLastError()};
        EXPECT_TRUE(ok || g_pModulePort.load()->hCom.load() == nullptr) << "a failed open keeps no port";
        CloseModulePort();
        return o;
    },
};

const SweptOp kReadSmall = {
    "ReadFile",
    [](Pty* pty, HANDLE* h)
    {
        return OpenQuiet(pty, h) && SetTimeouts(*h, 0, 0, 500) && serial_support::WriteText(pty->master, "abc") &&
               WaitInQueue(*h, 3);
    },
    [](Pty*, HANDLE h)
    {
        char buf[3];
        DWORD n = 0;
        SetLastError(kSentinel);
        const BOOL ok = ReadFile(h, buf, sizeof buf, &n, nullptr);
        EXPECT_TRUE(!ok || std::string(buf, n) == std::string("abc", n)) << "bytes in order";
        return Finish(ok, h);
    },
};

const SweptOp kWriteSmall = {
    "WriteFile",
    [](Pty* pty, HANDLE* h) { return OpenQuiet(pty, h) && SetTimeouts(*h, MAXDWORD, 0, 0, 0, 1000); },
    [](Pty* pty, HANDLE h)
    {
        DWORD n = 0;
        SetLastError(kSentinel);
        const BOOL ok = WriteFile(h, "hello", 5, &n, nullptr);
        EXPECT_TRUE(!ok || serial_support::ReadExactly(pty->master, n, 1000) == std::string("hello", n));
        return Finish(ok, h);
    },
};

const SweptOp kWaitEvent = {
    "WaitCommEvent",
    [](Pty* pty, HANDLE* h)
    {
        return OpenQuiet(pty, h) && SetCommMask(*h, EV_RXCHAR | EV_BREAK | EV_ERR) &&
               serial_support::WriteText(pty->master, "w") && WaitInQueue(*h, 1);
    },
    [](Pty*, HANDLE h)
    {
        DWORD ev = 0;
        SetLastError(kSentinel);
        const BOOL ok = WaitCommEvent(h, &ev, nullptr);
        EXPECT_TRUE(!ok || ev == EV_RXCHAR || ev == EV_ERR) << "data waiting, or the line lost: " << ev;
        return Finish(ok, h);
    },
};

// The far end of a large transfer, on a thread of its own: feeds `send` into
// the master as room comes and keeps what arrives, until stopped.
class FarEnd
{
public:
    FarEnd(int master, std::string send) : fd_(master), send_(std::move(send)), t_([this] { Run(); }) {}
    ~FarEnd()
    {
        Stop(0);
    }
    // Stops once `atLeast` bytes have arrived (or 2 s have passed); returns
    // what arrived.
    std::string Stop(size_t atLeast)
    {
        if (t_.joinable())
        {
            want_ = atLeast;
            stop_ = true;
            t_.join();
        }
        return got_;
    }

private:
    void Run()
    {
        size_t sent = 0;
        Clock::time_point stopAt = Clock::time_point::max();
        while (Clock::now() < stopAt)
        {
            if (stop_ && stopAt == Clock::time_point::max())
                stopAt = Clock::now() + std::chrono::seconds(2);
            if (stop_ && got_.size() >= want_)
                return;
            ssize_t w = stop_ || sent == send_.size() ? 0 : write(fd_, send_.data() + sent, send_.size() - sent);
            sent += w > 0 ? (size_t)w : 0;
            char buf[4096];
            ssize_t r = read(fd_, buf, sizeof buf);
            if (r > 0)
                got_.append(buf, (size_t)r);
            struct pollfd p = {fd_, (short)(POLLIN | (sent < send_.size() ? POLLOUT : 0)), 0};
            if (w <= 0 && r <= 0 && (poll(&p, 1, 5) <= 0 || (p.revents & POLLHUP)))
                std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a hung-up master polls at once
        }
    }
    int fd_;
    std::string send_;
    std::string got_;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> want_{0};
    std::thread t_;
};

std::string Pattern(size_t n)
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s.push_back((char)(i * 7 + i / 251));
    return s;
}

constexpr size_t kLarge = 20000; // several device reads or writes, and waits between them

const SweptOp kReadLarge = {
    "ReadFile 20 kB",
    [](Pty* pty, HANDLE* h) { return OpenQuiet(pty, h) && SetTimeouts(*h, 0, 0, 0); }, // until the count
    [](Pty* pty, HANDLE h)
    {
        const std::string sent = Pattern(kLarge);
        FarEnd far(pty->master, sent);
        std::string buf(kLarge, '\0');
        DWORD n = 0;
        SetLastError(kSentinel);
        const BOOL ok = ReadFile(h, buf.data(), (DWORD)buf.size(), &n, nullptr);
        EXPECT_EQ(buf.substr(0, n), sent.substr(0, n)) << "bytes in order";
        const Outcome o = Finish(ok, h);
        far.Stop(0);
        return o;
    },
};

const SweptOp kWriteLarge = {
    "WriteFile 20 kB",
    [](Pty* pty, HANDLE* h) { return OpenQuiet(pty, h) && SetTimeouts(*h, MAXDWORD, 0, 0, 0, 2000); },
    [](Pty* pty, HANDLE h)
    {
        const std::string data = Pattern(kLarge);
        FarEnd far(pty->master, "");
        DWORD n = 0;
        SetLastError(kSentinel);
        const BOOL ok = WriteFile(h, data.data(), (DWORD)data.size(), &n, nullptr);
        EXPECT_EQ(far.Stop(n), data.substr(0, n)) << "what the far end got is what the call counted";
        return Finish(ok, h);
    },
};

// Runs the operation on this thread while a watchdog waits; one still running
// after kHangMs has hung, and closing its port (or the link) ends it.
Outcome RunBounded(const SweptOp& op, Pty* pty, HANDLE h, bool* hung)
{
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    *hung = false;
    std::thread dog(
        [&]
        {
            std::unique_lock<std::mutex> lock(mu);
            if (cv.wait_for(lock, std::chrono::milliseconds(kHangMs), [&] { return done; }))
                return;
            *hung = true;
            lock.unlock();
            if (h != nullptr)
                CloseHandle(h);
            else
                CloseModulePort();
        });
    const Outcome o = op.run(pty, h);
    {
        std::lock_guard<std::mutex> lock(mu);
        done = true;
    }
    cv.notify_all();
    dog.join();
    return o;
}

struct SweepRow
{
    const SweptOp* op;
    SysCall call;
    int err;
    bool ridesOut; // the port retries, waits out or ignores this fault: success at every N
    int inqErr;    // with an errno: TIOCINQ (every ioctl) fails with it throughout
};

constexpr SysCall kOpen = SysCall::Open, kClose = SysCall::Close, kRead = SysCall::Read, kWrite = SysCall::Write,
                  kIoctl = SysCall::Ioctl, kFlock = SysCall::Flock, kTcget = SysCall::Tcgetattr,
                  kTcset = SysCall::Tcsetattr, kTcflush = SysCall::Tcflush;

// With TIOCINQ failing WaitCommEvent cannot count the waiting byte and reads
// it to see whether the line hung up: the sweep then reaches that read.
// clang-format off
// operation      call      errno        rides out  TIOCINQ
const SweepRow kSweep[] = {
    {&kOpenLink,   kOpen,    EIO,         false,     0},
    {&kOpenLink,   kOpen,    EINTR,       true,      0},
    {&kOpenLink,   kFlock,   EWOULDBLOCK, false,     0},
    {&kOpenLink,   kFlock,   EIO,         false,     0},
    {&kOpenLink,   kIoctl,   EIO,         true,      0},
    {&kOpenLink,   kTcget,   EIO,         false,     0},
    {&kOpenLink,   kTcset,   EIO,         false,     0},
    {&kOpenLink,   kTcset,   EINVAL,      false,     0},
    {&kOpenLink,   kTcflush, EIO,         true,      0},
    {&kOpenLink,   kClose,   EIO,         true,      0},
    {&kOpenLink,   kClose,   EINTR,       true,      0},
    {&kReadSmall,  kRead,    EIO,         false,     0},
    {&kReadSmall,  kRead,    EAGAIN,      true,      0},
    {&kReadSmall,  kRead,    EINTR,       true,      0},
    {&kReadSmall,  kRead,    EPROTO,      false,     0},
    {&kReadSmall,  kClose,   EIO,         true,      0},
    {&kReadLarge,  kRead,    EIO,         false,     0},
    {&kReadLarge,  kRead,    EAGAIN,      true,      0},
    {&kWriteSmall, kWrite,   EIO,         false,     0},
    {&kWriteSmall, kWrite,   EAGAIN,      true,      0},
    {&kWriteSmall, kWrite,   EINTR,       true,      0},
    {&kWriteSmall, kWrite,   ENOSPC,      false,     0},
    {&kWriteSmall, kClose,   EIO,         true,      0},
    {&kWriteLarge, kWrite,   EIO,         false,     0},
    {&kWriteLarge, kWrite,   EAGAIN,      true,      0},
    {&kWaitEvent,  kIoctl,   EIO,         true,      0},
    {&kWaitEvent,  kRead,    EIO,         true,      EIO},
    {&kWaitEvent,  kRead,    EAGAIN,      true,      EIO},
    {&kWaitEvent,  kRead,    EINTR,       true,      EIO},
    {&kWaitEvent,  kClose,   EIO,         true,      0},
};
// clang-format on

const char* CallName(SysCall call)
{
    static const char* const kNames[plat::kSysCallKinds] = {"open",  "close",     "read",      "write",   "poll",
                                                            "ioctl", "tcgetattr", "tcsetattr", "tcflush", "flock"};
    return kNames[(int)call];
}

// Sweeps one row; returns how many N made the fault fire.
int Sweep(const SweptOp& op, const SweepRow& row, Pty* pty)
{
    for (int n = 1; n <= kMostN; n++)
    {
        SCOPED_TRACE(testing::Message() << op.name << ", " << CallName(row.call) << " #" << n << " fails with "
                                        << strerror(row.err));
        const Census before = TakeCensus();
        HANDLE h = nullptr;
        EXPECT_TRUE(op.setUp(pty, &h));
        Outcome o;
        bool hung;
        int fired;
        {
            SyscallFaults faults;
            if (row.inqErr != 0)
                faults.fail(SysCall::Ioctl, 1, row.inqErr, SyscallFaults::kEvery);
            faults.fail(row.call, n, row.err);
            o = RunBounded(op, pty, h, &hung);
            fired = faults.failed(row.call);
        }
        EXPECT_FALSE(hung);
        EXPECT_TRUE(o.ok || (o.error != ERROR_SUCCESS && o.error != kSentinel)) << "a failure says why: " << o.error;
        EXPECT_TRUE(o.ok || !row.ridesOut) << "error " << o.error;
        serial_support::ReadFor(pty->master, 0); // what reached the far end
        const Census after = TakeCensus();
        EXPECT_EQ(after.handles, before.handles);
        EXPECT_EQ(after.fds, before.fds) << testsupport::DescribeDescriptors();
        if (fired == 0)
        {
            EXPECT_TRUE(o.ok) << "without a fault the operation succeeds";
            return n - 1;
        }
        if (testing::Test::HasFailure())
            return n;
    }
    ADD_FAILURE() << "still reaching call #" << kMostN;
    return kMostN;
}

// Every row of the operation, after a first run of it.
void SweepAll(const SweptOp& op, Pty* pty)
{
    // A first run, and a read that waits, leave what a thread keeps for good
    // (its wake-up descriptors), so that the census counts only what the
    // operation takes.
    HANDLE h = OpenPort();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1));
    ASSERT_EQ(TimedRead(h, 1).n, 0u);
    CloseHandle(h);
    ASSERT_TRUE(op.setUp(pty, &h));
    bool hung = false;
    ASSERT_TRUE(RunBounded(op, pty, h, &hung).ok);
    serial_support::ReadFor(pty->master, 0);
    for (const SweepRow& row : kSweep)
    {
        if (row.op != &op)
            continue;
        const int points = Sweep(op, row, pty);
        printf("[ sweep    ] %-15s %-9s %-26s N = 1..%d%s\n", op.name, CallName(row.call), strerror(row.err), points,
               row.inqErr != 0 ? " (TIOCINQ failing throughout)" : "");
        if (testing::Test::HasFailure())
            return;
    }
}

// Every system call opening, configuring and closing the link makes.
TEST_F(SerialFaultTest, Sweep_OpenModulePort)
{
    SweepAll(kOpenLink, &pty);
}

TEST_F(SerialFaultTest, Sweep_ReadFile)
{
    SweepAll(kReadSmall, &pty);
}

TEST_F(SerialFaultTest, Sweep_WriteFile)
{
    SweepAll(kWriteSmall, &pty);
}

// A transfer larger than a device read or write: a fault part-way leaves the
// count of what moved, and the bytes that moved are the first ones.
TEST_F(SerialFaultTest, Sweep_LargeTransfers)
{
    SweepAll(kReadLarge, &pty);
    SweepAll(kWriteLarge, &pty);
}

TEST_F(SerialFaultTest, Sweep_WaitCommEvent)
{
    SweepAll(kWaitEvent, &pty);
}

} // namespace
