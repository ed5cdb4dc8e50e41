// Why a serial device could not be opened (open_reason.h): the failure's kind
// from the system's errno, the line a person reads, and the look-ups that make
// it useful (who holds the node, whether it is the tool's own terminal, which
// group may open it).
#include "platform/serial/open_reason.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/text.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace plat
{

namespace
{

// The terminal every process may open as its controlling one.
const dev_t kDevTty = makedev(5, 0);

std::mutex g_lastMutex;
std::string g_last; // the latest failure's line

std::string read_line_of(const std::string& file)
{
    FILE* f = fopen(file.c_str(), "re");
    if (f == nullptr)
        return std::string();
    char buf[256] = {0};
    if (fgets(buf, sizeof buf, f) == nullptr)
        buf[0] = 0;
    fclose(f);
    std::string s = buf;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

// The flock holder of an inode, from /proc/locks ("1: FLOCK ADVISORY WRITE
// PID MAJ:MIN:INODE 0 EOF", the file system's device in hex); waiters ("->")
// hold nothing.
long flock_holder(const struct stat& st)
{
    FILE* f = fopen("/proc/locks", "re");
    if (f == nullptr)
        return 0;
    char line[256];
    long found = 0;
    while (found == 0 && fgets(line, sizeof line, f) != nullptr)
    {
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned maj = 0, min = 0;
        unsigned long ino = 0;
        if (strstr(line, "->") != nullptr)
            continue;
        if (sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &maj, &min, &ino) != 7)
            continue;
        if (strcmp(kind, "FLOCK") == 0 && makedev(maj, min) == st.st_dev && ino == st.st_ino)
            found = pid;
    }
    fclose(f);
    return found;
}

bool same_node(const struct stat& a, const struct stat& b)
{
    if (S_ISCHR(a.st_mode) && S_ISCHR(b.st_mode))
        return a.st_rdev == b.st_rdev;
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether process pid has a descriptor open on the node.
bool process_holds(const std::string& pid, const struct stat& node)
{
    const std::string dir = "/proc/" + pid + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return false;
    bool holds = false;
    while (struct dirent* e = readdir(d))
    {
        struct stat st;
        if (e->d_name[0] != '.' && stat((dir + "/" + e->d_name).c_str(), &st) == 0 && same_node(st, node))
        {
            holds = true;
            break;
        }
    }
    closedir(d);
    return holds;
}

// A process with a descriptor on the node (TIOCEXCL has no lock to list);
// another process first.
long descriptor_holder(const struct stat& node)
{
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return 0;
    const long self = (long)getpid();
    long found = 0;
    while (struct dirent* e = readdir(d))
    {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != 0 || (found != 0 && pid == self))
            continue;
        if (process_holds(e->d_name, node))
        {
            found = pid;
            if (pid != self)
                break;
        }
    }
    closedir(d);
    return found;
}

// "add the user to the dialout group", from the node's group.
std::string permission_hint(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return "this user may not reach it";
    struct group g;
    struct group* found = nullptr;
    char buf[4096];
    if (st.st_gid == 0 || getgrgid_r(st.st_gid, &g, buf, sizeof buf, &found) != 0 || found == nullptr)
        return "this user may not open it";
    return std::string("add the user to the ") + found->gr_name + " group";
}

std::string reason_of(const OpenFailure& f, const FaultRow& row)
{
    if (row.text != nullptr)
        return row.text;
    if (f.err != 0)
        return strerror(f.err);
    return "Win32 error " + std::to_string(f.error != 0 ? f.error : row.error);
}

std::string hint_of(const OpenFailure& f, const FaultRow& row)
{
    switch (f.fault)
    {
        case Fault::Permission:
            return permission_hint(f.path);
        case Fault::Held:
            if (f.holderPid == 0)
                return std::string();
            return "(pid " + std::to_string(f.holderPid) + (f.holderName.empty() ? "" : ", " + f.holderName) + ")";
        case Fault::HeldHere:
            return f.heldAs.empty() ? std::string() : "(" + utf16_to_utf8(f.heldAs) + ")";
        default:
            return row.hint;
    }
}

// The path as given, and the node behind it when that is another.
std::string path_text(const std::string& path)
{
    char real[PATH_MAX];
    if (path.empty() || path[0] != '/' || realpath(path.c_str(), real) == nullptr || path == real)
        return path;
    return path + " (" + real + ")";
}

} // namespace

DWORD open_failure_error(const OpenFailure& f)
{
    if (f.fault == Fault::Other && f.err == 0 && f.error != 0)
        return f.error; // a device with no errno, which said its own
    return fault_row(f.fault, f.err).error;
}

std::string open_failure_text(const OpenFailure& f)
{
    const FaultRow& row = fault_row(f.fault, f.err);
    std::string line = "cannot open " + utf16_to_utf8(f.device) + " " + path_text(f.path) + ": " + reason_of(f, row);
    const std::string hint = hint_of(f, row);
    if (!hint.empty())
        line += (hint[0] == '(' ? " " : ": ") + hint;
    return line;
}

// The status line's notice, registered from above.
static std::atomic<OpenNoticeListener> g_noticeListener{nullptr};

void serial_set_notice_listener(OpenNoticeListener listener)
{
    g_noticeListener.store(listener);
}

void open_failure_report(const OpenFailure& f)
{
    const std::string line = open_failure_text(f);
    {
        std::lock_guard<std::mutex> lock(g_lastMutex);
        g_last = line;
    }
    debug_write(utf8_to_utf16(line) + u"\r\n");
    if (OpenNoticeListener notice = g_noticeListener.load())
        notice(line);
    // The open is the failed call: its cause stays beside the last error.
    const std::string why = reason_of(f, fault_row(f.fault, f.err));
    fail_call("open", f.path, f.err, why.c_str(), open_failure_error(f), f.fault);
}

std::string serial_last_open_failure()
{
    std::lock_guard<std::mutex> lock(g_lastMutex);
    return g_last;
}

long open_holder_pid(const std::string& path, std::string* name)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    long pid = flock_holder(st);
    if (pid == 0)
        pid = descriptor_holder(st);
    if (pid != 0 && name != nullptr)
        *name = read_line_of("/proc/" + std::to_string(pid) + "/comm");
    return pid;
}

bool open_is_own_terminal(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    if (st.st_rdev == kDevTty)
        return true;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    {
        struct stat std;
        if (fstat(fd, &std) == 0 && S_ISCHR(std.st_mode) && std.st_rdev == st.st_rdev && isatty(fd))
            return true;
    }
    // The controlling terminal (tty_nr, the 7th field of /proc/self/stat,
    // counted after the command name, which may hold blanks).
    std::string stat = read_line_of("/proc/self/stat");
    size_t close = stat.rfind(')');
    unsigned long ttyNr = 0;
    if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %*c %*d %*d %*d %lu", &ttyNr) != 1 ||
        ttyNr == 0)
        return false;
    const unsigned maj = (ttyNr >> 8) & 0xfff;
    const unsigned min = (ttyNr & 0xff) | ((ttyNr >> 12) & 0xfff00);
    return st.st_rdev == makedev(maj, min);
}

std::string open_hold_key(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode))
        return "tty:dev:" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    char real[PATH_MAX];
    return "tty:" + std::string(realpath(path.c_str(), real) != nullptr ? real : path.c_str());
}

} // namespace plat
