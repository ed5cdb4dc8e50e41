// Control-only devices and the HAL: the radio interface driver behind
// DeviceIoControl, the core library's entry points, and the device restart.
#include "platform/kernel/iocontrol.h"

#include "platform/kernel/core.h"
#include "platform/kernel/text.h"
#include "sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace plat
{
namespace
{
struct RilDevice : Object
{
    RilDevice() : Object(ObjectKind::Device) {}
    DeviceType type = DeviceType::RilNone;
    std::string command;
};

std::mutex g_devMutex;
std::vector<Sim*> g_sims;
std::vector<void (*)()> g_downHooks;
std::atomic<RestartHook> g_restartHook{nullptr};
std::atomic<int> g_ril[3];
HalFaults g_faults{};

// The core library's module handle: a fixed pseudo value.
HMODULE const kCoreDll = (HMODULE)(uintptr_t)0x7C000000;

// An outside command may hang; it gets this long before it counts as failed.
constexpr DWORD kCommandLimitMs = 10000;

bool run_command(const std::string& command, const char* control)
{
    std::string env = std::string("FWU_RIL_CONTROL=") + control;
    std::vector<char*> envp;
    for (char** e = environ; e && *e; e++)
        envp.push_back(*e);
    envp.push_back(env.data());
    envp.push_back(nullptr);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    pid_t pid;
    // The command starts with default signal dispositions: the tool ignores
    // SIGPIPE, which a shell pipeline must not inherit.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    int err = posix_spawn(&pid, "/bin/sh", nullptr, &attr, (char* const*)argv, envp.data());
    posix_spawnattr_destroy(&attr);
    if (err != 0)
    {
        set_error_from_errno(err);
        return false;
    }
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (pidfd >= 0)
    {
        struct pollfd p = {pidfd, POLLIN, 0};
        Clock::time_point deadline = deadline_after_ms(kCommandLimitMs);
        int r = 0;
        while (r == 0 && Clock::now() < deadline)
            r = wait_fds(&p, 1, deadline);
        close(pidfd);
        if (r <= 0)
        {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            SetLastError(ERROR_TIMEOUT);
            return false;
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

BOOL HalKernelIoControl(DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD)
{
    thread_checkpoint();
    if (g_faults.kernelIoControl)
    {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (code != IOCTL_HAL_REBOOT)
    {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    NKDbgPrintfW(u"Device restart: the handheld goes down\r\n");
    RestartHook hook = g_restartHook.load();
    if (hook)
    {
        hook();
        return TRUE;
    }
    std::vector<void (*)()> hooks;
    {
        std::lock_guard<std::mutex> lock(g_devMutex);
        hooks = g_downHooks;
    }
    for (auto fn : hooks)
        fn();
    fflush(nullptr);
    _exit(kExitDeviceRestart);
}
} // namespace

HANDLE ril_open(const DeviceSpec* device)
{
    auto dev = std::make_shared<RilDevice>();
    dev->type = device->type;
    dev->command = device->arg;
    return handle_insert(dev);
}

void simulator_register(Sim* sim)
{
    std::lock_guard<std::mutex> lock(g_devMutex);
    g_sims.push_back(sim);
}

void simulator_unregister(Sim* sim)
{
    std::lock_guard<std::mutex> lock(g_devMutex);
    g_sims.erase(std::remove(g_sims.begin(), g_sims.end(), sim), g_sims.end());
}

RilCounts ril_counts()
{
    return RilCounts{g_ril[0].load(), g_ril[1].load(), g_ril[2].load()};
}

void set_restart_hook(RestartHook hook)
{
    g_restartHook.store(hook);
}

void at_device_down(void (*fn)())
{
    std::lock_guard<std::mutex> lock(g_devMutex);
    g_downHooks.push_back(fn);
}

void hal_set_faults(const HalFaults& faults)
{
    g_faults = faults;
}

} // namespace plat

using namespace plat;

// The radio driver accepts its three control codes without buffers; anything
// else is refused as the handheld's drivers refuse an unknown code.
BOOL DeviceIoControl(HANDLE h, DWORD code, LPVOID, DWORD, LPVOID, DWORD, LPDWORD returned, OVERLAPPED* overlapped)
{
    thread_checkpoint();
    if (overlapped != nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto dev = handle_get_as<RilDevice>(h, ObjectKind::Device);
    if (!dev)
    {
        if (handle_get(h, ObjectKind::Serial))
            SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    int which;
    const char* control;
    switch (code)
    {
        case kIoctlRilSuspend:
            which = 0;
            control = "suspend";
            break;
        case kIoctlRilResume:
            which = 1;
            control = "resume";
            break;
        case kIoctlRilReset:
            which = 2;
            control = "reset";
            break;
        default:
            SetLastError(ERROR_NOT_SUPPORTED);
            return FALSE;
    }
    if (returned)
        *returned = 0;
    bool ok = true;
    if (which == 2 && dev->type == DeviceType::RilSimReset)
    {
        std::lock_guard<std::mutex> lock(g_devMutex);
        for (Sim* sim : g_sims)
            sim_reset(sim);
    }
    else if (dev->type == DeviceType::RilCommand)
        ok = run_command(dev->command, control);
    if (!ok)
        return FALSE;
    g_ril[which].fetch_add(1);
    return TRUE;
}

// The core library is always loaded; its handle is a fixed value and its
// reference count is not kept (the program's own imports hold it).
HMODULE LoadLibraryW(LPCWSTR name)
{
    thread_checkpoint();
    if (g_faults.loadLibrary || name == nullptr ||
        (!wstr_iequal(name, u"COREDLL.DLL") && !wstr_iequal(name, u"COREDLL")))
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return kCoreDll;
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR name)
{
    thread_checkpoint();
    if (module != kCoreDll)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (g_faults.getProcAddress || name == nullptr || !wstr_iequal(name, u"KernelIoControl"))
    {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return (FARPROC)&HalKernelIoControl;
}

BOOL FreeLibrary(HMODULE module)
{
    thread_checkpoint();
    if (module != kCoreDll || g_faults.freeLibrary)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
