// Virtual cables: two byte queues with readiness eventfds, line events and a
// hang-up, serving serial ports, tests and the module simulator in-process.
#include "platform/serial/vcable.h"

#include "sim/sim.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace plat
{

namespace
{

// One end of a cable: what arrived there and what it has to report.
struct CableEnd
{
    std::deque<uint8_t> in;                   // bytes that arrived at this end, not yet taken
    DWORD errors = 0;                         // CE_* bits waiting to be taken
    bool brk = false;                         // a break waiting to be taken
    bool held = false;                        // a port or a simulator link holds this end
    struct termios attr;                      // line settings a port applied (accepted whole)
    int modem = 0;                            // TIOCM_* lines raised by the holder
    std::vector<CableLineChange> lineChanges; // modem_lines calls until taken (the latest 256)
    int rxFd = -1;                            // readable: bytes waiting, or the cable is down
    int evFd = -1;                            // readable: a line event waiting, or the cable is down
    int txFd = -1;                            // readable: room at the other end, or the cable is down
    bool rxOn = false;                        // the eventfds' levels, kept under the cable's lock
    bool evOn = false;
    bool txOn = false;
};

struct Cable
{
    std::mutex mu;
    std::string name;
    CableEnd ends[2];
    bool down = false; // hung up: no byte moves again

    Cable()
    {
        for (CableEnd& e : ends)
        {
            e.rxFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            e.evFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            e.txFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            std::memset(&e.attr, 0, sizeof e.attr);
            raw_termios(&e.attr);
            cfsetispeed(&e.attr, B9600);
            cfsetospeed(&e.attr, B9600);
        }
        update();
    }

    ~Cable()
    {
        for (CableEnd& e : ends)
        {
            for (int fd : {e.rxFd, e.evFd, e.txFd})
            {
                if (fd >= 0)
                    ::close(fd);
            }
        }
    }

    bool usable() const
    {
        for (const CableEnd& e : ends)
        {
            if (e.rxFd < 0 || e.evFd < 0 || e.txFd < 0)
                return false;
        }
        return true;
    }

    // Eventfds as levels: readable exactly while the condition holds. Called
    // with mu held after every change.
    static void set_level(int fd, bool* on, bool want)
    {
        if (want && !*on)
        {
            uint64_t one = 1;
            ssize_t r = ::write(fd, &one, sizeof one);
            (void)r; // an eventfd counter of 1 cannot overflow
            *on = true;
        }
        else if (!want && *on)
        {
            uint64_t v;
            ssize_t r = ::read(fd, &v, sizeof v);
            (void)r;
            *on = false;
        }
    }

    void update()
    {
        for (int i = 0; i < 2; i++)
        {
            CableEnd& e = ends[i];
            const CableEnd& other = ends[1 - i];
            set_level(e.rxFd, &e.rxOn, down || !e.in.empty());
            set_level(e.evFd, &e.evOn, down || e.errors != 0 || e.brk);
            set_level(e.txFd, &e.txOn, down || other.in.size() < kCableQueueBytes);
        }
    }

    // Bytes from end i to the other end; -1 (EIO) when down, EAGAIN when full.
    ssize_t send(int i, const void* data, size_t n)
    {
        if (down)
        {
            errno = EIO;
            return -1;
        }
        CableEnd& to = ends[1 - i];
        size_t room = kCableQueueBytes - std::min(kCableQueueBytes, to.in.size());
        if (room == 0)
        {
            errno = EAGAIN;
            return -1;
        }
        size_t k = std::min(room, n);
        const uint8_t* p = static_cast<const uint8_t*>(data);
        to.in.insert(to.in.end(), p, p + k);
        update();
        return (ssize_t)k;
    }

    // Bytes that arrived at end i: >0, 0 when down and drained, -1 EAGAIN.
    ssize_t take(int i, void* buf, size_t max)
    {
        CableEnd& e = ends[i];
        if (!e.in.empty())
        {
            size_t k = std::min(max, e.in.size());
            std::copy(e.in.begin(), e.in.begin() + (std::ptrdiff_t)k, static_cast<uint8_t*>(buf));
            e.in.erase(e.in.begin(), e.in.begin() + (std::ptrdiff_t)k);
            update();
            return (ssize_t)k;
        }
        if (down)
            return 0;
        errno = EAGAIN;
        return -1;
    }
};

constexpr size_t kLineChangesKept = 256; // see CableEnd::lineChanges

std::mutex g_cablesMutex;
std::map<std::string, std::shared_ptr<Cable>> g_cables;

std::shared_ptr<Cable> find_cable(const std::string& name, bool create)
{
    std::lock_guard<std::mutex> lock(g_cablesMutex);
    auto it = g_cables.find(name);
    if (it != g_cables.end())
        return it->second;
    if (!create || name.empty())
        return nullptr;
    auto c = std::make_shared<Cable>();
    if (!c->usable())
        return nullptr;
    c->name = name;
    g_cables[name] = c;
    return c;
}

int end_index(char end)
{
    return end == 'a' ? 0 : end == 'b' ? 1 : -1;
}

// What a line can carry and a pty cannot: breaks and line errors both ways,
// modem lines, and a descriptor that wakes a waiter when one is waiting.
constexpr unsigned kCableCaps = kPortBreaks | kPortLineErrors | kPortModemLines | kPortEventFd;

// A serial port's view of one end.
class CableBackend : public PortBackend
{
public:
    CableBackend(std::shared_ptr<Cable> cable, int index) : PortBackend(kCableCaps), c_(std::move(cable)), i_(index) {}

    ~CableBackend() override
    {
        release();
    }

    int rx_fd() const override
    {
        return c_->ends[i_].rxFd;
    }
    int tx_fd() const override
    {
        return c_->ends[i_].txFd;
    }
    short tx_events() const override
    {
        return POLLIN;
    }
    int event_fd() const override
    {
        return c_->ends[i_].evFd;
    }

    ssize_t read(void* buf, size_t n) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        return c_->take(i_, buf, n);
    }

    ssize_t write(const void* buf, size_t n) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        return c_->send(i_, buf, n);
    }

    int get_attr(struct termios* t) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        *t = c_->ends[i_].attr;
        return 0;
    }

    // A cable carries any line setting: both ends agree by construction.
    int set_attr(const struct termios* t) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        c_->ends[i_].attr = *t;
        return 0;
    }

    int flush(int queue) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        if (queue == TCIFLUSH || queue == TCIOFLUSH)
            c_->ends[i_].in.clear();
        // Sent bytes go straight to the far queue: there is no output queue.
        c_->update();
        return 0;
    }

    int in_queue(int* n) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        *n = (int)c_->ends[i_].in.size();
        return 0;
    }

    int out_queue(int* n) override
    {
        *n = 0;
        return 0;
    }

    int modem_lines(bool raise, int lines) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        CableEnd& e = c_->ends[i_];
        if (raise)
            e.modem |= lines;
        else
            e.modem &= ~lines;
        if (e.lineChanges.size() >= kLineChangesKept)
            e.lineChanges.erase(e.lineChanges.begin()); // nobody is taking them: the oldest go
        e.lineChanges.push_back(CableLineChange{Clock::now(), e.modem});
        return 0;
    }

    // The break reaches the far end when it starts.
    int set_break(bool on) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        if (on && !c_->down)
        {
            c_->ends[1 - i_].brk = true;
            c_->update();
        }
        return 0;
    }

    int flow(int) override
    {
        return 0;
    }

    void take_line_events(DWORD* errors, bool* brk, bool* hangup) override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        CableEnd& e = c_->ends[i_];
        *errors = e.errors;
        *brk = e.brk;
        *hangup = c_->down;
        e.errors = 0;
        e.brk = false;
        c_->update();
    }

    void release() override
    {
        std::lock_guard<std::mutex> lock(c_->mu);
        if (!released_)
        {
            c_->ends[i_].held = false;
            released_ = true;
        }
    }

private:
    std::shared_ptr<Cable> c_;
    int i_;
    bool released_ = false;
};

// The simulator's hold on one end.
struct CableLink
{
    std::shared_ptr<Cable> c;
    int i = 0;
    int wakeFd = -1; // eventfd: interrupt
};

void drain(int fd)
{
    uint64_t v;
    ssize_t r = ::read(fd, &v, sizeof v);
    (void)r;
}

int poll_ms(struct pollfd* fds, int n, int timeoutMs)
{
    for (;;)
    {
        int r = ::poll(fds, (nfds_t)n, timeoutMs);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int link_read(void* ctx, uint8_t* buf, int max, int timeoutMs)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    Clock::time_point deadline =
        timeoutMs < 0 ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(l->c->mu);
            ssize_t r = l->c->take(l->i, buf, (size_t)max);
            if (r > 0)
                return (int)r;
            if (r == 0)
                return -1;
        }
        int wait = -1;
        if (deadline != Clock::time_point::max())
        {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return 0;
            wait = (int)left;
        }
        struct pollfd p[2] = {{l->c->ends[l->i].rxFd, POLLIN, 0}, {l->wakeFd, POLLIN, 0}};
        if (poll_ms(p, 2, wait) < 0)
            return -1;
        if (p[1].revents & POLLIN)
        {
            drain(l->wakeFd);
            return 0;
        }
    }
}

int link_write(void* ctx, const uint8_t* buf, int n)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    int done = 0;
    while (done < n)
    {
        {
            std::lock_guard<std::mutex> lock(l->c->mu);
            ssize_t r = l->c->send(l->i, buf + done, (size_t)(n - done));
            if (r > 0)
            {
                done += (int)r;
                continue;
            }
            if (errno != EAGAIN)
                return -1;
        }
        struct pollfd p[2] = {{l->c->ends[l->i].txFd, POLLIN, 0}, {l->wakeFd, POLLIN, 0}};
        if (poll_ms(p, 2, -1) < 0)
            return -1;
        if (p[1].revents & POLLIN)
        {
            drain(l->wakeFd);
            return done;
        }
    }
    return done;
}

void link_send_break(void* ctx)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    std::lock_guard<std::mutex> lock(l->c->mu);
    if (!l->c->down)
    {
        l->c->ends[1 - l->i].brk = true;
        l->c->update();
    }
}

void link_hangup(void* ctx)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    std::lock_guard<std::mutex> lock(l->c->mu);
    l->c->down = true;
    l->c->update();
}

void link_interrupt(void* ctx)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    uint64_t one = 1;
    ssize_t r = ::write(l->wakeFd, &one, sizeof one);
    (void)r;
}

void link_close(void* ctx)
{
    CableLink* l = static_cast<CableLink*>(ctx);
    {
        std::lock_guard<std::mutex> lock(l->c->mu);
        l->c->ends[l->i].held = false;
    }
    ::close(l->wakeFd);
    delete l;
}

} // namespace

bool cable_create(const std::string& name)
{
    return find_cable(name, true) != nullptr;
}

bool cable_exists(const std::string& name)
{
    return find_cable(name, false) != nullptr;
}

long cable_write(const std::string& name, char end, const void* data, size_t n)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0)
        return -1;
    if (n == 0)
        return 0;
    std::lock_guard<std::mutex> lock(c->mu);
    ssize_t r = c->send(i, data, n);
    if (r < 0)
        return errno == EAGAIN ? 0 : -1;
    return (long)r;
}

long cable_read(const std::string& name, char end, void* buf, size_t max, DWORD timeoutMs)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0)
        return -1;
    Clock::time_point deadline = deadline_after_ms(timeoutMs);
    for (;;)
    {
        {
            std::lock_guard<std::mutex> lock(c->mu);
            ssize_t r = c->take(i, buf, max);
            if (r > 0)
                return (long)r;
            if (r == 0)
                return -1;
        }
        if (Clock::now() >= deadline)
            return 0;
        struct pollfd p = {c->ends[i].rxFd, POLLIN, 0};
        if (wait_fds(&p, 1, deadline) < 0)
            return 0; // the calling thread is being terminated
    }
}

size_t cable_pending(const std::string& name, char end)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0)
        return 0;
    std::lock_guard<std::mutex> lock(c->mu);
    return c->ends[i].in.size();
}

std::vector<CableLineChange> cable_take_line_changes(const std::string& name, char end)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0)
        return {};
    std::lock_guard<std::mutex> lock(c->mu);
    std::vector<CableLineChange> taken;
    taken.swap(c->ends[i].lineChanges);
    return taken;
}

bool cable_inject_break(const std::string& name, char end)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0)
        return false;
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->down)
        return false;
    c->ends[1 - i].brk = true;
    c->update();
    return true;
}

bool cable_inject_error(const std::string& name, char end, DWORD ce)
{
    auto c = find_cable(name, false);
    int i = end_index(end);
    if (!c || i < 0 || ce == 0)
        return false;
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->down)
        return false;
    c->ends[1 - i].errors |= ce;
    c->update();
    return true;
}

bool cable_hangup(const std::string& name, char end)
{
    auto c = find_cable(name, false);
    if (!c || end_index(end) < 0)
        return false;
    std::lock_guard<std::mutex> lock(c->mu);
    c->down = true;
    c->update();
    return true;
}

std::unique_ptr<PortBackend> cable_open_backend(const std::string& nameEnd)
{
    size_t colon = nameEnd.rfind(':');
    int i = colon == std::string::npos || colon + 2 != nameEnd.size() ? -1 : end_index(nameEnd[colon + 1]);
    auto c = i < 0 || colon == 0 ? nullptr : find_cable(nameEnd.substr(0, colon), true);
    if (!c)
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(c->mu);
    if (c->ends[i].held)
    {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    c->ends[i].held = true;
    return std::make_unique<CableBackend>(c, i);
}

SimLink cable_sim_link(const std::string& name, char end)
{
    SimLink link{};
    auto c = find_cable(name, true);
    int i = end_index(end);
    if (!c || i < 0)
        return link;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        if (c->ends[i].held)
            return link;
        c->ends[i].held = true;
    }
    CableLink* l = new CableLink{c, i, eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    if (l->wakeFd < 0)
    {
        std::lock_guard<std::mutex> lock(c->mu);
        c->ends[i].held = false;
        delete l;
        return link;
    }
    link = {l, link_read, link_write, link_send_break, link_hangup, link_interrupt, link_close};
    return link;
}

} // namespace plat
