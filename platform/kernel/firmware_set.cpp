// Firmware sets: a folder read once into memory and checked (trust, file
// types, sizes, SHA256SUMS, the signature), and the program's "HEX"
// resources served from it.
#include "platform/kernel/firmware_set.h"

#include "platform/kernel/debug.h"
#include "platform/kernel/resource_loader.h"
#include "platform/kernel/sha256.h"
#include "platform/kernel/text.h"
#include "platform/kernel/trust.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace plat
{

// clang-format off
// file             id    bytes
const FirmwarePayload kFirmwarePayloadTable[kFirmwarePayloads] = {
    {"boot1.bin",    107,  184},
    {"boot2.bin",    108,  7414},
    {"filesize.bin", 109,  3},
    {"firmware.bin", 110,  2490264},
};
// clang-format on

namespace
{

const char16_t kPayloadType[] = u"HEX";
const char kSums[] = "SHA256SUMS";
const char kSignature[] = "SHA256SUMS.minisig";
const char kVersion[] = "VERSION";
const BYTE kFileSizeBytes[3] = {0x3F, 0xEC, 0xE6}; // what filesize.bin always holds
constexpr size_t kMaxSmallFile = 64 * 1024;        // SHA256SUMS, its signature, VERSION

// source                              name
const struct
{
    FirmwareSource source;
    const char* name;
} kSourceNames[] = {
    {FirmwareSource::EmbeddedStandin, "embedded stand-in"},
    {FirmwareSource::EmbeddedDelivered, "embedded delivered"},
    {FirmwareSource::Folder, "folder"},
};

std::mutex g_keyMutex;
std::vector<std::string> g_keyFolders; // set by firmware_set_key_folders
bool g_keyFoldersSet = false;

std::mutex g_refuseMutex;
WORD g_refusedCommand = 0; // 0: none
std::string g_refusedWhy;

// The set served and its table. Each stays for the life of the program (a
// set served later leaves the earlier one in place): the resource calls hand
// out pointers into them.
const FirmwareSet* g_served = nullptr;
// The resource tables with a set's payloads, newest first; each keeps the one
// before it reachable.
struct ServedTable
{
    std::vector<ResourceEntry> entries;
    const ServedTable* before;
};
const ServedTable* g_servedTable = nullptr;

// Reads one file of the set into bytes: it must be a regular file (lstat: a
// link is refused, not followed), of exactly `exact` bytes when exact is not
// 0 (else at most `limit`). The open does not follow links or wait, and the
// open file is checked again, so what is read is what was judged.
bool read_set_file(const std::string& dir, const char* name, size_t exact, size_t limit, std::vector<BYTE>* bytes,
                   std::string* reason)
{
    std::string path = dir + "/" + name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
    {
        *reason = path + ": " + (errno == ENOENT ? std::string("missing") : strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode))
    {
        *reason = path + ": " + plat::file_type_name(st.st_mode) + " (refused: each file of a set is a regular file)";
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
    {
        *reason = path + ": cannot open: " + strerror(errno);
        return false;
    }
    struct stat opened;
    if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != st.st_ino)
    {
        *reason = path + ": replaced while it was being checked";
        close(fd);
        return false;
    }
    size_t size = (size_t)opened.st_size;
    if ((exact != 0 && size != exact) || (exact == 0 && size > limit))
    {
        *reason = path + ": " + std::to_string(size) + " bytes, " +
                  (exact != 0 ? "must be " + std::to_string(exact) : "more than " + std::to_string(limit) + " allowed");
        close(fd);
        return false;
    }
    bytes->resize(size);
    size_t got = 0;
    while (got < size)
    {
        ssize_t n = read(fd, bytes->data() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            *reason = path + ": " + (n < 0 ? "cannot read: " + std::string(strerror(errno)) : "shorter than it was");
            close(fd);
            return false;
        }
        got += (size_t)n;
    }
    close(fd);
    return true;
}

bool is_hex64(const std::string& s)
{
    return s.size() == 64 && s.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
}

// SHA256SUMS: "HEX  NAME" (text mode) or "HEX *NAME" (binary mode) per line.
bool parse_sums(const std::string& dir, const std::string& text, std::map<std::string, std::string>* sums,
                std::string* reason)
{
    size_t start = 0;
    for (int line = 1; start < text.size(); line++)
    {
        size_t end = text.find('\n', start);
        std::string row = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? text.size() : end + 1;
        if (!row.empty() && row.back() == '\r')
            row.pop_back();
        if (row.empty())
            continue;
        if (row.size() < 67 || !is_hex64(row.substr(0, 64)) || row[64] != ' ' || (row[65] != ' ' && row[65] != '*'))
        {
            *reason = dir + "/" + kSums + ":" + std::to_string(line) +
                      ": not a sha256sum line (\"HEX  NAME\" or \"HEX *NAME\")";
            return false;
        }
        std::string hex = row.substr(0, 64);
        for (char& c : hex)
            c = (char)tolower((unsigned char)c);
        (*sums)[row.substr(66)] = hex;
    }
    return true;
}

// The listed digest of name, checked against bytes.
bool check_digest(const std::string& dir, const char* name, const std::vector<BYTE>& bytes,
                  const std::map<std::string, std::string>& sums, std::string* digest, std::string* reason)
{
    auto it = sums.find(name);
    if (it == sums.end())
    {
        *reason = dir + "/" + name + ": not listed in " + kSums;
        return false;
    }
    *digest = sha256_hex(bytes.data(), bytes.size());
    if (*digest != it->second)
    {
        *reason = dir + "/" + name + ": SHA-256 " + *digest + " differs from " + kSums + "'s " + it->second;
        return false;
    }
    return true;
}

// VERSION's first line: "NAME VERSION".
bool parse_version(const std::string& dir, const std::vector<BYTE>& bytes, FirmwareSet* set, std::string* reason)
{
    std::string text(bytes.begin(), bytes.end());
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    size_t space = line.find(' ');
    set->name = line.substr(0, space);
    set->version = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (set->name.empty() || set->version.empty() || set->version.find(' ') != std::string::npos ||
        line.find_first_of("\t\"\\") != std::string::npos)
    {
        *reason = dir + "/" + kVersion + ": the first line must be \"NAME VERSION\" (for example \"gsm-module 2.41\")";
        return false;
    }
    return true;
}

// The signature over SHA256SUMS, when there is one or one is required.
bool check_signature(const std::string& dir, const std::vector<BYTE>& sums, bool required, FirmwareSet* set,
                     std::string* reason)
{
    std::string sigPath = dir + "/" + kSignature;
    struct stat st;
    if (lstat(sigPath.c_str(), &st) != 0 && errno == ENOENT)
    {
        if (!required)
            return true;
        *reason = sigPath + ": missing: the set is unsigned, and this device requires a signed set";
        return false;
    }
    std::vector<BYTE> sig;
    if (!read_set_file(dir, kSignature, 0, kMaxSmallFile, &sig, reason))
        return false;
    std::vector<std::string> notes;
    std::vector<MinisignKey> keys = minisign_trusted_keys(&notes);
    MinisignResult result;
    std::string why;
    if (!minisign_verify(std::string(sums.begin(), sums.end()), std::string(sig.begin(), sig.end()), keys, sigPath,
                         dir + "/" + kSums, &result, &why))
    {
        *reason = why;
        if (why.find("not a trusted key") != std::string::npos)
        {
            std::string folders;
            for (const std::string& f : firmware_key_folders())
                folders += (folders.empty() ? "" : ", ") + f;
            *reason += " (trusted keys are the *.pub files in " + folders + ")";
            for (const std::string& note : notes)
                *reason += "; " + note;
        }
        return false;
    }
    set->signatureGood = true;
    set->keyId = result.keyId;
    set->keyFile = result.keyFile;
    return true;
}

} // namespace

const char* firmware_source_name(FirmwareSource source)
{
    for (const auto& row : kSourceNames)
    {
        if (row.source == source)
            return row.name;
    }
    return "";
}

std::vector<std::string> firmware_key_folders()
{
    std::lock_guard<std::mutex> lock(g_keyMutex);
    if (g_keyFoldersSet)
        return g_keyFolders;
    std::vector<std::string> folders;
    if (const char* dirs = getenv("FWU_KEYS_DIRS"))
    {
        std::string list = dirs;
        for (size_t start = 0; start <= list.size();)
        {
            size_t colon = list.find(':', start);
            std::string one = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!one.empty())
                folders.push_back(one);
            start = colon == std::string::npos ? list.size() + 1 : colon + 1;
        }
        return folders;
    }
    folders.push_back("/etc/fwutil/keys");
    const char* config = getenv("XDG_CONFIG_HOME");
    const char* home = getenv("HOME");
    if (config != nullptr && config[0] == '/')
        folders.push_back(std::string(config) + "/fwutil/keys");
    else if (home != nullptr && home[0] == '/')
        folders.push_back(std::string(home) + "/.config/fwutil/keys");
    return folders;
}

void firmware_set_key_folders(const std::vector<std::string>& folders)
{
    std::lock_guard<std::mutex> lock(g_keyMutex);
    g_keyFolders = folders;
    g_keyFoldersSet = true;
}

bool firmware_set_load(const std::string& dir, bool requireSignature, FirmwareSet* set, std::string* reason)
{
    std::string why;
    struct stat st;
    if (stat(dir.c_str(), &st) != 0)
    {
        *reason = dir + ": " + (errno == ENOENT ? std::string("missing (no such folder)") : strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode))
    {
        *reason = dir + ": not a folder (a firmware set is a folder)";
        return false;
    }
    if (!path_trusted(dir, TrustKind::Folder, &why))
    {
        *reason = why;
        return false;
    }
    set->source = FirmwareSource::Folder;
    set->path = dir;
    std::vector<BYTE> sums, version;
    if (!read_set_file(dir, kSums, 0, kMaxSmallFile, &sums, reason))
        return false;
    if (!path_trusted(dir + "/" + kSums, TrustKind::File, &why))
    {
        *reason = why;
        return false;
    }
    if (!check_signature(dir, sums, requireSignature, set, reason))
        return false;
    std::map<std::string, std::string> listed;
    if (!parse_sums(dir, std::string(sums.begin(), sums.end()), &listed, reason))
        return false;
    for (int i = 0; i < kFirmwarePayloads; i++)
    {
        const FirmwarePayload& p = kFirmwarePayloadTable[i];
        if (!read_set_file(dir, p.file, p.bytes, 0, &set->held[i], reason) ||
            !check_digest(dir, p.file, set->held[i], listed, &set->sha256[i], reason))
            return false;
        set->data[i] = set->held[i].data();
    }
    if (memcmp(set->held[2].data(), kFileSizeBytes, sizeof(kFileSizeBytes)) != 0)
    {
        *reason = dir + "/filesize.bin: must hold the bytes 3f ec e6";
        return false;
    }
    if (!read_set_file(dir, kVersion, 0, kMaxSmallFile, &version, reason))
        return false;
    std::string versionDigest;
    if (listed.count(kVersion) != 0 && !check_digest(dir, kVersion, version, listed, &versionDigest, reason))
        return false;
    return parse_version(dir, version, set, reason);
}

bool firmware_set_embedded(bool standin, const std::string& dir, const std::string& name, const std::string& version,
                           FirmwareSet* set, std::string* reason)
{
    set->source = standin ? FirmwareSource::EmbeddedStandin : FirmwareSource::EmbeddedDelivered;
    set->path = standin ? std::string() : dir;
    set->name = name;
    set->version = version;
    for (int i = 0; i < kFirmwarePayloads; i++)
    {
        const FirmwarePayload& p = kFirmwarePayloadTable[i];
        HRSRC hRes = FindResourceW(program_instance(), MAKEINTRESOURCEW(p.id), kPayloadType);
        HGLOBAL hData = hRes != nullptr ? LoadResource(program_instance(), hRes) : nullptr;
        if (hData == nullptr || SizeofResource(program_instance(), hRes) != p.bytes)
        {
            *reason = std::string("the program's embedded ") + p.file + " is missing or not " +
                      std::to_string(p.bytes) + " bytes";
            return false;
        }
        set->data[i] = (const BYTE*)LockResource(hData);
    }
    return true;
}

const std::string& firmware_payload_sha256(const FirmwareSet& set, int i)
{
    if (set.sha256[i].empty() && set.data[i] != nullptr)
        set.sha256[i] = sha256_hex(set.data[i], kFirmwarePayloadTable[i].bytes);
    return set.sha256[i];
}

std::string firmware_set_title(const FirmwareSet& set)
{
    if (!set.name.empty())
        return set.name + " " + set.version;
    return set.source == FirmwareSource::EmbeddedStandin ? "stand-in images" : "unnamed set";
}

void firmware_set_serve(std::unique_ptr<FirmwareSet> set)
{
    UINT count = 0;
    const ResourceEntry* table = resource_table(&count);
    std::vector<ResourceEntry> served(table, table + count);
    for (ResourceEntry& entry : served)
    {
        if (entry.type.text == nullptr || entry.name.text != nullptr ||
            std::u16string_view(entry.type.text) != kPayloadType)
            continue;
        for (int i = 0; i < kFirmwarePayloads; i++)
        {
            if (entry.name.id == kFirmwarePayloadTable[i].id)
            {
                entry.data = set->data[i];
                entry.size = kFirmwarePayloadTable[i].bytes;
            }
        }
    }
    g_servedTable = new ServedTable{std::move(served), g_servedTable};
    g_served = set.release();
    RegisterProgramResources(g_servedTable->entries.data(), (UINT)g_servedTable->entries.size());
}

const FirmwareSet* firmware_set_current()
{
    return g_served;
}

void firmware_refuse_command(WORD commandId, const std::string& why)
{
    std::lock_guard<std::mutex> lock(g_refuseMutex);
    g_refusedCommand = commandId;
    g_refusedWhy = why;
}

bool firmware_command_refused(WORD commandId, std::string* why)
{
    std::lock_guard<std::mutex> lock(g_refuseMutex);
    if (commandId == 0 || commandId != g_refusedCommand)
        return false;
    *why = g_refusedWhy;
    debug_write(utf8_to_utf16(*why + "\r\n"));
    return true;
}

} // namespace plat
