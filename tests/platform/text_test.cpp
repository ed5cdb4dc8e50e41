// UTF-16 <-> UTF-8 conversion and the WCHAR string helpers of the platform.
#include "platform/kernel/text.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

using plat::utf16_to_utf8;
using plat::utf8_to_utf16;

struct ToUtf8Case
{
    std::u16string in;
    std::string out;
};

TEST(Text, Utf16ToUtf8_PairsJoinedLoneSurrogatesReplaced)
{
    const ToUtf8Case cases[] = {
        {u"", ""},
        {u"COM1:\r\n", "COM1:\r\n"},
        {u"\u00e9", "\xC3\xA9"},
        {u"\u20ac", "\xE2\x82\xAC"},
        {u"\uFFFF", "\xEF\xBF\xBF"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {std::u16string(1, u'\0'), std::string(1, '\0')},
        {std::u16string{0xD800}, "\xEF\xBF\xBD"},
        {std::u16string{0xDC00}, "\xEF\xBF\xBD"},
        {std::u16string{0xD800, u'A'}, "\xEF\xBF\xBD"
                                       "A"},
        {std::u16string{0xDC00, 0xD800}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {std::u16string{u'x', 0xD83D}, "x\xEF\xBF\xBD"},
    };
    for (const ToUtf8Case& c : cases)
    {
        EXPECT_EQ(utf16_to_utf8(std::u16string_view(c.in)), c.out);
    }
    EXPECT_EQ(utf16_to_utf8(static_cast<LPCWSTR>(nullptr)), "");
    EXPECT_EQ(utf16_to_utf8(u"abc"), "abc");
}

struct ToUtf16Case
{
    std::string in;
    std::u16string out;
};

TEST(Text, Utf8ToUtf16_MalformedSequencesBecomeOneReplacementEach)
{
    const char16_t R = plat::kReplacementChar;
    const ToUtf16Case cases[] = {
        {"", u""},
        {"abc", u"abc"},
        {"\xC3\xA9", u"\u00e9"},
        {"\xF0\x9F\x98\x80", u"\U0001F600"},
        {"\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        // Overlong forms
        {"\xC0\xAF", {R, R}},
        {"\xC1\xBF", {R, R}},
        {"\xE0\x80\x80", {R, R, R}},
        {"\xF0\x80\x80\x80", {R, R, R, R}},
        // Encoded surrogates and values past U+10FFFF
        {"\xED\xA0\x80", {R, R, R}},
        {"\xF4\x90\x80\x80", {R, R, R, R}},
        {"\xF5\x80", {R, R}},
        // Stray and truncated
        {"\x80", {R}},
        {"\xFF", {R}},
        {"\xE2\x82", {R}},
        {"\xE2\x82"
         "A",
         {R, u'A'}},
        {"\xF0\x9F\x98"
         "A",
         {R, u'A'}},
        {"a\xC3", {u'a', R}},
    };
    for (const ToUtf16Case& c : cases)
    {
        EXPECT_EQ(utf8_to_utf16(c.in), c.out) << "input bytes: " << c.in.size();
    }
}

TEST(Text, RoundTrip_EveryScalarValueSurvives)
{
    std::u16string all;
    for (char32_t cp = 1; cp < 0x110000; cp += (cp < 0x10000 ? 1 : 97))
    {
        if (cp >= 0xD800 && cp <= 0xDFFF)
        {
            continue;
        }
        if (cp < 0x10000)
        {
            all.push_back(static_cast<char16_t>(cp));
        }
        else
        {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }
    EXPECT_EQ(utf8_to_utf16(utf16_to_utf8(std::u16string_view(all))), all);
}

TEST(Text, Copy_IsBoundedTerminatedAndKeepsPairsWhole)
{
    WCHAR buf[8];
    std::fill(std::begin(buf), std::end(buf), u'#');
    EXPECT_EQ(plat::wstr_copy(buf, 0, u"abc"), 0u);
    EXPECT_EQ(buf[0], u'#');
    EXPECT_EQ(plat::wstr_copy(buf, 1, u"abc"), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(plat::wstr_copy(buf, 3, u"abc"), 2u);
    EXPECT_EQ(std::u16string(buf), u"ab");
    EXPECT_EQ(buf[3], u'#');
    EXPECT_EQ(plat::wstr_copy(buf, 4, u"abc"), 3u);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(plat::wstr_copy(buf, 3, u"a\U0001F600"), 1u);
    EXPECT_EQ(std::u16string(buf), u"a");
    EXPECT_EQ(plat::wstr_copy(buf, 4, u"a\U0001F600"), 3u);
    EXPECT_EQ(std::u16string(buf), u"a\U0001F600");
    EXPECT_EQ(plat::wstr_copy(buf, 8, nullptr), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(plat::wstr_copy(nullptr, 8, u"abc"), 0u);
}

TEST(Text, Length_OfNullIsZero)
{
    EXPECT_EQ(plat::wstr_len(nullptr), 0u);
    EXPECT_EQ(plat::wstr_len(u""), 0u);
    EXPECT_EQ(plat::wstr_len(u"COM1:"), 5u);
}

TEST(Text, CaseInsensitiveCompare_FoldsAsciiOnly)
{
    EXPECT_EQ(plat::wstr_icmp(u"COM1:", u"com1:"), 0);
    EXPECT_EQ(plat::wstr_icmp(u"Drivers\\BuiltIn", u"DRIVERS\\builtin"), 0);
    EXPECT_LT(plat::wstr_icmp(u"a", u"B"), 0);
    EXPECT_GT(plat::wstr_icmp(u"b", u"A"), 0);
    EXPECT_LT(plat::wstr_icmp(u"COM1", u"COM1:"), 0);
    EXPECT_EQ(plat::wstr_icmp(nullptr, u""), 0);
    EXPECT_LT(plat::wstr_icmp(nullptr, u"a"), 0);
    EXPECT_NE(plat::wstr_icmp(u"\u00c9", u"\u00e9"), 0);
    // '[' .. '`' sit between the cases: folding must not move them.
    EXPECT_NE(plat::wstr_icmp(u"_", u"\u007f"), 0);
    EXPECT_LT(plat::wstr_icmp(u"_", u"a"), 0);

    EXPECT_TRUE(plat::wstr_iequal(u"RIL1:", u"ril1:"));
    EXPECT_FALSE(plat::wstr_iequal(u"RIL1:", u"RIL1"));
    EXPECT_FALSE(plat::wstr_iequal(u"@", u"`"));
    EXPECT_EQ(plat::wstr_fold(u"HKEY_Local_Machine\u00c9"), u"hkey_local_machine\u00c9");
}

// Text from a profile or a command's output, on its way to a person's
// terminal or log: nothing in it may drive the terminal.
TEST(Text, PrintableText_WritesOutEveryControlCharacter)
{
    // in                                          out
    const struct
    {
        std::string in;
        std::string out;
    } rows[] = {
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"x\x1b]0;title\x07y", "x\\x1b]0;title\\x07y"}, // OSC: the window's title
        {"\x1b[2J\x1b[H", "\\x1b[2J\\x1b[H"},           // clear the screen, home
        {std::string("a\0b", 3), "a\\x00b"},
        {"cr\rlf\nbs\bdel\x7f", "cr\\x0dlf\\x0abs\\x08del\\x7f"},
        {"tab\tkept", "tab\tkept"},
        {"\xc2\x9b"
         "2J",
         "\\u009b2J"}, // C1 CSI in UTF-8
        {"\x9b"
         "2J",
         "\\x9b2J"}, // a lone 8-bit CSI
        {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb1", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x93\xb1"},
        {"\xc2\xa0nbsp", "\xc2\xa0nbsp"},    // U+00A0 follows the C1 range
        {"cut \xe2\x82", "cut \\xe2\\x82"},  // a truncated sequence
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"}, // an encoded surrogate
        {"HKEY_LOCAL_MACHINE\\Drivers", "HKEY_LOCAL_MACHINE\\Drivers"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(plat::printable_text(row.in), row.out) << row.out;
}

} // namespace
