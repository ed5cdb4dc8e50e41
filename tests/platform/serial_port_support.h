// What the serial port tests share: a pseudo-terminal pair whose slave the
// profile names "COM1:", a platform thread to block calls on, reads timed
// against their COMMTIMEOUTS, the module link's line record, a UART faked
// under a pty through the system-call table, and the simulator's answer to a
// sync byte. Each call under test is made with a sentinel last-error so that
// a test sees whether and how the error changed.
#pragma once

#include "platform/serial/syscalls.h"
#include "platform/win32.h"
#include "tests/support/serial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <linux/serial.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <vector>

namespace serial_tests
{

using serial_support::Clock;
using serial_support::MsSince;
using serial_support::Pty;

constexpr DWORD kSentinel = 0xDEADBEEF;
// CloseHandle and friends end a blocked call within this. A wake-up takes tens
// of microseconds; the bound leaves room for a loaded machine and sanitizers,
// while a call that stays blocked (seconds, or for ever) still fails it.
constexpr double kWakeMs = 400;

// Opens the pair and names its slave "COM1:" in the profile.
inline ::testing::AssertionResult OpenPtyAsCom1(Pty* pty)
{
    if (!pty->Open())
        return ::testing::AssertionFailure() << "no pseudo-terminal: " << std::strerror(errno);
    std::string err;
    if (!serial_support::LoadDevices({{"COM1:", "tty:" + pty->path}}, &err))
        return ::testing::AssertionFailure() << "profile: " << err;
    return ::testing::AssertionSuccess();
}

inline HANDLE OpenPort(LPCWSTR name = u"COM1:")
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

inline bool SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                        DWORD writeConstant = 0)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, writeMultiplier, writeConstant};
    return SetCommTimeouts(h, &t) != FALSE;
}

// Bytes the port counts as received and not yet read; 0xFFFFFFFF when
// ClearCommError fails.
inline DWORD InQueue(HANDLE h)
{
    COMSTAT st = {};
    DWORD errors = 0;
    return ClearCommError(h, &errors, &st) ? st.cbInQue : 0xFFFFFFFFu;
}

// Waits until the port counts at least n bytes received (the pty delivers
// asynchronously).
inline bool WaitInQueue(HANDLE h, DWORD n, int ms = 2000)
{
    const auto start = Clock::now();
    while (MsSince(start) < ms)
    {
        DWORD q = InQueue(h);
        if (q != 0xFFFFFFFFu && q >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

struct ReadOutcome
{
    BOOL ok = FALSE;
    DWORD n = 0;     // the count ReadFile reported
    DWORD error = 0; // the last error after the call (kSentinel: untouched)
    double ms = 0;
    std::string bytes;
};

inline ReadOutcome TimedRead(HANDLE h, DWORD count)
{
    std::vector<char> buf(count);
    ReadOutcome r;
    r.n = 12345;
    SetLastError(kSentinel);
    const auto start = Clock::now();
    r.ok = ReadFile(h, buf.data(), count, &r.n, nullptr);
    r.ms = MsSince(start);
    r.error = GetLastError();
    r.bytes.assign(buf.data(), r.ok ? r.n : 0);
    return r;
}

// The device is exclusive: a second open is refused with ERROR_SHARING_VIOLATION
// while `held` is open. Closes `held` and returns the device opened again.
inline HANDLE ExpectHeldThenReopen(LPCWSTR name, HANDLE held)
{
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(name), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(CloseHandle(held));
    HANDLE h = OpenPort(name);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    return h;
}

// ReadFile and WriteFile of a few bytes both fail with `error`; on a port
// (not a bad handle) they count nothing moved.
inline void ExpectReadAndWriteFail(HANDLE h, DWORD error)
{
    char buf[8];
    DWORD n = 5;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), error) << "ReadFile";
    EXPECT_TRUE(n == 0 || error == ERROR_INVALID_HANDLE) << "ReadFile counted " << n;
    n = 5;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), error) << "WriteFile";
    EXPECT_TRUE(n == 0 || error == ERROR_INVALID_HANDLE) << "WriteFile counted " << n;
}

// The module link's line: 115200 baud, 8 data bits, no parity, one and a half
// stop bits, DTR and RTS on.
inline DCB LinkDcb()
{
    DCB d = {};
    d.DCBlength = sizeof d;
    d.BaudRate = 115200;
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.fTXContinueOnXoff = 1;
    d.ByteSize = 8;
    d.Parity = NOPARITY;
    d.StopBits = ONE5STOPBITS;
    return d;
}

// Sends the sync byte and reads the one answer byte within 3 s: 0xA0 from a
// simulated boot ROM; -1 when the calls fail or nothing comes.
inline int SyncAnswer(HANDLE h)
{
    BYTE sync = 0x55;
    BYTE answer = 0;
    DWORD n = 0;
    if (!SetTimeouts(h, MAXDWORD, MAXDWORD, 3000, 0, 1000) || !WriteFile(h, &sync, 1, &n, nullptr) ||
        !ReadFile(h, &answer, 1, &n, nullptr) || n != 1)
        return -1;
    return answer;
}

// A UART under the pty: TIOCGICOUNT answers from `counts` and the modem-line
// requests succeed, as a serial driver's would; every other request goes to
// the real call. Install with a table whose ioctl is UartIoctl.
struct FakeUart
{
    static inline std::mutex mu;
    static inline struct serial_icounter_struct counts = {};
    static inline int lines = 0; // TIOCM_* raised
};

inline int UartIoctl(int fd, unsigned long request, void* arg)
{
    if (request != TIOCGICOUNT && request != TIOCMGET && request != TIOCMBIS && request != TIOCMBIC)
        return plat::real_syscalls().ioctl(fd, request, arg);
    std::lock_guard<std::mutex> lock(FakeUart::mu);
    switch (request)
    {
        case TIOCGICOUNT:
            *static_cast<struct serial_icounter_struct*>(arg) = FakeUart::counts;
            return 0;
        case TIOCMGET:
            *static_cast<int*>(arg) = FakeUart::lines;
            return 0;
        case TIOCMBIS:
            FakeUart::lines |= *static_cast<int*>(arg);
            return 0;
        default: // TIOCMBIC
            FakeUart::lines &= ~*static_cast<int*>(arg);
            return 0;
    }
}

inline plat::Syscalls UartSyscalls()
{
    plat::Syscalls table = plat::real_syscalls();
    table.ioctl = UartIoctl;
    return table;
}

// A platform thread running a test function; done() turns true when the
// function has returned.
class PlatformThread
{
public:
    bool Start(std::function<DWORD()> fn, DWORD flags = 0)
    {
        fn_ = std::move(fn);
        h_ = CreateThread(nullptr, 0, Trampoline, this, flags, nullptr);
        return h_ != nullptr;
    }
    bool WaitDone(int ms)
    {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_; });
    }
    bool done()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return done_;
    }
    HANDLE handle() const
    {
        return h_;
    }
    ~PlatformThread()
    {
        if (h_ != nullptr)
            CloseHandle(h_);
    }

private:
    static DWORD Trampoline(LPVOID p)
    {
        PlatformThread* self = static_cast<PlatformThread*>(p);
        DWORD code = self->fn_();
        std::lock_guard<std::mutex> lock(self->mu_);
        self->done_ = true;
        self->cv_.notify_all();
        return code;
    }
    std::function<DWORD()> fn_;
    HANDLE h_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
};

struct Blocked
{
    std::atomic<BOOL> ok{-1};
    std::atomic<DWORD> error{0};
    std::atomic<DWORD> value{0};
    Clock::time_point returned;
};

// Runs call on a platform thread, lets it block, runs wake, and returns how
// long the call took to return after the wake.
inline double WakeAfter(Blocked* b, std::function<BOOL(DWORD*)> call, std::function<void()> wake)
{
    PlatformThread t;
    std::mutex mu;
    EXPECT_TRUE(t.Start(
        [&]() -> DWORD
        {
            DWORD v = 0;
            SetLastError(kSentinel);
            BOOL ok = call(&v);
            b->error = GetLastError();
            b->value = v;
            std::lock_guard<std::mutex> lock(mu);
            b->returned = Clock::now();
            b->ok = ok;
            return 0;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(t.done()) << "the call did not block";
    auto woke = Clock::now();
    wake();
    EXPECT_TRUE(t.WaitDone(2000));
    std::lock_guard<std::mutex> lock(mu);
    return std::chrono::duration<double, std::milli>(b->returned - woke).count();
}

// The pair opened and named "COM1:" for every test of the fixture.
class PtyPortTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenPtyAsCom1(&pty));
    }

    HANDLE OpenOrFail()
    {
        HANDLE h = OpenPort();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return h;
    }

    Pty pty;
};

} // namespace serial_tests
