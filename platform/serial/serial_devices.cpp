// What stands behind a serial device name: the profile's device map turned
// into an opened backend, the table of held devices, the pseudo-terminal
// pairs the platform makes, and the built-in module simulator's line.
#include "platform/serial/serial.h"
#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/text.h"
#include "platform/serial/open_reason.h"
#include "platform/serial/syscalls.h"
#include "platform/serial/vcable.h"

#include "sim/sim.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace plat
{

namespace
{

const char16_t kSimulatorKey[] = u"HKEY_LOCAL_MACHINE\\Platform\\Simulator";

std::mutex g_heldMutex;
std::map<std::string, std::u16string> g_held; // devices a port holds now: hold key -> the device name it was opened as

// A pseudo-terminal pair the platform made for a device. The platform keeps
// the slave open itself, so the master never sees a hang-up when the person
// on the far end detaches, and keeps the master for the next open.
struct PtyDevice
{
    int master = -1;
    int slave = -1;
    std::string path; // the slave's path: the far end
};

struct SimDevice
{
    Sim* sim = nullptr;
    int slave = -1;   // kept open so the simulator never sees a hang-up between runs
    std::string path; // the slave, which ports open as a tty
};

std::mutex g_devicesMutex;
std::map<std::u16string, PtyDevice> g_ptys; // by folded device name
std::map<std::u16string, SimDevice> g_sims;

bool make_raw(int fd)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    raw_termios(&t);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

// A fresh pair in raw mode on both sides; the caller owns both descriptors.
bool open_pty_pair(int* master, int* slave, std::string* path)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0)
        return false;
    char name[PATH_MAX];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0)
    {
        int err = errno;
        ::close(m);
        errno = err;
        return false;
    }
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0 || !make_raw(s) || !make_raw(m))
    {
        int err = errno;
        if (s >= 0)
            ::close(s);
        ::close(m);
        errno = err;
        return false;
    }
    *master = m;
    *slave = s;
    *path = name;
    return true;
}

void announce(const std::u16string& device, const std::string& what)
{
    debug_write(device + utf8_to_utf16(what) + u"\r\n");
}

// Called with g_devicesMutex held.
PtyDevice* pty_device(const DeviceSpec* device)
{
    const std::u16string key = wstr_fold(device->name);
    auto it = g_ptys.find(key);
    if (it != g_ptys.end())
        return &it->second;
    PtyDevice d;
    if (!open_pty_pair(&d.master, &d.slave, &d.path))
        return nullptr;
    int fl = fcntl(d.master, F_GETFL);
    if (fl >= 0)
        fcntl(d.master, F_SETFL, fl | O_NONBLOCK);
    announce(device->name, " is the pseudo-terminal " + d.path);
    return &(g_ptys[key] = d);
}

DWORD sim_dword(const char16_t* name, DWORD fallback)
{
    DWORD v = 0;
    return registry_get_dword(kSimulatorKey, name, &v) ? v : fallback;
}

// The simulator's settings from the profile's Platform\Simulator key.
SimConfig simulator_config()
{
    SimConfig cfg;
    cfg.firmware_at_start = sim_dword(u"FirmwareAtStart", sim_dword(u"AtFirmware", 0)) != 0;
    cfg.baud = sim_dword(u"Baud", 0);
    cfg.bits_per_byte = sim_dword(u"Bits", sim_dword(u"BitsPerByte", cfg.bits_per_byte));
    cfg.ack_delay_ms = sim_dword(u"AckDelay", 0);
    cfg.erase_delay_ms = sim_dword(u"EraseDelay", 0);
    cfg.flash_delay_ms = sim_dword(u"FlashDelay", 0);
    cfg.boot_window_ms = sim_dword(u"BootWindow", cfg.boot_window_ms);
    // "Faults": rules in the simulator's text form, separated by spaces or commas.
    std::u16string faults;
    if (registry_get_string(kSimulatorKey, u"Faults", &faults))
    {
        std::string text = utf16_to_utf8(faults);
        size_t at = 0;
        while (at < text.size())
        {
            size_t end = text.find_first_of(" ,", at);
            if (end == std::string::npos)
                end = text.size();
            std::string rule = text.substr(at, end - at);
            SimFault f;
            if (!rule.empty())
            {
                if (sim_parse_fault(rule.c_str(), &f))
                    cfg.faults.push_back(f);
                else
                    debug_write(u"Platform\\Simulator: fault rule " + utf8_to_utf16(rule) + u" not understood\r\n");
            }
            at = end + 1;
        }
    }
    return cfg;
}

// Called with g_devicesMutex held.
SimDevice* sim_device(const DeviceSpec* device)
{
    const std::u16string key = wstr_fold(device->name);
    auto it = g_sims.find(key);
    if (it != g_sims.end())
        return &it->second;
    int master = -1;
    SimDevice d;
    if (!open_pty_pair(&master, &d.slave, &d.path))
        return nullptr;
    SimLink link = sim_fd_link(master);
    if (link.read == nullptr)
    {
        ::close(master);
        ::close(d.slave);
        return nullptr;
    }
    d.sim = sim_start(link, simulator_config()); // closes the link on failure
    if (d.sim == nullptr)
    {
        ::close(d.slave);
        return nullptr;
    }
    simulator_register(d.sim);
    announce(device->name, " is the module simulator, on the pseudo-terminal " + d.path);
    return &(g_sims[key] = d);
}

// False when a port of this process holds the key; *holder is then the
// device name that port was opened as.
bool hold_take(const std::string& key, const std::u16string& name, std::u16string* holder)
{
    std::lock_guard<std::mutex> lock(g_heldMutex);
    auto placed = g_held.emplace(key, name);
    *holder = placed.first->second;
    return placed.second;
}

int open_tty_path(const std::string& path)
{
    for (;;)
    {
        int fd = sys().open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

// Where a device's port comes from: the entry it holds in the held-devices
// table, and a tty path to open or a descriptor the platform keeps to
// duplicate (neither for a cable).
struct Source
{
    std::string key;
    std::string ttyPath;
    int dupOf = -1;
};

// A device the platform makes (a pseudo-terminal pair or the simulator's
// line), made on first use; false with *f saying why.
bool made_source(const DeviceSpec* device, Source* s, OpenFailure* f)
{
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    if (device->type == DeviceType::PtyPair)
    {
        const PtyDevice* pty = pty_device(device);
        if (pty == nullptr)
        {
            f->err = errno;
            f->fault = fault_of_errno(f->err);
        }
        s->key = "pty:" + utf16_to_utf8(wstr_fold(device->name));
        s->dupOf = pty != nullptr ? pty->master : -1;
        return pty != nullptr;
    }
    const SimDevice* sim = sim_device(device);
    if (sim == nullptr)
        f->error = ERROR_NOT_READY; // the simulator's line could not be made
    s->ttyPath = sim != nullptr ? sim->path : std::string();
    s->key = open_hold_key(s->ttyPath);
    return sim != nullptr;
}

bool source_of(const DeviceSpec* device, Source* s, OpenFailure* f)
{
    switch (device->type)
    {
        case DeviceType::TtyPath:
            s->ttyPath = device->arg;
            s->key = open_hold_key(device->arg);
            return true;
        case DeviceType::Cable:
            s->key = "cable:" + device->arg;
            return true;
        case DeviceType::PtyPair:
        case DeviceType::Simulator:
            return made_source(device, s, f);
        default:
            f->fault = Fault::Absent; // a name with no device behind it
            return false;
    }
}

// A held tty: who holds it, when that can be found.
void find_holder(OpenFailure* f)
{
    f->fault = Fault::Held;
    f->holderPid = open_holder_pid(f->path, &f->holderName);
    if (f->holderPid == (long)getpid())
        f->fault = Fault::HeldHere;
}

// The backend on a tty path; null with *f saying why.
std::unique_ptr<PortBackend> tty_on(const Source& s, OpenFailure* f)
{
    int fd = open_tty_path(s.ttyPath);
    if (fd < 0)
    {
        f->err = errno;
        f->fault = fault_of_errno(f->err);
        if (f->fault == Fault::Held)
            find_holder(f); // EBUSY: another opener set TIOCEXCL
        return nullptr;
    }
    std::unique_ptr<PortBackend> backend = tty_backend_open(fd, true, &f->err);
    if (backend)
        return backend;
    // It opened, but would not be locked (another holder's flock: EWOULDBLOCK)
    // or set up as a tty (ENOTTY): the backend's errno is the fault.
    f->fault = fault_of_errno(f->err);
    if (f->fault == Fault::Held)
        find_holder(f);
    return nullptr;
}

// The backend on a source; null with *f saying why.
std::unique_ptr<PortBackend> backend_on(const DeviceSpec* device, const Source& s, OpenFailure* f)
{
    if (device->type == DeviceType::Cable)
    {
        std::unique_ptr<PortBackend> cable = cable_open_backend(device->arg);
        f->error = cable ? ERROR_SUCCESS : GetLastError();
        return cable;
    }
    if (s.dupOf >= 0)
    {
        // A duplicate shares the master's open file (and its O_NONBLOCK); the
        // held table alone keeps it exclusive, flock would not tell dups apart.
        int fd = fcntl(s.dupOf, F_DUPFD_CLOEXEC, 0);
        if (fd < 0)
        {
            f->err = errno;
            f->fault = fault_of_errno(f->err);
            return nullptr;
        }
        std::unique_ptr<PortBackend> backend = tty_backend_open(fd, false, &f->err);
        if (!backend)
            f->fault = fault_of_errno(f->err);
        return backend;
    }
    return tty_on(s, f);
}

// What a failure names as the device's path.
std::string failure_path(const DeviceSpec* device, const Source& s)
{
    switch (device->type)
    {
        case DeviceType::TtyPath:
            return device->arg;
        case DeviceType::Cable:
            return "cable:" + device->arg;
        case DeviceType::PtyPair:
            return "pty";
        default:
            return s.ttyPath.empty() ? std::string("simulator") : s.ttyPath;
    }
}

} // namespace

void serial_hold_release(const std::string& key)
{
    std::lock_guard<std::mutex> lock(g_heldMutex);
    g_held.erase(key);
}

bool serial_device_open(const DeviceSpec* device, OpenedDevice* out)
{
    Source s;
    OpenFailure f;
    f.device = device->name;
    if (!source_of(device, &s, &f))
    {
        // A device the platform could not make.
        f.path = failure_path(device, s);
        open_failure_report(f);
        return false;
    }
    f.path = failure_path(device, s);
    // The sync bytes must never go to the screen the tool is drawn on.
    if (device->type == DeviceType::TtyPath && open_is_own_terminal(device->arg))
    {
        f.fault = Fault::OwnTerminal;
        open_failure_report(f);
        return false;
    }
    if (!hold_take(s.key, device->name, &f.heldAs))
    {
        f.fault = Fault::HeldHere;
        open_failure_report(f);
        return false;
    }
    std::unique_ptr<PortBackend> backend = backend_on(device, s, &f);
    if (!backend)
    {
        serial_hold_release(s.key);
        open_failure_report(f);
        return false;
    }
    out->backend = std::move(backend);
    out->holdKey = s.key;
    out->path = f.path;
    return true;
}

bool serial_wait_device(LPCWSTR name, int seconds)
{
    const DeviceSpec* device = device_find(name);
    if (device == nullptr || device->type != DeviceType::TtyPath)
        return true;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    struct stat st;
    while (stat(device->arg.c_str(), &st) != 0)
    {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

Sim* simulator_for_device(LPCWSTR name)
{
    const DeviceSpec* device = device_find(name);
    if (device == nullptr || device->type != DeviceType::Simulator)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    SimDevice* d = sim_device(device);
    return d ? d->sim : nullptr;
}

std::string serial_far_end(LPCWSTR name)
{
    const DeviceSpec* device = device_find(name);
    if (device == nullptr)
        return std::string();
    std::lock_guard<std::mutex> lock(g_devicesMutex);
    if (device->type == DeviceType::PtyPair)
    {
        PtyDevice* d = pty_device(device);
        return d ? d->path : std::string();
    }
    return std::string();
}

} // namespace plat
