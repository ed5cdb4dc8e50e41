// The terminal display's logic without a terminal: log pane wrapping and
// scrolling, word wrapping for boxes, menu navigation, the layout of bars,
// drop-downs, boxes and dialogs, and how keys and clicks are routed. The
// display itself on a pseudo-terminal is tested in terminal_test.cpp.
#include "platform/shellapi/shell_ui.h"
#include "platform/displays/terminal.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace
{
using namespace plat::term;

class TerminalModel : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // Widths come from the locale, as they do for ncurses.
        if (setlocale(LC_ALL, "C.UTF-8") == nullptr)
            GTEST_SKIP() << "no C.UTF-8 locale here";
    }
};

std::vector<std::u32string> Rows(std::initializer_list<const char32_t*> rows)
{
    std::vector<std::u32string> out;
    for (auto r : rows)
        out.emplace_back(r);
    return out;
}

// ---------------------------------------------------------------------------
// Log pane wrapping
// ---------------------------------------------------------------------------
TEST_F(TerminalModel, WrapLog_CrLfEndsALineLoneLfTooLoneCrShowsNothing)
{
    EXPECT_EQ(wrap_log(u"one\r\ntwo\nthree\rfour", 20), Rows({U"one", U"two", U"threefour"}));
    // Text ending with a line end has the caret on an empty last row.
    EXPECT_EQ(wrap_log(u"banner\r\n", 20), Rows({U"banner", U""}));
    EXPECT_EQ(wrap_log(u"", 20), Rows({U""}));
    EXPECT_EQ(wrap_log(u"\r\n\r\n", 20), Rows({U"", U"", U""}));
}

TEST_F(TerminalModel, WrapLog_LongLinesWrapAtThePaneWidth)
{
    EXPECT_EQ(wrap_log(u"abcdefghij", 4), Rows({U"abcd", U"efgh", U"ij"}));
    EXPECT_EQ(wrap_log(u"abcd", 4), Rows({U"abcd"}));
    // Progress marks without line ends fill whole rows.
    std::u16string marks(25, u'#');
    auto rows = wrap_log(marks + u"\r\nDone\r\n", 10);
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], std::u32string(10, U'#'));
    EXPECT_EQ(rows[2], std::u32string(5, U'#'));
    EXPECT_EQ(rows[3], U"Done");
    // A width below one still makes progress.
    EXPECT_EQ(wrap_log(u"ab", 0), Rows({U"a", U"b"}));
}

TEST_F(TerminalModel, WrapLog_TabsStopEveryEightColumnsAndNeverOverflow)
{
    EXPECT_EQ(wrap_log(u"a\tb", 20), Rows({U"a       b"}));
    EXPECT_EQ(wrap_log(u"abcdefgh\tx", 20), Rows({U"abcdefgh        x"}));
    for (auto& row : wrap_log(u"abc\tdef\tghi\t\tj", 6))
        EXPECT_LE(text_cells(row), 6);
}

TEST_F(TerminalModel, WrapLog_WideCharactersAreNeverSplitAcrossRows)
{
    auto rows = wrap_log(u"ab\u6f22\u5b57", 3);
    EXPECT_EQ(rows, Rows({U"ab", U"\u6f22", U"\u5b57"}));
    for (auto& row : rows)
        EXPECT_LE(text_cells(row), 3);
    // A one-cell pane cannot hold a double-width character.
    EXPECT_EQ(wrap_log(u"\u6f22", 1), Rows({U"?"}));
}

TEST_F(TerminalModel, WrapLog_ControlCharactersAndBrokenSurrogatesAreShownSafely)
{
    EXPECT_EQ(wrap_log(u"\x01x\x1b[2Jy", 20), Rows({U"?x?[2Jy"}));
    std::u16string pair = u"\U0001F600";
    ASSERT_EQ(pair.size(), 2u);
    auto rows = wrap_log(pair, 20);
    EXPECT_EQ(rows[0].size(), 1u);
    EXPECT_EQ(rows[0][0], U'\U0001F600');
    std::u16string lone = {u'a', (char16_t)0xD800, u'b'};
    EXPECT_EQ(wrap_log(lone, 20), Rows({U"a\uFFFDb"}));
}

TEST_F(TerminalModel, WrapLog_RowStartsLetAViewKeepItsPlaceAtAnotherWidth)
{
    std::vector<size_t> starts;
    EXPECT_EQ(wrap_log(u"abc\r\ndefgh", 3, &starts), Rows({U"abc", U"def", U"gh"}));
    EXPECT_EQ(starts, (std::vector<size_t>{0, 5, 8}));
    // "gh" began at 8; wrapped at 10 columns that text is in row 1.
    EXPECT_EQ(wrap_log(u"abc\r\ndefgh", 10, &starts), Rows({U"abc", U"defgh"}));
    EXPECT_EQ(starts, (std::vector<size_t>{0, 5}));
    EXPECT_EQ(row_of_offset(starts, 8), 1);
    EXPECT_EQ(row_of_offset(starts, 0), 0);
    EXPECT_EQ(row_of_offset(starts, 4), 0);
    EXPECT_EQ(row_of_offset(starts, 1000), 1);
    // One start per row, always.
    for (int w = 1; w < 12; w++)
    {
        auto rows = wrap_log(u"x\ty\r\n\r\nlonger line here\u6f22\u5b57", w, &starts);
        EXPECT_EQ(rows.size(), starts.size()) << "width " << w;
        EXPECT_TRUE(std::is_sorted(starts.begin(), starts.end()));
    }
}

// ---------------------------------------------------------------------------
// Word wrapping
// ---------------------------------------------------------------------------
TEST_F(TerminalModel, WrapWords_BreaksAtSpacesAndCutsWordsLongerThanTheWidth)
{
    EXPECT_EQ(wrap_words(u"Reboot device/Reset module !", 30), Rows({U"Reboot device/Reset module !"}));
    EXPECT_EQ(wrap_words(u"Reboot device/Reset module !", 14), Rows({U"Reboot", U"device/Reset", U"module !"}));
    EXPECT_EQ(wrap_words(u"Reboot device/Reset module !", 8), Rows({U"Reboot", U"device/R", U"eset", U"module !"}));
    for (int w = 1; w < 30; w++)
        for (auto& row : wrap_words(u"Tandrel - Written for Vela to update phone module firmware", w))
            EXPECT_LE(text_cells(row), w) << "width " << w;
}

TEST_F(TerminalModel, WrapWords_LineEndsForceBreaksAndEmptyLinesStay)
{
    EXPECT_EQ(wrap_words(u"first\r\n\r\nsecond line", 40), Rows({U"first", U"", U"second line"}));
    EXPECT_EQ(wrap_words(u"", 40), Rows({U""}));
    EXPECT_EQ(wrap_words(u"a   b", 40), Rows({U"a b"}));
}

// ---------------------------------------------------------------------------
// Log view scrolling
// ---------------------------------------------------------------------------
// The view's first row and whether it follows the end.
::testing::AssertionResult ViewIs(const LogView& v, int top, bool follow)
{
    if (v.top == top && v.follow == follow)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "top " << v.top << (v.follow ? ", following" : ", held")
                                         << "; expected top " << top << (follow ? ", following" : ", held");
}

TEST_F(TerminalModel, LogView_FollowsTheEndWhileItIsThere)
{
    LogView v;
    log_resize(v, 3, 10);
    EXPECT_TRUE(ViewIs(v, 0, true));
    log_resize(v, 25, 10);
    EXPECT_EQ(v.top, 15);
    log_resize(v, 40, 10);
    EXPECT_TRUE(ViewIs(v, 30, true));
}

TEST_F(TerminalModel, LogView_ScrolledBackItHoldsStillUntilBroughtBackToTheEnd)
{
    LogView v;
    log_resize(v, 100, 10);
    log_scroll(v, -5);
    EXPECT_TRUE(ViewIs(v, 85, false));
    log_resize(v, 150, 10); // more text came
    EXPECT_TRUE(ViewIs(v, 85, false));
    log_scroll(v, 1000); // clamped at the end, which follows again
    EXPECT_TRUE(ViewIs(v, 140, true));
    log_resize(v, 160, 10);
    EXPECT_EQ(v.top, 150);
}

TEST_F(TerminalModel, LogView_PagesHomeEndAndBounds)
{
    LogView v;
    log_resize(v, 100, 10);
    log_page(v, -1);
    EXPECT_EQ(v.top, 81); // a page keeps one row of context
    log_page(v, -100);
    EXPECT_EQ(v.top, 0);
    log_scroll(v, -1);
    EXPECT_EQ(v.top, 0);
    log_end(v);
    EXPECT_TRUE(ViewIs(v, 90, true));
    log_home(v);
    EXPECT_TRUE(ViewIs(v, 0, false));
    // A shrinking text pulls a scrolled-back view into range.
    log_resize(v, 5, 10);
    EXPECT_TRUE(ViewIs(v, 0, true));
}

TEST_F(TerminalModel, LogView_TallerPaneKeepsTheEndInView)
{
    LogView v;
    log_resize(v, 100, 10);
    log_resize(v, 100, 30);
    EXPECT_EQ(v.top, 70);
    log_resize(v, 100, 0);
    EXPECT_EQ(v.top, 100);
}

// ---------------------------------------------------------------------------
// Menus
// ---------------------------------------------------------------------------
std::vector<MenuItemView> SystemItems()
{
    return {
        {U"Update firmware - Go", 118, false},
        {U"", 0, true},
        {U"Exit", 101, false},
    };
}

TEST_F(TerminalModel, MenuStep_SkipsSeparatorsAndWrapsRound)
{
    auto items = SystemItems();
    EXPECT_EQ(menu_first(items), 0);
    EXPECT_EQ(menu_last(items), 2);
    EXPECT_EQ(menu_step(items, 0, +1), 2);
    EXPECT_EQ(menu_step(items, 2, +1), 0);
    EXPECT_EQ(menu_step(items, 0, -1), 2);
    EXPECT_EQ(menu_step(items, 2, -1), 0);
    std::vector<MenuItemView> lines = {{U"", 0, true}, {U"", 0, true}};
    EXPECT_EQ(menu_step(lines, 0, +1), -1);
    EXPECT_EQ(menu_first({}), -1);
}

TEST_F(TerminalModel, MenuHotkey_MatchesTheFirstLetterWhateverTheCase)
{
    auto items = SystemItems();
    EXPECT_EQ(menu_hotkey(items, U'u'), 0);
    EXPECT_EQ(menu_hotkey(items, U'E'), 2);
    EXPECT_EQ(menu_hotkey(items, U'x'), -1);
}

// ---------------------------------------------------------------------------
// Layout
// ---------------------------------------------------------------------------
bool Inside(const Rect& inner, const Rect& outer)
{
    return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.w <= outer.x + outer.w &&
           inner.y + inner.h <= outer.y + outer.h;
}

TEST_F(TerminalModel, LayoutBox_CentresTheTextWithTheButtonUnderIt)
{
    BoxLayout b = layout_box(u"Successful", u"Reboot device/Reset module !", 80, 25);
    Rect screen{0, 0, 80, 25};
    EXPECT_TRUE(Inside(b.frame, screen));
    ASSERT_EQ(b.lines.size(), 1u);
    EXPECT_EQ(b.lines[0], U"Reboot device/Reset module !");
    EXPECT_EQ(b.caption, U"Successful");
    EXPECT_GE(b.frame.w, 28 + 4);
    EXPECT_EQ(b.frame.h, 5);
    EXPECT_NEAR(b.frame.x, (80 - b.frame.w) / 2, 1);
    EXPECT_NEAR(b.frame.y, (25 - b.frame.h) / 2, 1);
    EXPECT_TRUE(Inside(b.ok, b.frame));
    EXPECT_EQ(b.ok.y, b.frame.y + b.frame.h - 2);
    EXPECT_GT(b.ok.y, b.frame.y + (int)b.lines.size()); // under the text
}

TEST_F(TerminalModel, LayoutBox_LongTextWrapsAndASmallScreenClipsItInside)
{
    std::u16string text;
    for (int i = 0; i < 200; i++)
        text += u"word ";
    BoxLayout b = layout_box(u"Caption", text, 80, 25);
    EXPECT_TRUE(Inside(b.frame, Rect{0, 0, 80, 25}));
    EXPECT_GT(b.lines.size(), 1u);
    for (auto& l : b.lines)
        EXPECT_LE(text_cells(l), b.frame.w - 4);

    BoxLayout s = layout_box(u"A very long caption that cannot fit", text, 20, 8);
    EXPECT_TRUE(Inside(s.frame, Rect{0, 0, 20, 8}));
    EXPECT_EQ(s.lines.size(), 4u); // 8 rows less the frame, blank and button rows
    EXPECT_LE(text_cells(s.caption), s.frame.w - 4);
    EXPECT_TRUE(Inside(s.ok, s.frame));
}

const DialogItemTemplate kAboutItems[] = {
    {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, 12, 5, 114, 46, 0xFFFF, u"static",
     u"Tandrel - Written for Vela to update phone module firmware and transmit data between BTUART and FFUART"},
};
const DialogTemplate kAbout = {
    WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 10, 10, 136, 56, u"About", 10, u"System", kAboutItems, 1,
};

std::u32string Joined(const std::vector<std::u32string>& lines)
{
    std::u32string s;
    for (auto& l : lines)
        s += (s.empty() ? U"" : U" ") + l;
    return s;
}

TEST_F(TerminalModel, LayoutDialog_DialogUnitsBecomeCellsAndTheWholeTextShows)
{
    DialogLayout d = layout_dialog(kAbout, 80, 25);
    EXPECT_TRUE(Inside(d.frame, Rect{0, 0, 80, 25}));
    EXPECT_EQ(d.frame.w, 136 / 4 + 2);
    EXPECT_EQ(d.caption, U"About");
    ASSERT_EQ(d.texts.size(), 1u);
    EXPECT_EQ(Joined(d.texts[0].lines), U"Tandrel - Written for Vela to update phone module firmware and transmit data "
                                        U"between BTUART and FFUART");
    EXPECT_EQ(d.texts[0].x, d.frame.x + 1 + 12 / 4);
    for (auto& l : d.texts[0].lines)
        EXPECT_LE(text_cells(l), d.texts[0].w);
    EXPECT_LE(d.texts[0].y + (int)d.texts[0].lines.size(), d.frame.y + d.frame.h - 1);
    EXPECT_EQ(d.ok.y, d.frame.y);
    EXPECT_TRUE(Inside(d.ok, d.frame));
}

// A static whose text is an integer resource shows the program's string of
// that id (the About box's version line, which the process entry supplies),
// and nothing while the program has no such string.
TEST_F(TerminalModel, LayoutDialog_AStringResourceTextShowsTheProgramsString)
{
    const WORD kId = 40016;
    const DialogItemTemplate items[] = {
        kAboutItems[0],
        {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 12, 52, 114, 8, 0xFFFF, u"static", MAKEINTRESOURCEW(kId)},
    };
    const DialogTemplate about = {
        WS_POPUP | WS_VISIBLE | WS_CAPTION, 0, 10, 10, 136, 64, u"About", 10, u"System", items, 2};
    EXPECT_EQ(layout_dialog(about, 80, 25).texts.size(), 1u); // the image alone has no string 40016

    static StringBundle s_bundle = {};
    s_bundle.strings[kId % STRINGS_PER_BUNDLE] = u"fwutil 9.8.7";
    static const ResourceEntry s_table[] = {
        {{RESTYPE_STRING, nullptr}, {kId / STRINGS_PER_BUNDLE + 1, nullptr}, &s_bundle, sizeof(s_bundle)},
    };
    RegisterProgramResources(s_table, 1);
    DialogLayout d = layout_dialog(about, 80, 25);
    ASSERT_EQ(d.texts.size(), 2u);
    EXPECT_EQ(Joined(d.texts[0].lines), U"Tandrel - Written for Vela to update phone module firmware and transmit data "
                                        U"between BTUART and FFUART");
    EXPECT_EQ(d.texts[1].lines, Rows({U"fwutil 9.8.7"}));
    EXPECT_EQ(d.texts[1].y, d.frame.y + 1 + 52 / 8); // under the text, inside the frame
    EXPECT_GT(d.texts[1].y, d.texts[0].y + (int)d.texts[0].lines.size() - 1);
    EXPECT_LT(d.texts[1].y, d.frame.y + d.frame.h - 1);
}

TEST_F(TerminalModel, LayoutDialog_StaysOnASmallScreen)
{
    DialogLayout d = layout_dialog(kAbout, 24, 6);
    EXPECT_TRUE(Inside(d.frame, Rect{0, 0, 24, 6}));
    ASSERT_EQ(d.texts.size(), 1u);
    EXPECT_LE(d.texts[0].y + (int)d.texts[0].lines.size(), d.frame.y + d.frame.h - 1);
    for (auto& l : d.texts[0].lines)
        EXPECT_LE(d.texts[0].x + text_cells(l), d.frame.x + d.frame.w - 1);
}

std::vector<MenuButtonView> SystemBar()
{
    return {{U"System", 40001, SystemItems()}};
}

TEST_F(TerminalModel, LayoutScreen_TitleOkAtTheRightBarAtTheBottomDropDownAboveItsButton)
{
    ScreenLayout s = layout_screen(80, 25, true, SystemBar(), 0);
    EXPECT_EQ(s.client.y, 1);
    EXPECT_EQ(s.client.h, 22);
    // The status line has the row between the client area and the bar.
    EXPECT_EQ(s.status.y, 23);
    EXPECT_EQ(s.status.x, 0);
    EXPECT_EQ(s.status.w, 80);
    EXPECT_EQ(s.status.h, 1);
    EXPECT_EQ(s.ok.y, 0);
    EXPECT_EQ(s.ok.x + s.ok.w, 79);
    ASSERT_EQ(s.buttons.size(), 1u);
    EXPECT_EQ(s.buttons[0].y, 24);
    EXPECT_EQ(s.buttons[0].w, 8);
    EXPECT_EQ(s.popup.y + s.popup.h, 24); // sits on the bar
    EXPECT_EQ(s.popup.x, 0);
    ASSERT_EQ(s.popupItems.size(), 3u);
    for (size_t i = 0; i < 3; i++)
    {
        EXPECT_TRUE(Inside(s.popupItems[i], s.popup));
        EXPECT_GE(s.popupItems[i].w, text_cells(SystemItems()[i].caption) + 2);
    }

    ScreenLayout noOk = layout_screen(80, 25, false, SystemBar(), -1);
    EXPECT_EQ(noOk.ok.w, 0);
    EXPECT_EQ(noOk.popup.w, 0);

    int w = 0, h = 0;
    client_size(80, 25, &w, &h);
    EXPECT_EQ(w, 80);
    EXPECT_EQ(h, 22);
}

TEST_F(TerminalModel, LayoutScreen_ShortScreenClipsTheDropDownBelowTheTitle)
{
    ScreenLayout s = layout_screen(12, 4, true, SystemBar(), 0);
    EXPECT_GE(s.popup.y, 1);
    EXPECT_TRUE(Inside(s.popup, Rect{0, 0, 12, 4}));
    for (auto& r : s.popupItems)
        EXPECT_TRUE(Inside(r, s.popup));
}

// The status row is given up before the client area's last row.
TEST_F(TerminalModel, LayoutScreen_AScreenTooShortForTheStatusRowKeepsAClientRow)
{
    // rows  client rows  status row
    const struct
    {
        int rows;
        int clientH;
        int statusH;
    } cases[] = {
        {5, 2, 1},
        {4, 1, 1},
        {3, 1, 0},
    };
    for (const auto& c : cases)
    {
        ScreenLayout s = layout_screen(40, c.rows, true, SystemBar(), -1);
        EXPECT_EQ(s.client.h, c.clientH) << c.rows;
        EXPECT_EQ(s.status.h, c.statusH) << c.rows;
        int w = 0, h = 0;
        client_size(40, c.rows, &w, &h);
        EXPECT_EQ(h, c.clientH) << c.rows;
        if (c.statusH > 0)
        {
            EXPECT_EQ(s.status.y, s.client.y + s.client.h) << c.rows;
        }
    }
}

// The status row keeps a status whole where it fits and cuts it with an
// ellipsis where it does not.
TEST_F(TerminalModel, FitEllipsis_CutsOnlyWhatDoesNotFit)
{
    const std::u32string bridge = U"Bridge COM1: simulator sent 0 B, COM3: /dev/pts/12 sent 0 B";
    // text   cells   shown
    const struct
    {
        std::u32string text;
        int cells;
        std::u32string shown;
    } cases[] = {
        {bridge, 76, bridge},
        {bridge, (int)bridge.size(), bridge},
        {bridge, (int)bridge.size() - 1, bridge.substr(0, bridge.size() - 2) + U"\u2026"},
        {bridge, 20, U"Bridge COM1: simula\u2026"},
        {U"\u65e5\u672c\u8a9e", 4, U"\u65e5\u2026"}, // a wide character is never split
        {U"abc", 1, U"\u2026"},                      // room for the ellipsis alone
        {U"abc", 0, U""},
    };
    for (const auto& c : cases)
    {
        std::u32string got = fit_ellipsis(c.text, c.cells);
        EXPECT_EQ(got, c.shown) << c.cells;
        EXPECT_LE(text_cells(got), std::max(c.cells, 0)) << c.cells;
    }
}

// ---------------------------------------------------------------------------
// Routing input
// ---------------------------------------------------------------------------
const HWND kMain = (HWND)(uintptr_t)0x1000;
const HWND kOwner = (HWND)(uintptr_t)0x1010;
const HWND kDialog = (HWND)(uintptr_t)0x1020;

struct Ui
{
    UiState ui;
    LogView pane;
    ScreenLayout layout;
    Ui()
    {
        ui.front = kMain;
        ui.titleOk = true;
        ui.menuOwner = kOwner;
        ui.buttons = SystemBar();
        log_resize(pane, 100, 20);
        ui.pane = &pane;
        Relayout();
    }
    void Relayout()
    {
        layout = layout_screen(80, 25, ui.titleOk, ui.buttons, ui.openButton);
    }
    std::vector<Action> Press(Key k)
    {
        auto a = handle_key(ui, layout, k);
        Relayout();
        return a;
    }
    std::vector<Action> Click(int x, int y, Mouse m = Mouse::Press)
    {
        auto a = handle_mouse(ui, layout, m, x, y);
        Relayout();
        return a;
    }
};

Key K(KeyKind kind)
{
    return Key{kind};
}
Key Fn(int n)
{
    return Key{KeyKind::Function, 0, 0, n};
}
Key Ch(char32_t c, unsigned mods = 0)
{
    return Key{KeyKind::Char, c, mods};
}

// The one action that is not a redraw, or a Redraw action when there is none.
Action Only(const std::vector<Action>& actions)
{
    Action found{Action::Redraw};
    int n = 0;
    for (auto& a : actions)
        if (a.kind != Action::Redraw)
        {
            found = a;
            n++;
        }
    EXPECT_LE(n, 1);
    return found;
}

void ExpectCommand(const Action& a, HWND target, int id)
{
    EXPECT_EQ(a.kind, Action::Command);
    EXPECT_EQ(a.target, target);
    EXPECT_EQ(a.id, id);
}

TEST_F(TerminalModel, Keys_F1OpensTheMenuArrowsSkipTheSeparatorEnterPicks)
{
    Ui u;
    EXPECT_EQ(Only(u.Press(Fn(1))).kind, Action::Redraw);
    EXPECT_EQ(u.ui.openButton, 0);
    EXPECT_EQ(u.ui.selItem, 0);
    u.Press(K(KeyKind::Down));
    EXPECT_EQ(u.ui.selItem, 2);
    u.Press(K(KeyKind::Down));
    EXPECT_EQ(u.ui.selItem, 0);
    u.Press(K(KeyKind::Up));
    EXPECT_EQ(u.ui.selItem, 2);
    ExpectCommand(Only(u.Press(K(KeyKind::Enter))), kOwner, 101);
    EXPECT_EQ(u.ui.openButton, -1);
    EXPECT_EQ(u.pane.top, 80); // menu keys never scrolled the pane
}

TEST_F(TerminalModel, Keys_AltAndTheButtonLetterOpenEscClosesWithoutACommand)
{
    Ui u;
    u.Press(Ch(U's', plat::kModAlt));
    EXPECT_EQ(u.ui.openButton, 0);
    EXPECT_EQ(Only(u.Press(K(KeyKind::Escape))).kind, Action::Redraw);
    EXPECT_EQ(u.ui.openButton, -1);
    u.Press(Ch(U'S', plat::kModAlt));
    EXPECT_EQ(u.ui.openButton, 0);
    u.Press(Fn(1)); // F1 toggles
    EXPECT_EQ(u.ui.openButton, -1);
}

TEST_F(TerminalModel, Keys_ItemLetterPicksAndUpdateGoesToTheBarOwner)
{
    Ui u;
    u.Press(Fn(1));
    ExpectCommand(Only(u.Press(Ch(U'u'))), kOwner, 118);
    EXPECT_EQ(u.ui.openButton, -1);
    u.Press(Fn(1));
    EXPECT_TRUE(u.Press(Ch(U'z')).empty()); // no such item: the menu stays
    EXPECT_EQ(u.ui.openButton, 0);
}

TEST_F(TerminalModel, Keys_CtrlQGoesToTheProgramAsAKeyNotAsACommand)
{
    Ui u;
    Action a = Only(u.Press(Ch(0x11, plat::kModCtrl)));
    EXPECT_EQ(a.kind, Action::InputKey);
    EXPECT_EQ(a.vk, 'Q');
    EXPECT_EQ(a.mods & plat::kModCtrl, plat::kModCtrl);
    EXPECT_EQ(a.ch, 0x11);
}

TEST_F(TerminalModel, Keys_F10IsTheTitleBarOkOnlyWhenTheWindowHasIt)
{
    Ui u;
    ExpectCommand(Only(u.Press(Fn(10))), kMain, IDOK);
    u.ui.titleOk = false;
    u.Relayout();
    Action a = Only(u.Press(Fn(10)));
    EXPECT_EQ(a.kind, Action::InputKey);
    EXPECT_EQ(a.vk, plat::kVkF10);
}

TEST_F(TerminalModel, Keys_ScrollKeysMoveThePaneOtherwiseGoToTheProgram)
{
    Ui u;
    u.Press(K(KeyKind::PageUp));
    EXPECT_EQ(u.pane.top, 61);
    EXPECT_FALSE(u.pane.follow);
    u.Press(K(KeyKind::Home));
    EXPECT_EQ(u.pane.top, 0);
    u.Press(K(KeyKind::End));
    EXPECT_TRUE(u.pane.follow);
    u.ui.pane = nullptr;
    Action a = Only(u.Press(K(KeyKind::PageUp)));
    EXPECT_EQ(a.kind, Action::InputKey);
    EXPECT_EQ(a.vk, plat::kVkPrior);
}

TEST_F(TerminalModel, Keys_ABoxTakesEveryKeyAndOnlyAnswersIt)
{
    Ui u;
    u.ui.boxUp = true;
    EXPECT_EQ(Only(u.Press(K(KeyKind::Enter))).kind, Action::AnswerBox);
    EXPECT_EQ(Only(u.Press(K(KeyKind::Escape))).kind, Action::AnswerBox);
    EXPECT_EQ(Only(u.Press(Ch(U' '))).id, IDOK);
    EXPECT_TRUE(u.Press(Ch(0x11, plat::kModCtrl)).empty());
    EXPECT_TRUE(u.Press(Fn(1)).empty());
    EXPECT_EQ(u.ui.openButton, -1);
    EXPECT_TRUE(u.Press(K(KeyKind::PageUp)).empty());
    EXPECT_EQ(u.pane.top, 80);
}

// A yes/no box whose default is No: Left, Right and Tab move the focus
// between its buttons, Enter and Space answer the focused one, Y and N and
// Esc answer as they say whatever has the focus.
TEST_F(TerminalModel, Keys_AYesNoBoxMovesTheFocusAndEnterTakesIt)
{
    // keys, in order                                                       answer
    const struct
    {
        std::vector<Key> keys;
        int answer;
    } rows[] = {
        {{K(KeyKind::Enter)}, IDNO},
        {{K(KeyKind::Left), K(KeyKind::Enter)}, IDYES},
        {{K(KeyKind::Right), K(KeyKind::Enter)}, IDYES},
        {{K(KeyKind::Tab), K(KeyKind::Enter)}, IDYES},
        {{K(KeyKind::Tab), K(KeyKind::Tab), K(KeyKind::Enter)}, IDNO},
        {{K(KeyKind::Left), Ch(U' ')}, IDYES},
        {{K(KeyKind::Left), K(KeyKind::Escape)}, IDNO},
        {{K(KeyKind::Left), Ch(U'n')}, IDNO},
        {{Ch(U'y')}, IDYES},
    };
    for (const auto& row : rows)
    {
        Ui u;
        u.ui.boxUp = true;
        u.ui.boxLayout = layout_box(u"Update in progress", u"Quit anyway?", 80, 25, MB_YESNO | MB_DEFBUTTON2);
        std::vector<Action> got;
        for (const Key& k : row.keys)
            got = u.Press(k);
        ASSERT_EQ(got.size(), 1u) << row.keys.size() << " keys";
        EXPECT_EQ(got[0].kind, Action::AnswerBox);
        EXPECT_EQ(got[0].id, row.answer) << row.keys.size() << " keys";
    }
}

TEST_F(TerminalModel, Keys_DialogGetsOkOnEnterAndCancelOnEsc)
{
    Ui u;
    u.ui.dialog = kDialog;
    ExpectCommand(Only(u.Press(K(KeyKind::Enter))), kDialog, IDOK);
    ExpectCommand(Only(u.Press(K(KeyKind::Escape))), kDialog, IDCANCEL);
    EXPECT_TRUE(u.Press(Fn(1)).empty());
    // A box over the dialog comes first.
    u.ui.boxUp = true;
    EXPECT_EQ(Only(u.Press(K(KeyKind::Enter))).kind, Action::AnswerBox);
}

TEST_F(TerminalModel, Mouse_ClicksOnOkButtonAndItems)
{
    Ui u;
    ExpectCommand(Only(u.Click(u.layout.ok.x + 1, 0)), kMain, IDOK);
    u.Click(u.layout.buttons[0].x + 2, 24);
    ASSERT_EQ(u.ui.openButton, 0);
    Rect sep = u.layout.popupItems[1];
    EXPECT_TRUE(u.Click(sep.x + 1, sep.y).empty()); // a separator does nothing
    EXPECT_EQ(u.ui.openButton, 0);
    Rect update = u.layout.popupItems[0];
    ExpectCommand(Only(u.Click(update.x + 3, update.y)), kOwner, 118);
    EXPECT_EQ(u.ui.openButton, -1);
}

TEST_F(TerminalModel, Mouse_ClickOutsideClosesTheMenuButSendsNothing)
{
    Ui u;
    u.Press(Fn(1));
    EXPECT_EQ(Only(u.Click(u.layout.ok.x + 1, 0)).kind, Action::Redraw);
    EXPECT_EQ(u.ui.openButton, -1);
    u.Click(u.layout.buttons[0].x, 24);
    EXPECT_EQ(u.ui.openButton, 0);
    u.Click(u.layout.buttons[0].x, 24); // the button again closes it
    EXPECT_EQ(u.ui.openButton, -1);
}

TEST_F(TerminalModel, Mouse_WheelScrollsThePaneAndBoxesOnlyHearTheirButton)
{
    Ui u;
    u.Click(10, 10, Mouse::WheelUp);
    EXPECT_EQ(u.pane.top, 80 - kWheelRows);
    u.Click(10, 10, Mouse::WheelDown);
    EXPECT_TRUE(u.pane.follow);

    u.ui.boxUp = true;
    u.ui.boxLayout = layout_box(u"Successful", u"Reboot device/Reset module !", 80, 25);
    EXPECT_TRUE(u.Click(u.layout.ok.x + 1, 0).empty()); // the title bar is behind the box
    EXPECT_TRUE(u.Click(10, 10, Mouse::WheelUp).empty());
    Action a = Only(u.Click(u.ui.boxLayout.ok.x, u.ui.boxLayout.ok.y));
    EXPECT_EQ(a.kind, Action::AnswerBox);
    EXPECT_EQ(a.id, IDOK);
}

TEST_F(TerminalModel, KeyToVirtual_LettersDigitsAndNamedKeys)
{
    struct Case
    {
        Key key;
        int vk;
        unsigned mods;
        char16_t ch;
    };
    const Case cases[] = {
        {Ch(U'q'), 'Q', 0, u'q'},
        {Ch(U'Q'), 'Q', plat::kModShift, u'Q'},
        {Ch(U'7'), '7', 0, u'7'},
        {Ch(0x11, plat::kModCtrl), 'Q', plat::kModCtrl, 0x11},
        {Ch(U'x', plat::kModAlt), 'X', plat::kModAlt, u'x'},
        {K(KeyKind::Enter), plat::kVkReturn, 0, u'\r'},
        {K(KeyKind::Escape), plat::kVkEscape, 0, 0x1B},
        {K(KeyKind::Backspace), plat::kVkBack, 0, 0x08},
        {K(KeyKind::Down), plat::kVkDown, 0, 0},
        {Fn(1), plat::kVkF1, 0, 0},
        {Ch(U'\u00e9'), 0, 0, u'\u00e9'},
    };
    for (const Case& c : cases)
    {
        int vk;
        unsigned mods;
        char16_t ch;
        key_to_virtual(c.key, &vk, &mods, &ch);
        EXPECT_EQ(vk, c.vk) << (int)c.key.kind << " " << (unsigned)c.key.ch;
        EXPECT_EQ(mods, c.mods) << (unsigned)c.key.ch;
        EXPECT_EQ(ch, c.ch) << (unsigned)c.key.ch;
    }
}

} // namespace
