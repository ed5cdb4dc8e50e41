// Tests of what real adapters need from the tty backend: low latency asked of
// the driver and of an FTDI latency timer in sysfs (put back on close), and
// breaks and line errors that the driver marks in the byte stream (PARMRK),
// fed through the system-call table as a UART's driver would hand them over.
// And the module reset through an adapter's modem lines ("RIL1:" "lines:"),
// over a virtual cable that records the line changes with their times.
#include "platform/serial/iocontrol.h"
#include "platform/profile/profile.h"
#include "platform/serial/syscalls.h"
#include "platform/serial/vcable.h"
#include "platform/win32.h"
#include "tests/platform/serial_port_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <optional>
#include <fstream>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

namespace
{

using namespace serial_tests;
using namespace std::string_literals;

// ---------------------------------------------------------------------------
// A driver that answers TIOCGSERIAL/TIOCSSERIAL and records what it is asked
// ---------------------------------------------------------------------------
struct FakeSerialDriver
{
    static inline std::mutex mu;
    static inline int flags = ASYNC_SKIP_TEST; // the driver's flags now
    static inline std::vector<int> sets;       // flags of every TIOCSSERIAL, in order
};

int SerialIoctl(int fd, unsigned long request, void* arg)
{
    if (request != TIOCGSERIAL && request != TIOCSSERIAL)
        return plat::real_syscalls().ioctl(fd, request, arg);
    std::lock_guard<std::mutex> lock(FakeSerialDriver::mu);
    struct serial_struct* ss = static_cast<struct serial_struct*>(arg);
    if (request == TIOCGSERIAL)
    {
        std::memset(ss, 0, sizeof *ss);
        ss->flags = FakeSerialDriver::flags;
        return 0;
    }
    FakeSerialDriver::flags = ss->flags;
    FakeSerialDriver::sets.push_back(ss->flags);
    return 0;
}

TEST(AdapterLatency, OpenAsksTheDriverForLowLatency_CloseGivesBackItsFlags)
{
    Pty pty;
    ASSERT_TRUE(OpenPtyAsCom1(&pty));
    plat::Syscalls table = plat::real_syscalls();
    table.ioctl = SerialIoctl;
    plat::SyscallOverride driver(&table);
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    {
        std::lock_guard<std::mutex> lock(FakeSerialDriver::mu);
        ASSERT_EQ(FakeSerialDriver::sets.size(), 1u);
        EXPECT_EQ(FakeSerialDriver::sets[0], ASYNC_SKIP_TEST | ASYNC_LOW_LATENCY);
    }
    EXPECT_TRUE(CloseHandle(h));
    std::lock_guard<std::mutex> lock(FakeSerialDriver::mu);
    ASSERT_EQ(FakeSerialDriver::sets.size(), 2u);
    EXPECT_EQ(FakeSerialDriver::sets[1], ASYNC_SKIP_TEST);
}

// A pty refuses TIOCGSERIAL: the open goes on without a word.
TEST(AdapterLatency, DriverWithoutSerialInfo_OpensQuietly)
{
    Pty pty;
    ASSERT_TRUE(OpenPtyAsCom1(&pty));
    SetLastError(kSentinel);
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_TRUE(CloseHandle(h));
}

std::string ReadFileText(const std::string& path)
{
    std::ifstream in(path);
    std::string s;
    std::getline(in, s);
    return s;
}

bool WriteFileText(const std::string& path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    return (bool)out;
}

bool MakeDirs(const std::string& path)
{
    for (size_t at = 1; (at = path.find('/', at)) != std::string::npos; at++)
        mkdir(path.substr(0, at).c_str(), 0755);
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

// where the timer is, under the sysfs root ("%s": the tty's name)
struct TimerPlace
{
    const char* what;
    const char* folder;
};
const TimerPlace kTimerPlaces[] = {
    {"class/tty", "/class/tty/%s/device"},
    {"bus/usb-serial", "/bus/usb-serial/devices/%s"},
};

class AdapterLatencyTimer : public ::testing::TestWithParam<TimerPlace>
{
};

TEST_P(AdapterLatencyTimer, IsOneMillisecondWhileOpen_AndPutBackOnClose)
{
    Pty pty;
    ASSERT_TRUE(OpenPtyAsCom1(&pty));
    testsupport::TempDir sysfs("fwsysfs");
    ASSERT_FALSE(sysfs.path().empty());
    const std::string name = pty.path.substr(pty.path.rfind('/') + 1);
    char folder[256];
    snprintf(folder, sizeof folder, GetParam().folder, name.c_str());
    const std::string dir = sysfs.path() + folder;
    ASSERT_TRUE(MakeDirs(dir));
    const std::string timer = dir + "/latency_timer";
    ASSERT_TRUE(WriteFileText(timer, "16\n"));
    plat::set_sysfs_root(sysfs.path());
    HANDLE h = OpenPort();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(ReadFileText(timer), "1");
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ReadFileText(timer), "16");
    plat::set_sysfs_root("");
}

INSTANTIATE_TEST_SUITE_P(Places, AdapterLatencyTimer, ::testing::ValuesIn(kTimerPlaces),
                         [](const auto& row)
                         {
                             std::string s = row.param.what;
                             for (char& c : s)
                                 c = isalnum((unsigned char)c) ? c : '_';
                             return s;
                         });

// ---------------------------------------------------------------------------
// A UART's marked byte stream, read by read after read
// ---------------------------------------------------------------------------
struct MarkedStream
{
    static inline std::mutex mu;
    static inline std::deque<std::string> reads; // what each next read of the port gives
    static inline int master = -1;               // the far end's reads go to the real call

    static size_t left()
    {
        size_t n = 0;
        for (const std::string& r : reads)
            n += r.size();
        return n;
    }
};

ssize_t MarkedRead(int fd, void* buf, size_t count)
{
    std::unique_lock<std::mutex> lock(MarkedStream::mu);
    if (fd == MarkedStream::master || MarkedStream::reads.empty())
    {
        lock.unlock();
        return plat::real_syscalls().read(fd, buf, count);
    }
    std::string& next = MarkedStream::reads.front();
    const size_t k = std::min(count, next.size());
    std::memcpy(buf, next.data(), k);
    next.erase(0, k);
    if (next.empty())
        MarkedStream::reads.pop_front();
    return (ssize_t)k;
}

int MarkedIoctl(int fd, unsigned long request, void* arg)
{
    {
        std::lock_guard<std::mutex> lock(MarkedStream::mu);
        if (request == TIOCINQ && fd != MarkedStream::master && !MarkedStream::reads.empty())
        {
            *static_cast<int*>(arg) = (int)MarkedStream::left();
            return 0;
        }
        if (request == TIOCGICOUNT && fd != MarkedStream::master)
        {
            // A UART's driver keeps line counters; its line is marked.
            *static_cast<struct serial_icounter_struct*>(arg) = {};
            return 0;
        }
    }
    return plat::real_syscalls().ioctl(fd, request, arg);
}

// name           what the driver hands over, read by read          data the caller gets  events            CE bits
struct MarkRow
{
    const char* name;
    std::vector<std::string> reads;
    std::string data;
    DWORD events;
    DWORD errors;
};

// clang-format off
const MarkRow kMarkRows[] = {
    {"Plain",             {"AB", "C"},                  "ABC",         0,        0},
    {"DoubledFF",         {"A\xFF\xFF" "B"s},           "A\xFF" "B"s,  0,        0},
    {"Break",             {"A\xFF\x00\x00" "B"s},       "AB",          EV_BREAK, CE_BREAK},
    {"FramingError",      {"A\xFF\x00" "XB"s},          "AXB",         EV_ERR,   CE_FRAME},
    {"BreakSplitAfterFF", {"A\xFF"s, "\x00\x00" "B"s},  "AB",          EV_BREAK, CE_BREAK},
    {"BreakSplitAfter00", {"A\xFF\x00"s, "\x00" "B"s},  "AB",          EV_BREAK, CE_BREAK},
    {"DoubledFFSplit",    {"A\xFF"s, "\xFF" "B"s},      "A\xFF" "B"s,  0,        0},
    {"ErrorSplit",        {"\xFF"s, "\x00"s, "Q"},      "Q",           EV_ERR,   CE_FRAME},
};
// clang-format on

class AdapterMarks : public ::testing::TestWithParam<MarkRow>
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(OpenPtyAsCom1(&pty));
        table = plat::real_syscalls();
        table.read = MarkedRead;
        table.ioctl = MarkedIoctl;
        {
            std::lock_guard<std::mutex> lock(MarkedStream::mu);
            MarkedStream::master = pty.master;
            MarkedStream::reads.clear();
        }
        marked.emplace(&table);
        h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0)); // reads return at once
        ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        marked.reset();
    }
    void Feed(const std::vector<std::string>& reads)
    {
        std::lock_guard<std::mutex> lock(MarkedStream::mu);
        MarkedStream::reads.assign(reads.begin(), reads.end());
    }
    bool StreamLeft()
    {
        std::lock_guard<std::mutex> lock(MarkedStream::mu);
        return !MarkedStream::reads.empty();
    }
    std::string ReadAll()
    {
        std::string got;
        for (int i = 0; i < 16; i++)
        {
            ReadOutcome r = TimedRead(h, 64);
            EXPECT_TRUE(r.ok) << r.error;
            if (r.bytes.empty())
                break;
            got += r.bytes;
        }
        return got;
    }

    Pty pty;
    plat::Syscalls table;
    std::optional<plat::SyscallOverride> marked;
    HANDLE h = INVALID_HANDLE_VALUE;
};

// The caller gets the data bytes unchanged and the marks as the events a
// virtual cable gives; a byte from the far end ('Z', real) ends the last wait.
TEST_P(AdapterMarks, DataComesUnchanged_MarksBecomeEvents)
{
    const MarkRow& row = GetParam();
    Feed(row.reads);
    DWORD events = 0;
    std::string data;
    for (int i = 0; i < 16 && StreamLeft(); i++)
    {
        DWORD ev = 0;
        ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr)) << GetLastError();
        events |= ev;
        data += ReadAll();
    }
    ASSERT_FALSE(StreamLeft());
    ASSERT_TRUE(serial_support::WriteText(pty.master, "Z"));
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr)) << GetLastError();
    events |= ev;
    data += ReadAll();
    EXPECT_EQ(data, row.data + "Z");
    EXPECT_EQ(events & ~(DWORD)EV_RXCHAR, row.events);
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, row.errors);
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterMarks, ::testing::ValuesIn(kMarkRows),
                         [](const auto& row) { return std::string(row.param.name); });

// A break alone is an event without data, as on a virtual cable: a caller
// waiting for a byte is not told of one (the stage-1 wait's break path).
TEST_F(AdapterMarks, BreakAlone_IsAnEventWithoutData)
{
    Feed({"\xFF\x00\x00"s});
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr)) << GetLastError();
    EXPECT_EQ(ev, (DWORD)EV_BREAK);
    EXPECT_EQ(InQueue(h), 0u);
    EXPECT_EQ(ReadAll(), "");
}

// Every byte value crosses a pty unchanged although the line is marked: the
// pty doubles 0xFF, the backend undoes it.
TEST_F(AdapterMarks, EveryByteValue_CrossesAMarkedPty)
{
    marked.reset(); // the real driver
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    all += "\xFF\xFF\xFF"s;
    ASSERT_TRUE(serial_support::WriteText(pty.master, all));
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 1000));
    std::string got;
    for (int i = 0; i < 64 && got.size() < all.size(); i++)
    {
        ReadOutcome r = TimedRead(h, (DWORD)(all.size() - got.size()));
        ASSERT_TRUE(r.ok);
        got += r.bytes;
    }
    EXPECT_EQ(got, all);
}

// The line is marked where the driver keeps line counters, and only there: a
// marked pty has no break to show, and its kernel side would double every 0xFF
// and take each byte through the slow input path (half the bridge's rate).
std::atomic<bool> g_parmrkSet{false}; // the last line setting asked for PARMRK

TEST(AdapterMarking, OnlyADriverWithLineCountersIsMarked)
{
    for (const bool counters : {false, true})
    {
        SCOPED_TRACE(counters ? "driver keeps line counters" : "a pty");
        Pty pty;
        ASSERT_TRUE(OpenPtyAsCom1(&pty));
        {
            std::lock_guard<std::mutex> lock(MarkedStream::mu);
            MarkedStream::master = pty.master;
            MarkedStream::reads.clear();
        }
        g_parmrkSet = !counters;
        plat::Syscalls table = plat::real_syscalls();
        if (counters)
            table.ioctl = MarkedIoctl; // answers TIOCGICOUNT as a UART's driver does
        table.tcsetattr = [](int fd, int action, const struct termios* t)
        {
            g_parmrkSet = (t->c_iflag & PARMRK) != 0;
            return plat::real_syscalls().tcsetattr(fd, action, t);
        };
        plat::SyscallOverride driver(&table);
        HANDLE h = OpenPort();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(g_parmrkSet.load(), counters);
        EXPECT_TRUE(CloseHandle(h));
    }
}

// ---------------------------------------------------------------------------
// Module reset through the modem lines
// ---------------------------------------------------------------------------
// line   level   what the reset does to the line, then back
struct PulseRow
{
    const char* line;
    const char* level;
    int bit;
    bool high;
};
// clang-format off
const PulseRow kPulseRows[] = {
    {"dtr", "low",  TIOCM_DTR, false},
    {"dtr", "high", TIOCM_DTR, true},
    {"rts", "low",  TIOCM_RTS, false},
    {"rts", "high", TIOCM_RTS, true},
};
// clang-format on

constexpr DWORD kPulseMs = 100;
constexpr double kPulseSlackMs = 150; // a loaded machine's lateness, far below a second pulse's length

class AdapterReset : public ::testing::TestWithParam<PulseRow>
{
protected:
    void SetUp() override
    {
        cable = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        for (char& c : cable)
            c = isalnum((unsigned char)c) ? c : '_';
        const PulseRow& row = GetParam();
        const std::string ril =
            std::string("lines:COM1:") + row.line + ":" + row.level + ":" + std::to_string(kPulseMs);
        std::string err;
        ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "cable:" + cable + ":a"}, {"RIL1:", ril}}, &err)) << err;
    }
    BOOL Control(DWORD code)
    {
        HANDLE ril = CreateFileW(u"RIL1:", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(ril, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD returned = 7;
        SetLastError(kSentinel);
        BOOL ok = DeviceIoControl(ril, code, nullptr, 0, nullptr, 0, &returned, nullptr);
        CloseHandle(ril);
        return ok;
    }
    // The reset's changes: the line to the row's level, then back after the pulse.
    void ExpectPulse(const std::vector<plat::CableLineChange>& changes)
    {
        const PulseRow& row = GetParam();
        ASSERT_EQ(changes.size(), 2u);
        EXPECT_EQ((changes[0].lines & row.bit) != 0, row.high) << "first edge";
        EXPECT_EQ((changes[1].lines & row.bit) != 0, !row.high) << "back";
        const int other = row.bit == TIOCM_DTR ? TIOCM_RTS : TIOCM_DTR;
        EXPECT_EQ(changes[0].lines & other, changes[1].lines & other) << "the other line is left alone";
        const double ms = std::chrono::duration<double, std::milli>(changes[1].at - changes[0].at).count();
        EXPECT_GE(ms, (double)kPulseMs);
        EXPECT_LT(ms, kPulseMs + kPulseSlackMs);
    }
    std::string cable;
};

// The module link holds COM1: open exclusively through a download: the
// reset pulses that open port's lines.
TEST_P(AdapterReset, ResetPulsesTheLineOfThePortHeldOpen)
{
    HANDLE h = OpenPort(u"COM1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    if (!GetParam().high)
        plat::cable_take_line_changes(cable, 'a');
    else
    {
        // A pulse high starts from the line low.
        ASSERT_TRUE(EscapeCommFunction(h, GetParam().bit == TIOCM_DTR ? CLRDTR : CLRRTS));
        plat::cable_take_line_changes(cable, 'a');
    }
    EXPECT_TRUE(Control(plat::kIoctlRilReset)) << GetLastError();
    ExpectPulse(plat::cable_take_line_changes(cable, 'a'));
    EXPECT_TRUE(CloseHandle(h));
}

// Nobody holds the port: the reset opens it for the pulse and lets it go.
TEST_P(AdapterReset, ResetOpensAPortNobodyHolds)
{
    EXPECT_TRUE(Control(plat::kIoctlRilReset)) << GetLastError();
    ExpectPulse(plat::cable_take_line_changes(cable, 'a'));
    HANDLE h = OpenPort(u"COM1:");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "the reset let the port go: " << GetLastError();
    CloseHandle(h);
}

// Suspend and resume have no wire: they succeed and touch no line.
TEST_P(AdapterReset, SuspendAndResume_SucceedAndTouchNoLine)
{
    HANDLE h = OpenPort(u"COM1:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    plat::cable_take_line_changes(cable, 'a');
    EXPECT_TRUE(Control(plat::kIoctlRilSuspend));
    EXPECT_TRUE(Control(plat::kIoctlRilResume));
    EXPECT_TRUE(plat::cable_take_line_changes(cable, 'a').empty());
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterReset, ::testing::ValuesIn(kPulseRows),
                         [](const auto& row) { return std::string(row.param.line) + "_" + row.param.level; });

// text after "RIL1:"              what the refusal says
struct BadLinesRow
{
    const char* kind;
    const char* reason;
};
// clang-format off
const BadLinesRow kBadLines[] = {
    {"lines:",                    "lines: needs PORT:dtr|rts:low|high:MS"},
    {"lines:COM1:dtr:low",        "lines: takes PORT:dtr|rts:low|high:MS"},
    {"lines:dtr:low:100",         "lines: takes PORT:dtr|rts:low|high:MS"},
    {"lines:COM1:cts:low:100",    "lines: pulses dtr or rts, not \"cts\""},
    {"lines:COM1:dtr:mid:100",    "lines: pulses a line low or high, not \"mid\""},
    {"lines:COM1:dtr:low:0",      "milliseconds (1 to 60000), not \"0\""},
    {"lines:COM1:dtr:low:10x",    "milliseconds (1 to 60000), not \"10x\""},
    {"lines:COM1:dtr:low:999999", "milliseconds (1 to 60000), not \"999999\""},
};
// clang-format on

class AdapterResetProfile : public ::testing::TestWithParam<BadLinesRow>
{
};

TEST_P(AdapterResetProfile, MalformedLinesIsRefusedWithItsLine)
{
    const std::string text =
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\r\n\"COM1:\"=\"tty:/dev/null\"\r\n"
        "\"RIL1:\"=\"" +
        std::string(GetParam().kind) + "\"\r\n";
    std::string err;
    EXPECT_FALSE(plat::profile_load_text(text, "bench.reg", &err));
    EXPECT_EQ(err.rfind("bench.reg:5: ", 0), 0u) << err;
    EXPECT_NE(err.find(GetParam().reason), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Rows, AdapterResetProfile, ::testing::ValuesIn(kBadLines));

TEST(AdapterResetProfileOk, WellFormedLinesLoads)
{
    std::string err;
    ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "tty:/dev/null"}, {"RIL1:", "lines:COM1:rts:high:250"}}, &err))
        << err;
    const plat::DeviceSpec* ril = plat::device_find(u"RIL1:");
    ASSERT_NE(ril, nullptr);
    EXPECT_EQ(ril->type, plat::DeviceType::RilLines);
    EXPECT_EQ(ril->arg, "COM1:rts:high:250");
}

} // namespace
