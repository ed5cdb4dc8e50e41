// NKDbgPrintfW and the debug sink behind it.
//
// On the handheld the kernel debug output goes to a debugger or a serial
// console and never disturbs the screen. Here it goes to stderr, a file or
// nowhere; lines meant for the terminal the display is drawing on are held
// back until the display ends, so the trace can never garble the window.
#include "platform/kernel/debug.h"

#include "platform/kernel/core.h"
#include "platform/kernel/text.h"

#include <cerrno>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat
{
namespace
{

enum class SinkKind
{
    Stderr,
    File,
    Off,
};

struct DebugState
{
    std::mutex mu;
    SinkKind kind = SinkKind::Stderr;
    int fileFd = -1;              // the file sink's descriptor, opened once
    bool screenActive = false;    // the terminal display is drawing
    bool sinkOnScreen = false;    // the sink is the terminal the display draws on
    std::deque<std::string> ring; // lines held back while sinkOnScreen
    size_t dropped = 0;           // lines the ring lost while it was full
    bool capturing = false;
    std::vector<std::u16string> captured;
};

// Never destroyed: threads that the program leaves running at exit may still
// write a line while static destructors run.
DebugState& state()
{
    static DebugState* s = new DebugState;
    return *s;
}

int sink_fd(const DebugState& s)
{
    switch (s.kind)
    {
        case SinkKind::Stderr:
            return STDERR_FILENO;
        case SinkKind::File:
            return s.fileFd;
        case SinkKind::Off:
            break;
    }
    return -1;
}

// Writes the whole line: one write() in the normal case, continued after a
// short write. Each write waits at most kWriteWaitMs for room, so a sink that
// nobody drains (a stalled pipe, a terminal on hold) drops lines instead of
// stopping every thread that traces. Failures are dropped too: debug output
// must never change what the program does.
constexpr int kWriteWaitMs = 1000;

void write_all(int fd, const char* data, size_t len)
{
    while (len > 0)
    {
        struct pollfd pfd = {fd, POLLOUT, 0};
        int ready;
        do
        {
            ready = ::poll(&pfd, 1, kWriteWaitMs);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || (pfd.revents & (POLLERR | POLLNVAL)) != 0)
        {
            return;
        }
        const ssize_t n = ::write(fd, data, len);
        if (n > 0)
        {
            data += n;
            len -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        {
            continue;
        }
        return;
    }
}

// Whether fd is the terminal the display draws on: the display runs on the
// process's standard input and output, or on its controlling terminal.
bool is_screen_terminal(int fd)
{
    if (fd < 0 || !::isatty(fd))
    {
        return false;
    }
    struct stat sinkStat;
    if (::fstat(fd, &sinkStat) != 0)
    {
        return false;
    }
    const int stdFds[] = {STDIN_FILENO, STDOUT_FILENO};
    for (int s : stdFds)
    {
        struct stat st;
        if (::isatty(s) && ::fstat(s, &st) == 0 && st.st_rdev == sinkStat.st_rdev)
        {
            return true;
        }
    }
    const int tty = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0)
    {
        struct stat st;
        const bool same = ::fstat(tty, &st) == 0 && st.st_rdev == sinkStat.st_rdev;
        ::close(tty);
        return same;
    }
    return false;
}

void update_on_screen(DebugState& s)
{
    s.sinkOnScreen = s.screenActive && is_screen_terminal(sink_fd(s));
}

void flush_ring(DebugState& s)
{
    const int fd = sink_fd(s);
    if (fd >= 0 && s.dropped > 0)
    {
        const std::string note =
            "[debug output: " + std::to_string(s.dropped) + " earlier lines dropped while the screen was drawn]\n";
        write_all(fd, note.data(), note.size());
    }
    if (fd >= 0)
    {
        for (const std::string& line : s.ring)
        {
            write_all(fd, line.data(), line.size());
        }
    }
    s.ring.clear();
    s.dropped = 0;
}

void close_file(DebugState& s)
{
    if (s.fileFd >= 0)
    {
        ::close(s.fileFd);
        s.fileFd = -1;
    }
}

void deliver_line(std::u16string_view line)
{
    DebugState& s = state();
    std::string utf8;
    utf16_append_utf8(utf8, line);
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.capturing)
    {
        s.captured.emplace_back(line);
        return;
    }
    const int fd = sink_fd(s);
    if (fd < 0)
    {
        return;
    }
    if (s.sinkOnScreen)
    {
        if (s.ring.size() >= kDebugRingLines)
        {
            s.ring.pop_front();
            s.dropped++;
        }
        s.ring.push_back(std::move(utf8));
        return;
    }
    write_all(fd, utf8.data(), utf8.size());
}

void emit_line(std::u16string_view line)
{
    // Platform code may log between a failed system call and reading errno.
    const int savedErrno = errno;
    deliver_line(line);
    errno = savedErrno;
}

} // namespace

void debug_set_sink_stderr()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    close_file(s);
    s.kind = SinkKind::Stderr;
    update_on_screen(s);
}

bool debug_set_sink_file(const std::string& path, std::string* error)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0)
    {
        if (error != nullptr)
        {
            *error = path + ": " + std::strerror(errno);
        }
        return false;
    }
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    close_file(s);
    s.fileFd = fd;
    s.kind = SinkKind::File;
    update_on_screen(s);
    return true;
}

void debug_set_sink_off()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    close_file(s);
    s.kind = SinkKind::Off;
    s.ring.clear();
    s.dropped = 0;
    update_on_screen(s);
}

void debug_set_screen_active(bool active)
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.screenActive = active;
    update_on_screen(s);
    if (!active)
    {
        flush_ring(s);
    }
}

void debug_write(std::u16string_view line)
{
    emit_line(line);
}

void debug_capture_begin()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.capturing = true;
    s.captured.clear();
}

std::vector<std::u16string> debug_capture_take()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::vector<std::u16string> out;
    out.swap(s.captured);
    return out;
}

void debug_capture_end()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.capturing = false;
    s.captured.clear();
}

size_t debug_pending_count()
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    return s.ring.size();
}

} // namespace plat

// Kernel debug output: formats with the wsprintfW rules into a bounded line
// and hands it to the sink. It never touches the last-error value.
void NKDbgPrintfW(LPCWSTR format, ...)
{
    plat::thread_checkpoint();
    if (format == nullptr)
    {
        return;
    }
    WCHAR line[plat::kDebugLineMax];
    va_list args;
    va_start(args, format);
    const int n = wvnsprintfW(line, static_cast<int>(plat::kDebugLineMax), format, args);
    va_end(args);
    plat::emit_line(std::u16string_view(line, static_cast<size_t>(n)));
}
