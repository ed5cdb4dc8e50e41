// Conformance of the window system the log channels and the shell rely on:
// classes and window handles, WM_CREATE inside CreateWindowExW, children by
// id, the edit control and its bound, queues, cross-thread SendMessageW,
// timers, and modal message boxes on the headless display.
#include "platform/windowing/display.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"
#include "tests/support/window_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

using testsupport::PumpUntil;
const DWORD kSentinel = 0xDEADBEEF;
const int kLogId = 5;

using namespace std::chrono;

// ---------------------------------------------------------------------------
// A recording window class
// ---------------------------------------------------------------------------
struct Seen
{
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

std::mutex g_seenMu;
std::vector<Seen> g_seen;
// What WM_CREATE answers, and whether it destroys the window itself.
std::atomic<LRESULT> g_createResult{0};
std::atomic<bool> g_destroyInCreate{false};
// Copied out of the CREATESTRUCTW during WM_CREATE.
CREATESTRUCTW g_cs;
BOOL g_aliveInCreate = FALSE;
// What a WM_DESTROY saw of the window's children.
HWND g_childSeenInDestroy = nullptr;

void Record(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::lock_guard<std::mutex> lock(g_seenMu);
    g_seen.push_back(Seen{hwnd, msg, wParam, lParam, GetCurrentThreadId()});
}

std::vector<Seen> SeenOf(UINT msg)
{
    std::lock_guard<std::mutex> lock(g_seenMu);
    std::vector<Seen> out;
    for (auto& s : g_seen)
        if (s.msg == msg)
            out.push_back(s);
    return out;
}

// A procedure that appends two lines with a pause between them, on the
// owner's thread (WM_USER + 4 of the recording class).
struct TwoLines
{
    HWND edit;
    std::promise<void> between; // the first line is in
    std::shared_future<void> go;
};

LRESULT RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    Record(hwnd, msg, wParam, lParam);
    switch (msg)
    {
        case WM_CREATE:
            g_cs = *(const CREATESTRUCTW*)lParam;
            g_aliveInCreate = IsWindow(hwnd);
            if (g_destroyInCreate.load())
            {
                DestroyWindow(hwnd);
                return 0;
            }
            return g_createResult.load();
        case WM_DESTROY:
            g_childSeenInDestroy = GetDlgItem(hwnd, kLogId);
            return 0;
        case WM_USER + 1:
            return (LRESULT)(lParam * 2 + 1);
        case WM_USER + 4:
        {
            TwoLines* two = (TwoLines*)lParam;
            SendMessageW(two->edit, EM_REPLACESEL, 0, (LPARAM)u"A");
            two->between.set_value();
            two->go.wait();
            SendMessageW(two->edit, EM_REPLACESEL, 0, (LPARAM)u"B");
            return 0;
        }
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

const WCHAR kClass[] = u"Window Test";

void RegisterTestClass()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = kClass;
    static bool done = false;
    if (!done)
    {
        ASSERT_NE(RegisterClassW(&wc), 0);
    }
    done = true;
}

HWND MakeTop(LPVOID param = nullptr)
{
    return CreateWindowExW(0, kClass, u"Top", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           nullptr, nullptr, nullptr, param);
}

HWND MakeEdit(HWND parent, int id = kLogId, LPCWSTR text = u"")
{
    return CreateWindowExW(WS_EX_CLIENTEDGE, u"edit", text,
                           WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_AUTOHSCROLL | ES_READONLY, 0, 0,
                           CW_USEDEFAULT, CW_USEDEFAULT, parent, (HMENU)(intptr_t)id, nullptr, nullptr);
}

std::u16string TextOf(HWND hwnd)
{
    LRESULT len = SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0);
    std::u16string s((size_t)len + 1, u'\0');
    LRESULT got = SendMessageW(hwnd, WM_GETTEXT, s.size(), (LPARAM)s.data());
    s.resize((size_t)got);
    return s;
}

void Append(HWND edit, const std::u16string& text)
{
    SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)text.c_str());
}

class WindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterTestClass();
        std::lock_guard<std::mutex> lock(g_seenMu);
        g_seen.clear();
    }
};

// ---------------------------------------------------------------------------
// Classes and handles
// ---------------------------------------------------------------------------
TEST_F(WindowTest, RegisterClass_RefusesSecondRegistrationWhateverTheCase)
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = u"Firmware Utility";
    ATOM first = RegisterClassW(&wc);
    EXPECT_NE(first, 0);

    wc.lpszClassName = u"FIRMWARE utility";
    SetLastError(kSentinel);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

    wc.lpszClassName = u"Edit"; // the built-in class is taken too
    SetLastError(kSentinel);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);

    wc.lpfnWndProc = nullptr;
    wc.lpszClassName = u"No procedure";
    SetLastError(kSentinel);
    EXPECT_EQ(RegisterClassW(&wc), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(WindowTest, CreateWindow_UnknownClassFailsAndBuiltInEditIgnoresCase)
{
    SetLastError(kSentinel);
    EXPECT_EQ(CreateWindowExW(0, u"no such class", u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANNOT_FIND_WND_CLASS);

    HWND top = MakeTop();
    ASSERT_NE(top, nullptr);
    HWND edit = CreateWindowExW(0, u"EDIT", u"x", WS_CHILD, 0, 0, 10, 10, top, (HMENU)9, nullptr, nullptr);
    ASSERT_NE(edit, nullptr);
    EXPECT_EQ(TextOf(edit), u"x");

    SetLastError(kSentinel);
    EXPECT_EQ(CreateWindowExW(0, u"edit", u"", WS_CHILD, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TLW_WITH_WSCHILD);
}

TEST_F(WindowTest, BadAndStaleHandles_AreNotWindowsAndFailCleanly)
{
    HWND top = MakeTop();
    ASSERT_NE(top, nullptr);
    HWND edit = MakeEdit(top);
    ASSERT_NE(edit, nullptr);
    ASSERT_TRUE(DestroyWindow(top));

    const HWND bad[] = {nullptr, (HWND)(uintptr_t)0x1234, (HWND)((uintptr_t)top | 1), top, edit, (HWND)(uintptr_t)-1};
    for (HWND h : bad)
    {
        SCOPED_TRACE((uintptr_t)h);
        SetLastError(kSentinel);
        EXPECT_FALSE(IsWindow(h));
        EXPECT_EQ(GetLastError(), kSentinel); // IsWindow reports, it does not fail

        SetLastError(kSentinel);
        EXPECT_EQ(SendMessageW(h, WM_USER + 1, 0, 20), 0);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

        SetLastError(kSentinel);
        EXPECT_EQ(GetDlgItem(h, kLogId), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

        EXPECT_EQ(SendDlgItemMessageW(h, kLogId, WM_GETTEXTLENGTH, 0, 0), 0);
        if (h != nullptr) // a null window posts to the thread itself
        {
            EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
        }
        EXPECT_FALSE(DestroyWindow(h));
    }
    // Nothing reached the destroyed window's procedure after its WM_DESTROY.
    EXPECT_TRUE(SeenOf(WM_USER + 1).empty());
}

TEST_F(WindowTest, Handles_AreNeverReusedAndKeepTheLowBitFree)
{
    std::set<HWND> seen;
    for (int i = 0; i < 500; i++)
    {
        HWND h = MakeTop();
        ASSERT_NE(h, nullptr);
        EXPECT_EQ((uintptr_t)h & 1, 0u);
        EXPECT_TRUE(seen.insert(h).second) << "handle handed out twice";
        ASSERT_TRUE(DestroyWindow(h));
    }
}

TEST_F(WindowTest, SuccessfulCalls_LeaveLastErrorAlone)
{
    SetLastError(kSentinel);
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    ASSERT_NE(edit, nullptr);
    Append(edit, u"abc");
    EXPECT_EQ(SendMessageW(top, WM_USER + 1, 0, 4), 9);
    EXPECT_EQ(GetDlgItem(top, kLogId), edit);
    RECT r;
    EXPECT_TRUE(GetClientRect(top, &r));
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_EQ(GetLastError(), kSentinel);
}

// ---------------------------------------------------------------------------
// Creation and destruction
// ---------------------------------------------------------------------------
TEST_F(WindowTest, CreateWindow_SendsWmCreateInsideTheCallWithCreateStruct)
{
    int param = 0;
    g_createResult = 0;
    HWND top = MakeTop(&param);
    ASSERT_NE(top, nullptr);
    auto creates = SeenOf(WM_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    EXPECT_EQ(creates[0].hwnd, top);
    EXPECT_EQ(creates[0].thread, GetCurrentThreadId());
    EXPECT_TRUE(g_aliveInCreate);
    EXPECT_EQ(g_cs.lpCreateParams, &param);
    EXPECT_EQ(g_cs.style, (LONG)WS_VISIBLE);
    EXPECT_EQ(std::u16string(g_cs.lpszName), u"Top");
    EXPECT_EQ(g_cs.hwndParent, nullptr);
    // A full-screen default size, then WM_SIZE reporting it after WM_CREATE.
    EXPECT_EQ(g_cs.cx, plat::kDefaultScreenWidth);
    EXPECT_EQ(g_cs.cy, plat::kDefaultScreenHeight);
    auto sizes = SeenOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].lParam, MAKELPARAM(plat::kDefaultScreenWidth, plat::kDefaultScreenHeight));
    RECT r;
    ASSERT_TRUE(GetClientRect(top, &r));
    EXPECT_EQ(r.right, plat::kDefaultScreenWidth);
    EXPECT_EQ(r.bottom, plat::kDefaultScreenHeight);
}

TEST_F(WindowTest, CreateWindow_MinusOneFromWmCreateRefusesAndDestroysTheWindow)
{
    g_createResult = -1;
    HWND top = MakeTop();
    g_createResult = 0;
    EXPECT_EQ(top, nullptr);
    auto creates = SeenOf(WM_CREATE);
    ASSERT_EQ(creates.size(), 1u);
    HWND refused = creates[0].hwnd;
    EXPECT_FALSE(IsWindow(refused));
    auto destroys = SeenOf(WM_DESTROY);
    ASSERT_EQ(destroys.size(), 1u);
    EXPECT_EQ(destroys[0].hwnd, refused);
    EXPECT_TRUE(SeenOf(WM_SIZE).empty());
}

TEST_F(WindowTest, CreateWindow_WindowDestroyedDuringWmCreateYieldsNull)
{
    g_destroyInCreate = true;
    HWND top = MakeTop();
    g_destroyInCreate = false;
    EXPECT_EQ(top, nullptr);
    ASSERT_EQ(SeenOf(WM_DESTROY).size(), 1u);
    EXPECT_TRUE(plat::window_list().empty());
}

TEST_F(WindowTest, GetDlgItem_FindsChildByIdOfThatParentOnly)
{
    HWND a = MakeTop();
    HWND b = MakeTop();
    HWND a5 = MakeEdit(a, 5);
    HWND a7 = MakeEdit(a, 7);
    HWND b5 = MakeEdit(b, 5);
    ASSERT_TRUE(a5 && a7 && b5);
    EXPECT_EQ(GetDlgItem(a, 5), a5);
    EXPECT_EQ(GetDlgItem(a, 7), a7);
    EXPECT_EQ(GetDlgItem(b, 5), b5);
    SetLastError(kSentinel);
    EXPECT_EQ(GetDlgItem(b, 7), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CONTROL_ID_NOT_FOUND);
    EXPECT_EQ(GetDlgItem(a5, 5), nullptr); // not its own child
}

TEST_F(WindowTest, DestroyWindow_ParentGetsWmDestroyFirstThenChildren)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    ASSERT_TRUE(top && edit);
    g_childSeenInDestroy = nullptr;
    ASSERT_TRUE(DestroyWindow(top));
    EXPECT_EQ(g_childSeenInDestroy, edit); // children still there during the parent's WM_DESTROY
    EXPECT_FALSE(IsWindow(top));
    EXPECT_FALSE(IsWindow(edit));
    EXPECT_TRUE(plat::window_list().empty());
}

TEST_F(WindowTest, DestroyWindow_FromAnotherThreadIsRefused)
{
    HWND top = MakeTop();
    BOOL ok = TRUE;
    DWORD err = 0;
    std::thread(
        [&]
        {
            ok = DestroyWindow(top);
            err = GetLastError();
        })
        .join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(err, (DWORD)ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(top));
}

TEST_F(WindowTest, DefWindowProc_WmCloseDestroysTheWindow)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    EXPECT_EQ(SendMessageW(top, WM_CLOSE, 0, 0), 0);
    EXPECT_FALSE(IsWindow(top));
    EXPECT_FALSE(IsWindow(edit));
    EXPECT_EQ(SeenOf(WM_DESTROY).size(), 1u);
}

TEST_F(WindowTest, SetWindowPos_RecordsGeometryAndSendsWmSizeOnResize)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    RECT r;
    ASSERT_TRUE(GetClientRect(edit, &r));
    EXPECT_EQ(r.right, 0); // a child's CW_USEDEFAULT size is empty
    {
        std::lock_guard<std::mutex> lock(g_seenMu);
        g_seen.clear();
    }
    ASSERT_TRUE(SetWindowPos(top, nullptr, 0, 0, 200, 150, SWP_NOZORDER | SWP_NOMOVE));
    auto sizes = SeenOf(WM_SIZE);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0].lParam, MAKELPARAM(200, 150));
    ASSERT_TRUE(GetClientRect(top, &r));
    EXPECT_EQ(r.left, 0);
    EXPECT_EQ(r.right, 200);
    EXPECT_EQ(r.bottom, 150);
    // The same size again sends nothing; a pure move keeps the size.
    ASSERT_TRUE(SetWindowPos(top, nullptr, 0, 0, 200, 150, SWP_NOZORDER));
    ASSERT_TRUE(SetWindowPos(edit, nullptr, 3, 26, 0, 0, SWP_NOZORDER | SWP_NOSIZE));
    EXPECT_EQ(SeenOf(WM_SIZE).size(), 1u);
    plat::WindowInfo info;
    ASSERT_TRUE(plat::window_info(edit, &info));
    EXPECT_EQ(info.rect.left, 3);
    EXPECT_EQ(info.rect.top, 26);
    EXPECT_EQ(info.id, kLogId);
    EXPECT_TRUE(info.child);
    EXPECT_EQ(info.parent, top);
}

TEST_F(WindowTest, ShowWindowAndFocus_AreRecordedWithFocusMessages)
{
    HWND top = CreateWindowExW(0, kClass, u"", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND edit = MakeEdit(top);
    EXPECT_FALSE(ShowWindow(top, SW_SHOW)); // was hidden
    EXPECT_TRUE(ShowWindow(top, SW_SHOWNORMAL));
    EXPECT_EQ(SetFocus(top), nullptr);
    EXPECT_EQ(SetFocus(edit), top);
    EXPECT_EQ(plat::focus_window(), edit);
    ASSERT_EQ(SeenOf(WM_SETFOCUS).size(), 1u);
    auto kills = SeenOf(WM_KILLFOCUS);
    ASSERT_EQ(kills.size(), 1u);
    EXPECT_EQ(kills[0].wParam, (WPARAM)edit);
    DestroyWindow(top);
    EXPECT_EQ(plat::focus_window(), nullptr);
}

// ---------------------------------------------------------------------------
// The edit control
// ---------------------------------------------------------------------------
TEST_F(WindowTest, Edit_ReplaceSelAppendsAtTheCaretAndGetTextCountsExactly)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    Append(edit, u"Hello");
    Append(edit, u", world\r\n");
    EXPECT_EQ(SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), 14);
    EXPECT_EQ(TextOf(edit), u"Hello, world\r\n");

    // Truncation: wParam counts the terminator.
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(SendMessageW(edit, WM_GETTEXT, 5, (LPARAM)buf), 4);
    EXPECT_EQ(std::u16string(buf), u"Hell");
    EXPECT_EQ(buf[5], u'#'); // nothing written past the given size
    EXPECT_EQ(SendMessageW(edit, WM_GETTEXT, 1, (LPARAM)buf), 0);
    EXPECT_EQ(buf[0], 0);
    buf[0] = u'#';
    EXPECT_EQ(SendMessageW(edit, WM_GETTEXT, 0, (LPARAM)buf), 0);
    EXPECT_EQ(buf[0], u'#');

    EXPECT_EQ(SendMessageW(edit, EM_GETLINECOUNT, 0, 0), 2);
    DWORD s = 99, e = 99;
    EXPECT_EQ(SendMessageW(edit, EM_GETSEL, (WPARAM)&s, (LPARAM)&e), MAKELONG(14, 14));
    EXPECT_EQ(s, 14u);
    EXPECT_EQ(e, 14u);
}

TEST_F(WindowTest, Edit_ReplaceSelReplacesASelectionMovedWithSetSel)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top, kLogId, u"abcdef");
    EXPECT_EQ(TextOf(edit), u"abcdef");
    // The caret starts at 0 after creation text.
    Append(edit, u">");
    EXPECT_EQ(TextOf(edit), u">abcdef");

    SendMessageW(edit, EM_SETSEL, 2, 4); // "bc"
    Append(edit, u"XYZ");
    EXPECT_EQ(TextOf(edit), u">aXYZdef");
    Append(edit, u"!"); // caret after the insertion
    EXPECT_EQ(TextOf(edit), u">aXYZ!def");

    SendMessageW(edit, EM_SETSEL, 5, 1); // reversed ends
    DWORD s, e;
    SendMessageW(edit, EM_GETSEL, (WPARAM)&s, (LPARAM)&e);
    EXPECT_EQ(s, 1u);
    EXPECT_EQ(e, 5u);

    SendMessageW(edit, EM_SETSEL, 0, -1); // everything
    Append(edit, u"new");
    EXPECT_EQ(TextOf(edit), u"new");

    SendMessageW(edit, EM_SETSEL, 1000, 1000); // past the end: clamped
    Append(edit, u"!");
    EXPECT_EQ(TextOf(edit), u"new!");

    EXPECT_TRUE(SendMessageW(edit, WM_SETTEXT, 0, (LPARAM)u"one\r\ntwo\r\nthree"));
    EXPECT_EQ(SendMessageW(edit, EM_GETLINECOUNT, 0, 0), 3);
    SendMessageW(edit, EM_REPLACESEL, 0, 0); // null text inserts nothing
    EXPECT_EQ(TextOf(edit), u"one\r\ntwo\r\nthree");
}

TEST_F(WindowTest, Edit_BoundDropsOldestWholeLinesAndMemoryStaysFlat)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    WCHAR line[64];
    const size_t kLineLen = 25;
    size_t capacityAfterFirstTrim = 0;
    const int kLines = 100000; // 2.5 M units: many trims
    for (int i = 0; i < kLines; i++)
    {
        ASSERT_EQ(wnsprintfW(line, 64, u"line %07d of the log\r\n", i), (int)kLineLen);
        Append(edit, line);
        size_t len = (size_t)SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0);
        ASSERT_LE(len, plat::kEditMaxUnits);
        if (capacityAfterFirstTrim == 0 && len < (size_t)(i + 1) * kLineLen)
            capacityAfterFirstTrim = plat::edit_storage_units(edit);
    }
    ASSERT_NE(capacityAfterFirstTrim, 0u) << "the bound was never reached";
    EXPECT_EQ(plat::edit_storage_units(edit), capacityAfterFirstTrim);

    std::u16string text = TextOf(edit);
    EXPECT_GE(text.size(), plat::kEditTrimUnits - 64);
    // Whole lines only, consecutive, ending with the newest.
    ASSERT_EQ(text.substr(0, 5), u"line ");
    int first = std::stoi(plat::utf16_to_utf8(text.substr(5, 7)));
    size_t lines = 0, pos = 0;
    while (pos < text.size())
    {
        wnsprintfW(line, 64, u"line %07d of the log\r\n", first + (int)lines);
        ASSERT_EQ(text.compare(pos, kLineLen, line), 0) << "at line " << lines;
        pos += kLineLen;
        lines++;
    }
    EXPECT_EQ(first + (int)lines, kLines);
}

// The bound itself: text of exactly kEditMaxUnits is kept whole; one unit
// more drops the oldest lines down to the trim size.
TEST_F(WindowTest, Edit_TextAtTheBoundStaysWholeAndOneUnitMoreIsTrimmed)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    const std::u16string line = std::u16string(62, u'-') + u"\r\n"; // 64 units
    static_assert(plat::kEditMaxUnits % 64 == 0);
    for (size_t i = 0; i < plat::kEditMaxUnits / 64; i++)
        Append(edit, line);
    EXPECT_EQ((size_t)SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), plat::kEditMaxUnits);

    Append(edit, u"!");
    EXPECT_LE((size_t)SendMessageW(edit, WM_GETTEXTLENGTH, 0, 0), plat::kEditTrimUnits);
    EXPECT_EQ(TextOf(edit).back(), u'!');
}

TEST_F(WindowTest, Edit_BoundHoldsForOneLineLongerThanTheBound)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    Append(edit, u"head\r\n");
    std::u16string huge(plat::kEditMaxUnits + 1000, u'x');
    huge += u"\xD83D\xDE00tail"; // a surrogate pair near the end
    Append(edit, huge);
    std::u16string text = TextOf(edit);
    EXPECT_LE(text.size(), plat::kEditMaxUnits);
    EXPECT_EQ(text.substr(text.size() - 6), u"\xD83D\xDE00tail");
    EXPECT_NE(text[0], u'h');
    EXPECT_FALSE(text[0] >= 0xDC00 && text[0] <= 0xDFFF);
    // The caret followed the text: the next line goes at the end.
    Append(edit, u"!");
    EXPECT_EQ(TextOf(edit).back(), u'!');
}

// ---------------------------------------------------------------------------
// Queues
// ---------------------------------------------------------------------------
TEST_F(WindowTest, GetMessage_PostedMessagesComeInOrderThenQuitWithItsCode)
{
    HWND top = MakeTop();
    ASSERT_TRUE(PostMessageW(top, WM_USER, 1, 0));
    PostQuitMessage(42);
    ASSERT_TRUE(PostMessageW(top, WM_USER, 2, 0));
    ASSERT_TRUE(PostMessageW(nullptr, WM_USER, 3, 0)); // a thread message

    MSG m;
    MSG peek;
    ASSERT_TRUE(PeekMessageW(&peek, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(peek.wParam, 1u);
    for (WPARAM want = 1; want <= 3; want++)
    {
        ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
        EXPECT_EQ(m.message, (UINT)WM_USER);
        EXPECT_EQ(m.wParam, want);
        EXPECT_EQ(m.hwnd, want == 3 ? nullptr : top);
    }
    EXPECT_FALSE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.message, (UINT)WM_QUIT);
    EXPECT_EQ(m.wParam, 42u);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)); // the quit was taken once
}

TEST_F(WindowTest, PeekMessage_FiltersByWindowAndRange)
{
    HWND a = MakeTop();
    HWND b = MakeTop();
    PostMessageW(a, WM_USER + 5, 0, 0);
    PostMessageW(b, WM_USER + 6, 0, 0);
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, WM_USER + 7, WM_USER + 9, PM_REMOVE));
    ASSERT_TRUE(PeekMessageW(&m, b, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, (UINT)WM_USER + 6);
    ASSERT_TRUE(PeekMessageW(&m, nullptr, WM_USER + 5, WM_USER + 5, PM_REMOVE));
    EXPECT_EQ(m.hwnd, a);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, PostMessage_QueueIsBounded)
{
    HWND top = MakeTop();
    int posted = 0;
    while (PostMessageW(top, WM_USER, 0, 0) && posted < 20000)
        posted++;
    EXPECT_EQ(posted, 10000);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_QUOTA);
}

TEST_F(WindowTest, DispatchMessage_CallsTheProcedureOnTheOwnerThread)
{
    HWND top = MakeTop();
    PostMessageW(top, WM_USER + 1, 0, 10);
    MSG m;
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(DispatchMessageW(&m), 21);
    EXPECT_FALSE(TranslateMessage(&m));
}

TEST_F(WindowTest, Timer_DeliversWmTimerEachPeriodUntilKilled)
{
    HWND top = MakeTop();
    ASSERT_EQ(SetTimer(top, 100, 20, nullptr), 100u);
    auto start = steady_clock::now();
    MSG m;
    for (int i = 0; i < 3; i++)
    {
        ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
        EXPECT_EQ(m.message, (UINT)WM_TIMER);
        EXPECT_EQ(m.hwnd, top);
        EXPECT_EQ(m.wParam, 100u);
        DispatchMessageW(&m);
    }
    auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_GE(took, 55);
    EXPECT_EQ(SeenOf(WM_TIMER).size(), 3u);
    EXPECT_TRUE(KillTimer(top, 100));
    EXPECT_FALSE(KillTimer(top, 100));
    // Nothing more arrives: a posted marker comes first after a while.
    UINT_PTR marker = SetTimer(nullptr, 0, 80, nullptr);
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_EQ(m.hwnd, nullptr);
    EXPECT_EQ(m.wParam, marker);
}

// The virtual clock brings timers due without waiting.
TEST_F(WindowTest, ClockAdvance_BringsTimersDueWithoutWaiting)
{
    HWND top = MakeTop();
    ASSERT_EQ(SetTimer(top, 100, 10000, nullptr), 100u);
    MSG m;
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    plat::clock_advance(5000);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)); // half way
    auto start = steady_clock::now();
    plat::clock_advance(5000);
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 1000);
    EXPECT_EQ(m.message, (UINT)WM_TIMER);
    EXPECT_EQ(m.wParam, 100u);
    // Ticks do not pile up: a jump of three periods gives one tick.
    plat::clock_advance(30000);
    int ticks = 0;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
        ticks += m.message == WM_TIMER;
    EXPECT_EQ(ticks, 1);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
}

TEST_F(WindowTest, ClockAdvance_WakesAThreadWaitingForItsTimer)
{
    std::promise<HWND> made;
    std::atomic<bool> ticked{false};
    std::thread ui(
        [&]
        {
            HWND top = MakeTop();
            SetTimer(top, 1, 10000, nullptr);
            made.set_value(top);
            MSG m;
            if (GetMessageW(&m, nullptr, 0, 0) && m.message == WM_TIMER)
                ticked = true;
        });
    made.get_future().get();
    auto start = steady_clock::now();
    plat::clock_advance(10000);
    ui.join();
    EXPECT_TRUE(ticked.load());
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 2000);
}

std::atomic<int> g_timerProcCalls{0};
void CountingTimerProc(HWND, UINT, UINT_PTR, DWORD)
{
    g_timerProcCalls++;
}

TEST_F(WindowTest, Timer_WithProcedureAndDestroyedWindowTimersGo)
{
    HWND top = MakeTop();
    SetTimer(top, 1, 10, CountingTimerProc);
    MSG m;
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0));
    DispatchMessageW(&m);
    EXPECT_EQ(g_timerProcCalls.load(), 1);
    EXPECT_TRUE(SeenOf(WM_TIMER).empty()); // the procedure, not the window, got it
    DestroyWindow(top);
    EXPECT_FALSE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    SetLastError(kSentinel);
    EXPECT_FALSE(KillTimer(top, 1));
}

// ---------------------------------------------------------------------------
// Sending across threads
// ---------------------------------------------------------------------------
TEST_F(WindowTest, SendAcrossThreads_BlocksUntilOwnerHandlesItInGetMessage)
{
    HWND top = MakeTop();
    std::atomic<bool> returned{false};
    std::atomic<LRESULT> result{0};
    std::thread sender(
        [&]
        {
            result = SendMessageW(top, WM_USER + 1, 0, 20);
            returned = true;
            PostMessageW(top, WM_USER + 2, 0, 0); // after the reply
        });
    // The owner is not in a message call: the sender must wait.
    std::this_thread::sleep_for(milliseconds(150));
    EXPECT_FALSE(returned.load());
    EXPECT_TRUE(SeenOf(WM_USER + 1).empty());

    MSG m;
    ASSERT_TRUE(GetMessageW(&m, nullptr, 0, 0)); // handles the send, then gets the post
    EXPECT_EQ(m.message, (UINT)WM_USER + 2);
    sender.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(result.load(), 41);
    auto seen = SeenOf(WM_USER + 1);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].thread, GetCurrentThreadId()); // ran on the owner, not the sender
}

TEST_F(WindowTest, SendAcrossThreads_TextBuffersAreCarriedBothWays)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    std::u16string got;
    LRESULT count = -1;
    DWORD s = 0, e = 0;
    std::atomic<bool> done{false};
    std::thread worker(
        [&]
        {
            std::u16string line = u"from the worker\r\n";
            SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)line.c_str());
            WCHAR buf[6];
            count = SendMessageW(edit, WM_GETTEXT, 6, (LPARAM)buf);
            got = buf;
            SendMessageW(edit, EM_GETSEL, (WPARAM)&s, (LPARAM)&e);
            done = true;
        });
    ASSERT_TRUE(PumpUntil([&] { return done.load(); }));
    worker.join();
    EXPECT_EQ(TextOf(edit), u"from the worker\r\n");
    EXPECT_EQ(count, 5);
    EXPECT_EQ(got, u"from ");
    EXPECT_EQ(s, 17u);
    EXPECT_EQ(e, 17u);
}

// A UI thread of its own: a top window with an edit child, in a GetMessageW
// loop until WM_QUIT.
struct OwnerThread
{
    HWND top = nullptr;
    HWND edit = nullptr;
    DWORD id = 0;
    std::thread thread;

    void Start()
    {
        std::promise<void> ready;
        thread = std::thread(
            [&]
            {
                top = MakeTop();
                edit = MakeEdit(top);
                id = GetCurrentThreadId();
                ready.set_value();
                MSG m;
                while (GetMessageW(&m, nullptr, 0, 0))
                    DispatchMessageW(&m);
                DestroyWindow(top);
            });
        ready.get_future().wait();
    }
    ~OwnerThread()
    {
        PostMessageW(top, WM_QUIT, 0, 0);
        thread.join();
    }
};

std::atomic<DWORD> g_tapThread{0};

void RecordTapThread(HWND, std::u16string_view)
{
    g_tapThread.store(GetCurrentThreadId());
}

// A line for the edit of a thread that waits between messages is put in by
// the sender itself, the owner kept in its wait: no thread switch per line.
// Each line is in when the send returns, in order.
TEST_F(WindowTest, SendAcrossThreads_LineToAWaitingOwnersEditGoesInWithoutTheOwner)
{
    OwnerThread owner;
    owner.Start();
    plat::window_set_edit_tap(RecordTapThread);
    std::u16string expected;
    bool byTheSender = false;
    for (int i = 0; i < 200 && !byTheSender; i++)
    {
        std::u16string line = plat::utf8_to_utf16(std::to_string(i)) + u"\r\n";
        EXPECT_EQ(SendMessageW(owner.edit, EM_REPLACESEL, 0, (LPARAM)line.c_str()), 0);
        expected += line;
        ASSERT_EQ(plat::window_text(owner.edit), expected);
        byTheSender = g_tapThread.load() == GetCurrentThreadId();
        if (!byTheSender)
            std::this_thread::sleep_for(milliseconds(1)); // the owner goes back to its wait
    }
    plat::window_set_edit_tap(nullptr);
    EXPECT_TRUE(byTheSender) << "every line waited for the owner's thread";
}

// While the owner runs a procedure, another thread's line waits for it: it
// never lands between two lines of that procedure.
TEST_F(WindowTest, SendAcrossThreads_LineWaitsForTheOwnersProcedureToEnd)
{
    OwnerThread owner;
    owner.Start();
    std::promise<void> go;
    TwoLines two{owner.edit, {}, go.get_future().share()};
    auto between = two.between.get_future();
    ASSERT_TRUE(PostMessageW(owner.top, WM_USER + 4, 0, (LPARAM)&two));
    between.wait();
    std::thread sender([&] { SendMessageW(owner.edit, EM_REPLACESEL, 0, (LPARAM)u"x"); });
    std::this_thread::sleep_for(milliseconds(50)); // the sender is at the owner's door
    go.set_value();
    sender.join();
    EXPECT_EQ(plat::window_text(owner.edit), u"ABx");
}

TEST_F(WindowTest, SendAcrossThreads_TwoThreadsSendingToEachOtherDoNotDeadlock)
{
    HWND mine = MakeTop();
    std::promise<HWND> theirs;
    std::atomic<bool> stop{false};
    std::atomic<LRESULT> fromMe{0};
    std::atomic<LRESULT> fromThem{0};
    std::thread other(
        [&]
        {
            HWND h = MakeTop();
            theirs.set_value(h);
            fromThem = SendMessageW(mine, WM_USER + 1, 0, 1); // blocks; handles our send meanwhile
            PumpUntil([&] { return stop.load(); });
            DestroyWindow(h);
        });
    HWND h = theirs.get_future().get();
    fromMe = SendMessageW(h, WM_USER + 1, 0, 2);
    EXPECT_EQ(fromMe.load(), 5);
    ASSERT_TRUE(PumpUntil([&] { return fromThem.load() != 0; }));
    EXPECT_EQ(fromThem.load(), 3);
    stop = true;
    other.join();
}

TEST_F(WindowTest, SendToWindowOfEndedThread_ReturnsZeroAtOnce)
{
    HWND h = nullptr;
    std::thread(
        [&]
        {
            h = MakeTop();
            ASSERT_NE(h, nullptr);
        })
        .join();
    auto start = steady_clock::now();
    SetLastError(kSentinel);
    EXPECT_EQ(SendMessageW(h, WM_USER + 1, 0, 1), 0);
    EXPECT_LT(duration_cast<milliseconds>(steady_clock::now() - start).count(), 500);
    EXPECT_FALSE(IsWindow(h));
    EXPECT_FALSE(PostMessageW(h, WM_USER, 0, 0));
}

TEST_F(WindowTest, SendWhileOwnerThreadEnds_SenderIsReleasedWithZero)
{
    std::promise<HWND> made;
    std::promise<void> leave;
    std::thread owner(
        [&]
        {
            made.set_value(MakeTop());
            leave.get_future().wait(); // never handles messages
        });
    HWND h = made.get_future().get();
    auto sent = std::async(std::launch::async, [&] { return SendMessageW(h, WM_USER + 1, 0, 1); });
    EXPECT_EQ(sent.wait_for(milliseconds(150)), std::future_status::timeout);
    leave.set_value();
    owner.join();
    ASSERT_EQ(sent.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(sent.get(), 0);
    EXPECT_TRUE(SeenOf(WM_USER + 1).empty());
}

TEST_F(WindowTest, SendWhileTargetIsDestroyed_SenderIsReleasedWithZero)
{
    HWND top = MakeTop();
    auto sent = std::async(std::launch::async, [&] { return SendMessageW(top, WM_USER + 1, 0, 1); });
    EXPECT_EQ(sent.wait_for(milliseconds(150)), std::future_status::timeout);
    DestroyWindow(top);
    ASSERT_EQ(sent.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(sent.get(), 0);
    EXPECT_TRUE(SeenOf(WM_USER + 1).empty());
}

struct BlockedSend
{
    HWND target;
    std::promise<LRESULT> returned;
};

DWORD SendingBody(LPVOID param)
{
    BlockedSend* b = (BlockedSend*)param;
    WCHAR line[] = u"sent by a thread that was terminated\r\n";
    LRESULT r = SendMessageW(b->target, EM_REPLACESEL, 0, (LPARAM)line);
    b->returned.set_value(r);
    Sleep(10000); // ends here when terminated
    return 1;
}

TEST_F(WindowTest, TerminateThread_WakesASenderBlockedInSendMessage)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    BlockedSend b{edit, {}};
    auto returned = b.returned.get_future();
    HANDLE h = CreateThread(nullptr, 0, SendingBody, &b, 0, nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(returned.wait_for(milliseconds(150)), std::future_status::timeout);
    ASSERT_TRUE(TerminateThread(h, 77));
    ASSERT_EQ(returned.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(returned.get(), 0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 77u);
    // The message the owner had not taken yet is withdrawn: nothing the ended
    // thread asked for happens after its end.
    EXPECT_EQ(plat::pump_sent_messages(), 0u);
    EXPECT_EQ(TextOf(edit), u"");
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Message boxes on the headless display
// ---------------------------------------------------------------------------
TEST_F(WindowTest, MessageBox_UnheldBoxIsAnsweredOkAndRecorded)
{
    HWND top = MakeTop();
    EXPECT_EQ(MessageBoxW(top, u"Reboot device/Reset module !", u"Info", MB_OK | MB_ICONINFORMATION), IDOK);
    EXPECT_EQ(MessageBoxW(nullptr, u"\\path", nullptr, MB_OK), IDOK);
    auto boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, u"Reboot device/Reset module !");
    EXPECT_EQ(boxes[0].caption, u"Info");
    EXPECT_EQ(boxes[0].type, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(boxes[0].owner, top);
    EXPECT_EQ(boxes[0].threadId, GetCurrentThreadId());
    EXPECT_FALSE(boxes[0].open);
    EXPECT_EQ(boxes[0].result, IDOK);
    EXPECT_EQ(boxes[1].owner, nullptr);
    EXPECT_EQ(boxes[1].caption, u"Error");

    SetLastError(kSentinel);
    EXPECT_EQ(MessageBoxW((HWND)(uintptr_t)0x10, u"x", u"y", MB_OK), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(plat::display_box_list().size(), 2u);
}

TEST_F(WindowTest, MessageBox_FromWorkerWaitsForDismissal)
{
    plat::display_hold_boxes(true);
    auto answer =
        std::async(std::launch::async, [] { return MessageBoxW(nullptr, u"WorkDir Error", u"WorkDir Error", MB_OK); });
    ASSERT_TRUE(plat::display_wait_boxes(1, 2000));
    EXPECT_EQ(answer.wait_for(milliseconds(100)), std::future_status::timeout);
    auto boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0].open);
    EXPECT_NE(boxes[0].threadId, GetCurrentThreadId());

    EXPECT_FALSE(plat::display_dismiss(1, IDOK)); // no such box
    EXPECT_TRUE(plat::display_dismiss(0, IDCANCEL));
    EXPECT_FALSE(plat::display_dismiss(0, IDOK)); // answered once only
    ASSERT_EQ(answer.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(answer.get(), IDCANCEL);
    boxes = plat::display_box_list();
    EXPECT_FALSE(boxes[0].open);
    EXPECT_EQ(boxes[0].result, IDCANCEL);
}

TEST_F(WindowTest, MessageBox_ModalLoopKeepsHandlingSentPostedAndTimerMessages)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    SetTimer(top, 7, 10, nullptr);
    PostMessageW(top, WM_USER + 1, 0, 0);
    plat::display_hold_boxes(true);
    std::thread worker(
        [&]
        {
            ASSERT_TRUE(plat::display_wait_boxes(1, 2000));
            Append(edit, u"appended while the box is up\r\n"); // answered by the modal loop
            std::this_thread::sleep_for(milliseconds(60));     // a few timer periods
            plat::display_dismiss(0, IDOK);
        });
    EXPECT_EQ(MessageBoxW(top, u"About", u"About", MB_OK), IDOK);
    worker.join();
    EXPECT_EQ(TextOf(edit), u"appended while the box is up\r\n");
    EXPECT_EQ(SeenOf(WM_USER + 1).size(), 1u);
    EXPECT_GE(SeenOf(WM_TIMER).size(), 1u);
}

struct BoxThread
{
    std::promise<int> returned;
};

DWORD BoxBody(LPVOID param)
{
    BoxThread* b = (BoxThread*)param;
    int r = MessageBoxW(nullptr, u"held", u"held", MB_OK);
    b->returned.set_value(r);
    Sleep(10000);
    return 1;
}

TEST_F(WindowTest, TerminateThread_WakesAThreadInMessageBox)
{
    plat::display_hold_boxes(true);
    BoxThread b;
    auto returned = b.returned.get_future();
    HANDLE h = CreateThread(nullptr, 0, BoxBody, &b, 0, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(plat::display_wait_boxes(1, 2000));
    EXPECT_EQ(returned.wait_for(milliseconds(100)), std::future_status::timeout);
    ASSERT_TRUE(TerminateThread(h, 5));
    ASSERT_EQ(returned.wait_for(seconds(2)), std::future_status::ready);
    EXPECT_EQ(returned.get(), 0);
    auto boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_FALSE(boxes[0].open);
    EXPECT_TRUE(boxes[0].cancelled);
    EXPECT_FALSE(plat::display_dismiss(0, IDOK));
    CloseHandle(h);
}

// ---------------------------------------------------------------------------
// Observer
// ---------------------------------------------------------------------------
std::mutex g_eventsMu;
std::vector<std::pair<std::string, HWND>> g_events;

void Ev(const char* what, HWND h)
{
    std::lock_guard<std::mutex> lock(g_eventsMu);
    g_events.emplace_back(what, h);
}

const plat::DisplayOps kRecordingDisplay = {
    "recording",
    {[](HWND h) { Ev("created", h); }, [](HWND h) { Ev("destroyed", h); },
     [](HWND h, unsigned what) { Ev(what & plat::kChangeText ? "text" : "other", h); }},
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    [](int* w, int* h)
    {
        *w = 80;
        *h = 24;
    },
};

TEST_F(WindowTest, Display_HearsOfWindowsAndSizesFullScreenWindows)
{
    plat::display_set(&kRecordingDisplay);
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    Append(edit, u"x");
    DestroyWindow(top);
    plat::display_set(nullptr);
    EXPECT_EQ(g_cs.cx, 80);
    EXPECT_EQ(g_cs.cy, 24);
    std::vector<std::pair<std::string, HWND>> want = {
        {"created", top}, {"created", edit}, {"text", edit}, {"destroyed", edit}, {"destroyed", top}};
    std::lock_guard<std::mutex> lock(g_eventsMu);
    EXPECT_EQ(g_events, want);
}

TEST_F(WindowTest, Display_HearsOfWindowsOfAnEndedThread)
{
    plat::display_set(&kRecordingDisplay);
    HWND h = nullptr;
    std::thread([&] { h = MakeTop(); }).join();
    plat::display_set(nullptr);
    std::lock_guard<std::mutex> lock(g_eventsMu);
    ASSERT_EQ(g_events.size(), 2u);
    EXPECT_EQ(g_events[1], std::make_pair(std::string("destroyed"), h));
}

} // namespace
