#include "tests/support/pty.h"

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport
{

bool Pty::Open(bool keepSlave)
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0)
        return false;
    char name[PATH_MAX];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
        return false;
    path = name;
    struct termios t;
    if (tcgetattr(master, &t) != 0)
        return false;
    cfmakeraw(&t);
    if (tcsetattr(master, TCSANOW, &t) != 0)
        return false;
    if (keepSlave)
        heldSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return !keepSlave || heldSlave >= 0;
}

void Pty::CloseMaster()
{
    if (master >= 0)
        close(master);
    master = -1;
}

Pty::~Pty()
{
    CloseMaster();
    if (heldSlave >= 0)
        close(heldSlave);
}

bool HeldTty::Open()
{
    if (!pty.Open(false))
        return false;
    held = open(pty.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    return held >= 0 && flock(held, LOCK_EX | LOCK_NB) == 0;
}

HeldTty::~HeldTty()
{
    if (held >= 0)
        close(held);
}

} // namespace testsupport
