// The namespace holder's listener (see instance_internal.h).
#include "platform/shellapi/instance_internal.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <condition_variable>
#include <deque>
#include <latch>
#include <memory>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plat
{

namespace
{

constexpr size_t kMaxLine = 1024;       // a request, newline included
constexpr int kDescriptorPauseMs = 100; // out of descriptors with nothing to give up
constexpr int kSayAgainSeconds = 60;    // the debug line about it, at most this often

struct Pending
{
    int fd;
    Clock::time_point deadline;
    std::string buffer;
};

} // namespace

struct Listener
{
    int listenFd = -1;
    int wakeFd = -1;  // eventfd: a server finished, or stop
    int spareFd = -1; // given up to take a connection when descriptors run out
    ServeFn serve = nullptr;
    std::atomic<bool> stop{false};
    std::thread loop;
    std::vector<Pending> pending; // reading their request line, oldest first
    std::thread servers[kMaxServing];
    std::mutex mu;                   // guards ready
    std::condition_variable work;    // a request is ready, or stop
    std::deque<Pending> ready;       // request read, waiting for a server
    Clock::time_point pausedUntil{}; // accept paused (out of descriptors)
    Clock::time_point sayAgainAt{};  // the out-of-descriptors line, at most once a minute
};

namespace
{

void wake(int fd)
{
    uint64_t one = 1;
    if (write(fd, &one, sizeof(one)) < 0)
    {
        // A full counter still wakes the loop.
    }
}

void keep_spare(Listener* l)
{
    if (l->spareFd < 0)
        l->spareFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void drop(Listener* l, Pending& p)
{
    close(p.fd);
    p.fd = -1;
    keep_spare(l);
}

// A tiny answer into an empty socket buffer: never waits.
void answer(int fd, const std::string& text)
{
    std::string line = text + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != (ssize_t)line.size())
        debug_write(u"Window namespace: an answer could not be sent\r\n");
}

// Requests between being acted on and their answer being sent.
std::mutex g_answeringMu;
std::condition_variable g_answered;
int g_answering = 0;

// A server: answers ready requests one after the other. Its platform
// thread record (and the wake-up descriptor in it) is made once, here, so
// answering needs no new descriptor when they run short; the start waits
// for it (started says made).
void serve_loop(Listener* l, std::latch* started)
{
    current_thread();
    started->count_down();
    for (;;)
    {
        Pending p;
        {
            std::unique_lock<std::mutex> lock(l->mu);
            l->work.wait(lock, [l] { return l->stop.load() || !l->ready.empty(); });
            if (l->ready.empty())
                return;
            p = std::move(l->ready.front());
            l->ready.pop_front();
        }
        {
            std::lock_guard<std::mutex> lock(g_answeringMu);
            g_answering++;
        }
        answer(p.fd, l->serve(p.buffer));
        {
            std::lock_guard<std::mutex> lock(g_answeringMu);
            g_answering--;
        }
        g_answered.notify_all();
        close(p.fd);
        wake(l->wakeFd); // the loop may keep a spare descriptor again
    }
}

bool peer_is_ours(int fd)
{
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == geteuid())
        return true;
    debug_write(u"Window namespace: refused a request from user " +
                utf8_to_utf16(std::to_string(len == sizeof(cred) ? (long)cred.uid : -1L)) + u"\r\n");
    return false;
}

// Out of descriptors: make room for the connection waiting to be accepted.
void make_room(Listener* l)
{
    Clock::time_point now = Clock::now();
    if (now >= l->sayAgainAt)
        debug_write(u"Window namespace: out of file descriptors; dropping waiting connections\r\n");
    l->sayAgainAt = now + std::chrono::seconds(kSayAgainSeconds);
    if (!l->pending.empty())
    {
        drop(l, l->pending.front());
        l->pending.erase(l->pending.begin());
        return;
    }
    if (l->spareFd >= 0)
    {
        close(l->spareFd);
        l->spareFd = -1;
        return;
    }
    l->pausedUntil = Clock::now() + std::chrono::milliseconds(kDescriptorPauseMs);
}

void accept_one(Listener* l)
{
    int fd = accept4(l->listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
    {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            make_room(l);
        else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED)
            l->pausedUntil = Clock::now() + std::chrono::milliseconds(kDescriptorPauseMs);
        return;
    }
    if (!peer_is_ours(fd))
    {
        close(fd);
        return;
    }
    if (l->pending.size() >= kMaxPending)
    {
        drop(l, l->pending.front());
        l->pending.erase(l->pending.begin());
    }
    l->pending.push_back(Pending{fd, deadline_after_ms(kServeReadMs), std::string()});
}

// Reads what a connection sent; true when it is done with (dropped, or its
// request complete and queued for a server).
bool read_request(Listener* l, Pending& p)
{
    char buffer[512];
    for (;;)
    {
        ssize_t n = recv(p.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return false;
        if (n <= 0)
        {
            drop(l, p);
            return true;
        }
        p.buffer.append(buffer, (size_t)n);
        size_t nl = p.buffer.find('\n');
        if (nl != std::string::npos)
        {
            p.buffer.resize(nl);
            {
                std::lock_guard<std::mutex> lock(l->mu);
                l->ready.push_back(std::move(p));
            }
            l->work.notify_one();
            return true;
        }
        if (p.buffer.size() >= kMaxLine)
        {
            drop(l, p);
            return true;
        }
    }
}

void listen_loop(Listener* l)
{
    std::vector<struct pollfd> fds;
    while (!l->stop.load())
    {
        Clock::time_point now = Clock::now();
        // Connections whose request did not come in time go.
        for (size_t i = 0; i < l->pending.size();)
        {
            if (l->pending[i].deadline <= now)
            {
                drop(l, l->pending[i]);
                l->pending.erase(l->pending.begin() + (long)i);
            }
            else
                i++;
        }
        Clock::time_point until = Clock::time_point::max();
        for (const Pending& p : l->pending)
            until = std::min(until, p.deadline);
        bool acceptPaused = now < l->pausedUntil;
        if (acceptPaused)
            until = std::min(until, l->pausedUntil);
        fds.clear();
        fds.push_back({l->wakeFd, POLLIN, 0});
        fds.push_back({acceptPaused ? -1 : l->listenFd, POLLIN, 0});
        for (const Pending& p : l->pending)
            fds.push_back({p.fd, POLLIN, 0});
        int timeout = -1;
        if (until != Clock::time_point::max())
            timeout = (int)std::max<long>(
                1, (long)std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count());
        int r = poll(fds.data(), (nfds_t)fds.size(), timeout);
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        if (fds[0].revents != 0)
        {
            uint64_t count;
            if (read(l->wakeFd, &count, sizeof(count)) < 0)
            {
                // Nothing to take: another wake-up was merged into it.
            }
            keep_spare(l);
        }
        // Requests in the order their connections came; done ones leave.
        std::vector<Pending> still;
        for (size_t i = 0; i < l->pending.size(); i++)
        {
            if (fds[2 + i].revents == 0 || !read_request(l, l->pending[i]))
                still.push_back(std::move(l->pending[i]));
        }
        l->pending = std::move(still);
        if (fds[1].revents & (POLLERR | POLLNVAL))
            break;
        if (fds[1].revents != 0)
            accept_one(l);
    }
    for (Pending& p : l->pending)
        close(p.fd);
    l->pending.clear();
}

} // namespace

void listener_wait_answers(DWORD ms)
{
    std::unique_lock<std::mutex> lock(g_answeringMu);
    g_answered.wait_for(lock, std::chrono::milliseconds(ms), [] { return g_answering == 0; });
}

Listener* listener_start(int listenFd, ServeFn serve, std::string* error)
{
    auto l = std::make_unique<Listener>();
    l->listenFd = listenFd;
    l->serve = serve;
    l->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (l->wakeFd < 0)
    {
        *error = std::string("eventfd: ") + strerror(errno);
        return nullptr;
    }
    keep_spare(l.get());
    Listener* raw = l.release();
    // Started means ready: a server still making its record when the
    // descriptors ran out could take the one the listener had given up to
    // accept a connection, and no request would be taken from then on.
    std::latch started((std::ptrdiff_t)std::size(raw->servers));
    for (std::thread& t : raw->servers)
        t = std::thread(serve_loop, raw, &started);
    started.wait();
    raw->loop = std::thread(listen_loop, raw);
    return raw;
}

void listener_stop(Listener* l)
{
    if (l == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(l->mu);
        l->stop.store(true);
    }
    l->work.notify_all();
    wake(l->wakeFd);
    if (l->loop.joinable())
        l->loop.join();
    // The servers finish what they hold; what was still waiting is dropped.
    for (std::thread& t : l->servers)
        t.join();
    for (Pending& p : l->ready)
        close(p.fd);
    close(l->wakeFd);
    if (l->spareFd >= 0)
        close(l->spareFd);
    delete l;
}

} // namespace plat
