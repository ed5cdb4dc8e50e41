// Conformance of the shell calls the main window relies on: the menu bar,
// full-screen set-up, accelerators and key translation, dialogs, the
// foreground window and the headless display's output of boxes and dialogs.
// The kernel calls are in kernel_test.cpp, the virtual clock of the timers in
// window_test.cpp, the window namespace across processes in
// namespace_test.cpp.
#include "platform/kernel/debug.h"
#include "platform/windowing/display.h"
#include "platform/displays/headless.h"
#include "platform/kernel/kernel.h"
#include "platform/profile/profile.h"
#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"
#include "tests/support/window_pump.h"
#include "tests/support/process_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace
{
using namespace std::chrono;
using testsupport::PumpUntil;

const DWORD kSentinel = 0xDEADBEEF;
const WCHAR kClass[] = u"ShellPlat Test";

// ---------------------------------------------------------------------------
// A recording window class
// ---------------------------------------------------------------------------
struct Seen
{
    HWND hwnd;
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
};
std::mutex g_seenMu;
std::vector<Seen> g_seen;

LRESULT RecordingProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    {
        std::lock_guard<std::mutex> lock(g_seenMu);
        g_seen.push_back(Seen{hwnd, msg, wParam, lParam});
    }
    if (msg == WM_DESTROY)
        return 0;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

std::vector<Seen> SeenOf(UINT msg, HWND hwnd = nullptr)
{
    std::lock_guard<std::mutex> lock(g_seenMu);
    std::vector<Seen> out;
    for (auto& s : g_seen)
        if (s.msg == msg && (hwnd == nullptr || s.hwnd == hwnd))
            out.push_back(s);
    return out;
}

void RegisterTestClass()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = RecordingProc;
    wc.lpszClassName = kClass;
    if (RegisterClassW(&wc) == 0)
    {
        ASSERT_EQ(GetLastError(), (DWORD)ERROR_CLASS_ALREADY_EXISTS);
    }
}

HWND MakeTop(HWND owner = nullptr, int cx = 100, int cy = 50)
{
    return CreateWindowExW(0, kClass, u"Top", WS_VISIBLE, 0, 0, cx, cy, owner, nullptr, nullptr, nullptr);
}

HWND MakeEdit(HWND parent, int id = 5)
{
    return CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0, 10, 10, parent,
                           (HMENU)(intptr_t)id, nullptr, nullptr);
}

// A display that only hears of window changes.
plat::DisplayOps ChangeListener(const char* name, void (*changed)(HWND hwnd, unsigned what))
{
    plat::DisplayOps ops = {};
    ops.name = name;
    ops.windows.changed = changed;
    return ops;
}

class ShellPlatTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        RegisterTestClass();
        std::lock_guard<std::mutex> lock(g_seenMu);
        g_seen.clear();
    }
    void TearDown() override
    {
        plat::shell_set_menubar_fault(false);
        plat::headless_display_close();
        plat::display_set(nullptr);
    }
};

// ===========================================================================
// Menu bar, full-screen set-up, activation, common controls
// ===========================================================================
SHMENUBARINFO MenuBarInfo(HWND parent, UINT id = 105)
{
    SHMENUBARINFO mbi = {};
    mbi.cbSize = sizeof(mbi);
    mbi.hwndParent = parent;
    mbi.nToolBarId = id;
    mbi.hInstRes = plat::program_instance();
    return mbi;
}

TEST_F(ShellPlatTest, MenuBar_IsAnOwnedWindowWithTheTemplateButtonsAndDropDown)
{
    HWND top = MakeTop();
    SHMENUBARINFO mbi = MenuBarInfo(top);
    SetLastError(kSentinel);
    ASSERT_TRUE(SHCreateMenuBar(&mbi));
    EXPECT_EQ(GetLastError(), kSentinel);
    ASSERT_TRUE(IsWindow(mbi.hwndMB));
    plat::WindowInfo info;
    ASSERT_TRUE(plat::window_info(mbi.hwndMB, &info));
    EXPECT_FALSE(info.child); // owned, not a child: it takes no control id
    EXPECT_EQ(info.parent, top);
    EXPECT_EQ(info.className, plat::kMenuBarClass);
    EXPECT_EQ(GetDlgItem(top, 4), nullptr);

    plat::MenuBarState state;
    ASSERT_TRUE(plat::menubar_of(top, &state));
    EXPECT_EQ(state.hwndMB, mbi.hwndMB);
    EXPECT_EQ(state.owner, top);
    ASSERT_EQ(state.buttons.size(), 1u);
    EXPECT_EQ(state.buttons[0].caption, u"System");
    EXPECT_EQ(state.buttons[0].command, 40001);
    EXPECT_TRUE(state.buttons[0].dropDown);
    ASSERT_EQ(state.buttons[0].popup.size(), 3u);
    EXPECT_EQ(state.buttons[0].popup[0]->id, 118);
    EXPECT_EQ(std::u16string(state.buttons[0].popup[0]->text), u"Update firmware - Go");
    EXPECT_EQ(state.buttons[0].popup[1]->kind, MENU_ITEM_SEPARATOR);
    EXPECT_EQ(state.buttons[0].popup[2]->id, 101);
    EXPECT_EQ(std::u16string(state.buttons[0].popup[2]->text), u"Exit");
    EXPECT_EQ(plat::menubar_list(), std::vector<HWND>{mbi.hwndMB});

    // A command sent to the bar reaches its owner.
    SendMessageW(mbi.hwndMB, WM_COMMAND, MAKEWPARAM(118, 0), 0);
    auto msgs = testsupport::DrainPosted();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].hwnd, top);
    EXPECT_EQ(msgs[0].message, (UINT)WM_COMMAND);
    EXPECT_EQ(LOWORD(msgs[0].wParam), 118);

    // The bar goes with its owner.
    EXPECT_TRUE(DestroyWindow(top));
    EXPECT_FALSE(IsWindow(mbi.hwndMB));
    EXPECT_FALSE(plat::menubar_of(top, nullptr));
    EXPECT_TRUE(plat::menubar_list().empty());
}

TEST_F(ShellPlatTest, MenuBar_FailsCleanlyWithoutItsTemplate)
{
    HWND top = MakeTop();
    size_t windows = plat::window_list().size();
    SHMENUBARINFO missing = MenuBarInfo(top, 106);
    SetLastError(kSentinel);
    EXPECT_FALSE(SHCreateMenuBar(&missing));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(missing.hwndMB, nullptr);

    plat::shell_set_menubar_fault(true);
    SHMENUBARINFO injected = MenuBarInfo(top);
    SetLastError(kSentinel);
    EXPECT_FALSE(SHCreateMenuBar(&injected));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    plat::shell_set_menubar_fault(false);

    SHMENUBARINFO badSize = MenuBarInfo(top);
    badSize.cbSize = 4;
    SetLastError(kSentinel);
    EXPECT_FALSE(SHCreateMenuBar(&badSize));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SHMENUBARINFO noParent = MenuBarInfo(nullptr);
    EXPECT_FALSE(SHCreateMenuBar(&noParent));
    EXPECT_FALSE(SHCreateMenuBar(nullptr));

    EXPECT_EQ(plat::window_list().size(), windows);
    EXPECT_FALSE(plat::menubar_of(top, nullptr));
}

TEST_F(ShellPlatTest, InitDialog_SizesToTheScreenAndMarksTheDoneButton)
{
    HWND top = MakeTop(nullptr, 100, 50);
    HWND plain = MakeTop(nullptr, 100, 50);
    SHINITDLGINFO sid = {SHIDIM_FLAGS, top, SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN};
    SetLastError(kSentinel);
    EXPECT_TRUE(SHInitDialog(&sid));
    EXPECT_EQ(GetLastError(), kSentinel);
    RECT rc;
    ASSERT_TRUE(GetClientRect(top, &rc));
    EXPECT_EQ(rc.right, plat::kDefaultScreenWidth);
    EXPECT_EQ(rc.bottom, plat::kDefaultScreenHeight);
    auto sizes = SeenOf(WM_SIZE, top);
    ASSERT_FALSE(sizes.empty());
    EXPECT_EQ(sizes.back().lParam, MAKELPARAM(plat::kDefaultScreenWidth, plat::kDefaultScreenHeight));
    EXPECT_TRUE(plat::window_has_done_button(top));
    EXPECT_TRUE(plat::window_is_full_screen(top));
    EXPECT_FALSE(plat::window_has_done_button(plain));

    // Without the flags mask nothing happens; a done button alone does not size.
    SHINITDLGINFO noMask = {0, plain, SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN};
    EXPECT_TRUE(SHInitDialog(&noMask));
    EXPECT_FALSE(plat::window_has_done_button(plain));
    SHINITDLGINFO doneOnly = {SHIDIM_FLAGS, plain, SHIDIF_DONEBUTTON};
    EXPECT_TRUE(SHInitDialog(&doneOnly));
    EXPECT_TRUE(plat::window_has_done_button(plain));
    EXPECT_FALSE(plat::window_is_full_screen(plain));
    ASSERT_TRUE(GetClientRect(plain, &rc));
    EXPECT_EQ(rc.right, 100);

    SHINITDLGINFO dead = {SHIDIM_FLAGS, (HWND)(uintptr_t)0x7770, SHIDIF_DONEBUTTON};
    SetLastError(kSentinel);
    EXPECT_FALSE(SHInitDialog(&dead));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SHInitDialog(nullptr));
    DestroyWindow(top);
    EXPECT_FALSE(plat::window_has_done_button(top));
}

TEST_F(ShellPlatTest, ShellEvents_KeepTheActivationRecord)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    SetFocus(edit);
    SHACTIVATEINFO sai = {sizeof(SHACTIVATEINFO), nullptr, 0, 0, 0, 0};
    SetLastError(kSentinel);
    EXPECT_TRUE(SHHandleWMActivate(top, MAKEWPARAM(1, 0), 0, &sai, 0)); // WA_ACTIVE
    EXPECT_EQ(sai.fActive, 1u);
    EXPECT_TRUE(SHHandleWMActivate(top, 0, 0, &sai, 0)); // WA_INACTIVE
    EXPECT_EQ(sai.fActive, 0u);
    EXPECT_EQ(sai.hwndLastFocus, edit);
    sai.fSipUp = 1;
    EXPECT_TRUE(SHHandleWMSettingChange(top, 0xE0, 0, &sai)); // SPI_SETSIPINFO
    EXPECT_EQ(sai.fSipUp, 0u);
    EXPECT_TRUE(SHHandleWMSettingChange(top, 0, 0, &sai));
    EXPECT_EQ(GetLastError(), kSentinel);

    SHACTIVATEINFO wrong = {};
    EXPECT_FALSE(SHHandleWMActivate(top, 1, 0, &wrong, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_FALSE(SHHandleWMSettingChange(top, 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(ShellPlatTest, CommonControls_BarClassesAndCommandBarHeight)
{
    INITCOMMONCONTROLSEX icc = {sizeof(INITCOMMONCONTROLSEX), ICC_BAR_CLASSES};
    SetLastError(kSentinel);
    EXPECT_TRUE(InitCommonControlsEx(&icc));
    EXPECT_EQ(GetLastError(), kSentinel);
    INITCOMMONCONTROLSEX other = {sizeof(INITCOMMONCONTROLSEX), 0x1}; // ICC_LISTVIEW_CLASSES
    EXPECT_FALSE(InitCommonControlsEx(&other));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_SUPPORTED);
    INITCOMMONCONTROLSEX badSize = {4, ICC_BAR_CLASSES};
    EXPECT_FALSE(InitCommonControlsEx(&badSize));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);

    // No bar (what the main window's lookup of id 4 yields): height 0.
    SetLastError(kSentinel);
    EXPECT_EQ(CommandBar_Height(nullptr), 0);
    EXPECT_EQ(GetLastError(), kSentinel);
    HWND top = MakeTop();
    SHMENUBARINFO mbi = MenuBarInfo(top);
    ASSERT_TRUE(SHCreateMenuBar(&mbi));
    EXPECT_EQ(CommandBar_Height(mbi.hwndMB), plat::kMenuBarHeight);
    EXPECT_EQ(CommandBar_Height((HWND)(uintptr_t)0x7770), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
}

// ===========================================================================
// Accelerators, key translation, input routing
// ===========================================================================
TEST_F(ShellPlatTest, Accelerators_CtrlQGivesExitToTheWindowGiven)
{
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    SetFocus(edit);
    SetLastError(kSentinel);
    HACCEL accel = LoadAcceleratorsW(plat::program_instance(), u"id_accel");
    ASSERT_NE(accel, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);

    // Ctrl+Q, as a display feeds it in, goes to the focus (the pane); the
    // accelerator turns it into WM_COMMAND 101 for the window given.
    plat::input_key('Q', plat::kModCtrl, 0x11);
    auto msgs = testsupport::DrainPosted();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].hwnd, edit);
    EXPECT_EQ(plat::input_modifiers_of(&msgs[0]), (unsigned)plat::kModCtrl);
    g_seen.clear();
    EXPECT_EQ(TranslateAcceleratorW(top, accel, &msgs[0]), 1);
    auto cmds = SeenOf(WM_COMMAND, top);
    ASSERT_EQ(cmds.size(), 1u); // sent at once, not posted
    EXPECT_EQ(LOWORD(cmds[0].wParam), 101);
    EXPECT_EQ(HIWORD(cmds[0].wParam), 1); // from an accelerator

    // Q alone, Ctrl+Shift+Q, Ctrl+W and the character itself are not it.
    struct
    {
        int vk;
        unsigned mods;
        char16_t ch;
    } others[] = {{'Q', 0, u'q'}, {'Q', plat::kModCtrl | plat::kModShift, 0x11}, {'W', plat::kModCtrl, 0x17}};
    for (auto& o : others)
    {
        plat::input_key(o.vk, o.mods, o.ch);
        auto m = testsupport::DrainPosted();
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(TranslateAcceleratorW(top, accel, &m[0]), 0);
        TranslateMessage(&m[0]);
        for (auto& c : testsupport::DrainPosted())
            EXPECT_EQ(TranslateAcceleratorW(top, accel, &c), 0); // WM_CHAR
    }
    EXPECT_EQ(SeenOf(WM_COMMAND, top).size(), 1u);

    MSG m = msgs[0];
    SetLastError(kSentinel);
    EXPECT_EQ(TranslateAcceleratorW(top, (HACCEL)&m, &m), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    EXPECT_EQ(TranslateAcceleratorW((HWND)(uintptr_t)0x7770, accel, &m), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(TranslateAcceleratorW(top, accel, nullptr), 0);

    SetLastError(kSentinel);
    EXPECT_EQ(LoadAcceleratorsW(plat::program_instance(), u"NO_ACCEL"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
}

TEST_F(ShellPlatTest, TranslateMessage_PostsTheCharacterOfAKeyPress)
{
    HWND top = MakeTop();
    plat::input_key('A', plat::kModShift, u'A');
    auto keys = testsupport::DrainPosted();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].hwnd, top); // no focus: the window in front
    EXPECT_EQ(keys[0].message, (UINT)WM_KEYDOWN);
    EXPECT_EQ(LOWORD(keys[0].lParam), 1); // repeat count
    EXPECT_TRUE(TranslateMessage(&keys[0]));
    auto chars = testsupport::DrainPosted();
    ASSERT_EQ(chars.size(), 1u);
    EXPECT_EQ(chars[0].message, (UINT)WM_CHAR);
    EXPECT_EQ(chars[0].hwnd, top);
    EXPECT_EQ(chars[0].wParam, (WPARAM)u'A');
    EXPECT_EQ(plat::input_modifiers_of(&chars[0]), (unsigned)plat::kModShift);

    // A key without a character: a key message all the same, no WM_CHAR.
    plat::input_key(plat::kVkDown, 0, 0);
    keys = testsupport::DrainPosted();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_TRUE(TranslateMessage(&keys[0]));
    EXPECT_TRUE(testsupport::DrainPosted().empty());
    // Alt shows in bit 29, as on the platform.
    plat::input_key('S', plat::kModAlt, u's');
    keys = testsupport::DrainPosted();
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_NE(keys[0].lParam & ((LPARAM)1 << 29), 0);

    MSG other = {top, WM_USER, 0, 0, 0, {0, 0}};
    EXPECT_FALSE(TranslateMessage(&other));
    EXPECT_FALSE(TranslateMessage(nullptr));
    EXPECT_TRUE(testsupport::DrainPosted().empty());
}

TEST_F(ShellPlatTest, InputKey_GoesToTheFocusInsideTheWindowInFront)
{
    HWND a = MakeTop();
    HWND b = MakeTop();
    HWND editB = MakeEdit(b);
    // Where one key from the display goes (null unless one message came).
    auto keyGoesTo = []() -> HWND
    {
        plat::input_key('X', 0, u'x');
        auto m = testsupport::DrainPosted();
        return m.size() == 1 ? m[0].hwnd : nullptr;
    };
    // Nothing in front: the program's window (the oldest) gets keys.
    EXPECT_EQ(keyGoesTo(), a);
    // b in front; its focus is its pane.
    ASSERT_TRUE(SetForegroundWindow(b));
    SetFocus(editB);
    EXPECT_EQ(keyGoesTo(), editB);
    // a in front again, the focus elsewhere: keys go to a itself.
    ASSERT_TRUE(SetForegroundWindow(a));
    SetFocus(editB);
    EXPECT_EQ(keyGoesTo(), a);

    plat::send_command(b, 77);
    auto m = testsupport::DrainPosted();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].hwnd, b);
    EXPECT_EQ(m[0].message, (UINT)WM_COMMAND);
    EXPECT_EQ(m[0].wParam, (WPARAM)77);
}

// ===========================================================================
// The foreground window
// ===========================================================================
TEST_F(ShellPlatTest, SetForegroundWindow_RecordsTheTopLevelWindowAndTellsTheDisplay)
{
    static std::atomic<int> foregroundChanges{0};
    static std::atomic<HWND> changed{nullptr};
    static const plat::DisplayOps ops = ChangeListener("recording",
                                                       [](HWND hwnd, unsigned what)
                                                       {
                                                           if (what & plat::kChangeForeground)
                                                           {
                                                               changed.store(hwnd);
                                                               foregroundChanges++;
                                                           }
                                                       });
    plat::display_set(&ops);
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    EXPECT_EQ(plat::foreground_window(), nullptr);
    SetLastError(kSentinel);
    EXPECT_TRUE(SetForegroundWindow((HWND)((uintptr_t)top | 1)));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(plat::foreground_window(), top);
    EXPECT_TRUE(plat::foreground_with_owned());
    EXPECT_EQ(changed.load(), top);
    EXPECT_EQ(foregroundChanges.load(), 1);
    // On its own thread the window also gets the focus.
    EXPECT_EQ(plat::focus_window(), top);
    EXPECT_FALSE(SeenOf(WM_SETFOCUS, top).empty());

    // A child brings its top-level window forward; without the flag, not the owned ones.
    EXPECT_TRUE(SetForegroundWindow(edit));
    EXPECT_EQ(plat::foreground_window(), top);
    EXPECT_FALSE(plat::foreground_with_owned());

    SetLastError(kSentinel);
    EXPECT_FALSE(SetForegroundWindow((HWND)(uintptr_t)0x7771));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(plat::foreground_window(), top);
    DestroyWindow(top);
    EXPECT_EQ(plat::foreground_window(), nullptr);
}

// ===========================================================================
// Dialogs
// ===========================================================================
struct DialogSpy
{
    int initDialogs = 0;
    int commands = 0;
    std::vector<int> ids;
    HWND initFocus = nullptr;
    LPARAM initParam = 0;
    std::u16string staticText;
    int endOn = 7;
    INT_PTR endWith = 42;
} g_spy;

BOOL SpyDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_INITDIALOG)
    {
        g_spy.initDialogs++;
        g_spy.initFocus = (HWND)wParam;
        g_spy.initParam = lParam;
        g_spy.staticText = plat::window_text(GetDlgItem(hDlg, 0xFFFF));
        return TRUE;
    }
    if (msg == WM_COMMAND)
    {
        g_spy.commands++;
        g_spy.ids.push_back(LOWORD(wParam));
        if (LOWORD(wParam) == g_spy.endOn)
            EndDialog(hDlg, g_spy.endWith);
        return TRUE;
    }
    return FALSE;
}

const DialogTemplate* AboutTemplate()
{
    HRSRC h = FindResourceW(plat::program_instance(), u"aboutbox", RT_DIALOG);
    return (const DialogTemplate*)LoadResource(plat::program_instance(), h);
}

// The owner's timer: three ticks after the other thread has posted its
// messages, it gives the dialog its ending command.
std::atomic<int> g_ownerTicks{0};
std::atomic<int> g_ticksAfterPosts{0};
std::atomic<bool> g_posted{false};
void OwnerTick(HWND, UINT, UINT_PTR, DWORD)
{
    g_ownerTicks++;
    if (g_posted.load() && ++g_ticksAfterPosts == 3)
        PostMessageW(plat::active_dialog(), WM_COMMAND, MAKEWPARAM(7, 0), 0);
}

TEST_F(ShellPlatTest, Dialog_EndsOnlyThroughEndDialogWhileTheOwnerKeepsItsMessages)
{
    HWND owner = MakeTop();
    const DialogTemplate* about = AboutTemplate();
    ASSERT_NE(about, nullptr);
    g_spy = {};
    g_ownerTicks = 0;
    g_ticksAfterPosts = 0;
    g_posted = false;
    ASSERT_NE(SetTimer(owner, 9, 20, OwnerTick), 0u);
    // Before the loop runs: messages that must not end the dialog.
    PostMessageW(owner, WM_USER + 3, 0, 0);
    std::thread poster(
        [&]
        {
            // From another thread, once the dialog is up: close it, Cancel, OK.
            for (int i = 0; i < 300 && plat::active_dialog() == nullptr; i++)
                std::this_thread::sleep_for(milliseconds(5));
            HWND dlg = plat::active_dialog();
            PostMessageW(dlg, WM_CLOSE, 0, 0);
            PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(IDOK, 0), 0);
            PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(3, 0), 0);
            g_posted = true;
        });
    INT_PTR r = DialogBoxIndirectParamW(plat::program_instance(), about, owner, SpyDlgProc, 1234);
    poster.join();
    EXPECT_EQ(r, 42);
    EXPECT_EQ(g_spy.initDialogs, 1);
    EXPECT_EQ(g_spy.initParam, 1234);
    EXPECT_NE(g_spy.initFocus, nullptr);
    EXPECT_EQ(g_spy.staticText.rfind(u"Tandrel - Written for Vela", 0), 0u);
    // WM_CLOSE came as IDCANCEL; none of the commands ended it but 7.
    ASSERT_GE(g_spy.ids.size(), 4u);
    EXPECT_EQ(g_spy.ids.back(), 7);
    EXPECT_NE(std::find(g_spy.ids.begin(), g_spy.ids.end(), IDCANCEL), g_spy.ids.end());
    EXPECT_NE(std::find(g_spy.ids.begin(), g_spy.ids.end(), IDOK), g_spy.ids.end());
    // The owner went on getting its posted message and its timer meanwhile.
    EXPECT_EQ(SeenOf(WM_USER + 3, owner).size(), 1u);
    EXPECT_GE(g_ownerTicks.load(), 3);
    KillTimer(owner, 9);
    // The dialog is gone and the owner takes the focus back.
    EXPECT_EQ(plat::active_dialog(), nullptr);
    for (HWND h : plat::window_list())
        EXPECT_FALSE(plat::dialog_of(h, nullptr));
}

TEST_F(ShellPlatTest, Dialog_IsMadeFromItsTemplateAndEnterGivesIdOk)
{
    HWND owner = MakeTop();
    const DialogTemplate* about = AboutTemplate();
    g_spy = {};
    g_spy.endOn = IDOK;
    g_spy.endWith = 0;
    std::atomic<bool> checked{false};
    std::thread driver(
        [&]
        {
            for (int i = 0; i < 300 && plat::active_dialog() == nullptr; i++)
                std::this_thread::sleep_for(milliseconds(5));
            HWND dlg = plat::active_dialog();
            plat::DialogState ds;
            plat::WindowInfo info;
            if (plat::dialog_of(dlg, &ds) && plat::window_info(dlg, &info))
            {
                EXPECT_EQ(ds.owner, owner);
                EXPECT_EQ(ds.tmpl, about);
                EXPECT_EQ(info.parent, owner);
                EXPECT_FALSE(info.child);
                EXPECT_TRUE(info.visible);
                EXPECT_EQ(plat::window_text(dlg), u"About");
                EXPECT_EQ(plat::window_thread_focus(dlg), dlg);
                checked = true;
            }
            plat::input_key(plat::kVkReturn, 0, u'\r'); // Enter, as a display feeds it
        });
    INT_PTR r = DialogBoxIndirectParamW(plat::program_instance(), about, owner, SpyDlgProc, 0);
    driver.join();
    EXPECT_TRUE(checked.load());
    EXPECT_EQ(r, 0);
    ASSERT_FALSE(g_spy.ids.empty());
    EXPECT_EQ(g_spy.ids.back(), IDOK);
}

TEST_F(ShellPlatTest, Dialog_RefusesBadArgumentsAndEndsWhenItsOwnerGoes)
{
    HWND owner = MakeTop();
    SetLastError(kSentinel);
    EXPECT_EQ(DialogBoxIndirectParamW(plat::program_instance(), nullptr, owner, SpyDlgProc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        DialogBoxIndirectParamW(plat::program_instance(), AboutTemplate(), (HWND)(uintptr_t)0x7770, SpyDlgProc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(kSentinel);
    EXPECT_FALSE(EndDialog(owner, 0)); // not a dialog
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);

    // A control of an unknown class: no dialog.
    static const DialogItemTemplate badItem[] = {{WS_VISIBLE, 0, 0, 0, 10, 10, 1, u"no such class", u"x"}};
    static const DialogTemplate bad = {WS_POPUP, 0, 0, 0, 50, 50, u"Bad", 0, nullptr, badItem, 1};
    size_t windows = plat::window_list().size();
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &bad, owner, SpyDlgProc, 0), -1);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_CANNOT_FIND_WND_CLASS);
    EXPECT_EQ(plat::window_list().size(), windows);

    // The owner destroyed under the dialog: it goes with its owner, and the
    // call returns -1 instead of waiting for an EndDialog that cannot come.
    g_spy = {};
    PostMessageW(owner, WM_CLOSE, 0, 0);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, AboutTemplate(), owner, SpyDlgProc, 0), -1);
    EXPECT_FALSE(IsWindow(owner));
    EXPECT_EQ(plat::active_dialog(), nullptr);
}

TEST_F(ShellPlatTest, Dialog_EndDialogFromAnotherThreadEndsTheLoop)
{
    HWND owner = MakeTop();
    g_spy = {};
    std::thread ender(
        [&]
        {
            for (int i = 0; i < 300 && plat::active_dialog() == nullptr; i++)
                std::this_thread::sleep_for(milliseconds(5));
            EXPECT_TRUE(EndDialog(plat::active_dialog(), 9));
        });
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, AboutTemplate(), owner, SpyDlgProc, 0), 9);
    ender.join();
}

// ===========================================================================
// The headless display's output
// ===========================================================================
std::string ReadAvailable(int fd, int ms = 500)
{
    std::string out;
    char buffer[65536];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, ms) > 0)
    {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0)
            break;
        out.append(buffer, (size_t)n);
        ms = 50;
    }
    return out;
}

TEST_F(ShellPlatTest, Headless_WritesTheLogPaneTextAndEachBoxAndDialogAsALine)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    plat::display_set(plat::headless_display_open(fds[1]));
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"Banner\r\n");
    std::thread worker([&] { SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"caf\u00e9 \u20ac"); });
    ASSERT_TRUE(PumpUntil([&] { return plat::window_text(edit).size() == 14; }));
    worker.join();
    SendMessageW(edit, WM_SETTEXT, 0, (LPARAM)u"replaced"); // not new pane text: not written
    // Mid-line, a box starts a line of its own; its line breaks become spaces.
    EXPECT_EQ(MessageBoxW(nullptr, u"Reboot device/Reset module !", u"Successful", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxW(top, u"first\r\nsecond\r\n", nullptr, MB_OK), IDOK);
    SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"#");
    EXPECT_EQ(ReadAvailable(fds[0]), "Banner\r\ncaf\xc3\xa9 \xe2\x82\xac\n[box] Successful: Reboot device/Reset module "
                                     "!\n[box] Error: first second\n#");
    // The boxes are still recorded and answered as before.
    auto boxes = plat::display_box_list();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].caption, u"Successful");
    EXPECT_EQ(boxes[0].result, IDOK);
    EXPECT_FALSE(boxes[1].open);

    // A dialog is written out once, when shown; it is not answered.
    std::thread ender(
        [&]
        {
            for (int i = 0; i < 300 && plat::active_dialog() == nullptr; i++)
                std::this_thread::sleep_for(milliseconds(5));
            std::this_thread::sleep_for(milliseconds(50));
            EndDialog(plat::active_dialog(), 5);
        });
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, AboutTemplate(), top, nullptr, 0), 5);
    ender.join();
    EXPECT_EQ(ReadAvailable(fds[0]), "\n[dialog] About: Tandrel - Written for Vela to update phone module firmware and "
                                     "transmit data between BTUART and FFUART\n");

    plat::headless_display_close();
    SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"after");
    EXPECT_EQ(ReadAvailable(fds[0], 100), "");
    close(fds[0]);
    close(fds[1]);
}

TEST_F(ShellPlatTest, Headless_AReaderThatStopsCostsOutputNotProgress)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    ASSERT_GT(fcntl(fds[1], F_SETPIPE_SZ, 8192), 0); // two pages
    plat::display_set(plat::headless_display_open(fds[1]));
    HWND top = MakeTop();
    HWND edit = MakeEdit(top);
    std::u16string line(1000, u'x');
    line += u"\r\n";
    auto start = steady_clock::now();
    for (int i = 0; i < 16; i++)
        SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)line.c_str());
    auto took = duration_cast<milliseconds>(steady_clock::now() - start).count();
    EXPECT_LT(took, 4 * plat::kHeadlessWriteWaitMs); // one bounded wait per blocked write, not forever
    std::string first = ReadAvailable(fds[0]);
    EXPECT_LT(first.size(), 16 * 1002u);
    EXPECT_EQ(first.size() % 1002, 0u); // whole lines until the reader stalled
    SendMessageW(edit, EM_REPLACESEL, 0, (LPARAM)u"end\r\n");
    std::string next = ReadAvailable(fds[0]);
    EXPECT_NE(next.find("bytes lost, nobody read them]\n"), std::string::npos) << next;
    EXPECT_EQ(next.substr(next.size() - 5), "end\r\n");
    plat::headless_display_close();
    close(fds[0]);
    close(fds[1]);
}
} // namespace
