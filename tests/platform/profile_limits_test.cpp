// Device profiles against broken and hostile texts: the warnings a profile
// that loads still earns (names the platform never reads, names given twice,
// a profile that defines nothing), the refusals of a NUL inside a string and
// of an empty "cmd:", the limits on depth, names, values, keys and data, and
// 1 MiB texts of every hostile shape loading or being refused quickly and in
// bounded memory.
#include "platform/profile/profile.h"
#include "platform/profile/profile_check.h"
#include "platform/profile/reg_parse.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace
{

using plat::kRegMaxDataBytes;
using plat::kRegMaxDepth;
using plat::kRegMaxKeys;
using plat::kRegMaxNameLength;
using plat::kRegMaxValuesPerKey;

// The repository's folder, as the build names it.
std::string RepoDir()
{
    return FWU_SOURCE_DIR;
}

struct Result
{
    bool loaded;
    std::string error;
    std::vector<std::string> warnings;
};

Result Load(const std::string& text)
{
    Result r;
    r.loaded = plat::profile_load_text(text, "test.reg", &r.error, &r.warnings);
    return r;
}

std::string Repeat(const std::string& piece, size_t times)
{
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; i++)
    {
        out += piece;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Warnings
// ---------------------------------------------------------------------------
struct WarningCase
{
    const char* what;
    const char* text;
    std::vector<std::string> warnings; // exactly these, in this order
};

const WarningCase kWarningCases[] = {
    {"a misspelt simulator setting",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n\"FirmwareAtStrat\"=dword:1\n\"Baud\"=dword:1c200\n",
     {"test.reg:3: unknown value \"FirmwareAtStrat\" in \"HKEY_LOCAL_MACHINE\\Platform\\Simulator\": the platform "
      "does not read it; did you mean \"FirmwareAtStart\"?"}},
    {"a misspelt key",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Simulatr]\n\"FirmwareAtStart\"=dword:1\n",
     {"test.reg:2: unknown key \"HKEY_LOCAL_MACHINE\\Platform\\Simulatr\": the platform reads nothing there; did "
      "you mean \"Simulator\"?"}},
    {"a name far from every known one",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Prefix\"=\"COM\"\n\"Index\"=dword:1\n",
     {"test.reg:3: unknown value \"Prefix\" in \"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\": the platform does "
      "not read it"}},
    {"a value in a key that only leads to others",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers]\n@=\"x\"\n",
     {"test.reg:3: unknown value @ (the default value) in \"HKEY_LOCAL_MACHINE\\Drivers\": the platform reads no "
      "values there"}},
    {"only the topmost unknown key, at the line that made it",
     "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"V\"=dword:1\n[HKEY_CURRENT_USER\\Software]\n",
     {"test.reg:2: unknown key \"HKEY_CURRENT_USER\": the platform reads nothing there"}},
    {"a device named twice, in any case and in two sections",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"sim\"\n\"COM3:\"=\"pty\"\n"
     "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"com1:\"=\"tty:/dev/ttyUSB0\"\n\"COM1:\"=\"pty\"\n",
     {"test.reg:7: device COM1: is named again (first at line 3); this later one wins: \"pty\""}},
    {"a setting given twice",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:1\n\"INDEX\"=dword:2\n",
     {"test.reg:4: value \"INDEX\" of \"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\" is given again (first at "
      "line 3); this later one wins"}},
    {"the header alone",
     "REGEDIT4\n",
     {"test.reg:1: the profile defines nothing (no key follows the header); it stands in place of the built-in "
      "profile, so the device has no ports, no radio driver and no settings"}},
    {"the version 5 header with comments and blank lines",
     "Windows Registry Editor Version 5.00\r\n\r\n; nothing here\r\n\r\n",
     {"test.reg:1: the profile defines nothing (no key follows the header); it stands in place of the built-in "
      "profile, so the device has no ports, no radio driver and no settings"}},
    {"sorted by line",
     "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\"Reboot\"=\"exit\"\n"
     "[HKEY_LOCAL_MACHINE\\Test]\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n",
     {"test.reg:4: unknown value \"Reboot\" in \"HKEY_LOCAL_MACHINE\\Platform\": the platform does not read it",
      "test.reg:5: unknown key \"HKEY_LOCAL_MACHINE\\Test\": the platform reads nothing there",
      "test.reg:7: value \"Restart\" of \"HKEY_LOCAL_MACHINE\\Platform\" is given again (first at line 3); this "
      "later one wins"}},
};

TEST(ProfileWarnings, NamesNotReadRepeatsAndEmptyProfiles_WarnWithFileAndLineButLoad)
{
    for (const WarningCase& c : kWarningCases)
    {
        SCOPED_TRACE(c.what);
        const Result r = Load(c.text);
        EXPECT_TRUE(r.loaded) << r.error;
        EXPECT_EQ(r.warnings, c.warnings);
    }
}

TEST(ProfileWarnings, ShippedProfiles_LoadWithoutAWarning)
{
    std::vector<std::string> warnings{"untouched"};
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text(), "built-in", &error, &warnings)) << error;
    EXPECT_TRUE(warnings.empty()) << warnings[0];
    for (const char* file : {"profiles/default.reg", "profiles/adapter.reg", "profiles/pty.reg", "rig/guest/s1.reg",
                             "rig/guest/usb.reg", "rig/guest/bridge.reg"})
    {
        warnings = {"untouched"};
        ASSERT_TRUE(plat::profile_load_file(RepoDir() + "/" + file, &error, &warnings)) << error;
        EXPECT_TRUE(warnings.empty()) << file << ": " << warnings[0];
    }
}

TEST(ProfileWarnings, ManyWarnings_AreCappedWithACountOfTheRest)
{
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n";
    for (int i = 0; i < 100; i++)
    {
        text += "\"Setting" + std::to_string(i) + "\"=dword:1\n";
    }
    const Result r = Load(text);
    ASSERT_TRUE(r.loaded) << r.error;
    ASSERT_EQ(r.warnings.size(), plat::kMaxProfileWarnings + 1);
    EXPECT_EQ(r.warnings[0].rfind("test.reg:3: unknown value \"Setting0\"", 0), 0u) << r.warnings[0];
    // The 21st warning is line 23's: the count starts there.
    EXPECT_EQ(r.warnings.back(), "test.reg:23: 80 more warnings from this line on, not shown");
}

TEST(ProfileWarnings, TheFileLoaderGivesWarningsUnderThePathAsGiven)
{
    testsupport::TempDir dir("profile_limits_test");
    ASSERT_FALSE(dir.path().empty());
    const std::string path = dir.path() + "/w.reg";
    std::ofstream(path, std::ios::binary)
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n\"Bauds\"=dword:1\n";
    std::vector<std::string> warnings;
    std::string error;
    EXPECT_TRUE(plat::profile_load_file(path, &error, &warnings)) << error;
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].rfind(path + ":4: unknown value \"Bauds\"", 0), 0u) << warnings[0];
    EXPECT_NE(warnings[0].find("did you mean \"Baud\"?"), std::string::npos) << warnings[0];
}

// ---------------------------------------------------------------------------
// Refusals: an empty command, a NUL inside a string, the limits
// ---------------------------------------------------------------------------
struct RefusalCase
{
    const char* what;
    std::string (*text)();
    const char* error; // the refusal starts with it; null: the text loads
};

const char kDevices[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
const char kKeyA[] = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n";

std::string DeepSection(size_t depth, const std::string& name)
{
    return "REGEDIT4\n[HKEY_LOCAL_MACHINE" + Repeat("\\" + name, depth) + "]\n";
}

std::string Values(size_t count)
{
    std::string text = kKeyA;
    for (size_t i = 0; i < count; i++)
    {
        text += "\"v" + std::to_string(i) + "\"=dword:1\n";
    }
    return text;
}

// count keys in all, HKEY_LOCAL_MACHINE included.
std::string Keys(size_t count)
{
    std::string text = "REGEDIT4\n";
    for (size_t i = 1; i < count; i++)
    {
        text += "[HKEY_LOCAL_MACHINE\\k" + std::to_string(i) + "]\n";
    }
    return text;
}

std::string HexBytes(size_t count)
{
    return std::string(kKeyA) + "\"V\"=hex:" + Repeat("00,", count - 1) + "00\n";
}

// A string of count UTF-16 units and its NUL.
std::string StringUnits(size_t count)
{
    return std::string(kKeyA) + "\"V\"=\"" + std::string(count, 'a') + "\"\n";
}

// A regedit version 5 export (UTF-16) whose device string holds U+0000.
std::string Utf16WithNul()
{
    std::u16string wide = u"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"cmd:true";
    wide += u'\0';
    wide += u"; rm -rf /\"\n";
    std::string text = "\xFF\xFE";
    for (const char16_t c : wide)
    {
        text += static_cast<char>(c & 0xFF);
        text += static_cast<char>(c >> 8);
    }
    return text;
}

// clang-format off
// what                                    text                                                      refusal
const RefusalCase kRefusalCases[] = {
    {"cmd: with no command",               [] { return std::string(kDevices) + "\"RIL1:\"=\"cmd:\"\n"; },
                                           "test.reg:3: cmd: needs a command (RIL1: is \"cmd:\")"},
    {"cmd: with blanks only",              [] { return std::string(kDevices) + "\"RIL1:\"=\"cmd: \t\"\n"; },
                                           "test.reg:3: cmd: needs a command"},
    {"a NUL byte in a device's string",    [] { return std::string(kDevices) + "\"RIL1:\"=\"cmd:true" +
                                                       std::string(1, '\0') + "; rm -rf /\"\n"; },
                                           "test.reg:3: a NUL character inside a string"},
    {"a NUL in a device's hex(1) string",  [] { return std::string(kDevices) +
                                                       "\"RIL1:\"=hex(1):63,00,6d,00,64,00,3a,00,74,00,00,00,3b,00,"
                                                       "78,00,00,00\n"; },
                                           "test.reg:3: the string of device RIL1: holds a NUL character, "
                                           "which would cut it short before \";x\""},
    {"a NUL from a UTF-16 file",           Utf16WithNul,
                                           "test.reg:3: a NUL character inside a string"},
    {"a NUL byte in a value name",         [] { return std::string(kKeyA) + "\"V" + std::string(1, '\0') +
                                                       "W\"=dword:1\n"; },
                                           "test.reg:3: a NUL character inside a string"},
    {"a NUL byte in a key path",           [] { return "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A" + std::string(1, '\0') +
                                                       "B]\n"; },
                                           "test.reg:2: a NUL character in a key path"},
    {"a NUL at a hex(1) string's end",     [] { return std::string(kDevices) +
                                                       "\"RIL1:\"=hex(1):6e,00,6f,00,6e,00,65,00,00,00,00,00\n"; },
                                           nullptr},
    {"depth at the limit",                 [] { return DeepSection(kRegMaxDepth, "a"); },        nullptr},
    {"depth over the limit",               [] { return DeepSection(kRegMaxDepth + 1, "a"); },
                                           "test.reg:2: key path too deep: more than 32 keys below the root key"},
    {"depth far over the limit",           [] { return DeepSection(20000, "a"); },
                                           "test.reg:2: key path too deep"},
    {"key name at the limit",              [] { return DeepSection(1, std::string(kRegMaxNameLength, 'k')); },
                                           nullptr},
    {"key name over the limit",            [] { return DeepSection(1, std::string(kRegMaxNameLength + 1, 'k')); },
                                           "test.reg:2: key name longer than 255 characters: \"kkkk"},
    {"value name at the limit",            [] { return std::string(kKeyA) + "\"" +
                                                       std::string(kRegMaxNameLength, 'v') + "\"=dword:1\n"; },
                                           nullptr},
    {"value name over the limit",          [] { return std::string(kKeyA) + "\"" +
                                                       std::string(kRegMaxNameLength + 1, 'v') + "\"=dword:1\n"; },
                                           "test.reg:3: value name longer than 255 characters: \"vvvv"},
    {"values at the limit",                [] { return Values(kRegMaxValuesPerKey); },            nullptr},
    {"values over the limit",              [] { return Values(kRegMaxValuesPerKey + 1); },
                                           "test.reg:1027: more than 1024 values in the key \"HKEY_LOCAL_MACHINE\\A\""},
    {"keys at the limit",                  [] { return Keys(kRegMaxKeys); },                      nullptr},
    {"keys over the limit",                [] { return Keys(kRegMaxKeys + 1); },
                                           "test.reg:4097: more than 4096 keys in the profile"},
    {"keys over the limit, made above",    [] { return Keys(kRegMaxKeys - 1) + "[HKEY_LOCAL_MACHINE\\x\\y]\n"; },
                                           "test.reg:4096: more than 4096 keys in the profile"},
    {"hex data at the limit",              [] { return HexBytes(kRegMaxDataBytes); },             nullptr},
    {"hex data over the limit",            [] { return HexBytes(kRegMaxDataBytes + 1); },
                                           "test.reg:3: value data over 65536 bytes"},
    {"hex data over, on a later line",     [] { return std::string(kKeyA) + "\"V\"=hex:00,\\\n" +
                                                       Repeat("  " + Repeat("00,", 1023) + "00,\\\n", 64) + "  00\n"; },
                                           "test.reg:67: value data over 65536 bytes"},
    {"a string at the limit",              [] { return StringUnits(kRegMaxDataBytes / 2 - 1); },  nullptr},
    {"a string over the limit",            [] { return StringUnits(kRegMaxDataBytes / 2); },
                                           "test.reg:3: value data over 65536 bytes"},
};
// clang-format on

TEST(ProfileRefusals, EmptyCommandsNulsAndLimits_AreRefusedWithFileLineAndReason)
{
    for (const RefusalCase& c : kRefusalCases)
    {
        SCOPED_TRACE(c.what);
        const Result r = Load(c.text());
        if (c.error == nullptr)
        {
            EXPECT_TRUE(r.loaded) << r.error;
            continue;
        }
        EXPECT_FALSE(r.loaded);
        EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
        EXPECT_LT(r.error.size(), 400u) << "a refusal names what is wrong, it does not repeat it whole";
    }
}

TEST(ProfileRefusals, ACmdDeviceKeepsItsWholeCommand)
{
    const Result r = Load(std::string(kDevices) + "\"RIL1:\"=\"cmd:printf '%s' \\\"a;b\\\" >/dev/null\"\n");
    ASSERT_TRUE(r.loaded) << r.error;
    ASSERT_NE(plat::device_find(u"RIL1:"), nullptr);
    EXPECT_EQ(plat::device_find(u"RIL1:")->arg, "printf '%s' \"a;b\" >/dev/null");
}

// ---------------------------------------------------------------------------
// 1 MiB of every hostile shape
// ---------------------------------------------------------------------------
const size_t kHostileBytes = (1u << 20) - 64; // a file the loader still reads
// Generous for a loaded machine under the sanitizers; a plain build takes
// milliseconds.
const double kLoadSecondsAtMost = 3.0;
const long kGrowthKbAtMost = 100 * 1024;

// Lines from make(i), i = 0, 1, ..., after head until the text is about 1 MiB.
template <typename F> std::string Fill(std::string head, F make)
{
    std::string text = std::move(head);
    text.reserve(kHostileBytes + 4096);
    for (size_t i = 0;; i++)
    {
        const std::string line = make(i);
        if (text.size() + line.size() > kHostileBytes)
        {
            return text;
        }
        text += line;
    }
}

std::string OneLine(const std::string& head, const std::string& piece, const std::string& tail)
{
    return Fill(head, [&](size_t) { return piece; }) + tail;
}

// A key name of the longest length, numbered.
std::string Name255(size_t i)
{
    const std::string n = std::to_string(i);
    return n + std::string(kRegMaxNameLength - n.size(), 'n');
}

std::string DeepPath()
{
    return OneLine("REGEDIT4\n[HKEY_LOCAL_MACHINE", "\\a", "]\n");
}

// Paths of the most keys with the longest names, each new from its root down.
std::string DeepPathsAtTheLimit()
{
    return Fill("REGEDIT4\n",
                [](size_t i)
                {
                    std::string s = "[HKEY_LOCAL_MACHINE";
                    for (size_t d = 0; d < kRegMaxDepth; d++)
                    {
                        s += "\\" + Name255(d == 0 ? i : d);
                    }
                    return s + "]\n";
                });
}

std::string ManyValuesInOneKey()
{
    return Fill(kKeyA, [](size_t i) { return "\"v" + std::to_string(i) + "\"=dword:1\n"; });
}

// A thousand values a key, as many keys as fit.
std::string ManyValuesOverManyKeys()
{
    return Fill("REGEDIT4\n",
                [](size_t i)
                {
                    const std::string section =
                        i % 1000 == 0 ? "[HKEY_LOCAL_MACHINE\\k" + std::to_string(i) + "]\n" : std::string();
                    return section + "\"v" + std::to_string(i) + "\"=dword:1\n";
                });
}

std::string ManyKeys()
{
    return Fill("REGEDIT4\n", [](size_t i) { return "[HKEY_LOCAL_MACHINE\\k" + std::to_string(i) + "]\n"; });
}

std::string HugeHexValue()
{
    return OneLine(std::string(kKeyA) + "\"V\"=hex:00", ",00", "\n");
}

std::string HugeStringValue()
{
    return OneLine(std::string(kKeyA) + "\"V\"=\"", "a", "\"\n");
}

std::string HexOverManyLines()
{
    return Fill(std::string(kKeyA) + "\"V\"=hex:00,\\\n", [](size_t) { return std::string("  00,\\\n"); }) + "  00\n";
}

std::string LongKeyName()
{
    return OneLine("REGEDIT4\n[HKEY_LOCAL_MACHINE\\", "k", "]\n");
}

std::string LongValueName()
{
    return OneLine(std::string(kKeyA) + "\"", "v", "\"=dword:1\n");
}

std::string LongGarbageLine()
{
    return OneLine(kKeyA, "x", "\n");
}

std::string LongCommentLine()
{
    return OneLine("REGEDIT4\n;", "c", "\n");
}

std::string BlankLines()
{
    return OneLine("REGEDIT4\n", "\n", "");
}

std::string RepeatedDevice()
{
    return Fill(kDevices, [](size_t) { return std::string("\"COM1:\"=\"pty\"\n"); });
}

std::string RepeatedSections()
{
    return Fill("REGEDIT4\n", [](size_t) { return std::string("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n"); });
}

// Values the simulator does not read, each given a hundred times: two
// warnings a line.
std::string WarningsOnEveryLine()
{
    return Fill("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Simulator]\n",
                [](size_t i) { return "\"x" + std::to_string(i % 1000) + "\"=\"y\"\n"; });
}

struct HostileShape
{
    const char* name;
    std::string (*text)();
    const char* error; // the refusal contains it; null: the text loads
};

// shape                        text                    refusal
const HostileShape kHostileShapes[] = {
    {"DeepPath", DeepPath, "too deep"},
    {"DeepPathsAtTheLimit", DeepPathsAtTheLimit, nullptr},
    {"ManyValuesInOneKey", ManyValuesInOneKey, "values in the key"},
    {"ManyValuesOverManyKeys", ManyValuesOverManyKeys, nullptr},
    {"ManyKeys", ManyKeys, "keys in the profile"},
    {"HugeHexValue", HugeHexValue, "value data over"},
    {"HugeStringValue", HugeStringValue, "value data over"},
    {"HexOverManyLines", HexOverManyLines, "value data over"},
    {"LongKeyName", LongKeyName, "key name longer"},
    {"LongValueName", LongValueName, "value name longer"},
    {"LongGarbageLine", LongGarbageLine, "unexpected text"},
    {"LongCommentLine", LongCommentLine, nullptr},
    {"BlankLines", BlankLines, nullptr},
    {"RepeatedDevice", RepeatedDevice, nullptr},
    {"RepeatedSections", RepeatedSections, nullptr},
    {"WarningsOnEveryLine", WarningsOnEveryLine, nullptr},
};

// The process's peak resident memory so far, in KiB.
long PeakRssKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
    {
        if (line.rfind("VmHWM:", 0) == 0)
        {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

class HostileProfile : public ::testing::TestWithParam<HostileShape>
{
};

TEST_P(HostileProfile, LoadsOrIsRefusedQuicklyAndInBoundedMemory)
{
    const HostileShape& shape = GetParam();
    const std::string text = shape.text();
    ASSERT_GT(text.size(), kHostileBytes - 8192);
    ASSERT_LE(text.size(), size_t{1} << 20);

    const long peakBefore = PeakRssKb();
    ASSERT_GT(peakBefore, 0) << "no VmHWM in /proc/self/status";
    const auto start = std::chrono::steady_clock::now();
    const Result r = Load(text);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const long growthKb = PeakRssKb() - peakBefore;
    std::printf("%s: %zu bytes %s in %.1f ms, peak memory +%ld KiB\n", shape.name, text.size(),
                r.loaded ? "loaded" : "refused", seconds * 1000, growthKb);

    if (shape.error == nullptr)
    {
        EXPECT_TRUE(r.loaded) << r.error;
    }
    else
    {
        EXPECT_FALSE(r.loaded);
        EXPECT_NE(r.error.find(shape.error), std::string::npos) << r.error;
    }
    EXPECT_LT(r.error.size(), 400u);
    EXPECT_LE(r.warnings.size(), plat::kMaxProfileWarnings + 1);
    EXPECT_LT(seconds, kLoadSecondsAtMost);
    EXPECT_LT(growthKb, kGrowthKbAtMost);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HostileProfile, ::testing::ValuesIn(kHostileShapes),
                         [](const ::testing::TestParamInfo<HostileShape>& shape) { return shape.param.name; });

} // namespace
