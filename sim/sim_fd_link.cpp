// The simulator's link over a file descriptor: a tty, a pty master or a pty
// slave. Every wait polls the descriptor together with a wake pipe, so a stop
// or a module reset reaches a thread blocked in read or write at once.
#include "sim/sim.h"
#include "sim/sim_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace
{

struct FdLink
{
    int fd = -1;            // -1 once hung up
    int wake[2] = {-1, -1}; // read end, write end; non-blocking
};

void drain_wake(FdLink* l)
{
    uint8_t buf[64];
    while (read(l->wake[0], buf, sizeof buf) > 0)
    {
    }
}

int fd_read(void* ctx, uint8_t* buf, int max, int timeout_ms)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    if (l->fd < 0)
        return -1;
    for (;;)
    {
        pollfd p[2] = {{l->fd, POLLIN, 0}, {l->wake[0], POLLIN, 0}};
        int r = poll(p, 2, timeout_ms);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (r == 0)
            return 0;
        if (p[1].revents & POLLIN)
        {
            drain_wake(l);
            return 0;
        }
        // Data still queued is read first even when the far side has gone.
        if (p[0].revents & POLLIN)
        {
            ssize_t n = read(l->fd, buf, static_cast<size_t>(max));
            if (n > 0)
                return static_cast<int>(n);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return -1; // 0 bytes after POLLIN, or EIO: the peer is gone
        }
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            return -1;
    }
}

int fd_write(void* ctx, const uint8_t* buf, int n)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    if (l->fd < 0)
        return -1;
    int done = 0;
    while (done < n)
    {
        ssize_t w = write(l->fd, buf + done, static_cast<size_t>(n - done));
        if (w > 0)
        {
            done += static_cast<int>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && errno != EAGAIN)
            return -1;
        pollfd p[2] = {{l->fd, POLLOUT, 0}, {l->wake[0], POLLIN, 0}};
        int r = poll(p, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -1;
        if (p[1].revents & POLLIN)
        {
            drain_wake(l);
            return done;
        }
        if ((p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) && !(p[0].revents & POLLOUT))
            return -1;
    }
    return done;
}

void fd_send_break(void* ctx)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    if (l->fd >= 0)
        tcsendbreak(l->fd, 0); // a pty accepts this and sends nothing
}

void fd_hangup(void* ctx)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    if (l->fd < 0)
        return;
    termios t;
    if (tcgetattr(l->fd, &t) == 0)
    {
        // B0 drops DTR on a real UART; a pty ignores it. Closing does the rest.
        cfsetospeed(&t, B0);
        tcsetattr(l->fd, TCSANOW, &t);
    }
    close(l->fd);
    l->fd = -1;
}

void fd_interrupt(void* ctx)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    uint8_t b = 1;
    // A full pipe already holds a pending wake-up, so EAGAIN loses nothing.
    ssize_t r = write(l->wake[1], &b, 1);
    (void)r;
}

void fd_close(void* ctx)
{
    FdLink* l = static_cast<FdLink*>(ctx);
    if (l->fd >= 0)
        close(l->fd);
    close(l->wake[0]);
    close(l->wake[1]);
    delete l;
}

} // namespace

bool simcore::make_raw(int fd)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = t.c_cc[VTIME] = 0; // a read returns at once with what is there
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

SimLink sim_fd_link(int fd)
{
    if (isatty(fd) && !simcore::make_raw(fd))
        return SimLink{};
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0)
        return SimLink{};
    FdLink* l = new FdLink;
    if (pipe2(l->wake, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        delete l;
        return SimLink{};
    }
    l->fd = fd;
    // ctx, read, write, send_break, hangup, interrupt, close
    return SimLink{l, fd_read, fd_write, fd_send_break, fd_hangup, fd_interrupt, fd_close};
}
