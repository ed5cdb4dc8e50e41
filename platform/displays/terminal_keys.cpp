// Reading the terminal: what ncurses delivers (characters, key codes, mouse
// reports, Esc sequences) becomes the display's keys and mouse events, which
// the model (terminal_model.cpp) routes. UI thread, screen lock held.
#include "platform/displays/terminal_internal.h"

#include "platform/shellapi/shell_ui.h"

namespace plat
{
namespace tui
{
namespace
{

struct CursesKey
{
    int code;
    KeyKind kind;
    unsigned mods;
};

struct ControlChar
{
    wint_t wc;
    KeyKind kind;
};

// clang-format off
// curses key code   key                 modifiers
const CursesKey kCursesKeys[] = {
    {KEY_UP,        KeyKind::Up,        0},
    {KEY_DOWN,      KeyKind::Down,      0},
    {KEY_LEFT,      KeyKind::Left,      0},
    {KEY_RIGHT,     KeyKind::Right,     0},
    {KEY_PPAGE,     KeyKind::PageUp,    0},
    {KEY_NPAGE,     KeyKind::PageDown,  0},
    {KEY_HOME,      KeyKind::Home,      0},
    {KEY_FIND,      KeyKind::Home,      0},
    {KEY_END,       KeyKind::End,       0},
    {KEY_SELECT,    KeyKind::End,       0},
    {KEY_ENTER,     KeyKind::Enter,     0},
    {KEY_BACKSPACE, KeyKind::Backspace, 0},
    {KEY_BTAB,      KeyKind::Tab,       kModShift},
};

// character   key
const ControlChar kControlChars[] = {
    {L'\r', KeyKind::Enter},
    {L'\n', KeyKind::Enter},
    {L'\t', KeyKind::Tab},
    {8,     KeyKind::Backspace},
    {127,   KeyKind::Backspace},
    {27,    KeyKind::Escape},
};
// clang-format on

bool function_key(int code, Key* k)
{
    for (const auto& e : kCursesKeys)
        if (e.code == code)
        {
            k->kind = e.kind;
            k->mods = e.mods;
            return true;
        }
    if (code >= KEY_F(1) && code <= KEY_F(24))
    {
        k->kind = KeyKind::Function;
        k->fn = code - KEY_F(0);
        return true;
    }
    return false;
}

Key char_key(wint_t wc)
{
    Key k{KeyKind::Char};
    for (const auto& e : kControlChars)
        if (e.wc == wc)
        {
            k.kind = e.kind;
            return k;
        }
    k.ch = (char32_t)wc;
    if (wc < 0x20)
        k.mods = kModCtrl;
    return k;
}

InputEvent key_event(const Key& k)
{
    return InputEvent{false, k, Mouse::Press, 0, 0};
}

void push_function_key(std::vector<InputEvent>& out, wint_t code)
{
    Key k{KeyKind::Char};
    if (function_key((int)code, &k))
        out.push_back(key_event(k));
}

// A mouse report: button 1 presses and wheel notches; false for the rest.
bool mouse_event(InputEvent* e)
{
    MEVENT ev;
    if (getmouse(&ev) != OK)
        return false;
    *e = InputEvent{true, Key{KeyKind::Char}, Mouse::Press, ev.x, ev.y};
    if (ev.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED))
        e->what = Mouse::Press;
    else if (ev.bstate & BUTTON4_PRESSED)
        e->what = Mouse::WheelUp;
#ifdef BUTTON5_PRESSED
    else if (ev.bstate & BUTTON5_PRESSED)
        e->what = Mouse::WheelDown;
#endif
    else
        return false;
    return true;
}

// After an Esc: followed at once by a character it is Alt with that
// character; otherwise Esc is a key of its own, and what followed too.
void escape_sequence(std::vector<InputEvent>& out)
{
    wint_t next = 0;
    int r = get_wch(&next);
    if (r == OK && next != 27)
    {
        Key k = char_key(next);
        if (k.kind == KeyKind::Char)
        {
            k.mods |= kModAlt;
            out.push_back(key_event(k));
            return;
        }
        out.push_back(key_event(char_key(27)));
        out.push_back(key_event(k));
        return;
    }
    out.push_back(key_event(char_key(27)));
    if (r == OK)
        out.push_back(key_event(char_key(27)));
    else if (r == KEY_CODE_YES)
        push_function_key(out, next);
}

} // namespace

bool read_input(std::vector<InputEvent>& out, bool* resized)
{
    bool any = false;
    for (;;)
    {
        wint_t wc = 0;
        int r = get_wch(&wc);
        if (r == ERR)
            break;
        any = true;
        InputEvent e;
        if (r != KEY_CODE_YES)
        {
            if (wc == 27)
                escape_sequence(out);
            else
                out.push_back(key_event(char_key(wc)));
        }
        else if (wc == KEY_RESIZE)
            *resized = true;
        else if (wc == KEY_MOUSE)
        {
            if (mouse_event(&e))
                out.push_back(e);
        }
        else
            push_function_key(out, wc);
    }
    return any;
}

} // namespace tui
} // namespace plat
