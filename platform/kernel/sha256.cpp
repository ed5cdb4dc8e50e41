// SHA-256 through libsodium (crypto_hash_sha256), with the hex form sha256sum
// prints.
#include "platform/kernel/sha256.h"

#include <sodium/crypto_hash_sha256.h>

namespace plat
{

Sha256::Sha256()
{
    // No sodium_init here: SHA-256 has one implementation and reads no
    // randomness, while sodium_init seeds the random generator and so, on a
    // machine just booted, blocks in getrandom until the kernel's pool is
    // ready (a station's result waited 1.2 s for it on a fresh guest).
    crypto_hash_sha256_init(&state);
}

void sha256_update(Sha256* s, const void* data, size_t len)
{
    crypto_hash_sha256_update(&s->state, (const unsigned char*)data, len);
}

void sha256_final(Sha256* s, uint8_t digest[kSha256Bytes])
{
    crypto_hash_sha256_final(&s->state, digest);
}

std::string hex_lower(const uint8_t* bytes, size_t len)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(len * 2);
    for (size_t i = 0; i < len; i++)
    {
        hex += kDigits[bytes[i] >> 4];
        hex += kDigits[bytes[i] & 15];
    }
    return hex;
}

std::string sha256_hex(const void* data, size_t len)
{
    Sha256 s;
    sha256_update(&s, data, len);
    uint8_t digest[kSha256Bytes];
    sha256_final(&s, digest);
    return hex_lower(digest, kSha256Bytes);
}

} // namespace plat
