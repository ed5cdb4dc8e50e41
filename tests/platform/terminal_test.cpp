// The terminal display on a pseudo-terminal this test owns: refusal without a
// usable terminal, drawing, a box from a worker answered with Enter, keys
// reaching the program, a resize reaching full-screen windows, and a lost
// terminal. Its logic without a terminal is tested in terminal_model_test.cpp.
#include "platform/windowing/display.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/displays/terminal.h"
#include "platform/windowing/window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <clocale>
#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// ---------------------------------------------------------------------------
// The display on a pseudo-terminal
// ---------------------------------------------------------------------------
// Puts a pseudo-terminal on stdin and stdout while it lives and keeps reading
// what is drawn on it. gtest prints to stdout too: the cases check what they
// saw only after Restore().
class PtyScreen
{
public:
    bool Open(int cols, int rows)
    {
        struct winsize ws = {};
        ws.ws_col = (unsigned short)cols;
        ws.ws_row = (unsigned short)rows;
        if (openpty(&master_, &slave_, nullptr, nullptr, &ws) != 0)
            return false;
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fflush(stdout);
        savedIn_ = dup(STDIN_FILENO);
        savedOut_ = dup(STDOUT_FILENO);
        dup2(slave_, STDIN_FILENO);
        dup2(slave_, STDOUT_FILENO);
        reader_ = std::thread([this] { Read(); });
        return true;
    }

    void Restore()
    {
        if (savedOut_ < 0)
            return;
        fflush(stdout);
        dup2(savedIn_, STDIN_FILENO);
        dup2(savedOut_, STDOUT_FILENO);
        close(savedIn_);
        close(savedOut_);
        savedIn_ = savedOut_ = -1;
    }

    ~PtyScreen()
    {
        Restore();
        // PTY_DUMP=FILE keeps what was drawn, for looking at a failure.
        if (getenv("PTY_DUMP"))
        {
            FILE* f = fopen(getenv("PTY_DUMP"), "w");
            fwrite(out_.data(), 1, out_.size(), f);
            fclose(f);
        }
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        if (master_ >= 0)
            close(master_);
        if (slave_ >= 0)
            close(slave_);
    }

    // The far side goes away, as when the terminal window is closed.
    void CloseMaster()
    {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        close(master_);
        master_ = -1;
    }

    // Types bytes as soon as text has been drawn (once).
    void AnswerWhenSeen(const std::string& text, const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(mu_);
        rules_.push_back(Rule{text, bytes, false});
    }

    void Type(const std::string& bytes)
    {
        ssize_t r = write(master_, bytes.data(), bytes.size());
        (void)r;
    }

    void Resize(int cols, int rows)
    {
        struct winsize ws = {};
        ws.ws_col = (unsigned short)cols;
        ws.ws_row = (unsigned short)rows;
        ioctl(master_, TIOCSWINSZ, &ws);
        raise(SIGWINCH); // the pty is not our controlling terminal: the kernel would not tell us
    }

    bool Saw(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mu_);
        return out_.find(text) != std::string::npos;
    }

    bool WaitFor(const std::string& text, int ms)
    {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return out_.find(text) != std::string::npos; });
    }

private:
    struct Rule
    {
        std::string text;
        std::string bytes;
        bool done;
    };

    void Read()
    {
        while (!stop_)
        {
            struct pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            char buf[4096];
            ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0)
                continue;
            std::string answer;
            {
                std::lock_guard<std::mutex> lock(mu_);
                out_.append(buf, (size_t)n);
                for (Rule& r : rules_)
                    if (!r.done && out_.find(r.text) != std::string::npos)
                    {
                        r.done = true;
                        answer += r.bytes;
                    }
            }
            cv_.notify_all();
            if (!answer.empty())
                Type(answer);
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int savedIn_ = -1;
    int savedOut_ = -1;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_;
    std::vector<Rule> rules_;
};

const UINT kBoxDone = WM_USER + 1;
const UINT_PTR kBoundTimer = 77;

struct Seen
{
    std::vector<std::pair<int, int>> sizes;     // WM_SIZE
    std::vector<int> commands;                  // WM_COMMAND ids
    std::vector<std::pair<int, unsigned>> keys; // WM_KEYDOWN vk, modifiers
};
Seen g_seen;

LRESULT ProbeProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
        case WM_SIZE:
            g_seen.sizes.emplace_back(LOWORD(lParam), HIWORD(lParam));
            return 0;
        case WM_COMMAND:
            g_seen.commands.push_back(LOWORD(wParam));
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

HWND MakeProbeWindow()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = ProbeProc;
    wc.lpszClassName = u"Probe";
    RegisterClassW(&wc);
    HWND hwnd = CreateWindowExW(0, u"Probe", u"Probe Window", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    SHINITDLGINFO shidi = {SHIDIM_FLAGS, hwnd, SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN};
    SHInitDialog(&shidi);
    return hwnd;
}

// Runs the calling thread's messages until until() holds or ms pass (a timer
// bounds the wait; it also ticks every 50 ms so that effects that post
// nothing are noticed). Key messages are recorded with their modifiers.
template <class Pred> bool RunUntil(HWND hwnd, int ms, Pred until)
{
    const UINT_PTR kTick = 78;
    SetTimer(hwnd, kBoundTimer, (UINT)ms, nullptr);
    SetTimer(hwnd, kTick, 50, nullptr);
    MSG m;
    bool ok = until();
    while (!ok && GetMessageW(&m, nullptr, 0, 0))
    {
        // A sent WM_SIZE or a drawn screen does not end GetMessageW: the
        // condition is looked at again when the bound passes.
        if (m.message == WM_TIMER && m.wParam == kBoundTimer)
        {
            ok = until();
            break;
        }
        if (m.message == WM_KEYDOWN)
            g_seen.keys.emplace_back((int)m.wParam, plat::input_modifiers_of(&m));
        DispatchMessageW(&m);
        ok = until();
    }
    KillTimer(hwnd, kBoundTimer);
    KillTimer(hwnd, kTick);
    return ok;
}

class TerminalDisplay : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_seen = Seen{};
        setenv("TERM", "xterm-256color", 1);
    }
};

// Opens pty at 80x25 and the terminal display on it, and makes the display
// current. On failure the test's own stdin and stdout come back and *error
// says why.
const plat::DisplayOps* OpenDisplay(PtyScreen& pty, std::string* error)
{
    if (!pty.Open(80, 25))
    {
        *error = "no pseudo-terminal";
        return nullptr;
    }
    const plat::DisplayOps* ops = plat::terminal_display_open(error);
    if (ops == nullptr)
    {
        pty.Restore();
        return nullptr;
    }
    plat::display_set(ops);
    return ops;
}

TEST_F(TerminalDisplay, RefusesWithoutATerminalOnStdin)
{
    fflush(stdout);
    int saved = dup(STDIN_FILENO);
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    std::string error;
    const plat::DisplayOps* ops = plat::terminal_display_open(&error);
    dup2(saved, STDIN_FILENO);
    close(saved);
    close(null);
    EXPECT_EQ(ops, nullptr);
    EXPECT_NE(error.find("terminal"), std::string::npos) << error;
}

TEST_F(TerminalDisplay, RefusesAnUnknownOrMissingTerminalTypeAndLeavesSignalsAlone)
{
    std::string unknown, missing;
    const plat::DisplayOps* a;
    const plat::DisplayOps* b;
    {
        PtyScreen pty;
        ASSERT_TRUE(pty.Open(80, 25));
        setenv("TERM", "fwu-no-such-terminal", 1);
        a = plat::terminal_display_open(&unknown);
        unsetenv("TERM");
        b = plat::terminal_display_open(&missing);
        pty.Restore();
    }
    EXPECT_EQ(a, nullptr);
    EXPECT_NE(unknown.find("fwu-no-such-terminal"), std::string::npos) << unknown;
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(missing.find("TERM"), std::string::npos) << missing;
    struct sigaction sa = {};
    sigaction(SIGTERM, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
    sigaction(SIGWINCH, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, SIG_DFL);
}

TEST_F(TerminalDisplay, DrawsTheWindowAnswersAWorkersBoxWithEnterAndPassesKeysOn)
{
    int boxResult = -1;
    bool boxAnswered = false, okByF10 = false, ctrlQ = false, drewWindow = false, drewBox = false;
    struct sigaction duringTerm = {}, afterTerm = {};
    int clientW = 0, clientH = 0;
    {
        PtyScreen pty;
        std::string error;
        const plat::DisplayOps* ops = OpenDisplay(pty, &error);
        ASSERT_NE(ops, nullptr) << error;
        ops->screen_size(&clientW, &clientH);
        sigaction(SIGTERM, nullptr, &duringTerm);

        HWND hwnd = MakeProbeWindow();
        HWND edit = CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 0, 0, clientW, clientH, hwnd,
                                    (HMENU)5, nullptr, nullptr);
        SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"first line of the log\r\n");
        drewWindow = RunUntil(hwnd, 3000, [&] { return pty.Saw("first line of the log"); });

        pty.AnswerWhenSeen("Reboot device/Reset module !", "\r");
        std::thread worker(
            [&]
            {
                int r = MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OK);
                PostMessageW(hwnd, kBoxDone, (WPARAM)r, 0);
            });
        MSG m;
        SetTimer(hwnd, kBoundTimer, 5000, nullptr);
        while (GetMessageW(&m, nullptr, 0, 0))
        {
            if (m.message == kBoxDone)
            {
                boxAnswered = true;
                boxResult = (int)m.wParam;
                break;
            }
            if (m.message == WM_TIMER && m.wParam == kBoundTimer)
                break;
            DispatchMessageW(&m);
        }
        KillTimer(hwnd, kBoundTimer);
        drewBox = pty.Saw("Successful");
        if (!boxAnswered)
            pty.Type("\r"); // so the worker can end
        worker.join();

        pty.Type("\x1b[21~"); // F10: the title bar's OK
        okByF10 = RunUntil(hwnd, 3000, [&] { return !g_seen.commands.empty(); });
        pty.Type("\x11"); // Ctrl+Q
        ctrlQ = RunUntil(hwnd, 3000, [&] { return !g_seen.keys.empty(); });

        plat::terminal_display_close();
        sigaction(SIGTERM, nullptr, &afterTerm);
        pty.Restore();
    }
    EXPECT_EQ(clientW, 80);
    EXPECT_EQ(clientH, 22); // the title bar, the status row and the menu bar take a row each
    EXPECT_NE(duringTerm.sa_handler, SIG_DFL);
    EXPECT_EQ(afterTerm.sa_handler, SIG_DFL);
    EXPECT_TRUE(drewWindow);
    EXPECT_TRUE(drewBox);
    EXPECT_TRUE(boxAnswered);
    EXPECT_EQ(boxResult, IDOK);
    EXPECT_TRUE(okByF10);
    EXPECT_EQ(g_seen.commands, std::vector<int>{IDOK});
    ASSERT_TRUE(ctrlQ);
    EXPECT_EQ(g_seen.keys[0].first, 'Q');
    EXPECT_EQ(g_seen.keys[0].second & plat::kModCtrl, plat::kModCtrl);
}

TEST_F(TerminalDisplay, ResizeGivesFullScreenWindowsTheNewClientSize)
{
    bool resized = false;
    int w = 0, h = 0;
    {
        PtyScreen pty;
        std::string error;
        const plat::DisplayOps* ops = OpenDisplay(pty, &error);
        ASSERT_NE(ops, nullptr) << error;
        HWND hwnd = MakeProbeWindow();
        RunUntil(hwnd, 3000, [&] { return pty.Saw("Probe Window"); });
        g_seen.sizes.clear();
        pty.Resize(100, 30);
        resized = RunUntil(hwnd, 3000, [&] { return !g_seen.sizes.empty(); });
        ops->screen_size(&w, &h);
        plat::terminal_display_close();
        pty.Restore();
    }
    ASSERT_TRUE(resized);
    EXPECT_EQ(g_seen.sizes.back(), std::make_pair(100, 27));
    EXPECT_EQ(w, 100);
    EXPECT_EQ(h, 27);
}

// Opens the display on pty with a probe window and waits until it is drawn.
HWND OpenWithProbe(PtyScreen& pty)
{
    std::string error;
    if (OpenDisplay(pty, &error) == nullptr)
        _exit(11);
    HWND hwnd = MakeProbeWindow();
    if (!RunUntil(hwnd, 3000, [&] { return pty.Saw("Probe Window"); }))
        _exit(12);
    return hwnd;
}

double CpuSeconds()
{
    struct rusage ru = {};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

TEST_F(TerminalDisplay, LostTerminalEndsTheProcessAsAHangUp)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            PtyScreen pty;
            HWND hwnd = OpenWithProbe(pty);
            pty.CloseMaster();
            RunUntil(hwnd, 5000, [] { return false; });
            _exit(0); // still alive: the loss went unnoticed
        },
        ::testing::KilledBySignal(SIGHUP), "");
}

TEST_F(TerminalDisplay, LostTerminalWithHangUpsIgnoredRunsOnWithoutSpinningAndAnswersBoxes)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            signal(SIGHUP, SIG_IGN);
            PtyScreen pty;
            HWND hwnd = OpenWithProbe(pty);
            pty.CloseMaster();
            std::atomic<int> result{-1};
            std::thread(
                [&]
                {
                    result = MessageBoxW(nullptr, u"shown after the terminal went", u"Late", MB_OK);
                    PostMessageW(hwnd, WM_USER, 0, 0);
                })
                .detach();
            if (!RunUntil(hwnd, 5000, [&] { return result.load() != -1; }))
                _exit(20);
            if (result.load() != IDOK)
                _exit(21);
            double before = CpuSeconds();
            RunUntil(hwnd, 1000, [] { return false; });
            if (CpuSeconds() - before > 0.3)
                _exit(22); // reading a closed terminal over and over
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
