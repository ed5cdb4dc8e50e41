// minisign's public keys and detached signatures, verified with libsodium.
//
// A public key file: "untrusted comment: ..." and a base64 line of 42 bytes:
// "Ed", the 8-byte key id, the 32-byte Ed25519 key. A signature file: an
// untrusted comment; base64 of 74 bytes: the algorithm ("ED": the signature
// is over BLAKE2b-512 of the file; "Ed", the legacy form: over the file
// itself), the key id and the 64-byte signature; "trusted comment: TEXT";
// base64 of the 64-byte global signature over the signature bytes followed
// by TEXT, which is what makes the trusted comment trustworthy.
#include "platform/kernel/firmware_set.h"

#include "platform/kernel/trust.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat
{
namespace
{

constexpr size_t kKeyBlobBytes = 2 + 8 + crypto_sign_PUBLICKEYBYTES; // 42
constexpr size_t kSigBlobBytes = 2 + 8 + crypto_sign_BYTES;          // 74
constexpr size_t kMaxKeyFileBytes = 4096;
const char kUntrusted[] = "untrusted comment: ";
const char kTrusted[] = "trusted comment: ";

std::vector<std::string> split_lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

bool starts_with(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Base64 (the original alphabet, padded) of exactly `want` bytes.
bool decode_exact(const std::string& text, uint8_t* out, size_t want)
{
    size_t got = 0;
    std::vector<uint8_t> buffer(want + 3);
    if (sodium_base642bin(buffer.data(), buffer.size(), text.data(), text.size(), nullptr, &got, nullptr,
                          sodium_base64_VARIANT_ORIGINAL) != 0 ||
        got != want)
        return false;
    memcpy(out, buffer.data(), want);
    return true;
}

// A small regular file's text, opened without following a link or waiting.
bool read_small_file(const std::string& path, std::string* text, std::string* why)
{
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        *why = std::string("cannot open: ") + strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (size_t)st.st_size > kMaxKeyFileBytes)
    {
        *why = "not a regular file of at most 4 kB";
        close(fd);
        return false;
    }
    char buffer[kMaxKeyFileBytes];
    ssize_t n = read(fd, buffer, sizeof(buffer));
    close(fd);
    if (n < 0)
    {
        *why = std::string("cannot read: ") + strerror(errno);
        return false;
    }
    text->assign(buffer, (size_t)n);
    return true;
}

} // namespace

std::string minisign_key_id(const uint8_t id[8])
{
    char text[17];
    for (int i = 0; i < 8; i++)
        snprintf(text + 2 * i, 3, "%02X", id[7 - i]);
    return text;
}

bool minisign_parse_public_key(const std::string& text, MinisignKey* key, std::string* why)
{
    std::vector<std::string> lines = split_lines(text);
    uint8_t blob[kKeyBlobBytes];
    if (lines.size() < 2 || !starts_with(lines[0], kUntrusted) || !decode_exact(lines[1], blob, sizeof(blob)) ||
        blob[0] != 'E' || blob[1] != 'd')
    {
        *why = "not a minisign public key (an untrusted comment, then base64 of \"Ed\", the key id and the key)";
        return false;
    }
    memcpy(key->id, blob + 2, 8);
    memcpy(key->publicKey, blob + 10, crypto_sign_PUBLICKEYBYTES);
    return true;
}

std::vector<MinisignKey> minisign_trusted_keys(std::vector<std::string>* notes)
{
    std::vector<MinisignKey> keys;
    for (const std::string& folder : firmware_key_folders())
    {
        DIR* dir = opendir(folder.c_str());
        if (dir == nullptr)
            continue; // no folder, no keys from it
        std::string why;
        if (!path_trusted(folder, TrustKind::Folder, &why))
        {
            notes->push_back("keys in " + folder + " left out: " + why);
            closedir(dir);
            continue;
        }
        std::vector<std::string> names;
        while (const struct dirent* e = readdir(dir))
        {
            std::string name = e->d_name;
            if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0)
                names.push_back(name);
        }
        closedir(dir);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names)
        {
            std::string path = folder + "/" + name, text;
            MinisignKey key;
            if (!path_trusted(path, TrustKind::File, &why) || !read_small_file(path, &text, &why) ||
                !minisign_parse_public_key(text, &key, &why))
            {
                notes->push_back(path + " left out: " + why);
                continue;
            }
            key.file = path;
            keys.push_back(key);
        }
    }
    return keys;
}

bool minisign_verify(const std::string& message, const std::string& sigText, const std::vector<MinisignKey>& keys,
                     const std::string& sigName, const std::string& messageName, MinisignResult* result,
                     std::string* why)
{
    if (sodium_init() < 0)
    {
        *why = sigName + ": cannot be checked: libsodium could not start";
        return false;
    }
    std::vector<std::string> lines = split_lines(sigText);
    uint8_t blob[kSigBlobBytes];
    uint8_t global[crypto_sign_BYTES];
    if (lines.size() < 4 || !starts_with(lines[0], kUntrusted) || !decode_exact(lines[1], blob, sizeof(blob)) ||
        !starts_with(lines[2], kTrusted) || !decode_exact(lines[3], global, sizeof(global)))
    {
        *why = sigName + ": truncated or not a minisign signature (four lines: an untrusted comment, the "
                         "signature, the trusted comment, the global signature)";
        return false;
    }
    bool prehashed = blob[0] == 'E' && blob[1] == 'D';
    if (!prehashed && !(blob[0] == 'E' && blob[1] == 'd'))
    {
        *why = sigName + ": unknown signature algorithm (minisign's are \"ED\" and \"Ed\")";
        return false;
    }
    result->keyId = minisign_key_id(blob + 2);
    result->trustedComment = lines[2].substr(strlen(kTrusted));
    const MinisignKey* key = nullptr;
    for (const MinisignKey& k : keys)
        key = key == nullptr && memcmp(k.id, blob + 2, 8) == 0 ? &k : key;
    if (key == nullptr)
    {
        *why = sigName + ": signed by key " + result->keyId + ", which is not a trusted key";
        return false;
    }
    const uint8_t* signature = blob + 10;
    uint8_t digest[crypto_generichash_BYTES_MAX];
    const uint8_t* signedBytes = (const uint8_t*)message.data();
    size_t signedLength = message.size();
    if (prehashed)
    {
        crypto_generichash(digest, sizeof(digest), signedBytes, signedLength, nullptr, 0);
        signedBytes = digest;
        signedLength = sizeof(digest);
    }
    if (crypto_sign_verify_detached(signature, signedBytes, signedLength, key->publicKey) != 0)
    {
        *why = messageName + ": the signature in " + sigName + " (key " + result->keyId +
               ") does not match it: the file was changed after it was signed";
        return false;
    }
    std::vector<uint8_t> commented(signature, signature + crypto_sign_BYTES);
    commented.insert(commented.end(), result->trustedComment.begin(), result->trustedComment.end());
    if (crypto_sign_verify_detached(global, commented.data(), commented.size(), key->publicKey) != 0)
    {
        *why = sigName + ": the trusted comment does not match its signature (key " + result->keyId +
               "): it was changed after signing";
        return false;
    }
    result->keyFile = key->file;
    return true;
}

} // namespace plat
