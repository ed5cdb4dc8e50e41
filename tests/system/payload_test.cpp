// The payload images: LoadPayload's results and debug lines, and what the
// build embedded (lengths, exact file-size bytes, read-only placement, the
// bytes of the image files, the stand-ins' byte values).
#include "download/payload.h"

#include "platform/kernel/debug.h"
#include "platform/kernel/resource_loader.h"
#include "shell/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#ifndef FWU_IMAGE_SOURCE_DIR
#error "FWU_IMAGE_SOURCE_DIR must name the folder of the embedded image files"
#endif
#ifndef FWU_STANDIN_IMAGES
#error "FWU_STANDIN_IMAGES must say whether the stand-in images are embedded"
#endif

namespace
{

struct Image
{
    int kind;
    WORD id;
    DWORD length;
    const char* file;
    const char16_t* foundLine;
};

const Image kImages[] = {
    {PAYLOAD_BOOT1, IDR_BOOT1, BOOT1_LENGTH, "boot1.bin", u"get resource IDR_BOOT1 succeed!!!!\r\n"},
    {PAYLOAD_BOOT2, IDR_BOOT2, BOOT2_LENGTH, "boot2.bin", u"get resource IDR_BOOT2 succeed!!!!\r\n"},
    {PAYLOAD_FILE_SIZE, IDR_FILE_SIZE, FILE_SIZE_LENGTH, "filesize.bin", u"get resource IDR_FILE_SIZE succeed!!!!\r\n"},
    {PAYLOAD_FW, IDR_FW, FW_LENGTH, "firmware.bin", u"get resource IDR_FW succeed!!!!\r\n"},
};

const char16_t kLockedLine[] = u"Yes, we lock resources!!!!\r\n";

// Captures the debug lines of the test body.
class PayloadTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_hInst.store(plat::program_instance());
        plat::debug_capture_begin();
    }
    void TearDown() override
    {
        plat::debug_capture_end();
    }
};

std::vector<BYTE> ReadWholeFile(const std::string& path)
{
    std::vector<BYTE> bytes;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return bytes;
    BYTE chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

// Permissions ("r-xp" ...) of the mapping holding addr, or "" if none does.
std::string MappingPermissions(const void* addr)
{
    FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr)
        return "";
    std::string result;
    char line[4096];
    const uintptr_t a = (uintptr_t)addr;
    while (std::fgets(line, sizeof(line), maps) != nullptr)
    {
        unsigned long lo = 0;
        unsigned long hi = 0;
        char perms[8] = {};
        if (std::sscanf(line, "%lx-%lx %7s", &lo, &hi, perms) == 3 && a >= lo && a < hi)
        {
            result = perms;
            break;
        }
    }
    std::fclose(maps);
    return result;
}

bool HasByte(const BYTE* bytes, DWORD length, BYTE value)
{
    return std::memchr(bytes, value, length) != nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// LoadPayload
// ---------------------------------------------------------------------------

TEST_F(PayloadTest, UnknownKindsYieldNullWithoutDebugLines)
{
    const int kinds[] = {0, 5, -1, IDR_BOOT1, IDR_FW};
    for (int kind : kinds)
    {
        SCOPED_TRACE(kind);
        EXPECT_EQ(LoadPayload(kind), nullptr);
    }
    EXPECT_TRUE(plat::debug_capture_take().empty());
}

TEST_F(PayloadTest, EachKindWritesItsFoundLineThenTheLockLine)
{
    for (const Image& img : kImages)
    {
        SCOPED_TRACE(img.file);
        EXPECT_NE(LoadPayload(img.kind), nullptr);
        std::vector<std::u16string> lines = plat::debug_capture_take();
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], img.foundLine);
        EXPECT_EQ(lines[1], kLockedLine);
    }
}

TEST_F(PayloadTest, SameKindGivesTheSameAddressAsTheResource)
{
    for (const Image& img : kImages)
    {
        SCOPED_TRACE(img.file);
        const BYTE* first = LoadPayload(img.kind);
        ASSERT_NE(first, nullptr);
        EXPECT_EQ(LoadPayload(img.kind), first);
        HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(img.id), PAYLOAD_RESOURCE_TYPE);
        ASSERT_NE(res, nullptr);
        EXPECT_EQ(LockResource(LoadResource(nullptr, res)), (LPVOID)first);
        EXPECT_EQ(SizeofResource(nullptr, res), img.length);
    }
}

TEST_F(PayloadTest, NullInstanceBeforeStartUpStillFindsTheImages)
{
    // g_hInst is null until the shell stores it; the program's own resources
    // are found either way.
    g_hInst.store(nullptr);
    EXPECT_NE(LoadPayload(PAYLOAD_BOOT1), nullptr);
    EXPECT_EQ(plat::debug_capture_take().size(), 2u);
}

TEST_F(PayloadTest, ForeignInstanceYieldsNullWithoutDebugLines)
{
    g_hInst.store((HINSTANCE)(uintptr_t)0x00400000);
    for (const Image& img : kImages)
        EXPECT_EQ(LoadPayload(img.kind), nullptr);
    EXPECT_TRUE(plat::debug_capture_take().empty());
}

TEST_F(PayloadTest, FileSizeImageIsExactlyItsThreeBytes)
{
    const BYTE* bytes = LoadPayload(PAYLOAD_FILE_SIZE);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes[0], 0x3F);
    EXPECT_EQ(bytes[1], 0xEC);
    EXPECT_EQ(bytes[2], 0xE6);
    HRSRC res = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_FILE_SIZE), PAYLOAD_RESOURCE_TYPE);
    EXPECT_EQ(SizeofResource(nullptr, res), 3u);
}

// ---------------------------------------------------------------------------
// The embedded bytes
// ---------------------------------------------------------------------------

TEST_F(PayloadTest, ImagesAreAlignedReadOnlyMemory)
{
    for (const Image& img : kImages)
    {
        SCOPED_TRACE(img.file);
        const BYTE* bytes = LoadPayload(img.kind);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ((uintptr_t)bytes % 16, 0u);
        for (const BYTE* p : {bytes, bytes + img.length - 1})
        {
            std::string perms = MappingPermissions(p);
            ASSERT_EQ(perms.size(), 4u) << "no mapping holds " << (const void*)p;
            EXPECT_EQ(perms[0], 'r');
            EXPECT_EQ(perms[1], '-') << "writable: " << perms;
            EXPECT_EQ(perms[2], '-') << "executable: " << perms;
        }
    }
}

TEST_F(PayloadTest, ImagesHoldTheBytesOfTheirFiles)
{
    for (const Image& img : kImages)
    {
        SCOPED_TRACE(img.file);
        std::vector<BYTE> file = ReadWholeFile(std::string(FWU_IMAGE_SOURCE_DIR) + "/" + img.file);
        ASSERT_EQ(file.size(), img.length);
        const BYTE* bytes = LoadPayload(img.kind);
        ASSERT_NE(bytes, nullptr);
        EXPECT_EQ(std::memcmp(bytes, file.data(), img.length), 0);
    }
}

// The stand-ins must carry what a serial path can damage: the handshake
// values, CR, XON and XOFF; the longer ones every byte value.
TEST_F(PayloadTest, StandInsHoldEveryByteValueAndTheSpecialOnes)
{
    if (!FWU_STANDIN_IMAGES)
        GTEST_SKIP() << "delivered images are embedded (FWU_IMAGES_DIR); their content is not ours";
    const BYTE special[] = {0x0D, 0x11, 0x13, 0x55, 0xA0, 0xA5, 0xAA, 0x00, 0xFF};
    for (const Image& img : kImages)
    {
        if (img.kind == PAYLOAD_FILE_SIZE)
            continue;
        SCOPED_TRACE(img.file);
        const BYTE* bytes = LoadPayload(img.kind);
        ASSERT_NE(bytes, nullptr);
        for (BYTE value : special)
            EXPECT_TRUE(HasByte(bytes, img.length, value)) << "missing 0x" << std::hex << (int)value;
        if (img.kind == PAYLOAD_BOOT1)
            continue;
        for (int value = 0; value < 256; ++value)
            EXPECT_TRUE(HasByte(bytes, img.length, (BYTE)value)) << "missing 0x" << std::hex << value;
    }
}
