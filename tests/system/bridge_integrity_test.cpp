// Integrity of the serial bridge under load: bulk streams both ways at once
// over pseudo-terminals, checked byte for byte on arrival (nothing lost,
// duplicated or reordered), with and without traffic lines; and hundreds of
// stop/start cycles under traffic without a crash or a leaked descriptor or
// thread.
//
// Volume: 64 MB each way by default. Sanitizer builds (ASan, TSan) run 8 MB
// each way, since the instrumented pumps and checkers are several times
// slower; BRIDGE_INTEGRITY_MB in the environment sets the volume for any build.
#include "tests/support/bridge_harness.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

using namespace bridge_harness;
using namespace std::chrono;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kDefaultMegabytes = 8;
#else
constexpr size_t kDefaultMegabytes = 64;
#endif

size_t VolumeBytes()
{
    const char* env = getenv("BRIDGE_INTEGRITY_MB");
    size_t mb = env != nullptr && atoi(env) > 0 ? (size_t)atoi(env) : kDefaultMegabytes;
    return mb << 20;
}

// A seeded stream whose byte at any offset can be computed, so that a reader
// can check what arrives wherever a chunk starts.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void FillPattern(uint64_t seed, uint64_t offset, uint8_t* out, size_t n)
{
    size_t i = 0;
    while (i < n)
    {
        const uint64_t pos = offset + i;
        const uint64_t word = Mix(seed * 0x100000001B3ull ^ (pos >> 3));
        for (unsigned b = (unsigned)(pos & 7); b < 8 && i < n; b++, i++)
            out[i] = (uint8_t)(word >> (8 * b));
    }
}

// One direction of a bulk transfer: a writer at one master, a checking reader
// at the other.
struct Stream
{
    int from = -1;
    int to = -1;
    uint64_t seed = 0;
    size_t total = 0;
    std::atomic<size_t> sent{0};
    std::atomic<size_t> received{0};
    std::atomic<bool> failed{false};
    std::string error;
    size_t firstBadOffset = SIZE_MAX;
};

// Gives up when nothing moves for this long.
constexpr auto kStall = seconds(15);

// Ends the stream as failed with why; returns false for the caller to return.
bool Fail(Stream* s, const std::string& why)
{
    s->error = why;
    s->failed.store(true);
    return false;
}

// After a read or write that moved nothing (r <= 0): false when the stream
// has failed (an error, or nothing moved for kStall), else waits up to 100 ms
// for the descriptor to be ready again.
bool WaitToGoOn(Stream* s, ssize_t r, const char* op, size_t at, Clock::time_point lastProgress, int fd, short events)
{
    if (r < 0 && errno != EAGAIN && errno != EINTR)
        return Fail(s, std::string(op) + ": " + strerror(errno));
    if (Clock::now() - lastProgress > kStall)
        return Fail(s, std::string(op) + " stalled at " + std::to_string(at));
    struct pollfd pfd = {fd, events, 0};
    poll(&pfd, 1, 100);
    return true;
}

void WriteStream(Stream* s)
{
    std::vector<uint8_t> buf(16384);
    auto lastProgress = Clock::now();
    size_t at = 0;
    while (at < s->total && !s->failed.load())
    {
        const size_t n = std::min(buf.size(), s->total - at);
        FillPattern(s->seed, at, buf.data(), n);
        size_t done = 0;
        while (done < n && !s->failed.load())
        {
            ssize_t w = write(s->from, buf.data() + done, n - done);
            if (w > 0)
            {
                done += (size_t)w;
                lastProgress = Clock::now();
                continue;
            }
            if (!WaitToGoOn(s, w, "write", at + done, lastProgress, s->from, POLLOUT))
                return;
        }
        at += n;
        s->sent.store(at);
    }
}

void ReadStream(Stream* s)
{
    std::vector<uint8_t> buf(16384);
    std::vector<uint8_t> want(buf.size());
    auto lastProgress = Clock::now();
    size_t at = 0;
    while (at < s->total && !s->failed.load())
    {
        ssize_t r = read(s->to, buf.data(), buf.size());
        if (r > 0)
        {
            if (at + (size_t)r > s->total)
            {
                Fail(s, "more bytes than were sent");
                return;
            }
            FillPattern(s->seed, at, want.data(), (size_t)r);
            if (memcmp(buf.data(), want.data(), (size_t)r) != 0)
            {
                size_t k = 0;
                while (buf[k] == want[k])
                    k++;
                s->firstBadOffset = at + k;
                Fail(s, "byte " + std::to_string(at + k) + " differs");
                return;
            }
            at += (size_t)r;
            s->received.store(at);
            lastProgress = Clock::now();
            continue;
        }
        if (!WaitToGoOn(s, r, "read", at, lastProgress, s->to, POLLIN))
            return;
    }
}

class BridgeIntegrityTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(module_.Open());
        ASSERT_TRUE(peer_.Open());
        ProfileShape s;
        s.devices = {{"COM1:", "tty:" + module_.path}, {"COM4:", "tty:" + peer_.path}};
        std::string err;
        ASSERT_TRUE(LoadProfile(s, &err)) << err;
        ASSERT_TRUE(win_.Start());
        ASSERT_EQ(win_.Command(IDM_PEER_BT), 0);
    }

    // Both ways at once; returns the seconds it took.
    double Transfer(size_t bytes)
    {
        Stream up, down;
        up.from = module_.master;
        up.to = peer_.master;
        up.seed = 0x5EED0001;
        up.total = bytes;
        down.from = peer_.master;
        down.to = module_.master;
        down.seed = 0x5EED0002;
        down.total = bytes;
        const auto t0 = Clock::now();
        std::thread threads[] = {std::thread(WriteStream, &up), std::thread(ReadStream, &up),
                                 std::thread(WriteStream, &down), std::thread(ReadStream, &down)};
        for (auto& t : threads)
            t.join();
        const double secs = duration<double>(Clock::now() - t0).count();
        EXPECT_FALSE(up.failed.load()) << "module to peer: " << up.error;
        EXPECT_FALSE(down.failed.load()) << "peer to module: " << down.error;
        EXPECT_EQ(up.received.load(), bytes);
        EXPECT_EQ(down.received.load(), bytes);
        // Nothing after the end: no chunk was sent twice.
        EXPECT_EQ(ReadUntilQuiet(peer_.master, 200), "");
        EXPECT_EQ(ReadUntilQuiet(module_.master, 200), "");
        return secs;
    }

    Pty module_, peer_;
    MainWindow win_;
};

TEST_F(BridgeIntegrityTest, BulkBothWaysAtOnce_ArrivesByteForByte_WithTrafficLinesOff)
{
    ASSERT_EQ(win_.Command(IDM_TRACE_OFF), 0);
    ASSERT_EQ(win_.Command(IDM_BRIDGE_START), 0);
    const size_t bytes = VolumeBytes();
    const double secs = Transfer(bytes);
    printf("%zu MB each way in %.2f s: %.1f MB/s each way\n", bytes >> 20, secs, (double)bytes / 1e6 / secs);
    // Trace mode 0: the log holds the start lines only.
    EXPECT_EQ(win_.Log(), "COM1: opened\r\nCOM4: opened\r\nBaudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n");
    EXPECT_EQ(win_.Command(IDM_BRIDGE_STOP), 0);
}

TEST_F(BridgeIntegrityTest, BulkBothWaysAtOnce_ArrivesByteForByte_WithALinePerChunk)
{
    ASSERT_EQ(win_.Command(IDM_TRACE_BOTH), 0);
    ASSERT_EQ(win_.Command(IDM_BRIDGE_START), 0);
    const size_t bytes = std::min<size_t>(VolumeBytes(), 4u << 20);
    const double secs = Transfer(bytes);
    printf("%zu MB each way with traffic lines in %.2f s: %.1f MB/s each way\n", bytes >> 20, secs,
           (double)bytes / 1e6 / secs);
    // The pane keeps the newest lines; both directions are among them, each of one chunk at most.
    const std::string log = win_.Log();
    EXPECT_GT(CountOf(log, " bytes <-BT<-FF<- <<<\r\n"), 10u);
    EXPECT_GT(CountOf(log, ">>> "), 10u);
    EXPECT_EQ(win_.Command(IDM_BRIDGE_STOP), 0);
}

// Traffic both ways all along, from threads that never stop writing and
// reading; the bridge is started and stopped underneath them.
TEST_F(BridgeIntegrityTest, StopStartCyclesUnderTraffic_LeakNoDescriptorOrThread)
{
    std::atomic<bool> quit{false};
    std::atomic<size_t> moved{0};
    auto pusher = [&](int fd, uint8_t fill)
    {
        std::vector<uint8_t> buf(2048, fill);
        while (!quit.load())
        {
            if (write(fd, buf.data(), buf.size()) <= 0)
            {
                struct pollfd pfd = {fd, POLLOUT, 0};
                poll(&pfd, 1, 5);
            }
        }
    };
    auto drainer = [&](int fd)
    {
        std::vector<uint8_t> buf(8192);
        while (!quit.load())
        {
            ssize_t r = read(fd, buf.data(), buf.size());
            if (r > 0)
                moved.fetch_add((size_t)r);
            else
            {
                struct pollfd pfd = {fd, POLLIN, 0};
                poll(&pfd, 1, 5);
            }
        }
    };
    std::thread traffic[] = {std::thread(pusher, module_.master, 0x55), std::thread(pusher, peer_.master, 0xAA),
                             std::thread(drainer, module_.master), std::thread(drainer, peer_.master)};

    // Baseline after one cycle: the globals then hold two ended pumps' handles, as they will at the end.
    ASSERT_EQ(win_.Command(IDM_BRIDGE_START), 0);
    ASSERT_EQ(win_.Command(IDM_BRIDGE_STOP), 0);
    std::this_thread::sleep_for(milliseconds(200));
    const int fds0 = OpenDescriptors();
    const std::string fdList0 = DescribeDescriptors();
    const int threads0 = ThreadCount();

    const int kCycles = 200;
    int failures = 0;
    for (int i = 0; i < kCycles; i++)
    {
        // Half the cycles with a traffic line per chunk: pumps are then often
        // inside a send to the window when they are stopped.
        if (i == 0 || i == kCycles / 2)
        {
            ASSERT_EQ(win_.Command(i == 0 ? IDM_TRACE_BOTH : IDM_TRACE_OFF), 0);
        }
        const size_t before = moved.load();
        if (win_.Command(IDM_BRIDGE_START) != 0)
            failures++;
        // Let bytes cross in this cycle (most cycles), then stop.
        const auto until = Clock::now() + milliseconds(200);
        while (moved.load() == before && Clock::now() < until)
            std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(microseconds(500 * (i % 5)));
        EXPECT_EQ(win_.Command(IDM_BRIDGE_STOP), 0);
        EXPECT_EQ(g_hModuleCom.load(), INVALID_HANDLE_VALUE);
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(g_hPumpUp.load(), &code) && code != STILL_ACTIVE);
        EXPECT_TRUE(GetExitCodeThread(g_hPumpDown.load(), &code) && code != STILL_ACTIVE);
    }
    EXPECT_EQ(failures, 0);
    EXPECT_GT(moved.load(), 0u);

    const auto deadline = Clock::now() + seconds(10);
    while ((OpenDescriptors() != fds0 || ThreadCount() != threads0) && Clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(OpenDescriptors(), fds0) << "before:\n" << fdList0 << "after:\n" << DescribeDescriptors();
    EXPECT_EQ(ThreadCount(), threads0);

    quit.store(true);
    for (auto& t : traffic)
        t.join();

    // Still a working bridge afterwards.
    ReadUntilQuiet(module_.master, 50);
    ReadUntilQuiet(peer_.master, 50);
    ASSERT_EQ(win_.Command(IDM_BRIDGE_START), 0);
    const std::string ping = "AT+CGMR\r";
    ASSERT_TRUE(WriteAll(peer_.master, ping));
    EXPECT_EQ(ReadExactly(module_.master, ping.size()), ping);
    ASSERT_TRUE(WriteAll(module_.master, "OK\r\n"));
    EXPECT_EQ(ReadExactly(peer_.master, 4), "OK\r\n");
}

} // namespace
