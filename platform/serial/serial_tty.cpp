// The termios backend of a serial port: one non-blocking tty descriptor in raw
// mode, reached only through the replaceable system-call table.
//
// Breaks and line errors on a real UART: in plain raw mode the driver hands a
// break over as a 0x00 data byte, which a caller waiting for a byte takes as
// data. The backend runs the line with PARMRK (IGNBRK, BRKINT and IGNPAR
// clear), so the driver marks them in the byte stream: 0xFF 0x00 0x00 is a
// break, 0xFF 0x00 X a framing or parity error on X, 0xFF 0xFF a 0xFF of the
// data. The read path takes the marks out (a mark split across two reads
// included) and reports them as line events, the way a virtual cable does.
// Only a driver that keeps line counters (TIOCGICOUNT) is marked: a pty has
// no line to break, and marked it would only double every 0xFF and take each
// byte through the kernel's slow input path.
//
// USB-serial adapters: on open the driver is asked for low latency
// (ASYNC_LOW_LATENCY), and where an FTDI latency timer is writable in sysfs it
// is set to 1 ms for the life of the port and put back on close. A driver
// that has neither (a pty: ENOTTY) is left as it is, silently.
#include "platform/serial/serial.h"
#include "platform/serial/syscalls.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace plat
{

namespace
{

constexpr size_t kDecodeChunk = 4096; // raw bytes a look at the queue takes at most

std::mutex g_sysfsMutex;
std::string g_sysfsRoot = "/sys"; // set_sysfs_root

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

// The line as this backend runs it: the caller's settings with the driver
// marking breaks and line errors instead of passing a break on as 0x00 or
// dropping a bad byte.
struct termios marked(const struct termios& t)
{
    struct termios m = t;
    m.c_iflag |= PARMRK;
    m.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP);
    return m;
}

// ---------------------------------------------------------------------------
// Low latency for USB-serial adapters
// ---------------------------------------------------------------------------
// The tty's name in sysfs ("ttyUSB0"), from the descriptor's path.
std::string tty_name(int fd)
{
    char link[64];
    char path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool read_small_file(const std::string& path, std::string* text)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char buf[32];
    const ssize_t n = retry([&] { return ::read(fd, buf, sizeof buf - 1); });
    ::close(fd);
    if (n <= 0)
        return false;
    text->assign(buf, (size_t)n);
    while (!text->empty() && (text->back() == '\n' || text->back() == ' '))
        text->pop_back();
    return !text->empty();
}

bool write_small_file(const std::string& path, const std::string& text)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const std::string line = text + "\n";
    const ssize_t n = retry([&] { return ::write(fd, line.data(), line.size()); });
    ::close(fd);
    return n == (ssize_t)line.size();
}

// A latency timer this port set, to put back on close.
struct LatencyTimer
{
    std::string path; // empty: none was changed
    std::string old;  // its value before, as sysfs wrote it
};

// An FTDI adapter holds received bytes up to its latency timer (16 ms by
// default) before it sends a short packet: every reply of the download's
// byte-by-byte handshake would wait that long. Set to 1 ms where writable.
LatencyTimer lower_latency_timer(int fd)
{
    LatencyTimer changed;
    const std::string name = tty_name(fd);
    if (name.empty())
        return changed;
    std::string root;
    {
        std::lock_guard<std::mutex> lock(g_sysfsMutex);
        root = g_sysfsRoot;
    }
    const std::string places[] = {
        root + "/class/tty/" + name + "/device/latency_timer",
        root + "/bus/usb-serial/devices/" + name + "/latency_timer",
    };
    for (const std::string& path : places)
    {
        std::string old;
        if (!read_small_file(path, &old))
            continue;
        if (old == "1" || !write_small_file(path, "1"))
            return changed;
        changed.path = path;
        changed.old = old;
        return changed;
    }
    return changed;
}

// Asks the driver to hand received bytes on at once. *old: the flags before,
// when they were changed. A pty refuses with ENOTTY, a driver without the
// call with EINVAL: both are left alone.
bool ask_low_latency(int fd, int* old)
{
    struct serial_struct ss;
    std::memset(&ss, 0, sizeof ss);
    if (retry([&] { return sys().ioctl(fd, TIOCGSERIAL, &ss); }) != 0 || (ss.flags & ASYNC_LOW_LATENCY))
        return false;
    *old = ss.flags;
    ss.flags |= ASYNC_LOW_LATENCY;
    return retry([&] { return sys().ioctl(fd, TIOCSSERIAL, &ss); }) == 0;
}

void restore_low_latency(int fd, int old)
{
    struct serial_struct ss;
    std::memset(&ss, 0, sizeof ss);
    if (retry([&] { return sys().ioctl(fd, TIOCGSERIAL, &ss); }) != 0)
        return;
    ss.flags = old;
    retry([&] { return sys().ioctl(fd, TIOCSSERIAL, &ss); });
}

// ---------------------------------------------------------------------------
// The driver's marks
// ---------------------------------------------------------------------------
// Takes PARMRK's marks out of a byte stream. The state carries over from one
// read to the next, so a mark split across two reads is still one mark.
class MarkDecoder
{
public:
    // Appends the data bytes of in[0..n) to *out; breaks and errors gather
    // until taken.
    void decode(const uint8_t* in, size_t n, std::vector<uint8_t>* out)
    {
        size_t i = 0;
        while (i < n)
        {
            if (state_ == State::Plain)
            {
                // The data up to the next mark goes over in one piece: a
                // bridge moves megabytes through here, 0xFF in every chunk.
                const void* mark = std::memchr(in + i, 0xFF, n - i);
                const size_t end = mark ? (size_t)(static_cast<const uint8_t*>(mark) - in) : n;
                out->insert(out->end(), in + i, in + end);
                if (end == n)
                    return;
                state_ = State::Mark;
                i = end + 1;
                continue;
            }
            const uint8_t b = in[i++];
            if (state_ == State::Mark)
            {
                state_ = State::Plain;
                if (b == 0x00)
                    state_ = State::MarkZero;
                else if (b == 0xFF)
                    out->push_back(0xFF);
                else
                {
                    // Never sent by a marking driver: keep both bytes.
                    out->push_back(0xFF);
                    out->push_back(b);
                }
                continue;
            }
            state_ = State::Plain; // after 0xFF 0x00
            if (b == 0x00)
                breaks_++;
            else
            {
                // The mark does not say framing or parity: a line without
                // parity has only framing errors to show.
                errors_ |= CE_FRAME;
                out->push_back(b);
            }
        }
    }

    bool idle() const
    {
        return state_ == State::Plain;
    }
    void reset()
    {
        state_ = State::Plain;
    }
    // The error bits and the count of breaks since the last call.
    int take(DWORD* errors)
    {
        *errors |= errors_;
        const int breaks = breaks_;
        errors_ = 0;
        breaks_ = 0;
        return breaks;
    }

private:
    enum class State
    {
        Plain,    // between marks
        Mark,     // after 0xFF
        MarkZero, // after 0xFF 0x00
    };
    State state_ = State::Plain;
    DWORD errors_ = 0; // CE_* from error marks not yet taken
    int breaks_ = 0;   // break marks not yet taken
};

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

    // The line runs marked (see marked()); the driver's marks are decoded
    // from now on.
    void start_marking(bool inpck)
    {
        marking_ = true;
        inpck_ = inpck;
    }
    void keep_latency(const LatencyTimer& timer, bool lowered, int oldFlags)
    {
        timer_ = timer;
        lowLatencySet_ = lowered;
        oldSerialFlags_ = oldFlags;
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

    // Bytes decoded ahead (by look_ahead) go first. A read that brought only a
    // mark, or half of one, brought no data: EAGAIN, not the 0 of a hang-up.
    ssize_t read(void* buf, size_t n) override
    {
        std::lock_guard<std::mutex> lock(markMu_);
        if (held_.size() > heldAt_)
            return give_held(buf, n);
        const ssize_t r = retry([&] { return sys().read(fd_, buf, n); });
        if (r <= 0 || !marking_)
            return r;
        if (decoder_.idle() && std::memchr(buf, 0xFF, (size_t)r) == nullptr)
            return r; // nothing marked: the bytes are the data
        decode_into_held(static_cast<const uint8_t*>(buf), (size_t)r);
        if (held_.size() == heldAt_)
        {
            errno = EAGAIN;
            return -1;
        }
        return give_held(buf, n);
    }

    ssize_t write(const void* buf, size_t n) override
    {
        return retry([&] { return sys().write(fd_, buf, n); });
    }

    int get_attr(struct termios* t) override
    {
        return retry([&] { return sys().tcgetattr(fd_, t); });
    }

    // Whatever the caller asks, the line stays marked (see marked()).
    int set_attr(const struct termios* t) override
    {
        const struct termios m = marking_ ? marked(*t) : *t;
        const int r = retry([&] { return sys().tcsetattr(fd_, TCSANOW, &m); });
        if (r == 0 && marking_)
        {
            std::lock_guard<std::mutex> lock(markMu_);
            inpck_ = (m.c_iflag & INPCK) != 0;
        }
        return r;
    }

    int flush(int queue) override
    {
        if (queue == TCIFLUSH || queue == TCIOFLUSH)
        {
            std::lock_guard<std::mutex> lock(markMu_);
            held_.clear();
            heldAt_ = 0;
            decoder_.reset();
        }
        return retry([&] { return sys().tcflush(fd_, queue); });
    }

    // Bytes decoded ahead count as waiting, with the device's.
    int in_queue(int* n) override
    {
        int raw = 0;
        if (retry([&] { return sys().ioctl(fd_, TIOCINQ, &raw); }) != 0)
            return -1;
        std::lock_guard<std::mutex> lock(markMu_);
        *n = (int)(held_.size() - heldAt_) + std::max(raw, 0);
        return 0;
    }

    // Three bytes of a break mark are no data: a caller told of data would
    // read instead of taking the break. So a port that waits for breaks has
    // the waiting bytes taken off the device and decoded first.
    bool look_ahead() override
    {
        int raw = 0;
        if (!marking_ || retry([&] { return sys().ioctl(fd_, TIOCINQ, &raw); }) != 0 || raw <= 0)
            return false;
        std::lock_guard<std::mutex> lock(markMu_);
        uint8_t chunk[kDecodeChunk];
        const ssize_t r = retry([&] { return sys().read(fd_, chunk, std::min(sizeof chunk, (size_t)raw)); });
        if (r <= 0)
            return false; // a failed read is the next ReadFile's to report
        decode_into_held(chunk, (size_t)r);
        return true;
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

    // The marks the reads took out, and the driver's counters against their
    // last reading. A UART counts a break as it comes in, and its mark follows
    // in the bytes: each break is told once, at whichever sighting comes
    // first. Framing and parity errors come from the marks when INPCK has the
    // driver mark them, else from the counters.
    void take_line_events(DWORD* errors, bool* brk, bool* hangup) override
    {
        *errors = 0;
        *brk = false;
        *hangup = false;
        int marks;
        bool inpck;
        {
            std::lock_guard<std::mutex> lock(markMu_);
            marks = decoder_.take(errors);
            inpck = inpck_;
        }
        *brk = marks > 0;
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
        const bool errorsMarked = marking_ && inpck;
        if (now.frame != base_.frame && !errorsMarked)
            *errors |= CE_FRAME;
        if (now.parity != base_.parity && !errorsMarked)
            *errors |= CE_RXPARITY;
        if (now.overrun != base_.overrun)
            *errors |= CE_OVERRUN;
        if (now.buf_overrun != base_.buf_overrun)
            *errors |= CE_RXOVER;
        *brk = match_breaks(marks, (int)(now.brk - base_.brk));
        base_ = now;
    }

    void release() override
    {
        if (!timer_.path.empty())
            write_small_file(timer_.path, timer_.old);
        timer_.path.clear();
        if (lowLatencySet_)
            restore_low_latency(fd_, oldSerialFlags_);
        lowLatencySet_ = false;
        if (locked_)
            unclaim(fd_);
        locked_ = false;
    }

private:
    // Whether breaks seen as marks and as counts are news: each sighting of
    // one source first cancels one the other source told already.
    bool match_breaks(int marks, int counted)
    {
        if (!marking_)
            return counted > 0;
        const int early = std::min(marks, countedAhead_);
        countedAhead_ -= early;
        marks -= early;
        const int late = std::min(counted, markedAhead_);
        markedAhead_ -= late;
        counted -= late;
        markedAhead_ += marks;
        countedAhead_ += counted;
        return marks > 0 || counted > 0;
    }

    // With markMu_ held.
    void decode_into_held(const uint8_t* in, size_t n)
    {
        if (heldAt_ == held_.size())
        {
            held_.clear();
            heldAt_ = 0;
        }
        decoder_.decode(in, n, &held_);
    }

    ssize_t give_held(void* buf, size_t n)
    {
        const size_t k = std::min(n, held_.size() - heldAt_);
        std::memcpy(buf, held_.data() + heldAt_, k);
        heldAt_ += k;
        return (ssize_t)k;
    }

    int fd_;
    bool locked_;
    struct serial_icounter_struct base_; // the counters' last reading
    bool marking_ = false;               // the line runs with PARMRK: decode
    int markedAhead_ = 0;                // breaks told from marks, their counts not seen yet
    int countedAhead_ = 0;               // breaks told from counts, their marks not seen yet
    LatencyTimer timer_;                 // a latency timer to put back on close
    bool lowLatencySet_ = false;         // ASYNC_LOW_LATENCY was set here
    int oldSerialFlags_ = 0;             // the driver's flags before
    // markMu_: read and in_queue (on different threads) share the decoder and
    // the bytes decoded ahead.
    std::mutex markMu_;
    MarkDecoder decoder_;
    std::vector<uint8_t> held_; // data bytes decoded and not yet read, from heldAt_
    size_t heldAt_ = 0;
    bool inpck_ = false; // the driver marks framing and parity errors too
};

} // namespace

void set_sysfs_root(const std::string& root)
{
    std::lock_guard<std::mutex> lock(g_sysfsMutex);
    g_sysfsRoot = root.empty() ? "/sys" : root;
}

void raw_termios(struct termios* t)
{
    cfmakeraw(t);
    t->c_cflag |= CLOCAL | CREAD;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

std::unique_ptr<PortBackend> tty_backend_open(int fd, bool lockFile, int* err)
{
    auto fail = [&](const char* call, int e) -> std::unique_ptr<PortBackend>
    {
        close_once(fd);
        fail_call(call, "", e);
        if (err != nullptr)
            *err = e;
        return nullptr;
    };
    if (lockFile)
    {
        // flock holds even against root, where TIOCEXCL does not (fact of
        // ttys: root passes TIOCEXCL); TIOCEXCL also keeps out other users'
        // programs that do not take the lock.
        if (retry([&] { return sys().flock(fd, LOCK_EX | LOCK_NB); }) != 0)
            return fail("flock", errno);
        int none = 0;
        retry([&] { return sys().ioctl(fd, TIOCEXCL, &none); });
    }
    // Raw mode before any byte flows: a fresh tty echoes, maps CR and eats
    // XON/XOFF, and the images carry every byte value.
    struct termios t;
    int got = retry([&] { return sys().tcgetattr(fd, &t); });
    // Marked only where the driver keeps line counters (see the top of this
    // file); never a pty, master or slave.
    struct serial_icounter_struct base = {};
    const unsigned caps = probe_caps(fd, &base);
    const bool marking = (caps & kPortBreaks) != 0;
    if (got == 0)
    {
        raw_termios(&t); // reads never wait in the kernel: the port waits in poll
        if (marking)
            t = marked(t);
        got = retry([&] { return sys().tcsetattr(fd, TCSANOW, &t); });
    }
    if (got != 0)
    {
        const int e = errno;
        if (lockFile)
            unclaim(fd); // TIOCEXCL would outlast the descriptor
        return fail("tcsetattr", e);
    }
    auto backend = std::make_unique<TtyBackend>(fd, lockFile, caps, base);
    if (marking)
        backend->start_marking((t.c_iflag & INPCK) != 0);
    int oldFlags = 0;
    const bool lowered = ask_low_latency(fd, &oldFlags);
    backend->keep_latency(lockFile ? lower_latency_timer(fd) : LatencyTimer(), lowered, oldFlags);
    return backend;
}

} // namespace plat
