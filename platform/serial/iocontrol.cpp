// Control-only devices and the HAL: the radio interface driver behind
// DeviceIoControl, the core library's entry points, and the device restart.
#include "platform/serial/iocontrol.h"

#include "platform/kernel/core.h"
#include "platform/kernel/debug.h"
#include "platform/serial/modem_lines.h"
#include "platform/kernel/text.h"
#include "sim/sim.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <ctime>
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
    std::u16string name; // as the profile spells it, for the debug lines
    std::string command;
    std::string port; // the tty path behind the module's line, or empty
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
// At the limit its process group gets SIGTERM, and SIGKILL this much later.
constexpr DWORD kTermGraceMs = 1000;
// Output of one control taken into the debug output at most; the rest is
// read and dropped, so the command never blocks on a full pipe.
constexpr size_t kOutputMax = 16 * 1024;
constexpr size_t kOutputLineMax = 900;    // longer lines are cut into pieces
constexpr size_t kDrainBytes = 64 * 1024; // read at one go at most

std::atomic<DWORD> g_commandLimitMs{kCommandLimitMs};

// The module's line: the adapter whose module the controls act on.
const char16_t kModuleLine[] = u"COM1:";
// Where udev keeps an adapter's stable names.
const char kSerialIdFolder[] = "/dev/serial/by-id";
std::mutex g_idFolderMutex;
std::string g_idFolder = kSerialIdFolder;
std::atomic<ControlRunner> g_controlRunner{nullptr};

// The command's output, line by line, into the debug output.
struct OutputLines
{
    std::u16string device; // "RIL1:"
    std::string pending;
    size_t taken = 0;
    bool cut = false;

    void emit(const std::string& line)
    {
        debug_write(device + u" " + utf8_to_utf16(line) + u"\r\n");
    }

    void add(const char* data, size_t n)
    {
        if (taken >= kOutputMax)
        {
            if (!cut)
                emit("(more output dropped)");
            cut = true;
            return;
        }
        n = std::min(n, kOutputMax - taken);
        taken += n;
        pending.append(data, n);
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos || pending.size() >= kOutputLineMax)
        {
            size_t len = nl == std::string::npos ? kOutputLineMax : nl;
            std::string line = pending.substr(0, len);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            emit(line);
            pending.erase(0, nl == std::string::npos ? len : len + 1);
        }
    }

    void finish()
    {
        if (!pending.empty())
            emit(pending);
        pending.clear();
    }
};

// Reads what the pipe holds now, up to kDrainBytes (a command that writes
// without pause must not keep the waiting code from its deadline); false
// at its end (or on an error).
bool drain_output(int fd, OutputLines* out)
{
    char buffer[4096];
    for (size_t taken = 0; taken < kDrainBytes;)
    {
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n > 0)
        {
            out->add(buffer, (size_t)n);
            taken += (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN;
    }
    return true;
}

// Starts /bin/sh -c command in a session and process group of its own (no
// controlling terminal, so it can neither draw on the tool's screen nor read
// its keys), stdin /dev/null, stdout and stderr on outFd, no other
// descriptor of the tool, default signal dispositions (the tool ignores
// SIGPIPE, which a shell pipeline must not inherit).
// The control's own variables replace any of the tool's environment with the
// same names: FWU_RIL_CONTROL, and when the module's line is a tty, FWU_PORT
// and FWU_DEVICE, so one command serves many adapters.
int spawn_command(const std::string& command, const char* control, const std::string& port, int outFd, pid_t* pid)
{
    std::vector<std::string> own = {std::string("FWU_RIL_CONTROL=") + control};
    if (!port.empty())
    {
        own.push_back("FWU_PORT=" + port);
        std::string folder;
        {
            std::lock_guard<std::mutex> lock(g_idFolderMutex);
            folder = g_idFolder;
        }
        own.push_back("FWU_DEVICE=" + control_port_identity(port, folder));
    }
    std::vector<char*> envp;
    for (char** e = environ; e && *e; e++)
    {
        const bool replaced = strncmp(*e, "FWU_RIL_CONTROL=", 16) == 0 || strncmp(*e, "FWU_PORT=", 9) == 0 ||
                              strncmp(*e, "FWU_DEVICE=", 11) == 0;
        if (!replaced)
            envp.push_back(*e);
    }
    for (std::string& v : own)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);
    int err = posix_spawn(pid, "/bin/sh", &actions, &attr, (char* const*)argv, envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return err;
}

// Waits for the shell to end (its zombie keeps the process group's id ours)
// while its output goes to the debug output. False when the deadline passed
// or the thread was terminated first.
bool wait_shell(int pidfd, int outFd, Clock::time_point deadline, OutputLines* out)
{
    bool outOpen = true;
    for (;;)
    {
        struct pollfd p[2] = {{pidfd, POLLIN, 0}, {outOpen ? outFd : -1, POLLIN, 0}};
        int r = wait_fds(p, 2, deadline);
        if (r < 0)
            return false;
        if (p[1].revents != 0)
            outOpen = drain_output(outFd, out);
        if (p[0].revents != 0)
            return true;
        if (r == 0 && Clock::now() >= deadline)
            return false;
    }
}

// SIGTERM to the whole group, SIGKILL after the grace. The shell is not
// reaped before, so the group's id cannot have passed to another process.
void stop_group(pid_t pid, int pidfd, int outFd, OutputLines* out)
{
    kill(-pid, SIGTERM);
    wait_shell(pidfd, outFd, deadline_after_ms(kTermGraceMs), out);
    kill(-pid, SIGKILL);
}

// The command's guard for the tool's own end. The tool may end while a
// command runs (a signal, an exit elsewhere, a crash), and nothing of the
// tool is left then to stop the command at its limit. So a small child of
// the tool, in a session of its own (the terminal's signals miss it), holds
// the read end of a pipe whose write end only the tool has. The tool writes
// one byte when the control is over; a pipe that closes without it means the
// tool is gone, and the guard stops the command's process group as the limit
// does: SIGTERM, then SIGKILL after the grace.
struct GroupGuard
{
    pid_t pid = -1; // the guard
    int fd = -1;    // the pipe's write end
};

// Runs in the forked guard: async-signal-safe calls only (the tool's other
// threads may have held any lock at the fork). The guard is made before the
// command, so no moment passes with a command and no guard: it first reads
// the command's group, then waits for the end.
[[noreturn]] void guard_run(int in)
{
    setsid();
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        sigaction(sig, &ignore, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // No descriptor of the tool's (a port, a lock) stays held by the guard.
    if (in != STDIN_FILENO)
        dup2(in, STDIN_FILENO);
    close_range(STDIN_FILENO + 1, ~0u, 0);
    pid_t group = 0;
    size_t got = 0;
    while (got < sizeof(group))
    {
        ssize_t n = read(STDIN_FILENO, (char*)&group + got, sizeof(group) - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            _exit(0); // no command was started, or the tool ended before it was
        got += (size_t)n;
    }
    char byte;
    ssize_t n;
    while ((n = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR)
    {
    }
    if (n == 1)
        _exit(0); // the control is over; what it left is its own business
    kill(-group, SIGTERM);
    constexpr long kStepMs = 20;
    const struct timespec step = {0, kStepMs * 1000000};
    for (long waited = 0; waited < (long)kTermGraceMs && kill(-group, 0) == 0; waited += kStepMs)
        nanosleep(&step, nullptr);
    kill(-group, SIGKILL);
    _exit(0);
}

GroupGuard guard_start()
{
    GroupGuard guard;
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return guard;
    pid_t pid = fork();
    if (pid == 0)
        guard_run(p[0]);
    close(p[0]);
    if (pid < 0)
    {
        close(p[1]);
        return guard;
    }
    guard.pid = pid;
    guard.fd = p[1];
    return guard;
}

// The command's group, for the guard to stop should the tool end.
void guard_watch(const GroupGuard& guard, pid_t group)
{
    if (guard.pid < 0)
        return;
    ssize_t n;
    while ((n = write(guard.fd, &group, sizeof(group))) < 0 && errno == EINTR)
    {
    }
}

// Ends a guard: with the end byte when it watches a group (it leaves the
// group alone), without when no command was started.
void guard_end(GroupGuard* guard, bool watching)
{
    if (guard->pid < 0)
        return;
    ssize_t n;
    while (watching && (n = write(guard->fd, "x", 1)) < 0 && errno == EINTR)
    {
    }
    close(guard->fd);
    while (waitpid(guard->pid, nullptr, 0) < 0 && errno == EINTR)
    {
    }
    guard->pid = -1;
}

bool run_command(const std::u16string& name, const std::string& command, const char* control, const std::string& port)
{
    if (command.find_first_not_of(" \t") == std::string::npos)
    {
        debug_write(name + u" no command to run (\"cmd:\" names none)\r\n");
        SetLastError(ERROR_BAD_COMMAND);
        return false;
    }
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
    {
        set_error_from_errno(errno);
        return false;
    }
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    GroupGuard guard = guard_start();
    pid_t pid;
    int err = spawn_command(command, control, port, out[1], &pid);
    close(out[1]);
    if (err != 0)
    {
        guard_end(&guard, false);
        close(out[0]);
        set_error_from_errno(err);
        return false;
    }
    guard_watch(guard, pid);
    OutputLines lines;
    lines.device = name;
    int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    bool ended = false;
    if (pidfd < 0)
        kill(-pid, SIGKILL); // a kernel without pidfd: no wait with a limit
    else
    {
        ended = wait_shell(pidfd, out[0], deadline_after_ms(g_commandLimitMs.load()), &lines);
        if (!ended)
            stop_group(pid, pidfd, out[0], &lines);
        close(pidfd);
    }
    // What the shell wrote before it ended; whatever it left running keeps
    // only a pipe nobody reads.
    drain_output(out[0], &lines);
    lines.finish();
    close(out[0]);
    // Before the shell is reaped: until then the group's id cannot pass on.
    guard_end(&guard, true);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    if (!ended)
    {
        debug_write(name + (pidfd < 0 ? u" the command cannot be waited for with a limit here\r\n"
                                      : u" the command took longer than its limit and was stopped\r\n"));
        SetLastError(pidfd < 0 ? ERROR_NOT_SUPPORTED : ERROR_TIMEOUT);
        return false;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    }
    return true;
}

// What a control's work came to, kept apart from the caller's stack: work
// left running after its caller has gone still writes here.
struct ControlResult
{
    bool ok = true;
    DWORD error = ERROR_SUCCESS; // its last error when it failed
};

// The work of one control on the driver: the simulated module's reset, the
// outside command, the modem-line pulse.
void run_control(const std::shared_ptr<RilDevice>& dev, int which, const char* control, ControlResult* result)
{
    bool ok = true;
    if (which == 2 && dev->type == DeviceType::RilSimReset)
    {
        std::lock_guard<std::mutex> lock(g_devMutex);
        for (Sim* sim : g_sims)
            sim_reset(sim);
    }
    else if (dev->type == DeviceType::RilCommand)
        ok = run_command(dev->name, dev->command, control, dev->port);
    else if (which == 2 && dev->type == DeviceType::RilLines)
    {
        // Suspend and resume have no wire of their own: accepted, nothing done.
        ModemPulse pulse;
        std::string reason;
        ok = modem_pulse_parse(dev->command, &pulse, &reason) ? modem_pulse_run(pulse) != FALSE : false;
        if (reason.size() > 0)
            SetLastError(ERROR_INVALID_PARAMETER);
    }
    result->ok = ok;
    result->error = ok ? ERROR_SUCCESS : GetLastError();
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
    dev->name = device->name;
    dev->command = device->arg;
    const DeviceSpec* line = device_find(kModuleLine);
    if (line != nullptr && line->type == DeviceType::TtyPath)
        dev->port = line->arg;
    return handle_insert(dev);
}

std::string control_port_identity(const std::string& port, const std::string& idFolder)
{
    char node[PATH_MAX];
    if (realpath(port.c_str(), node) == nullptr)
        return port; // not there (now): the path is all there is to say
    if (port.rfind(idFolder + "/", 0) == 0)
        return port;
    std::vector<std::string> names;
    if (DIR* d = opendir(idFolder.c_str()))
    {
        while (struct dirent* e = readdir(d))
        {
            if (e->d_name[0] != '.')
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end()); // the same answer every time when two point at one node
    for (const std::string& n : names)
    {
        char target[PATH_MAX];
        const std::string link = idFolder + "/" + n;
        if (realpath(link.c_str(), target) != nullptr && strcmp(target, node) == 0)
            return link;
    }
    return node;
}

void ril_set_id_folder(const std::string& folder)
{
    std::lock_guard<std::mutex> lock(g_idFolderMutex);
    g_idFolder = folder.empty() ? kSerialIdFolder : folder;
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

void ril_set_command_limit_ms(DWORD ms)
{
    g_commandLimitMs.store(ms == 0 ? kCommandLimitMs : ms);
}

void set_control_runner(ControlRunner runner)
{
    g_controlRunner.store(runner);
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
    // A reset that takes its time (an outside command, a modem-line pulse of
    // up to a minute) asked for on a thread with windows runs beside it (the
    // runner), so the windows keep answering; the caller still gets the
    // control's result. Suspend and resume stay inline: the update's start
    // suspends the radio, and must not be entered again meanwhile.
    auto result = std::make_shared<ControlResult>();
    auto work = [dev, which, control, result] { run_control(dev, which, control, result.get()); };
    const bool slow = which == 2 && (dev->type == DeviceType::RilCommand || dev->type == DeviceType::RilLines);
    ControlRunner runner = slow ? g_controlRunner.load() : nullptr;
    ControlRun how = runner != nullptr ? runner(work) : ControlRun::Inline;
    if (how == ControlRun::Inline)
        work();
    if (how == ControlRun::Abandoned)
    {
        debug_write(dev->name + u" the windows closed while the control ran: not waited for\r\n");
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    if (!result->ok)
    {
        SetLastError(result->error);
        return FALSE;
    }
    g_ril[which].fetch_add(1);
    return TRUE;
}

// A profile without "RIL1:" has none either.
BOOL RilCanReset(void)
{
    const DeviceSpec* ril = device_find(u"RIL1:");
    return ril != nullptr && ril->type != DeviceType::RilNone;
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
