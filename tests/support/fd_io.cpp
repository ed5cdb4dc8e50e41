#include "tests/support/fd_io.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <dirent.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace testsupport
{

namespace
{

// Milliseconds left until deadline, at least 0.
long long MsLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? left : 0;
}

} // namespace

double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs, int stepMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done())
    {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t n, int timeoutMs)
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
        const long long left = MsLeft(deadline);
        if (left == 0)
            return false;
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, (int)std::min<long long>(left, 50));
    }
    return true;
}

bool WriteAll(int fd, const std::string& s, int timeoutMs)
{
    return WriteAll(fd, s.data(), s.size(), timeoutMs);
}

std::string ReadExactly(int fd, size_t n, int timeoutMs)
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
        const long long left = MsLeft(deadline);
        if (left == 0)
            break;
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)std::min<long long>(left, 50)) > 0 && (pfd.revents & POLLIN) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

std::string ReadUntilQuiet(int fd, int quietMs, int limitMs)
{
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    char buf[4096];
    while (Clock::now() < deadline)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, quietMs) <= 0 || (pfd.revents & POLLIN) == 0)
            break;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        out.append(buf, (size_t)r);
    }
    return out;
}

std::string ReadFor(int fd, int ms)
{
    std::string out;
    char buf[4096];
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (long long left = MsLeft(deadline); left > 0; left = MsLeft(deadline))
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, (int)left) <= 0 || !(pfd.revents & POLLIN))
            continue;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r > 0)
            out.append(buf, (size_t)r);
    }
    return out;
}

size_t CountOf(const std::string& s, const std::string& text)
{
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size()))
        n++;
    return n;
}

namespace
{

// Calls fn(name) for every entry of /proc/self/fd but the listing's own.
template <typename Fn> void ForEachDescriptor(Fn fn)
{
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return;
    const int own = dirfd(d);
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.' && atoi(e->d_name) != own)
            fn(e->d_name);
    closedir(d);
}

} // namespace

int OpenDescriptors()
{
    int n = 0;
    ForEachDescriptor([&n](const char*) { n++; });
    return n;
}

std::string DescribeDescriptors()
{
    std::string out;
    ForEachDescriptor(
        [&out](const char* name)
        {
            char target[PATH_MAX];
            const std::string link = std::string("/proc/self/fd/") + name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            target[n > 0 ? n : 0] = 0;
            out += std::string(name) + " -> " + target + "\n";
        });
    return out;
}

} // namespace testsupport
