// The system calls the serial ports make, reached through one replaceable
// table so that tests can inject EINTR, EAGAIN, short writes and EIO without
// hardware.
//
//   plat::sys()               the table in force (the real calls unless a test
//                             installed another)
//   plat::real_syscalls()     the real calls, to build an injecting table from
//   plat::SyscallOverride     installs a table for its lifetime (tests)
//   plat::SyscallFaults       fails the Nth next call of a kind with an errno,
//                             counting the calls, or cuts the Nth write short
//                             as a signal does (tests; over a base table)
//
// Only files under platform/ include this header. Waits do not go through the
// table: they use plat::wait_fds (core.h), which also watches the thread's
// wake-up descriptor.
#pragma once

#include <climits>
#include <memory>
#include <poll.h>
#include <string>
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

// The calls of the table, by kind.
enum class SysCall
{
    Open,
    Close,
    Read,
    Write,
    Poll,
    Ioctl,
    Tcgetattr,
    Tcsetattr,
    Tcflush,
    Flock,
};
constexpr int kSysCallKinds = 10;

// Fails chosen calls the way a test VFS fails "the Nth next call": the calls
// of a kind are counted from when fail() names that kind, and the nth of them
// (and the times - 1 after it) fail with err without reaching the base table;
// every other call goes through to it. A failed close still closes first, as
// Linux releases the descriptor whatever close returns. Installed over the
// table in force for its lifetime; one at a time.
class SyscallFaults
{
public:
    static constexpr int kEvery = INT_MAX; // times: every call from the nth on

    explicit SyscallFaults(const Syscalls& base = real_syscalls());
    ~SyscallFaults();
    SyscallFaults(const SyscallFaults&) = delete;
    SyscallFaults& operator=(const SyscallFaults&) = delete;

    void fail(SysCall call, int nth, int err, int times = 1);
    // The nth next write (and the times - 1 after it) moves only the first
    // half of its bytes (at least one) and returns that count, as a write a
    // signal interrupts does; the write after each fails with EINTR and moves
    // nothing, as when the signal comes again before any byte went.
    void half_write(int nth, int times = 1);
    void pass(SysCall call);        // no more faults of that kind; counting starts again
    int calls(SysCall call) const;  // calls of that kind since fail() or pass() named it, or since install
    int failed(SysCall call) const; // how many of those were failed

    struct State;

private:
    std::unique_ptr<State> state_;
    std::unique_ptr<SyscallOverride> override_;
};

// Where the tty backend looks for a USB-serial adapter's latency timer
// ("/sys"; tests point it at a fake tree). Empty restores "/sys".
void set_sysfs_root(const std::string& root);

} // namespace plat
