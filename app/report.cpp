// The run's record (--report): one JSON object a station's scripts keep and
// compare, written whole or not at all (a temporary file made at start and
// renamed into place at the end).
#include "app/app.h"

#include "download/payload.h" // IDR_FW and its resource type
#include "platform/kernel/resource_loader.h"
#include "platform/kernel/sha256.h"
#include "platform/kernel/text.h"
#include "platform/kernel/trust.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app
{
namespace
{

std::string json_string(const std::string& s)
{
    std::string out = "\"";
    for (unsigned char c : s)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += (char)c;
        }
        else if (c < 0x20)
        {
            char esc[8];
            snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        }
        else
            out += (char)c;
    }
    return out + "\"";
}

std::string json_or_null(const std::string& s)
{
    return s.empty() ? "null" : json_string(s);
}

// The temporary record, made at start in the record's folder (so a folder
// the record cannot go to is known before the run) and renamed over the
// record at the end. mkostemp's name cannot be guessed or taken beforehand.
struct PendingRecord
{
    std::string temp;
    int fd = -1;
};
PendingRecord g_pending;

// An exit before the run's end leaves no temporary file behind.
void drop_pending()
{
    if (g_pending.fd < 0)
        return;
    close(g_pending.fd);
    unlink(g_pending.temp.c_str());
    g_pending.fd = -1;
}

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The firmware set: where it came from, what it is, each payload's digest,
// the signature.
std::string firmware_json(const Firmware& f)
{
    std::string payloads;
    for (const FirmwarePayloadRecord& p : f.payloads)
    {
        payloads += std::string(payloads.empty() ? "" : ",") + "\n      {\"resource\": " + std::to_string(p.resource) +
                    ", \"file\": " + json_string(p.file) + ", \"bytes\": " + std::to_string(p.bytes) +
                    ", \"sha256\": " + json_or_null(p.sha256) + "}";
    }
    std::string j = "{\n";
    j += "    \"source\": " + json_or_null(f.source) + ",\n";
    j += "    \"path\": " + json_or_null(f.path) + ",\n";
    j += "    \"name\": " + json_or_null(f.name) + ",\n";
    j += "    \"version\": " + json_or_null(f.version) + ",\n";
    j += "    \"payloads\": [" + payloads + (payloads.empty() ? "],\n" : "\n    ],\n");
    j += "    \"signature\": " + json_or_null(f.signature) + ",\n";
    j += "    \"key_id\": " + json_or_null(f.keyId) + "\n";
    return j + "  }";
}

} // namespace

bool image_digest(DWORD* bytes, std::string* sha256)
{
    HINSTANCE hInst = plat::program_instance();
    HRSRC hRes = FindResourceW(hInst, MAKEINTRESOURCEW(IDR_FW), PAYLOAD_RESOURCE_TYPE);
    if (hRes == nullptr)
        return false;
    HGLOBAL hData = LoadResource(hInst, hRes);
    const void* data = hData != nullptr ? LockResource(hData) : nullptr;
    if (data == nullptr)
        return false;
    *bytes = SizeofResource(hInst, hRes);
    *sha256 = plat::sha256_hex(data, *bytes);
    return true;
}

std::string iso8601_utc(std::chrono::system_clock::time_point t)
{
    using namespace std::chrono;
    std::time_t secs = system_clock::to_time_t(t);
    long ms = (long)(duration_cast<milliseconds>(t.time_since_epoch()).count() % 1000);
    struct tm utc;
    gmtime_r(&secs, &utc);
    char text[64];
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, ms);
    return text;
}

// The failed call beside the reason: {"call", "device", "errno", "text"}.
std::string cause_json(const RunRecord& r)
{
    if (!r.hasCause)
        return "null";
    return "{\"call\": " + json_string(plat::utf16_to_utf8(r.cause.szCall)) +
           ", \"device\": " + json_string(plat::utf16_to_utf8(r.cause.szDevice)) +
           ", \"errno\": " + std::to_string(r.cause.nErrno) +
           ", \"text\": " + json_string(plat::utf16_to_utf8(r.cause.szText)) + "}";
}

std::string record_json(const RunRecord& r)
{
    using namespace std::chrono;
    std::string phases;
    for (const Phase& p : r.phases)
    {
        phases += std::string(phases.empty() ? "" : ",") + "\n    {\"name\": " + json_string(p.name) +
                  ", \"ms\": " + std::to_string(p.ms) + "}";
    }
    std::string j = "{\n";
    j += "  \"tool\": \"fwutil\",\n";
    j += "  \"version\": " + json_string(FWU_VERSION) + ",\n";
    j += "  \"profile\": " + json_string(r.profile) + ",\n";
    j += "  \"port\": " + json_string(r.port) + ",\n";
    j += "  \"log\": " + json_or_null(r.log) + ",\n";
    j += "  \"start\": " + json_string(iso8601_utc(r.start)) + ",\n";
    j += "  \"end\": " + json_string(iso8601_utc(r.end)) + ",\n";
    j += "  \"duration_ms\": " + std::to_string(duration_cast<milliseconds>(r.end - r.start).count()) + ",\n";
    j += "  \"outcome\": " + json_string(outcome_name(r.outcome)) + ",\n";
    j += "  \"status\": " + std::to_string(r.status) + ",\n";
    j += "  \"reason\": " + json_or_null(r.reason) + ",\n";
    j += "  \"cause\": " + cause_json(r) + ",\n";
    j += "  \"open_error\": " + (r.openError != 0 ? std::to_string(r.openError) : std::string("null")) + ",\n";
    j += "  \"attempts\": " + std::to_string(r.attempts) + ",\n";
    j += "  \"attempts_allowed\": " + std::to_string(r.attemptsAllowed) + ",\n";
    j += "  \"time_limit_s\": " + std::to_string(r.timeLimitSeconds) + ",\n";
    j += "  \"phases\": [" + phases + (phases.empty() ? "],\n" : "\n  ],\n");
    j += "  \"bytes_sent\": " + (r.bytesSent != 0 ? std::to_string(r.bytesSent) : std::string("null")) + ",\n";
    j += "  \"image\": {\"resource\": " + std::to_string(IDR_FW) + ", \"bytes\": " + std::to_string(r.imageBytes) +
         ", \"sha256\": " + json_or_null(r.imageSha256) + "},\n";
    j += "  \"firmware\": " + firmware_json(r.firmware) + "\n";
    j += "}\n";
    return j;
}

bool record_prepare(const std::string& path, std::string* error)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    {
        *error = path + ": not a regular file (the record replaces a regular file or makes a new one)";
        return false;
    }
    const std::string folder = folder_of(path);
    std::string reason;
    if (!plat::path_trusted(folder, plat::TrustKind::Folder, &reason))
    {
        *error = reason;
        return false;
    }
    std::string temp = folder + "/.fwutil-record-XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
    {
        *error = folder + ": cannot make the record's temporary file there: " + strerror(errno);
        return false;
    }
    fchmod(fd, 0644);
    g_pending.temp = temp;
    g_pending.fd = fd;
    static bool s_dropAtExit = false;
    if (!s_dropAtExit)
        s_dropAtExit = atexit(drop_pending) == 0;
    return true;
}

bool write_record(const std::string& path, const RunRecord& r, std::string* error)
{
    if (g_pending.fd < 0)
    {
        *error = path + ": no temporary record was made at start";
        return false;
    }
    const std::string json = record_json(r);
    bool ok = true;
    for (size_t done = 0; ok && done < json.size();)
    {
        ssize_t n = write(g_pending.fd, json.data() + done, json.size() - done);
        if (n > 0)
            done += (size_t)n;
        else if (n < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    ok = ok && fsync(g_pending.fd) == 0;
    int err = errno;
    ok = close(g_pending.fd) == 0 && ok;
    g_pending.fd = -1;
    if (!ok || rename(g_pending.temp.c_str(), path.c_str()) != 0)
    {
        *error = path + ": " + strerror(ok ? errno : err) + " (an earlier record there is left as it was)";
        unlink(g_pending.temp.c_str());
        return false;
    }
    return true;
}

} // namespace app
