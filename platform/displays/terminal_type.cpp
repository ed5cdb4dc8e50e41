// The terminal type check of the terminal display, in a file of its own:
// <term.h> defines a macro for every terminal capability ("lines",
// "columns", ...), which must not reach the display's code.
#include "platform/displays/terminal.h"

#include <curses.h>
#include <term.h>

namespace plat
{

bool terminal_type_known(const char* name, int fd, bool* addressable)
{
    int status = 0;
    if (name == nullptr || setupterm(name, fd, &status) != OK)
        return false;
    if (addressable != nullptr)
    {
        // Without "cup" nothing can be drawn where it belongs (a dumb
        // terminal, an editor's shell buffer): the screen stays blank.
        char* cup = tigetstr((char*)"cup");
        *addressable = cup != nullptr && cup != (char*)-1;
    }
    del_curterm(cur_term);
    return true;
}

} // namespace plat
