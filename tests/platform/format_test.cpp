// Conformance of wnsprintfW / wvnsprintfW / wsprintfW: the conversions the
// system formats its lines with, and the bound that keeps every line inside
// its buffer.
#include "platform/win32.h"

#include "platform/kernel/text.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace
{

constexpr WCHAR kGuard = 0xCCCC;
constexpr size_t kGuardUnits = 8;

struct Formatted
{
    int count;           // the call's result
    std::u16string text; // up to the terminator
    bool terminated;     // a terminator within the capacity
    bool guardIntact;    // nothing written past the capacity
};

// Formats into a buffer of exactly `capacity` units followed by guard units.
Formatted FormatInto(int capacity, LPCWSTR format, ...)
{
    const size_t cap = capacity > 0 ? static_cast<size_t>(capacity) : 0;
    std::vector<WCHAR> buf(cap + kGuardUnits, kGuard);
    va_list args;
    va_start(args, format);
    Formatted r;
    r.count = wvnsprintfW(buf.data(), capacity, format, args);
    va_end(args);
    r.terminated = false;
    for (size_t i = 0; i < cap; i++)
    {
        if (buf[i] == 0)
        {
            r.text.assign(buf.data(), i);
            r.terminated = true;
            break;
        }
    }
    r.guardIntact = true;
    for (size_t i = cap; i < buf.size(); i++)
    {
        if (buf[i] != kGuard)
        {
            r.guardIntact = false;
        }
    }
    return r;
}

std::string Show(const std::u16string& s)
{
    return plat::utf16_to_utf8(s);
}

// One numeric argument per case; passed as the 32-bit value the system passes.
struct NumberCase
{
    const char16_t* format;
    uint32_t arg;
    const char16_t* expected;
};

// format                 argument      expected
const NumberCase kNumberCases[] = {
    {u"%d", 0, u"0"},
    {u"%d", 42, u"42"},
    {u"%d", static_cast<uint32_t>(-42), u"-42"},
    {u"%d", 0x80000000u, u"-2147483648"},
    {u"%d", 0x7FFFFFFFu, u"2147483647"},
    {u"%d", 0xFFFFFFFFu, u"-1"},
    {u"%i", static_cast<uint32_t>(-7), u"-7"},
    {u"%u", 0xFFFFFFFFu, u"4294967295"},
    {u"%u", 0, u"0"},
    {u"%X", 0xFFFFFFFFu, u"FFFFFFFF"},
    {u"%x", 0xFFFFFFFFu, u"ffffffff"},
    {u"%X", 0xABCDEFu, u"ABCDEF"},
    {u"%x", 0xABCDEFu, u"abcdef"},
    {u"%X", 0, u"0"},
    {u"0x%08lX", 0x5u, u"0x00000005"},
    {u"0x%08lX", 0xFFFFFFFFu, u"0xFFFFFFFF"},
    {u"0x%08lX", 0x0012AB00u, u"0x0012AB00"},
    {u"%ld", static_cast<uint32_t>(-1), u"-1"},
    {u"%lu", 0xFFFFFFFFu, u"4294967295"},
    {u"%lx", 0xBEEFu, u"beef"},
    {u"%5d", 42, u"   42"},
    {u"%-5d|", 42, u"42   |"},
    {u"%05d", 42, u"00042"},
    {u"%05d", static_cast<uint32_t>(-42), u"-0042"},
    {u"%5d", static_cast<uint32_t>(-42), u"  -42"},
    {u"%-5d|", static_cast<uint32_t>(-42), u"-42  |"},
    {u"%-05d|", 7, u"7    |"},
    {u"%0-5d|", 7, u"7    |"},
    {u"%2d", 12345, u"12345"},
    {u"%04X", 0xAu, u"000A"},
    {u"%c", u'A', u"A"},
    {u"%c", 0x263A, u"\u263A"},
    {u"%3c", u'A', u"  A"},
    {u"%-3c|", u'A', u"A  |"},
    {u"[%d]", 1, u"[1]"},
};

TEST(Format, Numbers_EveryConversionAndFlag)
{
    for (const NumberCase& c : kNumberCases)
    {
        const Formatted r = FormatInto(64, c.format, c.arg);
        EXPECT_EQ(r.text, std::u16string(c.expected)) << Show(c.format) << " -> " << Show(r.text);
        EXPECT_EQ(r.count, static_cast<int>(plat::wstr_len(c.expected))) << Show(c.format);
        EXPECT_TRUE(r.guardIntact);
    }
}

struct StringCase
{
    const char16_t* format;
    const char16_t* arg;
    const char16_t* expected;
};

// format            argument    expected
const StringCase kStringCases[] = {
    {u"%s", u"abc", u"abc"},
    {u"%s", u"", u""},
    {u"%s", nullptr, u"(null)"},
    {u"<%s>", nullptr, u"<(null)>"},
    {u"%6s|", u"abc", u"   abc|"},
    {u"%-6s|", u"abc", u"abc   |"},
    {u"%2s", u"abcdef", u"abcdef"},
    {u"%s opened\r\n", u"COM1:", u"COM1: opened\r\n"},
    {u"Open FF(%s) failed.\r\n", u"", u"Open FF() failed.\r\n"},
    {u"%s", u"\U0001F600x", u"\U0001F600x"},
};

TEST(Format, Strings_PaddingNullAndSystemLines)
{
    for (const StringCase& c : kStringCases)
    {
        const Formatted r = FormatInto(64, c.format, c.arg);
        EXPECT_EQ(r.text, std::u16string(c.expected)) << Show(c.format) << " -> " << Show(r.text);
        EXPECT_EQ(r.count, static_cast<int>(plat::wstr_len(c.expected))) << Show(c.format);
    }
}

TEST(Format, Literals_PercentAndUnknownConversionsAreCopied)
{
    // An unknown conversion is copied as written and takes no argument, so the
    // argument is still there for the next conversion.
    EXPECT_EQ(FormatInto(64, u"%%").text, u"%");
    EXPECT_EQ(FormatInto(64, u"100%% done").text, u"100% done");
    EXPECT_EQ(FormatInto(64, u"%q%d", 5).text, u"%q5");
    EXPECT_EQ(FormatInto(64, u"%5q%d", 5).text, u"%5q5");
    EXPECT_EQ(FormatInto(64, u"%lq").text, u"%lq");
    EXPECT_EQ(FormatInto(64, u"%5%").text, u"%5%");
    EXPECT_EQ(FormatInto(64, u"abc%").text, u"abc%");
    EXPECT_EQ(FormatInto(64, u"abc%08l").text, u"abc%08l");
    EXPECT_EQ(FormatInto(64, u"no conversions").text, u"no conversions");
    const Formatted r = FormatInto(64, u"%q");
    EXPECT_EQ(r.count, 2);
}

TEST(Format, SeveralArguments_TakenInOrder)
{
    EXPECT_EQ(FormatInto(128, u"%s=%d (%X) %c%%", u"Index", 9, 0x1Fu, u'!').text, u"Index=9 (1F) !%");
    EXPECT_EQ(FormatInto(128, u"Failed to open RIL1:, error code: 0x%08lX\r\n", static_cast<DWORD>(2)).text,
              u"Failed to open RIL1:, error code: 0x00000002\r\n");
    EXPECT_EQ(FormatInto(128, u">>> %d bytes ->BT->FF->\r\n", 1024).text, u">>> 1024 bytes ->BT->FF->\r\n");
}

TEST(Format, Capacity_ZeroOrNegativeOrNullWritesNothing)
{
    Formatted r = FormatInto(0, u"abc");
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.guardIntact);
    r = FormatInto(-5, u"abc");
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.guardIntact);
    EXPECT_EQ(wnsprintfW(nullptr, 10, u"abc"), 0);
}

TEST(Format, NullFormat_GivesEmptyTerminatedText)
{
    const Formatted r = FormatInto(4, nullptr);
    EXPECT_EQ(r.count, 0);
    EXPECT_TRUE(r.terminated);
    EXPECT_EQ(r.text, u"");
}

struct BoundaryCase
{
    int capacity;
    const char16_t* format;
    const char16_t* expected;
};

// capacity  format        expected (no argument cases)
const BoundaryCase kBoundaryCases[] = {
    {1, u"abc", u""},        {2, u"abc", u"a"},      {3, u"abc", u"ab"}, {4, u"abc", u"abc"}, {5, u"abc", u"abc"},
    {6, u"hello", u"hello"}, {5, u"hello", u"hell"}, {2, u"%%%%", u"%"}, {3, u"%q", u"%q"},   {2, u"%q", u"%"},
};

TEST(Format, Truncation_ExactBoundaries)
{
    for (const BoundaryCase& c : kBoundaryCases)
    {
        const Formatted r = FormatInto(c.capacity, c.format);
        EXPECT_TRUE(r.terminated) << c.capacity << " " << Show(c.format);
        EXPECT_TRUE(r.guardIntact) << c.capacity << " " << Show(c.format);
        EXPECT_EQ(r.text, std::u16string(c.expected)) << c.capacity << " " << Show(c.format);
        EXPECT_EQ(r.count, static_cast<int>(plat::wstr_len(c.expected)));
    }
}

TEST(Format, Truncation_InsideConversions)
{
    Formatted r = FormatInto(2, u"%d", 12345);
    EXPECT_EQ(r.text, u"1");
    EXPECT_EQ(r.count, 1);
    r = FormatInto(4, u"%10d", 5);
    EXPECT_EQ(r.text, u"   ");
    r = FormatInto(3, u"%05d", static_cast<uint32_t>(-42));
    EXPECT_EQ(r.text, u"-0");
    r = FormatInto(6, u"ab%scd", u"XYZW");
    EXPECT_EQ(r.text, u"abXYZ");
    EXPECT_EQ(r.count, 5);
    r = FormatInto(9, u"0x%08lX", 0xFFFFFFFFu);
    EXPECT_EQ(r.text, u"0xFFFFFF");
    EXPECT_TRUE(r.guardIntact);
    r = FormatInto(5, u"%-10s|", u"ab");
    EXPECT_EQ(r.text, u"ab  ");
}

TEST(Format, Truncation_NeverSplitsASurrogatePair)
{
    // U+1F600 is two units; with room for one only, it is left out whole.
    Formatted r = FormatInto(3, u"a%s", u"\U0001F600");
    EXPECT_EQ(r.text, u"a");
    EXPECT_EQ(r.count, 1);
    r = FormatInto(3, u"a\U0001F600");
    EXPECT_EQ(r.text, u"a");
    r = FormatInto(4, u"a\U0001F600");
    EXPECT_EQ(r.text, u"a\U0001F600");
    EXPECT_EQ(r.count, 3);
}

TEST(Format, StringLongerThanTheLogBuffer_IsCutAt511Units)
{
    // The shared log buffer holds 512 units.
    const std::u16string longText(600, u'x');
    const Formatted r = FormatInto(512, u"%s\r\n", longText.c_str());
    EXPECT_EQ(r.count, 511);
    EXPECT_EQ(r.text, std::u16string(511, u'x'));
    EXPECT_TRUE(r.terminated);
    EXPECT_TRUE(r.guardIntact);
}

TEST(Format, PumpLineBuffer_HoldsItsLineAndCutsLongerOnes)
{
    // A pump's line buffer holds 128 units.
    Formatted r = FormatInto(128, u"%d bytes <-BT<-FF<- <<<\r\n", 1024);
    EXPECT_EQ(r.text, u"1024 bytes <-BT<-FF<- <<<\r\n");
    const std::u16string exact(127, u'y');
    r = FormatInto(128, u"%s", exact.c_str());
    EXPECT_EQ(r.count, 127);
    EXPECT_EQ(r.text, exact);
    const std::u16string over(128, u'y');
    r = FormatInto(128, u"%s", over.c_str());
    EXPECT_EQ(r.count, 127);
    EXPECT_EQ(r.text, exact);
    EXPECT_TRUE(r.guardIntact);
}

TEST(Format, HugeWidth_StaysInsideTheBuffer)
{
    const Formatted r = FormatInto(16, u"%999999999999d|", 1);
    EXPECT_EQ(r.count, 15);
    EXPECT_EQ(r.text, std::u16string(15, u' '));
    EXPECT_TRUE(r.guardIntact);
}

TEST(Format, WsprintfIntoAnArray_IsBoundedByTheArraySize)
{
    struct
    {
        WCHAR line[8];
        WCHAR guard[4];
    } buf;
    for (WCHAR& g : buf.guard)
    {
        g = kGuard;
    }
    const int n = wsprintfW(buf.line, u"%s", u"0123456789abcdef");
    EXPECT_EQ(n, 7);
    EXPECT_EQ(std::u16string(buf.line), u"0123456");
    for (WCHAR g : buf.guard)
    {
        EXPECT_EQ(g, kGuard);
    }
}

TEST(Format, WsprintfThroughAPointer_IsBoundedAt1024Units)
{
    std::vector<WCHAR> buf(WSPRINTF_MAX + kGuardUnits, kGuard);
    const std::u16string longText(3000, u'z');
    LPWSTR p = buf.data();
    const int n = wsprintfW(p, u"%s", longText.c_str());
    EXPECT_EQ(n, WSPRINTF_MAX - 1);
    EXPECT_EQ(buf[WSPRINTF_MAX - 1], 0);
    for (size_t i = WSPRINTF_MAX; i < buf.size(); i++)
    {
        EXPECT_EQ(buf[i], kGuard);
    }
}

TEST(Format, DoesNotTouchLastError)
{
    SetLastError(0x1234);
    WCHAR buf[16];
    wnsprintfW(buf, 16, u"%d %s", 5, u"x");
    wnsprintfW(buf, 2, u"overflowing");
    EXPECT_EQ(GetLastError(), 0x1234u);
}

} // namespace
