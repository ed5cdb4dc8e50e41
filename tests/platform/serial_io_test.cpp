// Serial port I/O paths the bridge leans on: a read and a write on one port
// run at once (the two pumps share each port), an idle port is waited on
// without being read, yet bytes and a hang-up still show at once, small reads
// are served from one device read of a line buffer's worth, and bytes a
// WaitCommEvent probe took come out of the next read. The device is the slave
// of a real pseudo-terminal; the read, write and ioctl calls go through an
// injecting system-call table that can hold a call inside the "kernel".
#include "platform/serial/syscalls.h"
#include "platform/win32.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <mutex>
#include <sys/ioctl.h>
#include <thread>

namespace
{

using namespace serial_tests;

constexpr auto kHoldLimit = std::chrono::seconds(5); // a held call gives up after this

// What the injected calls do and saw.
struct Hooks
{
    std::mutex mu;
    std::condition_variable cv;
    bool holdNextRead = false;  // the next read stays in the "kernel" until a write completes
    bool holdNextWrite = false; // the next write stays until a read has brought bytes
    bool readHeld = false;      // a read is being held now
    bool writeHeld = false;     // a write is being held now
    bool writeSeenDuringRead = false;
    bool readSeenDuringWrite = false;
    int writesDone = 0;
    int readsWithBytes = 0;
    std::atomic<int> reads{0};
    std::atomic<bool> inQueueZero{false}; // TIOCINQ answers 0, as before the driver counts new bytes
};
Hooks* g_hooks = nullptr;

// Holds a call in the "kernel" when `hold` is set: it stays there, `held`
// true, until the other direction's count moves (or kHoldLimit passes), and
// `seen` says whether it did. Then the real call is made; one that moved
// bytes counts in `done`.
ssize_t Held(bool Hooks::*hold, bool Hooks::*held, bool Hooks::*seen, int Hooks::*other, int Hooks::*done,
             const std::function<ssize_t()>& call)
{
    std::unique_lock<std::mutex> lock(g_hooks->mu);
    if (g_hooks->*hold)
    {
        g_hooks->*hold = false;
        g_hooks->*held = true;
        g_hooks->cv.notify_all();
        const int before = g_hooks->*other;
        g_hooks->*seen = g_hooks->cv.wait_for(lock, kHoldLimit, [&] { return g_hooks->*other > before; });
        g_hooks->*held = false;
    }
    lock.unlock();
    ssize_t r = call();
    if (r > 0)
    {
        lock.lock();
        (g_hooks->*done)++;
        g_hooks->cv.notify_all();
    }
    return r;
}

ssize_t HookedRead(int fd, void* buf, size_t n)
{
    g_hooks->reads++;
    return Held(&Hooks::holdNextRead, &Hooks::readHeld, &Hooks::writeSeenDuringRead, &Hooks::writesDone,
                &Hooks::readsWithBytes, [&] { return plat::real_syscalls().read(fd, buf, n); });
}

ssize_t HookedWrite(int fd, const void* buf, size_t n)
{
    return Held(&Hooks::holdNextWrite, &Hooks::writeHeld, &Hooks::readSeenDuringWrite, &Hooks::readsWithBytes,
                &Hooks::writesDone, [&] { return plat::real_syscalls().write(fd, buf, n); });
}

int HookedIoctl(int fd, unsigned long request, void* arg)
{
    if (request == TIOCINQ && g_hooks->inQueueZero)
    {
        *static_cast<int*>(arg) = 0;
        return 0;
    }
    return plat::real_syscalls().ioctl(fd, request, arg);
}

// The far end sends `text`; the port's reads of up to `chunk` bytes gather it
// (for at most 2 s). Returns what they gathered.
std::string SendAndReadBack(HANDLE h, int master, const std::string& text, DWORD chunk)
{
    std::string got;
    if (!serial_support::WriteText(master, text))
        return got;
    const auto start = Clock::now();
    while (got.size() < text.size() && MsSince(start) < 2000)
    {
        ReadOutcome r = TimedRead(h, chunk);
        if (!r.ok)
            break;
        got += r.bytes;
    }
    return got;
}

class SerialIoTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenPtyAsCom1(&pty));
        g_hooks = &hooks;
        table = plat::real_syscalls();
        table.read = HookedRead;
        table.write = HookedWrite;
        table.ioctl = HookedIoctl;
        override_ = std::make_unique<plat::SyscallOverride>(&table);
        h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    }

    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        override_.reset();
    }

    // Waits until the flag turns true (a held call has entered the "kernel").
    bool WaitFor(bool Hooks::*flag)
    {
        std::unique_lock<std::mutex> lock(hooks.mu);
        return hooks.cv.wait_for(lock, kHoldLimit, [&] { return hooks.*flag; });
    }

    Pty pty;
    Hooks hooks;
    plat::Syscalls table;
    std::unique_ptr<plat::SyscallOverride> override_;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// The bridge's two pumps: one reads a port while the other writes it. Neither
// may wait for the other's system call to end.
TEST_F(SerialIoTest, ReadAndWrite_OnOnePort_RunAtOnce)
{
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 3000));

    // A read inside its system call, and a write on another thread.
    {
        std::lock_guard<std::mutex> lock(hooks.mu);
        hooks.holdNextRead = true;
    }
    std::future<ReadOutcome> reader = std::async(std::launch::async, [&] { return TimedRead(h, 16); });
    ASSERT_TRUE(WaitFor(&Hooks::readHeld));
    DWORD n = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, "w", 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_LT(MsSince(start), 2000) << "the write waited for the read";
    EXPECT_EQ(serial_support::ReadExactly(pty.master, 1), "w");
    ASSERT_TRUE(serial_support::WriteText(pty.master, "r"));
    ReadOutcome r = reader.get();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "r");
    {
        std::lock_guard<std::mutex> lock(hooks.mu);
        EXPECT_TRUE(hooks.writeSeenDuringRead) << "the write completed only after the read let go";
    }

    // A write inside its system call, and a read on another thread.
    {
        std::lock_guard<std::mutex> lock(hooks.mu);
        hooks.holdNextWrite = true;
    }
    std::future<BOOL> writer = std::async(std::launch::async,
                                          [&]
                                          {
                                              DWORD w = 0;
                                              return WriteFile(h, "x", 1, &w, nullptr);
                                          });
    ASSERT_TRUE(WaitFor(&Hooks::writeHeld));
    ASSERT_TRUE(serial_support::WriteText(pty.master, "y"));
    r = TimedRead(h, 16);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "y");
    EXPECT_LT(r.ms, 2000) << "the read waited for the write";
    EXPECT_TRUE(writer.get());
    EXPECT_EQ(serial_support::ReadExactly(pty.master, 1), "x");
    std::lock_guard<std::mutex> lock(hooks.mu);
    EXPECT_TRUE(hooks.readSeenDuringWrite) << "the read completed only after the write let go";
}

// With the bridge's time-outs an idle port is waited on, not read on every
// call; bytes that come and a far side that hangs up still show at once.
TEST_F(SerialIoTest, IdlePort_IsWaitedOnWithoutReads_YetBytesAndHangUpShowAtOnce)
{
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1));
    ReadOutcome r = TimedRead(h, 1024);
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, "");
    const int readsBefore = hooks.reads.load();
    for (int i = 0; i < 20; i++)
    {
        r = TimedRead(h, 1024);
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.bytes, "");
        EXPECT_GE(r.ms, 0.9) << "the time-out still holds";
    }
    EXPECT_EQ(hooks.reads.load(), readsBefore) << "an idle device was read on every call";

    EXPECT_EQ(SendAndReadBack(h, pty.master, "ab", 1024), "ab");

    r = TimedRead(h, 1024); // idle again
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, "");
    pty.CloseMaster();
    r = TimedRead(h, 1024);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(r.ms, 100);
}

// Bytes a read took from the device beyond what its caller asked for are the
// next reads' bytes, in order; until then they count as waiting, a
// WaitCommEvent sees them, and PURGE_RXCLEAR drops them.
TEST_F(SerialIoTest, SmallReads_AreServedFromOneDeviceRead_InOrder_UntilPurged)
{
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1)); // the bridge's reads
    std::string sent;
    for (int i = 0; i < 3000; i++)
        sent.push_back((char)(i * 7 + i / 256));
    ASSERT_TRUE(serial_support::WriteText(pty.master, sent));
    ASSERT_TRUE(WaitInQueue(h, 3000));
    const int readsBefore = hooks.reads.load();
    ReadOutcome r = TimedRead(h, 1000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, sent.substr(0, 1000));
    EXPECT_EQ(InQueue(h), 2000u) << "bytes taken ahead still count as waiting";
    r = TimedRead(h, 1000);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, sent.substr(1000, 1000));
    EXPECT_EQ(hooks.reads.load() - readsBefore, 1) << "one device read serves both";

    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD ev = 0;
    EXPECT_TRUE(WaitCommEvent(h, &ev, nullptr)) << "returns at once: bytes are waiting";
    EXPECT_EQ(ev, (DWORD)EV_RXCHAR);

    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(h), 0u);
    r = TimedRead(h, 1000);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "") << "purged bytes came back";
    EXPECT_EQ(SendAndReadBack(h, pty.master, "after", 1000), "after");
}

// A WaitCommEvent that had to read to tell bytes from a hang-up keeps what it
// read; the next read hands it out at once, idle port or not.
TEST_F(SerialIoTest, BytesAProbeTook_ComeOutOfTheNextRead_OnAnIdlePort)
{
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1));
    ReadOutcome r = TimedRead(h, 1024); // the port is idle from here
    ASSERT_TRUE(r.ok);
    ASSERT_EQ(r.bytes, "");
    hooks.inQueueZero = true; // the bytes show only by polling, so the wait reads them
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(serial_support::WriteText(pty.master, "s"));
    std::future<DWORD> waiter = std::async(std::launch::async,
                                           [&]
                                           {
                                               DWORD ev = 0;
                                               return WaitCommEvent(h, &ev, nullptr) ? ev : 0xFFFFFFFFu;
                                           });
    if (waiter.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
    {
        CloseHandle(h); // ends the wait
        h = INVALID_HANDLE_VALUE;
        FAIL() << "WaitCommEvent did not see the byte";
    }
    ASSERT_EQ(waiter.get(), (DWORD)EV_RXCHAR);
    r = TimedRead(h, 1024);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "s");
}

} // namespace
