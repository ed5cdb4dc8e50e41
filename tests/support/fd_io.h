// Descriptor I/O for tests and benchmarks: writes and reads on a descriptor
// (a pty master, a pipe) that always end, by a time-out when nothing comes, and
// waits on a condition that give up instead of hanging. Free of any test
// framework, so the benchmarks use it too.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

namespace testsupport
{

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start);

// Polls done every stepMs until it holds; false when timeoutMs pass first.
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 5000, int stepMs = 2);

// Writes all of data, waiting for room; false on an error or time-out.
bool WriteAll(int fd, const void* data, size_t n, int timeoutMs = 5000);
bool WriteAll(int fd, const std::string& s, int timeoutMs = 5000);
inline bool WriteText(int fd, const std::string& s, int timeoutMs = 5000)
{
    return WriteAll(fd, s, timeoutMs);
}

// Reads until n bytes have come or the time-out passes; returns what came. A
// master whose slave is closed reads as hung up at once: it is waited on
// instead of read in a loop.
std::string ReadExactly(int fd, size_t n, int timeoutMs = 5000);

// Everything that arrives until the line has been quiet for quietMs, for at
// most limitMs.
std::string ReadUntilQuiet(int fd, int quietMs = 100, int limitMs = 5000);

// Everything that arrives within ms, however busy the line.
std::string ReadFor(int fd, int ms);

// Number of times text occurs in s.
size_t CountOf(const std::string& s, const std::string& text);

// Descriptors this process holds, and "fd -> target" per descriptor for
// messages about leaks.
int OpenDescriptors();
std::string DescribeDescriptors();

} // namespace testsupport
