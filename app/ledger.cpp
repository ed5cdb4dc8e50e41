// The ledger (--ledger): every station run of a line appends its record, as
// --report writes it, as one line of JSON to one file, and --ledger-summary
// reads such a file back as counts for the line's supervisor.
//
// A line goes in with a single write() on a descriptor opened with O_APPEND:
// the kernel places it at the end whole, so stations appending at once never
// interleave, and a station that dies (even by SIGKILL) has either written
// its whole line or none of it (a kill can cut a write only between two
// pages, very rarely; the next station then starts its line on a new one).
// The file is opened at start, so a ledger the
// run cannot write to is known before the module is touched.
#include "app/app.h"

#include "platform/kernel/text.h"
#include "platform/kernel/trust.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace app
{
namespace
{

int g_ledgerFd = -1;
std::string g_ledgerPath;

std::string folder_of(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// ---------------------------------------------------------------------------
// Reading a line back: a small JSON reader that checks the whole line and
// keeps the top-level strings.
// ---------------------------------------------------------------------------
struct JsonReader
{
    const std::string& text;
    size_t at = 0;
    int depth = 0;
    std::map<std::string, std::string>* strings; // top-level "key": "text"

    void blanks()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\r' || text[at] == '\n'))
            at++;
    }

    bool literal(const char* word)
    {
        size_t n = strlen(word);
        if (text.compare(at, n, word) != 0)
            return false;
        at += n;
        return true;
    }

    // A string; its text (escapes undone, \u as UTF-8) into out.
    bool string(std::string* out)
    {
        if (at >= text.size() || text[at] != '"')
            return false;
        at++;
        while (at < text.size() && text[at] != '"')
        {
            unsigned char c = (unsigned char)text[at++];
            if (c < 0x20)
                return false;
            if (c != '\\')
            {
                out->push_back((char)c);
                continue;
            }
            if (at >= text.size())
                return false;
            char e = text[at++];
            const char* plain = strchr("\"\\/bfnrt", e);
            if (e != 0 && plain != nullptr)
            {
                static const char kMeaning[] = "\"\\/\b\f\n\r\t";
                out->push_back(kMeaning[plain - "\"\\/bfnrt"]);
                continue;
            }
            if (e != 'u' || at + 4 > text.size())
                return false;
            unsigned code = 0;
            for (int i = 0; i < 4; i++)
            {
                char h = text[at++];
                if (!isxdigit((unsigned char)h))
                    return false;
                code = code * 16 + (unsigned)(isdigit((unsigned char)h) ? h - '0' : (tolower(h) - 'a' + 10));
            }
            if (code < 0x80)
                out->push_back((char)code);
            else if (code < 0x800)
            {
                out->push_back((char)(0xC0 | (code >> 6)));
                out->push_back((char)(0x80 | (code & 0x3F)));
            }
            else
            {
                out->push_back((char)(0xE0 | (code >> 12)));
                out->push_back((char)(0x80 | ((code >> 6) & 0x3F)));
                out->push_back((char)(0x80 | (code & 0x3F)));
            }
        }
        if (at >= text.size())
            return false;
        at++;
        return true;
    }

    bool number()
    {
        size_t start = at;
        if (at < text.size() && text[at] == '-')
            at++;
        size_t digits = at;
        while (at < text.size() && (isdigit((unsigned char)text[at]) || strchr(".eE+-", text[at]) != nullptr))
            at++;
        return at > digits && at > start;
    }

    bool value(std::string* text_out)
    {
        blanks();
        if (at >= text.size())
            return false;
        switch (text[at])
        {
            case '{':
                return object();
            case '[':
                return array();
            case '"':
            {
                std::string s;
                if (!string(&s))
                    return false;
                if (text_out != nullptr)
                    *text_out = s;
                return true;
            }
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }

    bool array()
    {
        if (++depth > 32)
            return false;
        at++; // [
        blanks();
        if (at < text.size() && text[at] == ']')
        {
            at++;
            depth--;
            return true;
        }
        for (;;)
        {
            if (!value(nullptr))
                return false;
            blanks();
            if (at < text.size() && text[at] == ',')
            {
                at++;
                continue;
            }
            if (at < text.size() && text[at] == ']')
            {
                at++;
                depth--;
                return true;
            }
            return false;
        }
    }

    bool object()
    {
        if (++depth > 32)
            return false;
        const bool top = depth == 1;
        at++; // {
        blanks();
        if (at < text.size() && text[at] == '}')
        {
            at++;
            depth--;
            return true;
        }
        for (;;)
        {
            blanks();
            std::string key;
            if (!string(&key))
                return false;
            blanks();
            if (at >= text.size() || text[at] != ':')
                return false;
            at++;
            std::string s;
            if (!value(top ? &s : nullptr))
                return false;
            if (top)
                (*strings)[key] = s;
            blanks();
            if (at < text.size() && text[at] == ',')
            {
                at++;
                continue;
            }
            if (at < text.size() && text[at] == '}')
            {
                at++;
                depth--;
                return true;
            }
            return false;
        }
    }
};

// One whole JSON object and nothing else; its top-level strings.
bool read_line(const std::string& line, std::map<std::string, std::string>* strings)
{
    JsonReader r{line, 0, 0, strings};
    r.blanks();
    if (r.at >= line.size() || line[r.at] != '{' || !r.object())
        return false;
    r.blanks();
    return r.at == line.size();
}

// "2024-05-01T10:00:00.123Z" as milliseconds since the epoch; false for
// anything else.
bool parse_utc(const std::string& text, long long* ms)
{
    struct tm t = {};
    int milli = 0;
    char z = 0;
    if (text.size() != 24 ||
        sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
               &t.tm_sec, &milli, &z) != 8 ||
        z != 'Z')
        return false;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    *ms = (long long)timegm(&t) * 1000 + milli;
    return true;
}

// A reason's headline: what went wrong, without the run's own details (the
// port, the error code) that follow it in parentheses.
std::string reason_headline(const std::string& reason)
{
    size_t paren = reason.find(" (");
    return paren == std::string::npos ? reason : reason.substr(0, paren);
}

std::string iso_of(long long ms)
{
    return iso8601_utc(std::chrono::system_clock::time_point(std::chrono::milliseconds(ms)));
}

} // namespace

bool ledger_open(const std::string& path, std::string* error)
{
    std::string reason;
    if (!plat::path_trusted(folder_of(path), plat::TrustKind::Folder, &reason))
    {
        *error = reason;
        return false;
    }
    // No link (another user's file behind a name in a shared folder), no FIFO
    // or device (an append that blocks, or goes somewhere else): said before
    // the open, and checked again on what was opened.
    struct stat before;
    if (lstat(path.c_str(), &before) == 0 && !S_ISREG(before.st_mode) && !S_ISLNK(before.st_mode))
    {
        *error = path + ": not a regular file (the ledger is a regular file, or a new one)";
        return false;
    }
    int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        *error =
            path + ": " + (errno == ELOOP ? "a symbolic link (the ledger must be a regular file)" : strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    {
        close(fd);
        *error = path + ": not a regular file (the ledger is a regular file, or a new one)";
        return false;
    }
    if (!plat::path_trusted(path, plat::TrustKind::File, &reason))
    {
        close(fd);
        *error = reason;
        return false;
    }
    g_ledgerFd = fd;
    g_ledgerPath = path;
    return true;
}

std::string ledger_line(const RunRecord& r)
{
    // The record's text has no line break inside a string (they are escaped),
    // so every line break and the indentation after it is layout.
    const std::string json = record_json(r);
    std::string line;
    line.reserve(json.size());
    for (size_t i = 0; i < json.size(); i++)
    {
        if (json[i] != '\n')
        {
            line.push_back(json[i]);
            continue;
        }
        while (i + 1 < json.size() && json[i + 1] == ' ')
            i++;
    }
    return line + "\n";
}

bool ledger_append(const RunRecord& r, std::string* error)
{
    if (g_ledgerFd < 0)
    {
        *error = "the ledger was not opened at start";
        return false;
    }
    std::string line = ledger_line(r);
    // A write cut short by a kill between two pages leaves a line without its
    // end; the next line then starts on a line of its own, so the torn one
    // stays one unreadable line and takes no whole record with it. (Another
    // station appending meanwhile costs at most an empty line.)
    struct stat st;
    char last = '\n';
    if (fstat(g_ledgerFd, &st) == 0 && st.st_size > 0 && pread(g_ledgerFd, &last, 1, st.st_size - 1) == 1 &&
        last != '\n')
        line.insert(line.begin(), '\n');
    ssize_t n;
    while ((n = write(g_ledgerFd, line.data(), line.size())) < 0 && errno == EINTR)
    {
    }
    const int err = errno;
    if (n == (ssize_t)line.size())
        fdatasync(g_ledgerFd);
    close(g_ledgerFd);
    g_ledgerFd = -1;
    if (n != (ssize_t)line.size())
    {
        *error = g_ledgerPath + ": " +
                 (n < 0 ? std::string(strerror(err)) : "only " + std::to_string(n) + " bytes of the line were written");
        return false;
    }
    return true;
}

int ledger_summary(const std::string& path)
{
    std::string reason;
    if (!plat::path_trusted(path, plat::TrustKind::File, &reason))
    {
        fprintf(stderr, "fwutil: cannot read the ledger: %s\n", plat::printable_text(reason).c_str());
        return kExitUsage;
    }
    std::ifstream in(path);
    if (!in)
    {
        fprintf(stderr, "fwutil: cannot read the ledger: %s: %s\n", plat::printable_text(path).c_str(),
                strerror(errno));
        return kExitUsage;
    }
    std::map<std::string, long> byOutcome;
    std::map<std::pair<std::string, std::string>, long> byReason;
    long runs = 0, flashed = 0, unreadable = 0, lineNo = 0, firstBad = 0;
    long long first = 0, last = 0;
    std::string line;
    while (std::getline(in, line))
    {
        lineNo++;
        if (line.empty())
            continue;
        std::map<std::string, std::string> fields;
        long long start = 0, end = 0;
        if (!read_line(line, &fields) || fields["outcome"].empty() || !parse_utc(fields["start"], &start) ||
            !parse_utc(fields["end"], &end))
        {
            unreadable++;
            firstBad = firstBad == 0 ? lineNo : firstBad;
            continue;
        }
        const std::string& outcome = fields["outcome"];
        runs++;
        flashed += outcome == "flashed";
        byOutcome[outcome]++;
        if (outcome != "flashed")
            byReason[{outcome, reason_headline(fields["reason"])}]++;
        first = runs == 1 ? start : std::min(first, start);
        last = runs == 1 ? end : std::max(last, end);
    }
    printf("ledger: %s\n", plat::printable_text(path).c_str());
    printf("runs: %ld (%ld flashed, %ld failed)\n", runs, flashed, runs - flashed);
    if (runs > 0)
    {
        const double hours = (double)(last - first) / 3600000.0;
        printf("span: %s to %s (%.2f h)\n", iso_of(first).c_str(), iso_of(last).c_str(), hours);
        if (last > first)
            printf("modules an hour: %.1f\n", (double)flashed / hours);
    }
    printf("by outcome:\n");
    std::vector<std::pair<std::string, long>> outcomes(byOutcome.begin(), byOutcome.end());
    std::stable_sort(outcomes.begin(), outcomes.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    for (const auto& o : outcomes)
        printf("  %6ld  %s\n", o.second, plat::printable_text(o.first).c_str());
    if (!byReason.empty())
    {
        printf("by reason:\n");
        std::vector<std::pair<std::pair<std::string, std::string>, long>> reasons(byReason.begin(), byReason.end());
        std::stable_sort(reasons.begin(), reasons.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        for (const auto& r : reasons)
            printf("  %6ld  %s: %s\n", r.second, plat::printable_text(r.first.first).c_str(),
                   plat::printable_text(r.first.second).c_str());
    }
    if (unreadable > 0)
        printf("unreadable lines: %ld (the first is line %ld)\n", unreadable, firstBad);
    return kExitOk;
}

} // namespace app
