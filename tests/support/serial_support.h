// Test and benchmark support for serial ports: pseudo-terminal pairs whose
// slave a device profile names as a port ("tty:PATH"), profile text for a
// device map, and byte I/O on the master with time-outs. Header-only and free
// of any test framework, so the benchmark uses it too.
#pragma once

#include "platform/profile/profile.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace serial_support
{

using Clock = std::chrono::steady_clock;

// One pair: the test holds the master (non-blocking, raw); the slave's path
// goes into the profile and the platform opens it.
struct Pty
{
    int master = -1;
    std::string path;

    bool Open()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0)
            return false;
        char name[PATH_MAX];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
            return false;
        path = name;
        struct termios t;
        if (tcgetattr(master, &t) != 0)
            return false;
        cfmakeraw(&t);
        return tcsetattr(master, TCSANOW, &t) == 0;
    }

    void CloseMaster()
    {
        if (master >= 0)
            close(master);
        master = -1;
    }

    ~Pty()
    {
        CloseMaster();
    }
};

// "REGEDIT4" text with a Platform\Devices key mapping each name to its kind.
inline std::string DeviceProfile(const std::vector<std::pair<std::string, std::string>>& devices,
                                 const std::string& extra = std::string())
{
    std::string text = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    for (const auto& d : devices)
        text += "\"" + d.first + "\"=\"" + d.second + "\"\n";
    return text + "\n" + extra;
}

inline bool LoadDevices(const std::vector<std::pair<std::string, std::string>>& devices, std::string* error)
{
    return plat::profile_load_text(DeviceProfile(devices), "serial-test.reg", error);
}

// Writes all of data, waiting for room; false on an error or time-out.
inline bool WriteAll(int fd, const void* data, size_t n, int timeoutMs = 5000)
{
    const uint8_t* p = (const uint8_t*)data;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (n > 0)
    {
        ssize_t w = write(fd, p, n);
        if (w > 0)
        {
            p += w;
            n -= (size_t)w;
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, (int)left);
    }
    return true;
}

inline bool WriteText(int fd, const std::string& s, int timeoutMs = 5000)
{
    return WriteAll(fd, s.data(), s.size(), timeoutMs);
}

// Reads until n bytes have come or the time-out passes; returns what came.
inline std::string ReadExactly(int fd, size_t n, int timeoutMs = 5000)
{
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (out.size() < n)
    {
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r > 0)
        {
            out.append(buf, (size_t)r);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        poll(&pfd, 1, (int)std::min<long long>(left, 50));
    }
    return out;
}

// Everything that arrives until the line has been quiet for quietMs.
inline std::string ReadUntilQuiet(int fd, int quietMs = 100)
{
    std::string out;
    char buf[4096];
    for (;;)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, quietMs) <= 0 || !(pfd.revents & POLLIN))
            return out;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            return out;
        out.append(buf, (size_t)r);
    }
}

// Everything that arrives within ms, however busy the line.
inline std::string ReadFor(int fd, int ms)
{
    std::string out;
    char buf[4096];
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;)
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return out;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0 || !(pfd.revents & POLLIN))
            continue;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0)
            out.append(buf, (size_t)r);
    }
}

// CPU time (user + system) of the whole process, in seconds.
inline double ProcessCpuSeconds()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

} // namespace serial_support
