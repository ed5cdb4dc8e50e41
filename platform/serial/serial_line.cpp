// Line settings: DCB to and from termios, what a device cannot take reported
// as a debug line, and the modem lines and breaks of EscapeCommFunction.
#include "platform/serial/serial_port.h"
#include "platform/kernel/debug.h"

#include <cerrno>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>

namespace plat
{

namespace
{

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

// data bits  termios size
struct SizeEntry
{
    BYTE bits;
    tcflag_t flag;
};
static const SizeEntry g_sizeTable[] = {{5, CS5}, {6, CS6}, {7, CS7}, {8, CS8}};

// parity       termios flags (under kParityFlags)
struct ParityEntry
{
    BYTE parity;
    tcflag_t flags;
};
constexpr tcflag_t kParityFlags = PARENB | PARODD | CMSPAR;
static const ParityEntry g_parityTable[] = {
    {NOPARITY, 0},
    {ODDPARITY, PARENB | PARODD},
    {EVENPARITY, PARENB},
    {MARKPARITY, PARENB | PARODD | CMSPAR},
    {SPACEPARITY, PARENB | CMSPAR},
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

// The first row of a table that matches, or null.
template <typename Row, size_t N, typename Match> const Row* find_row(const Row (&table)[N], Match match)
{
    for (const Row& row : table)
    {
        if (match(row))
            return &row;
    }
    return nullptr;
}

const BaudEntry* baud_by_rate(DWORD rate)
{
    return find_row(g_baudTable, [&](const BaudEntry& e) { return e.rate == rate; });
}

DWORD rate_of(speed_t code)
{
    const BaudEntry* e = find_row(g_baudTable, [&](const BaudEntry& row) { return row.code == code; });
    return e != nullptr ? e->rate : 0;
}

// Anything out of the tables reads as 8 data bits and no parity, as a
// device that holds nothing else would have it.
BYTE bits_of(tcflag_t cflag)
{
    const SizeEntry* e = find_row(g_sizeTable, [&](const SizeEntry& row) { return row.flag == (cflag & CSIZE); });
    return e != nullptr ? e->bits : 8;
}

tcflag_t size_flag(BYTE bits)
{
    const SizeEntry* e = find_row(g_sizeTable, [&](const SizeEntry& row) { return row.bits == bits; });
    return e != nullptr ? e->flag : CS8;
}

BYTE parity_of(tcflag_t cflag)
{
    const ParityEntry* e =
        find_row(g_parityTable, [&](const ParityEntry& row) { return row.flags == (cflag & kParityFlags); });
    return e != nullptr && (cflag & PARENB) ? e->parity : NOPARITY;
}

tcflag_t parity_flags(BYTE parity)
{
    const ParityEntry* e = find_row(g_parityTable, [&](const ParityEntry& row) { return row.parity == parity; });
    return e != nullptr ? e->flags : 0;
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

void dcb_to_termios(const DCB& d, struct termios* t)
{
    speed_t code = baud_by_rate(d.BaudRate)->code;
    cfsetispeed(t, code);
    cfsetospeed(t, code);
    t->c_cflag &= ~(CSIZE | kParityFlags | CSTOPB | CRTSCTS);
    t->c_cflag |= CLOCAL | CREAD | size_flag(d.ByteSize) | parity_flags(d.Parity);
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
    d.ByteSize = bits_of(t.c_cflag);
    d.Parity = parity_of(t.c_cflag);
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
    const tcflag_t c = CSIZE | kParityFlags | CSTOPB | CRTSCTS;
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

// Applies want; a device that refuses it with EINVAL gets 8 data bits
// without parity instead, all a pty takes. Called with mu held.
DWORD apply_line(SerialPort* p, const struct termios& want)
{
    if (p->backend->set_attr(&want) == 0)
        return ERROR_SUCCESS;
    const int err = errno;
    struct termios plain = want;
    plain.c_cflag &= ~(CSIZE | kParityFlags);
    plain.c_cflag |= CS8;
    plain.c_iflag &= ~INPCK;
    if (err != EINVAL || p->backend->set_attr(&plain) != 0)
        return errno_error("tcsetattr", err);
    return ERROR_SUCCESS;
}

// DTR and RTS follow their control settings where the device has modem lines.
void follow_modem_lines(SerialPort* p, const DCB& d)
{
    if (!p->backend->can(kPortModemLines))
        return;
    if (d.fDtrControl == DTR_CONTROL_ENABLE || d.fDtrControl == DTR_CONTROL_DISABLE)
        p->backend->modem_lines(d.fDtrControl == DTR_CONTROL_ENABLE, TIOCM_DTR);
    if (d.fRtsControl == RTS_CONTROL_ENABLE || d.fRtsControl == RTS_CONTROL_DISABLE)
        p->backend->modem_lines(d.fRtsControl == RTS_CONTROL_ENABLE, TIOCM_RTS);
}

} // namespace

DCB line_after_open(PortBackend* backend)
{
    DCB d = {};
    d.fBinary = 1;
    d.fDtrControl = DTR_CONTROL_ENABLE;
    d.fRtsControl = RTS_CONTROL_ENABLE;
    d.XonLim = 2048;
    d.XoffLim = 512;
    struct termios t;
    if (backend->get_attr(&t) == 0)
        d = dcb_from_termios(t, d);
    return d;
}

DWORD line_get_state(SerialPort* p, DCB* dcb)
{
    std::lock_guard<std::mutex> lock(p->mu);
    struct termios t;
    if (p->backend->get_attr(&t) != 0)
        return errno_error("tcgetattr", errno);
    *dcb = dcb_from_termios(t, p->dcb);
    return ERROR_SUCCESS;
}

// What the device cannot take is reported as a debug line, not failed: a pty
// keeps only 8 data bits without parity, which must not fail a whole open.
DWORD line_set_state(SerialPort* p, const DCB* dcb)
{
    if (dcb == nullptr || dcb->DCBlength != sizeof(DCB) || !dcb_valid(*dcb))
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(p->mu);
    struct termios want;
    if (p->backend->get_attr(&want) != 0)
        return errno_error("tcgetattr", errno);
    dcb_to_termios(*dcb, &want);
    const DWORD err = apply_line(p, want);
    if (err != ERROR_SUCCESS)
        return err;
    struct termios got;
    if (p->backend->get_attr(&got) == 0 && !same_line(want, got))
        debug_port_line(p, "cannot take " + describe_line(want) + "; the line stays at " + describe_line(got));
    std::string unsupported = unsupported_fields(*dcb);
    if (!unsupported.empty())
        debug_port_line(p, "has no " + unsupported + "; the settings are kept but not applied");
    follow_modem_lines(p, *dcb);
    p->dcb = *dcb;
    return ERROR_SUCCESS;
}

// A device without modem lines refuses them with ERROR_NOT_SUPPORTED. A break
// is asked of every device: a pty accepts it and sends nothing.
DWORD line_escape(SerialPort* p, DWORD func)
{
    const EscapeEntry* e = find_row(g_escapeTable, [&](const EscapeEntry& row) { return row.func == func; });
    if (e == nullptr)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(p->mu);
    int r;
    switch (e->kind)
    {
        case EscapeKind::Flow:
            r = p->backend->flow(e->arg);
            break;
        case EscapeKind::Raise:
        case EscapeKind::Lower:
            if (!p->backend->can(kPortModemLines))
                return ERROR_NOT_SUPPORTED;
            r = p->backend->modem_lines(e->kind == EscapeKind::Raise, e->arg);
            break;
        default:
            r = p->backend->set_break(e->arg != 0);
            break;
    }
    return r == 0 ? ERROR_SUCCESS : errno_error("ioctl", errno);
}

} // namespace plat
