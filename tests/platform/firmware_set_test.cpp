// Firmware sets: a folder's checks (each refusal with its one reason naming
// the file), the signatures the real minisign program makes, and the payload
// resources served from an accepted set.
#include "platform/kernel/firmware_set.h"

#include "download/payload.h" // the ids and type the download looks up
#include "platform/kernel/sha256.h"
#include "tests/support/firmware_sets.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <functional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

class FirmwareSet : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(tmp_.path().empty());
        chmod(tmp_.path().c_str(), 0755);
        set_ = tmp_.path() + "/set";
        keys_ = tmp_.path() + "/keys";
        ASSERT_EQ(mkdir(keys_.c_str(), 0700), 0);
        plat::firmware_set_key_folders({keys_});
        ASSERT_TRUE(fwsets::make_set(set_));
    }
    std::string Load(bool requireSignature, plat::FirmwareSet* set)
    {
        std::string reason;
        if (plat::firmware_set_load(set_, requireSignature, set, &reason))
            return "";
        return reason.empty() ? "<refused without a reason>" : reason;
    }
    std::string Load(bool requireSignature = false)
    {
        plat::FirmwareSet set;
        return Load(requireSignature, &set);
    }
    void NeedMinisign()
    {
        if (!fwsets::have_minisign())
            GTEST_SKIP() << "the minisign program is not installed";
    }

    testsupport::TempDir tmp_{"fwset"};
    std::string set_, keys_;
};

TEST_F(FirmwareSet, AGoodUnsignedSetIsAcceptedWithItsNameVersionAndDigests)
{
    plat::FirmwareSet set;
    ASSERT_EQ(Load(false, &set), "");
    EXPECT_EQ(set.source, plat::FirmwareSource::Folder);
    EXPECT_EQ(set.name, "gsm-module");
    EXPECT_EQ(set.version, "2.41");
    EXPECT_FALSE(set.signatureGood);
    for (int i = 0; i < plat::kFirmwarePayloads; i++)
    {
        const std::string file = set_ + "/" + plat::kFirmwarePayloadTable[i].file;
        EXPECT_EQ(plat::firmware_payload_sha256(set, i), fwsets::sha256sum_of(file)) << file;
    }
}

// Each way a set is refused: one reason, naming the file.
TEST_F(FirmwareSet, EachFaultIsRefusedWithOneReasonNamingTheFile)
{
    using Mutate = std::function<bool(const std::string& dir)>;
    auto rm = [](const char* name)
    { return [name](const std::string& d) { return unlink((d + "/" + name).c_str()) == 0; }; };
    auto put = [](const char* name, std::string bytes)
    { return [name, bytes](const std::string& d) { return fwsets::write_bytes(d + "/" + name, bytes); }; };
    auto flip = [](const char* name, size_t at)
    {
        return [name, at](const std::string& d)
        {
            std::string bytes = fwsets::read_bytes(d + "/" + name);
            bytes[at] = (char)(bytes[at] ^ 0x01);
            return fwsets::write_bytes(d + "/" + name, bytes);
        };
    };
    auto resum = [](Mutate m) { return [m](const std::string& d) { return m(d) && fwsets::write_sums(d); }; };
    // clang-format off
    // what                              change                                                          require  reason holds
    const struct { const char* what; Mutate change; bool require; std::string reason; } rows[] = {
        {"a payload missing",            rm("boot2.bin"),                                                false,   "/set/boot2.bin: missing"},
        {"a payload a byte short",       resum(put("firmware.bin", std::string(2490263, 'x'))),         false,   "/set/firmware.bin: 2490263 bytes, must be 2490264"},
        {"a payload a byte long",        resum(put("boot1.bin", std::string(185, 'x'))),                false,   "/set/boot1.bin: 185 bytes, must be 184"},
        {"a payload changed",            flip("firmware.bin", 1234567),                                  false,   "/set/firmware.bin: SHA-256 "},
        {"a payload a link",             [](const std::string& d) { return unlink((d + "/boot1.bin").c_str()) == 0 && symlink("boot2.bin", (d + "/boot1.bin").c_str()) == 0; },
                                                                                                         false,   "/set/boot1.bin: a symbolic link (refused"},
        {"a payload a FIFO",             [](const std::string& d) { return unlink((d + "/boot2.bin").c_str()) == 0 && mkfifo((d + "/boot2.bin").c_str(), 0600) == 0; },
                                                                                                         false,   "/set/boot2.bin: a FIFO (refused"},
        {"a payload not listed",         [](const std::string& d) { return system(("cd '" + d + "' && sed -i '/firmware.bin/d' SHA256SUMS").c_str()) == 0; },
                                                                                                         false,   "/set/firmware.bin: not listed in SHA256SUMS"},
        {"SHA256SUMS missing",           rm("SHA256SUMS"),                                               false,   "/set/SHA256SUMS: missing"},
        {"SHA256SUMS not its format",    put("SHA256SUMS", "boot1.bin: OK\n"),                           false,   "/set/SHA256SUMS:1: not a sha256sum line"},
        {"SHA256SUMS writable by others",[](const std::string& d) { return chmod((d + "/SHA256SUMS").c_str(), 0666) == 0; },
                                                                                                         false,   "/set/SHA256SUMS: writable by group or others"},
        {"the folder writable by others",[](const std::string& d) { return chmod(d.c_str(), 0777) == 0; },false,  "/set: writable by group or others"},
        {"filesize.bin other bytes",     resum(put("filesize.bin", "abc")),                              false,   "/set/filesize.bin: must hold the bytes 3f ec e6"},
        {"VERSION missing",              [](const std::string& d) { return unlink((d + "/VERSION").c_str()) == 0 && system(("cd '" + d + "' && sed -i '/VERSION/d' SHA256SUMS").c_str()) == 0; },
                                                                                                         false,   "/set/VERSION: missing"},
        {"VERSION without a version",    resum(put("VERSION", "gsm-module\n")),                          false,   "/set/VERSION: the first line must be \"NAME VERSION\""},
        {"unsigned, a signature required", [](const std::string&) { return true; },                      true,    "/set/SHA256SUMS.minisig: missing: the set is unsigned"},
    };
    // clang-format on
    for (const auto& row : rows)
    {
        ASSERT_TRUE(fwsets::make_set(set_)) << row.what;
        ASSERT_EQ(Load(), "") << row.what << ": the set before the change";
        ASSERT_TRUE(row.change(set_)) << row.what;
        std::string reason = Load(row.require);
        EXPECT_NE(reason.find(row.reason), std::string::npos) << row.what << ": " << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << row.what << ": one line";
        ASSERT_GT(std::filesystem::remove_all(set_), 0u);
    }
}

TEST_F(FirmwareSet, ADevicePayloadIsRefused)
{
    ASSERT_EQ(unlink((set_ + "/filesize.bin").c_str()), 0);
    if (mknod((set_ + "/filesize.bin").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "mknod needs root";
    EXPECT_NE(Load().find("/set/filesize.bin: a device (refused"), std::string::npos) << Load();
}

// The signatures are the real minisign program's.
TEST_F(FirmwareSet, SignaturesMadeByMinisignAreVerified)
{
    NeedMinisign();
    ASSERT_TRUE(fwsets::make_key(keys_, "vendor"));
    ASSERT_TRUE(fwsets::make_key(tmp_.path(), "other")); // not among the trusted keys
    const std::string vendorId = fwsets::key_id(keys_ + "/vendor.pub");
    using Mutate = std::function<bool(const std::string& dir)>;
    auto editSig = [](std::function<void(std::string*)> edit)
    {
        return [edit](const std::string& d)
        {
            std::string text = fwsets::read_bytes(d + "/SHA256SUMS.minisig");
            edit(&text);
            return fwsets::write_bytes(d + "/SHA256SUMS.minisig", text);
        };
    };
    auto none = [](const std::string&) { return true; };
    // clang-format off
    // what                        key                             legacy  after signing                                              reason holds ("" accepted)
    const struct { const char* what; std::string key; bool legacy; Mutate change; std::string reason; } rows[] = {
        {"good",                   keys_ + "/vendor.key",          false,  none,                                                      ""},
        {"good, legacy form",      keys_ + "/vendor.key",          true,   none,                                                      ""},
        {"a flipped byte in SHA256SUMS", keys_ + "/vendor.key",    false,  [](const std::string& d) { std::string s = fwsets::read_bytes(d + "/SHA256SUMS"); s[5] = s[5] == 'a' ? 'b' : 'a'; return fwsets::write_bytes(d + "/SHA256SUMS", s); },
                                                                                                                                       "/set/SHA256SUMS: the signature in "},
        {"another key",            tmp_.path() + "/other.key",     false,  none,                                                      "which is not a trusted key"},
        {"trusted comment changed",keys_ + "/vendor.key",          false,  editSig([](std::string* t) { t->insert(t->find("\ntrusted comment: ") + 18, "x"); }),
                                                                                                                                       "SHA256SUMS.minisig: the trusted comment does not match"},
        {"truncated signature",    keys_ + "/vendor.key",          false,  editSig([](std::string* t) { t->resize(t->size() / 2); }), "SHA256SUMS.minisig: truncated or not a minisign signature"},
    };
    // clang-format on
    for (const auto& row : rows)
    {
        ASSERT_TRUE(fwsets::make_set(set_)) << row.what;
        ASSERT_TRUE(fwsets::sign(set_, row.key, row.legacy)) << row.what;
        ASSERT_TRUE(row.change(set_)) << row.what;
        plat::FirmwareSet set;
        std::string reason = Load(true, &set);
        if (row.reason.empty())
        {
            EXPECT_EQ(reason, "") << row.what;
            EXPECT_TRUE(set.signatureGood) << row.what;
            EXPECT_EQ(set.keyId, vendorId) << row.what << ": the id minisign printed";
            EXPECT_EQ(set.keyFile, keys_ + "/vendor.pub") << row.what;
        }
        else
        {
            EXPECT_NE(reason.find(row.reason), std::string::npos) << row.what << ": " << reason;
        }
        ASSERT_GT(std::filesystem::remove_all(set_), 0u);
    }
}

TEST_F(FirmwareSet, AKeyFileOthersCanWriteIsNotTrusted)
{
    NeedMinisign();
    ASSERT_TRUE(fwsets::make_key(keys_, "vendor"));
    ASSERT_TRUE(fwsets::sign(set_, keys_ + "/vendor.key"));
    ASSERT_EQ(Load(true), "");
    ASSERT_EQ(chmod((keys_ + "/vendor.pub").c_str(), 0666), 0);
    std::string reason = Load(true);
    EXPECT_NE(reason.find("which is not a trusted key"), std::string::npos) << reason;
    EXPECT_NE(reason.find(keys_ + "/vendor.pub left out: " + keys_ + "/vendor.pub: writable by group or others"),
              std::string::npos)
        << reason;
}

// What was checked is what is served: the bytes are read once, and the
// download's lookups find them.
TEST_F(FirmwareSet, TheCheckedBytesAreTheServedBytes)
{
    auto set = std::make_unique<plat::FirmwareSet>();
    ASSERT_EQ(Load(false, set.get()), "");
    const std::string firmware = fwsets::read_bytes(set_ + "/firmware.bin");
    // Replaced on disk after the check: the run still sends what was checked.
    ASSERT_TRUE(fwsets::write_bytes(set_ + "/firmware.bin", std::string(firmware.size(), 'z')));
    plat::firmware_set_serve(std::move(set));
    const WORD ids[] = {IDR_BOOT1, IDR_BOOT2, IDR_FILE_SIZE, IDR_FW};
    for (int i = 0; i < plat::kFirmwarePayloads; i++)
    {
        HRSRC hRes = FindResourceW(nullptr, MAKEINTRESOURCEW(ids[i]), PAYLOAD_RESOURCE_TYPE);
        ASSERT_NE(hRes, nullptr) << ids[i];
        const BYTE* data = (const BYTE*)LockResource(LoadResource(nullptr, hRes));
        ASSERT_EQ(SizeofResource(nullptr, hRes), plat::kFirmwarePayloadTable[i].bytes) << ids[i];
        EXPECT_EQ(plat::sha256_hex(data, plat::kFirmwarePayloadTable[i].bytes),
                  plat::firmware_payload_sha256(*plat::firmware_set_current(), i))
            << ids[i];
    }
    HRSRC hFw = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_FW), PAYLOAD_RESOURCE_TYPE);
    EXPECT_EQ(std::string((const char*)LoadResource(nullptr, hFw), firmware.size()), firmware);
    // The other resources are still there.
    EXPECT_NE(FindResourceW(nullptr, MAKEINTRESOURCEW(105), RT_MENU), nullptr);
}

} // namespace
