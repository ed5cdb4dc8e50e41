// The real system calls behind plat::sys(), and the test override.
#include "platform/serial/syscalls.h"

#include <atomic>
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

} // namespace plat
