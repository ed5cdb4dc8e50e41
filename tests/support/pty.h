// A pseudo-terminal pair for tests and benchmarks: the test holds the master
// (non-blocking, raw); the slave's path goes into a device profile ("tty:PATH")
// and the platform opens it.
#pragma once

#include <string>

namespace testsupport
{

struct Pty
{
    int master = -1;
    int heldSlave = -1; // a slave descriptor held by the test, or -1
    std::string path;   // the slave's path

    Pty() = default;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    // keepSlave holds a slave descriptor open too, so the master does not see
    // a hang-up while the platform has its port closed.
    bool Open(bool keepSlave = true);
    void CloseMaster();
};

// A tty another program holds: a pseudo-terminal whose slave this process has
// open and locked, as a port holds its device.
struct HeldTty
{
    Pty pty;
    int held = -1; // the locked slave descriptor

    HeldTty() = default;
    HeldTty(const HeldTty&) = delete;
    HeldTty& operator=(const HeldTty&) = delete;
    ~HeldTty();

    bool Open();
    const std::string& path() const
    {
        return pty.path;
    }
};

} // namespace testsupport
