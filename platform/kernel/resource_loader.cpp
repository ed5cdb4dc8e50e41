// Resource calls over the resource table compiled into the program
// (resources/): FindResourceW, LoadResource, LockResource, SizeofResource,
// LoadStringW. The program is the only module with resources.
#include "platform/kernel/resource_loader.h"

#include "platform/kernel/core.h"

#include <cstring>

namespace
{

// The program's image base on the handheld; any non-null constant would do.
const uintptr_t PROGRAM_INSTANCE = 0x00010000;

// The program image's resource section, installed once at start.
const ResourceEntry* g_table = nullptr;
UINT g_tableCount = 0;

bool is_program_module(HMODULE module)
{
    return module == nullptr || module == plat::program_instance();
}

WCHAR fold_ascii(WCHAR c)
{
    return (c >= u'a' && c <= u'z') ? (WCHAR)(c - u'a' + u'A') : c;
}

bool names_equal(LPCWSTR a, LPCWSTR b)
{
    for (;; ++a, ++b)
    {
        if (fold_ascii(*a) != fold_ascii(*b))
            return false;
        if (*a == 0)
            return true;
    }
}

// A type or name argument as the table stores it. As on the platform, a text
// "#123" stands for the number 123.
ResourceKey key_from_argument(LPCWSTR arg)
{
    if (IS_INTRESOURCE(arg))
        return ResourceKey{(WORD)(uintptr_t)arg, nullptr};
    if (arg[0] == u'#' && arg[1] != 0)
    {
        uint32_t value = 0;
        LPCWSTR p = arg + 1;
        for (; *p >= u'0' && *p <= u'9' && value <= 0xFFFF; ++p)
            value = value * 10 + (uint32_t)(*p - u'0');
        if (*p == 0 && value <= 0xFFFF)
            return ResourceKey{(WORD)value, nullptr};
    }
    return ResourceKey{0, arg};
}

bool keys_equal(const ResourceKey& entry, const ResourceKey& wanted)
{
    if (entry.text == nullptr || wanted.text == nullptr)
        return entry.text == wanted.text && entry.id == wanted.id;
    return names_equal(entry.text, wanted.text);
}

// The table entry behind a resource handle, or null when it is not one.
const ResourceEntry* entry_from_handle(HRSRC resource)
{
    for (UINT i = 0; i < g_tableCount; ++i)
    {
        if ((const void*)&g_table[i] == (const void*)resource)
            return &g_table[i];
    }
    return nullptr;
}

const ResourceEntry* find_entry(const ResourceKey& type, const ResourceKey& name, DWORD* error)
{
    bool typeSeen = false;
    for (UINT i = 0; i < g_tableCount; ++i)
    {
        const ResourceEntry& entry = g_table[i];
        if (!keys_equal(entry.type, type))
            continue;
        typeSeen = true;
        if (keys_equal(entry.name, name))
            return &entry;
    }
    *error = typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
    return nullptr;
}

} // namespace

void RegisterProgramResources(const ResourceEntry* table, UINT count)
{
    g_table = table;
    g_tableCount = table != nullptr ? count : 0;
}

const ResourceEntry* plat::resource_table(UINT* count)
{
    *count = g_tableCount;
    return g_table;
}

HINSTANCE plat::program_instance()
{
    return (HINSTANCE)PROGRAM_INSTANCE;
}

// Searches the compiled-in table; names compare without regard to ASCII case,
// as the resource compiler stores them upper-cased. Unknown type before
// unknown name, as on the platform.
HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    plat::thread_checkpoint();
    if (!is_program_module(module))
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    DWORD error = ERROR_SUCCESS;
    const ResourceEntry* entry = find_entry(key_from_argument(type), key_from_argument(name), &error);
    if (entry == nullptr)
    {
        SetLastError(error);
        return nullptr;
    }
    return (HRSRC)entry;
}

// The resources are mapped with the program, so loading yields the address of
// the record or bytes at once; nothing is ever freed.
HGLOBAL LoadResource(HMODULE module, HRSRC resource)
{
    plat::thread_checkpoint();
    const ResourceEntry* entry = entry_from_handle(resource);
    if (entry == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!is_program_module(module))
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return nullptr;
    }
    return (HGLOBAL)entry->data;
}

// A loaded resource is already its address.
LPVOID LockResource(HGLOBAL data)
{
    plat::thread_checkpoint();
    return data;
}

DWORD SizeofResource(HMODULE module, HRSRC resource)
{
    plat::thread_checkpoint();
    const ResourceEntry* entry = entry_from_handle(resource);
    if (entry == nullptr)
    {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!is_program_module(module))
    {
        SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);
        return 0;
    }
    return entry->size;
}

// Copies string `id` into buffer (at most bufferMax - 1 units, always
// terminated) and returns the units copied. With bufferMax 0 it stores a
// read-only pointer to the string itself in *(LPCWSTR*)buffer, as the
// platform does. An absent string yields 0 and an empty buffer.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int bufferMax)
{
    plat::thread_checkpoint();
    if (buffer == nullptr || bufferMax < 0)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (bufferMax > 0)
        buffer[0] = 0;
    if (id > 0xFFFF)
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    HRSRC hRes = FindResourceW(instance, MAKEINTRESOURCEW(id / STRINGS_PER_BUNDLE + 1), RT_STRING);
    if (hRes == nullptr)
        return 0;
    const StringBundle* bundle = (const StringBundle*)LoadResource(instance, hRes);
    LPCWSTR text = bundle != nullptr ? bundle->strings[id % STRINGS_PER_BUNDLE] : nullptr;
    if (text == nullptr)
    {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return 0;
    }
    int length = 0;
    while (text[length] != 0)
        ++length;
    if (bufferMax == 0)
    {
        std::memcpy(buffer, &text, sizeof(text));
        return length;
    }
    int copied = length < bufferMax - 1 ? length : bufferMax - 1;
    for (int i = 0; i < copied; ++i)
        buffer[i] = text[i];
    buffer[copied] = 0;
    return copied;
}
