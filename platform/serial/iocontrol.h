// Control-only devices and the HAL: the radio interface driver ("RIL1:") behind
// DeviceIoControl, the core library's KernelIoControl reached through
// LoadLibraryW/GetProcAddressW, and the device restart.
//
// What stands behind "RIL1:" comes from the device profile: the simulated
// module's reset (suspend and resume are accepted), a no-op, or an outside
// command (a relay, a GPIO script) run with /bin/sh for every control, with
// FWU_RIL_CONTROL set to suspend, resume or reset (and, when "COM1:" is a tty,
// FWU_PORT set to its path and FWU_DEVICE to the adapter's stable identity,
// so that one profile's command can reset the module of whichever adapter
// this run uses); its exit status 0 is
// success (ERROR_GEN_FAILURE otherwise; an empty command is refused with
// ERROR_BAD_COMMAND).
//
// The command is kept apart from the tool: it runs in a session and process
// group of its own (no controlling terminal), stdin is /dev/null, stdout and
// stderr are a pipe whose lines go to the debug output as "RIL1: LINE", and
// it inherits no other descriptor. It gets 10 s: then its whole process
// group gets SIGTERM, SIGKILL 1 s later, and the control fails with
// ERROR_TIMEOUT. The same happens when the tool itself ends while the
// command runs, however it ends (a guard process outside the tool sees it
// go). What it leaves running after its shell has ended (a "&" job) is its
// own business and holds nothing of the tool's.
//
// The device restart ends the process with kExitDeviceRestart after a debug
// line that says so: the simulated handheld goes down. Tests replace that with
// a hook and inject HAL failures.
//
// Platform-internal.
#pragma once

#include "platform/profile/profile.h"
#include "platform/win32.h"

#include <functional>

struct Sim;

namespace plat
{

// Exit status of the process when the device restarts.
constexpr int kExitDeviceRestart = 3;

// The radio driver's control codes.
constexpr DWORD kIoctlRilSuspend = 0x03001F80;
constexpr DWORD kIoctlRilResume = 0x03001F84;
constexpr DWORD kIoctlRilReset = 0x03001F88;

// Opens a control-only device of the profile (the Ril* types).
HANDLE ril_open(const DeviceSpec* device);

// Simulators that a "sim-reset" radio driver resets.
void simulator_register(Sim* sim);
void simulator_unregister(Sim* sim);

// Counts of controls that reached a radio driver, by code (tests).
struct RilCounts
{
    int suspend;
    int resume;
    int reset;
};
RilCounts ril_counts();

// Called instead of ending the process; KernelIoControl then returns TRUE.
using RestartHook = void (*)();
void set_restart_hook(RestartHook hook);
// Called just before the process ends for a restart (the terminal display
// restores the screen here).
void at_device_down(void (*fn)());

// Makes the next HAL steps fail, for tests: LoadLibraryW, GetProcAddressW,
// FreeLibrary, KernelIoControl.
struct HalFaults
{
    bool loadLibrary;
    bool getProcAddress;
    bool freeLibrary;
    bool kernelIoControl;
};
void hal_set_faults(const HalFaults& faults);

// An adapter's stable identity, FWU_DEVICE of an outside command: port itself
// when it is a link in idFolder (/dev/serial/by-id), else the link there
// that points at the same device node (the first by name), else the node's
// resolved path; port as it is when it does not resolve.
std::string control_port_identity(const std::string& port, const std::string& idFolder);
// The folder of stable names FWU_DEVICE is looked up in (tests); empty
// restores /dev/serial/by-id.
void ril_set_id_folder(const std::string& folder);

// The time an outside command gets (tests); 0 restores the 10 s.
void ril_set_command_limit_ms(DWORD ms);

// How a control's work ran: on the calling thread (Inline: the runner left it
// to the caller), to its end while the caller kept its windows going (Done),
// or left running because the caller's windows are closing (Abandoned).
enum class ControlRun
{
    Inline,
    Done,
    Abandoned,
};
// The window system's runner: a thread that owns windows must not stop
// handling them while a module reset (a long modem-line pulse, an outside
// command) runs, so the work goes to a thread of its own and the caller waits
// in a modal loop. Registered by the window system; without it, and for every
// other control, the work runs inline.
using ControlRunner = ControlRun (*)(std::function<void()> work);
void set_control_runner(ControlRunner runner);

} // namespace plat
