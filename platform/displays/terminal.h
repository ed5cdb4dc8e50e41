// The terminal display: the program's windows drawn on a text terminal with
// ncursesw, a person's keys and mouse clicks turned into messages.
//
// Screen (R rows, C columns):
//   row 0        title bar: the front window's title; "[OK]" at the right when
//                the window has the shell's done button (SHIDIF_DONEBUTTON)
//   rows 1..R-3  the front window's client area (its size is what
//                screen_size reports): its children at their own rectangles,
//                one cell a unit; an edit control is a scrollable log pane
//   row R-2      the status line (status_line.h) on a rule of its own, so a
//                long status never covers the title; cut with an ellipsis
//                where the row is too narrow. A screen under kStatusRowMinRows
//                rows has no room for it (the client area takes R-2 rows)
//   row R-1      the menu bar: its buttons at the left, key hints or the
//                scroll state at the right
//   overlays     the open drop-down (just above its button), dialogs and
//                message boxes centred, the newest on top
//
// Keys (documented for the user in README and the tmux test):
//   F1, Alt+<first letter of a bar button> (Alt+S for "System"), a click on
//      the button: open its drop-down. In it: Up/Down (separators skipped,
//      wrapping round), Home/End, Enter or Space picks, an item's first letter
//      picks it, Left/Right go to the neighbouring button, Esc or F1 closes.
//      A pick sends WM_COMMAND(id) to the bar's owner.
//   F10 or a click on "[OK]": the title bar's OK (IDOK to the front window).
//   Message box: Enter, Esc, Space or a click on its "[OK]" answer IDOK. A
//      yes/no box: Y or a click on "[Yes]" answers IDYES, N, Esc or a click
//      on "[No]" IDNO; Left, Right and Tab move the focus between
//      the two (it starts on the default button), Enter and Space answer the
//      focused one. The menu bar's hints say so while the box is up.
//   Ctrl+C where no box, dialog or drop-down is open: as Ctrl+Q (the terminal
//      is in raw mode, so it is a key, not a signal).
//   Dialog: Enter (or F10, or a click on its "[OK]") sends IDOK, Esc IDCANCEL.
//   Log pane: Up/Down one row, PgUp/PgDn a page, Home the top, End the bottom;
//      the mouse wheel three rows. While the view shows the end it follows new
//      text; scrolled back, the view holds still (the bar says so) until it is
//      brought back to the end.
//   Every other key goes to the program (input_key): Ctrl+letter as the letter
//   with kModCtrl (Ctrl+Q is the program's accelerator, not the display's),
//   Alt+key with kModAlt, characters with their code.
//
// Log pane text: "\r\n" ends a line (a lone "\n" too; a lone "\r" is dropped),
// tabs stop every 8 columns, other control characters show as '?', and long
// lines wrap at the pane's width. The pane draws from a bounded copy of the
// control's tail (kLogTailUnits), never from ncurses' own buffer.
//
// Threads: the thread that opens the display is its UI thread; only it calls
// ncurses (drawing in prepare_wait, input in after_wait). Window changes and
// boxes from other threads are queued and the UI thread is woken. Redraws
// happen only when something changed, at most once per kFrameMs.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/windowing/display.h"
#include "platform/kernel/resource_loader.h"
#include "platform/win32.h"

#include <string>
#include <string_view>
#include <vector>

namespace plat
{

// Whether the terminfo database knows terminal type name (for the terminal
// on fd). Checked apart from newterm, which keeps memory when it fails.
// *addressable (optional) says whether it can move the cursor to a place,
// which drawing the window needs.
bool terminal_type_known(const char* name, int fd, bool* addressable = nullptr);

// Opens the terminal display on stdin/stdout for the calling (UI) thread and
// returns its operations; the caller makes them current with display_set().
// Null, with *error saying why, when stdin or stdout is not a terminal or the
// terminal type is unknown. Installs handlers that restore the terminal on
// SIGTERM, SIGINT and SIGHUP (then the process dies of that signal) and on
// the device restart.
const DisplayOps* terminal_display_open(std::string* error);
// Called on the display's guard thread for the first SIGTERM, SIGINT or SIGHUP
// (not in the handler): true when it takes the signal over and ends the
// process itself; false lets the display restore the terminal and die of it.
void terminal_set_stop_hook(bool (*hook)(int sig));
// Restores the terminal (on the UI thread) and makes the headless display
// current again if this one was. Boxes shown afterwards are answered IDOK.
void terminal_display_close();

// ---------------------------------------------------------------------------
// The display's logic without a terminal (terminal_model.cpp, terminal_text.cpp;
// unit-tested)
// ---------------------------------------------------------------------------
namespace term
{

constexpr size_t kLogTailUnits = 64 * 1024; // units of a pane's text the display copies
constexpr int kFrameMs = 16;                // shortest time between two redraws
constexpr int kWheelRows = 3;               // rows one wheel notch scrolls
constexpr int kTabStop = 8;

// Cells a code point takes (0, 1 or 2) once it is printable; see printable().
int cell_width(char32_t c);
// What to draw for a code point: itself when the terminal can show it, '?'
// for control characters and what the locale cannot print.
char32_t printable(char32_t c);
// UTF-16 to code points (a lone surrogate becomes U+FFFD).
std::u32string to_u32(std::u16string_view text);
// Cells a drawn string takes.
int text_cells(std::u32string_view text);
// The longest prefix of text that fits in cells columns.
std::u32string fit_cells(std::u32string_view text, int cells);
// text when it fits in cells columns, else the longest prefix that fits with
// an ellipsis after it ("\u2026", or "..." where the locale cannot show it).
std::u32string fit_ellipsis(std::u32string_view text, int cells);

// Log pane wrapping: rows of at most width cells (width < 1 counts as 1).
// An empty text is one empty row; text ending in a line end ends with an
// empty row, where the caret is. starts (optional) gets, for each row, the
// index of its first code point in the text (to_u32), so a view can keep
// its place when the rows are wrapped again at another width.
std::vector<std::u32string> wrap_log(std::u16string_view text, int width, std::vector<size_t>* starts = nullptr);
// The row that holds code point offset, given the rows' starts.
int row_of_offset(const std::vector<size_t>& starts, size_t offset);

// Word wrapping for boxes and dialogs: breaks at spaces, a word longer than
// width is cut, "\r\n" and "\n" force a break.
std::vector<std::u32string> wrap_words(std::u16string_view text, int width);

// A log pane's view: which wrapped row is at the top, and whether it follows
// the end.
struct LogView
{
    int rowCount = 0;   // wrapped rows of the copy
    int height = 0;     // rows on screen
    int top = 0;        // first row shown
    bool follow = true; // the view is at the end and stays there
};
// The last top row that still fills the view.
int log_max_top(const LogView& v);
// New row count or height: a following view goes to the end, another keeps
// its top (clamped).
void log_resize(LogView& v, int rowCount, int height);
// Scrolls by delta rows (negative: up). Reaching the end makes the view follow.
void log_scroll(LogView& v, int delta);
void log_page(LogView& v, int pages);
void log_home(LogView& v);
void log_end(LogView& v);

// The menu bar and its drop-downs as the display shows them.
struct MenuItemView
{
    std::u32string caption; // empty for a separator
    int id;                 // command id; 0 for a separator
    bool separator;
};
struct MenuButtonView
{
    std::u32string caption;
    int command;                     // what the button sends when it has no drop-down
    std::vector<MenuItemView> items; // its drop-down
};

// The next selectable item from current in direction dir (+1/-1), wrapping
// round; -1 when there is none.
int menu_step(const std::vector<MenuItemView>& items, int current, int dir);
int menu_first(const std::vector<MenuItemView>& items);
int menu_last(const std::vector<MenuItemView>& items);
// The first selectable item whose caption starts with ch (ASCII case folded),
// or -1.
int menu_hotkey(const std::vector<MenuItemView>& items, char32_t ch);

// Rectangles in screen cells.
struct Rect
{
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool contains(int px, int py) const
    {
        return px >= x && px < x + w && py >= y && py < y + h;
    }
};

// A message box: a frame with the caption in its top border, the wrapped
// text and an "[OK]" button under it (MB_YESNO: "[Yes]" and "[No]"), centred
// on the screen.
struct BoxLayout
{
    Rect frame;
    std::u32string caption;            // as it fits in the top border
    std::vector<std::u32string> lines; // the text rows shown (clipped to the screen)
    Rect ok;                           // the "[OK]" button; "[Yes]" for MB_YESNO
    Rect no;                           // "[No]" for MB_YESNO (w 0: none)
    int defaultId = IDOK;              // the button focused first: IDNO with MB_DEFBUTTON2
    int focusId = IDOK;                // the focused button, what Enter and Space answer
};
BoxLayout layout_box(std::u16string_view caption, std::u16string_view text, int cols, int rows, UINT type = MB_OK);

// A dialog from its template: dialog units become cells (4 a column, 8 a
// row), the frame grows to show each static's wrapped text, and it is centred
// and clipped to the screen.
struct DialogTextView
{
    int x; // screen position of the first row
    int y;
    int w;                             // width the rows were wrapped to
    std::vector<std::u32string> lines; // clipped to the frame
};
struct DialogLayout
{
    Rect frame;
    std::u32string caption;
    Rect ok; // "[OK]" in the top border
    std::vector<DialogTextView> texts;
};
DialogLayout layout_dialog(const DialogTemplate& tmpl, int cols, int rows);

// The screen around the front window.
constexpr int kStatusRowMinRows = 4; // title, a client row, the status row, the menu bar
struct ScreenLayout
{
    int cols = 0;
    int rows = 0;
    Rect client;                  // the front window's client area
    Rect status;                  // the status line's row (h 0: the screen is too short)
    Rect ok;                      // "[OK]" on the title bar (w 0: none)
    std::vector<Rect> buttons;    // menu bar buttons, in order
    Rect popup;                   // the open drop-down's frame (w 0: closed)
    std::vector<Rect> popupItems; // its item rows
};
// titleOk: the front window has the done button. openButton: index of the
// button whose drop-down is open, or -1.
ScreenLayout layout_screen(int cols, int rows, bool titleOk, const std::vector<MenuButtonView>& buttons,
                           int openButton);
// Size of the client area a full-screen window gets.
void client_size(int cols, int rows, int* width, int* height);

// ---------------------------------------------------------------------------
// Input
// ---------------------------------------------------------------------------
enum class KeyKind
{
    Char, // ch with mods (kModCtrl for control characters, kModAlt after Esc)
    Enter,
    Escape,
    Tab,
    Backspace,
    Up,
    Down,
    Left,
    Right,
    PageUp,
    PageDown,
    Home,
    End,
    Function, // fn = 1..12
};

struct Key
{
    KeyKind kind;
    char32_t ch = 0;
    unsigned mods = 0; // kMod*
    int fn = 0;
};

enum class Mouse
{
    Press, // button 1
    WheelUp,
    WheelDown,
};

// What the input asks for; the display carries it out after reading input.
struct Action
{
    enum Kind
    {
        Command,   // send_command(target, id)
        InputKey,  // input_key(vk, mods, ch)
        AnswerBox, // box_answer(top box, id)
        Redraw,    // only the display's own state changed
    } kind;
    HWND target = nullptr;
    int id = 0;
    int vk = 0;
    unsigned mods = 0;
    char16_t ch = 0;
};

// Everything input is routed by, as of the last draw.
struct UiState
{
    HWND front = nullptr; // the window the title bar belongs to
    bool titleOk = false;
    HWND menuOwner = nullptr; // where picks go
    std::vector<MenuButtonView> buttons;
    int openButton = -1;   // drop-down shown, or -1
    int selItem = -1;      // its selected item
    HWND dialog = nullptr; // the topmost dialog, or null
    DialogLayout dialogLayout;
    bool boxUp = false; // a message box is on top of everything
    BoxLayout boxLayout;
    LogView* pane = nullptr; // the pane keys scroll (may be null)
    Rect paneRect;
};

// The virtual key and character a key gives the program (vk 0: none).
void key_to_virtual(const Key& key, int* vk, unsigned* mods, char16_t* ch);

std::vector<Action> handle_key(UiState& ui, const ScreenLayout& layout, const Key& key);
std::vector<Action> handle_mouse(UiState& ui, const ScreenLayout& layout, Mouse what, int x, int y);

} // namespace term
} // namespace plat
