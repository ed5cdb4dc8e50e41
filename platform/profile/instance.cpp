// FindWindowW and SetForegroundWindow over the device's window namespace: the
// process's own windows, and through a local socket those of the process
// holding the namespace of the same device profile (see instance.h).
#include "platform/profile/instance.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/profile/profile.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
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

constexpr size_t kMaxLine = 1024;         // a request or an answer, newline included
constexpr DWORD kServeReadMs = 1000;      // a client gets this long to send its request
constexpr uintptr_t kRemoteTag = 0x2;     // bit 1 of a handle: a window of another process
constexpr uintptr_t kHandleLowBits = 0xF; // local handles have these clear

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
    int lockFd = -1;
    int listenFd = -1;
    int stopFd = -1; // eventfd: ends the listener
    std::thread listener;

    std::mutex pathMu; // socketPath for instance_abandon, which may run anywhere
    std::string abandonPath;
};

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

uint64_t fnv1a(const std::string& text)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text)
    {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hex64(uint64_t v)
{
    char buffer[17];
    snprintf(buffer, sizeof(buffer), "%016llx", (unsigned long long)v);
    return buffer;
}

bool parse_hex(const std::string& text, uint64_t* out)
{
    if (text.empty() || text.size() > 16)
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = strtoull(text.c_str(), &end, 16);
    if (errno != 0 || *end != 0)
        return false;
    *out = v;
    return true;
}

std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;)
    {
        size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

// A field may not carry the protocol's separators.
bool clean_field(const std::string& text)
{
    return text.find_first_of("\t\n\r", 0) == std::string::npos;
}

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
    std::vector<std::string> f = split_tabs(line);
    if (f[0] == "find" && (f.size() == 2 || f.size() == 3))
    {
        std::u16string cls = utf8_to_utf16(f[1]);
        std::u16string title = f.size() == 3 ? utf8_to_utf16(f[2]) : std::u16string();
        HWND h = find_for_peer(cls.c_str(), f.size() == 3 ? title.c_str() : nullptr);
        return h ? "ok\t" + hex64((uint64_t)(uintptr_t)h) : "none";
    }
    if (f[0] == "front" && f.size() == 3 && (f[2] == "0" || f[2] == "1"))
    {
        uint64_t v = 0;
        if (!parse_hex(f[1], &v) || (v & kHandleLowBits) != 0)
            return "none";
        WindowInfo info;
        HWND h = (HWND)(uintptr_t)v;
        if (!window_info(h, &info) || info.child)
            return "none";
        return bring_forward(h, f[2] == "1") ? "ok" : "none";
    }
    if (f[0] == "command" && f.size() == 2)
    {
        char* end = nullptr;
        long id = strtol(f[1].c_str(), &end, 10);
        if (f[1].empty() || *end != 0 || id < 0 || id > 0xFFFF)
            return "error";
        HWND target = program_window();
        if (target == nullptr || !PostMessageW(target, WM_COMMAND, MAKEWPARAM(id, 0), 0))
            return "none";
        return "ok";
    }
    return "error";
}

void serve_connection(int fd)
{
    struct ucred cred;
    socklen_t len = sizeof(cred);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != geteuid())
    {
        debug_write(u"Window namespace: refused a request from user " +
                    utf8_to_utf16(std::to_string(len == sizeof(cred) ? (long)cred.uid : -1L)) + u"\r\n");
        return;
    }
    std::string line;
    if (!read_line(fd, deadline_after_ms(kServeReadMs), &line))
        return;
    send_all(fd, serve_request(line) + "\n");
}

void listen_loop(int listenFd, int stopFd)
{
    for (;;)
    {
        struct pollfd fds[2] = {{listenFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 || fds[1].revents != 0)
            return;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve_connection(fd);
        close(fd);
    }
}

// Under n.mu. Takes the lock file; when it is ours, the namespace is ours:
// the socket of a holder that died goes, ours is bound and served.
bool try_hold(Namespace& n, std::string* error)
{
    if (flock(n.lockFd, LOCK_EX | LOCK_NB) != 0)
    {
        if (errno == EWOULDBLOCK)
            return true; // a live holder: we stay a member
        *error = n.dir + ": cannot lock the window namespace: " + strerror(errno);
        return false;
    }
    sockaddr_un addr;
    make_address(n.socketPath, &addr);
    unlink(n.socketPath.c_str()); // stale: its holder is gone, or there was none
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, (const sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, 16) != 0)
    {
        *error = n.socketPath + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        flock(n.lockFd, LOCK_UN);
        return false;
    }
    int stopFd = eventfd(0, EFD_CLOEXEC);
    if (stopFd < 0)
    {
        *error = std::string("eventfd: ") + strerror(errno);
        close(fd);
        unlink(n.socketPath.c_str());
        flock(n.lockFd, LOCK_UN);
        return false;
    }
    n.listenFd = fd;
    n.stopFd = stopFd;
    n.holder = true;
    {
        std::lock_guard<std::mutex> lock(n.pathMu);
        n.abandonPath = n.socketPath;
    }
    n.listener = std::thread(listen_loop, fd, stopFd);
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
std::string instance_default_dir()
{
    const char* dir = getenv("FWU_RUNTIME_DIR");
    if (dir != nullptr && dir[0] != 0)
        return dir;
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/fwutil";
    return "/tmp/fwutil-" + std::to_string(geteuid());
}

bool instance_check_dir(const std::string& dir, std::string* error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    {
        *error = dir + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
    {
        *error = dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode))
    {
        *error = dir + ": not a directory (a link or a file is not trusted)";
        return false;
    }
    if (st.st_uid != geteuid())
    {
        *error = dir + ": owned by user " + std::to_string(st.st_uid) + ", not by this user";
        return false;
    }
    if ((st.st_mode & 077) != 0)
    {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", (unsigned)(st.st_mode & 07777));
        *error = dir + ": open to group or others (mode " + mode + "); it must be 0700";
        return false;
    }
    return true;
}

std::string instance_socket_path(const std::string& dir, const std::string& origin)
{
    return dir + "/ns-" + hex64(fnv1a(origin)) + ".sock";
}

bool instance_join(const std::string& dirIn, std::string* error)
{
    std::string scratch;
    if (error == nullptr)
        error = &scratch;
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.mu);
    if (n.joined)
        return true;
    std::string dir = dirIn.empty() ? instance_default_dir() : dirIn;
    if (!instance_check_dir(dir, error))
        return false;
    std::string socketPath = instance_socket_path(dir, profile_origin());
    sockaddr_un addr;
    if (!make_address(socketPath, &addr))
    {
        *error = socketPath + ": path too long for a local socket";
        return false;
    }
    std::string lockPath = socketPath.substr(0, socketPath.size() - 5) + ".lock";
    int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0)
    {
        *error = lockPath + ": " + strerror(errno);
        return false;
    }
    n.dir = dir;
    n.socketPath = socketPath;
    n.lockFd = lockFd;
    n.holder = false;
    n.hadProgramWindow = false;
    if (!try_hold(n, error))
    {
        close(lockFd);
        n.lockFd = -1;
        return false;
    }
    window_set_created_tap(on_window_created);
    n.joined = true;
    return true;
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

void instance_leave()
{
    Namespace& n = ns();
    std::thread listener;
    {
        std::lock_guard<std::mutex> lock(n.mu);
        if (!n.joined)
            return;
        if (n.holder)
        {
            uint64_t one = 1;
            if (write(n.stopFd, &one, sizeof(one)) < 0)
                debug_write(u"Window namespace: cannot stop the listener\r\n");
            listener = std::move(n.listener);
            n.stopping = true;
        }
    }
    n.windowCreated.notify_all();
    // Joined outside the lock: a request being served may wait on it.
    if (listener.joinable())
        listener.join();
    std::lock_guard<std::mutex> lock(n.mu);
    if (n.holder)
    {
        {
            std::lock_guard<std::mutex> pathLock(n.pathMu);
            n.abandonPath.clear();
        }
        unlink(n.socketPath.c_str());
        close(n.listenFd);
        close(n.stopFd);
        n.listenFd = -1;
        n.stopFd = -1;
    }
    close(n.lockFd); // releases the lock
    n.lockFd = -1;
    n.holder = false;
    n.joined = false;
    n.stopping = false;
    window_set_created_tap(nullptr);
}

void instance_abandon()
{
    Namespace& n = ns();
    std::lock_guard<std::mutex> lock(n.pathMu);
    if (!n.abandonPath.empty())
        unlink(n.abandonPath.c_str());
    n.abandonPath.clear();
}

PostResult instance_post_command(const std::string& dirIn, const std::string& origin, int id, std::string* error)
{
    std::string scratch;
    if (error == nullptr)
        error = &scratch;
    std::string dir = dirIn.empty() ? instance_default_dir() : dirIn;
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0 && errno == ENOENT)
        return PostResult::NoInstance;
    if (!instance_check_dir(dir, error))
        return PostResult::Failed;
    std::string path = instance_socket_path(dir, origin);
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
    if (answer == "ok")
        return PostResult::Delivered;
    if (answer == "none")
        return PostResult::NoInstance;
    *error = path + ": the running instance refused the command (" + answer + ")";
    return PostResult::Failed;
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
