// The journal: a station started by systemd (a unit's process has
// INVOCATION_ID, or JOURNAL_STREAM when its output goes to the journal) also
// writes its outcome there as structured fields, so that journald, and its
// forwarding to a central collector, gathers a line's results across
// machines:
//   MESSAGE          the result line's text ("result: flashed, port ..., 41.2 s")
//   MESSAGE_ID       one id for every station result (journalctl MESSAGE_ID=...)
//   PRIORITY         6 (info) when flashed, 3 (err) otherwise
//   SYSLOG_IDENTIFIER fwutil
//   PORT OUTCOME REASON DURATION_MS IMAGE_SHA256 STATUS
// REASON and IMAGE_SHA256 are left out when there is none.
//
// libsystemd is opened when there is an entry to send, not linked: linked,
// it and the libraries it needs (libgcrypt, libgpg-error, libzstd, liblzma,
// liblz4, libcap) were 0.8 MiB of every station's resident memory, under
// systemd or not.
#include "app/app.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sys/uio.h>
#include <systemd/sd-journal.h>

namespace app
{

// A station's result, in every journal entry it writes.
const char kJournalResultId[] = "bd94a7997f714205bb765e1efee02ddb";

bool journal_wanted()
{
    for (const char* name : {"INVOCATION_ID", "JOURNAL_STREAM"})
    {
        const char* value = getenv(name);
        if (value != nullptr && value[0] != 0)
            return true;
    }
    return false;
}

std::vector<std::string> journal_fields(const RunRecord& r, const std::string& message)
{
    using namespace std::chrono;
    std::vector<std::string> fields = {
        "MESSAGE=" + message,
        std::string("MESSAGE_ID=") + kJournalResultId,
        std::string("PRIORITY=") + (r.outcome == Outcome::Flashed ? "6" : "3"),
        "SYSLOG_IDENTIFIER=fwutil",
        "PORT=" + r.port,
        std::string("OUTCOME=") + outcome_name(r.outcome),
        "DURATION_MS=" + std::to_string(duration_cast<milliseconds>(r.end - r.start).count()),
        "STATUS=" + std::to_string(r.status),
    };
    if (!r.reason.empty())
        fields.push_back("REASON=" + r.reason);
    if (!r.imageSha256.empty())
        fields.push_back("IMAGE_SHA256=" + r.imageSha256);
    return fields;
}

bool journal_send(const std::vector<std::string>& fields, std::string* error)
{
    void* lib = dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    auto sendv =
        lib != nullptr ? reinterpret_cast<decltype(&sd_journal_sendv)>(dlsym(lib, "sd_journal_sendv")) : nullptr;
    if (sendv == nullptr)
    {
        const char* why = dlerror();
        *error = std::string(lib == nullptr ? "dlopen libsystemd.so.0: " : "dlsym sd_journal_sendv: ") +
                 (why != nullptr ? why : "not found");
        return false;
    }
    std::vector<struct iovec> iov;
    for (const std::string& f : fields)
        iov.push_back({const_cast<char*>(f.data()), f.size()});
    const int r = sendv(iov.data(), (int)iov.size());
    if (r < 0)
    {
        *error = std::string("sd_journal_sendv: ") + strerror(-r);
        return false;
    }
    return true;
}

} // namespace app
