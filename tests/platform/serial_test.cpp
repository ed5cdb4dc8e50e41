// Conformance tests of the serial port calls against what the tool relies on:
// exclusive open, raw mode, line settings, the COMMTIMEOUTS modes, wake-ups by
// CloseHandle, TerminateThread, PurgeComm and SetCommMask, hang-up handling,
// stale handles, SuspendThread, and system-call faults injected through the
// replaceable table. Each call is made with a sentinel last-error so that a
// test sees whether and how the error changed. The far side is the master of a
// real pseudo-terminal pair whose slave the profile names as the port.
#include "platform/kernel/debug.h"
#include "platform/profile/profile.h"
#include "platform/serial/serial.h"
#include "platform/serial/syscalls.h"
#include "platform/kernel/text.h"
#include "platform/win32.h"
#include "sim/sim.h"
#include "tests/support/serial_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <functional>
#include <linux/serial.h>
#include <mutex>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>

namespace
{

using serial_support::Clock;
using serial_support::MsSince;
using serial_support::Pty;

constexpr DWORD kSentinel = 0xDEADBEEF;
// CloseHandle and friends end a blocked call within this. A wake-up takes tens
// of microseconds; the bound leaves room for a loaded machine and sanitizers,
// while a call that stays blocked (seconds, or for ever) still fails it.
constexpr double kWakeMs = 400;

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

HANDLE OpenPort(LPCWSTR name = u"COM1:")
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier = 0,
                 DWORD writeConstant = 0)
{
    COMMTIMEOUTS t = {interval, multiplier, constant, writeMultiplier, writeConstant};
    return SetCommTimeouts(h, &t) != FALSE;
}

// Descriptors of this process open on path.
std::vector<int> FdsOn(const std::string& path)
{
    std::vector<int> fds;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return fds;
    while (struct dirent* e = readdir(d))
    {
        char target[PATH_MAX];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0)
        {
            target[n] = 0;
            if (path == target)
                fds.push_back(atoi(e->d_name));
        }
    }
    closedir(d);
    return fds;
}

// Makes the pty's slave cooked again, as a fresh one is: echo, CR mapping,
// XON/XOFF and output processing would all change bytes.
void MakeCooked(int master)
{
    struct termios t;
    ASSERT_EQ(tcgetattr(master, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    t.c_iflag |= ICRNL | IXON;
    t.c_oflag |= OPOST | ONLCR;
    ASSERT_EQ(tcsetattr(master, TCSANOW, &t), 0);
}

// Waits until ClearCommError counts n bytes waiting (the pty delivers
// asynchronously).
bool WaitInQueue(HANDLE h, DWORD n, int ms = 2000)
{
    auto start = Clock::now();
    while (MsSince(start) < ms)
    {
        COMSTAT st = {};
        DWORD errors = 0;
        if (ClearCommError(h, &errors, &st) && st.cbInQue >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

class SerialTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pty.Open()) << std::strerror(errno);
        std::string err;
        ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}}, &err)) << err;
    }

    HANDLE OpenOrFail()
    {
        HANDLE h = OpenPort();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        return h;
    }

    Pty pty;
};

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------
TEST_F(SerialTest, Open_UnknownDevice_FailsWithFileNotFound)
{
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(u"COM9:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);

    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SerialTest, Open_MissingTtyPath_FailsWithFileNotFound)
{
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:/dev/no-such-tty-here"}}, &err)) << err;
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

TEST_F(SerialTest, Open_DeviceNamesCompareWithoutCase)
{
    HANDLE h = OpenPort(u"com1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SerialTest, Open_NotOpenExisting_IsRefused)
{
    SetLastError(kSentinel);
    EXPECT_EQ(CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(SerialTest, SecondOpen_IsRefusedWithAccessDenied_EvenAsRoot)
{
    HANDLE h = OpenOrFail();
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED) << "euid " << geteuid();

    // Another name for the same tty is the same device.
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}, {"COM2:", "tty:" + pty.path}}, &err)) << err;
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(u"COM2:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);

    // Closing frees it at once.
    EXPECT_TRUE(CloseHandle(h));
    h = OpenPort(u"COM2:");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
}

TEST_F(SerialTest, Open_TtyLockedByAnotherHolder_IsRefused_EvenAsRoot)
{
    // Another program holding the tty's lock (flock works for root too,
    // where TIOCEXCL does not).
    int other = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    close(other);
    HANDLE h = OpenOrFail();
    CloseHandle(h);
}

TEST_F(SerialTest, Open_AppliesRawModeBeforeAnyByteFlows)
{
    // A fresh slave is cooked; make sure of it (termios on the master reaches
    // the slave), then open and read the slave's settings back.
    MakeCooked(pty.master);
    HANDLE h = OpenOrFail();
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), (tcflag_t)(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Bad and stale handles
// ---------------------------------------------------------------------------
DWORD Finished(LPVOID)
{
    return 0;
}

TEST_F(SerialTest, EveryCall_OnBadHandles_FailsWithInvalidHandle)
{
    HANDLE closed = OpenOrFail();
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE thread = CreateThread(nullptr, 0, Finished, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);

    struct Bad
    {
        const char* what;
        HANDLE h;
    };
    const Bad bad[] = {
        {"INVALID_HANDLE_VALUE", INVALID_HANDLE_VALUE}, {"0", nullptr}, {"closed", closed}, {"thread", thread},
        {"made up", (HANDLE)(uintptr_t)0x12345678},
    };
    using Call = std::function<BOOL(HANDLE)>;
    // name            call
    const std::pair<const char*, Call> calls[] = {
        {"ReadFile",
         [](HANDLE h)
         {
             BYTE b;
             DWORD n = 7;
             return ReadFile(h, &b, 1, &n, nullptr);
         }},
        {"WriteFile",
         [](HANDLE h)
         {
             BYTE b = 0;
             DWORD n = 7;
             return WriteFile(h, &b, 1, &n, nullptr);
         }},
        {"GetCommState",
         [](HANDLE h)
         {
             DCB d = {};
             return GetCommState(h, &d);
         }},
        {"SetCommState",
         [](HANDLE h)
         {
             DCB d = {};
             d.DCBlength = sizeof d;
             d.BaudRate = 9600;
             d.ByteSize = 8;
             return SetCommState(h, &d);
         }},
        {"GetCommTimeouts",
         [](HANDLE h)
         {
             COMMTIMEOUTS t;
             return GetCommTimeouts(h, &t);
         }},
        {"SetCommTimeouts",
         [](HANDLE h)
         {
             COMMTIMEOUTS t = {};
             return SetCommTimeouts(h, &t);
         }},
        {"SetupComm", [](HANDLE h) { return SetupComm(h, 100, 100); }},
        {"PurgeComm", [](HANDLE h) { return PurgeComm(h, PURGE_RXCLEAR); }},
        {"EscapeCommFunction", [](HANDLE h) { return EscapeCommFunction(h, SETBREAK); }},
        {"SetCommMask", [](HANDLE h) { return SetCommMask(h, EV_RXCHAR); }},
        {"GetCommMask",
         [](HANDLE h)
         {
             DWORD m;
             return GetCommMask(h, &m);
         }},
        {"WaitCommEvent",
         [](HANDLE h)
         {
             DWORD e;
             return WaitCommEvent(h, &e, nullptr);
         }},
        {"ClearCommError",
         [](HANDLE h)
         {
             DWORD e;
             COMSTAT s;
             return ClearCommError(h, &e, &s);
         }},
    };
    for (const Bad& b : bad)
    {
        for (const auto& c : calls)
        {
            SetLastError(kSentinel);
            EXPECT_FALSE(c.second(b.h)) << c.first << " on " << b.what;
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE) << c.first << " on " << b.what;
        }
    }
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(closed));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    CloseHandle(thread);
}

TEST_F(SerialTest, StaleHandle_NeverReachesADeviceOpenedOnItsDescriptor)
{
    Pty other;
    ASSERT_TRUE(other.Open());
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}, {"COM2:", "tty:" + other.path}}, &err))
        << err;

    HANDLE stale = OpenOrFail();
    std::vector<int> before = FdsOn(pty.path);
    ASSERT_EQ(before.size(), 1u);
    ASSERT_TRUE(CloseHandle(stale));
    EXPECT_TRUE(FdsOn(pty.path).empty()) << "the descriptor closes with the last reference";

    // Take every free number below the old one, so the kernel must hand the
    // old number to the next device.
    std::vector<int> fillers;
    for (;;)
    {
        int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        if (fd >= before[0])
        {
            close(fd);
            break;
        }
        fillers.push_back(fd);
    }
    HANDLE fresh = OpenPort(u"COM2:");
    for (int fd : fillers)
        close(fd);
    ASSERT_NE(fresh, INVALID_HANDLE_VALUE);
    std::vector<int> after = FdsOn(other.path);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0], before[0]) << "the kernel handed the same number to the new device";
    EXPECT_NE(fresh, stale) << "a handle value is never handed out twice";

    ASSERT_TRUE(serial_support::WriteText(other.master, "new"));
    ASSERT_TRUE(WaitInQueue(fresh, 3));
    ASSERT_TRUE(SetTimeouts(fresh, MAXDWORD, 0, 0));
    BYTE buf[8];
    DWORD n = 99;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(stale, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(stale, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(serial_support::ReadUntilQuiet(other.master, 50), "") << "the stale write reached the new device";

    // The new device's bytes are all still there.
    ASSERT_TRUE(ReadFile(fresh, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string((char*)buf, n), "new");
    CloseHandle(fresh);
}

TEST_F(SerialTest, Calls_CheckTheirPointers)
{
    HANDLE h = OpenOrFail();
    BYTE b = 0;
    DWORD n = 0;
    char ov[64] = {};
    OVERLAPPED* overlapped = reinterpret_cast<OVERLAPPED*>(ov);
    // call                                                     what
    const std::pair<std::function<BOOL()>, const char*> cases[] = {
        {[&] { return ReadFile(h, &b, 1, &n, overlapped); }, "ReadFile overlapped"},
        {[&] { return WriteFile(h, &b, 1, &n, overlapped); }, "WriteFile overlapped"},
        {[&] { return ReadFile(h, &b, 1, nullptr, nullptr); }, "ReadFile without count"},
        {[&] { return WriteFile(h, &b, 1, nullptr, nullptr); }, "WriteFile without count"},
        {[&] { return ReadFile(h, nullptr, 1, &n, nullptr); }, "ReadFile without buffer"},
        {[&] { return WaitCommEvent(h, &n, overlapped); }, "WaitCommEvent overlapped"},
        {[&] { return WaitCommEvent(h, nullptr, nullptr); }, "WaitCommEvent without event word"},
        {[&] { return GetCommState(h, nullptr); }, "GetCommState without DCB"},
        {[&] { return SetCommState(h, nullptr); }, "SetCommState without DCB"},
        {[&] { return GetCommTimeouts(h, nullptr); }, "GetCommTimeouts without record"},
        {[&] { return SetCommTimeouts(h, nullptr); }, "SetCommTimeouts without record"},
        {[&] { return GetCommMask(h, nullptr); }, "GetCommMask without word"},
        {[&] { return SetCommMask(h, 0x10000); }, "SetCommMask with unknown bits"},
        {[&] { return PurgeComm(h, 0x10); }, "PurgeComm with unknown flags"},
        {[&] { return EscapeCommFunction(h, 77); }, "EscapeCommFunction with unknown function"},
    };
    for (const auto& c : cases)
    {
        SetLastError(kSentinel);
        EXPECT_FALSE(c.first()) << c.second;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.second;
    }
    // WaitCommEvent with no mask set has nothing to wait for.
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    // Zero-length transfers succeed at once.
    SetLastError(kSentinel);
    n = 5;
    EXPECT_TRUE(ReadFile(h, &b, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_TRUE(WriteFile(h, &b, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(GetLastError(), kSentinel);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Line settings
// ---------------------------------------------------------------------------
DCB LinkDcb()
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

TEST_F(SerialTest, SetCommState_AppliesTheLineToTheTty)
{
    HANDLE h = OpenOrFail();
    DCB d = LinkDcb();
    SetLastError(kSentinel);
    ASSERT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(GetLastError(), kSentinel);

    struct termios t;
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200);
    EXPECT_EQ(cfgetispeed(&t), (speed_t)B115200);
    EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
    EXPECT_TRUE(t.c_cflag & CSTOPB) << "one and a half stop bits become two";
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);

    DCB back = {};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.DCBlength, sizeof(DCB));
    EXPECT_EQ(back.BaudRate, 115200u);
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.StopBits, ONE5STOPBITS);
    EXPECT_EQ(back.fDtrControl, (DWORD)DTR_CONTROL_ENABLE);
    EXPECT_EQ(back.fTXContinueOnXoff, 1u);

    // Flow control and its characters, two stop bits, another speed.
    d.BaudRate = 9600;
    d.StopBits = TWOSTOPBITS;
    d.fOutxCtsFlow = 1;
    d.fOutX = 1;
    d.fInX = 1;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    ASSERT_TRUE(SetCommState(h, &d));
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B9600);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), (tcflag_t)(IXON | IXOFF));
    EXPECT_EQ(t.c_cc[VSTART], 0x11);
    EXPECT_EQ(t.c_cc[VSTOP], 0x13);
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
    CloseHandle(h);
}

TEST_F(SerialTest, SetCommState_WhatAPtyCannotTakeIsReportedNotFailed)
{
    HANDLE h = OpenOrFail();
    DCB d = LinkDcb();
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = ONESTOPBIT;
    plat::debug_capture_begin();
    SetLastError(kSentinel);
    EXPECT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(GetLastError(), kSentinel);
    auto lines = plat::debug_capture_take();
    plat::debug_capture_end();

    // GetCommState tells what the port really has, whatever the kernel kept.
    struct termios t;
    ASSERT_EQ(tcgetattr(pty.master, &t), 0);
    DCB back = {};
    ASSERT_TRUE(GetCommState(h, &back));
    const bool kept7 = (t.c_cflag & CSIZE) == CS7;
    EXPECT_EQ(back.ByteSize, kept7 ? 7 : 8);
    EXPECT_EQ(back.Parity, (t.c_cflag & PARENB) ? EVENPARITY : NOPARITY);
    EXPECT_EQ(cfgetospeed(&t), (speed_t)B115200) << "what the device can take is applied";
    if (!kept7)
    {
        ASSERT_FALSE(lines.empty()) << "the refused settings are reported";
        EXPECT_NE(plat::utf16_to_utf8(lines[0]).find("COM1: cannot take 115200 baud, 7 data bits, even parity"),
                  std::string::npos)
            << plat::utf16_to_utf8(lines[0]);
    }
    CloseHandle(h);
}

TEST_F(SerialTest, SetCommState_RefusesBadRecordsAndChangesNothing)
{
    HANDLE h = OpenOrFail();
    DCB good = LinkDcb();
    ASSERT_TRUE(SetCommState(h, &good));
    struct termios before;
    ASSERT_EQ(tcgetattr(pty.master, &before), 0);

    struct Case
    {
        const char* what;
        std::function<void(DCB*)> spoil;
    };
    const Case cases[] = {
        {"record length", [](DCB* d) { d->DCBlength = 12; }},
        {"baud rate", [](DCB* d) { d->BaudRate = 12345; }},
        {"baud rate 0", [](DCB* d) { d->BaudRate = 0; }},
        {"4 data bits", [](DCB* d) { d->ByteSize = 4; }},
        {"9 data bits", [](DCB* d) { d->ByteSize = 9; }},
        {"parity", [](DCB* d) { d->Parity = 5; }},
        {"stop bits", [](DCB* d) { d->StopBits = 3; }},
        {"XON equals XOFF",
         [](DCB* d)
         {
             d->fOutX = 1;
             d->XonChar = d->XoffChar = 0x11;
         }},
    };
    for (const Case& c : cases)
    {
        DCB d = LinkDcb();
        d.BaudRate = 9600;
        c.spoil(&d);
        SetLastError(kSentinel);
        EXPECT_FALSE(SetCommState(h, &d)) << c.what;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.what;
    }
    struct termios after;
    ASSERT_EQ(tcgetattr(pty.master, &after), 0);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    CloseHandle(h);
}

TEST_F(SerialTest, GetCommState_KeepsFieldsTermiosCannotHold)
{
    HANDLE h = OpenOrFail();
    DCB d = LinkDcb();
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    d.XonLim = 100;
    d.XoffLim = 200;
    d.EofChar = 0x1A;
    d.EvtChar = 0x7E;
    d.ErrorChar = 0x3F;
    ASSERT_TRUE(SetCommState(h, &d));
    DCB back = {};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.fDtrControl, (DWORD)DTR_CONTROL_DISABLE);
    EXPECT_EQ(back.fRtsControl, (DWORD)RTS_CONTROL_DISABLE);
    EXPECT_EQ(back.XonLim, 100);
    EXPECT_EQ(back.XoffLim, 200);
    EXPECT_EQ(back.EofChar, 0x1A);
    EXPECT_EQ(back.EvtChar, 0x7E);
    EXPECT_EQ(back.ErrorChar, 0x3F);
    CloseHandle(h);
}

TEST_F(SerialTest, Timeouts_StartAtTheDriverDefaultsAndRoundTrip)
{
    HANDLE h = OpenOrFail();
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 250u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 100u);
    COMMTIMEOUTS set = {MAXDWORD, 0, 0, 10, 1000};
    ASSERT_TRUE(SetCommTimeouts(h, &set));
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(std::memcmp(&t, &set, sizeof t), 0);
    CloseHandle(h);
}

TEST_F(SerialTest, EscapeCommFunction_ModemLinesOnAPtyAreNotSupported)
{
    HANDLE h = OpenOrFail();
    for (DWORD f : {SETDTR, CLRDTR, SETRTS, CLRRTS})
    {
        SetLastError(kSentinel);
        EXPECT_FALSE(EscapeCommFunction(h, f)) << f;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED) << f;
    }
    // A pty accepts a break (and sends nothing).
    EXPECT_TRUE(EscapeCommFunction(h, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(h, CLRBREAK));
    EXPECT_TRUE(SetupComm(h, 0x8000, 0x8000));
    CloseHandle(h);
}

TEST_F(SerialTest, EveryByteValue_CrossesUnchangedBothWays)
{
    MakeCooked(pty.master);
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 2000, 0, 2000));
    std::string all;
    for (int round = 0; round < 4; round++)
    {
        for (int i = 0; i < 256; i++)
            all.push_back((char)i);
    }
    ASSERT_TRUE(serial_support::WriteText(pty.master, all));
    std::string got;
    while (got.size() < all.size())
    {
        char buf[300];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
        ASSERT_GT(n, 0u) << "after " << got.size() << " bytes";
        got.append(buf, n);
    }
    EXPECT_EQ(got, all);

    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, all.data(), (DWORD)all.size(), &written, nullptr));
    EXPECT_EQ(written, all.size());
    EXPECT_EQ(serial_support::ReadExactly(pty.master, all.size()), all);
    CloseHandle(h);
}

TEST_F(SerialTest, PurgeComm_ClearDropsWaitingBytes_ClearCommErrorCountsThem)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(serial_support::WriteText(pty.master, "0123456789"));
    ASSERT_TRUE(WaitInQueue(h, 10));
    COMSTAT st = {};
    DWORD errors = 77;
    SetLastError(kSentinel);
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(st.cbInQue, 10u);
    EXPECT_EQ(st.cbOutQue, 0u);

    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(st.cbInQue, 0u);
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    char buf[16];
    DWORD n = 9;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Time-out modes. Lower bounds are the real checks; upper bounds are loose.
// ---------------------------------------------------------------------------
struct ReadOutcome
{
    BOOL ok;
    DWORD n;
    double ms;
    std::string bytes;
};

ReadOutcome TimedRead(HANDLE h, DWORD count)
{
    std::vector<char> buf(count);
    DWORD n = 12345;
    auto start = Clock::now();
    BOOL ok = ReadFile(h, buf.data(), count, &n, nullptr);
    return {ok, n, MsSince(start), std::string(buf.data(), ok ? n : 0)};
}

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

TEST_F(SerialTest, ReadMode_IntervalMaxAndZeroTotals_ReturnsAtOnceWithWhatIsThere)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    SetLastError(kSentinel);
    ReadOutcome r = TimedRead(h, 64);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.n, 0u);
    EXPECT_LT(r.ms, 20);
    EXPECT_EQ(GetLastError(), kSentinel);

    ASSERT_TRUE(serial_support::WriteText(pty.master, "abc"));
    ASSERT_TRUE(WaitInQueue(h, 3));
    r = TimedRead(h, 64);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "abc");
    CloseHandle(h);
}

TEST_F(SerialTest, ReadMode_FirstByteWait_WaitsForTheConstantThenReturnsOnAnyByte)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, MAXDWORD, 200));
    ReadOutcome r = TimedRead(h, 64);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.n, 0u);
    EXPECT_GE(r.ms, 199);
    EXPECT_LT(r.ms, 600);

    {
        Feeder f(pty.master, {{60, "xy"}});
        r = TimedRead(h, 64);
    }
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "xy");
    EXPECT_GE(r.ms, 50);
    EXPECT_LT(r.ms, 180) << "returns on the first bytes, not at the constant";
    CloseHandle(h);
}

TEST_F(SerialTest, ReadMode_AllZero_BlocksUntilTheCountIsRead)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    ReadOutcome r;
    {
        Feeder f(pty.master, {{0, "ab"}, {150, "cd"}});
        r = TimedRead(h, 4);
    }
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "abcd");
    EXPECT_GE(r.ms, 140);
    CloseHandle(h);
}

TEST_F(SerialTest, ReadMode_TotalTimeout_GivesUpAfterMultiplierTimesCountPlusConstant)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 10, 100));
    SetLastError(kSentinel);
    ReadOutcome r = TimedRead(h, 10);
    EXPECT_TRUE(r.ok) << "a time-out is success with the count read";
    EXPECT_EQ(r.n, 0u);
    EXPECT_GE(r.ms, 199);
    EXPECT_LT(r.ms, 600);
    EXPECT_EQ(GetLastError(), kSentinel);
    CloseHandle(h);
}

TEST_F(SerialTest, ReadMode_TotalTimeout_ReturnsOnceBytesHaveComeAndNoMoreWait)
{
    // The deliberate choice: no interval limit plus a total time-out returns as
    // soon as bytes have arrived, instead of waiting out the total.
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1000));
    ReadOutcome r;
    {
        Feeder f(pty.master, {{60, "hello"}});
        r = TimedRead(h, 1024);
    }
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "hello");
    EXPECT_GE(r.ms, 50);
    EXPECT_LT(r.ms, 400);
    CloseHandle(h);
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

TEST_F(SerialTest, ReadMode_Interval_EndsWhenTheGapAfterABytePassesIt)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 80, 0, 0));
    ReadOutcome r;
    {
        Feeder f(pty.master, {{30, "a"}, {60, "b"}});
        r = TimedRead(h, 100);
    }
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "ab");
    EXPECT_GE(r.ms, 60 + 79) << "the gap is counted from the last byte";
    EXPECT_LT(r.ms, 500);
    CloseHandle(h);
}

TEST_F(SerialTest, WriteTimeout_ReturnsSuccessWithThePartialCount)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 200));
    // Nobody reads the master: the pty's buffer fills.
    std::vector<char> big(256 * 1024, 'x');
    DWORD written = 0;
    SetLastError(kSentinel);
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(h, big.data(), (DWORD)big.size(), &written, nullptr));
    double ms = MsSince(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(ms, 199);
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(GetLastError(), kSentinel);
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Wake-ups of blocked calls
// ---------------------------------------------------------------------------
struct Blocked
{
    std::atomic<BOOL> ok{-1};
    std::atomic<DWORD> error{0};
    std::atomic<DWORD> value{0};
    Clock::time_point returned;
};

// Runs call on a platform thread, lets it block, runs wake, and returns how
// long the call took to return after the wake.
double WakeAfter(Blocked* b, std::function<BOOL(DWORD*)> call, std::function<void()> wake)
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

TEST_F(SerialTest, CloseHandle_WakesAThreadBlockedInReadFile)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    Blocked b;
    double ms = WakeAfter(
        &b,
        [&](DWORD* n)
        {
            char buf[16];
            return ReadFile(h, buf, sizeof buf, n, nullptr);
        },
        [&] { EXPECT_TRUE(CloseHandle(h)); });
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
    double ms = WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); }, [&] { EXPECT_TRUE(CloseHandle(h)); });
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
    double ms = WakeAfter(
        &b, [&](DWORD* n) { return WriteFile(h, big.data(), (DWORD)big.size(), n, nullptr); },
        [&] { EXPECT_TRUE(CloseHandle(h)); });
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
    double ms = WakeAfter(
        &r,
        [&](DWORD* n)
        {
            char buf[16];
            return ReadFile(h, buf, sizeof buf, n, nullptr);
        },
        [&] { EXPECT_TRUE(PurgeComm(h, PURGE_RXABORT)); });
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, (DWORD)ERROR_OPERATION_ABORTED);
    EXPECT_LT(ms, kWakeMs);

    std::vector<char> big(1024 * 1024, 'x');
    Blocked w;
    ms = WakeAfter(
        &w, [&](DWORD* n) { return WriteFile(h, big.data(), (DWORD)big.size(), n, nullptr); },
        [&] { EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR)); });
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
    double ms = WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); },
        [&] { EXPECT_TRUE(SetCommMask(h, EV_RXCHAR | EV_ERR)); });
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
    double ms = WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); },
        [&] { serial_support::WriteText(pty.master, "z"); });
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

TEST_F(SerialTest, WaitCommEvent_UnreadDataOutsideTheMask_DoesNotSpin)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(serial_support::WriteText(pty.master, "pending"));
    ASSERT_TRUE(WaitInQueue(h, 7));
    ASSERT_TRUE(SetCommMask(h, EV_BREAK | EV_ERR));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    Blocked b;
    WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); },
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

// ---------------------------------------------------------------------------
// Hang-up
// ---------------------------------------------------------------------------
TEST_F(SerialTest, Hangup_EndsTheWaitWithEvErrOnce_ThenEveryCallFails_WithoutSpinning)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    Blocked b;
    double ms = WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); }, [&] { pty.CloseMaster(); });
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
        char buf[8];
        DWORD n = 5;
        SetLastError(kSentinel);
        EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(n, 0u);
    }
    DWORD n = 5;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    DWORD errors = 0;
    COMSTAT st;
    SetLastError(kSentinel);
    EXPECT_FALSE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.1) << "CPU seconds for the whole hang-up";
    CloseHandle(h);
}

TEST_F(SerialTest, Hangup_EndsABlockedReadFile_AndAWaitWithoutEvErrFails)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    Blocked b;
    double ms = WakeAfter(
        &b,
        [&](DWORD* n)
        {
            char buf[16];
            return ReadFile(h, buf, sizeof buf, n, nullptr);
        },
        [&] { pty.CloseMaster(); });
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
// Faults injected through the system-call table
// ---------------------------------------------------------------------------
struct Faults
{
    std::atomic<int> readEintr{0};   // next reads fail with EINTR
    std::atomic<int> writeEintr{0};  // next writes fail with EINTR
    std::atomic<int> writeEagain{0}; // next writes fail with EAGAIN
    std::atomic<int> writeMax{0};    // > 0: writes take at most this many bytes
    std::atomic<bool> readEio{false};
    std::atomic<bool> writeEio{false};
    std::atomic<int> tcsetattrEintr{0};
    std::atomic<int> reads{0};
    std::atomic<int> writes{0};
    std::atomic<bool> icount{false}; // TIOCGICOUNT answers from `counts`
    std::mutex mu;
    struct serial_icounter_struct counts = {};
};
Faults* g_faults = nullptr;

ssize_t FaultyRead(int fd, void* buf, size_t n)
{
    g_faults->reads++;
    if (g_faults->readEio)
    {
        errno = EIO;
        return -1;
    }
    if (g_faults->readEintr > 0)
    {
        g_faults->readEintr--;
        errno = EINTR;
        return -1;
    }
    return plat::real_syscalls().read(fd, buf, n);
}

ssize_t FaultyWrite(int fd, const void* buf, size_t n)
{
    g_faults->writes++;
    if (g_faults->writeEio)
    {
        errno = EIO;
        return -1;
    }
    if (g_faults->writeEintr > 0)
    {
        g_faults->writeEintr--;
        errno = EINTR;
        return -1;
    }
    if (g_faults->writeEagain > 0)
    {
        g_faults->writeEagain--;
        errno = EAGAIN;
        return -1;
    }
    if (g_faults->writeMax > 0)
        n = std::min(n, (size_t)g_faults->writeMax);
    return plat::real_syscalls().write(fd, buf, n);
}

int FaultyTcsetattr(int fd, int action, const struct termios* t)
{
    if (g_faults->tcsetattrEintr > 0)
    {
        g_faults->tcsetattrEintr--;
        errno = EINTR;
        return -1;
    }
    return plat::real_syscalls().tcsetattr(fd, action, t);
}

int FaultyIoctl(int fd, unsigned long request, void* arg)
{
    if (request == TIOCGICOUNT && g_faults->icount)
    {
        std::lock_guard<std::mutex> lock(g_faults->mu);
        *static_cast<struct serial_icounter_struct*>(arg) = g_faults->counts;
        return 0;
    }
    return plat::real_syscalls().ioctl(fd, request, arg);
}

class SerialFaultTest : public SerialTest
{
protected:
    void SetUp() override
    {
        SerialTest::SetUp();
        g_faults = &faults;
        table = plat::real_syscalls();
        table.read = FaultyRead;
        table.write = FaultyWrite;
        table.tcsetattr = FaultyTcsetattr;
        table.ioctl = FaultyIoctl;
        override_ = std::make_unique<plat::SyscallOverride>(&table);
    }
    void TearDown() override
    {
        override_.reset();
    }
    Faults faults;
    plat::Syscalls table;
    std::unique_ptr<plat::SyscallOverride> override_;
};

TEST_F(SerialFaultTest, Eintr_IsRetriedEverywhere)
{
    faults.tcsetattrEintr = 2;
    HANDLE h = OpenOrFail(); // raw mode through two EINTRs
    faults.tcsetattrEintr = 3;
    DCB d = LinkDcb();
    EXPECT_TRUE(SetCommState(h, &d));
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1000));
    ASSERT_TRUE(serial_support::WriteText(pty.master, "in"));
    ASSERT_TRUE(WaitInQueue(h, 2));
    faults.readEintr = 3;
    ReadOutcome r = TimedRead(h, 2);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, "in");
    faults.writeEintr = 3;
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(h, "out", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(serial_support::ReadExactly(pty.master, 3), "out");
    CloseHandle(h);
}

TEST_F(SerialFaultTest, Eagain_IsWaitedOut_ShortWritesAreContinued)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 2000));
    faults.writeEagain = 3;
    faults.writeMax = 7;
    std::string msg;
    for (int i = 0; i < 100; i++)
        msg.push_back((char)('A' + i % 26));
    DWORD n = 0;
    SetLastError(kSentinel);
    faults.writes = 0;
    EXPECT_TRUE(WriteFile(h, msg.data(), (DWORD)msg.size(), &n, nullptr));
    EXPECT_EQ(n, msg.size());
    EXPECT_GE(faults.writes.load(), 3 + 15) << "three refusals and fifteen pieces of 7";
    EXPECT_EQ(serial_support::ReadExactly(pty.master, msg.size()), msg);
    CloseHandle(h);
}

TEST_F(SerialFaultTest, Eio_OnRead_MarksThePortGone)
{
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    faults.readEio = true;
    char buf[4];
    DWORD n = 3;
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n, 0u);
    faults.readEio = false;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr)) << "a gone port stays gone";
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(h);
}

TEST_F(SerialFaultTest, Eio_OnWrite_FailsWithDeviceNotConnected)
{
    HANDLE h = OpenOrFail();
    faults.writeEio = true;
    DWORD n = 9;
    SetLastError(kSentinel);
    EXPECT_FALSE(WriteFile(h, "abc", 3, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n, 0u);
    CloseHandle(h);
}

TEST_F(SerialFaultTest, UartBreakAndLineErrors_ShowAsEventsAndErrors)
{
    faults.icount = true; // the port stands on a "UART" with counters
    HANDLE h = OpenOrFail();
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    Blocked b;
    WakeAfter(
        &b, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); },
        [&]
        {
            {
                std::lock_guard<std::mutex> lock(faults.mu);
                faults.counts.brk++;
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
    double ms = WakeAfter(
        &e, [&](DWORD* ev) { return WaitCommEvent(h, ev, nullptr); },
        [&]
        {
            std::lock_guard<std::mutex> lock(faults.mu);
            faults.counts.frame++;
            faults.counts.overrun++;
        });
    EXPECT_TRUE(e.ok);
    EXPECT_EQ(e.value, (DWORD)EV_ERR);
    EXPECT_LT(ms, 600);
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, (DWORD)(CE_FRAME | CE_OVERRUN));
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

// ---------------------------------------------------------------------------
// Pseudo-terminal pairs and the simulator made by the platform
// ---------------------------------------------------------------------------
TEST(SerialDevices, PtyPair_AnnouncesItsFarEndOnce_AndSurvivesThePersonLeaving)
{
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM3:", "pty"}}, &err)) << err;
    plat::debug_capture_begin();
    HANDLE h = OpenPort(u"COM3:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    std::vector<std::u16string> lines = plat::debug_capture_take();
    const std::string far = plat::serial_far_end(u"COM3:");
    ASSERT_FALSE(far.empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(plat::utf16_to_utf8(lines[0]), "COM3: is the pseudo-terminal " + far + "\r\n");

    // A person attaches, talks both ways, and leaves.
    int person = open(far.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(person, 0);
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1000, 0, 1000));
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    ASSERT_TRUE(serial_support::WriteText(person, all));
    std::string got;
    while (got.size() < all.size())
    {
        char buf[512];
        DWORD n = 0;
        ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
        ASSERT_GT(n, 0u);
        got.append(buf, n);
    }
    EXPECT_EQ(got, all);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hi", 2, &n, nullptr));
    EXPECT_EQ(serial_support::ReadExactly(person, 2), "hi");
    close(person);

    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    char buf[4];
    SetLastError(kSentinel);
    EXPECT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr)) << "the port does not hang up: " << GetLastError();
    EXPECT_EQ(n, 0u);

    // Exclusive, and announced only once.
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(u"COM3:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_ACCESS_DENIED);
    ASSERT_TRUE(CloseHandle(h));
    h = OpenPort(u"COM3:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(plat::debug_capture_take().empty());
    plat::debug_capture_end();
    CloseHandle(h);
}

TEST(SerialDevices, Simulator_ServesTheBootRomOnThePort)
{
    std::string err;
    ASSERT_TRUE(plat::profile_load_text(serial_support::DeviceProfile({{"COM1:", "sim"}},
                                                                      "[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n"
                                                                      "\"BootWindow\"=dword:00000000\n"),
                                        "sim.reg", &err))
        << err;
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    Sim* sim = plat::simulator_for_device(u"COM1:");
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(plat::simulator_for_device(u"com1:"), sim) << "one simulator for the process";
    EXPECT_EQ(plat::simulator_for_device(u"COM2:"), nullptr);

    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, MAXDWORD, 3000, 0, 1000));
    BYTE sync = 0x55;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, &sync, 1, &n, nullptr));
    BYTE answer = 0;
    ASSERT_TRUE(ReadFile(h, &answer, 1, &n, nullptr));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(answer, 0xA0);
    CloseHandle(h);

    // The simulator outlives the port: a second open finds it again.
    h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

} // namespace
