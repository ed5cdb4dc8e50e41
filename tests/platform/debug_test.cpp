// The kernel debug output: exact lines, the sinks (stderr, file, off), whole
// lines from many threads, and lines held back while the terminal display
// draws on the sink's terminal.
#include "platform/kernel/debug.h"

#include "platform/kernel/text.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class DebugFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp_.path().empty());
    }
    void TearDown() override
    {
        plat::debug_set_sink_stderr();
    }
    testsupport::TempDir tmp_{"debug_test"};
    const std::string dir_ = tmp_.path();
    const std::string path_ = dir_ + "/debug.log";
};

// ---------------------------------------------------------------------------
// Lines as given
// ---------------------------------------------------------------------------
TEST(Debug, Capture_KeepsEachLineExactly)
{
    plat::debug_capture_begin();
    NKDbgPrintfW(u"Sync byte sent %d times\r\n", 5);
    NKDbgPrintfW(u"0x%08lX", static_cast<DWORD>(0xA5));
    NKDbgPrintfW(u"");
    std::vector<std::u16string> lines = plat::debug_capture_take();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], u"Sync byte sent 5 times\r\n");
    EXPECT_EQ(lines[1], u"0x000000A5");
    EXPECT_EQ(lines[2], u"");
    EXPECT_TRUE(plat::debug_capture_take().empty());
    NKDbgPrintfW(nullptr);
    EXPECT_TRUE(plat::debug_capture_take().empty());
    plat::debug_capture_end();
}

TEST(Debug, Line_IsBoundedAt1023Units)
{
    plat::debug_capture_begin();
    const std::u16string longText(3000, u'q');
    NKDbgPrintfW(u"%s\r\n", longText.c_str());
    const std::vector<std::u16string> lines = plat::debug_capture_take();
    plat::debug_capture_end();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::u16string(plat::kDebugLineMax - 1, u'q'));
}

TEST(Debug, Print_LeavesLastErrorAndErrnoAlone)
{
    plat::debug_capture_begin();
    SetLastError(0x4321);
    errno = EAGAIN;
    NKDbgPrintfW(u"x %d\r\n", 1);
    plat::debug_write(u"platform line\n");
    EXPECT_EQ(GetLastError(), 0x4321u);
    EXPECT_EQ(errno, EAGAIN);
    plat::debug_capture_end();
}

// ---------------------------------------------------------------------------
// File and off sinks
// ---------------------------------------------------------------------------
TEST_F(DebugFile, File_GetsUtf8BytesAppendedToWhatWasThere)
{
    std::ofstream(path_, std::ios::binary) << "earlier\n";
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    NKDbgPrintfW(u"caf\u00e9 %s\r\n", u"\U0001F600");
    const WCHAR lone[] = {u'<', 0xD800, u'>', u'\n', 0};
    NKDbgPrintfW(u"%s", lone);
    EXPECT_EQ(ReadWhole(path_), "earlier\n"
                                "caf\xC3\xA9 \xF0\x9F\x98\x80\r\n"
                                "<\xEF\xBF\xBD>\n");
}

TEST_F(DebugFile, Off_WritesNothingAndCaptureStillSees)
{
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    NKDbgPrintfW(u"one\n");
    plat::debug_set_sink_off();
    NKDbgPrintfW(u"two\n");
    plat::debug_capture_begin();
    NKDbgPrintfW(u"three\n");
    EXPECT_EQ(plat::debug_capture_take(), std::vector<std::u16string>{u"three\n"});
    plat::debug_capture_end();
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    NKDbgPrintfW(u"four\n");
    EXPECT_EQ(ReadWhole(path_), "one\nfour\n");
}

TEST_F(DebugFile, Capture_TakesLinesAwayFromTheSink)
{
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    plat::debug_capture_begin();
    NKDbgPrintfW(u"captured\n");
    plat::debug_capture_end();
    NKDbgPrintfW(u"written\n");
    EXPECT_EQ(ReadWhole(path_), "written\n");
}

TEST_F(DebugFile, BadPath_IsRefusedAndThePreviousSinkStays)
{
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    const std::string bad = dir_ + "/no/such/dir/debug.log";
    EXPECT_FALSE(plat::debug_set_sink_file(bad, &error));
    EXPECT_EQ(error.rfind(bad + ": ", 0), 0u) << error;
    NKDbgPrintfW(u"still here\n");
    EXPECT_EQ(ReadWhole(path_), "still here\n");
}

TEST_F(DebugFile, Switching_ClosesTheOldFile)
{
    std::string error;
    const std::string other = dir_ + "/other.log";
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    NKDbgPrintfW(u"a\n");
    ASSERT_TRUE(plat::debug_set_sink_file(other, &error)) << error;
    NKDbgPrintfW(u"b\n");
    EXPECT_EQ(ReadWhole(path_), "a\n");
    EXPECT_EQ(ReadWhole(other), "b\n");
}

TEST_F(DebugFile, ManyThreads_EachLineArrivesWhole)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 250;
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_file(path_, &error)) << error;
    const std::u16string filler(200, u'.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
    {
        threads.emplace_back(
            [t, &filler]
            {
                for (int i = 0; i < kLines; i++)
                {
                    NKDbgPrintfW(u"thread %d line %d %s end\r\n", t, i, filler.c_str());
                }
            });
    }
    for (std::thread& th : threads)
    {
        th.join();
    }
    std::istringstream in(ReadWhole(path_));
    std::string line;
    std::vector<int> next(kThreads, 0);
    int count = 0;
    const std::string tail = " " + std::string(200, '.') + " end\r";
    while (std::getline(in, line))
    {
        int t = -1, i = -1;
        int consumed = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d%n", &t, &i, &consumed), 2) << line;
        ASSERT_TRUE(t >= 0 && t < kThreads) << line;
        EXPECT_EQ(line.substr(static_cast<size_t>(consumed)), tail) << line;
        EXPECT_EQ(i, next[t]) << "lines of one thread out of order";
        next[t] = i + 1;
        count++;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

// ---------------------------------------------------------------------------
// The screen
// ---------------------------------------------------------------------------

// A pseudo-terminal in raw mode: the master is what the person would see.
struct Pty
{
    int master = -1;
    int slave = -1;
    std::string slavePath;

    bool Open()
    {
        char name[128];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        {
            return false;
        }
        slavePath = name;
        struct termios tio;
        ::tcgetattr(slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
        return true;
    }
    ~Pty()
    {
        if (master >= 0)
        {
            ::close(master);
        }
        if (slave >= 0)
        {
            ::close(slave);
        }
    }
    // Reads until `want` bytes arrived or nothing came for timeoutMs.
    std::string Read(size_t want, int timeoutMs) const
    {
        std::string got;
        char buf[4096];
        while (got.size() < want)
        {
            struct pollfd pfd = {master, POLLIN, 0};
            if (::poll(&pfd, 1, timeoutMs) <= 0)
            {
                break;
            }
            const ssize_t n = ::read(master, buf, sizeof(buf));
            if (n <= 0)
            {
                break;
            }
            got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }
};

// Puts a terminal on the process's standard output and error for the test's
// span, as when the program runs in that terminal; restores them after.
class StdStreamsOn
{
public:
    explicit StdStreamsOn(int fd)
    {
        savedOut_ = ::dup(STDOUT_FILENO);
        savedErr_ = ::dup(STDERR_FILENO);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
    }
    ~StdStreamsOn()
    {
        Restore();
    }
    void Restore()
    {
        if (savedOut_ >= 0)
        {
            ::dup2(savedOut_, STDOUT_FILENO);
            ::dup2(savedErr_, STDERR_FILENO);
            ::close(savedOut_);
            ::close(savedErr_);
            savedOut_ = savedErr_ = -1;
        }
    }

private:
    int savedOut_ = -1;
    int savedErr_ = -1;
};

// The terminal the screen is drawn on; a case is skipped without one.
class DebugScreen : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!screen.Open())
            GTEST_SKIP() << "no pseudo-terminal available: " << std::strerror(errno);
    }

    // What one line sent to the terminal sink's file showed: on sink while the
    // screen was drawn, on the screen meanwhile (when sink is another
    // terminal), and on sink once the screen had ended.
    struct Drawn
    {
        bool opened = false;
        std::string error, during, onScreen, after;
    };
    Drawn LineToFileWhileDrawn(const Pty& sink)
    {
        Drawn d;
        StdStreamsOn streams(screen.slave); // nothing may be asserted until restored
        d.opened = plat::debug_set_sink_file(sink.slavePath, &d.error);
        plat::debug_set_screen_active(true);
        NKDbgPrintfW(u"line\n");
        d.during = sink.Read(5, 500);
        if (&sink != &screen)
            d.onScreen = screen.Read(1, 100);
        plat::debug_set_screen_active(false);
        d.after = sink.Read(5, &sink == &screen ? 2000 : 100);
        plat::debug_set_sink_stderr();
        streams.Restore();
        return d;
    }

    Pty screen;
};

TEST_F(DebugScreen, StderrOnTheScreenTerminal_IsHeldBackUntilTheScreenEnds)
{
    plat::debug_set_sink_stderr();
    StdStreamsOn streams(screen.slave);
    plat::debug_set_screen_active(true);
    NKDbgPrintfW(u"first\r\n");
    NKDbgPrintfW(u"second %d\r\n", 2);
    const std::string whileDrawn = screen.Read(1, 100);
    const size_t pending = plat::debug_pending_count();
    plat::debug_set_screen_active(false);
    const std::string after = screen.Read(17, 2000);
    NKDbgPrintfW(u"third\r\n");
    const std::string later = screen.Read(7, 2000);
    streams.Restore();

    EXPECT_EQ(whileDrawn, "");
    EXPECT_EQ(pending, 2u);
    EXPECT_EQ(after, "first\r\nsecond 2\r\n");
    EXPECT_EQ(later, "third\r\n");
    EXPECT_EQ(plat::debug_pending_count(), 0u);
}

TEST_F(DebugScreen, FileSinkOnTheScreenTerminal_IsHeldBackToo)
{
    const Drawn d = LineToFileWhileDrawn(screen);
    ASSERT_TRUE(d.opened) << d.error;
    EXPECT_EQ(d.during, "");
    EXPECT_EQ(d.after, "line\n");
}

TEST_F(DebugScreen, SinkOnAnotherTerminal_IsWrittenAtOnce)
{
    Pty other;
    if (!other.Open())
    {
        GTEST_SKIP() << "no second pseudo-terminal available: " << std::strerror(errno);
    }
    const Drawn d = LineToFileWhileDrawn(other);
    ASSERT_TRUE(d.opened) << d.error;
    EXPECT_EQ(d.during, "line\n");
    EXPECT_EQ(d.onScreen, "");
    EXPECT_EQ(d.after, "");
}

TEST_F(DebugScreen, StderrThatIsAPipe_IsWrittenAtOnce)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // The display on stdout, stderr redirected into a pipe (2>file or |).
    const int savedOut = ::dup(STDOUT_FILENO);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(screen.slave, STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    plat::debug_set_sink_stderr();
    plat::debug_set_screen_active(true);
    NKDbgPrintfW(u"piped\n");
    const size_t pending = plat::debug_pending_count();
    plat::debug_set_screen_active(false);
    ::dup2(savedOut, STDOUT_FILENO);
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedOut);
    ::close(savedErr);
    ::close(fds[1]);
    char buf[64] = {};
    const ssize_t n = ::read(fds[0], buf, sizeof(buf) - 1);
    ::close(fds[0]);

    EXPECT_EQ(pending, 0u);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "piped\n");
}

TEST(Debug, SinkNobodyDrains_DropsLinesInsteadOfBlocking)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Fill the pipe, then make its write end blocking again, as stderr is.
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const std::string chunk(4096, 'f');
    while (::write(fds[1], chunk.data(), chunk.size()) > 0)
    {
    }
    ::fcntl(fds[1], F_SETFL, 0);
    const int savedErr = ::dup(STDERR_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    plat::debug_set_sink_stderr();
    const auto start = std::chrono::steady_clock::now();
    NKDbgPrintfW(u"nobody reads this\n");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ::dup2(savedErr, STDERR_FILENO);
    ::close(savedErr);
    ::close(fds[0]);
    ::close(fds[1]);
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(DebugScreen, RingKeepsTheLastLinesAndSaysHowManyWereDropped)
{
    constexpr size_t kExtra = 10;
    plat::debug_set_sink_stderr();
    StdStreamsOn streams(screen.slave);
    std::string expected =
        "[debug output: " + std::to_string(kExtra) + " earlier lines dropped while the screen was drawn]\n";
    for (size_t i = kExtra; i < plat::kDebugRingLines + kExtra; i++)
    {
        expected += "line " + std::to_string(i) + "\n";
    }
    // The flush writes more than a pty holds: read it on another thread,
    // started first so that lines wrongly written at once cannot block.
    std::string got;
    std::thread reader([&] { got = screen.Read(expected.size(), 5000); });
    plat::debug_set_screen_active(true);
    for (size_t i = 0; i < plat::kDebugRingLines + kExtra; i++)
    {
        NKDbgPrintfW(u"line %d\n", static_cast<int>(i));
    }
    const size_t pending = plat::debug_pending_count();
    plat::debug_set_screen_active(false);
    reader.join();
    streams.Restore();

    EXPECT_EQ(pending, plat::kDebugRingLines);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the flushed lines differ";
}

} // namespace
