// Test-facing side of the small kernel calls (kernel.cpp): the program's file
// name, the virtual memory calls behind the GPIO register window, the power
// calls of the keep-alive timer, the cursor and stock-object tokens.
//
//   GetModuleFileNameW  the program's path in the handheld's form: the real
//                       path of /proc/self/exe with '/' turned into '\'. A
//                       test may put any path in its place.
//   VirtualAlloc        MEM_RESERVE reserves real address space (PROT_NONE);
//                       MEM_COMMIT maps it read-write.
//   VirtualCopy         backs a reservation with the GPIO register block: the
//                       only block known here is the kernel's uncached view at
//                       kGpioKernelAddress, which stands as plain anonymous
//                       read-write memory (no register reads or writes happen
//                       through it on this platform).
//   VirtualFree         MEM_RELEASE with size 0 releases a whole region.
//   SystemIdleTimerReset, keybd_event  counted, so tests can see the keep-alive.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/win32.h"

#include <string>

namespace plat
{

// The SoC's GPIO register block as the kernel maps it uncached, and the
// length of the block that VirtualCopy will back.
constexpr uintptr_t kGpioKernelAddress = 0xB4E00000u;
constexpr DWORD kGpioBlockBytes = 0x1000;

// Replaces the program path GetModuleFileNameW reports (null: the real one).
void set_module_path(const char16_t* path);

// Makes the next calls fail, for tests; each flag stays until cleared.
// VirtualAlloc fails with ERROR_NOT_ENOUGH_MEMORY, VirtualCopy with
// ERROR_INVALID_PARAMETER.
struct KernelFaults
{
    bool virtualAlloc;
    bool virtualCopy;
};
void kernel_set_faults(const KernelFaults& faults);

// Regions VirtualAlloc holds now (tests look for leaks).
size_t virtual_region_count();

// What the power calls saw.
struct PowerCounts
{
    int idleResets;    // SystemIdleTimerReset calls
    int keyEvents;     // keybd_event calls
    BYTE lastKey;      // the virtual key of the last keybd_event
    DWORD lastKeyFlag; // its flags
};
PowerCounts power_counts();
// Blocks until SystemIdleTimerReset has been called at least count times in
// all, or ms pass; true when it has.
bool power_wait_idle_resets(int count, DWORD ms);

// Where keybd_event sends a key press that is not silent: to the window in
// front, as a display's key reaches it. The shell owns that input and
// registers it when it is linked in (shellapi/shell_calls.cpp); until then a
// key is only counted.
using KeyInput = void (*)(int vk, unsigned modifiers, char16_t ch);
void set_key_input(KeyInput input);

// Scales every Sleep to percent of the time asked (100, the default: as
// asked; a sleep asked for at least 1 ms stays at least 1 ms). The download
// fuzzer runs the tool's prescribed pauses shorter, so that its inputs are
// bound by what they do rather than by the pauses.
void set_sleep_percent(DWORD percent);

} // namespace plat
