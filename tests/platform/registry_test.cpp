// Conformance of the registry read calls: RegOpenKeyExW, RegQueryValueExW and
// RegCloseKey return LONG error codes and never touch the last-error value;
// keys compare case-insensitively; a closed key is refused.
#include "platform/win32.h"

#include "platform/profile/profile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr DWORD kSentinel = 0xC0FFEE11;

// Runs one registry call with a sentinel last-error and checks that the call
// left it alone: these calls report through their result only.
template <typename F> LONG Call(F f)
{
    SetLastError(kSentinel);
    const LONG r = f();
    EXPECT_EQ(GetLastError(), kSentinel) << "the call changed the last-error value";
    return r;
}

const char kProfile[] = R"(REGEDIT4

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial]
"Index"=dword:00000009

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial2]
"Index"=dword:0000000a

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial3]
"Prefix"="COM"

[HKEY_LOCAL_MACHINE\Drivers\BuiltIn\Serial4]
"Index"="1"

[HKEY_LOCAL_MACHINE\Test]
@="default text"
"Bin"=hex:01,02,03
"Empty"=hex:
"Text"="abc"

[HKEY_CURRENT_USER\Software]
"V"=dword:00000001
)";

class Registry : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(plat::profile_load_text(kProfile, "registry_test.reg", &error)) << error;
    }

    HKEY Open(LPCWSTR path, HKEY root = HKEY_LOCAL_MACHINE)
    {
        HKEY key = nullptr;
        EXPECT_EQ(Call([&] { return RegOpenKeyExW(root, path, 0, 0, &key); }), ERROR_SUCCESS);
        EXPECT_NE(key, nullptr);
        return key;
    }

    // Reads "Index" (or name) of an open key the way the bridge does: a
    // 4-byte buffer, size 4 in and out.
    LONG QueryIndex(HKEY key, DWORD* index, LPCWSTR name = u"Index")
    {
        DWORD size = sizeof(DWORD);
        return Call([&] { return RegQueryValueExW(key, name, nullptr, nullptr, (LPBYTE)index, &size); });
    }

    // Opens HKEY_LOCAL_MACHINE\path, reads its "Index" and closes it.
    LONG ReadIndex(LPCWSTR path, DWORD* index)
    {
        HKEY key = nullptr;
        LONG r = Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0, &key); });
        if (r != ERROR_SUCCESS)
        {
            return r;
        }
        r = QueryIndex(key, index);
        EXPECT_EQ(Call([&] { return RegCloseKey(key); }), ERROR_SUCCESS);
        return r;
    }
};

// ---------------------------------------------------------------------------
// Opening keys
// ---------------------------------------------------------------------------
TEST_F(Registry, OpenKey_ExistingKeyGivesSuccessAndAKey)
{
    HKEY key = Open(u"Drivers\\BuiltIn\\Serial");
    EXPECT_NE(key, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(Call([&] { return RegCloseKey(key); }), ERROR_SUCCESS);
}

TEST_F(Registry, OpenKey_MissingKeyGivesFileNotFoundAndNoKey)
{
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial9", 0, 0, &key); }),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Nowhere", 0, 0, &key); }), ERROR_FILE_NOT_FOUND);
    // A key of another root is not under this one.
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Software", 0, 0, &key); }), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_USERS, u"Software", 0, 0, &key); }), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, OpenKey_NamesIgnoreCase)
{
    HKEY key = Open(u"drivers\\BUILTIN\\serial");
    DWORD index = 0;
    EXPECT_EQ(QueryIndex(key, &index, u"INDEX"), ERROR_SUCCESS);
    EXPECT_EQ(index, 9u);
    RegCloseKey(key);
}

TEST_F(Registry, OpenKey_KeysAboveASectionAndRelativePaths)
{
    HKEY drivers = Open(u"Drivers");
    HKEY builtIn = Open(u"BuiltIn", drivers);
    HKEY serial = Open(u"Serial2", builtIn);
    DWORD index = 0;
    EXPECT_EQ(QueryIndex(serial, &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 10u);
    // A null or empty subkey opens the same key again under a new value.
    HKEY again = Open(nullptr, serial);
    HKEY again2 = Open(u"", serial);
    EXPECT_NE(again, serial);
    EXPECT_NE(again2, again);
    index = 0;
    EXPECT_EQ(QueryIndex(again, &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 10u);
    HKEY cu = Open(u"Software", HKEY_CURRENT_USER);
    for (HKEY k : {drivers, builtIn, serial, again, again2, cu})
    {
        EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
    }
}

TEST_F(Registry, OpenKey_BadArgumentsAndMalformedPaths)
{
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers", 0, 0, nullptr); }),
              ERROR_INVALID_PARAMETER);
    HKEY key = reinterpret_cast<HKEY>(0x1234);
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(nullptr, u"Drivers", 0, 0, &key); }), ERROR_INVALID_HANDLE);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(reinterpret_cast<HKEY>(0x5555), u"Drivers", 0, 0, &key); }),
              ERROR_INVALID_HANDLE);
    for (LPCWSTR bad : {u"\\Drivers", u"Drivers\\\\BuiltIn", u"Drivers\\\\"})
    {
        EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, bad, 0, 0, &key); }), ERROR_FILE_NOT_FOUND);
    }
    // One trailing separator is tolerated.
    key = Open(u"Drivers\\BuiltIn\\");
    RegCloseKey(key);
}

TEST_F(Registry, OpenKey_ValuesAreNeverHandedOutTwice)
{
    std::set<HKEY> seen;
    for (int i = 0; i < 100; i++)
    {
        HKEY key = Open(u"Test");
        EXPECT_TRUE(seen.insert(key).second);
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
    EXPECT_EQ(seen.count(HKEY_LOCAL_MACHINE), 0u);
}

// ---------------------------------------------------------------------------
// Reading values
// ---------------------------------------------------------------------------
TEST_F(Registry, Index_NineTenMissingValueMissingKey)
{
    DWORD index = 0xAAAAAAAA;
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 9u);
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial2", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 10u);
    index = 0xAAAAAAAA;
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial3", &index), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(index, 0xAAAAAAAAu);
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial7", &index), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(index, 0xAAAAAAAAu);
}

TEST_F(Registry, Index_OfTheBuiltInProfile)
{
    plat::profile_load_default();
    DWORD index = 0;
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial2", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 4u);
}

TEST_F(Registry, Index_StoredAsAStringStillFillsFourBytes)
{
    // The bridge ignores the stored type: "1" is 4 bytes of UTF-16 with its
    // terminator, which read as a number is 0x31.
    DWORD index = 0;
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial4", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 0x31u);
}

TEST_F(Registry, Dword_TypeSizeAndLittleEndianBytes)
{
    HKEY key = Open(u"Drivers\\BuiltIn\\Serial2");
    BYTE data[8];
    std::memset(data, 0xEE, sizeof(data));
    DWORD size = sizeof(data);
    DWORD type = 0xFFFF;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Index", nullptr, &type, data, &size); }), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(size, 4u);
    const BYTE expected[8] = {0x0A, 0x00, 0x00, 0x00, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(data, expected, sizeof(data)), 0);
    RegCloseKey(key);
}

TEST_F(Registry, SmallBuffer_GivesMoreDataAndTheSizeNeeded)
{
    HKEY key = Open(u"Drivers\\BuiltIn\\Serial");
    BYTE data[2] = {0x55, 0x55};
    DWORD size = sizeof(data);
    DWORD type = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Index", nullptr, &type, data, &size); }), ERROR_MORE_DATA);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(data[0], 0x55);
    EXPECT_EQ(data[1], 0x55);
    RegCloseKey(key);
}

TEST_F(Registry, NullData_GivesOnlyTheSize)
{
    HKEY key = Open(u"Test");
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Text", nullptr, &type, nullptr, &size); }), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u); // "abc" and the terminator, in UTF-16
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    size = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Bin", nullptr, nullptr, nullptr, &size); }), ERROR_SUCCESS);
    EXPECT_EQ(size, 3u);
    // Neither data nor size: only whether the value is there.
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Bin", nullptr, nullptr, nullptr, nullptr); }), ERROR_SUCCESS);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Nope", nullptr, nullptr, nullptr, nullptr); }),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(Registry, String_IsUtf16WithItsTerminator)
{
    HKEY key = Open(u"Test");
    WCHAR text[8];
    std::fill(std::begin(text), std::end(text), u'#');
    DWORD size = sizeof(text);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Text", nullptr, nullptr, (LPBYTE)text, &size); }),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(std::u16string(text), u"abc");
    EXPECT_EQ(text[4], u'#');
    // Room for the text but not its terminator is too small.
    size = 6;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Text", nullptr, nullptr, (LPBYTE)text, &size); }),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    RegCloseKey(key);
}

TEST_F(Registry, DefaultValue_ByNullOrEmptyName)
{
    HKEY key = Open(u"Test");
    for (LPCWSTR name : {static_cast<LPCWSTR>(nullptr), u""})
    {
        WCHAR text[32] = {};
        DWORD size = sizeof(text);
        DWORD type = 0;
        EXPECT_EQ(Call([&] { return RegQueryValueExW(key, name, nullptr, &type, (LPBYTE)text, &size); }),
                  ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(text), u"default text");
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    }
    HKEY serial = Open(u"Drivers\\BuiltIn\\Serial");
    DWORD size = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(serial, nullptr, nullptr, nullptr, nullptr, &size); }),
              ERROR_FILE_NOT_FOUND);
    RegCloseKey(serial);
    RegCloseKey(key);
}

TEST_F(Registry, Binary_AndEmptyValues)
{
    HKEY key = Open(u"Test");
    BYTE data[4] = {9, 9, 9, 9};
    DWORD size = sizeof(data);
    DWORD type = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Bin", nullptr, &type, data, &size); }), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[2], 3);
    EXPECT_EQ(data[3], 9);
    size = sizeof(data);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Empty", nullptr, &type, data, &size); }), ERROR_SUCCESS);
    EXPECT_EQ(size, 0u);
    RegCloseKey(key);
}

TEST_F(Registry, Query_BadArguments)
{
    HKEY key = Open(u"Test");
    DWORD reserved = 0;
    BYTE data[4];
    DWORD size = sizeof(data);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Bin", &reserved, nullptr, data, &size); }),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(key, u"Bin", nullptr, nullptr, data, nullptr); }),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Call([&] { return RegQueryValueExW(nullptr, u"Bin", nullptr, nullptr, data, &size); }),
              ERROR_INVALID_HANDLE);
    RegCloseKey(key);
}

TEST_F(Registry, Query_OnARootKey)
{
    // The profile can put values straight under a root; here there are none.
    DWORD size = 0;
    EXPECT_EQ(Call([&] { return RegQueryValueExW(HKEY_LOCAL_MACHINE, u"Index", nullptr, nullptr, nullptr, &size); }),
              ERROR_FILE_NOT_FOUND);
}

// ---------------------------------------------------------------------------
// Closing keys
// ---------------------------------------------------------------------------
TEST_F(Registry, ClosedKey_IsRefusedEverywhere)
{
    HKEY key = Open(u"Drivers\\BuiltIn\\Serial");
    EXPECT_EQ(Call([&] { return RegCloseKey(key); }), ERROR_SUCCESS);
    DWORD index = 0;
    EXPECT_EQ(QueryIndex(key, &index), ERROR_INVALID_HANDLE);
    EXPECT_EQ(index, 0u);
    HKEY sub = nullptr;
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(key, u"", 0, 0, &sub); }), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Call([&] { return RegCloseKey(key); }), ERROR_INVALID_HANDLE);
}

TEST_F(Registry, Close_NullAndUnknownAreInvalidRootsAreFine)
{
    EXPECT_EQ(Call([&] { return RegCloseKey(nullptr); }), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Call([&] { return RegCloseKey(reinterpret_cast<HKEY>(0x7777)); }), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Call([&] { return RegCloseKey(HKEY_LOCAL_MACHINE); }), ERROR_SUCCESS);
    // The root is still usable afterwards.
    HKEY key = Open(u"Test");
    RegCloseKey(key);
}

// ---------------------------------------------------------------------------
// Profiles and threads
// ---------------------------------------------------------------------------
TEST_F(Registry, OpenKey_KeepsReadingTheProfileItWasOpenedIn)
{
    HKEY key = Open(u"Drivers\\BuiltIn\\Serial");
    plat::profile_load_default();
    DWORD index = 0;
    EXPECT_EQ(QueryIndex(key, &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 9u);
    RegCloseKey(key);
    // A key opened now reads the new profile.
    EXPECT_EQ(ReadIndex(u"Drivers\\BuiltIn\\Serial", &index), ERROR_SUCCESS);
    EXPECT_EQ(index, 1u);
    HKEY gone = nullptr;
    EXPECT_EQ(Call([&] { return RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, 0, &gone); }), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, ManyThreads_OpenReadAndCloseTheirOwnKeys)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 500;
    std::atomic<int> failures{0};
    std::vector<std::vector<HKEY>> opened(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
    {
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < kRounds; i++)
                {
                    HKEY key = nullptr;
                    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\Serial2", 0, 0, &key) != ERROR_SUCCESS)
                    {
                        failures++;
                        continue;
                    }
                    opened[t].push_back(key);
                    DWORD index = 0;
                    DWORD size = 4;
                    if (RegQueryValueExW(key, u"Index", nullptr, nullptr, (LPBYTE)&index, &size) != ERROR_SUCCESS ||
                        index != 10)
                    {
                        failures++;
                    }
                    if (RegCloseKey(key) != ERROR_SUCCESS)
                    {
                        failures++;
                    }
                }
            });
    }
    for (std::thread& th : threads)
    {
        th.join();
    }
    EXPECT_EQ(failures.load(), 0);
    std::set<HKEY> all;
    for (const auto& v : opened)
    {
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kRounds));
}

} // namespace
