// SHA-256 against the published test vectors, whole and fed in pieces.
#include "platform/kernel/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct Vector
{
    std::string input;
    const char* digest;
};

const Vector kVectors[] = {
    {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
     "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
     "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
    {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    // Around a block's end: the length still fits after the padding (55),
    // needs a block of its own (56), the data fill whole blocks (64, 120).
    {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
    {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
    {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
    {std::string(119, 'x'), "000b48d4edf0fa7bee3c6236ecd2785baa5db4eeb8bb54341b029e0d9fa5fb0c"},
    {std::string(120, 'x'), "13f05a0b594787f5ecd315edc96141bd3243203d1b7d4f0836f37308b276ba98"},
};

std::string hex(const uint8_t* d)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < plat::kSha256Bytes; i++)
    {
        out += kHex[d[i] >> 4];
        out += kHex[d[i] & 15];
    }
    return out;
}

TEST(Sha256, PublishedVectorsMatch)
{
    for (const Vector& v : kVectors)
    {
        EXPECT_EQ(plat::sha256_hex(v.input.data(), v.input.size()), v.digest) << v.input.size() << " bytes";
    }
}

TEST(Sha256, PiecesOfAnySizeGiveTheWholeDigest)
{
    const size_t pieces[] = {1, 3, 63, 64, 65, 1000};
    for (const Vector& v : kVectors)
    {
        const std::string whole = plat::sha256_hex(v.input.data(), v.input.size());
        for (size_t piece : pieces)
        {
            plat::Sha256 s;
            for (size_t at = 0; at < v.input.size(); at += piece)
                plat::sha256_update(&s, v.input.data() + at, std::min(piece, v.input.size() - at));
            uint8_t digest[plat::kSha256Bytes];
            plat::sha256_final(&s, digest);
            EXPECT_EQ(hex(digest), whole) << v.input.size() << " bytes in pieces of " << piece;
        }
    }
}

} // namespace
