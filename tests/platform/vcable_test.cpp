// Tests of the virtual cable: bytes both ways between a serial port and the
// test (or another port, or the module simulator), and what a pseudo-terminal
// cannot show: breaks, line errors, a hang-up, a full queue.
#include "platform/profile/profile.h"
#include "platform/serial/serial.h"
#include "platform/serial/vcable.h"
#include "platform/win32.h"
#include "sim/sim.h"
#include "tests/platform/serial_port_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

namespace
{

using namespace serial_tests;

// Runs WaitCommEvent on a thread of its own.
std::future<std::pair<BOOL, DWORD>> WaitAsync(HANDLE h)
{
    return std::async(std::launch::async,
                      [h]
                      {
                          DWORD ev = 0;
                          SetLastError(kSentinel);
                          BOOL ok = WaitCommEvent(h, &ev, nullptr);
                          return std::make_pair(ok, ok ? ev : GetLastError());
                      });
}

class CableTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Cables live for the process: each test has its own.
        c = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string err;
        ASSERT_TRUE(serial_support::LoadDevices({{"COM1:", "cable:" + c + ":a"}, {"COM2:", "cable:" + c + ":b"}}, &err))
            << err;
        h = OpenPort(u"COM1:");
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override
    {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    std::string c; // the cable's name
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(CableTest, EveryByteValue_CrossesBothWays)
{
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    ASSERT_EQ(plat::cable_write(c, 'b', all.data(), all.size()), (long)all.size());
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0));
    char buf[512];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), all);

    ASSERT_TRUE(WriteFile(h, all.data(), (DWORD)all.size(), &n, nullptr));
    EXPECT_EQ(n, all.size());
    EXPECT_EQ(plat::cable_read(c, 'b', buf, sizeof buf, 1000), (long)all.size());
    EXPECT_EQ(std::string(buf, all.size()), all);
}

TEST_F(CableTest, TwoPorts_OnTheTwoEnds_TalkToEachOther)
{
    HANDLE other = OpenPort(u"COM2:");
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetTimeouts(other, 0, 0, 1000));
    auto reader = std::async(std::launch::async,
                             [other]
                             {
                                 char buf[16];
                                 DWORD n = 0;
                                 BOOL ok = ReadFile(other, buf, sizeof buf, &n, nullptr);
                                 return ok ? std::string(buf, n) : std::string("failed");
                             });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "ping", 4, &n, nullptr));
    EXPECT_EQ(reader.get(), "ping");

    // SETBREAK on one port is a break at the other.
    ASSERT_TRUE(SetCommMask(other, EV_BREAK));
    auto wait = WaitAsync(other);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_TRUE(EscapeCommFunction(h, SETBREAK));
    EXPECT_TRUE(EscapeCommFunction(h, CLRBREAK));
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, (DWORD)EV_BREAK));
    // Modem lines exist on a cable.
    SetLastError(kSentinel);
    EXPECT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_TRUE(EscapeCommFunction(h, SETRTS));
    CloseHandle(other);
}

TEST_F(CableTest, SecondOpenOfAnEnd_IsRefused_UntilClosed)
{
    h = ExpectHeldThenReopen(u"COM1:", h);
}

TEST_F(CableTest, Break_EndsTheWaitWithEvBreak_AndClearCommErrorReportsItOnce)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    auto wait = WaitAsync(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    auto start = Clock::now();
    ASSERT_TRUE(plat::cable_inject_break(c, 'b'));
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_LT(MsSince(start), 100);
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, (DWORD)EV_BREAK));
    DWORD errors = 0;
    COMSTAT st = {};
    SetLastError(kSentinel);
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(errors, (DWORD)CE_BREAK);
    EXPECT_EQ(st.cbInQue, 0u);
    ASSERT_TRUE(ClearCommError(h, &errors, &st));
    EXPECT_EQ(errors, 0u);
}

TEST_F(CableTest, LineErrors_EndTheWaitWithEvErr_WithTheirCeBits)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    auto wait = WaitAsync(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(plat::cable_inject_error(c, 'b', CE_FRAME | CE_RXPARITY | CE_OVERRUN));
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, (DWORD)EV_ERR));
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, (DWORD)(CE_FRAME | CE_RXPARITY | CE_OVERRUN));
}

TEST_F(CableTest, DataWithAnError_ComeTogetherInOneEvent)
{
    ASSERT_TRUE(plat::cable_inject_error(c, 'b', CE_RXPARITY));
    ASSERT_EQ(plat::cable_write(c, 'b', "d", 1), 1);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(ev, (DWORD)(EV_RXCHAR | EV_ERR));
}

TEST_F(CableTest, EventsOutsideTheMask_StayPendingUntilAMaskAsksForThem)
{
    // A break while nobody asks for breaks is reported by the first wait
    // that does; it is not lost with the mask change.
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(plat::cable_inject_break(c, 'b'));
    auto wait = WaitAsync(h);
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR)); // ends that wait with event 0
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, 0u));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK));
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(ev, (DWORD)EV_BREAK);
}

TEST_F(CableTest, UnreadDataOutsideTheMask_WaitsWithoutSpinning_UntilABreak)
{
    ASSERT_EQ(plat::cable_write(c, 'b', "unread", 6), 6);
    ASSERT_TRUE(SetCommMask(h, EV_BREAK));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    auto wait = WaitAsync(h);
    EXPECT_EQ(wait.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    const double cpu = serial_support::ProcessCpuSeconds() - cpu0;
    ASSERT_TRUE(plat::cable_inject_break(c, 'b'));
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, (DWORD)EV_BREAK));
    EXPECT_LT(cpu, 0.05) << "CPU seconds over a 0.3 s wait";
    EXPECT_EQ(plat::cable_pending(c, 'a'), 6u);
}

TEST_F(CableTest, Hangup_IsReportedOnceAsEvErr_ThenEveryCallFails)
{
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    auto wait = WaitAsync(h);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double cpu0 = serial_support::ProcessCpuSeconds();
    ASSERT_TRUE(plat::cable_hangup(c, 'b'));
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(wait.get(), std::make_pair(TRUE, (DWORD)EV_ERR));

    DWORD ev = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    ExpectReadAndWriteFail(h, ERROR_DEVICE_NOT_CONNECTED);
    char buf[4];
    EXPECT_EQ(plat::cable_write(c, 'b', "x", 1), -1);
    EXPECT_EQ(plat::cable_read(c, 'b', buf, sizeof buf, 10), -1);
    EXPECT_FALSE(plat::cable_inject_break(c, 'b'));
    EXPECT_LT(serial_support::ProcessCpuSeconds() - cpu0, 0.05);
}

TEST_F(CableTest, Hangup_BytesAlreadyThereAreStillRead)
{
    ASSERT_EQ(plat::cable_write(c, 'b', "last", 4), 4);
    ASSERT_TRUE(plat::cable_hangup(c, 'b'));
    ASSERT_TRUE(SetTimeouts(h, 0, 0, 0));
    char buf[16];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr)) << GetLastError();
    EXPECT_EQ(std::string(buf, n), "last");
    SetLastError(kSentinel);
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(CableTest, FullQueue_HoldsTheWriterUntilItsTimeout)
{
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 150));
    std::vector<char> big(plat::kCableQueueBytes + 1000, 'q');
    DWORD n = 0;
    auto start = Clock::now();
    SetLastError(kSentinel);
    EXPECT_TRUE(WriteFile(h, big.data(), (DWORD)big.size(), &n, nullptr));
    EXPECT_GE(MsSince(start), 149);
    EXPECT_EQ(n, plat::kCableQueueBytes);
    EXPECT_EQ(GetLastError(), kSentinel);

    // Room made at the far end lets a waiting writer go on.
    ASSERT_TRUE(SetTimeouts(h, MAXDWORD, 0, 0, 0, 0));
    auto writer = std::async(std::launch::async,
                             [this]
                             {
                                 DWORD w = 0;
                                 BOOL ok = WriteFile(h, "tail", 4, &w, nullptr);
                                 return ok ? w : 0;
                             });
    EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    std::vector<char> sink(4096);
    EXPECT_EQ(plat::cable_read(c, 'b', sink.data(), sink.size(), 0), (long)sink.size());
    ASSERT_EQ(writer.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(writer.get(), 4u);
}

TEST(Cable, Read_TimesOutWithZero_UnknownCablesFail)
{
    ASSERT_TRUE(plat::cable_create("T"));
    EXPECT_TRUE(plat::cable_exists("T"));
    EXPECT_FALSE(plat::cable_create(""));
    char buf[4];
    auto start = Clock::now();
    EXPECT_EQ(plat::cable_read("T", 'a', buf, sizeof buf, 120), 0);
    EXPECT_GE(MsSince(start), 119);
    EXPECT_EQ(plat::cable_read("nope", 'a', buf, sizeof buf, 0), -1);
    EXPECT_EQ(plat::cable_write("nope", 'a', "x", 1), -1);
    EXPECT_EQ(plat::cable_write("T", 'c', "x", 1), -1);
    EXPECT_FALSE(plat::cable_hangup("nope", 'a'));
    // A writer's bytes reach the other end only.
    ASSERT_EQ(plat::cable_write("T", 'a', "ab", 2), 2);
    EXPECT_EQ(plat::cable_pending("T", 'a'), 0u);
    EXPECT_EQ(plat::cable_pending("T", 'b'), 2u);
}

// The simulator on end b of a cable ("NAME:b") with these faults, and the
// port on end a opened as "COM1:"; null when either cannot start.
Sim* StartSimOnCable(const std::string& name, const std::vector<std::string>& faults, HANDLE* h)
{
    std::string err;
    EXPECT_TRUE(serial_support::LoadDevices({{"COM1:", "cable:" + name + ":a"}}, &err)) << err;
    *h = OpenPort(u"COM1:");
    SimConfig cfg;
    cfg.boot_window_ms = 0;
    for (const std::string& rule : faults)
    {
        SimFault f;
        EXPECT_TRUE(sim_parse_fault(rule.c_str(), &f)) << rule;
        cfg.faults.push_back(f);
    }
    return *h == INVALID_HANDLE_VALUE ? nullptr : sim_start(plat::cable_sim_link(name, 'b'), cfg);
}

TEST(Cable, Simulator_ServesAnEndThroughItsLink)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    Sim* sim = StartSimOnCable("SIM", {}, &h);
    ASSERT_NE(sim, nullptr);
    EXPECT_EQ(plat::cable_sim_link("SIM", 'b').read, nullptr) << "the simulator holds that end";
    EXPECT_EQ(SyncAnswer(h), 0xA0);
    sim_stop(sim);
    CloseHandle(h);
}

TEST(Cable, SimulatorBreakFault_ReachesThePortAsEvBreak)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    Sim* sim = StartSimOnCable("SB", {"sync:break"}, &h);
    ASSERT_NE(sim, nullptr);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR | EV_BREAK | EV_ERR));
    BYTE sync = 0x55;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, &sync, 1, &n, nullptr));
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(ev, (DWORD)EV_BREAK);
    sim_stop(sim);
    CloseHandle(h);
}

} // namespace
