// Small kernel calls: the program's file name, the virtual memory calls that
// map the GPIO register window, the power calls of the keep-alive timer, and
// the cursor and stock-object tokens of the window class.
#include "platform/kernel/kernel.h"

#include "platform/kernel/core.h"
#include "platform/kernel/resource_loader.h"
#include "platform/kernel/text.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unistd.h>

namespace plat
{
namespace
{

std::mutex g_pathMutex;
bool g_pathOverridden = false;
std::u16string g_pathOverride;

std::mutex g_vmMutex;
std::map<uintptr_t, size_t> g_regions; // base -> length in bytes (whole pages)
KernelFaults g_vmFaults{};

std::mutex g_powerMutex;
std::condition_variable g_powerChanged;
PowerCounts g_power{};

size_t page_size()
{
    static const size_t size = (size_t)sysconf(_SC_PAGESIZE);
    return size;
}

size_t round_to_pages(size_t bytes)
{
    size_t page = page_size();
    return (bytes + page - 1) / page * page;
}

// The program file in the handheld's form: "\work\build\fwutil" for
// /work/build/fwutil.
std::u16string program_path()
{
    {
        std::lock_guard<std::mutex> lock(g_pathMutex);
        if (g_pathOverridden)
            return g_pathOverride;
    }
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return std::u16string();
    std::u16string path = utf8_to_utf16(std::string_view(buffer, (size_t)n));
    for (char16_t& c : path)
    {
        if (c == u'/')
            c = u'\\';
    }
    return path;
}

} // namespace

void set_module_path(const char16_t* path)
{
    std::lock_guard<std::mutex> lock(g_pathMutex);
    g_pathOverridden = path != nullptr;
    g_pathOverride = path ? std::u16string(path) : std::u16string();
}

void kernel_set_faults(const KernelFaults& faults)
{
    std::lock_guard<std::mutex> lock(g_vmMutex);
    g_vmFaults = faults;
}

size_t virtual_region_count()
{
    std::lock_guard<std::mutex> lock(g_vmMutex);
    return g_regions.size();
}

PowerCounts power_counts()
{
    std::lock_guard<std::mutex> lock(g_powerMutex);
    return g_power;
}

bool power_wait_idle_resets(int count, DWORD ms)
{
    std::unique_lock<std::mutex> lock(g_powerMutex);
    return g_powerChanged.wait_until(lock, deadline_after_ms(ms), [&] { return g_power.idleResets >= count; });
}

} // namespace plat

using namespace plat;

// The program's own module only (null or the program instance). Like the
// platform, a path longer than the buffer is cut to size - 1 units and
// terminated, the result is size and the error ERROR_INSUFFICIENT_BUFFER; a
// surrogate pair that does not fit whole is left out whole.
DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    thread_checkpoint();
    if (module != nullptr && module != program_instance())
    {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (buffer == nullptr || size == 0)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::u16string path = program_path();
    if (path.empty())
    {
        buffer[0] = 0;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    size_t copied = wstr_copy(buffer, size, path.c_str());
    if (path.size() >= size)
    {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    return (DWORD)copied;
}

// Reserves (MEM_RESERVE, no access) or reserves and commits (MEM_COMMIT,
// read-write) a region of whole pages anywhere in the address space. A
// preferred address is not offered: the tool never asks for one.
LPVOID VirtualAlloc(LPVOID address, DWORD size, DWORD type, DWORD protect)
{
    thread_checkpoint();
    DWORD access = protect & ~PAGE_NOCACHE;
    bool reserve = (type & MEM_RESERVE) != 0;
    bool commit = (type & MEM_COMMIT) != 0;
    if (address != nullptr || size == 0 || (type & ~(MEM_RESERVE | MEM_COMMIT)) != 0 || (!reserve && !commit) ||
        (access != PAGE_NOACCESS && access != PAGE_READWRITE) || (commit && access != PAGE_READWRITE))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_vmMutex);
    if (g_vmFaults.virtualAlloc)
    {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    size_t length = round_to_pages(size);
    int prot = commit ? (PROT_READ | PROT_WRITE) : PROT_NONE;
    void* p = mmap(nullptr, length, prot, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED)
    {
        set_error_from_errno(errno);
        return nullptr;
    }
    g_regions[(uintptr_t)p] = length;
    return p;
}

// Backs a reserved region with a register block, read-write. The only block
// this platform has is the GPIO block's kernel view; with no real register
// file behind it, it is anonymous memory mapped over the reservation, so the
// window reads and writes like RAM. Any other source fails as an address the
// kernel does not map.
BOOL VirtualCopy(LPVOID dest, LPVOID src, DWORD size, DWORD protect)
{
    thread_checkpoint();
    uintptr_t d = (uintptr_t)dest;
    uintptr_t s = (uintptr_t)src;
    if (dest == nullptr || size == 0 || (protect & ~PAGE_NOCACHE) != PAGE_READWRITE || s != kGpioKernelAddress ||
        size > kGpioBlockBytes || d % page_size() != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_vmMutex);
    if (g_vmFaults.virtualCopy)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // The destination must lie inside one region VirtualAlloc handed out.
    auto it = g_regions.upper_bound(d);
    if (it == g_regions.begin())
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    --it;
    size_t length = round_to_pages(size);
    if (d + length > it->first + it->second)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    void* p = mmap(dest, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED)
    {
        set_error_from_errno(errno);
        return FALSE;
    }
    return TRUE;
}

// MEM_RELEASE with size 0 on the base VirtualAlloc returned releases the whole
// region; nothing else is offered.
BOOL VirtualFree(LPVOID address, DWORD size, DWORD type)
{
    thread_checkpoint();
    if (type != MEM_RELEASE || size != 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(g_vmMutex);
    auto it = g_regions.find((uintptr_t)address);
    if (it == g_regions.end())
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (munmap(address, it->second) != 0)
    {
        set_error_from_errno(errno);
        return FALSE;
    }
    g_regions.erase(it);
    return TRUE;
}

// There is no idle suspend to hold off here; the call is counted.
void SystemIdleTimerReset()
{
    thread_checkpoint();
    {
        std::lock_guard<std::mutex> lock(g_powerMutex);
        g_power.idleResets++;
    }
    g_powerChanged.notify_all();
}

// The shell's key input (set_key_input).
static std::atomic<KeyInput> g_keyInput{nullptr};

void plat::set_key_input(KeyInput input)
{
    g_keyInput.store(input);
}

// Counted. A silent key event only resets the idle timers on the handheld,
// which is all the keep-alive wants; a key press that is not silent reaches
// the window in front like a key from the display. Releases carry nothing a
// window here reads.
void keybd_event(BYTE vk, BYTE scan, DWORD flags, DWORD extra)
{
    (void)scan;
    (void)extra;
    thread_checkpoint();
    {
        std::lock_guard<std::mutex> lock(g_powerMutex);
        g_power.keyEvents++;
        g_power.lastKey = vk;
        g_power.lastKeyFlag = flags;
    }
    g_powerChanged.notify_all();
    KeyInput input = g_keyInput.load();
    if ((flags & (KEYEVENTF_SILENT | KEYEVENTF_KEYUP)) == 0 && input != nullptr)
        input(vk, 0, 0);
}

// The standard cursors exist as tokens; displays draw no pointer shapes.
HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name)
{
    thread_checkpoint();
    // IDC_ARROW (32512) to IDC_HELP (32651).
    constexpr uintptr_t kFirst = 32512, kLast = 32651;
    static const char kCursors[kLast - kFirst + 1] = {};
    uintptr_t id = (uintptr_t)name;
    if (instance != nullptr || !IS_INTRESOURCE(name) || id < kFirst || id > kLast)
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    return (HCURSOR)&kCursors[id - kFirst];
}

// Brushes, pens and fonts of the stock set are tokens; the displays choose
// their own colours.
HGDIOBJ GetStockObject(int object)
{
    thread_checkpoint();
    // WHITE_BRUSH (0) to DEFAULT_GUI_FONT (17).
    static const char kStock[18] = {};
    if (object < 0 || object > 17)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return (HGDIOBJ)&kStock[object];
}
