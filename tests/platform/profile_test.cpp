// Device profiles: the ".reg" format, the device map, the refusals of a bad
// profile with its file and line, and the built-in profile against the
// shipped profiles/default.reg.
#include "platform/profile/profile.h"
#include "platform/profile/reg_parse.h"

#include "platform/kernel/text.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using plat::DeviceSpec;
using plat::DeviceType;

// The repository's profiles/ folder, as the build names it.
std::string ProfilesDir()
{
    return std::string(FWU_SOURCE_DIR) + "/profiles";
}

// A profile text: the header line, then the given lines.
std::string Reg(const std::string& body)
{
    return "REGEDIT4\n\n" + body;
}

bool Load(const std::string& text, std::string* error = nullptr)
{
    std::string ignored;
    return plat::profile_load_text(text, "test.reg", error != nullptr ? error : &ignored);
}

// A profile with one key, HKEY_LOCAL_MACHINE\A, holding the given value lines.
const char16_t kKeyA[] = u"HKEY_LOCAL_MACHINE\\A";
std::string RegA(const std::string& values)
{
    return Reg("[HKEY_LOCAL_MACHINE\\A]\n" + values);
}

// Loads text; a refusal fails the assertion with the profile's error.
::testing::AssertionResult Loads(const std::string& text)
{
    std::string error;
    if (Load(text, &error))
    {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << error;
}

DWORD Dword(const char16_t* key, const char16_t* value)
{
    DWORD v = 0xDEADBEEF;
    EXPECT_TRUE(plat::registry_get_dword(key, value, &v)) << plat::utf16_to_utf8(key);
    return v;
}

std::u16string String(const char16_t* key, const char16_t* value)
{
    std::u16string s;
    EXPECT_TRUE(plat::registry_get_string(key, value, &s)) << plat::utf16_to_utf8(key);
    return s;
}

// ---------------------------------------------------------------------------
// The built-in profile
// ---------------------------------------------------------------------------
TEST(Profile, BeforeAnyLoad_TheBuiltInProfileStands)
{
    const DeviceSpec* com1 = plat::device_find(u"COM1:");
    ASSERT_NE(com1, nullptr);
    EXPECT_EQ(com1->type, DeviceType::Simulator);
    EXPECT_EQ(plat::profile_origin(), "built-in");
}

TEST(Profile, Default_IsTheSimulatedHandheld)
{
    plat::profile_load_default();
    EXPECT_EQ(plat::profile_origin(), "built-in");

    struct Expected
    {
        const char16_t* name;
        DeviceType type;
    };
    // device   kind
    const Expected kDevices[] = {
        {u"COM1:", DeviceType::Simulator}, {u"COM3:", DeviceType::PtyPair},     {u"COM4:", DeviceType::PtyPair},
        {u"COM5:", DeviceType::PtyPair},   {u"RIL1:", DeviceType::RilSimReset},
    };
    const std::vector<DeviceSpec> list = plat::device_list();
    ASSERT_EQ(list.size(), std::size(kDevices));
    for (size_t i = 0; i < list.size(); i++)
    {
        EXPECT_EQ(list[i].name, kDevices[i].name);
        EXPECT_EQ(list[i].type, kDevices[i].type);
        EXPECT_EQ(list[i].arg, "");
    }
    EXPECT_EQ(plat::device_find(u"COM2:"), nullptr);

    EXPECT_EQ(Dword(u"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial", u"Index"), 1u);
    EXPECT_EQ(Dword(u"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2", u"Index"), 4u);
    EXPECT_EQ(Dword(u"HKEY_LOCAL_MACHINE\\Platform\\Simulator", u"FirmwareAtStart"), 1u);
    EXPECT_EQ(String(u"HKEY_LOCAL_MACHINE\\Platform", u"Restart"), u"exit");
}

TEST(Profile, ShippedDefaultReg_MatchesTheBuiltInProfile)
{
    plat::profile_load_default();
    const std::string builtInDump = plat::registry_dump();
    const std::vector<DeviceSpec> builtInDevices = plat::device_list();

    const std::string path = ProfilesDir() + "/default.reg";
    std::string error;
    ASSERT_TRUE(plat::profile_load_file(path, &error)) << error;
    EXPECT_EQ(plat::registry_dump(), builtInDump);
    const std::vector<DeviceSpec> fileDevices = plat::device_list();
    ASSERT_EQ(fileDevices.size(), builtInDevices.size());
    for (size_t i = 0; i < fileDevices.size(); i++)
    {
        EXPECT_EQ(fileDevices[i].name, builtInDevices[i].name);
        EXPECT_EQ(fileDevices[i].type, builtInDevices[i].type);
        EXPECT_EQ(fileDevices[i].arg, builtInDevices[i].arg);
    }
}

TEST(Profile, ShippedAdapterAndPtyProfiles_Parse)
{
    std::string error;
    ASSERT_TRUE(plat::profile_load_file(ProfilesDir() + "/adapter.reg", &error)) << error;
    const DeviceSpec* com1 = plat::device_find(u"COM1:");
    ASSERT_NE(com1, nullptr);
    EXPECT_EQ(com1->type, DeviceType::TtyPath);
    EXPECT_EQ(com1->arg, "/dev/ttyUSB0");
    ASSERT_NE(plat::device_find(u"RIL1:"), nullptr);
    EXPECT_EQ(plat::device_find(u"RIL1:")->type, DeviceType::RilNone);
    EXPECT_EQ(Dword(u"Drivers\\BuiltIn\\Serial", u"Index"), 1u);

    ASSERT_TRUE(plat::profile_load_file(ProfilesDir() + "/pty.reg", &error)) << error;
    com1 = plat::device_find(u"COM1:");
    ASSERT_NE(com1, nullptr);
    EXPECT_EQ(com1->type, DeviceType::TtyPath);
    EXPECT_EQ(com1->arg.rfind("/dev/pts/", 0), 0u);
}

// ---------------------------------------------------------------------------
// The device map
// ---------------------------------------------------------------------------
TEST(Profile, DeviceFind_IgnoresCaseAndNeedsTheWholeName)
{
    plat::profile_load_default();
    const DeviceSpec* a = plat::device_find(u"com1:");
    const DeviceSpec* b = plat::device_find(u"COM1:");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a->name, u"COM1:");
    EXPECT_NE(plat::device_find(u"ril1:"), nullptr);
    EXPECT_EQ(plat::device_find(u"COM1"), nullptr);
    EXPECT_EQ(plat::device_find(u"COM1:x"), nullptr);
    EXPECT_EQ(plat::device_find(u"COM9:"), nullptr);
    EXPECT_EQ(plat::device_find(u""), nullptr);
    EXPECT_EQ(plat::device_find(nullptr), nullptr);
}

struct KindCase
{
    const char* name;
    const char* kind;
    DeviceType type;
    const char* arg;
};

// device    kind                          type                      arg
const KindCase kKindCases[] = {
    {"COM1:", "sim", DeviceType::Simulator, ""},
    {"COM2:", "tty:/dev/ttyUSB0", DeviceType::TtyPath, "/dev/ttyUSB0"},
    {"COM3:", "pty", DeviceType::PtyPair, ""},
    {"COM4:", "cable:link:a", DeviceType::Cable, "link:a"},
    {"COM5:", "cable:link:b", DeviceType::Cable, "link:b"},
    {"COM6:", "cable:a:b:a", DeviceType::Cable, "a:b:a"},
    {"COM7:", "tty:/dev/serial/by-id/usb-x:y", DeviceType::TtyPath, "/dev/serial/by-id/usb-x:y"},
    {"RIL1:", "sim-reset", DeviceType::RilSimReset, ""},
    {"RIL2:", "none", DeviceType::RilNone, ""},
    {"RIL3:", "cmd:echo reset > \\\"/tmp/x y\\\"", DeviceType::RilCommand, "echo reset > \"/tmp/x y\""},
};

TEST(Profile, DeviceKinds_ParseToTypeAndArgument)
{
    std::string body = "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n";
    for (const KindCase& c : kKindCases)
    {
        body += std::string("\"") + c.name + "\"=\"" + c.kind + "\"\n";
    }
    ASSERT_TRUE(Loads(Reg(body)));
    const std::vector<DeviceSpec> list = plat::device_list();
    ASSERT_EQ(list.size(), std::size(kKindCases));
    for (size_t i = 0; i < list.size(); i++)
    {
        EXPECT_EQ(plat::utf16_to_utf8(list[i].name), kKindCases[i].name);
        EXPECT_EQ(list[i].type, kKindCases[i].type) << kKindCases[i].kind;
        EXPECT_EQ(list[i].arg, kKindCases[i].arg);
    }
}

TEST(Profile, NoDeviceMap_LeavesEveryDeviceUnknown)
{
    ASSERT_TRUE(Load(Reg("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:1\n")));
    EXPECT_TRUE(plat::device_list().empty());
    EXPECT_EQ(plat::device_find(u"COM1:"), nullptr);
    EXPECT_EQ(plat::profile_origin(), "test.reg");
}

// ---------------------------------------------------------------------------
// The format
// ---------------------------------------------------------------------------
TEST(Profile, Format_HeadersLineEndsAndByteOrderMarks)
{
    const std::string body = "[HKEY_LOCAL_MACHINE\\A]\r\n\"V\"=dword:00000007\r\n";
    EXPECT_TRUE(Load("REGEDIT4\r\n\r\n" + body));
    EXPECT_EQ(Dword(kKeyA, u"V"), 7u);
    EXPECT_TRUE(Load("Windows Registry Editor Version 5.00\n" + body));
    EXPECT_TRUE(Load("\xEF\xBB\xBFREGEDIT4\n" + body));

    // regedit's version 5 export: UTF-16 little-endian with a byte order mark.
    const std::u16string wide = u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\A]\r\n"
                                u"\"V\"=dword:00000008\r\n\"S\"=\"\u00e9t\u00e9\"\r\n";
    std::string utf16le = "\xFF\xFE";
    for (char16_t c : wide)
    {
        utf16le.push_back(static_cast<char>(c & 0xFF));
        utf16le.push_back(static_cast<char>(c >> 8));
    }
    ASSERT_TRUE(Loads(utf16le));
    EXPECT_EQ(Dword(kKeyA, u"V"), 8u);
    EXPECT_EQ(String(kKeyA, u"S"), u"\u00e9t\u00e9");
}

TEST(Profile, Format_CommentsBlanksAndTrailingComments)
{
    ASSERT_TRUE(Loads(Reg("; a comment\n"
                          "   ; an indented comment\n"
                          "\n"
                          "\t\n"
                          "[HKEY_LOCAL_MACHINE\\A]   ; after a header\n"
                          "\"S\"=\"x;y\"    ; the ; inside the string stays\n"
                          "\"D\"=dword:0000000a ; ten\n"
                          "\"B\"=hex:01,02 ; two bytes\n")));
    EXPECT_EQ(String(kKeyA, u"S"), u"x;y");
    EXPECT_EQ(Dword(kKeyA, u"D"), 10u);
}

struct StringCase
{
    const char* line;     // a value line of key A
    const char16_t* name; // the value it makes
    const char16_t* text; // and its string
};

// clang-format off
// value line                                   name                     string
const StringCase kStringCases[] = {
    {"\"Q\"=\"say \\\"hi\\\"\"",                u"Q",                    u"say \"hi\""},
    {"\"P\"=\"C:\\\\dir\\\\file\"",             u"P",                    u"C:\\dir\\file"},
    {"\"Name with \\\"quotes\\\"\"=\"v\"",      u"Name with \"quotes\"", u"v"},
    {"\"E\"=\"\"",                              u"E",                    u""},
    {"\"U\"=\"h\xC3\xA9llo \xF0\x9F\x98\x80\"", u"U",                    u"h\u00e9llo \U0001F600"},
    {"@=\"the default\"",                       u"",                     u"the default"},
    {"\"Spaced\" = \"ok\"",                     u"Spaced",               u"ok"},
};
// clang-format on

TEST(Profile, Format_StringsEscapesAndDefaultValue)
{
    std::string values;
    for (const StringCase& c : kStringCases)
    {
        values += std::string(c.line) + "\n";
    }
    ASSERT_TRUE(Loads(RegA(values)));
    for (const StringCase& c : kStringCases)
    {
        EXPECT_EQ(String(kKeyA, c.name), c.text) << c.line;
    }
}

TEST(Profile, Format_DwordsOfOneToEightDigits)
{
    ASSERT_TRUE(Load(RegA("\"One\"=dword:1\n"
                          "\"Max\"=dword:ffffffff\n"
                          "\"Upper\"=DWORD:0001C200\n")));
    EXPECT_EQ(Dword(kKeyA, u"One"), 1u);
    EXPECT_EQ(Dword(kKeyA, u"Max"), 0xFFFFFFFFu);
    EXPECT_EQ(Dword(kKeyA, u"Upper"), 115200u);
}

TEST(Profile, Format_HexListsWithContinuationLines)
{
    ASSERT_TRUE(Loads(RegA("\"B\"=hex:00,01,02,\\\n"
                           "  03,04,\\\n"
                           "  ff\n"
                           "\"X\"=hex(2):41,00,00,00\n"
                           "\"M\"=hex(7):61,00,00,00,00,00\n"
                           "\"Empty\"=hex:\n"
                           "\"Short\"=hex:1,a\n"
                           "\"After\"=dword:5\n")));
    const std::string dump = plat::registry_dump();
    EXPECT_NE(dump.find("\"B\"=hex(3):00,01,02,03,04,ff\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"X\"=hex(2):41,00,00,00\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"M\"=hex(7):61,00,00,00,00,00\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"Empty\"=hex(3):\n"), std::string::npos) << dump;
    EXPECT_NE(dump.find("\"Short\"=hex(3):01,0a\n"), std::string::npos) << dump;
    // hex(2) reads as a string too.
    EXPECT_EQ(String(kKeyA, u"X"), u"A");
    EXPECT_EQ(Dword(kKeyA, u"After"), 5u);
}

TEST(Profile, Format_KeysAndNamesIgnoreCaseAndLaterValuesWin)
{
    ASSERT_TRUE(Loads(Reg("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n"
                          "\"Index\"=dword:1\n"
                          "[hkey_local_machine\\DRIVERS\\builtin\\serial]\n"
                          "\"INDEX\"=dword:2\n"
                          "\"Other\"=\"x\"\n")));
    EXPECT_EQ(Dword(u"HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial", u"index"), 2u);
    EXPECT_EQ(Dword(u"hkey_local_machine\\drivers\\builtin\\SERIAL", u"Index"), 2u);
    EXPECT_EQ(String(u"Drivers\\BuiltIn\\Serial", u"OTHER"), u"x");
    // The key keeps its first spelling and the value its last.
    const std::string dump = plat::registry_dump();
    EXPECT_NE(dump.find("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"INDEX\"=dword:00000002\n"),
              std::string::npos)
        << dump;
    // Keys above a section exist, empty.
    EXPECT_NE(dump.find("[HKEY_LOCAL_MACHINE\\Drivers]\n"), std::string::npos);
}

TEST(Profile, Queries_RefuseTheWrongTypeAndMissingValues)
{
    ASSERT_TRUE(Load(RegA("\"S\"=\"1\"\n\"D\"=dword:1\n\"B\"=hex(4):01,00\n")));
    DWORD d = 77;
    std::u16string s = u"untouched";
    EXPECT_FALSE(plat::registry_get_dword(kKeyA, u"S", &d));
    EXPECT_FALSE(plat::registry_get_dword(kKeyA, u"B", &d)); // 2 bytes are no dword
    EXPECT_FALSE(plat::registry_get_dword(kKeyA, u"Missing", &d));
    EXPECT_FALSE(plat::registry_get_dword(u"HKEY_LOCAL_MACHINE\\Nowhere", u"D", &d));
    EXPECT_FALSE(plat::registry_get_dword(u"HKEY_CURRENT_USER\\A", u"D", &d));
    EXPECT_EQ(d, 77u);
    EXPECT_FALSE(plat::registry_get_string(kKeyA, u"D", &s));
    EXPECT_EQ(s, u"untouched");
    EXPECT_TRUE(plat::registry_get_dword(u"A", u"D", &d));
    EXPECT_EQ(d, 1u);
}

// ---------------------------------------------------------------------------
// Refusals: "origin:line: reason"
// ---------------------------------------------------------------------------
struct BadCase
{
    const char* text;   // the whole profile
    const char* prefix; // the error starts with it
    const char* reason; // and contains this
};

// Line numbers count the header as line 1.
const BadCase kBadCases[] = {
    {"", "test.reg:1: ", "missing header"},
    {"[HKEY_LOCAL_MACHINE\\A]\n", "test.reg:1: ", "missing header"},
    {"REGEDIT 4\n", "test.reg:1: ", "missing header"},
    {"REGEDIT4\n\n[HKEY_NOWHERE\\A]\n", "test.reg:3: ", "unknown root key \"HKEY_NOWHERE\""},
    {"REGEDIT4\n[HKLM\\A]\n", "test.reg:2: ", "unknown root key \"HKLM\""},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "test.reg:2: ", "bad section header: missing ']'"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A] x\n", "test.reg:2: ", "bad section header: text after ']'"},
    {"REGEDIT4\n[]\n", "test.reg:2: ", "bad section header: empty key path"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\\\A]\n", "test.reg:2: ", "empty key name"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\]\n", "test.reg:2: ", "empty key name"},
    {"REGEDIT4\n[\\HKEY_LOCAL_MACHINE]\n", "test.reg:2: ", "empty key name"},
    {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A]\n", "test.reg:2: ", "key deletion"},
    {"REGEDIT4\n; c\n\"V\"=dword:1\n", "test.reg:3: ", "value outside a section"},
    {"REGEDIT4\n@=\"x\"\n", "test.reg:2: ", "value outside a section"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:xyz\n", "test.reg:3: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:123456789\n", "test.reg:3: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:\n", "test.reg:3: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:12 junk\n", "test.reg:3: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:0x12\n", "test.reg:3: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"abc\n", "test.reg:3: ", "unterminated string"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"abc\\\"\n", "test.reg:3: ", "unterminated string"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V=\"abc\"\n", "test.reg:3: ", "expected '='"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\n", "test.reg:3: ", "unterminated string"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"a\\qb\"\n", "test.reg:3: ", "bad escape \\q"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\"a\" b\n", "test.reg:3: ", "unexpected text after the string"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\" dword:1\n", "test.reg:3: ", "expected '='"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=qword:1\n", "test.reg:3: ", "unknown value type"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=\n", "test.reg:3: ", "unknown value type"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=-\n", "test.reg:3: ", "value deletion"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,zz\n", "test.reg:3: ", "bad hex byte \"zz\""},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:123\n", "test.reg:3: ", "bad hex byte \"123\""},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01 02\n", "test.reg:3: ", "expected ','"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex(zz):01\n", "test.reg:3: ", "bad value type"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex;01\n", "test.reg:3: ", "bad value type"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\ x\n", "test.reg:3: ", "line continuation"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n", "test.reg:3: ", "past the end of the file"},
    // The line of an error after continuation lines is the physical line.
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n  02,\\\n  zz\n", "test.reg:5: ", "bad hex byte"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=hex:01,\\\n  02\n\"W\"=dword:g\n", "test.reg:5: ", "bad dword"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\ngarbage\n", "test.reg:3: ", "unexpected text \"garbage\""},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n  01,02\n", "test.reg:3: ", "unexpected text"},
    // The device map
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"serial\"\n",
     "test.reg:3: ", "unknown device kind \"serial\" for COM1:"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:\"\n",
     "test.reg:3: ", "unknown device kind \"tty:\""},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"cmd:\"\n",
     "test.reg:3: ", "cmd: needs a command (RIL1: is \"cmd:\")"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"cable:x\"\n",
     "test.reg:3: ", "unknown device kind"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"cable::a\"\n",
     "test.reg:3: ", "unknown device kind"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"cable:x:c\"\n",
     "test.reg:3: ", "unknown device kind"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"SIM\"\n", "test.reg:3: ", "unknown device kind"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"none\"\n",
     "test.reg:3: ", "COM1: is a serial port"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"RIL1:\"=\"pty\"\n",
     "test.reg:3: ", "RIL1: is the radio driver"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1\"=\"pty\"\n",
     "test.reg:3: ", "device name \"COM1\" must end with ':'"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n@=\"pty\"\n", "test.reg:3: ", "must end with ':'"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=dword:1\n",
     "test.reg:3: ", "device COM1: must be a string"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM2:\"=\"cable:k:a\"\n\"COM4:\"=\"cable:k:a\"\n",
     "test.reg:4: ", "cable end k:a is already COM2:"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"sim\"\n\n\"COM2:\"=\"sim\"\n",
     "test.reg:5: ", "only one device can be the simulator; COM1: already is"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"reboot\"\n", "test.reg:3: ", "unknown restart action"},
    {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=dword:1\n", "test.reg:3: ", "unknown restart action"},
};

TEST(Profile, BadProfiles_AreRefusedWithFileLineAndReason)
{
    for (const BadCase& c : kBadCases)
    {
        std::string error;
        EXPECT_FALSE(Load(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.prefix, 0), 0u) << "text:\n" << c.text << "\nerror: " << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << "text:\n" << c.text << "\nerror: " << error;
    }
}

// The parser alone: text into a tree, with the format's errors only. What
// the keys mean is the loader's, and parsing loads nothing.
TEST(Profile, Parser_TurnsTextIntoATreeAndLeavesMeaningToTheLoader)
{
    plat::profile_load_default();
    const std::string text = Reg("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"bogus\"\n");
    plat::RegTree tree;
    std::string error;
    ASSERT_TRUE(plat::reg_parse(text, "p.reg", &tree, &error)) << error;
    EXPECT_EQ(tree.keys.size(), 3u); // the key and both above it
    EXPECT_EQ(plat::profile_origin(), "built-in");

    EXPECT_FALSE(Load(text, &error));
    EXPECT_EQ(error.rfind("test.reg:4: unknown device kind", 0), 0u) << error;
    EXPECT_FALSE(plat::reg_parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:zz\n", "q.reg", &tree, &error));
    EXPECT_EQ(error.rfind("q.reg:3: bad dword", 0), 0u) << error;
}

TEST(Profile, DuplicateDeviceName_LaterValueWinsWithoutAConflict)
{
    // A repeated name replaces the value, as in any registry key, so a cable
    // end or the simulator named twice under one name is no conflict.
    ASSERT_TRUE(Loads(Reg("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n"
                          "\"COM1:\"=\"sim\"\n"
                          "\"com1:\"=\"sim\"\n"
                          "\"COM2:\"=\"cable:k:a\"\n"
                          "\"COM2:\"=\"pty\"\n"
                          "\"COM3:\"=\"cable:k:a\"\n")));
    ASSERT_EQ(plat::device_list().size(), 3u);
    EXPECT_EQ(plat::device_find(u"COM2:")->type, DeviceType::PtyPair);
}

TEST(Profile, RefusedProfile_LeavesThePreviousOneInPlace)
{
    ASSERT_TRUE(Load(Reg("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM7:\"=\"pty\"\n")));
    std::string error;
    EXPECT_FALSE(
        Load(Reg("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM8:\"=\"pty\"\n\"COM1:\"=\"bogus\"\n"), &error));
    EXPECT_NE(plat::device_find(u"COM7:"), nullptr);
    EXPECT_EQ(plat::device_find(u"COM8:"), nullptr);
    EXPECT_EQ(plat::profile_origin(), "test.reg");
}

// ---------------------------------------------------------------------------
// Files
// ---------------------------------------------------------------------------
class ProfileFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    std::string Write(const std::string& name, const std::string& text)
    {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    testsupport::TempDir tmp_{"profile_test"};
    std::string dir_ = tmp_.path();
};

TEST_F(ProfileFile, Load_OriginIsTheCanonicalPath)
{
    Write("a.reg", Reg("[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:/dev/null\"\n"));
    const std::string dirName = dir_.substr(dir_.rfind('/') + 1);
    const std::string roundabout = dir_ + "/../" + dirName + "/./a.reg";
    std::string error;
    ASSERT_TRUE(plat::profile_load_file(roundabout, &error)) << error;
    EXPECT_EQ(plat::profile_origin(), dir_ + "/a.reg");
    EXPECT_EQ(plat::device_find(u"COM1:")->arg, "/dev/null");
}

TEST_F(ProfileFile, Load_ErrorsNameTheFileAsGiven)
{
    plat::profile_load_default();
    const std::string path = Write("bad.reg", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:zz\n");
    std::string error;
    EXPECT_FALSE(plat::profile_load_file(path, &error));
    EXPECT_EQ(error.rfind(path + ":3: bad dword", 0), 0u) << error;

    EXPECT_FALSE(plat::profile_load_file(dir_ + "/missing.reg", &error));
    EXPECT_EQ(error.rfind(dir_ + "/missing.reg:0: cannot open", 0), 0u) << error;

    EXPECT_FALSE(plat::profile_load_file(dir_, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;

    const std::string big = Write("big.reg", "REGEDIT4\n" + std::string(2u << 20, ';'));
    EXPECT_FALSE(plat::profile_load_file(big, &error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
    // None of them replaced the built-in profile.
    EXPECT_EQ(plat::profile_origin(), "built-in");
}

// The size bound itself: a profile of exactly 1 MiB loads, one byte more is
// refused.
TEST_F(ProfileFile, Load_OneMebibyteLoadsAndOneByteMoreIsRefused)
{
    const size_t kBound = 1u << 20;
    std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"V\"=dword:00000001\n";
    const std::string comment = ";" + std::string(62, '-') + "\n"; // 64 bytes
    while (text.size() + comment.size() <= kBound)
        text += comment;
    text += ";" + std::string(kBound - text.size() - 2, '-') + "\n";
    ASSERT_EQ(text.size(), kBound);
    std::string error;
    EXPECT_TRUE(plat::profile_load_file(Write("bound.reg", text), &error)) << error;

    text.back() = '-';
    text += "\n";
    EXPECT_FALSE(plat::profile_load_file(Write("past.reg", text), &error));
    EXPECT_NE(error.find("too large"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// Readers and loaders on different threads
// ---------------------------------------------------------------------------
TEST(Profile, ReloadWhileOtherThreadsRead_KeepsTheirPointersValid)
{
    plat::profile_load_default();
    const DeviceSpec* before = plat::device_find(u"COM1:");
    const std::string& originBefore = plat::profile_origin();
    ASSERT_NE(before, nullptr);

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; i++)
    {
        readers.emplace_back(
            [&]
            {
                while (!stop.load())
                {
                    const DeviceSpec* d = plat::device_find(u"COM1:");
                    if (d != nullptr && !d->name.empty())
                    {
                        reads.fetch_add(1);
                    }
                    DWORD index = 0;
                    plat::registry_get_dword(u"Drivers\\BuiltIn\\Serial", u"Index", &index);
                }
            });
    }
    // Let the readers get going before the loads start.
    for (int waited = 0; reads.load() == 0 && waited < 5000; waited++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 0; i < 50; i++)
    {
        const std::string text =
            Reg("[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial]\n\"Index\"=dword:" + std::to_string(i % 9 + 1) +
                "\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"pty\"\n");
        ASSERT_TRUE(Load(text));
    }
    stop.store(true);
    for (std::thread& t : readers)
    {
        t.join();
    }
    EXPECT_GT(reads.load(), 0);
    // The first profile's records are still there to read.
    EXPECT_EQ(before->name, u"COM1:");
    EXPECT_EQ(before->type, DeviceType::Simulator);
    EXPECT_EQ(originBefore, "built-in");
    EXPECT_EQ(plat::device_find(u"COM1:")->type, DeviceType::PtyPair);
}

} // namespace
