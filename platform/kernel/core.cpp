// Platform core: last-error, the handle table, platform threads (create,
// suspend, resume, terminate, exit codes), Sleep and the blocking waits that
// every other stand-in call builds on.
#include "platform/kernel/core.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/text.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

namespace plat
{

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------
static thread_local DWORD t_lastError = ERROR_SUCCESS;
// The failed call that set t_lastError, while it is still the last error.
static thread_local FAILEDCALL t_failedCall = {};
static thread_local bool t_failedCallValid = false;

namespace
{
// Cut at capacity, on a whole UTF-16 unit.
void copy_text(WCHAR* dest, size_t capacity, const char* src)
{
    const std::u16string text = utf8_to_utf16(src != nullptr ? src : "");
    const size_t n = std::min(text.size(), capacity - 1);
    std::copy(text.begin(), text.begin() + (ptrdiff_t)n, dest);
    dest[n] = 0;
}
} // namespace

DWORD win32_error_from_errno(int err)
{
    return win32_error_of_errno(err); // the fault table's column
}

void set_error_from_errno(int err)
{
    t_lastError = win32_error_from_errno(err);
}

DWORD fail_call(const char* call, const std::string& device, int err, const char* text, DWORD error, Fault fault)
{
    if (fault == Fault::None)
        fault = err != 0 ? fault_of_errno(err) : Fault::Other;
    if (error == ERROR_SUCCESS)
        error = fault_row(fault, err).error;
    if (error == ERROR_SUCCESS)
        error = ERROR_GEN_FAILURE; // a failure never reads as success
    t_lastError = error;
    copy_text(t_failedCall.szCall, sizeof t_failedCall.szCall, call);
    copy_text(t_failedCall.szDevice, sizeof t_failedCall.szDevice, device.c_str());
    t_failedCall.nErrno = err;
    t_failedCall.dwFault = (DWORD)fault;
    copy_text(t_failedCall.szText, sizeof t_failedCall.szText,
              text != nullptr ? text : (err != 0 ? strerror(err) : "failed"));
    t_failedCallValid = true;
    return error;
}

// ---------------------------------------------------------------------------
// Handle table
// ---------------------------------------------------------------------------
// A handle value encodes (generation << 16 | slot + 1) << 2. A slot's
// generation grows at every reuse, so a value is never handed out twice.
namespace
{
struct Slot
{
    uint64_t generation = 0; // of the current or last occupant
    ObjectRef obj;           // null when free
};

std::mutex g_tableMutex;
std::vector<Slot> g_slots;
std::vector<uint32_t> g_freeSlots;
constexpr uint32_t kMaxSlots = 0xFFFF;

uintptr_t encode(uint32_t slot, uint64_t generation)
{
    return (uintptr_t)(((generation << 16) | (uint64_t)(slot + 1)) << 2);
}

bool decode(HANDLE h, uint32_t* slot, uint64_t* generation)
{
    uintptr_t v = (uintptr_t)h;
    if (h == nullptr || h == INVALID_HANDLE_VALUE || (v & 3) != 0)
        return false;
    v >>= 2;
    uint32_t s = (uint32_t)(v & 0xFFFF);
    if (s == 0)
        return false;
    *slot = s - 1;
    *generation = (uint64_t)(v >> 16);
    return true;
}
} // namespace

HANDLE handle_insert(ObjectRef obj)
{
    std::lock_guard<std::mutex> lock(g_tableMutex);
    uint32_t slot;
    if (!g_freeSlots.empty())
    {
        slot = g_freeSlots.back();
        g_freeSlots.pop_back();
    }
    else
    {
        if (g_slots.size() >= kMaxSlots)
        {
            t_lastError = ERROR_TOO_MANY_OPEN_FILES;
            return nullptr;
        }
        slot = (uint32_t)g_slots.size();
        g_slots.emplace_back();
    }
    Slot& s = g_slots[slot];
    s.generation++;
    s.obj = std::move(obj);
    return (HANDLE)encode(slot, s.generation);
}

ObjectRef handle_get(HANDLE h, ObjectKind kind)
{
    uint32_t slot;
    uint64_t generation;
    if (decode(h, &slot, &generation))
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (slot < g_slots.size() && g_slots[slot].generation == generation && g_slots[slot].obj &&
            g_slots[slot].obj->kind == kind)
            return g_slots[slot].obj;
    }
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
}

bool handle_close(HANDLE h)
{
    uint32_t slot;
    uint64_t generation;
    ObjectRef obj;
    if (decode(h, &slot, &generation))
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (slot < g_slots.size() && g_slots[slot].generation == generation && g_slots[slot].obj)
        {
            obj = std::move(g_slots[slot].obj);
            g_slots[slot].obj = nullptr;
            g_freeSlots.push_back(slot);
        }
    }
    if (!obj)
    {
        t_lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    obj->closing.store(true);
    obj->on_close();
    return true; // the object itself goes when its last in-flight reference drops
}

size_t handle_count()
{
    std::lock_guard<std::mutex> lock(g_tableMutex);
    return g_slots.size() - g_freeSlots.size();
}

// ---------------------------------------------------------------------------
// Threads
// ---------------------------------------------------------------------------
namespace
{
std::atomic<DWORD> g_nextThreadId{0x100};

// The calling thread's record. Kept in a thread_local so that it is released
// by the thread's own exit path, including an exit from thread_checkpoint().
thread_local std::shared_ptr<ThreadObj> t_self;

struct StartRecord
{
    std::shared_ptr<ThreadObj> self;
    LPTHREAD_START_ROUTINE start;
    LPVOID param;
};

void finish_thread(ThreadObj* t, DWORD code)
{
    std::lock_guard<std::mutex> lock(t->mu);
    if (!t->terminated && !t->finished)
        t->exitCode.store(code);
    t->finished = true;
    t->busy = 0;
    t->cv.notify_all();
}

// Runs at thread exit, whether the body returned or the thread was ended at a
// checkpoint: the record reads as finished from then on.
struct ExitMark
{
    ~ExitMark()
    {
        if (t_self)
            finish_thread(t_self.get(), STILL_ACTIVE);
    }
};
thread_local ExitMark t_exitMark;

void* thread_main(void* arg)
{
    StartRecord* rec = (StartRecord*)arg;
    t_self = std::move(rec->self);
    (void)&t_exitMark; // construct the thread-exit marker for this thread
    LPTHREAD_START_ROUTINE start = rec->start;
    LPVOID param = rec->param;
    delete rec;
    thread_checkpoint(); // honours CREATE_SUSPENDED and an early TerminateThread
    DWORD code = start(param);
    finish_thread(t_self.get(), code);
    return nullptr;
}

[[noreturn]] void end_current_thread()
{
    pthread_exit(nullptr);
}
} // namespace

ThreadObj::ThreadObj() : Object(ObjectKind::Thread)
{
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    id = g_nextThreadId.fetch_add(4);
}

ThreadObj::~ThreadObj()
{
    if (wakeFd >= 0)
        close(wakeFd);
}

ThreadObj* current_thread()
{
    if (!t_self)
    {
        t_self = std::make_shared<ThreadObj>();
        (void)&t_exitMark;
    }
    return t_self.get();
}

std::shared_ptr<ThreadObj> current_thread_ref()
{
    current_thread();
    return t_self;
}

void thread_wake(ThreadObj* t)
{
    uint64_t one = 1;
    ssize_t r = write(t->wakeFd, &one, sizeof one);
    (void)r; // a saturated counter still reads as readable
}

void thread_checkpoint()
{
    ThreadObj* t = current_thread();
    std::unique_lock<std::mutex> lock(t->mu);
    while (t->suspendCount > 0 && !t->terminated)
        t->cv.wait(lock);
    if (t->terminated)
    {
        t->finished = true;
        t->cv.notify_all();
        lock.unlock();
        end_current_thread();
    }
}

bool thread_terminated()
{
    ThreadObj* t = current_thread();
    std::lock_guard<std::mutex> lock(t->mu);
    return t->terminated;
}

IoScope::IoScope()
{
    ThreadObj* t = current_thread();
    std::unique_lock<std::mutex> lock(t->mu);
    while (t->suspendCount > 0 && !t->terminated)
        t->cv.wait(lock);
    if (t->terminated)
    {
        // Not ended here: the caller holds references it must drop first.
        cancelled_ = true;
        return;
    }
    t->busy++;
}

IoScope::~IoScope()
{
    if (cancelled_)
        return;
    ThreadObj* t = current_thread();
    std::lock_guard<std::mutex> lock(t->mu);
    t->busy--;
    t->cv.notify_all();
}

// ---------------------------------------------------------------------------
// Waits
// ---------------------------------------------------------------------------
Clock::time_point deadline_after_ms(DWORD ms)
{
    if (ms == INFINITE)
        return Clock::time_point::max();
    return Clock::now() + std::chrono::milliseconds(ms);
}

static int timeout_until(Clock::time_point deadline)
{
    if (deadline == Clock::time_point::max())
        return -1;
    auto now = Clock::now();
    if (deadline <= now)
        return 0;
    // Round up so a wait never ends just before its deadline.
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    long long ms = (us + 999) / 1000;
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : (int)ms;
}

int wait_fds(struct pollfd* fds, int n, Clock::time_point deadline)
{
    ThreadObj* t = current_thread();
    struct pollfd local[9];
    std::vector<struct pollfd> heap;
    struct pollfd* all = local;
    if (n + 1 > 9)
    {
        heap.resize(n + 1);
        all = heap.data();
    }
    for (;;)
    {
        if (thread_terminated())
        {
            errno = ECANCELED;
            return -1;
        }
        for (int i = 0; i < n; i++)
        {
            all[i] = fds[i];
            all[i].revents = 0;
        }
        all[n].fd = t->wakeFd;
        all[n].events = POLLIN;
        all[n].revents = 0;
        int r = poll(all, n + 1, timeout_until(deadline));
        if (r < 0)
        {
            if (errno == EINTR)
                continue;
            return -1;
        }
        int ready = 0;
        for (int i = 0; i < n; i++)
        {
            fds[i].revents = all[i].revents;
            if (all[i].revents)
                ready++;
        }
        if (all[n].revents)
        {
            uint64_t v;
            ssize_t rr = read(t->wakeFd, &v, sizeof v);
            (void)rr;
            if (thread_terminated())
            {
                errno = ECANCELED;
                return -1;
            }
        }
        if (ready > 0)
            return ready;
        // A wake-up or the deadline: let the caller re-check its condition.
        return 0;
    }
}

bool sleep_until(Clock::time_point deadline)
{
    for (;;)
    {
        int r = wait_fds(nullptr, 0, deadline);
        if (r < 0)
            return false;
        if (Clock::now() >= deadline)
            return true;
    }
}

} // namespace plat

// ---------------------------------------------------------------------------
// The Win32 calls
// ---------------------------------------------------------------------------
using namespace plat;

// The handheld keeps the last error per thread; so do we.
DWORD GetLastError()
{
    return t_lastError;
}

void SetLastError(DWORD error)
{
    // Restoring the same value (a caller that saves and puts back the last
    // error around its own calls) keeps the failed call that came with it.
    if (error != t_lastError)
        t_failedCallValid = false;
    t_lastError = error;
}

BOOL GetLastFailedCall(FAILEDCALL* pCall)
{
    if (pCall == nullptr)
        return FALSE;
    *pCall = t_failedCallValid ? t_failedCall : FAILEDCALL{};
    return t_failedCallValid ? TRUE : FALSE;
}

// Threads are real pthreads; their handles are table objects that stay valid
// (and readable with GetExitCodeThread) after the thread ends, until closed.
HANDLE CreateThread(SECURITY_ATTRIBUTES*, DWORD, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                    LPDWORD threadId)
{
    thread_checkpoint();
    if (start == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto self = std::make_shared<ThreadObj>();
    if (self->wakeFd < 0)
    {
        set_error_from_errno(errno);
        return nullptr;
    }
    if (flags & CREATE_SUSPENDED)
        self->suspendCount = 1;
    HANDLE h = handle_insert(self);
    if (h == nullptr)
        return nullptr;
    auto* rec = new StartRecord{self, start, param};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    int err = pthread_create(&tid, &attr, thread_main, rec);
    pthread_attr_destroy(&attr);
    if (err != 0)
    {
        delete rec;
        handle_close(h);
        set_error_from_errno(err);
        return nullptr;
    }
    if (threadId)
        *threadId = self->id;
    return h;
}

// GetCurrentThread's pseudo-handle, as on the handheld.
static HANDLE const kCurrentThreadPseudo = (HANDLE)(intptr_t)-2;

static std::shared_ptr<ThreadObj> thread_from_handle(HANDLE h)
{
    if (h == kCurrentThreadPseudo)
    {
        current_thread();
        return t_self;
    }
    return handle_get_as<ThreadObj>(h, ObjectKind::Thread);
}

// The frame of the thread calls: a suspended caller waits and a terminated one
// ends here, and a handle that is no live thread gives `failed` (the last
// error ERROR_INVALID_HANDLE); otherwise the work's result, on the record.
template <typename R, typename Work> R thread_call(HANDLE thread, R failed, Work work)
{
    thread_checkpoint();
    std::shared_ptr<ThreadObj> t = thread_from_handle(thread);
    return t ? work(t.get()) : failed;
}

HANDLE GetCurrentThread()
{
    return kCurrentThreadPseudo;
}

DWORD GetCurrentThreadId()
{
    return current_thread()->id;
}

// Unlike the handheld, a suspended thread stops at its next platform call
// rather than at once; SuspendThread waits until an I/O system call already
// under way has finished, so once it returns the target starts no further I/O.
DWORD SuspendThread(HANDLE thread)
{
    return thread_call(thread, (DWORD)-1,
                       [](ThreadObj* t)
                       {
                           std::unique_lock<std::mutex> lock(t->mu);
                           DWORD prev = (DWORD)t->suspendCount++;
                           if (t == current_thread())
                           {
                               lock.unlock();
                               thread_checkpoint();
                               return prev;
                           }
                           while (t->busy > 0 && !t->finished && !t->terminated)
                               t->cv.wait(lock);
                           return prev;
                       });
}

DWORD ResumeThread(HANDLE thread)
{
    return thread_call(thread, (DWORD)-1,
                       [](ThreadObj* t)
                       {
                           std::lock_guard<std::mutex> lock(t->mu);
                           DWORD prev = (DWORD)t->suspendCount;
                           if (t->suspendCount > 0 && --t->suspendCount == 0)
                               t->cv.notify_all();
                           return prev;
                       });
}

// The exit code reads at once; the thread itself ends at its next platform
// call, and a platform call it is blocked in wakes up and fails.
BOOL TerminateThread(HANDLE thread, DWORD exitCode)
{
    thread_checkpoint();
    auto t = thread_from_handle(thread);
    if (!t)
        return FALSE;
    bool self = t.get() == current_thread();
    {
        std::lock_guard<std::mutex> lock(t->mu);
        if (!t->finished && !t->terminated)
        {
            t->terminated = true;
            t->exitCode.store(exitCode);
        }
        t->cv.notify_all();
    }
    thread_wake(t.get());
    if (self)
    {
        t.reset();
        thread_checkpoint();
    }
    return TRUE;
}

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    return thread_call(thread, FALSE,
                       [&](ThreadObj* t)
                       {
                           if (exitCode == nullptr)
                           {
                               SetLastError(ERROR_INVALID_PARAMETER);
                               return FALSE;
                           }
                           *exitCode = t->exitCode.load();
                           return TRUE;
                       });
}

// Priorities are recorded; the scheduler is left alone (all levels run as
// ordinary threads here).
BOOL SetThreadPriority(HANDLE thread, int priority)
{
    return thread_call(thread, FALSE,
                       [&](ThreadObj* t)
                       {
                           if (priority < THREAD_PRIORITY_TIME_CRITICAL || priority > THREAD_PRIORITY_IDLE)
                           {
                               SetLastError(ERROR_INVALID_PARAMETER);
                               return FALSE;
                           }
                           std::lock_guard<std::mutex> lock(t->mu);
                           t->priority = priority;
                           return TRUE;
                       });
}

int GetThreadPriority(HANDLE thread)
{
    return thread_call(thread, 0x7FFFFFFF, // THREAD_PRIORITY_ERROR_RETURN
                       [](ThreadObj* t)
                       {
                           std::lock_guard<std::mutex> lock(t->mu);
                           return t->priority;
                       });
}

static std::atomic<DWORD> g_sleepPercent{100};

void plat::set_sleep_percent(DWORD percent)
{
    g_sleepPercent.store(percent);
}

// Sleep blocks in poll on the thread's wake descriptor, so TerminateThread
// ends it early; a suspended thread stops when the sleep is over.
void Sleep(DWORD ms)
{
    thread_checkpoint();
    const DWORD percent = g_sleepPercent.load();
    if (ms > 0 && ms != INFINITE && percent != 100)
        ms = std::max<DWORD>(1, (DWORD)((unsigned long long)ms * percent / 100));
    if (ms > 0)
        sleep_until(deadline_after_ms(ms));
    thread_checkpoint();
}

DWORD GetTickCount()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
    return (DWORD)ms;
}

// CloseHandle serves every object kind of the table.
BOOL CloseHandle(HANDLE h)
{
    thread_checkpoint();
    return handle_close(h) ? TRUE : FALSE;
}
