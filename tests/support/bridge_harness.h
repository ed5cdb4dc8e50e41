// Test and benchmark harness for the serial bridge: pseudo-terminal pairs whose
// slaves the device profile names as the bridge's ports, a main window with
// the log pane on a UI thread of its own (so the pumps' cross-thread appends
// are handled), commands sent to it as the command table would, and byte I/O
// on the masters with time-outs. Header-only, free of any test framework, so
// the benchmark uses it too.
#pragma once

#include "bridge/bridge.h"
#include "platform/profile/profile.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"
#include "shell/log.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bridge_harness
{

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Pseudo-terminals
// ---------------------------------------------------------------------------
// One pair: the test holds the master; the slave's path goes into the profile
// and the bridge opens it. keepSlave holds a slave descriptor open too, so the
// master does not see a hang-up while the bridge has its port closed.
struct Pty
{
    int master = -1;
    int heldSlave = -1;
    std::string path;

    bool Open(bool keepSlave = true)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0)
            return false;
        char name[PATH_MAX];
        if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
            return false;
        path = name;
        struct termios t;
        if (tcgetattr(master, &t) == 0)
        {
            cfmakeraw(&t);
            tcsetattr(master, TCSANOW, &t);
        }
        if (keepSlave)
            heldSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return !keepSlave || heldSlave >= 0;
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
        if (heldSlave >= 0)
            close(heldSlave);
    }
};

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
        poll(&pfd, 1, (int)std::min<long long>(left, 50));
    }
    return true;
}

inline bool WriteAll(int fd, const std::string& s, int timeoutMs = 5000)
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
        // A master whose slave is closed polls as hung up at once: wait a little instead.
        if (poll(&pfd, 1, (int)std::min<long long>(left, 50)) > 0 && (pfd.revents & POLLIN) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return out;
}

// Everything that arrives until the line has been quiet for quietMs.
inline std::string ReadUntilQuiet(int fd, int quietMs = 100, int limitMs = 5000)
{
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    char buf[4096];
    while (Clock::now() < deadline)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        int p = poll(&pfd, 1, quietMs);
        if (p <= 0 || (pfd.revents & POLLIN) == 0)
            break;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            break;
        out.append(buf, (size_t)r);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Device profiles
// ---------------------------------------------------------------------------
struct ProfileSpec
{
    std::string serialIndex = "dword:00000001";  // FFUART's "Index"; empty: no value
    std::string serial2Index = "dword:00000004"; // BTUART's "Index"; empty: no value
    bool serialKey = true;
    bool serial2Key = true;
    std::vector<std::pair<std::string, std::string>> devices; // "COM1:" -> "tty:/dev/pts/3"
};

inline std::string ProfileText(const ProfileSpec& s)
{
    std::string t = "REGEDIT4\n\n";
    if (s.serialKey)
    {
        t += "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n";
        if (!s.serialIndex.empty())
            t += "\"Index\"=" + s.serialIndex + "\n";
        t += "\n";
    }
    if (s.serial2Key)
    {
        t += "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2]\n";
        if (!s.serial2Index.empty())
            t += "\"Index\"=" + s.serial2Index + "\n";
        t += "\n";
    }
    t += "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    for (auto& d : s.devices)
        t += "\"" + d.first + "\"=\"" + d.second + "\"\n";
    t += "\"RIL1:\"=\"none\"\n";
    return t;
}

inline bool LoadProfile(const ProfileSpec& s, std::string* error)
{
    return plat::profile_load_text(ProfileText(s), "bridge-test.reg", error);
}

// ---------------------------------------------------------------------------
// The main window on its own UI thread
// ---------------------------------------------------------------------------
#define BRIDGE_HARNESS_CLOSE (WM_USER + 77)

typedef LONG (*CommandHandler)(HWND hwnd, int id, LPARAM lParam, int notifyCode);

inline LRESULT HarnessWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    struct Entry
    {
        int id;
        CommandHandler handler;
    };
    static const Entry kCommands[] = {
        {IDM_BRIDGE_START, StartBridge},     {IDM_BRIDGE_STOP, StopBridge},         {IDM_PEER_BT, SelectOption},
        {IDM_PEER_IR, SelectOption},         {IDM_PEER_IRDA, SelectOption},         {IDM_TRACE_OFF, SelectOption},
        {IDM_TRACE_TO_MODULE, SelectOption}, {IDM_TRACE_FROM_MODULE, SelectOption}, {IDM_TRACE_BOTH, SelectOption},
    };
    switch (msg)
    {
        case WM_COMMAND:
            for (const Entry& e : kCommands)
                if (e.id == (int)LOWORD(wParam))
                    return e.handler(hwnd, e.id, lParam, (int)HIWORD(wParam));
            return 0;
        case BRIDGE_HARNESS_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_DESTROY:
            BridgeTeardown();
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

class MainWindow
{
public:
    bool Start()
    {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(10), [this] { return ready_; });
        return hwnd_ != nullptr;
    }

    ~MainWindow()
    {
        if (hwnd_ != nullptr)
            SendMessageW(hwnd_, BRIDGE_HARNESS_CLOSE, 0, 0);
        if (thread_.joinable())
            thread_.join();
    }

    // A command as the command table delivers it: handled on the UI thread.
    LONG Command(int id)
    {
        return (LONG)SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
    }

    HWND hwnd() const
    {
        return hwnd_;
    }

    std::string Log() const
    {
        return plat::utf16_to_utf8(plat::window_text(edit_));
    }

    DWORD UiThreadId() const
    {
        return uiThreadId_;
    }

    // Blocks until the log holds text, or the time-out passes.
    bool WaitForLog(const std::string& text, int timeoutMs = 5000) const
    {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (Log().find(text) == std::string::npos)
        {
            if (Clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

private:
    void Run()
    {
        static std::once_flag registered;
        std::call_once(registered,
                       []
                       {
                           WNDCLASSW wc = {};
                           wc.lpfnWndProc = HarnessWndProc;
                           wc.lpszClassName = u"Bridge Harness";
                           RegisterClassW(&wc);
                       });
        HWND hwnd = CreateWindowExW(0, u"Bridge Harness", u"Bridge", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                    CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
        HWND edit = nullptr;
        if (hwnd != nullptr)
            edit = CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0,
                                   CW_USEDEFAULT, CW_USEDEFAULT, hwnd, (HMENU)(intptr_t)IDC_LOG, nullptr, nullptr);
        {
            std::lock_guard<std::mutex> lock(mu_);
            hwnd_ = edit != nullptr ? hwnd : nullptr;
            edit_ = edit;
            uiThreadId_ = GetCurrentThreadId();
            ready_ = true;
        }
        cv_.notify_all();
        if (edit == nullptr)
            return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0))
        {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }

    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool ready_ = false;
    HWND hwnd_ = nullptr;
    HWND edit_ = nullptr;
    DWORD uiThreadId_ = 0;
};

// ---------------------------------------------------------------------------
// Process figures
// ---------------------------------------------------------------------------
inline int CountEntries(const char* dir)
{
    DIR* d = opendir(dir);
    if (d == nullptr)
        return -1;
    int n = 0;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

inline int OpenDescriptors()
{
    return CountEntries("/proc/self/fd") - 1; // less the directory's own descriptor
}

// "fd -> target" per open descriptor, for messages about leaks.
inline std::string DescribeDescriptors()
{
    std::string out;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr)
        return out;
    while (struct dirent* e = readdir(d))
    {
        if (e->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = 0;
        out += std::string(e->d_name) + " -> " + target + "\n";
    }
    closedir(d);
    return out;
}

inline int ThreadCount()
{
    return CountEntries("/proc/self/task");
}

// Number of times text occurs in s.
inline size_t CountOf(const std::string& s, const std::string& text)
{
    size_t n = 0;
    for (size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + text.size()))
        n++;
    return n;
}

} // namespace bridge_harness
