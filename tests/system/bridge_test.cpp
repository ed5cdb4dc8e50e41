// The serial bridge over pseudo-terminals and virtual cables: its states and
// transitions, the port names built from the registry, the log lines and the
// refusal box, the trace modes, short and failed writes with their boxes,
// stopping under blocked pumps, and a peer that hangs up.
#include "tests/support/bridge_harness.h"

#include "platform/windowing/display.h"
#include "platform/serial/syscalls.h"
#include "platform/serial/vcable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <map>
#include <sys/resource.h>

namespace
{

using namespace bridge_harness;
using namespace std::chrono;

const char kSettings[] = "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";
const char kReleased[] = "COMs released, R/W threads stopped\r\n";
const char kInvalid[] = "one of the handles is INVALID_HANDLE_VALUE\r\n";
const char16_t kToPeerFail[] = u"Fail to write to BT/Irda\r\n";
const char16_t kToModuleFail[] = u"Fail to write FF(GSM)";

using testsupport::ProcessCpuSeconds;
using testsupport::WaitUntil;

DWORD PumpExitCode(const std::atomic<HANDLE>& hPump)
{
    return testsupport::ThreadExitCode(hPump.load());
}

// A pattern that tells every position apart within a test.
std::string Pattern(size_t n, uint8_t seed)
{
    std::string s(n, '\0');
    uint32_t x = 0x9E3779B9u ^ seed;
    for (size_t i = 0; i < n; i++)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = (char)(x >> 24);
    }
    return s;
}

// The counts in the traffic lines of one direction, in order.
std::vector<int> TrafficCounts(const std::string& log, bool towardModule)
{
    static const std::string kUpTail = " bytes <-BT<-FF<- <<<";
    static const std::string kDownHead = ">>> ";
    static const std::string kDownTail = " bytes ->BT->FF->";
    std::vector<int> out;
    size_t at = 0;
    while (at < log.size())
    {
        size_t end = log.find("\r\n", at);
        if (end == std::string::npos)
            break;
        std::string line = log.substr(at, end - at);
        at = end + 2;
        if (!towardModule && line.size() > kUpTail.size() &&
            line.compare(line.size() - kUpTail.size(), kUpTail.size(), kUpTail) == 0)
            out.push_back(std::stoi(line.substr(0, line.size() - kUpTail.size())));
        if (towardModule && line.size() > kDownHead.size() + kDownTail.size() &&
            line.compare(0, kDownHead.size(), kDownHead) == 0 &&
            line.compare(line.size() - kDownTail.size(), kDownTail.size(), kDownTail) == 0)
            out.push_back(std::stoi(line.substr(kDownHead.size(), line.size() - kDownHead.size() - kDownTail.size())));
    }
    return out;
}

int Sum(const std::vector<int>& v)
{
    int s = 0;
    for (int x : v)
        s += x;
    return s;
}

// ---------------------------------------------------------------------------
// Write faults through the system-call table: the device a path names is
// found by its open, and its next write can be made short or made to fail
// with an error that does not mean a hang-up.
// ---------------------------------------------------------------------------
enum WriteFault
{
    FAULT_NONE,
    FAULT_SHORT_THEN_FAIL, // one write takes g_shortBytes, the next fails with EINVAL
    FAULT_FAIL_NEXT,       // the next write fails with EINVAL
};

std::mutex g_openedMu;
std::map<std::string, int> g_openedFd; // path -> last descriptor opened for it
std::atomic<int> g_faultFd{-1};
std::atomic<int> g_fault{FAULT_NONE};
std::atomic<size_t> g_shortBytes{0};
std::atomic<int> g_faultsDone{0};

int RecordingOpen(const char* path, int flags, mode_t mode)
{
    int fd = plat::real_syscalls().open(path, flags, mode);
    if (fd >= 0)
    {
        std::lock_guard<std::mutex> lock(g_openedMu);
        g_openedFd[path] = fd;
    }
    return fd;
}

ssize_t FaultyWrite(int fd, const void* buf, size_t n)
{
    if (fd == g_faultFd.load())
    {
        int f = g_fault.load();
        if (f == FAULT_SHORT_THEN_FAIL && g_fault.compare_exchange_strong(f, FAULT_FAIL_NEXT))
            return plat::real_syscalls().write(fd, buf, std::min(n, g_shortBytes.load()));
        if (f == FAULT_FAIL_NEXT && g_fault.compare_exchange_strong(f, FAULT_NONE))
        {
            g_faultsDone.fetch_add(1);
            errno = EINVAL;
            return -1;
        }
    }
    return plat::real_syscalls().write(fd, buf, n);
}

// Static: pumps may still be inside a call through the table after a test
// has put the real one back.
const plat::Syscalls* FaultTable()
{
    static const plat::Syscalls table = []
    {
        plat::Syscalls t = plat::real_syscalls();
        t.open = RecordingOpen;
        t.write = FaultyWrite;
        return t;
    }();
    return &table;
}

int OpenedFd(const std::string& path)
{
    std::lock_guard<std::mutex> lock(g_openedMu);
    auto it = g_openedFd.find(path);
    return it == g_openedFd.end() ? -1 : it->second;
}

// Opens a device as another program holding it would.
HANDLE Hold(LPCWSTR name)
{
    return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Whether a device can be opened now, i.e. nobody holds it.
bool Openable(LPCWSTR name)
{
    HANDLE h = Hold(name);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

// ---------------------------------------------------------------------------
// The fixture: four pseudo-terminals standing for COM1: (FFUART, Index 1),
// COM3: (IrDA), COM4: (BTUART, Index 4) and COM5: (raw IR), and the main
// window on its UI thread.
// ---------------------------------------------------------------------------
class BridgeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module_.Open());
        ASSERT_TRUE(irda_.Open());
        ASSERT_TRUE(bt_.Open());
        ASSERT_TRUE(ir_.Open());
        std::string err;
        ASSERT_TRUE(LoadProfile(Shape(), &err)) << err;
        ASSERT_TRUE(win_.Start());
    }

    ProfileShape Shape() const
    {
        ProfileShape s;
        s.devices = {{"COM1:", "tty:" + module_.path},
                     {"COM3:", "tty:" + irda_.path},
                     {"COM4:", "tty:" + bt_.path},
                     {"COM5:", "tty:" + ir_.path}};
        return s;
    }

    LONG Command(int id)
    {
        return win_.Command(id);
    }

    size_t Mark() const
    {
        return win_.Log().size();
    }

    std::string LogSince(size_t mark) const
    {
        return win_.Log().substr(mark);
    }

    // Bytes written at one master come out at the other, exactly.
    void ExpectFlow(int fromMaster, int toMaster, const std::string& payload)
    {
        ASSERT_TRUE(WriteAll(fromMaster, payload));
        EXPECT_EQ(ReadExactly(toMaster, payload.size()), payload);
    }

    void ExpectBothWays(Pty& peer, uint8_t seed)
    {
        ExpectFlow(module_.master, peer.master, Pattern(300, seed));
        ExpectFlow(peer.master, module_.master, Pattern(200, (uint8_t)(seed + 1)));
    }

    void ExpectIdle()
    {
        EXPECT_EQ(g_hModuleCom.load(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(g_hPeerCom.load(), INVALID_HANDLE_VALUE);
        EXPECT_NE(PumpExitCode(g_hPumpUp), STILL_ACTIVE);
        EXPECT_NE(PumpExitCode(g_hPumpDown), STILL_ACTIVE);
    }

    // A start while another program holds `held` ("COM1:" or "COM3:"): result
    // 1, the lines, and the side that did open stays held without a pump.
    // Returns the other program's handle.
    HANDLE StartWhileHeld(LPCWSTR held, const std::string& lines)
    {
        HANDLE h = Hold(held);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Command(IDM_BRIDGE_START), 1);
        EXPECT_EQ(win_.Log(), lines + kInvalid);
        const bool moduleHeldElsewhere = std::u16string(held) == u"COM1:";
        ExpectHeld(!moduleHeldElsewhere, moduleHeldElsewhere);
        EXPECT_FALSE(Openable(moduleHeldElsewhere ? u"COM3:" : u"COM1:"));
        return h;
    }

    // After a start that failed: which side the bridge holds, and no pump.
    void ExpectHeld(bool module, bool peer)
    {
        EXPECT_EQ(g_hModuleCom.load() != INVALID_HANDLE_VALUE, module);
        EXPECT_EQ(g_hPeerCom.load() != INVALID_HANDLE_VALUE, peer);
        EXPECT_EQ(g_hPumpUp.load(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(g_hPumpDown.load(), INVALID_HANDLE_VALUE);
    }

    void ExpectRunning()
    {
        EXPECT_NE(g_hModuleCom.load(), INVALID_HANDLE_VALUE);
        EXPECT_NE(g_hPeerCom.load(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(PumpExitCode(g_hPumpUp), STILL_ACTIVE);
        EXPECT_EQ(PumpExitCode(g_hPumpDown), STILL_ACTIVE);
    }

    // Declared before the window, so the window (and with it the bridge)
    // goes first and the ports close before their pseudo-terminals do.
    Pty module_, irda_, bt_, ir_;
    MainWindow win_;
};

// ---------------------------------------------------------------------------
// States and transitions
// ---------------------------------------------------------------------------
TEST_F(BridgeTest, FirstStart_WithInitialSettings_OpensModuleUartAndIrdaAndRuns)
{
    EXPECT_EQ(g_peerKind.load(), PEER_IRDA);
    EXPECT_EQ(g_traceMode.load(), 3);
    ExpectIdle();

    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(win_.Log(), std::string("COM1: opened\r\nIRDA(COM3:) opened\r\n") + kSettings);
    ExpectRunning();
    ExpectBothWays(irda_, 1);
    EXPECT_FALSE(Openable(u"COM1:"));
    EXPECT_FALSE(Openable(u"COM3:"));
}

TEST_F(BridgeTest, Stop_ReleasesBothPortsAndEndsBothPumps_AndStartRunsAfresh)
{
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    const HANDLE hUp = g_hPumpUp.load();
    const HANDLE hDown = g_hPumpDown.load();

    size_t mark = Mark();
    const auto t0 = Clock::now();
    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    // The IrDA pump sits in a read with the driver's 10 s time-out: the stop does not wait for it.
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - t0).count(), 1000);
    EXPECT_EQ(LogSince(mark), kReleased);
    ExpectIdle();
    EXPECT_EQ(PumpExitCode(g_hPumpUp), 0u);
    EXPECT_EQ(PumpExitCode(g_hPumpDown), 0u);
    EXPECT_TRUE(Openable(u"COM1:"));
    EXPECT_TRUE(Openable(u"COM3:"));

    mark = Mark();
    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(LogSince(mark), std::string("COM1: opened\r\nIRDA(COM3:) opened\r\n") + kSettings);
    ExpectRunning();
    EXPECT_NE(g_hPumpUp.load(), hUp);
    EXPECT_NE(g_hPumpDown.load(), hDown);
    ExpectBothWays(irda_, 7);
}

TEST_F(BridgeTest, StopOnIdleBridge_LogsOnlyItsLine)
{
    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_EQ(win_.Log(), kReleased);
    ExpectIdle();
    EXPECT_EQ(g_hPumpUp.load(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(g_hPumpDown.load(), INVALID_HANDLE_VALUE);
}

TEST_F(BridgeTest, StartTwice_KeepsOnePumpPerDirection)
{
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    const HANDLE hUp = g_hPumpUp.load();
    const HANDLE hDown = g_hPumpDown.load();
    const HANDLE hModule = g_hModuleCom.load();
    const HANDLE hPeer = g_hPeerCom.load();
    const int threads = ThreadCount();

    const size_t mark = Mark();
    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(LogSince(mark), std::string("Open FF(COM1:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + kSettings);
    EXPECT_EQ(g_hPumpUp.load(), hUp);
    EXPECT_EQ(g_hPumpDown.load(), hDown);
    EXPECT_EQ(g_hModuleCom.load(), hModule);
    EXPECT_EQ(g_hPeerCom.load(), hPeer);
    EXPECT_EQ(ThreadCount(), threads);
    ExpectRunning();

    // One pump per direction: a stream arrives once, whole and in order.
    ExpectBothWays(irda_, 3);
    EXPECT_EQ(ReadUntilQuiet(irda_.master, 300), "");
    EXPECT_EQ(ReadUntilQuiet(module_.master, 300), "");
}

TEST_F(BridgeTest, PeerThatCannotBeOpened_LeavesModuleUartHeldUntilStop)
{
    // Half open: the module side is held, no pump started.
    HANDLE hHeld = StartWhileHeld(u"COM3:", "COM1: opened\r\nOpen IRDA(COM3:) failed.\r\n");

    // Half open -> Running once the peer is free: the held side's open fails, its handle stays.
    const HANDLE hModule = g_hModuleCom.load();
    CloseHandle(hHeld);
    size_t mark = Mark();
    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(LogSince(mark), std::string("Open FF(COM1:) failed.\r\nIRDA(COM3:) opened\r\n") + kSettings);
    EXPECT_EQ(g_hModuleCom.load(), hModule);
    ExpectRunning();
    ExpectBothWays(irda_, 11);

    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    ExpectIdle();
    EXPECT_TRUE(Openable(u"COM1:"));
}

// The highest descriptor number open now.
int HighestDescriptor()
{
    int top = -1;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            top = std::max(top, atoi(e->d_name));
    closedir(d);
    return top;
}

// A pump thread that cannot be created (here: no descriptor left for the
// platform's thread object) leaves 0 in its global and no settings line; 0
// never reads as running, so the next start creates it.
TEST_F(BridgeTest, PumpThatCannotBeCreated_LeavesZero_AndTheNextStartCreatesIt)
{
#if defined(__SANITIZE_ADDRESS__)
    // UBSan's type checks (built with ASan here) probe memory through a pipe,
    // which they cannot make while every descriptor is taken.
    GTEST_SKIP() << "needs descriptors exhausted, which the sanitizer runtime cannot work without";
#endif
    HANDLE hHeld = Hold(u"COM3:");
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 1); // half open: the module side is held

    // Fill every free descriptor slot under a lowered limit; closing the held
    // port then frees just what the peer's open takes again.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit low = old;
    low.rlim_cur = (rlim_t)HighestDescriptor() + 16;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> fillers;
    for (int fd = dup(0); fd >= 0; fd = dup(0))
        fillers.push_back(fd);
    CloseHandle(hHeld);
    size_t mark = Mark();
    const LONG result = Command(IDM_BRIDGE_START);
    const HANDLE hUp = g_hPumpUp.load();
    const HANDLE hDown = g_hPumpDown.load();
    for (int fd : fillers)
        close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    if (g_hPeerCom.load() == INVALID_HANDLE_VALUE)
        GTEST_SKIP() << "the peer's open needed more descriptors than its hold gave back: " << LogSince(mark);
    if (hUp != nullptr && hDown != nullptr)
        GTEST_SKIP() << "thread creation found a descriptor after all";

    EXPECT_EQ(result, 0);
    EXPECT_EQ(hUp, nullptr);
    EXPECT_EQ(hDown, nullptr);
    EXPECT_EQ(LogSince(mark), "Open FF(COM1:) failed.\r\nIRDA(COM3:) opened\r\n");

    mark = Mark();
    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(LogSince(mark), std::string("Open FF(COM1:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + kSettings);
    ExpectRunning();
    ExpectBothWays(irda_, 15);
}

TEST_F(BridgeTest, BothOpensFailing_StayIdle)
{
    HANDLE hModule = Hold(u"COM1:");
    HANDLE hPeer = Hold(u"COM3:");
    ASSERT_NE(hModule, INVALID_HANDLE_VALUE);
    ASSERT_NE(hPeer, INVALID_HANDLE_VALUE);

    EXPECT_EQ(Command(IDM_BRIDGE_START), 1);
    EXPECT_EQ(win_.Log(), std::string("Open FF(COM1:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + kInvalid);
    ExpectIdle();
    // Idle: the peer may still change.
    EXPECT_EQ(Command(IDM_PEER_BT), 0);
    EXPECT_EQ(g_peerKind.load(), PEER_BTUART);
    EXPECT_TRUE(plat::display_box_list().empty());
    CloseHandle(hModule);
    CloseHandle(hPeer);
}

TEST_F(BridgeTest, ModuleUartThatCannotBeOpened_LeavesPeerHeld)
{
    HANDLE hModule = StartWhileHeld(u"COM1:", "Open FF(COM1:) failed.\r\nIRDA(COM3:) opened\r\n");
    CloseHandle(hModule);
    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_TRUE(Openable(u"COM3:"));
}

TEST_F(BridgeTest, Teardown_ReleasesPortsAndEndsPumpsWithoutALine)
{
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    const std::string before = win_.Log();
    BridgeTeardown();
    ExpectIdle();
    EXPECT_EQ(PumpExitCode(g_hPumpUp), 0u);
    EXPECT_EQ(PumpExitCode(g_hPumpDown), 0u);
    EXPECT_TRUE(Openable(u"COM1:"));
    EXPECT_TRUE(Openable(u"COM3:"));
    std::this_thread::sleep_for(milliseconds(50));
    EXPECT_EQ(win_.Log(), before);
}

TEST_F(BridgeTest, WindowDestruction_TearsTheBridgeDown)
{
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    SendMessageW(win_.hwnd(), BRIDGE_HARNESS_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(win_.hwnd()));
    ExpectIdle();
    EXPECT_EQ(PumpExitCode(g_hPumpUp), 0u);
    EXPECT_EQ(PumpExitCode(g_hPumpDown), 0u);
    EXPECT_TRUE(Openable(u"COM1:"));
    EXPECT_TRUE(Openable(u"COM3:"));
}

// ---------------------------------------------------------------------------
// Port names from the serial driver's registry entries
// ---------------------------------------------------------------------------
// The module's UART (FF, with the IrDA peer) and the Bluetooth UART (BT, as
// the peer): "COMn:" from each driver's "Index" when it is below 10.
struct IndexCase
{
    const char* what;
    bool bt; // the Bluetooth UART's entry, else the module UART's
    bool keyPresent;
    const char* value; // the "Index" value as the profile writes it; "" for none
    const char* expected;
};

TEST_F(BridgeTest, UartNames_AreBuiltFromTheDriversIndexBelowTen)
{
    // clang-format off
    static const IndexCase kCases[] = {
        {"FF index 1",             false, true,  "dword:00000001",          "COM1: opened\r\n"},
        {"FF index 9",             false, true,  "dword:00000009",          "COM9: opened\r\n"},
        {"FF index 0",             false, true,  "dword:00000000",          "COM0: opened\r\n"},
        {"FF index 10",            false, true,  "dword:0000000a",          "Open FF() failed.\r\n"},
        {"FF index all ones",      false, true,  "dword:ffffffff",          "Open FF() failed.\r\n"},
        {"FF no value",            false, true,  "",                        "Open FF() failed.\r\n"},
        {"FF no key",              false, false, "",                        "Open FF() failed.\r\n"},
        {"FF two-byte binary 7",   false, true,  "hex:07,00",               "COM7: opened\r\n"},
        {"FF eight bytes",         false, true,  "hex:01,00,00,00,00,00,00,00", "Open FF() failed.\r\n"},
        {"FF index of a missing device", false, true, "dword:00000008",     "Open FF(COM8:) failed.\r\n"},
        {"BT index 4",             true,  true,  "dword:00000004",          "COM4: opened\r\n"},
        {"BT index 10",            true,  true,  "dword:0000000a",          "Open BT() failed.\r\n"},
        {"BT no value",            true,  true,  "",                        "Open BT() failed.\r\n"},
        {"BT no key",              true,  false, "",                        "Open BT() failed.\r\n"},
    };
    // clang-format on
    uint8_t seed = 21;
    for (const IndexCase& c : kCases)
    {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(Command(c.bt ? IDM_PEER_BT : IDM_PEER_IRDA), 0);
        ProfileShape s = Shape();
        (c.bt ? s.serial2Key : s.serialKey) = c.keyPresent;
        (c.bt ? s.serial2Index : s.serialIndex) = c.value;
        s.devices.push_back({"COM9:", "tty:" + module_.path});
        s.devices.push_back({"COM0:", "tty:" + module_.path});
        s.devices.push_back({"COM7:", "tty:" + module_.path});
        std::string err;
        ASSERT_TRUE(LoadProfile(s, &err)) << err;
        const size_t mark = Mark();
        const bool opens = std::string(c.expected).find("opened") != std::string::npos;
        EXPECT_EQ(Command(IDM_BRIDGE_START), opens ? 0 : 1);
        std::string expected =
            c.bt ? "COM1: opened\r\n" + std::string(c.expected) : std::string(c.expected) + "IRDA(COM3:) opened\r\n";
        EXPECT_EQ(LogSince(mark), expected + (opens ? kSettings : kInvalid));
        if (opens)
            ExpectBothWays(c.bt ? bt_ : irda_, seed++);
        EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    }
}

// ---------------------------------------------------------------------------
// Peer choice
// ---------------------------------------------------------------------------
TEST_F(BridgeTest, EachPeer_OpensItsPortWithItsLine)
{
    struct PeerCase
    {
        int command;
        int kind;
        const char* line;
        Pty* pty;
    };
    const PeerCase kCases[] = {
        {IDM_PEER_BT, PEER_BTUART, "COM4: opened\r\n", &bt_},
        {IDM_PEER_IR, PEER_IR, "COM5: (IR)opened\r\n", &ir_},
        {IDM_PEER_IRDA, PEER_IRDA, "IRDA(COM3:) opened\r\n", &irda_},
    };
    uint8_t seed = 40;
    for (const PeerCase& c : kCases)
    {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Command(c.command), 0);
        EXPECT_EQ(g_peerKind.load(), c.kind);
        const size_t mark = Mark();
        EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
        // The settings line is the same whatever the peer, the IR ports' own settings included.
        EXPECT_EQ(LogSince(mark), std::string("COM1: opened\r\n") + c.line + kSettings);
        ExpectBothWays(*c.pty, seed);
        seed += 2;
        EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    }
}

TEST_F(BridgeTest, IrPeers_KeepTheirDriversTimeouts_UartsGetOneMillisecondReads)
{
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    COMMTIMEOUTS module = {}, peer = {}, fresh = {};
    ASSERT_TRUE(GetCommTimeouts(g_hModuleCom.load(), &module));
    ASSERT_TRUE(GetCommTimeouts(g_hPeerCom.load(), &peer));
    HANDLE h = Hold(u"COM5:");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetCommTimeouts(h, &fresh));
    CloseHandle(h);

    EXPECT_EQ(module.ReadIntervalTimeout, 0u);
    EXPECT_EQ(module.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(module.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(module.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(module.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(memcmp(&peer, &fresh, sizeof peer), 0);

    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(g_hModuleCom.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
}

TEST_F(BridgeTest, PeerChange_IsRefusedWhilePortsAreHeld_AndAcceptedWhenIdle)
{
    // Half open.
    HANDLE hHeld = Hold(u"COM3:");
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 1);
    EXPECT_EQ(Command(IDM_PEER_BT), 1);
    EXPECT_EQ(g_peerKind.load(), PEER_IRDA);
    CloseHandle(hHeld);

    // Running.
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(Command(IDM_PEER_IR), 1);
    EXPECT_EQ(g_peerKind.load(), PEER_IRDA);
    // The trace mode changes in any state, without a box.
    EXPECT_EQ(Command(IDM_TRACE_OFF), 0);
    EXPECT_EQ(g_traceMode.load(), 0);

    std::vector<plat::BoxRecord> boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 2u);
    for (const plat::BoxRecord& b : boxes)
    {
        EXPECT_EQ(b.text, u"COMs should be released first");
        EXPECT_EQ(b.caption, u"Error"); // no caption given: the platform's default title
        EXPECT_EQ(b.type, MB_ICONERROR);
        EXPECT_EQ(b.owner, win_.hwnd());
        EXPECT_EQ(b.threadId, win_.UiThreadId());
    }

    ASSERT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_EQ(Command(IDM_PEER_IR), 0);
    EXPECT_EQ(g_peerKind.load(), PEER_IR);
    EXPECT_EQ(plat::display_box_list().size(), 2u);
    // Any other id changes nothing.
    EXPECT_EQ(SelectOption(win_.hwnd(), 117, 0, 0), 0);
    EXPECT_EQ(SelectOption(win_.hwnd(), 109, 0, 0), 0);
    EXPECT_EQ(g_peerKind.load(), PEER_IR);
    EXPECT_EQ(g_traceMode.load(), 0);
}

// ---------------------------------------------------------------------------
// Trace modes and traffic lines
// ---------------------------------------------------------------------------
// Each mode runs a bridge of its own: a chunk's line comes after the chunk,
// and a stop ends the pumps with any line still pending, so no line of one
// mode can land among those of the next.
TEST_F(BridgeTest, TraceModes_ChooseWhichDirectionsLogTheirTraffic)
{
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    struct ModeCase
    {
        int command;
        int mode;
        bool up;   // "%d bytes <-BT<-FF<- <<<": module to peer
        bool down; // ">>> %d bytes ->BT->FF->": peer to module
    };
    // clang-format off
    static const ModeCase kModes[] = {
        {IDM_TRACE_OFF,         0, false, false},
        {IDM_TRACE_TO_MODULE,   1, false, true},
        {IDM_TRACE_FROM_MODULE, 2, true,  false},
        {IDM_TRACE_BOTH,        3, true,  true},
    };
    // clang-format on
    uint8_t seed = 50;
    for (const ModeCase& m : kModes)
    {
        SCOPED_TRACE(m.command);
        EXPECT_EQ(Command(m.command), 0);
        EXPECT_EQ(g_traceMode.load(), m.mode);
        ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
        const size_t mark = Mark();
        ExpectFlow(module_.master, bt_.master, Pattern(3000, seed++));
        ExpectFlow(bt_.master, module_.master, Pattern(2000, seed++));
        EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), false)) == (m.up ? 3000 : 0); }));
        EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), true)) == (m.down ? 2000 : 0); }));
        ASSERT_EQ(Command(IDM_BRIDGE_STOP), 0);
        std::string log = LogSince(mark);
        ASSERT_EQ(log.substr(log.size() - strlen(kReleased)), kReleased);
        log.resize(log.size() - strlen(kReleased));
        EXPECT_EQ(Sum(TrafficCounts(log, false)), m.up ? 3000 : 0) << log;
        EXPECT_EQ(Sum(TrafficCounts(log, true)), m.down ? 2000 : 0) << log;
        // Nothing but traffic lines, each of at most one chunk.
        EXPECT_EQ(CountOf(log, "\r\n"), TrafficCounts(log, false).size() + TrafficCounts(log, true).size()) << log;
        for (bool towardModule : {false, true})
            for (int n : TrafficCounts(log, towardModule))
                EXPECT_TRUE(n > 0 && n <= 1024) << n;

        // TraceLog follows the same mode: silent at 0 only.
        const size_t before = Mark();
        TraceLog(win_.hwnd(), u"trace\r\n");
        EXPECT_EQ(LogSince(before), m.mode == 0 ? "" : "trace\r\n");
    }

    // A running bridge follows a change at once: every line of trace mode 3
    // is in before the switch, and none comes after it.
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    size_t mark = Mark();
    ExpectBothWays(bt_, seed++);
    EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), false)) == 300; }));
    EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), true)) == 200; }));
    ASSERT_EQ(Command(IDM_TRACE_OFF), 0);
    mark = Mark();
    ExpectBothWays(bt_, seed++);
    ASSERT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_EQ(LogSince(mark), kReleased);
}

// A write that takes only part of a chunk and then fails: the line from the
// module counts what was written, the line toward the module what was read.
// A burst the peer sent before the bridge started waits in its port; the
// pump takes it in whole chunks, the last one what is left.
TEST_F(BridgeTest, BurstQueuedBeforeTheStart_ComesOutInWholeChunks)
{
    ASSERT_EQ(Command(IDM_TRACE_BOTH), 0);
    const std::string burst = Pattern(3000, 90);
    ASSERT_TRUE(WriteAll(irda_.master, burst));
    const size_t mark = Mark();
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    EXPECT_EQ(ReadExactly(module_.master, burst.size()), burst);
    EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), true)) == 3000; })) << LogSince(mark);
    EXPECT_EQ(TrafficCounts(LogSince(mark), true), (std::vector<int>{1024, 1024, 952})) << LogSince(mark);
}

TEST_F(BridgeTest, PartialWriteThenFailure_CountsWrittenFromModuleAndReadTowardModule)
{
    plat::SyscallOverride faults(FaultTable());
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    const int peerFd = OpenedFd(bt_.path);
    const int moduleFd = OpenedFd(module_.path);
    ASSERT_GE(peerFd, 0);
    ASSERT_GE(moduleFd, 0);

    struct Partial
    {
        Pty* from;
        Pty* to;
        int fd;       // the descriptor whose write goes short, then fails
        size_t sent;  // bytes the short write takes
        size_t chunk; // bytes the pump read
        const char* line;
    };
    // Module to peer: 37 of 100 bytes go, then the write fails; the line counts the 37 written.
    // Peer to module: 25 of 80 bytes go, then the write fails; the line counts the 80 read.
    const Partial kCases[] = {
        {&module_, &bt_, peerFd, 37, 100, "37 bytes <-BT<-FF<- <<<\r\n"},
        {&bt_, &module_, moduleFd, 25, 80, ">>> 80 bytes ->BT->FF->\r\n"},
    };
    int failed = 0;
    uint8_t seed = 60;
    for (const Partial& k : kCases)
    {
        SCOPED_TRACE(k.line);
        const size_t mark = Mark();
        g_shortBytes.store(k.sent);
        g_faultFd.store(k.fd);
        g_fault.store(FAULT_SHORT_THEN_FAIL);
        const std::string data = Pattern(k.chunk, seed++);
        ASSERT_TRUE(WriteAll(k.from->master, data));
        EXPECT_EQ(ReadExactly(k.to->master, k.sent), data.substr(0, k.sent));
        ASSERT_TRUE(WaitUntil([&] { return g_faultsDone.load() == failed + 1; }));
        ASSERT_TRUE(win_.WaitForLog(k.line));
        EXPECT_EQ(LogSince(mark), k.line);
        EXPECT_EQ(ReadUntilQuiet(k.to->master, 200), ""); // the rest of the chunk is not sent again
        failed++;
    }

    // Each failed write had its box (answered at once here), on its pump's thread.
    std::vector<plat::BoxRecord> boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, kToPeerFail);
    EXPECT_EQ(boxes[0].caption, kToPeerFail);
    EXPECT_EQ(boxes[1].text, kToModuleFail);
    EXPECT_EQ(boxes[1].caption, kToModuleFail);
    for (const plat::BoxRecord& b : boxes)
    {
        EXPECT_EQ(b.type, MB_OK);
        EXPECT_EQ(b.owner, nullptr);
        EXPECT_NE(b.threadId, win_.UiThreadId());
    }
    EXPECT_NE(boxes[0].threadId, boxes[1].threadId);

    // Both directions go on.
    ExpectBothWays(bt_, 62);
}

// The IrDA peer keeps its driver's write time-out, so a peer that takes only
// part of a chunk gives a write that succeeds short: the line counts what was
// written, and the rest of that chunk is dropped.
TEST_F(BridgeTest, ShortWriteToIrdaPeer_LogsTheCountWrittenAndDropsTheRest)
{
    ProfileShape s = Shape();
    for (auto& d : s.devices)
        if (d.first == "COM3:")
            d.second = "cable:irda:a";
    std::string err;
    ASSERT_TRUE(LoadProfile(s, &err)) << err;
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);

    const size_t room = plat::kCableQueueBytes;
    const std::string fill = Pattern(room - 10, 70);
    ASSERT_TRUE(WriteAll(module_.master, fill, 10000));
    ASSERT_TRUE(WaitUntil([&] { return plat::cable_pending("irda", 'b') == fill.size(); }, 10000));
    // The pump writes a chunk's line after the chunk: the mark waits for the
    // lines of the whole fill, not for its bytes alone.
    ASSERT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(win_.Log(), false)) == (int)fill.size(); }, 10000));
    const size_t mark = Mark();
    const std::string chunk = Pattern(100, 71);
    ASSERT_TRUE(WriteAll(module_.master, chunk));
    ASSERT_TRUE(win_.WaitForLog("10 bytes <-BT<-FF<- <<<\r\n", 10000));
    EXPECT_EQ(LogSince(mark), "10 bytes <-BT<-FF<- <<<\r\n");
    EXPECT_TRUE(plat::display_box_list().empty()); // a short write is no failure

    std::string got(room, '\0');
    size_t have = 0;
    while (have < room)
    {
        long r = plat::cable_read("irda", 'b', &got[have], room - have, 2000);
        ASSERT_GT(r, 0);
        have += (size_t)r;
    }
    EXPECT_TRUE(got == fill + chunk.substr(0, 10));
    const std::string next = Pattern(50, 72);
    ASSERT_TRUE(WriteAll(module_.master, next));
    std::string after(50, '\0');
    have = 0;
    while (have < 50)
    {
        long r = plat::cable_read("irda", 'b', &after[have], 50 - have, 2000);
        ASSERT_GT(r, 0);
        have += (size_t)r;
    }
    EXPECT_EQ(after, next);
    EXPECT_EQ(plat::cable_pending("irda", 'b'), 0u);
}

// ---------------------------------------------------------------------------
// Failed writes and their boxes
// ---------------------------------------------------------------------------
struct FailCase
{
    const char* what;
    bool towardPeer;
    const char16_t* box;
};

TEST_F(BridgeTest, FailedWrite_HoldsOnlyItsDirectionUntilTheBoxIsDismissed)
{
    plat::SyscallOverride faults(FaultTable());
    plat::display_hold_boxes(true);
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);

    static const FailCase kCases[] = {
        {"module to peer", true, kToPeerFail},
        {"peer to module", false, kToModuleFail},
    };
    size_t boxIndex = 0;
    uint8_t seed = 80;
    for (const FailCase& c : kCases)
    {
        SCOPED_TRACE(c.what);
        Pty& from = c.towardPeer ? module_ : bt_;
        Pty& to = c.towardPeer ? bt_ : module_;
        const size_t mark = Mark();
        g_faultFd.store(OpenedFd(to.path));
        g_fault.store(FAULT_FAIL_NEXT);

        const std::string lost = Pattern(40, seed++);
        ASSERT_TRUE(WriteAll(from.master, lost));
        ASSERT_TRUE(plat::display_wait_boxes(boxIndex + 1, 5000));
        std::vector<plat::BoxRecord> boxes = plat::display_box_list();
        ASSERT_EQ(boxes.size(), boxIndex + 1);
        EXPECT_EQ(boxes[boxIndex].text, c.box);
        EXPECT_EQ(boxes[boxIndex].caption, c.box);
        EXPECT_EQ(boxes[boxIndex].type, MB_OK);
        EXPECT_EQ(boxes[boxIndex].owner, nullptr);
        EXPECT_TRUE(boxes[boxIndex].open);

        // While the box is up the other direction runs on...
        ExpectFlow(to.master, from.master, Pattern(500, seed++));
        // ...and this one waits.
        const std::string held = Pattern(60, seed++);
        ASSERT_TRUE(WriteAll(from.master, held));
        EXPECT_EQ(ReadUntilQuiet(to.master, 300), "");

        ASSERT_TRUE(plat::display_dismiss(boxIndex, IDOK));
        // The failed chunk is dropped; the next one goes through.
        EXPECT_EQ(ReadExactly(to.master, held.size()), held);
        EXPECT_EQ(ReadUntilQuiet(to.master, 200), "");
        // No line for the failed write: it reported no bytes. Both directions'
        // lines are in before the next case takes its mark.
        const bool towardModule = !c.towardPeer;
        EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), towardModule)) == 60; }));
        EXPECT_TRUE(WaitUntil([&] { return Sum(TrafficCounts(LogSince(mark), !towardModule)) == 500; }));
        boxIndex++;
    }
    EXPECT_EQ(plat::display_box_list().size(), 2u);
}

TEST_F(BridgeTest, StopWithAFailureBoxUp_DoesNotWaitForIt)
{
    plat::SyscallOverride faults(FaultTable());
    plat::display_hold_boxes(true);
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    g_faultFd.store(OpenedFd(bt_.path));
    g_fault.store(FAULT_FAIL_NEXT);
    ASSERT_TRUE(WriteAll(module_.master, "x"));
    ASSERT_TRUE(plat::display_wait_boxes(1, 5000));

    const auto t0 = Clock::now();
    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - t0).count(), 1000);
    ExpectIdle();
    EXPECT_EQ(PumpExitCode(g_hPumpUp), 0u);
    EXPECT_EQ(PumpExitCode(g_hPumpDown), 0u);
    // The pump's box went down with it.
    EXPECT_TRUE(WaitUntil(
        []
        {
            std::vector<plat::BoxRecord> b = plat::display_box_list();
            return b.size() == 1 && !b[0].open && b[0].cancelled;
        }));

    // And the next start runs afresh.
    EXPECT_EQ(Command(IDM_BRIDGE_START), 0);
    ExpectRunning();
    ExpectBothWays(bt_, 90);
}

// A peer that does not read: the pump toward it blocks in a write without a
// time-out. Stopping ends that write, shows no failure box for it and does
// not wait.
TEST_F(BridgeTest, StopWithAWriteBlockedOnAFullPeer_EndsThePumpWithoutABox)
{
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    const int threadsIdle = ThreadCount();
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    ASSERT_EQ(Command(IDM_TRACE_OFF), 0);

    // Flood the module side until nothing more fits anywhere.
    const std::string block = Pattern(4096, 95);
    auto quietSince = Clock::now();
    const auto limit = Clock::now() + seconds(10);
    while (Clock::now() - quietSince < milliseconds(300) && Clock::now() < limit)
    {
        ssize_t w = write(module_.master, block.data(), block.size());
        if (w > 0)
            quietSince = Clock::now();
        else
            std::this_thread::sleep_for(milliseconds(5));
    }
    ASSERT_EQ(PumpExitCode(g_hPumpUp), STILL_ACTIVE);

    const auto t0 = Clock::now();
    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    EXPECT_LT(duration_cast<milliseconds>(Clock::now() - t0).count(), 1000);
    ExpectIdle();
    EXPECT_EQ(PumpExitCode(g_hPumpUp), 0u);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_TRUE(plat::display_box_list().empty());
    // The pump threads are really gone, not only marked.
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsIdle; })) << ThreadCount() << " vs " << threadsIdle;
}

// ---------------------------------------------------------------------------
// A peer that hangs up
// ---------------------------------------------------------------------------
TEST_F(BridgeTest, PeerHangUp_PumpDoesNotSpin_AndEachFailedWriteShowsItsBox)
{
    ASSERT_EQ(Command(IDM_PEER_BT), 0);
    ASSERT_EQ(Command(IDM_BRIDGE_START), 0);
    ExpectBothWays(bt_, 100);

    bt_.CloseMaster();
    std::this_thread::sleep_for(milliseconds(200));
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(seconds(1));
    const double cpu = (ProcessCpuSeconds() - cpu0) / duration<double>(Clock::now() - t0).count();
    RecordProperty("cpu_after_hangup_percent", std::to_string(cpu * 100));
    printf("process CPU after the hang-up: %.2f%% of a core\n", cpu * 100);
    // A pump spinning on failed reads would take a whole core (100%).
    EXPECT_LT(cpu, 0.10) << "process CPU " << cpu * 100 << "% of a core after the peer hung up";
    EXPECT_EQ(PumpExitCode(g_hPumpDown), STILL_ACTIVE); // it waits for StopBridge

    // Bytes from the module can no longer be written: one box per failed write.
    ASSERT_TRUE(WriteAll(module_.master, "AT\r"));
    ASSERT_TRUE(plat::display_wait_boxes(1, 5000));
    std::this_thread::sleep_for(milliseconds(100));
    std::vector<plat::BoxRecord> boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, kToPeerFail);
    ASSERT_TRUE(WriteAll(module_.master, "AT\r"));
    ASSERT_TRUE(plat::display_wait_boxes(2, 5000));

    EXPECT_EQ(Command(IDM_BRIDGE_STOP), 0);
    ExpectIdle();
}

} // namespace
