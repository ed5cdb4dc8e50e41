// Build-time tool: writes the stand-in payload images (boot1.bin, boot2.bin,
// filesize.bin, firmware.bin) into a folder. The delivered loaders and firmware
// are not ours to ship; the stand-ins have their exact lengths, the exact bytes
// of the file-size image, and content that exercises a serial path: every byte
// value, the protocol's own handshake values and the bytes a cooked tty would
// eat or change (CR, XON, XOFF). The output depends on nothing but this file.
//
// Usage: make_standin_images <output folder>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace
{

constexpr size_t BOOT1_LENGTH = 184;
constexpr size_t BOOT2_LENGTH = 7414;
constexpr size_t FW_LENGTH = 2490264;

// The loader stage-2 is sent in blocks of 1000 bytes, the firmware in blocks
// of 4000: the special values are also put on both sides of every boundary.
constexpr size_t BOOT2_BLOCK = 1000;
constexpr size_t FW_BLOCK = 4000;

// Handshake bytes of the download protocol and the bytes a tty in cooked mode
// mangles, plus both ends of the byte range.
const uint8_t SPECIAL[] = {0x55, 0xA0, 0xA5, 0xAA, 0x50, 0x54, 0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x03, 0x1A, 0x7F};

struct Rng
{
    uint64_t state; // splitmix64: fixed seeds give the same bytes on every machine
    uint8_t next()
    {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return (uint8_t)((z ^ (z >> 31)) >> 56);
    }
};

std::vector<uint8_t> random_bytes(size_t length, uint64_t seed)
{
    Rng rng{seed};
    std::vector<uint8_t> out(length);
    for (uint8_t& b : out)
        b = rng.next();
    return out;
}

void put_special(std::vector<uint8_t>& image, size_t at)
{
    for (size_t i = 0; i < sizeof(SPECIAL) && at + i < image.size(); ++i)
        image[at + i] = SPECIAL[i];
}

// Ascending run 0..255 at the start, descending run at the end, the special
// values around every block boundary.
void mark_image(std::vector<uint8_t>& image, size_t block)
{
    for (size_t i = 0; i < 256; ++i)
        image[i] = (uint8_t)i;
    for (size_t i = 0; i < 256; ++i)
        image[image.size() - 256 + i] = (uint8_t)(255 - i);
    for (size_t edge = block; edge + sizeof(SPECIAL) < image.size() - 256; edge += block)
    {
        put_special(image, edge - sizeof(SPECIAL) / 2);
    }
}

bool write_file(const char* folder, const char* name, const std::vector<uint8_t>& bytes, size_t expected)
{
    if (bytes.size() != expected)
    {
        std::fprintf(stderr, "make_standin_images: %s would be %zu bytes, not %zu\n", name, bytes.size(), expected);
        return false;
    }
    char path[4096];
    std::snprintf(path, sizeof(path), "%s/%s", folder, name);
    FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
    {
        std::perror(path);
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok)
        std::perror(path);
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: make_standin_images <output folder>\n");
        return 2;
    }
    const char* folder = argv[1];

    // The stage-1 loader is too short for all 256 values: it starts with the
    // special values and ends with the first of them again.
    std::vector<uint8_t> boot1 = random_bytes(BOOT1_LENGTH, 0x626F6F7431ull);
    put_special(boot1, 0);
    put_special(boot1, BOOT1_LENGTH / 2);
    boot1[BOOT1_LENGTH - 1] = SPECIAL[0];

    std::vector<uint8_t> boot2 = random_bytes(BOOT2_LENGTH, 0x626F6F7432ull);
    mark_image(boot2, BOOT2_BLOCK);

    const std::vector<uint8_t> fileSize = {0x3F, 0xEC, 0xE6};

    std::vector<uint8_t> firmware = random_bytes(FW_LENGTH, 0x6669726D77ull);
    mark_image(firmware, FW_BLOCK);

    bool ok = write_file(folder, "boot1.bin", boot1, BOOT1_LENGTH);
    ok = write_file(folder, "boot2.bin", boot2, BOOT2_LENGTH) && ok;
    ok = write_file(folder, "filesize.bin", fileSize, 3) && ok;
    ok = write_file(folder, "firmware.bin", firmware, FW_LENGTH) && ok;
    return ok ? 0 : 1;
}
