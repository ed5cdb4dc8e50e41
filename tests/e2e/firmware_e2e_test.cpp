// Firmware sets, as a technician meets them: a refused set sends nothing (the
// far end of the port sees no byte, in station mode and in the window), a
// delivered set flashes through the simulator program, --check-firmware says
// what a set is.
#include "tests/e2e/tool_run.h"
#include "tests/support/firmware_sets.h"
#include "tests/support/pty.h"

#include <functional>
#include <regex>

namespace
{

// The raw text of a top-level field of the record ("null", "12", "\"x\"").
std::string Field(const std::string& json, const std::string& key)
{
    std::smatch m;
    std::regex re("\n  \"" + key + "\": ([^\n]*?),?\n");
    return std::regex_search(json, m, re) ? m[1].str() : "<missing>";
}

// What the far end of the port has received (the tool has ended: all of it).
std::string Received(int master)
{
    std::string got;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof(buffer))) > 0;)
        got.append(buffer, (size_t)n);
    return got;
}

class FirmwareE2e : public toolrun::ToolTest
{
protected:
    void SetUp() override
    {
        toolrun::ToolTest::SetUp();
        if (IsSkipped())
            return;
        data_ = dir_ + "/data";
        keys_ = dir_ + "/keys";
        ASSERT_EQ(mkdir(data_.c_str(), 0700), 0);
        ASSERT_EQ(mkdir((data_ + "/fwutil").c_str(), 0700), 0);
        ASSERT_EQ(mkdir((data_ + "/fwutil/firmware").c_str(), 0700), 0);
        ASSERT_EQ(mkdir(keys_.c_str(), 0700), 0);
    }
    toolrun::Invocation Invocation(std::vector<std::string> args)
    {
        toolrun::Invocation call;
        call.argv = {fwutil_};
        call.argv.insert(call.argv.end(), args.begin(), args.end());
        call.env = {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state", "XDG_DATA_HOME=" + data_,
                    "FWU_KEYS_DIRS=" + keys_};
        return call;
    }
    toolrun::Result Run(std::vector<std::string> args)
    {
        return toolrun::run(Invocation(std::move(args)));
    }

public:
    using toolrun::ToolTest::DefaultProfile;
    using toolrun::ToolTest::Write;
    // A set by name, in the data folder the tool looks in.
    std::string NamedSet(const std::string& name)
    {
        std::string path = data_ + "/fwutil/firmware/" + name;
        EXPECT_TRUE(fwsets::make_set(path));
        return path;
    }

protected:
    std::string data_, keys_;
};

// Every refusal in station mode: status 13, the result line and the record
// give the reason, the trace names it, and the port's far end saw no byte.
// The last row asks for the stand-ins by name: bytes arrive, so the check of
// the far end can fail.
TEST_F(FirmwareE2e, EveryRefusalInStationModeSendsNothing)
{
    using Setup = std::function<std::vector<std::string>(FirmwareE2e*)>;
    auto set = [](std::function<void(const std::string&)> spoil)
    {
        return [spoil](FirmwareE2e* t)
        {
            std::string dir = t->NamedSet("spoilt");
            spoil(dir);
            return std::vector<std::string>{"--firmware", dir};
        };
    };
    // clang-format off
    // what                         arguments for the run                                           status  reason holds
    const struct { const char* what; Setup setup; int status; std::string reason; } rows[] = {
        {"stand-ins through a real port", [](FirmwareE2e*) { return std::vector<std::string>{}; },  13,     "stand-ins, not firmware, and "},
        {"a payload missing",       set([](const std::string& d) { unlink((d + "/boot1.bin").c_str()); }),
                                                                                                     13,     "/boot1.bin: missing"},
        {"a payload of a wrong size", set([](const std::string& d) { fwsets::write_bytes(d + "/boot2.bin", "short"); }),
                                                                                                     13,     "/boot2.bin: 5 bytes, must be 7414"},
        {"a digest mismatch",       set([](const std::string& d) { std::string b = fwsets::read_bytes(d + "/firmware.bin"); b[9] ^= 1; fwsets::write_bytes(d + "/firmware.bin", b); }),
                                                                                                     13,     "/firmware.bin: SHA-256 "},
        {"a name not found",        [](FirmwareE2e*) { return std::vector<std::string>{"--firmware", "no-such-set"}; },
                                                                                                     13,     "no firmware set named 'no-such-set' in "},
        {"unsigned, the profile requires a signature", [](FirmwareE2e* t)
            {
                t->NamedSet("unsigned");
                std::string profile = t->Write("signed-only.reg", t->DefaultProfile() +
                    "\n[HKEY_LOCAL_MACHINE\\Platform\\Firmware]\n\"Set\"=\"unsigned\"\n\"RequireSignature\"=dword:00000001\n");
                return std::vector<std::string>{"--profile", profile};
            },                                                                                       13,     "SHA256SUMS.minisig: missing: the set is unsigned"},
        {"the stand-ins asked for by name", [](FirmwareE2e*) { return std::vector<std::string>{"--firmware", "standin"}; },
                                                                                                     7,      ""},
    };
    // clang-format on
    for (const auto& row : rows)
    {
        testsupport::Pty port;
        ASSERT_TRUE(port.Open()) << row.what;
        const std::string record = dir_ + "/record.json", trace = dir_ + "/trace.log";
        unlink(record.c_str());
        unlink(trace.c_str());
        std::vector<std::string> args = {"--station", "--port", port.path, "--timeout", "2",
                                         "--report",  record,   "--debug", trace};
        std::vector<std::string> more = row.setup(this);
        args.insert(args.end(), more.begin(), more.end());
        toolrun::Result r = Run(args);
        EXPECT_EQ(r.status, row.status) << row.what << ": " << r.err;
        std::string sent = Received(port.master);
        if (row.reason.empty())
        {
            EXPECT_NE(sent.find('\x55'), std::string::npos) << row.what << ": the sync bytes went out";
            continue;
        }
        EXPECT_EQ(sent.size(), 0u) << row.what << ": bytes reached the module";
        std::smatch m;
        EXPECT_TRUE(std::regex_search(r.err, m,
                                      std::regex("fwutil: result: firmware-refused, port " + port.path +
                                                 ", \\d+\\.\\d s, reason: the firmware set was refused; nothing was "
                                                 "sent to the module \\((.*)\\)\n$")))
            << row.what << ": " << r.err;
        EXPECT_NE(m[1].str().find(row.reason), std::string::npos) << row.what << ": " << m[1];
        const std::string json = toolrun::read_file(record);
        EXPECT_EQ(Field(json, "outcome"), "\"firmware-refused\"") << row.what;
        EXPECT_EQ(Field(json, "status"), "13") << row.what;
        EXPECT_NE(Field(json, "reason").find(row.reason), std::string::npos) << row.what << ": " << json;
        EXPECT_NE(toolrun::read_file(trace).find(" firmware: refused: "), std::string::npos) << row.what;
    }
    // The refusal of the stand-ins says where a delivered set goes.
    testsupport::Pty port;
    ASSERT_TRUE(port.Open());
    toolrun::Result r = Run({"--station", "--port", port.path, "-q"});
    EXPECT_NE(
        r.err.find("put a delivered set in " + data_ + "/fwutil/firmware/NAME or /usr/share/fwutil/firmware/NAME"),
        std::string::npos)
        << r.err;
}

// The window stays (the bridge and the radio controls need no firmware), but
// the update command is refused, whichever way it comes, and says why.
TEST_F(FirmwareE2e, TheWindowRefusesTheUpdateAndSendsNothing)
{
    testsupport::Pty port;
    ASSERT_TRUE(port.Open());
    const std::string trace = dir_ + "/trace.log";
    const std::string missing = dir_ + "/no-set-here";
    toolrun::Invocation call =
        Invocation({"--display", "headless", "--port", port.path, "--debug", trace, "--firmware", missing});
    testproc::Child tool;
    ASSERT_TRUE(testproc::spawn(tool, call.argv, call.env));
    ASSERT_TRUE(testproc::read_until(tool, "Firmware Version", 20000)) << tool.errText;
    EXPECT_EQ(Run({"--post", "118", "--port", port.path}).status, 0);
    EXPECT_EQ(Run({"--post", "101", "--port", port.path}).status, 0);
    EXPECT_EQ(testproc::wait_exit(tool, 20000), 0) << tool.errText;
    EXPECT_EQ(Received(port.master).size(), 0u) << "bytes reached the module";
    const std::string why = "Update refused: firmware set refused: " + missing + ": missing (no such folder)";
    EXPECT_NE(tool.errText.find("fwutil: firmware set refused, no update will start: " + missing), std::string::npos)
        << tool.errText;
    EXPECT_NE(tool.errText.find("fwutil: " + why), std::string::npos) << tool.errText;
    EXPECT_NE(toolrun::read_file(trace).find(why), std::string::npos) << toolrun::read_file(trace);
}

// A delivered set of random bytes, signed by minisign when it is there, named
// on the command line, flashed through the simulator program that compares
// every byte with the set's files.
TEST_F(FirmwareE2e, ADeliveredSetIsFlashedByNameAndBothRecordsAgree)
{
    const std::string set = NamedSet("gsm-module-2.41");
    bool signedSet = fwsets::have_minisign();
    std::string keyId;
    if (signedSet)
    {
        ASSERT_TRUE(fwsets::make_key(keys_, "vendor"));
        ASSERT_TRUE(fwsets::sign(set, keys_ + "/vendor.key"));
        keyId = fwsets::key_id(keys_ + "/vendor.pub");
    }
    toolrun::Fwsim sim;
    ASSERT_TRUE(sim.Start({"--expect-images", set})) << sim.child.errText;
    const std::string profile =
        Write("fwsim.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
                           "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:" +
                               sim.path + "\"\n\"RIL1:\"=\"cmd:kill -USR1 " + std::to_string(sim.child.pid) + "\"\n");
    const std::string record = dir_ + "/record.json";
    toolrun::Result r = Run({"--station", "--profile", profile, "--firmware", "gsm-module-2.41", "--report", record});
    std::string simReport = sim.Stop();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.child.status, 0) << simReport << sim.child.errText;
    EXPECT_NE(simReport.find("flashed          yes, 2490264 bytes"), std::string::npos) << simReport;
    EXPECT_NE(r.err.find("fwutil: firmware gsm-module 2.41 (folder " + set), std::string::npos) << r.err;

    const std::string json = toolrun::read_file(record);
    const std::string firmwareSha = fwsets::sha256sum_of(set + "/firmware.bin");
    ASSERT_EQ(firmwareSha.size(), 64u);
    EXPECT_NE(json.find("\"image\": {\"resource\": 110, \"bytes\": 2490264, \"sha256\": \"" + firmwareSha + "\"}"),
              std::string::npos)
        << json;
    std::string payloads;
    for (const auto& [id, file, bytes] : {std::tuple{107, "boot1.bin", 184}, std::tuple{108, "boot2.bin", 7414},
                                          std::tuple{109, "filesize.bin", 3}, std::tuple{110, "firmware.bin", 2490264}})
    {
        payloads += std::string(payloads.empty() ? "" : ",") + "\n      {\"resource\": " + std::to_string(id) +
                    ", \"file\": \"" + file + "\", \"bytes\": " + std::to_string(bytes) + ", \"sha256\": \"" +
                    fwsets::sha256sum_of(set + "/" + file) + "\"}";
    }
    EXPECT_NE(
        json.find("  \"firmware\": {\n    \"source\": \"folder\",\n    \"path\": \"" + set +
                  "\",\n    \"name\": \"gsm-module\",\n    \"version\": \"2.41\",\n    \"payloads\": [" + payloads +
                  "\n    ],\n    \"signature\": " +
                  (signedSet ? "\"good\",\n    \"key_id\": \"" + keyId + "\"" : "\"unsigned\",\n    \"key_id\": null") +
                  "\n  }\n}\n"),
        std::string::npos)
        << json;
    // The simulator's own digest of what arrived, once it gives one.
    std::smatch simSha;
    if (std::regex_search(simReport, simSha, std::regex("sha256[: ]+([0-9a-f]{64})")))
    {
        EXPECT_EQ(simSha[1].str(), firmwareSha);
    }
    if (!signedSet)
        GTEST_SKIP() << "flashed unsigned: the minisign program is not installed";
}

TEST_F(FirmwareE2e, CheckFirmwarePrintsTheSetOrRefusesIt)
{
    const std::string set = NamedSet("gsm-module-2.41");
    toolrun::Result good = Run({"--check-firmware", "gsm-module-2.41"});
    EXPECT_EQ(good.status, 0) << good.err;
    std::string expected = "source: folder " + set + "\nname: gsm-module\nversion: 2.41\n";
    for (const auto& [file, bytes] : {std::pair{"boot1.bin", "     184"}, std::pair{"boot2.bin", "    7414"},
                                      std::pair{"filesize.bin", "       3"}, std::pair{"firmware.bin", " 2490264"}})
    {
        std::string name = file;
        expected +=
            name + std::string(14 - name.size(), ' ') + bytes + "  " + fwsets::sha256sum_of(set + "/" + file) + "\n";
    }
    EXPECT_EQ(good.out, expected + "signature: unsigned\n");
    // The same set with a byte changed: refused, status 13.
    std::string b = fwsets::read_bytes(set + "/boot1.bin");
    b[0] ^= 1;
    ASSERT_TRUE(fwsets::write_bytes(set + "/boot1.bin", b));
    toolrun::Result bad = Run({"--check-firmware=" + set});
    EXPECT_EQ(bad.status, 13);
    EXPECT_EQ(bad.out, "");
    EXPECT_NE(bad.err.find("fwutil: firmware set refused: " + set + "/boot1.bin: SHA-256 "), std::string::npos)
        << bad.err;
}

} // namespace
