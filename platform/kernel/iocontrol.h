// Control-only devices and the HAL: the radio interface driver ("RIL1:") behind
// DeviceIoControl, the core library's KernelIoControl reached through
// LoadLibraryW/GetProcAddressW, and the device restart.
//
// What stands behind "RIL1:" comes from the device profile: the simulated
// module's reset (suspend and resume are accepted), a no-op, or an outside
// command (a relay, a GPIO script) run with /bin/sh for every control, with
// FWU_RIL_CONTROL set to suspend, resume or reset; its exit status 0 is
// success, and it gets 10 s before it counts as failed.
//
// The device restart ends the process with kExitDeviceRestart after a debug
// line that says so: the simulated handheld goes down. Tests replace that with
// a hook and inject HAL failures.
//
// Platform-internal.
#pragma once

#include "platform/profile/profile.h"
#include "platform/win32.h"

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

} // namespace plat
