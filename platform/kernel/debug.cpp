// NKDbgPrintfW and the debug sink behind it.
//
// On the handheld the kernel debug output goes to a debugger or a serial
// console and never disturbs the screen. Here it goes to stderr, a file or
// nowhere; lines meant for the terminal the display is drawing on are held
// back until the display ends, so the trace can never garble the window.
//
// A person reads the per-device log long after the run, in a folder that may
// be shared (/tmp): the file is opened without following links or waiting on
// FIFOs, refused when it belongs to someone else, and rotated at a bound.
#include "platform/kernel/debug.h"

#include "platform/kernel/core.h"
#include "platform/kernel/sha256.h"
#include "platform/kernel/text.h"
#include "platform/kernel/runtime_dir.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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
    DebugFormat format = DebugFormat::Raw;
    int fileFd = -1;              // the file sink's descriptor, opened once
    bool fileNeverWaits = false;  // fileFd takes every write at once (see never_waits)
    std::string logPath;          // the log sink's file, for its rotation
    size_t rotateBytes = 0;       // the log's bound; 0: not rotated
    size_t fileBytes = 0;         // bytes in the log file so far
    bool full = false;            // the log met its bound and could not be rotated: no more is written
    bool midLine = false;         // the sink's last line came without a line end
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

// Whether writes to fd never wait for room: a regular file, or one of the
// kernel's memory devices (/dev/null and its kin). Each always polls ready,
// so asking first would only cost every traced line a system call.
bool never_waits(int fd)
{
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0)
        return false;
    return S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && major(st.st_rdev) == 1);
}

// Writes the whole line: one write() in the normal case, continued after a
// short write. Each write waits at most kWriteWaitMs for room, so a sink that
// nobody drains (a stalled pipe, a terminal on hold) drops lines instead of
// stopping every thread that traces. Failures are dropped too: debug output
// must never change what the program does. A sink that never waits is
// written without asking for room first.
constexpr int kWriteWaitMs = 1000;

void write_all(int fd, const char* data, size_t len, bool neverWaits)
{
    bool ask = !neverWaits;
    while (len > 0)
    {
        if (ask)
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
            ask = ask || errno != EINTR; // a sink that said "no room" is asked from now on
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

// ---------------------------------------------------------------------------
// The log file: opened with care, rotated at its bound
// ---------------------------------------------------------------------------

// What a file type is called in a refusal.
const char* file_type_name(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISCHR(mode))
        return "a character device that is not a terminal";
    if (S_ISDIR(mode))
        return "a folder";
    return "not a regular file";
}

// Opens path for appending. Never follows a symbolic link, never waits for a
// FIFO's reader (O_NONBLOCK), and refuses whatever is not a regular file of
// this user or a terminal. *regular and *size describe what was opened.
int open_log_file(const std::string& path, bool* regular, size_t* size, std::string* error)
{
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0)
    {
        const int err = errno;
        if (err == ELOOP)
            *error = path + ": a symbolic link (refused: the log is never written through a link)";
        else if (err == ENXIO)
            *error = path + ": a FIFO or socket nobody reads (refused: not a file)";
        else
            *error = path + ": " + std::strerror(err);
        return -1;
    }
    struct stat st;
    std::string refusal;
    if (::fstat(fd, &st) != 0)
        refusal = std::strerror(errno);
    else if (S_ISREG(st.st_mode) && st.st_uid != ::geteuid())
        refusal = "owned by user " + std::to_string(st.st_uid) + ", not by this user (refused)";
    else if (!S_ISREG(st.st_mode) && !(S_ISCHR(st.st_mode) && ::isatty(fd)))
        refusal = std::string(file_type_name(st.st_mode)) + " (refused: the log is a regular file or a terminal)";
    if (!refusal.empty())
    {
        ::close(fd);
        *error = path + ": " + refusal;
        return -1;
    }
    // Writes wait (boundedly, in write_all) like those to any other sink.
    ::fcntl(fd, F_SETFL, O_APPEND);
    *regular = S_ISREG(st.st_mode);
    *size = *regular ? static_cast<size_t>(st.st_size) : 0;
    return fd;
}

// NAME becomes NAME.1 and NAME starts again. When that cannot be done (NAME.1
// is a folder another user made in a shared folder, the new file cannot be
// opened), the log stops at its bound and says so once: it never grows
// without one.
void rotate_log(DebugState& s)
{
    const std::string older = s.logPath + ".1";
    std::string error;
    bool regular = false;
    size_t size = 0;
    int fd = -1;
    if (::rename(s.logPath.c_str(), older.c_str()) == 0)
        fd = open_log_file(s.logPath, &regular, &size, &error);
    else
        error = older + ": " + std::strerror(errno);
    if (fd < 0)
    {
        s.full = true;
        const std::string note = "[debug log: at its bound of " + std::to_string(s.rotateBytes) +
                                 " bytes and cannot be rotated: " + error + "; nothing more is written to it]\n";
        write_all(s.fileFd, note.data(), note.size(), s.fileNeverWaits);
        return;
    }
    ::close(s.fileFd);
    s.fileFd = fd;
    s.fileNeverWaits = never_waits(fd);
    s.fileBytes = size;
}

// Writes text to the sink, rotating a log file that would pass its bound.
void write_out(DebugState& s, const std::string& text)
{
    const int fd = sink_fd(s);
    if (fd < 0 || text.empty())
        return;
    if (s.kind == SinkKind::File && s.rotateBytes > 0 && s.fileBytes > 0 && s.fileBytes + text.size() > s.rotateBytes)
    {
        if (!s.full)
            rotate_log(s);
    }
    if (s.kind == SinkKind::File && s.full)
        return; // a shorter line that would still fit comes after the note
    write_all(sink_fd(s), text.data(), text.size(), s.kind == SinkKind::File && s.fileNeverWaits);
    s.fileBytes += text.size();
}

// ---------------------------------------------------------------------------
// Line forms
// ---------------------------------------------------------------------------

// "2024-05-01 12:34:56.789+02:00 ": local time, as the technician's clock
// shows it, with its offset from UTC, so logs from machines in other zones (or
// from either side of a clock change) line up.
std::string time_stamp()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    struct tm local;
    ::localtime_r(&secs, &local);
    const long offset = local.tm_gmtoff / 60;
    const long absolute = offset < 0 ? -offset : offset;
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03ld%c%02ld:%02ld ", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ms,
                  offset < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return text;
}

// What the sink gets for one line. Stamped (what a person reads): each text
// line of it, line ends and empty lines dropped, as "STAMP TEXT\n", control
// characters a profile or a command's output carried written out. Raw: the
// line as formatted, after a line end when the previous line did not end its
// own.
std::string sink_text(DebugState& s, const std::string& utf8)
{
    if (s.format == DebugFormat::Stamped)
    {
        const std::string stamp = time_stamp();
        std::string out;
        size_t start = 0;
        while (start < utf8.size())
        {
            size_t nl = utf8.find('\n', start);
            size_t end = nl == std::string::npos ? utf8.size() : nl;
            size_t stop = end;
            while (stop > start && utf8[stop - 1] == '\r')
                stop--;
            if (stop > start)
                out += stamp + printable_text(std::string_view(utf8).substr(start, stop - start)) + "\n";
            start = end + 1;
        }
        return out;
    }
    if (utf8.empty())
        return utf8;
    std::string out = s.midLine ? "\r\n" + utf8 : utf8;
    s.midLine = utf8.back() != '\n';
    return out;
}

void flush_ring(DebugState& s)
{
    if (s.dropped > 0)
    {
        write_out(s, sink_text(s, "[debug output: " + std::to_string(s.dropped) +
                                      " earlier lines dropped while the screen was drawn]\n"));
    }
    for (const std::string& line : s.ring)
    {
        write_out(s, line);
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
    s.fileNeverWaits = false;
    s.logPath.clear();
    s.rotateBytes = 0;
    s.fileBytes = 0;
    s.full = false;
    s.midLine = false;
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
    if (sink_fd(s) < 0)
    {
        return;
    }
    std::string text = sink_text(s, utf8);
    if (s.sinkOnScreen)
    {
        if (s.ring.size() >= kDebugRingLines)
        {
            s.ring.pop_front();
            s.dropped++;
        }
        s.ring.push_back(std::move(text));
        return;
    }
    write_out(s, text);
}

// The file sink from now on: fd, and for a log its path and bound.
void use_file(int fd, const std::string& path, size_t rotateBytes, size_t size)
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    close_file(s);
    s.fileFd = fd;
    s.fileNeverWaits = never_waits(fd);
    s.kind = SinkKind::File;
    s.logPath = path;
    s.rotateBytes = rotateBytes;
    s.fileBytes = size;
    update_on_screen(s);
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
    use_file(fd, std::string(), 0, 0);
    return true;
}

bool debug_set_sink_log(const std::string& path, size_t rotateBytes, std::string* error)
{
    std::string reason;
    bool regular = false;
    size_t size = 0;
    const int fd = open_log_file(path, &regular, &size, &reason);
    if (fd < 0)
    {
        if (error != nullptr)
        {
            *error = reason;
        }
        return false;
    }
    use_file(fd, path, regular ? rotateBytes : 0, size);
    return true;
}

void debug_set_format(DebugFormat format)
{
    DebugState& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    s.format = format;
}

namespace
{

// mkdir -p for the folders above a log folder under the user's own home.
bool make_parents(const std::string& dir, std::string* error)
{
    for (size_t at = 1; at < dir.size(); at++)
    {
        if (dir[at] != '/')
            continue;
        const std::string part = dir.substr(0, at);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
        {
            *error = part + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// Letters, digits, '.', '_' and '-' of text; anything else becomes '-'.
std::string name_part(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                           c == '_' || c == '-';
        out += plain ? c : '-';
    }
    while (!out.empty() && (out.front() == '-' || out.front() == '.'))
        out.erase(out.begin());
    return out.empty() ? "none" : out;
}

} // namespace

bool debug_log_folder(std::string* dir, std::string* error)
{
    const char* stateHome = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string folder;
    if (stateHome != nullptr && stateHome[0] == '/')
        folder = std::string(stateHome) + "/fwutil";
    else if (home != nullptr && home[0] == '/')
        folder = std::string(home) + "/.local/state/fwutil";
    else
        folder = instance_default_dir(); // a folder only this user can make (runtime_dir.h)
    std::string reason;
    if (!make_parents(folder, &reason) || !instance_check_dir(folder, &reason))
    {
        *error = reason;
        return false;
    }
    *dir = folder;
    return true;
}

std::string debug_log_name(const std::string& profile, const std::string& port)
{
    std::string device = port;
    if (device.rfind("/dev/", 0) == 0)
        device = device.substr(5);
    const std::string both = profile + '\n' + port;
    const std::string hash = sha256_hex(both.data(), both.size()).substr(0, 8);
    return "fwutil-" + name_part(profile).substr(0, kDebugLogPartMax) + "-" +
           name_part(device).substr(0, kDebugLogPartMax) + "-" + hash + ".log";
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
