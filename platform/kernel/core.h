// Platform internals shared by every stand-in call: the handle table, platform
// thread control (suspend, terminate, wake-ups), blocking waits, and the one
// place where errno becomes a Win32 error code.
//
// Only files under platform/ include this header.
//
// Rules every stand-in call keeps:
//   - It starts with thread_checkpoint() (or an IoScope), so a suspended thread
//     starts nothing and a terminated one ends at its next platform call.
//   - Every blocking wait goes through wait_fds()/sleep_until(), which always
//     poll the calling thread's wake descriptor: TerminateThread and cross-
//     thread replies wake it. Nothing spins.
//   - Objects are reached through handle_get(); the returned reference keeps
//     the object (and its descriptor) alive while the call is in flight, so a
//     CloseHandle from another thread can never make the call touch a reused
//     descriptor.
#pragma once

#include "platform/kernel/faults.h"
#include "platform/win32.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <poll.h>

namespace plat
{

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------
DWORD win32_error_from_errno(int err); // the fault table's errno -> Win32 column (faults.h)
void set_error_from_errno(int err);    // SetLastError(win32_error_from_errno(err))
// A failed system call, where it failed: sets the thread's last error (error,
// or the fault's own when error is 0) and keeps {call, device, err, text,
// fault} beside it for GetLastFailedCall. text may be null: strerror(err)
// then. fault None: the errno's own fault (Other without an errno). Returns
// the last error it set.
DWORD fail_call(const char* call, const std::string& device, int err, const char* text = nullptr, DWORD error = 0,
                Fault fault = Fault::None);

// ---------------------------------------------------------------------------
// Handle table
// ---------------------------------------------------------------------------
enum class ObjectKind
{
    Serial,
    Thread,
    Device, // RIL1: and other control-only devices
    Other,
};

struct Object
{
    explicit Object(ObjectKind k) : kind(k) {}
    virtual ~Object() = default;
    // Called once by CloseHandle, after the handle left the table: mark the
    // object closing and wake every thread waiting on it. Resources are freed
    // by the destructor, when the last in-flight reference drops.
    virtual void on_close() {}
    const ObjectKind kind;
    std::atomic<bool> closing{false};
};
using ObjectRef = std::shared_ptr<Object>;

// Inserts an object and returns its handle. Handle values carry a generation
// and are never handed out twice while the program runs; they are never 0 or
// INVALID_HANDLE_VALUE.
HANDLE handle_insert(ObjectRef obj);
// The object behind a handle if it is live and of the given kind; otherwise
// null with ERROR_INVALID_HANDLE set.
ObjectRef handle_get(HANDLE h, ObjectKind kind);
// Removes the handle and calls on_close(). False (ERROR_INVALID_HANDLE) when
// the handle is not live.
bool handle_close(HANDLE h);
// Number of live handles (tests use it to find leaks).
size_t handle_count();

template <typename T> std::shared_ptr<T> handle_get_as(HANDLE h, ObjectKind kind)
{
    return std::static_pointer_cast<T>(handle_get(h, kind));
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
struct ThreadObj : Object
{
    ThreadObj();
    ~ThreadObj() override;
    std::mutex mu;
    std::condition_variable cv;
    int suspendCount = 0; // > 0: the thread starts no further platform call
    int busy = 0;         // inside a non-interruptible I/O section
    bool terminated = false;
    bool finished = false;
    int priority = THREAD_PRIORITY_NORMAL;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    int wakeFd = -1; // eventfd: terminate and cross-thread wake-ups
    DWORD id = 0;
};

// The platform record of the calling thread (created on first use for threads
// the platform did not start, such as the main thread).
ThreadObj* current_thread();
// The same record, shared: for a record that must outlive the thread.
std::shared_ptr<ThreadObj> current_thread_ref();
// Wakes a thread blocked in wait_fds()/sleep_until(); the wait re-checks its
// condition and returns to its loop.
void thread_wake(ThreadObj* t);

// Blocks while the calling thread is suspended; ends the thread at once if it
// was terminated. Every stand-in call starts with it.
void thread_checkpoint();
bool thread_terminated(); // terminated, but not yet ended: blocking calls fail fast

// A non-interruptible I/O section (a read or write system call). SuspendThread
// waits until the target has left such a section, so once it returns the
// target starts no further write. A section entered by a suspended thread
// blocks until it is resumed; one entered by a terminated thread is cancelled
// (the caller fails the call and releases what it holds; the thread then ends
// at its next platform call).
struct IoScope
{
    IoScope();
    ~IoScope();
    IoScope(const IoScope&) = delete;
    IoScope& operator=(const IoScope&) = delete;
    bool cancelled() const
    {
        return cancelled_;
    }

private:
    bool cancelled_ = false;
};

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------
using Clock = std::chrono::steady_clock;

// Polls fds[0..n) plus the calling thread's wake descriptor until one of the
// fds is ready, the deadline passes, or the thread is woken. Returns the number
// of ready fds (> 0), 0 on time-out or wake-up (revents of all fds 0; the
// caller re-checks its condition and calls again), -1 on a poll error (errno
// set). A terminated thread gets -1 with errno ECANCELED. EINTR is retried.
// deadline == Clock::time_point::max() waits without a time limit.
int wait_fds(struct pollfd* fds, int n, Clock::time_point deadline);

// Sleeps until the deadline; returns early (false) only when the thread was
// terminated.
bool sleep_until(Clock::time_point deadline);

Clock::time_point deadline_after_ms(DWORD ms); // INFINITE -> time_point::max()

} // namespace plat
