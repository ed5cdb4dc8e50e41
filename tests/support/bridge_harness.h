// Test and benchmark harness for the serial bridge: device profiles whose
// ports are pseudo-terminal slaves, and a main window with the log pane on a
// UI thread of its own (so the pumps' cross-thread appends are handled), whose
// commands go through the tool's own command table. Free of any test
// framework, so the benchmark uses it too.
#pragma once

#include "bridge/bridge.h"
#include "shell/log.h"
#include "tests/support/fd_io.h"
#include "tests/support/platform_threads.h"
#include "tests/support/pty.h"

#include <cerrno>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace bridge_harness
{

using testsupport::Clock;
using testsupport::CountOf;
using testsupport::DescribeDescriptors;
using testsupport::OpenDescriptors;
using testsupport::Pty;
using testsupport::ReadExactly;
using testsupport::ReadUntilQuiet;
using testsupport::ThreadCount;
using testsupport::WriteAll;

// ---------------------------------------------------------------------------
// Device profiles
// ---------------------------------------------------------------------------
struct ProfileShape
{
    std::string serialIndex = "dword:00000001";  // FFUART's "Index"; empty: no value
    std::string serial2Index = "dword:00000004"; // BTUART's "Index"; empty: no value
    bool serialKey = true;
    bool serial2Key = true;
    std::vector<std::pair<std::string, std::string>> devices; // "COM1:" -> "tty:/dev/pts/3"
};

std::string ProfileText(const ProfileShape& s);
bool LoadProfile(const ProfileShape& s, std::string* error);

// ---------------------------------------------------------------------------
// The main window on its own UI thread
// ---------------------------------------------------------------------------
// Destroys the window from its own thread, as closing it would.
#define BRIDGE_HARNESS_CLOSE (WM_USER + 77)

class MainWindow
{
public:
    ~MainWindow();

    bool Start();

    // A command as the command table delivers it: handled on the UI thread.
    LONG Command(int id);

    HWND hwnd() const
    {
        return hwnd_;
    }
    DWORD UiThreadId() const
    {
        return uiThreadId_;
    }
    std::string Log() const;

    // Blocks until the log holds text, or the time-out passes.
    bool WaitForLog(const std::string& text, int timeoutMs = 5000) const;

private:
    void Run();

    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool ready_ = false;
    HWND hwnd_ = nullptr;
    HWND edit_ = nullptr;
    DWORD uiThreadId_ = 0;
};

} // namespace bridge_harness
