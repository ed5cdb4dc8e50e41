// FindWindowW and SetForegroundWindow over the device's window namespace: the
// process's own windows, and through a local socket those of the process
// holding the namespace of the same device profile (see instance.h).
#include "platform/shellapi/instance.h"

#include "platform/shellapi/instance_internal.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/profile/profile.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace plat
{
namespace
{

constexpr size_t kMaxLine = 1024;     // an answer, newline included
constexpr DWORD kAbandonWaitMs = 500; // a going-down process waits this long for answers in flight
constexpr uintptr_t kRemoteTag = 0x2; // bit 1 of a handle: a window of another process

struct Namespace
{
    std::mutex mu;
    std::condition_variable windowCreated;
    bool joined = false;
    bool holder = false;
    bool hadProgramWindow = false; // the holder has shown its program window once
    bool stopping = false;         // instance_leave: a held request answers now
    std::string dir;
    std::string socketPath;
    std::string lockPath;
    int lockFd = -1;
    int listenFd = -1;
    Listener* listener = nullptr;

    std::mutex pathMu; // the holder's files for instance_abandon, which may run anywhere
    std::string abandonSocket;
    std::string abandonLock;
};

// The holder's files again, for instance_unlink_now from a signal handler:
// fixed buffers, written before the signal can need them.
char g_signalSocket[256];
char g_signalLock[256];

Namespace& ns()
{
    static Namespace* n = new Namespace(); // never destroyed: the listener may outlive static destructors
    return *n;
}

// Windows of other processes, by the handle value handed out for them.
struct RemoteWindow
{
    std::string socketPath;
    uint64_t value; // the handle in its own process
};
std::mutex g_remoteMu;
std::vector<RemoteWindow> g_remotes;

std::atomic<HWND> g_foreground{nullptr};
std::atomic<bool> g_foregroundOwned{false};

bool make_address(const std::string& path, sockaddr_un* addr)
{
    if (path.size() >= sizeof(addr->sun_path))
        return false;
    memset(addr, 0, sizeof(*addr));
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool peer_is_us(int fd)
{
    struct ucred cred;
    socklen_t len = sizeof(cred);
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == geteuid();
}

// Writes all of text, never raising SIGPIPE; false when the peer went.
bool send_all(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size())
    {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += (size_t)n;
    }
    return true;
}

// Reads one line (without its newline) until the deadline. The wait goes
// through wait_fds, so a thread terminated meanwhile does not hang here.
bool read_line(int fd, Clock::time_point deadline, std::string* line)
{
    line->clear();
    char buffer[256];
    while (line->size() < kMaxLine)
    {
        struct pollfd p = {fd, POLLIN, 0};
        int r = wait_fds(&p, 1, deadline);
        if (r < 0)
            return false;
        if (r == 0)
        {
            if (Clock::now() >= deadline)
                return false;
            continue;
        }
        ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            return false;
        line->append(buffer, (size_t)n);
        size_t nl = line->find('\n');
        if (nl != std::string::npos)
        {
            line->resize(nl);
            return true;
        }
    }
    return false;
}

enum class Ask
{
    Answered,
    NoListener, // nobody holds the namespace
    Failed,
};

// One request to the holder at path, one answer back.
Ask ask(const std::string& path, const std::string& request, std::string* answer)
{
    sockaddr_un addr;
    if (!make_address(path, &addr))
        return Ask::Failed;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return Ask::Failed;
    // A holder that stopped accepting (its backlog full) must not hang the
    // asker: connecting and sending give up after the same bound.
    struct timeval limit = {(time_t)(kRequestWaitMs / 1000), (suseconds_t)(kRequestWaitMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    int r;
    do
    {
        r = connect(fd, (const sockaddr*)&addr, sizeof(addr));
    } while (r < 0 && errno == EINTR);
    if (r < 0)
    {
        int err = errno;
        close(fd);
        return (err == ENOENT || err == ECONNREFUSED) ? Ask::NoListener : Ask::Failed;
    }
    // Only a process of our own user may answer for our windows.
    if (!peer_is_us(fd))
    {
        close(fd);
        return Ask::Failed;
    }
    bool ok = send_all(fd, request + "\n") && read_line(fd, deadline_after_ms(kRequestWaitMs), answer);
    close(fd);
    return ok ? Ask::Answered : Ask::Failed;
}

HWND top_level_of(HWND hwnd)
{
    WindowInfo info;
    while (window_info(hwnd, &info) && info.child)
        hwnd = info.parent;
    return hwnd;
}

// Whether hwnd lies in top or in a window that top owns (at any depth).
bool in_owned_tree(HWND hwnd, HWND top)
{
    HWND h = top_level_of(hwnd);
    WindowInfo info;
    while (h != nullptr)
    {
        if (h == top)
            return true;
        if (!window_info(h, &info))
            return false;
        h = info.parent;
    }
    return false;
}

// Brings a window of this process forward: it becomes the foreground window
// the displays draw in front, and on its own thread it gets the keyboard
// focus unless the focus already lies in it or in a window it owns (a dialog
// it runs keeps its focus).
bool bring_forward(HWND hwnd, bool withOwned)
{
    WindowInfo info;
    if (!window_info(hwnd, &info))
        return false;
    HWND top = top_level_of(hwnd);
    g_foregroundOwned.store(withOwned);
    g_foreground.store(top);
    window_notify_changed(top, kChangeForeground | kChangePaint);
    if (window_info(top, &info) && info.threadId == GetCurrentThreadId())
    {
        HWND focus = focus_window();
        if (focus == nullptr || !in_owned_tree(focus, top))
            SetFocus(top);
    }
    return true;
}

HWND find_local(LPCWSTR className, LPCWSTR title)
{
    for (HWND h : window_list())
    {
        WindowInfo info;
        if (!window_info(h, &info) || info.child)
            continue;
        if (className != nullptr && !wstr_iequal(info.className, className))
            continue;
        if (title != nullptr && !wstr_iequal(window_text(h), title))
            continue;
        return h;
    }
    return nullptr;
}

HWND remote_handle(const std::string& path, uint64_t value)
{
    std::lock_guard<std::mutex> lock(g_remoteMu);
    size_t i = 0;
    for (; i < g_remotes.size(); i++)
        if (g_remotes[i].socketPath == path && g_remotes[i].value == value)
            break;
    if (i == g_remotes.size())
        g_remotes.push_back(RemoteWindow{path, value});
    return (HWND)(((uintptr_t)(i + 1) << 4) | kRemoteTag);
}

bool remote_of(HWND hwnd, RemoteWindow* out)
{
    uintptr_t v = (uintptr_t)hwnd & ~(uintptr_t)1;
    if ((v & kHandleLowBits) != kRemoteTag)
        return false;
    size_t i = (v >> 4) - 1;
    std::lock_guard<std::mutex> lock(g_remoteMu);
    if (v >> 4 == 0 || i >= g_remotes.size())
        return false;
    *out = g_remotes[i];
    return true;
}

// ---------------------------------------------------------------------------
// The holder's side
// ---------------------------------------------------------------------------
void on_window_created(HWND)
{
    Namespace& n = ns();
    {
        std::lock_guard<std::mutex> lock(n.mu);
    }
    n.windowCreated.notify_all();
}

// A starting holder answers "find" only once it has its program window (or
// the window asked for), or when kFindHoldMs pass.
HWND find_for_peer(LPCWSTR className, LPCWSTR title)
{
    Namespace& n = ns();
    std::unique_lock<std::mutex> lock(n.mu);
    HWND found = nullptr;
    n.windowCreated.wait_until(lock, deadline_after_ms(kFindHoldMs),
                               [&]
                               {
                                   found = find_local(className, title);
                                   if (program_window() != nullptr)
                                       n.hadProgramWindow = true;
                                   return found != nullptr || n.hadProgramWindow || n.stopping;
                               });
    return found;
}

std::string serve_request(const std::string& line)
{
    InstanceRequest r = instance_parse_request(line);
    switch (r.kind)
    {
        case InstanceRequest::Find:
        {
            HWND h = find_for_peer(r.className.c_str(), r.hasTitle ? r.title.c_str() : nullptr);
            return h ? "ok\t" + hex64((uint64_t)(uintptr_t)h) : "none";
        }
        case InstanceRequest::Front:
        {
            WindowInfo info;
            HWND h = (HWND)(uintptr_t)r.window;
            bool ok = r.window != 0 && window_info(h, &info) && !info.child && bring_forward(h, r.withOwned);
            return ok ? "ok" : "none";
        }
        case InstanceRequest::Command:
        {
            // Posted before it is answered, so the asker knows it is queued;
            // a restart it sets off waits for this answer (instance_abandon).
            HWND target = program_window();
            if (target == nullptr || !PostMessageW(target, WM_COMMAND, MAKEWPARAM(r.id, 0), 0))
                return "none";
            return "ok" + command_reply_field(target, r.id);
        }
        case InstanceRequest::Bad:
            break;
    }
    return "error";
}

void copy_path(char* to, size_t size, const std::string& path)
{
    if (path.size() < size)
        memcpy(to, path.c_str(), path.size() + 1);
    else
        to[0] = 0;
}

// Under n.mu. Takes the lock file: 1 held, 0 a live holder has it, -1 an
// error. The lock file goes when its holder leaves; one opened before that
// and locked after is no longer the file at the path, and counts for nothing.
int take_lock(Namespace& n, std::string* error)
{
    for (int tries = 0; tries < 8; tries++)
    {
        if (n.lockFd < 0)
            n.lockFd = open(n.lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (n.lockFd < 0)
        {
            *error = n.lockPath + ": " + strerror(errno);
            return -1;
        }
        if (flock(n.lockFd, LOCK_EX | LOCK_NB) != 0)
        {
            if (errno == EWOULDBLOCK)
                return 0;
            *error = n.dir + ": cannot lock the window namespace: " + strerror(errno);
            return -1;
        }
        struct stat held, named;
        if (fstat(n.lockFd, &held) == 0 && lstat(n.lockPath.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return 1;
        close(n.lockFd);
        n.lockFd = -1;
    }
    *error = n.lockPath + ": the lock file keeps being replaced";
    return -1;
}

// Under n.mu. When the lock is ours, so is the namespace: the socket of a
// holder that died goes, ours is bound and served.
bool try_hold(Namespace& n, std::string* error)
{
    int locked = take_lock(n, error);
    if (locked <= 0)
        return locked == 0; // a live holder: we stay a member
    sockaddr_un addr;
    make_address(n.socketPath, &addr);
    unlink(n.socketPath.c_str()); // stale: its holder is gone, or there was none
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Listener* listener = nullptr;
    if (fd < 0 || bind(fd, (const sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, 64) != 0)
        *error = n.socketPath + ": " + strerror(errno);
    else
        listener = listener_start(fd, serve_request, error);
    if (listener == nullptr)
    {
        if (fd >= 0)
        {
            close(fd);
            unlink(n.socketPath.c_str());
        }
        flock(n.lockFd, LOCK_UN);
        return false;
    }
    n.listenFd = fd;
    n.listener = listener;
    n.holder = true;
    // The lock file names its holder, so a second start can say which process runs.
    char pid[24];
    int len = snprintf(pid, sizeof(pid), "%ld\n", (long)getpid());
    if (ftruncate(n.lockFd, 0) != 0 || pwrite(n.lockFd, pid, (size_t)len, 0) != len)
        debug_write(utf8_to_utf16(n.lockPath + ": the holder's pid could not be written\r\n"));
    std::lock_guard<std::mutex> lock(n.pathMu);
    n.abandonSocket = n.socketPath;
    n.abandonLock = n.lockPath;
    copy_path(g_signalSocket, sizeof(g_signalSocket), n.socketPath);
    copy_path(g_signalLock, sizeof(g_signalLock), n.lockPath);
    return true;
}

// A member whose holder has gone takes the namespace over, so the windows of
// this process become findable again.
void take_over_if_free()
{
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    if (!n.joined || n.holder)
        return;
    std::string error;
    if (!try_hold(n, &error))
        debug_write(u"Window namespace: " + utf8_to_utf16(error) + u"\r\n");
}

} // namespace

// ---------------------------------------------------------------------------
// The namespace
// ---------------------------------------------------------------------------
namespace
{

// Under n.mu: joins key's namespace in dir, which is already checked.
bool join_in(Namespace& n, const std::string& dir, const std::string& key, std::string* error)
{
    std::string socketPath = instance_socket_path(dir, key);
    sockaddr_un addr;
    if (!make_address(socketPath, &addr))
    {
        *error = socketPath + ": path too long for a local socket";
        return false;
    }
    n.dir = dir;
    n.socketPath = socketPath;
    n.lockPath = socketPath.substr(0, socketPath.size() - 5) + ".lock";
    n.lockFd = -1;
    n.holder = false;
    n.hadProgramWindow = false;
    if (!try_hold(n, error))
    {
        if (n.lockFd >= 0)
            close(n.lockFd);
        n.lockFd = -1;
        return false;
    }
    window_set_created_tap(on_window_created);
    n.joined = true;
    return true;
}

} // namespace

bool instance_join(const std::string& dirIn, const std::string& key, std::string* error)
{
    std::string scratch;
    if (error == nullptr)
        error = &scratch;
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    if (n.joined)
        return true;
    if (!dirIn.empty())
        return instance_check_dir(dirIn, error) && join_in(n, dirIn, key, error);
    // The usual folder may be unusable (made beforehand by another user, say);
    // the others are ones only this user can make. --post looks in the same
    // places, in the same order.
    std::string first;
    for (const std::string& dir : instance_dirs())
    {
        std::string why;
        instance_make_parents(dir);
        if (instance_check_dir(dir, &why) && join_in(n, dir, key, &why))
        {
            if (!first.empty())
                debug_write(u"Window namespace: " + utf8_to_utf16(first) + u"; using " + utf8_to_utf16(dir) +
                            u" instead\r\n");
            return true;
        }
        if (first.empty())
            first = why;
    }
    *error = first;
    return false;
}

bool instance_join(const std::string& dir, std::string* error)
{
    return instance_join(dir, profile_origin(), error);
}

std::string instance_dir()
{
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.joined ? n.dir : std::string();
}

bool instance_joined()
{
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.joined;
}

bool instance_is_holder()
{
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    return n.holder;
}

long instance_holder_pid()
{
    Namespace& n = ns();
    std::string path;
    {
        std::lock_guard<std::mutex> lock(n.mu);
        if (n.holder)
            return (long)getpid();
        path = n.lockPath;
    }
    int fd = path.empty() ? -1 : open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return 0;
    char text[24] = {0};
    ssize_t got = read(fd, text, sizeof(text) - 1);
    close(fd);
    char* end = nullptr;
    long pid = got > 0 ? strtol(text, &end, 10) : 0;
    return (end != nullptr && *end == '\n' && pid > 0) ? pid : 0;
}

void instance_leave()
{
    Namespace& n = ns();
    Listener* listener = nullptr;
    {
        std::lock_guard<std::mutex> lock(n.mu);
        if (!n.joined)
            return;
        listener = n.listener;
        n.listener = nullptr;
        n.stopping = true;
    }
    n.windowCreated.notify_all();
    command_replies_stopping(true);
    // Stopped outside the lock: a request being served may wait on it.
    listener_stop(listener);
    std::lock_guard<std::mutex> lock(n.mu);
    if (n.holder)
    {
        {
            std::lock_guard<std::mutex> pathLock(n.pathMu);
            n.abandonSocket.clear();
            n.abandonLock.clear();
            g_signalSocket[0] = 0;
            g_signalLock[0] = 0;
        }
        unlink(n.socketPath.c_str());
        // Still locked while it goes: whoever opened it before and locks it
        // after sees that it is no longer the file at the path.
        unlink(n.lockPath.c_str());
        close(n.listenFd);
        n.listenFd = -1;
    }
    if (n.lockFd >= 0)
        close(n.lockFd); // releases the lock
    n.lockFd = -1;
    n.holder = false;
    n.joined = false;
    n.stopping = false;
    command_replies_stopping(false);
    window_set_created_tap(nullptr);
}

void instance_abandon()
{
    // The command that set the restart off still gets its answer.
    listener_wait_answers(kAbandonWaitMs);
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.pathMu);
    if (!n.abandonSocket.empty())
        unlink(n.abandonSocket.c_str());
    if (!n.abandonLock.empty())
        unlink(n.abandonLock.c_str());
    n.abandonSocket.clear();
    n.abandonLock.clear();
}

void instance_unlink_now()
{
    if (g_signalSocket[0] != 0)
        unlink(g_signalSocket);
    if (g_signalLock[0] != 0)
        unlink(g_signalLock);
}

namespace
{

PostResult post_in(const std::string& dir, const std::string& key, int id, std::string* error, std::string* reply)
{
    std::string path = instance_socket_path(dir, key);
    std::string answer;
    switch (ask(path, "command\t" + std::to_string(id), &answer))
    {
        case Ask::NoListener:
            return PostResult::NoInstance;
        case Ask::Failed:
            *error = path + ": no answer from the running instance";
            return PostResult::Failed;
        case Ask::Answered:
            break;
    }
    if (answer == "ok" || answer.rfind("ok\t", 0) == 0)
    {
        if (reply != nullptr)
            *reply = answer.size() > 3 ? answer.substr(3) : std::string();
        return PostResult::Delivered;
    }
    if (answer == "none")
        return PostResult::NoInstance;
    *error = path + ": the running instance refused the command (" + answer + ")";
    return PostResult::Failed;
}

} // namespace

PostResult instance_post_command(const std::string& dirIn, const std::string& key, int id, std::string* error,
                                 std::string* reply)
{
    std::string scratch;
    if (error == nullptr)
        error = &scratch;
    if (reply != nullptr)
        reply->clear();
    std::vector<std::string> dirs = dirIn.empty() ? instance_dirs() : std::vector<std::string>{dirIn};
    PostResult result = PostResult::NoInstance;
    for (const std::string& dir : dirs)
    {
        struct stat st;
        if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT)
            continue;
        std::string why;
        if (!instance_check_dir(dir, &why))
        {
            // An unusable folder hides no tool; a tool would be in the next one.
            if (dirs.size() == 1)
            {
                *error = why;
                return PostResult::Failed;
            }
            continue;
        }
        result = post_in(dir, key, id, error, reply);
        if (result != PostResult::NoInstance)
            return result;
    }
    return result;
}

bool instance_is_remote(HWND hwnd)
{
    RemoteWindow r;
    return remote_of(hwnd, &r);
}

// ---------------------------------------------------------------------------
// The foreground window
// ---------------------------------------------------------------------------
HWND foreground_window()
{
    HWND h = g_foreground.load();
    return (h != nullptr && IsWindow(h)) ? h : nullptr;
}

bool foreground_with_owned()
{
    return g_foregroundOwned.load();
}

} // namespace plat

using namespace plat;

// Top-level windows of this process first (class and title compare without
// regard to ASCII case; a null one matches any), then, once the namespace is
// joined, those of the process holding it. Nothing found: null, and the
// last-error value is left as it was, as on the platform.
HWND FindWindowW(LPCWSTR className, LPCWSTR title)
{
    thread_checkpoint();
    if ((className != nullptr && IS_INTRESOURCE(className)) || (title != nullptr && IS_INTRESOURCE(title)))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HWND local = find_local(className, title);
    if (local != nullptr)
        return local;

    take_over_if_free();
    std::string path;
    {
        Namespace& n = ns();
        std::lock_guard<std::mutex> lock(n.mu);
        if (!n.joined || n.holder)
            return nullptr; // a holder's peers ask it; they never hold windows of their own for it
        path = n.socketPath;
    }
    std::string cls = utf16_to_utf8(className ? className : u"");
    std::string ttl = utf16_to_utf8(title ? title : u"");
    if (className == nullptr || !clean_field(cls) || !clean_field(ttl))
        return nullptr; // the protocol names windows by class
    std::string request = "find\t" + cls + (title ? "\t" + ttl : std::string());
    std::string answer;
    if (ask(path, request, &answer) != Ask::Answered)
        return nullptr;
    std::vector<std::string> f = split_tabs(answer);
    uint64_t value = 0;
    if (f.size() != 2 || f[0] != "ok" || !parse_hex(f[1], &value))
        return nullptr;
    return remote_handle(path, value);
}

// A handle with its lowest bit set brings the window forward together with
// the windows it owns. A window of another process is brought forward by
// that process.
BOOL SetForegroundWindow(HWND hwnd)
{
    thread_checkpoint();
    bool withOwned = ((uintptr_t)hwnd & 1) != 0;
    HWND h = (HWND)((uintptr_t)hwnd & ~(uintptr_t)1);
    RemoteWindow remote;
    if (remote_of(h, &remote))
    {
        std::string answer;
        if (ask(remote.socketPath, "front\t" + hex64(remote.value) + "\t" + (withOwned ? "1" : "0"), &answer) ==
                Ask::Answered &&
            answer == "ok")
            return TRUE;
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!bring_forward(h, withOwned))
    {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}
