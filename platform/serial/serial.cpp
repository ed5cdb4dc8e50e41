// Serial ports: the port object and the Win32 file and comm-port calls on it.
// Device resolution lives in serial_devices.cpp, the tty backend in
// serial_tty.cpp, the virtual cable in vcable.cpp.
#include "platform/serial/serial.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/iocontrol.h"
#include "platform/serial/syscalls.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace plat
{

namespace
{

constexpr size_t kReadAhead = 4096;                              // see SerialPort::staged
constexpr auto kCounterRecheck = std::chrono::milliseconds(200); // see WaitCommEvent
constexpr DWORD kValidEventMask = 0x3FFF;                        // EV_RXCHAR .. EV_POWER
constexpr DWORD kValidPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The serial driver's time-outs after open: 250 ms between bytes, 10 ms per
// byte plus 100 ms in total, both ways. Ports whose owner never sets
// time-outs (the bridge's IR ports) run with these.
const COMMTIMEOUTS kDriverTimeouts = {250, 10, 100, 10, 100};

// rate      termios code
struct BaudEntry
{
    DWORD rate;
    speed_t code;
};
static const BaudEntry g_baudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

enum class EscapeKind
{
    Flow,
    Raise,
    Lower,
    Break,
};

// function   what it does            argument
struct EscapeEntry
{
    DWORD func;
    EscapeKind kind;
    int arg;
};
static const EscapeEntry g_escapeTable[] = {
    {SETXOFF, EscapeKind::Flow, TCOOFF},    {SETXON, EscapeKind::Flow, TCOON},
    {SETRTS, EscapeKind::Raise, TIOCM_RTS}, {CLRRTS, EscapeKind::Lower, TIOCM_RTS},
    {SETDTR, EscapeKind::Raise, TIOCM_DTR}, {CLRDTR, EscapeKind::Lower, TIOCM_DTR},
    {SETBREAK, EscapeKind::Break, 1},       {CLRBREAK, EscapeKind::Break, 0},
};

// ---------------------------------------------------------------------------
// Cross-thread wake-ups
// ---------------------------------------------------------------------------
// Each thread that waits on a port polls an eventfd of its own, so PurgeComm's
// aborts and SetCommMask can wake exactly the threads waiting on that port.
// The port's list holds shared references: a thread that ends while listed
// leaves a valid descriptor behind, never a reused number.
struct Kicker
{
    Kicker() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Kicker()
    {
        if (fd >= 0)
            ::close(fd);
    }
    void kick() const
    {
        uint64_t one = 1;
        ssize_t r = ::write(fd, &one, sizeof one);
        (void)r; // a pending wake-up is as good as a new one
    }
    void drain() const
    {
        uint64_t v;
        ssize_t r = ::read(fd, &v, sizeof v);
        (void)r;
    }
    int fd;
};

thread_local std::shared_ptr<Kicker> t_kicker;

std::shared_ptr<Kicker> my_kicker()
{
    if (!t_kicker)
        t_kicker = std::make_shared<Kicker>();
    return t_kicker;
}

// ---------------------------------------------------------------------------
// The port
// ---------------------------------------------------------------------------
struct SerialPort : Object
{
    SerialPort() : Object(ObjectKind::Serial) {}

    ~SerialPort() override
    {
        backend.reset(); // closes the descriptor: no call is in flight any more
        if (closeFd >= 0)
            ::close(closeFd);
    }

    // CloseHandle: every waiter wakes and fails, and the device is free for
    // the next open at once, although the descriptor closes only when the
    // last in-flight call has let go of it.
    void on_close() override
    {
        uint64_t one = 1;
        ssize_t r = ::write(closeFd, &one, sizeof one);
        (void)r;
        std::lock_guard<std::mutex> lock(mu);
        backend->release();
        serial_hold_release(holdKey);
        for (auto& k : waiters)
            k->kick();
    }

    std::u16string name; // device name, for debug lines
    std::string holdKey; // entry in the held-devices table
    std::unique_ptr<PortBackend> backend;
    int closeFd = -1; // eventfd, readable from CloseHandle on

    // Three locks, so that a read and a write on one port (the bridge's two
    // pumps) never wait for each other's system call. Order: rxMu or txMu
    // before mu; never both rxMu and txMu.
    //   rxMu  held around every backend read and every look at the staged
    //         bytes; their count changes only with rxMu and mu both held, so
    //         either lock suffices to read it
    //   txMu  held around every backend write
    //   mu    everything else below, and every other backend call
    std::mutex rxMu;
    std::mutex txMu;
    std::mutex mu;
    DCB dcb = {}; // last settings applied; fields termios cannot hold come from here
    COMMTIMEOUTS timeouts = kDriverTimeouts;
    DWORD mask = 0;                // SetCommMask
    DWORD errors = 0;              // CE_* bits gathered since the last ClearCommError
    bool breakPending = false;     // a break not yet reported by WaitCommEvent
    bool errPending = false;       // a line error not yet reported by WaitCommEvent
    std::atomic<bool> gone{false}; // hung up or unplugged; set with mu held
    bool goneReported = false;     // WaitCommEvent has had its one chance to say so
    DWORD inQueueSize = 0;         // SetupComm, recorded only
    DWORD outQueueSize = 0;
    // Bytes taken from the device ahead of the caller, handed out first: a
    // read asks the device for a whole line buffer's worth (a tty's holds
    // 4 KiB), so that a caller reading 1 KiB at a time (the bridge) makes one
    // system call, and one wake-up of the kernel's receive worker, per 4 KiB
    // instead of per 1 KiB. WaitCommEvent's probe reads keep their bytes here
    // too. They count as received and not yet read (ClearCommError, EV_RXCHAR)
    // and PURGE_RXCLEAR drops them, like the driver's receive buffer.
    uint8_t staged[kReadAhead];
    size_t stagedAt = 0;              // first staged byte
    std::atomic<size_t> stagedLen{0}; // read without a lock only as a hint
    // The last ReadFile found the device empty until its time-out: the next
    // one starts with the wait instead of a read that would find nothing
    // either. Only a hint; a device that has bytes polls readable at once.
    std::atomic<bool> rxQuiet{false};
    uint64_t maskGen = 0;                // bumped by SetCommMask
    std::atomic<uint64_t> rxAbortGen{0}; // bumped by PURGE_RXABORT, with mu held
    std::atomic<uint64_t> txAbortGen{0}; // bumped by PURGE_TXABORT, with mu held
    std::vector<std::shared_ptr<Kicker>> waiters;
};
using PortRef = std::shared_ptr<SerialPort>;

// Registers the calling thread as waiting on a port for the life of a call.
class WaiterScope
{
public:
    explicit WaiterScope(SerialPort* p) : p_(p), k_(my_kicker())
    {
        std::lock_guard<std::mutex> lock(p_->mu);
        p_->waiters.push_back(k_);
    }
    ~WaiterScope()
    {
        std::lock_guard<std::mutex> lock(p_->mu);
        auto it = std::find(p_->waiters.begin(), p_->waiters.end(), k_);
        if (it != p_->waiters.end())
            p_->waiters.erase(it);
    }
    WaiterScope(const WaiterScope&) = delete;
    WaiterScope& operator=(const WaiterScope&) = delete;
    int fd() const
    {
        return k_->fd;
    }
    void drain() const
    {
        k_->drain();
    }

private:
    SerialPort* p_;
    std::shared_ptr<Kicker> k_;
};

PortRef port_from(HANDLE h)
{
    return handle_get_as<SerialPort>(h, ObjectKind::Serial);
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

bool is_gone_errno(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE;
}

void kick_waiters_locked(SerialPort* p)
{
    for (auto& k : p->waiters)
        k->kick();
}

void mark_gone_locked(SerialPort* p)
{
    if (p->gone)
        return;
    p->gone = true;
    debug_write(p->name + u" hung up: the device is gone\r\n");
    kick_waiters_locked(p);
}

void collect_events_locked(SerialPort* p)
{
    DWORD ce = 0;
    bool brk = false;
    bool hup = false;
    p->backend->take_line_events(&ce, &brk, &hup);
    if (ce != 0)
    {
        p->errors |= ce;
        p->errPending = true;
    }
    if (brk)
    {
        p->errors |= CE_BREAK;
        p->breakPending = true;
    }
    if (hup)
        mark_gone_locked(p);
}

size_t pending_locked(SerialPort* p)
{
    int inq = 0;
    if (p->backend->in_queue(&inq) != 0 || inq < 0)
        inq = 0;
    return p->stagedLen.load() + (size_t)inq;
}

enum class Pull
{
    Bytes,   // *got bytes taken
    Nothing, // nothing waiting now
    Gone,    // nothing, and nothing will come: the port is marked gone
    Failed,  // a system call failed; *err holds errno
    Ended,   // the calling thread was terminated: nothing read
};

void mark_gone(SerialPort* p)
{
    std::lock_guard<std::mutex> lock(p->mu);
    mark_gone_locked(p);
}

// One non-blocking read from the backend, with rxMu held (not mu). A read that
// gives nothing is told apart from a hang-up: POLLHUP/POLLERR/POLLNVAL, or the
// device polling readable while two reads in a row give 0 bytes, means gone (a
// tty at VMIN=0 reads 0 bytes both when empty and when hung up). Without
// `probe` that check is left to the caller's next wait, which sees a hung-up
// device at once: then Nothing may also mean gone. Callers pass `probe` when
// the device has just polled readable or hung up, or when they will not wait.
Pull backend_read_rx(SerialPort* p, uint8_t* buf, size_t max, size_t* got, int* err, bool probe)
{
    for (int attempt = 0; attempt < 2; attempt++)
    {
        ssize_t r = p->backend->read(buf, max);
        if (r > 0)
        {
            *got = (size_t)r;
            return Pull::Bytes;
        }
        if (r < 0 && errno != EAGAIN)
        {
            const int e = errno;
            if (is_gone_errno(e))
            {
                mark_gone(p);
                return Pull::Gone;
            }
            *err = e;
            return Pull::Failed;
        }
        if (p->gone.load())
            return Pull::Gone;
        if (r < 0 || !probe)
            return Pull::Nothing; // EAGAIN: the backend knows it is merely empty
        struct pollfd pf = {p->backend->rx_fd(), POLLIN, 0};
        int pr;
        do
            pr = sys().poll(&pf, 1, 0);
        while (pr < 0 && errno == EINTR);
        if (pr > 0 && (pf.revents & (POLLHUP | POLLERR | POLLNVAL)))
        {
            mark_gone(p);
            return Pull::Gone;
        }
        if (pr <= 0 || !(pf.revents & POLLIN))
            return Pull::Nothing;
        // Readable, yet the read gave nothing: look once more, since bytes may
        // have landed between the read and the poll.
    }
    mark_gone(p);
    return Pull::Gone;
}

// Takes waiting bytes: staged ones first, else one read from the backend (see
// backend_read_rx for `probe`), of a whole kReadAhead when less is asked; what
// the caller did not ask for is staged. *drained: the bytes came from a device
// read that brought less than it asked for, so the device had no more
// waiting. Returns with no lock held.
Pull pull(SerialPort* p, uint8_t* buf, size_t max, size_t* got, int* err, bool probe, bool* drained)
{
    *drained = false;
    IoScope io;
    if (io.cancelled())
        return Pull::Ended;
    std::lock_guard<std::mutex> rx(p->rxMu);
    const size_t staged = p->stagedLen.load();
    if (staged > 0)
    {
        std::lock_guard<std::mutex> lock(p->mu);
        size_t k = std::min(max, staged);
        std::memcpy(buf, p->staged + p->stagedAt, k);
        p->stagedAt = k < staged ? p->stagedAt + k : 0;
        p->stagedLen.store(staged - k);
        *got = k;
        return Pull::Bytes;
    }
    if (max >= kReadAhead)
    {
        Pull r = backend_read_rx(p, buf, max, got, err, probe);
        *drained = r == Pull::Bytes && *got < max;
        return r;
    }
    // Nothing is staged and only holders of rxMu look at the buffer.
    size_t n = 0;
    Pull r = backend_read_rx(p, p->staged, kReadAhead, &n, err, probe);
    if (r != Pull::Bytes)
        return r;
    *drained = n < kReadAhead;
    const size_t k = std::min(max, n);
    std::memcpy(buf, p->staged, k);
    if (k < n)
    {
        std::lock_guard<std::mutex> lock(p->mu);
        p->stagedAt = k;
        p->stagedLen.store(n - k);
    }
    *got = k;
    return Pull::Bytes;
}

// ---------------------------------------------------------------------------
// Line settings
// ---------------------------------------------------------------------------
const BaudEntry* baud_by_rate(DWORD rate)
{
    for (const BaudEntry& e : g_baudTable)
    {
        if (e.rate == rate)
            return &e;
    }
    return nullptr;
}

DWORD rate_of(speed_t code)
{
    for (const BaudEntry& e : g_baudTable)
    {
        if (e.code == code)
            return e.rate;
    }
    return 0;
}

bool dcb_valid(const DCB& d)
{
    if (baud_by_rate(d.BaudRate) == nullptr)
        return false;
    if (d.ByteSize < 5 || d.ByteSize > 8 || d.Parity > SPACEPARITY || d.StopBits > TWOSTOPBITS)
        return false;
    if ((d.fOutX || d.fInX) && d.XonChar == d.XoffChar)
        return false;
    return true;
}

tcflag_t size_flag(BYTE bits)
{
    switch (bits)
    {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

void dcb_to_termios(const DCB& d, struct termios* t)
{
    speed_t code = baud_by_rate(d.BaudRate)->code;
    cfsetispeed(t, code);
    cfsetospeed(t, code);
    t->c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t->c_cflag |= CLOCAL | CREAD | size_flag(d.ByteSize);
    switch (d.Parity)
    {
        case ODDPARITY:
            t->c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t->c_cflag |= PARENB;
            break;
        case MARKPARITY:
            t->c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case SPACEPARITY:
            t->c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    // termios has one or two stop bits; one and a half (the module link's
    // setting) becomes two, the safe side for the receiver.
    if (d.StopBits != ONESTOPBIT)
        t->c_cflag |= CSTOPB;
    if (d.fOutxCtsFlow || d.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t->c_cflag |= CRTSCTS;
    t->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    if (d.fOutX)
        t->c_iflag |= IXON;
    if (d.fInX)
        t->c_iflag |= IXOFF;
    if (d.fParity)
        t->c_iflag |= INPCK;
    t->c_cc[VSTART] = (cc_t)d.XonChar;
    t->c_cc[VSTOP] = (cc_t)d.XoffChar;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

DCB dcb_from_termios(const struct termios& t, const DCB& kept)
{
    DCB d = kept;
    d.DCBlength = sizeof(DCB);
    d.fBinary = 1; // the only mode there is
    DWORD rate = rate_of(cfgetospeed(&t));
    if (rate != 0)
        d.BaudRate = rate;
    switch (t.c_cflag & CSIZE)
    {
        case CS5:
            d.ByteSize = 5;
            break;
        case CS6:
            d.ByteSize = 6;
            break;
        case CS7:
            d.ByteSize = 7;
            break;
        default:
            d.ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB))
        d.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        d.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        d.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    if (!(t.c_cflag & CSTOPB))
        d.StopBits = ONESTOPBIT;
    else
        d.StopBits = kept.StopBits == ONE5STOPBITS ? ONE5STOPBITS : TWOSTOPBITS;
    bool rtsHandshakeOnly = kept.fRtsControl == RTS_CONTROL_HANDSHAKE && !kept.fOutxCtsFlow;
    d.fOutxCtsFlow = (t.c_cflag & CRTSCTS) && !rtsHandshakeOnly ? 1 : 0;
    d.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    d.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    d.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    d.XonChar = (char)t.c_cc[VSTART];
    d.XoffChar = (char)t.c_cc[VSTOP];
    return d;
}

std::string describe_line(const struct termios& t)
{
    static const char* const kParity[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    DCB none = {};
    DCB d = dcb_from_termios(t, none);
    std::string s = std::to_string(d.BaudRate) + " baud, " + std::to_string(d.ByteSize) + " data bits, " +
                    kParity[d.Parity] + ", " + (d.StopBits == ONESTOPBIT ? "1 stop bit" : "2 stop bits");
    if (t.c_cflag & CRTSCTS)
        s += ", RTS/CTS";
    if (t.c_iflag & (IXON | IXOFF))
        s += ", XON/XOFF";
    return s;
}

bool same_line(const struct termios& a, const struct termios& b)
{
    const tcflag_t c = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    const tcflag_t i = IXON | IXOFF | INPCK;
    return cfgetospeed(&a) == cfgetospeed(&b) && (a.c_cflag & c) == (b.c_cflag & c) &&
           (a.c_iflag & i) == (b.c_iflag & i);
}

// The DCB fields no termios device holds: kept and reported back, not applied.
std::string unsupported_fields(const DCB& d)
{
    std::string s;
    auto add = [&](bool on, const char* what)
    {
        if (on)
            s += (s.empty() ? "" : ", ") + std::string(what);
    };
    add(!d.fBinary, "text mode");
    add(d.fOutxDsrFlow, "DSR output flow control");
    add(d.fDsrSensitivity, "DSR sensitivity");
    add(d.fDtrControl == DTR_CONTROL_HANDSHAKE, "DTR handshake");
    add(d.fRtsControl == RTS_CONTROL_TOGGLE, "RTS toggle");
    add(d.fErrorChar, "error-character replacement");
    add(d.fNull, "null stripping");
    add(d.fAbortOnError, "abort on error");
    return s;
}

void report(SerialPort* p, const std::string& text)
{
    debug_write(p->name + u" " + utf8_to_utf16(text) + u"\r\n");
}

// The plan a read follows, from COMMTIMEOUTS and the count asked for.
struct ReadPlan
{
    Clock::time_point total; // give up here (time_point::max(): never)
    bool returnWhenAny;      // return once bytes have come and no more are waiting
    DWORD interval;          // 0: no limit between bytes
};

ReadPlan read_plan(const COMMTIMEOUTS& to, DWORD count, Clock::time_point start)
{
    ReadPlan plan{Clock::time_point::max(), false, 0};
    const DWORD iv = to.ReadIntervalTimeout;
    const DWORD mul = to.ReadTotalTimeoutMultiplier;
    const DWORD con = to.ReadTotalTimeoutConstant;
    if (iv == MAXDWORD && mul == MAXDWORD)
    {
        // Wait up to the constant for the first byte, return on any.
        plan.returnWhenAny = true;
        if (con != MAXDWORD)
            plan.total = start + std::chrono::milliseconds(con);
        return plan;
    }
    if (mul != 0 || con != 0)
    {
        uint64_t ms = (uint64_t)mul * count + con;
        ms = std::min<uint64_t>(ms, 0x7FFFFFFFu);
        plan.total = start + std::chrono::milliseconds(ms);
    }
    else if (iv == MAXDWORD)
    {
        // Interval MAXDWORD with both totals 0: return at once with what is there.
        plan.total = start;
    }
    // Deliberate choice: with no interval limit (0) and a total time-out, the
    // read returns as soon as bytes have arrived and no more are waiting, or
    // at the total time-out; it does not wait on for the whole count. Desktop
    // Win32 would wait for the count or the total, adding the whole time-out
    // to every reply that is shorter than the buffer (the bridge's 1 ms reads
    // would add about 1.1 ms per hop); all the bridge relies on is "returns
    // within the time-out with what has arrived", which this keeps. An
    // interval of MAXDWORD with a total means the same.
    plan.returnWhenAny = iv == MAXDWORD || (iv == 0 && (mul != 0 || con != 0));
    plan.interval = iv == MAXDWORD ? 0 : iv;
    return plan;
}

BOOL read_result(LPDWORD read, size_t got, DWORD error)
{
    *read = (DWORD)got;
    if (error == ERROR_SUCCESS)
        return TRUE;
    SetLastError(error);
    return FALSE;
}

} // namespace

} // namespace plat

// ---------------------------------------------------------------------------
// The Win32 calls
// ---------------------------------------------------------------------------
using namespace plat;

// Opens a device of the profile. Serial devices are exclusive whatever the
// share mode (a serial line has one user; the tool always asks for none) and
// refuse a second open with ERROR_ACCESS_DENIED, as the handheld's driver
// does. Access rights are not checked: every port reads and writes.
HANDLE CreateFileW(LPCWSTR name, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD creation, DWORD, HANDLE)
{
    thread_checkpoint();
    if (name == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const DeviceSpec* device = device_find(name);
    if (device == nullptr)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (device->type == DeviceType::RilSimReset || device->type == DeviceType::RilNone ||
        device->type == DeviceType::RilCommand)
    {
        HANDLE h = ril_open(device); // control-only: no line, no exclusive hold
        return h != nullptr ? h : INVALID_HANDLE_VALUE;
    }
    if (creation != OPEN_EXISTING)
    {
        SetLastError(ERROR_INVALID_PARAMETER); // a device is never created
        return INVALID_HANDLE_VALUE;
    }
    OpenedDevice dev;
    if (!serial_device_open(device, &dev))
        return INVALID_HANDLE_VALUE;
    auto p = std::make_shared<SerialPort>();
    p->name = device->name;
    p->holdKey = dev.holdKey;
    p->backend = std::move(dev.backend);
    p->closeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (p->closeFd < 0)
    {
        int err = errno;
        p->on_close();
        set_error_from_errno(err);
        return INVALID_HANDLE_VALUE;
    }
    p->dcb.fBinary = 1;
    p->dcb.fDtrControl = DTR_CONTROL_ENABLE;
    p->dcb.fRtsControl = RTS_CONTROL_ENABLE;
    p->dcb.XonLim = 2048;
    p->dcb.XoffLim = 512;
    struct termios t;
    if (p->backend->get_attr(&t) == 0)
        p->dcb = dcb_from_termios(t, p->dcb);
    HANDLE h = handle_insert(p);
    if (h == nullptr)
    {
        DWORD err = GetLastError();
        p->on_close();
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// Reads with the COMMTIMEOUTS meanings (see read_plan for the one deliberate
// difference). A time-out is success with the count read so far.
//
// The bridge makes two thousand of these a second, most of them empty, so the
// common paths are kept short: staged bytes, or one device read (see
// SerialPort::staged), which returns at once when it brings bytes (a device
// read that brings fewer than it asked for means no more were waiting); only
// when nothing came, one wait on the device, the close descriptor and the
// wake-ups, then another read if the device polled readable. A wait that
// times out ends the call without another look, and the next call on a port
// found empty like that starts with the wait.
BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD toRead, LPDWORD read, OVERLAPPED* overlapped)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (overlapped != nullptr || read == nullptr || (buffer == nullptr && toRead > 0))
        return fail(ERROR_INVALID_PARAMETER);
    *read = 0;
    if (toRead == 0)
        return TRUE;
    COMMTIMEOUTS to;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        to = p->timeouts;
    }
    const uint64_t abortGen = p->rxAbortGen.load();
    const ReadPlan plan = read_plan(to, toRead, Clock::now());
    std::optional<WaiterScope> ws; // registered before the first wait only
    uint8_t* out = static_cast<uint8_t*>(buffer);
    size_t got = 0;
    Clock::time_point lastByte;
    bool look = !p->rxQuiet.load(std::memory_order_relaxed) || p->stagedLen.load() > 0;
    bool probe = false; // the device polled readable or hung up
    for (;;)
    {
        // A terminated thread fails at the read's I/O section or in the wait.
        if (p->closing.load() || p->rxAbortGen.load() != abortGen)
            return read_result(read, got, ERROR_OPERATION_ABORTED);
        if (look)
        {
            size_t k = 0;
            int err = 0;
            bool drained = false;
            Pull r = pull(p.get(), out + got, toRead - got, &k, &err, probe, &drained);
            probe = false;
            if (r == Pull::Bytes)
            {
                if (p->rxQuiet.load(std::memory_order_relaxed))
                    p->rxQuiet.store(false, std::memory_order_relaxed);
                got += k;
                if (got == toRead)
                    break;
                if (plan.interval != 0)
                    lastByte = Clock::now();
                if (plan.returnWhenAny && drained)
                    break; // the device had no more
                continue;
            }
            if (r == Pull::Gone)
            {
                if (got > 0)
                    break; // the bytes that came before the hang-up; the next call fails
                return read_result(read, 0, ERROR_DEVICE_NOT_CONNECTED);
            }
            if (r == Pull::Ended)
                return read_result(read, got, ERROR_OPERATION_ABORTED);
            if (r == Pull::Failed)
            {
                *read = (DWORD)got;
                set_error_from_errno(err);
                return FALSE;
            }
            if (plan.returnWhenAny && got > 0)
                break;
        }
        look = true;
        Clock::time_point deadline = plan.total;
        if (plan.interval != 0 && got > 0)
            deadline = std::min(deadline, lastByte + std::chrono::milliseconds(plan.interval));
        if (got > 0 && Clock::now() >= deadline)
            break;
        if (!ws)
        {
            // From here PURGE_RXABORT and bytes a WaitCommEvent probe stages
            // kick this thread; what came before shows now.
            ws.emplace(p.get());
            if (p->rxAbortGen.load() != abortGen)
                return read_result(read, got, ERROR_OPERATION_ABORTED);
            if (p->stagedLen.load() > 0)
                continue;
        }
        // Also when the deadline has passed and nothing came: the poll then
        // looks once without waiting, which tells an empty device from a
        // hung-up one.
        struct pollfd fds[3] = {
            {p->backend->rx_fd(), POLLIN, 0},
            {p->closeFd, POLLIN, 0},
            {ws->fd(), POLLIN, 0},
        };
        if (wait_fds(fds, 3, deadline) < 0)
            return read_result(read, got, ERROR_OPERATION_ABORTED);
        if (fds[2].revents)
            ws->drain();
        if (fds[0].revents)
        {
            probe = true;
            continue;
        }
        if (fds[1].revents == 0 && fds[2].revents == 0 && Clock::now() >= deadline)
        {
            if (got == 0)
                p->rxQuiet.store(true, std::memory_order_relaxed);
            break;
        }
    }
    return read_result(read, got, ERROR_SUCCESS);
}

// Writes through O_NONBLOCK and poll(POLLOUT) bounded by the write time-outs
// (both 0: no bound, but CloseHandle, PURGE_TXABORT and TerminateThread still
// end it). A time-out is success with the count written, as on the handheld.
// The write is tried first; only a full device makes the call wait.
BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD toWrite, LPDWORD written, OVERLAPPED* overlapped)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (overlapped != nullptr || written == nullptr || (buffer == nullptr && toWrite > 0))
        return fail(ERROR_INVALID_PARAMETER);
    *written = 0;
    if (toWrite == 0)
        return TRUE;
    COMMTIMEOUTS to;
    uint64_t abortGen;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        if (p->gone.load())
            return fail(ERROR_DEVICE_NOT_CONNECTED);
        to = p->timeouts;
        abortGen = p->txAbortGen.load();
    }
    Clock::time_point deadline = Clock::time_point::max();
    if (to.WriteTotalTimeoutMultiplier != 0 || to.WriteTotalTimeoutConstant != 0)
    {
        uint64_t ms = (uint64_t)to.WriteTotalTimeoutMultiplier * toWrite + to.WriteTotalTimeoutConstant;
        deadline = Clock::now() + std::chrono::milliseconds(std::min<uint64_t>(ms, 0x7FFFFFFFu));
    }
    std::optional<WaiterScope> ws; // registered before the first wait only
    const uint8_t* in = static_cast<const uint8_t*>(buffer);
    size_t done = 0;
    bool hangupSeen = false;
    for (;;)
    {
        if (p->closing.load())
            return read_result(written, done, ERROR_OPERATION_ABORTED);
        ssize_t r;
        int err;
        {
            IoScope io; // also fails the call for a terminated thread
            if (io.cancelled())
                return read_result(written, done, ERROR_OPERATION_ABORTED);
            std::lock_guard<std::mutex> tx(p->txMu);
            if (p->txAbortGen.load() != abortGen)
                return read_result(written, done, ERROR_OPERATION_ABORTED);
            r = p->backend->write(in + done, toWrite - done);
            err = errno;
        }
        if (r > 0)
        {
            done += (size_t)r; // a short write carries on with the rest
            if (done == toWrite)
                break;
            continue;
        }
        if (r < 0 && (is_gone_errno(err) || (err == EAGAIN && hangupSeen)))
        {
            mark_gone(p.get());
            return read_result(written, done, ERROR_DEVICE_NOT_CONNECTED);
        }
        if (r < 0 && err != EAGAIN)
        {
            *written = (DWORD)done;
            set_error_from_errno(err);
            return FALSE;
        }
        if (deadline != Clock::time_point::max() && Clock::now() >= deadline)
            break;
        if (!ws)
        {
            // From here PURGE_TXABORT kicks this thread; one that came before
            // shows in the generation.
            ws.emplace(p.get());
            if (p->txAbortGen.load() != abortGen)
                return read_result(written, done, ERROR_OPERATION_ABORTED);
        }
        struct pollfd fds[3] = {
            {p->backend->tx_fd(), p->backend->tx_events(), 0},
            {p->closeFd, POLLIN, 0},
            {ws->fd(), POLLIN, 0},
        };
        if (wait_fds(fds, 3, deadline) < 0)
            return read_result(written, done, ERROR_OPERATION_ABORTED);
        if (fds[2].revents)
            ws->drain();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
            hangupSeen = true; // the next write tells: EIO, or still no room and gone
    }
    return read_result(written, done, ERROR_SUCCESS);
}

// Reads what the device really has; fields termios cannot hold come from the
// last SetCommState.
BOOL GetCommState(HANDLE h, DCB* dcb)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (dcb == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    struct termios t;
    if (p->backend->get_attr(&t) != 0)
    {
        set_error_from_errno(errno);
        return FALSE;
    }
    *dcb = dcb_from_termios(t, p->dcb);
    return TRUE;
}

// Applies what the device can take and reports the rest as a debug line: a
// pty keeps only 8 data bits without parity and refuses the rest, which must
// not fail a whole open. One and a half stop bits become two.
BOOL SetCommState(HANDLE h, DCB* dcb)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB) || !dcb_valid(*dcb))
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    struct termios cur;
    if (p->backend->get_attr(&cur) != 0)
    {
        set_error_from_errno(errno);
        return FALSE;
    }
    struct termios want = cur;
    dcb_to_termios(*dcb, &want);
    if (p->backend->set_attr(&want) != 0)
    {
        int err = errno;
        // Fall back to 8 data bits without parity, all a pty takes.
        struct termios plain = want;
        plain.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR);
        plain.c_cflag |= CS8;
        plain.c_iflag &= ~INPCK;
        if (err != EINVAL || p->backend->set_attr(&plain) != 0)
        {
            set_error_from_errno(err);
            return FALSE;
        }
    }
    struct termios got;
    if (p->backend->get_attr(&got) == 0 && !same_line(want, got))
        report(p.get(), "cannot take " + describe_line(want) + "; the line stays at " + describe_line(got));
    std::string unsupported = unsupported_fields(*dcb);
    if (!unsupported.empty())
        report(p.get(), "has no " + unsupported + "; the settings are kept but not applied");
    // DTR and RTS follow their control settings where the device has modem
    // lines; a pty has none (ENOTTY), which is not an error of the settings.
    if (dcb->fDtrControl == DTR_CONTROL_ENABLE || dcb->fDtrControl == DTR_CONTROL_DISABLE)
        p->backend->modem_lines(dcb->fDtrControl == DTR_CONTROL_ENABLE, TIOCM_DTR);
    if (dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_DISABLE)
        p->backend->modem_lines(dcb->fRtsControl == RTS_CONTROL_ENABLE, TIOCM_RTS);
    p->dcb = *dcb;
    return TRUE;
}

// The time-outs last set, or the driver's defaults after open.
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (timeouts == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    *timeouts = p->timeouts;
    return TRUE;
}

// Recorded and applied by the next ReadFile/WriteFile; a call already waiting
// keeps the time-outs it started with, as on the handheld.
BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (timeouts == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    p->timeouts = *timeouts;
    return TRUE;
}

// The sizes are recorded; the kernel's queues are what they are.
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    std::lock_guard<std::mutex> lock(p->mu);
    p->inQueueSize = inQueue;
    p->outQueueSize = outQueue;
    return TRUE;
}

// tcflush for the CLEAR flags; the ABORT flags end other threads' pending
// reads or writes on the port, which fail with ERROR_OPERATION_ABORTED.
BOOL PurgeComm(HANDLE h, DWORD flags)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (flags & ~kValidPurgeFlags)
        return fail(ERROR_INVALID_PARAMETER);
    std::unique_lock<std::mutex> rx(p->rxMu, std::defer_lock);
    if (flags & PURGE_RXCLEAR)
        rx.lock(); // for the staged bytes
    std::lock_guard<std::mutex> lock(p->mu);
    if (flags & (PURGE_RXABORT | PURGE_TXABORT))
    {
        if (flags & PURGE_RXABORT)
            p->rxAbortGen++;
        if (flags & PURGE_TXABORT)
            p->txAbortGen++;
        kick_waiters_locked(p.get());
    }
    if (flags & PURGE_RXCLEAR)
    {
        p->stagedLen = 0;
        p->stagedAt = 0;
    }
    int queue = -1;
    if ((flags & PURGE_RXCLEAR) && (flags & PURGE_TXCLEAR))
        queue = TCIOFLUSH;
    else if (flags & PURGE_RXCLEAR)
        queue = TCIFLUSH;
    else if (flags & PURGE_TXCLEAR)
        queue = TCOFLUSH;
    if (queue >= 0 && p->backend->flush(queue) != 0)
    {
        int err = errno;
        if (is_gone_errno(err))
            mark_gone_locked(p.get());
        set_error_from_errno(err);
        return FALSE;
    }
    return TRUE;
}

// Modem lines through TIOCMBIS/TIOCMBIC where the device has them. A pty has
// none: FALSE with ERROR_NOT_SUPPORTED (from ENOTTY); the tool's callers do
// not look at the result.
BOOL EscapeCommFunction(HANDLE h, DWORD func)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    const EscapeEntry* e = nullptr;
    for (const EscapeEntry& row : g_escapeTable)
    {
        if (row.func == func)
            e = &row;
    }
    if (e == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    int r;
    switch (e->kind)
    {
        case EscapeKind::Flow:
            r = p->backend->flow(e->arg);
            break;
        case EscapeKind::Raise:
        case EscapeKind::Lower:
            r = p->backend->modem_lines(e->kind == EscapeKind::Raise, e->arg);
            break;
        default:
            r = p->backend->set_break(e->arg != 0);
            break;
    }
    if (r != 0)
    {
        set_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

// A new mask ends a WaitCommEvent pending on another thread: it returns TRUE
// with event 0, the way the handheld lets one thread cancel another's wait.
// Breaks and line errors not yet reported stay pending across mask changes.
BOOL SetCommMask(HANDLE h, DWORD mask)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (mask & ~kValidEventMask)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    p->mask = mask;
    p->maskGen++;
    kick_waiters_locked(p.get());
    return TRUE;
}

// The mask last set; 0 after open, as on the handheld.
BOOL GetCommMask(HANDLE h, LPDWORD mask)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (mask == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(p->mu);
    *mask = p->mask;
    return TRUE;
}

// Blocks until received data (EV_RXCHAR; data already waiting counts at
// once), a break (EV_BREAK) or a line error (EV_ERR) within the mask; no
// time-out. A hang-up is reported once as EV_ERR when the mask has it; after
// that (or without EV_ERR in the mask) the call fails with
// ERROR_DEVICE_NOT_CONNECTED, so a caller's loop cannot spin on a dead line.
BOOL WaitCommEvent(HANDLE h, LPDWORD events, OVERLAPPED* overlapped)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    if (overlapped != nullptr || events == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    *events = 0;
    WaiterScope ws(p.get());
    DWORD mask;
    uint64_t gen;
    {
        std::lock_guard<std::mutex> lock(p->mu);
        mask = p->mask;
        gen = p->maskGen;
    }
    if (mask == 0)
        return fail(ERROR_INVALID_PARAMETER);
    for (;;)
    {
        if (p->closing.load())
            return fail(ERROR_OPERATION_ABORTED);
        bool watchData;
        {
            std::lock_guard<std::mutex> lock(p->mu);
            if (p->maskGen != gen)
                return TRUE; // SetCommMask from another thread
            collect_events_locked(p.get());
            DWORD ev = 0;
            if ((mask & EV_BREAK) && p->breakPending)
            {
                ev |= EV_BREAK;
                p->breakPending = false;
            }
            if ((mask & EV_ERR) && p->errPending)
            {
                ev |= EV_ERR;
                p->errPending = false;
            }
            size_t pending = pending_locked(p.get());
            if ((mask & EV_RXCHAR) && pending > 0)
                ev |= EV_RXCHAR;
            if (p->gone && !p->goneReported)
            {
                p->goneReported = true;
                if (mask & EV_ERR)
                    ev |= EV_ERR;
            }
            if (ev != 0)
            {
                *events = ev;
                return TRUE;
            }
            if (p->gone)
                return fail(ERROR_DEVICE_NOT_CONNECTED);
            // Unread data that the mask does not ask about must not keep the
            // poll readable: then only a hang-up, a line event or a mask
            // change ends the wait.
            watchData = pending == 0;
        }
        struct pollfd fds[4] = {
            {p->backend->rx_fd(), (short)(watchData ? POLLIN : 0), 0},
            {p->closeFd, POLLIN, 0},
            {ws.fd(), POLLIN, 0},
            {p->backend->event_fd(), POLLIN, 0},
        };
        int n = p->backend->event_fd() >= 0 ? 4 : 3;
        // A UART's break and error counters change as bytes arrive; while
        // unread data keeps the port from watching for more, look at them now
        // and then instead.
        Clock::time_point deadline = Clock::time_point::max();
        if (!watchData && p->backend->counts_line_events())
            deadline = Clock::now() + kCounterRecheck;
        if (wait_fds(fds, n, deadline) < 0)
            return fail(ERROR_OPERATION_ABORTED);
        if (fds[2].revents)
            ws.drain();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))
        {
            std::lock_guard<std::mutex> lock(p->mu);
            mark_gone_locked(p.get());
            continue;
        }
        if (watchData && (fds[0].revents & POLLIN))
        {
            // Readable: bytes, or a hang-up that only shows as a 0-byte read.
            // A probe read keeps what it takes for the next ReadFile.
            if (thread_terminated())
                return fail(ERROR_OPERATION_ABORTED);
            IoScope io;
            if (io.cancelled())
                return fail(ERROR_OPERATION_ABORTED);
            std::lock_guard<std::mutex> rx(p->rxMu);
            size_t pending;
            {
                std::lock_guard<std::mutex> lock(p->mu);
                pending = pending_locked(p.get());
            }
            // Nothing pending means nothing staged, and only holders of rxMu
            // look at the buffer.
            size_t k = 0;
            int err = 0;
            if (pending == 0 && backend_read_rx(p.get(), p->staged, kReadAhead, &k, &err, true) == Pull::Bytes)
            {
                std::lock_guard<std::mutex> lock(p->mu);
                p->stagedAt = 0;
                p->stagedLen = k;
                // A ReadFile waiting on another thread would not see these
                // bytes on the device any more.
                kick_waiters_locked(p.get());
            }
        }
    }
}

// Returns and clears the CE_* errors gathered since the last call; COMSTAT
// counts the bytes waiting each way. On a gone port the figures are filled in
// and the call fails with ERROR_DEVICE_NOT_CONNECTED.
BOOL ClearCommError(HANDLE h, LPDWORD errors, COMSTAT* stat)
{
    thread_checkpoint();
    PortRef p = port_from(h);
    if (!p)
        return FALSE;
    std::lock_guard<std::mutex> lock(p->mu);
    collect_events_locked(p.get());
    if (errors != nullptr)
        *errors = p->errors;
    p->errors = 0;
    if (stat != nullptr)
    {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = (DWORD)pending_locked(p.get());
        int outq = 0;
        if (p->backend->out_queue(&outq) == 0 && outq > 0)
            stat->cbOutQue = (DWORD)outq;
    }
    if (p->gone)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    return TRUE;
}
