// The termios backend of a serial port: one non-blocking tty descriptor in raw
// mode, reached only through the replaceable system-call table.
#include "platform/serial/serial.h"
#include "platform/serial/syscalls.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace plat
{

namespace
{

// EINTR never reaches the port: every call here is retried.
template <typename F> auto retry(F f) -> decltype(f())
{
    for (;;)
    {
        auto r = f();
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// What a tty can do, asked of the driver: a UART counts breaks and line
// errors (TIOCGICOUNT, whose first reading is *base) and has modem lines
// (TIOCMGET); a pty refuses both with ENOTTY.
unsigned probe_caps(int fd, struct serial_icounter_struct* base)
{
    unsigned caps = 0;
    if (retry([&] { return sys().ioctl(fd, TIOCGICOUNT, base); }) == 0)
        caps |= kPortBreaks | kPortLineErrors | kPortEventCounters;
    int lines = 0;
    if (retry([&] { return sys().ioctl(fd, TIOCMGET, &lines); }) == 0)
        caps |= kPortModemLines;
    return caps;
}

// Linux releases the descriptor even when close fails, EINTR included, so it
// is never retried: a retry could close a number another thread was just
// given.
void close_once(int fd)
{
    sys().close(fd);
}

// Gives up the claim tty_backend_open took: TIOCEXCL and the flock.
void unclaim(int fd)
{
    int none = 0;
    retry([&] { return sys().ioctl(fd, TIOCNXCL, &none); });
    retry([&] { return sys().flock(fd, LOCK_UN); });
}

class TtyBackend : public PortBackend
{
public:
    TtyBackend(int fd, bool locked, unsigned what, const struct serial_icounter_struct& base)
        : PortBackend(what), fd_(fd), locked_(locked), base_(base)
    {
    }

    ~TtyBackend() override
    {
        release();
        close_once(fd_);
    }

    int rx_fd() const override
    {
        return fd_;
    }
    int tx_fd() const override
    {
        return fd_;
    }
    short tx_events() const override
    {
        return POLLOUT;
    }
    int event_fd() const override
    {
        return -1;
    }
    ssize_t read(void* buf, size_t n) override
    {
        return retry([&] { return sys().read(fd_, buf, n); });
    }

    ssize_t write(const void* buf, size_t n) override
    {
        return retry([&] { return sys().write(fd_, buf, n); });
    }

    int get_attr(struct termios* t) override
    {
        return retry([&] { return sys().tcgetattr(fd_, t); });
    }

    int set_attr(const struct termios* t) override
    {
        return retry([&] { return sys().tcsetattr(fd_, TCSANOW, t); });
    }

    int flush(int queue) override
    {
        return retry([&] { return sys().tcflush(fd_, queue); });
    }

    int in_queue(int* n) override
    {
        return retry([&] { return sys().ioctl(fd_, TIOCINQ, n); });
    }

    int out_queue(int* n) override
    {
        return retry([&] { return sys().ioctl(fd_, TIOCOUTQ, n); });
    }

    int modem_lines(bool raise, int lines) override
    {
        return retry([&] { return sys().ioctl(fd_, raise ? TIOCMBIS : TIOCMBIC, &lines); });
    }

    int set_break(bool on) override
    {
        return retry([&] { return sys().ioctl(fd_, on ? TIOCSBRK : TIOCCBRK, nullptr); });
    }

    int flow(int action) override
    {
        return retry([&] { return sys().ioctl(fd_, TCXONC, (void*)(intptr_t)action); });
    }

    // The driver's counters, against the last reading. In raw mode a break
    // also arrives as a 0x00 byte, which is what wakes the port to look.
    void take_line_events(DWORD* errors, bool* brk, bool* hangup) override
    {
        *errors = 0;
        *brk = false;
        *hangup = false;
        if (!can(kPortEventCounters))
            return;
        struct serial_icounter_struct now;
        if (retry([&] { return sys().ioctl(fd_, TIOCGICOUNT, &now); }) != 0)
        {
            // The counters went away: the device did (a USB adapter unplugged).
            if (errno == EIO || errno == ENODEV || errno == ENXIO)
                *hangup = true;
            return;
        }
        if (now.frame != base_.frame)
            *errors |= CE_FRAME;
        if (now.parity != base_.parity)
            *errors |= CE_RXPARITY;
        if (now.overrun != base_.overrun)
            *errors |= CE_OVERRUN;
        if (now.buf_overrun != base_.buf_overrun)
            *errors |= CE_RXOVER;
        if (now.brk != base_.brk)
            *brk = true;
        base_ = now;
    }

    void release() override
    {
        if (locked_)
            unclaim(fd_);
        locked_ = false;
    }

private:
    int fd_;
    bool locked_;
    struct serial_icounter_struct base_; // the counters' last reading
};

} // namespace

void raw_termios(struct termios* t)
{
    cfmakeraw(t);
    t->c_cflag |= CLOCAL | CREAD;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

std::unique_ptr<PortBackend> tty_backend_open(int fd, bool lockFile)
{
    auto fail = [&](DWORD error) -> std::unique_ptr<PortBackend>
    {
        close_once(fd);
        SetLastError(error);
        return nullptr;
    };
    if (lockFile)
    {
        // flock holds even against root, where TIOCEXCL does not (fact of
        // ttys: root passes TIOCEXCL); TIOCEXCL also keeps out other users'
        // programs that do not take the lock.
        if (retry([&] { return sys().flock(fd, LOCK_EX | LOCK_NB); }) != 0)
        {
            int err = errno;
            return fail(err == EWOULDBLOCK ? ERROR_ACCESS_DENIED : win32_error_from_errno(err));
        }
        int none = 0;
        retry([&] { return sys().ioctl(fd, TIOCEXCL, &none); });
    }
    // Raw mode before any byte flows: a fresh tty echoes, maps CR and eats
    // XON/XOFF, and the images carry every byte value.
    struct termios t;
    int got = retry([&] { return sys().tcgetattr(fd, &t); });
    if (got == 0)
    {
        raw_termios(&t); // reads never wait in the kernel: the port waits in poll
        got = retry([&] { return sys().tcsetattr(fd, TCSANOW, &t); });
    }
    if (got != 0)
    {
        int err = errno;
        if (lockFile)
            unclaim(fd); // TIOCEXCL would outlast the descriptor
        return fail(win32_error_from_errno(err));
    }
    struct serial_icounter_struct base = {};
    const unsigned caps = probe_caps(fd, &base);
    return std::make_unique<TtyBackend>(fd, lockFile, caps, base);
}

} // namespace plat
