// SHA-256 for the station's run record and the firmware sets: the digest of
// the image that was sent, which a person compares with the one the image
// came with (sha256sum's lowercase hex). The hashing is libsodium's.
//
//   Sha256 s; sha256_update(&s, data, n) ...; sha256_final(&s, digest);
//   sha256_hex(data, n)   the whole digest of one buffer as 64 lowercase hex
//                         digits.
//
// Platform-internal; the process entry and tests use it.
#pragma once

#include <sodium/crypto_hash_sha256.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace plat
{

constexpr size_t kSha256Bytes = crypto_hash_sha256_BYTES;

struct Sha256
{
    Sha256();
    crypto_hash_sha256_state state; // libsodium's running state
};

void sha256_update(Sha256* s, const void* data, size_t len);
void sha256_final(Sha256* s, uint8_t digest[kSha256Bytes]);
std::string sha256_hex(const void* data, size_t len);
// Lowercase hex of any bytes.
std::string hex_lower(const uint8_t* bytes, size_t len);

} // namespace plat
