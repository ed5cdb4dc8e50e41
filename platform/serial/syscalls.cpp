// The real system calls behind plat::sys(), the test override, and the
// counting fault plan built on it.
#include "platform/serial/syscalls.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace plat
{

static int real_open(const char* path, int flags, mode_t mode)
{
    return ::open(path, flags, mode);
}

static int real_close(int fd)
{
    return ::close(fd);
}

static ssize_t real_read(int fd, void* buf, size_t count)
{
    return ::read(fd, buf, count);
}

static ssize_t real_write(int fd, const void* buf, size_t count)
{
    return ::write(fd, buf, count);
}

static int real_poll(struct pollfd* fds, nfds_t n, int timeoutMs)
{
    return ::poll(fds, n, timeoutMs);
}

static int real_ioctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

static int real_tcgetattr(int fd, struct termios* t)
{
    return ::tcgetattr(fd, t);
}

static int real_tcsetattr(int fd, int action, const struct termios* t)
{
    return ::tcsetattr(fd, action, t);
}

static int real_tcflush(int fd, int queue)
{
    return ::tcflush(fd, queue);
}

static int real_flock(int fd, int operation)
{
    return ::flock(fd, operation);
}

static const Syscalls g_realSyscalls = {
    real_open,  real_close,     real_read,      real_write,   real_poll,
    real_ioctl, real_tcgetattr, real_tcsetattr, real_tcflush, real_flock,
};

static std::atomic<const Syscalls*> g_pSyscalls{&g_realSyscalls};

const Syscalls& sys()
{
    return *g_pSyscalls.load(std::memory_order_acquire);
}

const Syscalls& real_syscalls()
{
    return g_realSyscalls;
}

SyscallOverride::SyscallOverride(const Syscalls* table)
    : previous_(g_pSyscalls.exchange(table, std::memory_order_acq_rel))
{
}

SyscallOverride::~SyscallOverride()
{
    g_pSyscalls.store(previous_, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Fault plans
// ---------------------------------------------------------------------------
struct SyscallFaults::State
{
    struct Rule
    {
        std::atomic<int> seen{0};   // calls counted since the rule was set
        std::atomic<int> nth{0};    // first call to fail; 0: none
        std::atomic<int> times{0};  // how many from the nth on
        std::atomic<int> err{0};    // errno they fail with
        std::atomic<int> failed{0}; // calls failed so far
    };
    Syscalls base;
    Rule rules[kSysCallKinds];
    Rule halves;                        // half_write: failed counts the writes cut short
    std::atomic<bool> eintrNext{false}; // a write was cut: the next one is interrupted

    // The errno the next call of a kind fails with, or 0: it goes through.
    int take(SysCall call)
    {
        Rule& r = rules[(int)call];
        const int n = r.seen.fetch_add(1) + 1;
        const int nth = r.nth.load();
        if (nth == 0 || n < nth || n - nth >= r.times.load())
            return 0;
        r.failed++;
        return r.err.load();
    }

    // Nonzero when the next write is to be cut short.
    int take_half()
    {
        const int n = halves.seen.fetch_add(1) + 1;
        const int nth = halves.nth.load();
        if (nth == 0 || n < nth || n - nth >= halves.times.load())
            return 0;
        halves.failed++;
        return 1;
    }
};

namespace
{

std::atomic<SyscallFaults::State*> g_faultState{nullptr};

// Each call of the plan's table: the fault, or the base table's call. A call
// that began as the plan ended goes to the real one.
template <typename R, typename Call> R faulted(SysCall kind, Call call)
{
    SyscallFaults::State* s = g_faultState.load(std::memory_order_acquire);
    if (s == nullptr)
        return call(real_syscalls());
    const int err = s->take(kind);
    if (err == 0)
        return call(s->base);
    errno = err;
    return (R)-1;
}

int fault_open(const char* path, int flags, mode_t mode)
{
    return faulted<int>(SysCall::Open, [&](const Syscalls& b) { return b.open(path, flags, mode); });
}

// Linux releases the descriptor whatever close returns: so does the fault.
int fault_close(int fd)
{
    SyscallFaults::State* s = g_faultState.load(std::memory_order_acquire);
    const int err = s != nullptr ? s->take(SysCall::Close) : 0;
    const int r = (s != nullptr ? s->base : real_syscalls()).close(fd);
    if (err == 0)
        return r;
    errno = err;
    return -1;
}

ssize_t fault_read(int fd, void* buf, size_t count)
{
    return faulted<ssize_t>(SysCall::Read, [&](const Syscalls& b) { return b.read(fd, buf, count); });
}

// A write the plan cuts short moves half of its bytes; the one after it is
// interrupted before any byte went.
ssize_t fault_write(int fd, const void* buf, size_t count)
{
    return faulted<ssize_t>(SysCall::Write,
                            [&](const Syscalls& b) -> ssize_t
                            {
                                SyscallFaults::State* s = g_faultState.load(std::memory_order_acquire);
                                if (s == nullptr || count == 0)
                                    return b.write(fd, buf, count);
                                if (s->eintrNext.exchange(false))
                                {
                                    errno = EINTR;
                                    return -1;
                                }
                                if (s->take_half() == 0)
                                    return b.write(fd, buf, count);
                                const ssize_t r = b.write(fd, buf, count > 1 ? count / 2 : 1);
                                s->eintrNext = r > 0;
                                return r;
                            });
}

int fault_poll(struct pollfd* fds, nfds_t n, int timeoutMs)
{
    return faulted<int>(SysCall::Poll, [&](const Syscalls& b) { return b.poll(fds, n, timeoutMs); });
}

int fault_ioctl(int fd, unsigned long request, void* arg)
{
    return faulted<int>(SysCall::Ioctl, [&](const Syscalls& b) { return b.ioctl(fd, request, arg); });
}

int fault_tcgetattr(int fd, struct termios* t)
{
    return faulted<int>(SysCall::Tcgetattr, [&](const Syscalls& b) { return b.tcgetattr(fd, t); });
}

int fault_tcsetattr(int fd, int action, const struct termios* t)
{
    return faulted<int>(SysCall::Tcsetattr, [&](const Syscalls& b) { return b.tcsetattr(fd, action, t); });
}

int fault_tcflush(int fd, int queue)
{
    return faulted<int>(SysCall::Tcflush, [&](const Syscalls& b) { return b.tcflush(fd, queue); });
}

int fault_flock(int fd, int operation)
{
    return faulted<int>(SysCall::Flock, [&](const Syscalls& b) { return b.flock(fd, operation); });
}

const Syscalls g_faultSyscalls = {
    fault_open,  fault_close,     fault_read,      fault_write,   fault_poll,
    fault_ioctl, fault_tcgetattr, fault_tcsetattr, fault_tcflush, fault_flock,
};

} // namespace

SyscallFaults::SyscallFaults(const Syscalls& base) : state_(std::make_unique<State>())
{
    state_->base = base;
    State* none = nullptr;
    if (!g_faultState.compare_exchange_strong(none, state_.get()))
        abort(); // one plan at a time: a second would count the first's calls
    override_ = std::make_unique<SyscallOverride>(&g_faultSyscalls);
}

SyscallFaults::~SyscallFaults()
{
    override_.reset();
    g_faultState.store(nullptr);
}

void SyscallFaults::fail(SysCall call, int nth, int err, int times)
{
    State::Rule& r = state_->rules[(int)call];
    r.nth = 0;
    r.seen = 0;
    r.failed = 0;
    r.err = err;
    r.times = times;
    r.nth = nth;
}

void SyscallFaults::half_write(int nth, int times)
{
    State::Rule& r = state_->halves;
    r.nth = 0;
    r.seen = 0;
    r.failed = 0;
    r.times = times;
    state_->eintrNext = false;
    r.nth = nth;
}

void SyscallFaults::pass(SysCall call)
{
    fail(call, 0, 0, 0);
}

int SyscallFaults::calls(SysCall call) const
{
    return state_->rules[(int)call].seen.load();
}

int SyscallFaults::failed(SysCall call) const
{
    return state_->rules[(int)call].failed.load();
}

} // namespace plat
