// A station started by systemd writes its outcome to the journal as
// structured fields. No journald is needed: the station runs in a private
// mount namespace whose /run/systemd/journal is this test's folder, and the
// test reads the datagram libsystemd sent to its socket there (root only, as
// in CI; skipped elsewhere).
#include "tests/e2e/tool_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <regex>
#include <sys/socket.h>
#include <sys/un.h>

namespace
{

// The journal's native protocol: "NAME=value\n", or for a value with a line
// break "NAME\n", its length (64 bits, little-endian), the value and "\n".
bool ParseEntry(const std::string& d, std::map<std::string, std::string>* fields)
{
    size_t at = 0;
    while (at < d.size())
    {
        size_t end = d.find_first_of("=\n", at);
        if (end == std::string::npos)
            return false;
        std::string name = d.substr(at, end - at);
        if (d[end] == '=')
        {
            size_t nl = d.find('\n', end);
            if (nl == std::string::npos)
                return false;
            (*fields)[name] = d.substr(end + 1, nl - end - 1);
            at = nl + 1;
            continue;
        }
        if (end + 9 > d.size())
            return false;
        uint64_t n = 0;
        for (int i = 7; i >= 0; i--)
            n = n << 8 | (unsigned char)d[end + 1 + i];
        if (end + 9 + n + 1 > d.size())
            return false;
        (*fields)[name] = d.substr(end + 9, n);
        at = end + 9 + n + 1;
    }
    return true;
}

class Journal : public toolrun::ToolTest
{
protected:
    void SetUp() override
    {
        toolrun::ToolTest::SetUp();
        if (IsSkipped())
            return;
        if (geteuid() != 0 || access("/usr/bin/unshare", X_OK) != 0)
            GTEST_SKIP() << "a private /run/systemd/journal needs root and unshare (the tests run as root in CI)";
        ASSERT_EQ(mkdir((dir_ + "/journal").c_str(), 0755), 0);
        sock_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock_, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        const std::string path = dir_ + "/journal/socket";
        ASSERT_LT(path.size(), sizeof(a.sun_path));
        memcpy(a.sun_path, path.c_str(), path.size());
        ASSERT_EQ(bind(sock_, (struct sockaddr*)&a, sizeof(a)), 0) << strerror(errno);
    }
    void TearDown() override
    {
        if (sock_ >= 0)
            close(sock_);
    }

    // fwutil with args and env, where /run/systemd/journal is this test's folder.
    toolrun::Result RunUnderJournal(std::vector<std::string> args, std::vector<std::string> env)
    {
        toolrun::Invocation call;
        call.argv = {"/usr/bin/unshare",
                     "--mount",
                     "--propagation",
                     "private",
                     "sh",
                     "-c",
                     "mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/journal && "
                     "mount --bind \"$0\" /run/systemd/journal && exec \"$@\"",
                     dir_ + "/journal",
                     fwutil_};
        call.argv.insert(call.argv.end(), args.begin(), args.end());
        call.env = {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state", "INVOCATION_ID",
                    "JOURNAL_STREAM"};
        call.env.insert(call.env.end(), env.begin(), env.end());
        return toolrun::run(call);
    }

    // The entries that arrived, each parsed; an entry that does not parse fails the test.
    std::vector<std::map<std::string, std::string>> Entries()
    {
        std::vector<std::map<std::string, std::string>> entries;
        char buffer[65536];
        ssize_t n;
        while ((n = recv(sock_, buffer, sizeof(buffer), MSG_DONTWAIT)) > 0)
        {
            std::map<std::string, std::string> fields;
            EXPECT_TRUE(ParseEntry(std::string(buffer, (size_t)n), &fields)) << std::string(buffer, (size_t)n);
            entries.push_back(fields);
        }
        return entries;
    }

    int sock_ = -1;
};

struct JournalCase
{
    const char* name;
    const char* env;     // what systemd sets, or "" for a run outside systemd
    const char* profile; // "": the built-in one; else a profile file (DIR: the test's folder) that is not there
    int status;
    // NAME=regex of each field; empty: no entry at all.
    std::vector<std::pair<const char*, const char*>> fields;
};

const char kAbsent[] = "<absent>";

// clang-format off
static const JournalCase kCases[] = {
    {"UnitProcess", "INVOCATION_ID=5a3e1c0f7f2b4d8c9b1e2f3a4b5c6d7e", "", 0, {
        {"MESSAGE", R"(result: flashed, port sim, \d+\.\d s)"},
        {"MESSAGE_ID", "bd94a7997f714205bb765e1efee02ddb"},
        {"PRIORITY", "6"},
        {"SYSLOG_IDENTIFIER", "fwutil"},
        {"PORT", "sim"},
        {"OUTCOME", "flashed"},
        {"STATUS", "0"},
        {"DURATION_MS", R"([1-9]\d*)"},
        {"IMAGE_SHA256", "[0-9a-f]{64}"},
        {"REASON", kAbsent}}},
    {"OutputToTheJournal", "JOURNAL_STREAM=9:31337", "DIR/missing.reg", 2, {
        {"MESSAGE", R"(result: profile-refused, port -, \d+\.\d s, reason: the profile was refused \(.*missing\.reg.*\))"},
        {"PRIORITY", "3"},
        {"PORT", "-"},
        {"OUTCOME", "profile-refused"},
        {"STATUS", "2"},
        {"REASON", R"(the profile was refused \(.*missing\.reg.*\))"}}},
    {"OutsideSystemd", "", "", 0, {}},
};
// clang-format on

TEST_F(Journal, StationUnderSystemdWritesItsOutcomeAsFields)
{
    for (const JournalCase& c : kCases)
    {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--station", "-q"};
        if (c.profile[0] != 0)
            args.insert(args.end(), {"--profile", std::regex_replace(c.profile, std::regex("DIR"), dir_)});
        std::vector<std::string> env;
        if (c.env[0] != 0)
            env.push_back(c.env);
        toolrun::Result r = RunUnderJournal(args, env);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.find("did not reach the journal"), std::string::npos) << r.err;
        const std::vector<std::map<std::string, std::string>> entries = Entries();
        if (c.fields.empty())
        {
            EXPECT_TRUE(entries.empty());
            continue;
        }
        ASSERT_EQ(entries.size(), 1u);
        const std::map<std::string, std::string>& got = entries[0];
        for (const auto& [name, pattern] : c.fields)
        {
            auto it = got.find(name);
            if (pattern == kAbsent)
            {
                EXPECT_EQ(it, got.end()) << name << "=" << it->second;
                continue;
            }
            ASSERT_NE(it, got.end()) << name;
            EXPECT_TRUE(std::regex_match(it->second, std::regex(pattern))) << name << "=" << it->second;
        }
    }
}

} // namespace
