// Conformance tests of the serial port calls against what the tool relies on:
// exclusive open, raw mode, bad and stale handles, line settings, what each
// backend can do, and the devices the platform makes (pseudo-terminal pairs,
// the simulator). Each call is made with a sentinel last-error so that a test
// sees whether and how the error changed. The far side is the master of a
// real pseudo-terminal pair whose slave the profile names as the port. The
// waits are tested in serial_wait_test.cpp, injected system-call faults in
// serial_fault_sweep_test.cpp, why an open failed (a missing node, another
// program's lock) in open_failure_test.cpp.
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"
#include "platform/profile/profile.h"
#include "platform/serial/serial.h"
#include "platform/serial/vcable.h"
#include "sim/sim.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <dirent.h>
#include <fcntl.h>

namespace
{

using namespace serial_tests;
using SerialTest = PtyPortTest;

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

TEST_F(SerialTest, SecondOpen_IsRefusedWithSharingViolation_EvenAsRoot)
{
    HANDLE h = OpenOrFail();
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION) << "euid " << geteuid();

    // Another name for the same tty is the same device.
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:" + pty.path}, {"COM2:", "tty:" + pty.path}}, &err)) << err;
    SetLastError(kSentinel);
    EXPECT_EQ(OpenPort(u"COM2:"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);

    // Closing frees it at once.
    EXPECT_TRUE(CloseHandle(h));
    h = OpenPort(u"COM2:");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
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
    ExpectReadAndWriteFail(stale, ERROR_INVALID_HANDLE);
    EXPECT_EQ(serial_support::ReadUntilQuiet(other.master, 50), "") << "the stale write reached the new device";

    // The new device's bytes are all still there.
    BYTE buf[8];
    DWORD n = 0;
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

// GetCommState and GetCommTimeouts write every byte of the record they are
// given: each row is set, then read back into a record first filled with 0x00
// and then with 0xFF, so a field the call forgets shows as the fill. The line
// record comes back as it was set, fields termios cannot hold included.
TEST_F(SerialTest, GetCommStateAndTimeouts_RoundTripWhateverTheRecordHeld)
{
    HANDLE h = OpenOrFail();
    DCB dcbs[5];
    for (DCB& d : dcbs)
        d = LinkDcb();
    dcbs[1].BaudRate = 9600;
    dcbs[1].StopBits = TWOSTOPBITS;
    dcbs[1].fOutxCtsFlow = dcbs[1].fOutX = dcbs[1].fInX = 1;
    dcbs[1].XonChar = 0x11;
    dcbs[1].XoffChar = 0x13;
    dcbs[2].fDtrControl = DTR_CONTROL_DISABLE; // the modem-line controls and the flow-control limits
    dcbs[2].fRtsControl = RTS_CONTROL_DISABLE;
    dcbs[2].XonLim = 100;
    dcbs[2].XoffLim = 200;
    dcbs[3].EofChar = 0x1A; // the special characters
    dcbs[3].EvtChar = 0x7E;
    dcbs[3].ErrorChar = 0x3F;
    dcbs[3].fErrorChar = dcbs[3].fNull = dcbs[3].fAbortOnError = 1;
    dcbs[4].fDummy2 = 0x1FFFF; // the reserved words as the caller left them
    dcbs[4].wReserved = 0xA55A;
    dcbs[4].wReserved1 = 0x5AA5;
    const COMMTIMEOUTS timeouts[] = {
        {MAXDWORD, 0, 0, 10, 1000},
        {0, 0, 0, 0, 0},
        {1, 2, 3, 4, 5},
        {MAXDWORD, MAXDWORD, MAXDWORD - 1, MAXDWORD, MAXDWORD},
    };
    for (int fill : {0x00, 0xFF})
    {
        for (DCB& d : dcbs)
        {
            ASSERT_TRUE(SetCommState(h, &d)) << (&d - dcbs);
            DCB back;
            std::memset(&back, fill, sizeof back);
            SetLastError(kSentinel);
            ASSERT_TRUE(GetCommState(h, &back));
            EXPECT_EQ(GetLastError(), kSentinel);
            EXPECT_EQ(std::memcmp(&back, &d, sizeof d), 0) << "row " << (&d - dcbs) << ", fill " << fill;
        }
        for (COMMTIMEOUTS t : timeouts)
        {
            ASSERT_TRUE(SetCommTimeouts(h, &t));
            COMMTIMEOUTS back;
            std::memset(&back, fill, sizeof back);
            ASSERT_TRUE(GetCommTimeouts(h, &back));
            EXPECT_EQ(std::memcmp(&back, &t, sizeof t), 0) << t.ReadTotalTimeoutConstant << ", fill " << fill;
        }
    }
    CloseHandle(h);
}

// A fresh port's record is the same whatever the caller's record held.
TEST_F(SerialTest, GetCommState_OfAFreshPortWritesTheWholeRecord)
{
    HANDLE h = OpenOrFail();
    DCB zeros, ones;
    std::memset(&zeros, 0x00, sizeof zeros);
    std::memset(&ones, 0xFF, sizeof ones);
    ASSERT_TRUE(GetCommState(h, &zeros));
    ASSERT_TRUE(GetCommState(h, &ones));
    EXPECT_EQ(std::memcmp(&zeros, &ones, sizeof zeros), 0);
    EXPECT_EQ(zeros.DCBlength, sizeof(DCB));
    CloseHandle(h);
}

TEST_F(SerialTest, Timeouts_StartAtTheDriverDefaults)
{
    HANDLE h = OpenOrFail();
    COMMTIMEOUTS t = {};
    ASSERT_TRUE(GetCommTimeouts(h, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 250u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 100u);
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
// What each backend can do
// ---------------------------------------------------------------------------
// bit                  name
const std::pair<unsigned, const char*> kCaps[] = {
    {plat::kPortBreaks, "breaks"},
    {plat::kPortLineErrors, "line errors"},
    {plat::kPortModemLines, "modem lines"},
    {plat::kPortEventFd, "event descriptor"},
    {plat::kPortEventCounters, "event counters"},
};

// A pty shows no break or line error and has no modem lines; a UART counts
// both and has the lines; a cable carries them all and wakes a waiter on its
// own descriptor.
TEST_F(SerialTest, Capabilities_SayWhatEachBackendCanDo)
{
    const plat::Syscalls uart = UartSyscalls();
    struct Backend
    {
        const char* what;
        std::function<std::unique_ptr<plat::PortBackend>()> open;
        unsigned caps;
    };
    auto tty = [&]() { return plat::tty_backend_open(open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), false); };
    const Backend backends[] = {
        {"pty", tty, 0},
        {"UART",
         [&]
         {
             plat::SyscallOverride asUart(&uart);
             return tty();
         },
         plat::kPortBreaks | plat::kPortLineErrors | plat::kPortModemLines | plat::kPortEventCounters},
        {"virtual cable", [] { return plat::cable_open_backend("caps:a"); },
         plat::kPortBreaks | plat::kPortLineErrors | plat::kPortModemLines | plat::kPortEventFd},
    };
    for (const Backend& b : backends)
    {
        std::unique_ptr<plat::PortBackend> backend = b.open();
        ASSERT_NE(backend, nullptr) << b.what;
        for (const auto& cap : kCaps)
            EXPECT_EQ(backend->can(cap.first), (b.caps & cap.first) != 0) << b.what << ": " << cap.second;
        EXPECT_EQ(backend->event_fd() >= 0, backend->can(plat::kPortEventFd)) << b.what;
    }
}

// The modem lines follow the capability: a UART raises DTR and RTS where a pty
// refuses them.
TEST_F(SerialTest, ModemLines_AreSetWhereTheBackendHasThem)
{
    const plat::Syscalls uart = UartSyscalls();
    plat::SyscallOverride asUart(&uart);
    FakeUart::lines = 0;
    HANDLE h = OpenOrFail();
    DCB d = LinkDcb();
    ASSERT_TRUE(SetCommState(h, &d));
    EXPECT_EQ(FakeUart::lines, TIOCM_DTR | TIOCM_RTS) << "the DCB's DTR and RTS control";
    SetLastError(kSentinel);
    EXPECT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_TRUE(EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ(FakeUart::lines, 0);
    EXPECT_EQ(GetLastError(), kSentinel);
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
    h = ExpectHeldThenReopen(u"COM3:", h);
    for (const std::u16string& line : plat::debug_capture_take())
        EXPECT_EQ(plat::utf16_to_utf8(line).find("is the pseudo-terminal"), std::string::npos);
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

    EXPECT_EQ(SyncAnswer(h), 0xA0);
    CloseHandle(h);

    // The simulator outlives the port: a second open finds it again.
    h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

} // namespace
