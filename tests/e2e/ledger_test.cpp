// The ledger as a line's scripts see it: stations appending to one file at
// once, some of them killed, leave only whole lines; a ledger that is not a
// regular file of a trusted folder is refused before the run; the summary
// counts runs by outcome and reason and tells apart lines that are not a
// whole record.
#include "tests/e2e/tool_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/stat.h>

namespace
{

class Ledger : public toolrun::ToolTest
{
protected:
    std::vector<std::string> Env()
    {
        return {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state"};
    }
    toolrun::Result Run(std::vector<std::string> args)
    {
        toolrun::Invocation call;
        call.argv = {fwutil_};
        call.argv.insert(call.argv.end(), args.begin(), args.end());
        call.env = Env();
        return toolrun::run(call);
    }
    std::vector<std::string> Lines(const std::string& path)
    {
        std::vector<std::string> lines;
        const std::string text = toolrun::read_file(path);
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(text.substr(start, nl - start));
        EXPECT_EQ(start, text.size()) << "the ledger ends inside a line";
        return lines;
    }
};

// Six stations (six devices: a profile each) append to one ledger at once;
// three are killed with SIGKILL half way through their run.
TEST_F(Ledger, StationsAppendingAtOnceSomeKilledLeaveOnlyWholeLines)
{
    constexpr int kStations = 6;
    const std::string ledger = dir_ + "/line.jsonl";
    std::vector<std::unique_ptr<testproc::Child>> children;
    for (int i = 0; i < kStations; i++)
    {
        const std::string profile = Write("station" + std::to_string(i) + ".reg", DefaultProfile());
        children.push_back(std::make_unique<testproc::Child>());
        ASSERT_TRUE(testproc::spawn(*children.back(),
                                    {fwutil_, "--station", "-q", "--profile", profile, "--ledger", ledger}, Env()));
    }
    for (int i = 0; i < kStations; i += 2)
    {
        // Its loaders are in: the image is on its way.
        ASSERT_TRUE(testproc::read_until(*children[i], "Bootload2 updated!!", 30000)) << children[i]->outText;
        kill(children[i]->pid, SIGKILL);
    }
    for (int i = 0; i < kStations; i++)
    {
        const int status = testproc::wait_exit(*children[i], 60000);
        EXPECT_EQ(status, i % 2 == 0 ? 128 + SIGKILL : 0) << children[i]->errText;
    }
    const std::vector<std::string> lines = Lines(ledger);
    ASSERT_EQ(lines.size(), (size_t)kStations / 2);
    for (const std::string& line : lines)
    {
        EXPECT_EQ(line.front(), '{') << line;
        EXPECT_EQ(line.back(), '}') << line;
        EXPECT_NE(line.find("\"outcome\": \"flashed\""), std::string::npos) << line;
    }
    // Each survivor's line, once: the odd stations' profiles.
    for (int i = 1; i < kStations; i += 2)
    {
        const std::string name = "station" + std::to_string(i) + ".reg\"";
        int seen = 0;
        for (const std::string& line : lines)
            seen += line.find(name) != std::string::npos;
        EXPECT_EQ(seen, 1) << name;
    }
    // The summary reads every line as a whole record.
    toolrun::Result summary = Run({"--ledger-summary", ledger});
    EXPECT_EQ(summary.status, 0) << summary.err;
    EXPECT_NE(summary.out.find("runs: 3 (3 flashed, 0 failed)\n"), std::string::npos) << summary.out;
    EXPECT_EQ(summary.out.find("unreadable"), std::string::npos) << summary.out;
}

// A failed run's line carries its outcome and reason, as the record does.
TEST_F(Ledger, FailedRunIsAppendedWithItsOutcome)
{
    const std::string ledger = dir_ + "/line.jsonl";
    toolrun::Result r = Run({"--station", "-q", "--profile", dir_ + "/missing.reg", "--ledger", ledger});
    EXPECT_EQ(r.status, 2) << r.err;
    const std::vector<std::string> lines = Lines(ledger);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"outcome\": \"profile-refused\""), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("\"reason\": \"the profile was refused ("), std::string::npos) << lines[0];
}

// A ledger whose last line was cut short: the next run's line starts on a
// line of its own, and only the torn one is lost.
TEST_F(Ledger, LineAfterATornOneStartsOnItsOwnLine)
{
    const std::string ledger = Write("line.jsonl", "{\"tool\": \"fwutil\",\"outcome\": \"fla");
    toolrun::Result r = Run({"--station", "-q", "--ledger", ledger});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(ledger);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("{\"tool\": \"fwutil\",\"version\"", 0), 0u) << lines[1];
    toolrun::Result summary = Run({"--ledger-summary", ledger});
    EXPECT_NE(summary.out.find("runs: 1 (1 flashed, 0 failed)\n"), std::string::npos) << summary.out;
    EXPECT_NE(summary.out.find("unreadable lines: 1 (the first is line 1)\n"), std::string::npos) << summary.out;
}

struct RefusedCase
{
    const char* name;
    const char* setup; // shell run in DIR before the station
    const char* ledger;
    const char* says;
};

// clang-format off
// name              setup                                              ledger               says
static const RefusedCase kRefused[] = {
    {"Link",         "touch DIR/real && ln -s real DIR/link",           "DIR/link",          "a symbolic link"},
    {"Fifo",         "mkfifo DIR/fifo",                                 "DIR/fifo",          "not a regular file"},
    {"Folder",       "mkdir DIR/sub",                                   "DIR/sub",           "not a regular file"},
    {"OpenFolder",   "mkdir -m 0777 DIR/open",                          "DIR/open/l.jsonl",  "writable by group or others"},
    {"OpenFile",     "touch DIR/open.jsonl && chmod 0666 DIR/open.jsonl", "DIR/open.jsonl",  "writable by group or others"},
};
// clang-format on

TEST_F(Ledger, LedgerThatIsNotASafeRegularFileIsRefusedBeforeTheRun)
{
    for (const RefusedCase& c : kRefused)
    {
        SCOPED_TRACE(c.name);
        auto expand = [&](std::string s)
        {
            for (size_t at; (at = s.find("DIR")) != std::string::npos;)
                s.replace(at, 3, dir_);
            return s;
        };
        ASSERT_EQ(system(expand(c.setup).c_str()), 0);
        toolrun::Result r = Run({"--station", "-q", "--ledger", expand(c.ledger)});
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_NE(r.err.find("fwutil: cannot write to the ledger: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(expand(c.says)), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << "the run started";
    }
}

// ---------------------------------------------------------------------------
// The summary
// ---------------------------------------------------------------------------
std::string Line(const char* outcome, const char* reason, const char* start, const char* end)
{
    return std::string("{\"tool\": \"fwutil\",\"port\": \"/dev/ttyUSB0\",\"start\": \"") + start + "\",\"end\": \"" +
           end + "\",\"outcome\": \"" + outcome + "\",\"reason\": " + reason +
           ",\"phases\": [{\"name\": \"open\", \"ms\": 2}],\"image\": {\"sha256\": null}}\n";
}

TEST_F(Ledger, SummaryCountsByOutcomeAndReason)
{
    std::string text;
    text += Line("flashed", "null", "2024-05-01T10:00:00.000Z", "2024-05-01T10:00:40.000Z");
    text += Line("module-silent", "\"the module did not answer (COM1: is /dev/ttyUSB0)\"", "2024-05-01T10:10:00.000Z",
                 "2024-05-01T10:10:30.000Z");
    text += Line("flashed", "null", "2024-05-01T10:20:00.000Z", "2024-05-01T10:20:40.000Z");
    text += Line("module-silent", "\"the module did not answer (COM1: is /dev/ttyUSB1)\"", "2024-05-01T10:30:00.000Z",
                 "2024-05-01T10:30:30.000Z");
    text += Line("busy", "\"the port is busy\"", "2024-05-01T10:40:00.000Z", "2024-05-01T10:40:01.000Z");
    text += Line("flashed", "null", "2024-05-01T10:59:00.000Z", "2024-05-01T11:00:00.000Z");
    text += "\n"; // an empty line is no run
    text += Line("flashed", "null", "2024-05-01T11:00:00.000Z", "2024-05-01T11:00:40.000Z").substr(0, 60);
    const std::string ledger = Write("line.jsonl", text);
    toolrun::Result r = Run({"--ledger-summary", ledger});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ledger: " + ledger +
                         "\n"
                         "runs: 6 (3 flashed, 3 failed)\n"
                         "span: 2024-05-01T10:00:00.000Z to 2024-05-01T11:00:00.000Z (1.00 h)\n"
                         "modules an hour: 3.0\n"
                         "by outcome:\n"
                         "       3  flashed\n"
                         "       2  module-silent\n"
                         "       1  busy\n"
                         "by reason:\n"
                         "       2  module-silent: the module did not answer\n"
                         "       1  busy: the port is busy\n"
                         "unreadable lines: 1 (the first is line 8)\n");
}

// clang-format off
// A line that is not one whole record is not counted as a run.
static const char* const kNotARecord[] = {
    "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\"",
    "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\"}}",
    "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\",}",
    "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\", \"x\": [1,}",
    "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"yesterday\"}",
    "{\"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\"}",
    "[{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\"}]",
    "{\"outcome\": \"flas",
};
// clang-format on

TEST_F(Ledger, SummaryCountsALineThatIsNotAWholeRecordApart)
{
    const std::string whole =
        "{\"outcome\": \"flashed\", \"start\": \"2024-05-01T10:00:00.000Z\", \"end\": \"2024-05-01T10:00:01.000Z\"}\n";
    for (const char* bad : kNotARecord)
    {
        SCOPED_TRACE(bad);
        const std::string ledger = Write("line.jsonl", whole + bad + "\n" + whole);
        toolrun::Result r = Run({"--ledger-summary", ledger});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("runs: 2 (2 flashed, 0 failed)\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("unreadable lines: 1 (the first is line 2)\n"), std::string::npos) << r.out;
    }
}

TEST_F(Ledger, SummaryOfALedgerThatCannotBeReadEndsWith2)
{
    toolrun::Result r = Run({"--ledger-summary", dir_ + "/none.jsonl"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(dir_ + "/none.jsonl"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

} // namespace
