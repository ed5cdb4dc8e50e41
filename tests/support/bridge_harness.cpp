#include "tests/support/bridge_harness.h"

#include "platform/kernel/text.h"
#include "platform/profile/profile.h"
#include "platform/windowing/window.h"
#include "shell/commands.h"

#include <chrono>
#include <cstdint>

namespace bridge_harness
{

std::string ProfileText(const ProfileShape& s)
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

bool LoadProfile(const ProfileShape& s, std::string* error)
{
    return plat::profile_load_text(ProfileText(s), "bridge-test.reg", error);
}

namespace
{

LRESULT HarnessWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
        case WM_COMMAND:
            return OnCommand(hwnd, msg, wParam, lParam);
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

} // namespace

bool MainWindow::Start()
{
    thread_ = std::thread([this] { Run(); });
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [this] { return ready_; });
    return hwnd_ != nullptr;
}

MainWindow::~MainWindow()
{
    if (hwnd_ != nullptr)
        SendMessageW(hwnd_, BRIDGE_HARNESS_CLOSE, 0, 0);
    if (thread_.joinable())
        thread_.join();
}

LONG MainWindow::Command(int id)
{
    return (LONG)SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, 0), 0);
}

std::string MainWindow::Log() const
{
    return plat::utf16_to_utf8(plat::window_text(edit_));
}

bool MainWindow::WaitForLog(const std::string& text, int timeoutMs) const
{
    return testsupport::WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeoutMs);
}

void MainWindow::Run()
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
        edit = CreateWindowExW(0, u"edit", u"", WS_CHILD | WS_VISIBLE | ES_MULTILINE | ES_READONLY, 0, 0, CW_USEDEFAULT,
                               CW_USEDEFAULT, hwnd, (HMENU)(intptr_t)IDC_LOG, nullptr, nullptr);
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

} // namespace bridge_harness
