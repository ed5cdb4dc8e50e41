// Conformance of the kernel calls the main window relies on: the program's
// file name, the virtual memory calls behind the register window, the power
// calls, and the cursor and stock-object tokens.
#include "platform/kernel/kernel.h"
#include "platform/kernel/resource_loader.h"
#include "platform/kernel/text.h"
#include "platform/windowing/window.h"
#include "tests/support/process_support.h"
#include "tests/support/window_pump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

const DWORD kSentinel = 0xDEADBEEF;

HWND MakeTop()
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"Kernel Test";
    RegisterClassW(&wc);
    return CreateWindowExW(0, u"Kernel Test", u"Top", WS_VISIBLE, 0, 0, 100, 50, nullptr, nullptr, nullptr, nullptr);
}

class KernelCalls : public ::testing::Test
{
protected:
    void TearDown() override
    {
        plat::set_module_path(nullptr);
        plat::kernel_set_faults({});
    }
};

// The protection of the mapping that holds addr, as /proc/self/maps shows it
// ("---p", "rw-p"), or "" when nothing is mapped there.
std::string MappingAt(const void* addr)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    uintptr_t a = (uintptr_t)addr;
    while (std::getline(maps, line))
    {
        unsigned long lo = 0, hi = 0;
        char perms[8] = {};
        if (sscanf(line.c_str(), "%lx-%lx %7s", &lo, &hi, perms) == 3 && a >= lo && a < hi)
            return perms;
    }
    return "";
}

// ===========================================================================
// GetModuleFileNameW
// ===========================================================================
TEST_F(KernelCalls, ModuleFileName_IsTheProgramPathWithBackslashes)
{
    std::string real = testproc::self_path();
    std::u16string expected = plat::utf8_to_utf16(real);
    for (auto& c : expected)
        if (c == u'/')
            c = u'\\';
    WCHAR buffer[4096];
    SetLastError(kSentinel);
    DWORD n = GetModuleFileNameW(nullptr, buffer, 4096);
    EXPECT_EQ(std::u16string(buffer), expected);
    EXPECT_EQ(n, expected.size());
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(buffer[0], u'\\');

    // The program instance names the same module; any other does not.
    EXPECT_EQ(GetModuleFileNameW(plat::program_instance(), buffer, 4096), expected.size());
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW((HMODULE)(uintptr_t)0x7C000000, buffer, 4096), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MOD_NOT_FOUND);
}

TEST_F(KernelCalls, ModuleFileName_LongerThanTheBufferIsCutAndTerminated)
{
    plat::set_module_path(u"\\Program Files\\fwutil\\fwutil.exe"); // 32 units
    WCHAR buffer[16];
    for (auto& c : buffer)
        c = u'#';
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 10), 10u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(buffer), u"\\Program ");
    EXPECT_EQ(buffer[10], u'#'); // nothing written past the size given

    // Exactly fitting: the whole path and its terminator, no error.
    WCHAR fit[33];
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, fit, 33), 32u);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(std::u16string(fit), u"\\Program Files\\fwutil\\fwutil.exe");
    // One short: cut.
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, fit, 32), 32u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::u16string(fit).size(), 31u);

    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 0), 0u);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[0], u'\\'); // size 0: nothing written
}

TEST_F(KernelCalls, ModuleFileName_CutNeverSplitsASurrogatePair)
{
    plat::set_module_path(u"\\ab\U0001F600");
    WCHAR buffer[8] = {};
    EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 5), 5u);
    EXPECT_EQ(std::u16string(buffer), u"\\ab");
}

// ===========================================================================
// Virtual memory
// ===========================================================================
TEST_F(KernelCalls, VirtualAlloc_ReservesAddressSpaceWithNoAccess)
{
    size_t before = plat::virtual_region_count();
    SetLastError(kSentinel);
    void* p = VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ((uintptr_t)p % (uintptr_t)sysconf(_SC_PAGESIZE), 0u);
    EXPECT_EQ(MappingAt(p), "---p");
    EXPECT_EQ(plat::virtual_region_count(), before + 1);
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    EXPECT_EQ(MappingAt(p), "");
    EXPECT_EQ(plat::virtual_region_count(), before);
}

TEST_F(KernelCalls, VirtualAlloc_RefusesWhatItDoesNotOffer)
{
    struct Case
    {
        void* address;
        DWORD size;
        DWORD type;
        DWORD protect;
    } cases[] = {
        {(void*)0x10000000, 332, MEM_RESERVE, PAGE_NOACCESS}, // a preferred address
        {nullptr, 0, MEM_RESERVE, PAGE_NOACCESS},             // nothing
        {nullptr, 332, MEM_RELEASE, PAGE_NOACCESS},           // not an allocation type
        {nullptr, 332, MEM_COMMIT, PAGE_NOACCESS},            // committed memory nobody may touch
        {nullptr, 332, MEM_RESERVE, 0x40},                    // PAGE_EXECUTE_READWRITE
    };
    for (auto& c : cases)
    {
        SetLastError(kSentinel);
        EXPECT_EQ(VirtualAlloc(c.address, c.size, c.type, c.protect), nullptr);
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    }
    void* rw = VirtualAlloc(nullptr, 100, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    ASSERT_NE(rw, nullptr);
    EXPECT_EQ(MappingAt(rw), "rw-p");
    EXPECT_TRUE(VirtualFree(rw, 0, MEM_RELEASE));
}

TEST_F(KernelCalls, VirtualCopy_BacksTheReservationWithTheGpioBlockReadWrite)
{
    volatile BYTE* p = (volatile BYTE*)VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    SetLastError(kSentinel);
    ASSERT_TRUE(VirtualCopy((LPVOID)p, (LPVOID)(uintptr_t)0xB4E00000u, 332, PAGE_READWRITE | PAGE_NOCACHE));
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(MappingAt((const void*)p), "rw-p");
    p[0] = 0x5A;
    p[331] = 0xA5;
    EXPECT_EQ(p[0], 0x5A);
    EXPECT_EQ(p[331], 0xA5);
    EXPECT_EQ(p[100], 0); // the stand-in registers read as zero
    EXPECT_TRUE(VirtualFree((LPVOID)p, 0, MEM_RELEASE));
    EXPECT_EQ(MappingAt((const void*)p), "");
}

TEST_F(KernelCalls, VirtualCopy_RefusesOtherSourcesAndForeignDestinations)
{
    void* p = VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    static char notOurs[8192];
    struct Case
    {
        const char* what;
        void* dest;
        uintptr_t src;
        DWORD size;
        DWORD protect;
    } cases[] = {
        {"physical address of the block", p, 0x40E00000u, 332, PAGE_READWRITE | PAGE_NOCACHE},
        {"another kernel address", p, 0xB4F00000u, 332, PAGE_READWRITE | PAGE_NOCACHE},
        {"destination not reserved", notOurs, 0xB4E00000u, 332, PAGE_READWRITE},
        {"longer than the reservation", p, 0xB4E00000u, 0x1000 + 1, PAGE_READWRITE},
        {"read-only", p, 0xB4E00000u, 332, 0x02},
        {"null destination", nullptr, 0xB4E00000u, 332, PAGE_READWRITE},
    };
    for (auto& c : cases)
    {
        SetLastError(kSentinel);
        EXPECT_FALSE(VirtualCopy(c.dest, (LPVOID)c.src, c.size, c.protect)) << c.what;
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER) << c.what;
    }
    EXPECT_EQ(MappingAt(p), "---p"); // still only reserved
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

TEST_F(KernelCalls, VirtualFree_ReleasesOnlyWholeRegionsItHandedOut)
{
    void* p = VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(VirtualFree(p, 332, MEM_RELEASE)); // release takes size 0
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(VirtualFree((char*)p + 4096, 0, MEM_RELEASE));
    EXPECT_FALSE(VirtualFree(p, 0, MEM_COMMIT));
    EXPECT_EQ(MappingAt(p), "---p");
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    SetLastError(kSentinel);
    EXPECT_FALSE(VirtualFree(p, 0, MEM_RELEASE)); // twice
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

TEST_F(KernelCalls, VirtualMemory_InjectedFaults)
{
    plat::kernel_set_faults({true, false});
    SetLastError(kSentinel);
    EXPECT_EQ(VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    plat::kernel_set_faults({false, true});
    void* p = VirtualAlloc(nullptr, 332, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_NE(p, nullptr);
    SetLastError(kSentinel);
    EXPECT_FALSE(VirtualCopy(p, (LPVOID)(uintptr_t)0xB4E00000u, 332, PAGE_READWRITE | PAGE_NOCACHE));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    EXPECT_EQ(MappingAt(p), "---p");
    EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
}

// ===========================================================================
// Power calls, cursor and stock objects
// ===========================================================================
TEST_F(KernelCalls, PowerCalls_AreCountedAndASilentReleaseReachesNoWindow)
{
    HWND top = MakeTop();
    ASSERT_NE(top, nullptr);
    plat::PowerCounts before = plat::power_counts();
    SystemIdleTimerReset();
    SystemIdleTimerReset();
    keybd_event(0x15, 0, KEYEVENTF_KEYUP | KEYEVENTF_SILENT, 0);
    plat::PowerCounts after = plat::power_counts();
    EXPECT_EQ(after.idleResets, before.idleResets + 2);
    EXPECT_EQ(after.keyEvents, before.keyEvents + 1);
    EXPECT_EQ(after.lastKey, 0x15);
    EXPECT_EQ(after.lastKeyFlag, KEYEVENTF_KEYUP | KEYEVENTF_SILENT);
    EXPECT_TRUE(testsupport::DrainPosted().empty());
    EXPECT_TRUE(plat::power_wait_idle_resets(before.idleResets + 2, 0));
    EXPECT_FALSE(plat::power_wait_idle_resets(before.idleResets + 3, 50));

    // A key press that is not silent reaches the window in front.
    keybd_event('A', 0, 0, 0);
    auto msgs = testsupport::DrainPosted();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].message, (UINT)WM_KEYDOWN);
    EXPECT_EQ(msgs[0].hwnd, top);
    EXPECT_EQ(msgs[0].wParam, (WPARAM)'A');
}

TEST_F(KernelCalls, CursorAndStockObjects_AreDistinctTokens)
{
    SetLastError(kSentinel);
    HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
    EXPECT_NE(arrow, nullptr);
    EXPECT_EQ(LoadCursorW(nullptr, IDC_ARROW), arrow);
    EXPECT_NE(LoadCursorW(nullptr, MAKEINTRESOURCEW(32513)), arrow); // IDC_IBEAM
    HGDIOBJ white = GetStockObject(WHITE_BRUSH);
    EXPECT_NE(white, nullptr);
    EXPECT_NE(GetStockObject(4), white); // BLACK_BRUSH
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(LoadCursorW(nullptr, u"NoSuchCursor"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(LoadCursorW(plat::program_instance(), IDC_ARROW), nullptr); // the program has no cursors
    SetLastError(kSentinel);
    EXPECT_EQ(GetStockObject(99), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
}

} // namespace
