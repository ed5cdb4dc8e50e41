// SHA-256 (FIPS 180-4), for the station's run record: the digest of the image
// that was sent, which a person compares with the one the image came with.
//
//   Sha256 s; sha256_update(&s, data, n) ...; sha256_final(&s, digest);
//   sha256_hex(data, n)   the whole digest of one buffer as 64 lowercase hex
//                         digits.
//
// Platform-internal; the process entry and tests use it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat
{

constexpr size_t kSha256Bytes = 32;

struct Sha256
{
    uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint64_t length = 0;    // bytes taken so far
    uint8_t block[64] = {}; // the block being filled
    size_t used = 0;        // bytes of block filled
};

void sha256_update(Sha256* s, const void* data, size_t len);
void sha256_final(Sha256* s, uint8_t digest[kSha256Bytes]);
std::string sha256_hex(const void* data, size_t len);

} // namespace plat
