// Registry read calls over the device profile's registry tree.
//
// Like the handheld's registry API, these return a LONG error code and leave
// the thread's last-error value alone. The registry is read-only: it is the
// device's, loaded from its profile.
#include "platform/win32.h"

#include "platform/kernel/core.h"
#include "platform/profile/profile.h"
#include "platform/kernel/text.h"

#include <cstring>
#include <map>
#include <mutex>

namespace
{

// An open key: a path in the profile that was current when it was opened. A
// profile loaded later does not change what an open key reads.
struct OpenKey
{
    const plat::RegistryData* reg;
    std::u16string path; // folded, canonical
};

struct KeyTable
{
    std::mutex mu;
    std::map<uintptr_t, OpenKey> keys;
    uintptr_t next = 0x10000; // key values count up and are never handed out twice
};

KeyTable& key_table()
{
    static KeyTable* t = new KeyTable;
    return *t;
}

bool is_root(HKEY key)
{
    return !plat::registry_root_path(key).empty();
}

// The registry and path behind a key (a predefined root or an open key).
bool resolve(HKEY key, const plat::RegistryData** reg, std::u16string* path)
{
    const std::u16string root = plat::registry_root_path(key);
    if (!root.empty())
    {
        *reg = plat::registry_current();
        *path = root;
        return true;
    }
    KeyTable& t = key_table();
    std::lock_guard<std::mutex> lock(t.mu);
    auto it = t.keys.find(reinterpret_cast<uintptr_t>(key));
    if (it == t.keys.end())
    {
        return false;
    }
    *reg = it->second.reg;
    *path = it->second.path;
    return true;
}

} // namespace

// Opens root\subKey when the key exists; options and access are not checked
// (every key of the device is readable). A null or empty subKey opens the key
// itself again, under a new value.
LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, DWORD access, HKEY* result)
{
    (void)options;
    (void)access;
    plat::thread_checkpoint();
    if (result == nullptr)
    {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    const plat::RegistryData* reg = nullptr;
    std::u16string base;
    if (!resolve(root, &reg, &base))
    {
        return ERROR_INVALID_HANDLE;
    }
    std::u16string path;
    const std::u16string_view sub(subKey != nullptr ? subKey : u"", plat::wstr_len(subKey));
    if (!plat::registry_join(base, sub, &path) || !plat::registry_key_exists(reg, path))
    {
        return ERROR_FILE_NOT_FOUND;
    }
    KeyTable& t = key_table();
    std::lock_guard<std::mutex> lock(t.mu);
    uintptr_t value = t.next;
    t.next += 4;
    t.keys.emplace(value, OpenKey{reg, std::move(path)});
    *result = reinterpret_cast<HKEY>(value);
    return ERROR_SUCCESS;
}

// Reads a value. With data null only the size (and type) are returned; a
// buffer too small gives ERROR_MORE_DATA with the size needed and leaves the
// buffer as it was. REG_DWORD data is 4 bytes little-endian, REG_SZ UTF-16
// with its terminator.
LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    plat::thread_checkpoint();
    if (reserved != nullptr || (data != nullptr && size == nullptr))
    {
        return ERROR_INVALID_PARAMETER;
    }
    const plat::RegistryData* reg = nullptr;
    std::u16string path;
    if (!resolve(key, &reg, &path))
    {
        return ERROR_INVALID_HANDLE;
    }
    const std::u16string_view name(valueName != nullptr ? valueName : u"", plat::wstr_len(valueName));
    const plat::RegValue* v = plat::registry_find_value(reg, path, name);
    if (v == nullptr)
    {
        return ERROR_FILE_NOT_FOUND;
    }
    if (type != nullptr)
    {
        *type = v->type;
    }
    const DWORD needed = static_cast<DWORD>(v->data.size());
    if (data == nullptr)
    {
        if (size != nullptr)
        {
            *size = needed;
        }
        return ERROR_SUCCESS;
    }
    if (*size < needed)
    {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (needed > 0)
    {
        std::memcpy(data, v->data.data(), needed);
    }
    *size = needed;
    return ERROR_SUCCESS;
}

// Closes an open key; its value is never valid again. The predefined roots
// are always open and closing one does nothing.
LONG RegCloseKey(HKEY key)
{
    plat::thread_checkpoint();
    if (is_root(key))
    {
        return ERROR_SUCCESS;
    }
    KeyTable& t = key_table();
    std::lock_guard<std::mutex> lock(t.mu);
    if (t.keys.erase(reinterpret_cast<uintptr_t>(key)) == 0)
    {
        return ERROR_INVALID_HANDLE;
    }
    return ERROR_SUCCESS;
}
