// SHA-256 through libsodium (crypto_hash_sha256), with the hex form sha256sum
// prints.
#include "platform/kernel/sha256.h"

#include <sodium/core.h>

namespace plat
{

Sha256::Sha256()
{
    // sodium_init picks the implementations once; later calls return at once.
    // SHA-256 works on the portable implementation even if it failed.
    if (sodium_init() < 0)
        state = {};
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
