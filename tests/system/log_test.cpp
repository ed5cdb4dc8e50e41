// The log channels: the trace gate, null windows, lines kept exactly as given,
// appends from many threads serialised by the window thread, and the debug
// channel that never reaches the pane.
#include "shell/log.h"

#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace
{
const DWORD kSentinel = 0xDEADBEEF;

LRESULT MainProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A main window with its log pane, as the shell makes them.
class LogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = MainProc;
        wc.lpszClassName = u"Log Test";
        ASSERT_NE(RegisterClassW(&wc), 0);
        m_hwnd = CreateWindowExW(0, u"Log Test", u"Log Test", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_hwnd, nullptr);
        m_pane = CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", u"",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY, 0, 0,
                                 CW_USEDEFAULT, CW_USEDEFAULT, m_hwnd, (HMENU)(intptr_t)IDC_LOG, nullptr, nullptr);
        ASSERT_NE(m_pane, nullptr);
    }

    std::u16string Pane()
    {
        std::u16string s(65536 * 4, u'\0');
        LRESULT n = SendMessageW(m_pane, WM_GETTEXT, s.size(), (LPARAM)s.data());
        s.resize((size_t)n);
        return s;
    }

    HWND m_hwnd = nullptr;
    HWND m_pane = nullptr;
};

TEST_F(LogTest, Globals_StartWithTracingOnAndEmptyBuffer)
{
    EXPECT_EQ(g_traceMode.load(), 3);
    EXPECT_EQ(g_szLogBuf[0], 0);
    EXPECT_EQ(g_hInst.load(), nullptr);
    EXPECT_EQ(g_keepForeground.load(), 1);
    // The banner goes through TraceLog and is the first text of the pane.
    TraceLog(m_hwnd, u"banner\r\n");
    EXPECT_EQ(Pane(), u"banner\r\n");
}

TEST_F(LogTest, TraceLog_GatedByTraceModeAtTheMomentOfTheCall)
{
    struct Case
    {
        int mode;
        bool shown;
    };
    // mode  TraceLog shown
    static const Case cases[] = {
        {0, false}, {1, true}, {2, true}, {3, true}, {0, false}, {-1, true},
    };
    std::u16string want;
    for (const Case& c : cases)
    {
        g_traceMode = c.mode;
        std::u16string line = u"trace " + plat::utf8_to_utf16(std::to_string(c.mode)) + u"\r\n";
        TraceLog(m_hwnd, line.c_str());
        AppendLog(m_hwnd, u"always\r\n");
        if (c.shown)
            want += line;
        want += u"always\r\n";
        EXPECT_EQ(Pane(), want) << "mode " << c.mode;
    }
}

TEST_F(LogTest, NullWindow_WritesNothingAndDoesNotFail)
{
    AppendLog(m_hwnd, u"before\r\n");
    SetLastError(kSentinel);
    AppendLog(nullptr, u"lost\r\n");
    TraceLog(nullptr, u"lost too\r\n");
    g_traceMode = 0;
    TraceLog(nullptr, u"lost three\r\n");
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(Pane(), u"before\r\n");
}

TEST_F(LogTest, Lines_AccumulateExactlyAsGiven)
{
    AppendLog(m_hwnd, u"COM1: opened");
    AppendLog(m_hwnd, u"\r\n");
    AppendLog(m_hwnd, u"100%s %d done\r\n"); // not a format: shown as is
    AppendLog(m_hwnd, u"");
    AppendLog(m_hwnd, u"#");
    AppendLog(m_hwnd, u"#");
    AppendLog(m_hwnd, u"\r\nFirmware Updated....Done\r\n");
    EXPECT_EQ(Pane(), u"COM1: opened\r\n100%s %d done\r\n##\r\nFirmware Updated....Done\r\n");
    EXPECT_EQ(SendMessageW(m_pane, EM_GETLINECOUNT, 0, 0), 5);
}

TEST_F(LogTest, AppendLog_ReplacesTheSelectionTheUserMoved)
{
    AppendLog(m_hwnd, u"first\r\n");
    SendMessageW(m_pane, EM_SETSEL, 0, 0);
    AppendLog(m_hwnd, u"zero\r\n");
    EXPECT_EQ(Pane(), u"zero\r\nfirst\r\n");
}

TEST_F(LogTest, LogBuffer_FormattedLineReachesThePane)
{
    wsprintfW(g_szLogBuf, u"Serial index %d -> COM%d:\r\n", 1, 1);
    AppendLog(m_hwnd, g_szLogBuf);
    EXPECT_EQ(Pane(), u"Serial index 1 -> COM1:\r\n");
}

// Four workers append unique lines; the window thread serialises them in its
// message loop. No line may be torn, lost or doubled, and each worker's lines
// keep their order.
TEST_F(LogTest, AppendFromFourThreads_WholeLinesInEachThreadsOrder)
{
    const int kThreads = 4;
    const int kLines = 3000;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; t++)
    {
        workers.emplace_back(
            [this, t]
            {
                WCHAR line[32];
                for (int i = 0; i < kLines; i++)
                {
                    wsprintfW(line, u"T%d L%05d\r\n", t, i);
                    if (i % 2)
                        AppendLog(m_hwnd, line);
                    else
                        TraceLog(m_hwnd, line);
                }
                PostMessageW(m_hwnd, WM_USER, (WPARAM)t, 0);
            });
    }
    int finished = 0;
    MSG msg;
    while (finished < kThreads && GetMessageW(&msg, nullptr, 0, 0))
    {
        if (msg.message == WM_USER)
            finished++;
        DispatchMessageW(&msg);
    }
    for (auto& w : workers)
        w.join();
    ASSERT_EQ(finished, kThreads);

    std::u16string text = Pane();
    ASSERT_EQ(text.size(), (size_t)(kThreads * kLines * 11));
    int next[kThreads] = {0, 0, 0, 0};
    for (size_t pos = 0; pos < text.size(); pos += 11)
    {
        std::u16string one = text.substr(pos, 11);
        ASSERT_EQ(one[0], u'T') << "torn line at " << pos;
        int t = one[1] - u'0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << "torn line at " << pos;
        WCHAR want[32];
        wsprintfW(want, u"T%d L%05d\r\n", t, next[t]);
        ASSERT_EQ(one, std::u16string(want)) << "out of order or torn at " << pos;
        next[t]++;
    }
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(next[t], kLines);
}

// ---------------------------------------------------------------------------
// The debug channel
// ---------------------------------------------------------------------------
TEST_F(LogTest, DebugPrint_FormatsToTheDebugSinkAndNeverThePane)
{
    plat::debug_capture_begin();
    DebugPrint(u"get current dir %s\r\n", u"\\Program Files\\");
    DebugPrint(u"ack 0x%02X after %d ms, block %u of %u %c\r\n", 0xA5, 12, 3u, 9u, (int)u'#');
    DebugPrint(u"no arguments\r\n");
    auto lines = plat::debug_capture_take();
    plat::debug_capture_end();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], u"get current dir \\Program Files\\\r\n");
    EXPECT_EQ(lines[1], u"ack 0xA5 after 12 ms, block 3 of 9 #\r\n");
    EXPECT_EQ(lines[2], u"no arguments\r\n");
    EXPECT_EQ(Pane(), u"");
}

TEST_F(LogTest, DebugPrint_FormattedTextIsNotFormattedAgain)
{
    plat::debug_capture_begin();
    DebugPrint(u"%s\r\n", u"100%d%s%n");
    auto lines = plat::debug_capture_take();
    plat::debug_capture_end();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], u"100%d%s%n\r\n");
}

TEST_F(LogTest, DebugPrint_LongLineIsCutToItsBufferNotOverflowed)
{
    std::u16string longArg(3000, u'a');
    plat::debug_capture_begin();
    DebugPrint(u"<%s>", longArg.c_str());
    auto lines = plat::debug_capture_take();
    plat::debug_capture_end();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[0][0], u'<');
    EXPECT_EQ(lines[0].back(), u'a');
}

} // namespace
