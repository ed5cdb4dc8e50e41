// The system calls the serial ports make, reached through one replaceable
// table so that tests can inject EINTR, EAGAIN, short writes and EIO without
// hardware.
//
//   plat::sys()               the table in force (the real calls unless a test
//                             installed another)
//   plat::real_syscalls()     the real calls, to build an injecting table from
//   plat::SyscallOverride     installs a table for its lifetime (tests)
//
// Only files under platform/ include this header. Waits do not go through the
// table: they use plat::wait_fds (core.h), which also watches the thread's
// wake-up descriptor.
#pragma once

#include <poll.h>
#include <sys/types.h>
#include <termios.h>

namespace plat
{

struct Syscalls
{
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buf, size_t count);
    ssize_t (*write)(int fd, const void* buf, size_t count);
    int (*poll)(struct pollfd* fds, nfds_t n, int timeoutMs); // readiness checks with time-out 0 only
    int (*ioctl)(int fd, unsigned long request, void* arg);
    int (*tcgetattr)(int fd, struct termios* t);
    int (*tcsetattr)(int fd, int action, const struct termios* t);
    int (*tcflush)(int fd, int queue);
    int (*flock)(int fd, int operation);
};

// The table in force. Reading it is one atomic load; a test swaps the whole
// table at once, so a call never sees half of an old and half of a new table.
const Syscalls& sys();
const Syscalls& real_syscalls();

// Installs a table until destroyed, then restores the previous one. The table
// must outlive the override.
class SyscallOverride
{
public:
    explicit SyscallOverride(const Syscalls* table);
    ~SyscallOverride();
    SyscallOverride(const SyscallOverride&) = delete;
    SyscallOverride& operator=(const SyscallOverride&) = delete;

private:
    const Syscalls* previous_;
};

} // namespace plat
