// Station mode as a flashing station's script sees it: the exit status and
// the one result line for each way a run ends, the run's JSON record (checked
// field by field against a run at the simulator program over a pty, the
// image's digest against the bytes the simulator received), a stop by signal,
// and two stations side by side.
#include "tests/e2e/tool_run.h"

#include "download/image_transfer.h"
#include "download/payload.h"
#include "platform/kernel/debug.h"
#include "platform/kernel/sha256.h"
#include "platform/win32.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <dirent.h>
#include <climits>
#include <pty.h>
#include <regex>
#include <sys/file.h>
#include <sys/mount.h>
#include <thread>

namespace
{

// The raw text of a top-level field of the record ("null", "12", "\"x\"").
std::string Field(const std::string& json, const std::string& key)
{
    std::smatch m;
    std::regex re("\n  \"" + key + "\": ([^\n]*?),?\n");
    return std::regex_search(json, m, re) ? m[1].str() : "<missing>";
}

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

const std::regex kProgressLine(R"(fwutil: (firmware .+ \(.+\)|attempt \d+ of \d+|phase [a-z0-9]+|)"
                               R"(image \d+%(  [0-9.]+ [kM]?B/s  \d+:\d\d(:\d\d)? left)?))");

// Splits stderr into its progress lines and the result line, the last one.
// False when a line before the result is not a progress line.
bool SplitStderr(const std::string& err, std::vector<std::string>* progress, std::string* result)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = err.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(err.substr(start, nl - start));
    if (lines.empty() || start != err.size())
        return false;
    *result = lines.back() + "\n";
    lines.pop_back();
    for (const std::string& line : lines)
    {
        if (!std::regex_match(line, kProgressLine))
            return false;
    }
    *progress = lines;
    return true;
}

const std::regex kIsoUtc(R"("\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")");
const std::regex kResultLine(R"(fwutil: result: ([a-z-]+), port (\S+), (\d+\.\d) s(, reason: .+)?\n)");

// The IDR_FW image the tool carries, as this test program carries it too.
std::string ImageBytes()
{
    HRSRC hRes = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_FW), PAYLOAD_RESOURCE_TYPE);
    if (hRes == nullptr)
        return std::string();
    const char* data = (const char*)LockResource(LoadResource(nullptr, hRes));
    return std::string(data, SizeofResource(nullptr, hRes));
}

class StationRecord : public toolrun::ToolTest
{
protected:
    toolrun::Invocation Invocation(std::vector<std::string> args, const std::string& home = "")
    {
        toolrun::Invocation call;
        call.argv = {fwutil_, "--station", "--firmware", "standin"}; // the simulator's ptys are real ports
        call.argv.insert(call.argv.end(), args.begin(), args.end());
        std::string base = home.empty() ? dir_ : home;
        call.env = {"FWU_RUNTIME_DIR=" + base + "/rt", "XDG_STATE_HOME=" + base + "/state"};
        return call;
    }
    toolrun::Result Run(std::vector<std::string> args)
    {
        return toolrun::run(Invocation(std::move(args)));
    }

    // The built-in handheld with lines added to its simulator's section.
    std::string SimProfile(const std::string& name, const std::string& simulatorLines)
    {
        return Write(name, DefaultProfile() + "\n" + simulatorLines + "\n");
    }
    // A handheld whose module is the simulator program: its reset is a signal.
    // resetTail follows the signal in the reset command.
    std::string FwsimProfile(const std::string& name, pid_t fwsim, const std::string& resetTail = "")
    {
        return Write(name, "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
                           "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:/dev/fwutil-not-this-one\"\n"
                           "\"RIL1:\"=\"cmd:kill -USR1 " +
                               std::to_string(fwsim) + resetTail + "\"\n");
    }
};

// ---------------------------------------------------------------------------
// A whole run at the simulator program, and its record
// ---------------------------------------------------------------------------
TEST_F(StationRecord, FlashedRunAtTheSimulatorProgramEndsWith0AndWritesItsRecord)
{
    toolrun::Fwsim sim;
    ASSERT_TRUE(sim.Start()) << "fwsim did not start: " << sim.child.errText;
    const std::string profile = FwsimProfile("pty.reg", sim.child.pid);
    const std::string record = dir_ + "/record.json";
    auto before = std::chrono::system_clock::now();
    toolrun::Result r = Run({"--profile", profile, "--port", sim.path, "--report", record});
    std::string simReport = sim.Stop();
    ASSERT_EQ(r.status, 0) << r.err;

    std::vector<std::string> progress;
    std::string result;
    ASSERT_TRUE(SplitStderr(r.err, &progress, &result)) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(result, m, kResultLine)) << result;
    EXPECT_EQ(m[1].str(), "flashed");
    EXPECT_EQ(m[2].str(), sim.path);
    EXPECT_FALSE(m[4].matched) << "no reason on success";

    const std::string json = toolrun::read_file(record);
    toolrun::Invocation versionSpec;
    versionSpec.argv = {fwutil_, "--version"};
    toolrun::Result version = toolrun::run(versionSpec);
    EXPECT_EQ(Field(json, "tool"), "\"fwutil\"");
    EXPECT_EQ("fwutil " + Field(json, "version").substr(1, Field(json, "version").size() - 2) + "\n",
              version.out.substr(0, version.out.find('\n') + 1));
    char canonical[PATH_MAX];
    ASSERT_NE(realpath(profile.c_str(), canonical), nullptr);
    EXPECT_EQ(Field(json, "profile"), Quoted(canonical));
    EXPECT_EQ(Field(json, "port"), Quoted(sim.path));
    EXPECT_EQ(Field(json, "log"), Quoted(dir_ + "/state/fwutil/" + plat::debug_log_name("pty", sim.path)));
    EXPECT_EQ(Field(json, "outcome"), "\"flashed\"");
    EXPECT_EQ(Field(json, "status"), "0");
    EXPECT_EQ(Field(json, "reason"), "null");
    EXPECT_EQ(Field(json, "open_error"), "null");
    EXPECT_EQ(Field(json, "attempts"), "1");
    EXPECT_EQ(Field(json, "attempts_allowed"), "5");
    EXPECT_EQ(Field(json, "time_limit_s"), "600");

    // Start and end in UTC, around this run, as far apart as it lasted.
    std::string start = Field(json, "start"), end = Field(json, "end");
    EXPECT_TRUE(std::regex_match(start, kIsoUtc)) << start;
    EXPECT_TRUE(std::regex_match(end, kIsoUtc)) << end;
    EXPECT_LE(start, end);
    time_t t0 = std::chrono::system_clock::to_time_t(before);
    struct tm utc;
    gmtime_r(&t0, &utc);
    char day[16];
    strftime(day, sizeof(day), "%Y-%m-%d", &utc);
    EXPECT_EQ(start.substr(1, 10), day);
    long long took = std::stoll(Field(json, "duration_ms"));
    EXPECT_GT(took, 500); // the radio suspend alone takes 500 ms
    EXPECT_LE(took, r.ms);

    // Phases: named spans that add up to the whole run.
    std::regex phase(R"re(\{"name": "([a-z0-9-]+)", "ms": (\d+)\})re");
    long long sum = 0;
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), phase); it != std::sregex_iterator(); ++it)
    {
        names.push_back((*it)[1].str());
        sum += std::stoll((*it)[2].str());
    }
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "start-up");
    EXPECT_EQ(names.back(), "restart");
    // Each phase the progress lines named is a phase of the record, in its order;
    // the image's percents rise in steps of at least 10 up to 100 before verify.
    size_t at = 0;
    int lastPercent = 0;
    for (const std::string& line : progress)
    {
        if (line.rfind("fwutil: phase ", 0) == 0)
        {
            auto found = std::find(names.begin() + (long)at, names.end(), line.substr(14));
            EXPECT_NE(found, names.end()) << line;
            at = (size_t)(found - names.begin());
        }
        else if (line.rfind("fwutil: image ", 0) == 0)
        {
            int percent = std::stoi(line.substr(14));
            EXPECT_EQ(percent % 10, 0) << line;
            EXPECT_GT(percent, lastPercent) << line;
            lastPercent = percent;
        }
    }
    if (lastPercent != 0)
    {
        EXPECT_EQ(lastPercent, 100);
    }
    EXPECT_NEAR((double)sum, (double)took, 50.0);

    // The image: what this program carries, and what the simulator received.
    std::string image = ImageBytes();
    ASSERT_FALSE(image.empty());
    std::string sha = plat::sha256_hex(image.data(), image.size());
    EXPECT_NE(json.find("\"image\": {\"resource\": 110, \"bytes\": " + std::to_string(image.size()) +
                        ", \"sha256\": \"" + sha + "\"}"),
              std::string::npos)
        << json;
    char fnv[64];
    snprintf(fnv, sizeof(fnv), "hash 0x%016" PRIx64, sim_hash((const uint8_t*)image.data(), image.size()));
    EXPECT_NE(simReport.find("flashed          yes, " + std::to_string(image.size()) + " bytes, " + fnv),
              std::string::npos)
        << simReport;
    EXPECT_NE(simReport.find("sha256 image     " + sha + " (" + std::to_string(image.size()) + " bytes)"),
              std::string::npos)
        << simReport;
    std::string sent = Field(json, "bytes_sent");
    EXPECT_TRUE(sent == "null" || std::regex_match(sent, std::regex("[1-9][0-9]*"))) << sent;
}

// ---------------------------------------------------------------------------
// How a run ends: status, result line, record
// ---------------------------------------------------------------------------
TEST_F(StationRecord, EachEndHasItsOwnStatusOutcomeAndReason)
{
    // A tty this process holds the way a port holds it.
    int master = -1, slave = -1;
    char held[128];
    ASSERT_EQ(openpty(&master, &slave, held, nullptr, nullptr), 0);
    int holder = open(held, O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const std::string image = std::to_string(ImageBytes().size());
    // The link is pulled when the 4th image block arrives (occurrence 3): the
    // three before it were acknowledged, the 4th was written but never was.
    const std::string threeBlocks = std::to_string(3 * IMAGE_BLOCK_LENGTH);

    // One row per exit status: the args, the status, the outcome, what its
    // reason holds, the record's attempts and bytes_sent ("" where the run's
    // timing decides), and what the log pane (stdout) says, where it says more.
    const std::string refused = "Open Comport fail!!\r\n";
    const struct
    {
        std::vector<std::string> args;
        int status;
        std::string outcome;
        std::string reason;
        std::string attempts;
        std::string bytesSent;
        std::string pane = "";
    } rows[] = {
        {{}, 0, "flashed", "", "1", image},
        {{"--port", "/dev/fwutil-no-such-tty"},
         10,
         "not-found",
         "the port was not found (cannot open COM1: /dev/fwutil-no-such-tty: No such file or directory: is the "
         "adapter plugged in?",
         "0",
         "null",
         refused},
        {{"--port", held},
         4,
         "busy",
         "another program holds it (cannot open COM1: " + std::string(held) + ": held by another program (pid " +
             std::to_string(getpid()),
         "0",
         "null",
         refused},
        {{"--profile", SimProfile("silent.reg", "\"Faults\"=\"sync:silence:0:0:-1\""), "--attempts", "2"},
         5,
         "module-silent",
         "did not answer",
         "2",
         "null"},
        {{"--profile", SimProfile("nocheck.reg", "\"Faults\"=\"memory-check:missing\"")},
         6,
         "transfer-failed",
         "image transfer failed",
         "1",
         "null"},
        {{"--profile", SimProfile("unplug.reg", "\"Faults\"=\"image-block:unplug:3\"")},
         6,
         "link-lost",
         "link was lost",
         "1",
         threeBlocks},
        {{"--profile", SimProfile("slow.reg", "\"Faults\"=\"sync:silence:0:0:-1\""), "--timeout", "2", "--attempts",
          "100"},
         7,
         "time-limit",
         "time limit",
         "",
         "null"},
        {{"--profile",
          Write("bad.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"bogus:x\"\n")},
         2,
         "profile-refused",
         "the profile was refused (" + dir_ + "/bad.reg:4",
         "0",
         "null"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.outcome);
        const std::string record = dir_ + "/" + row.outcome + ".json";
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--report", record, "-q"});
        toolrun::Result r = Run(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        std::smatch m;
        EXPECT_TRUE(std::regex_match(r.err, m, kResultLine)) << "only the result line with -q: " << r.err;
        EXPECT_EQ(m[1].str(), row.outcome);
        EXPECT_NE(m[4].str().find(row.reason), std::string::npos) << r.err;
        EXPECT_NE(r.out.find(row.pane), std::string::npos) << row.outcome << ": " << r.out;
        const std::string json = toolrun::read_file(record);
        EXPECT_EQ(Field(json, "outcome"), Quoted(row.outcome));
        EXPECT_EQ(Field(json, "status"), std::to_string(row.status));
        EXPECT_EQ(Field(json, "reason") == "null", row.status == 0) << Field(json, "reason");
        if (!row.attempts.empty())
        {
            EXPECT_EQ(Field(json, "attempts"), row.attempts);
        }
        EXPECT_EQ(Field(json, "bytes_sent"), row.bytesSent);
    }
    close(holder);
    close(slave);
    close(master);
}

// The phases' times, summed.
long long PhaseSum(const std::string& json, std::vector<std::string>* names)
{
    std::regex phase(R"re(\{"name": "([a-z0-9-]+)", "ms": (\d+)\})re");
    long long sum = 0;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), phase); it != std::sregex_iterator(); ++it)
    {
        names->push_back((*it)[1].str());
        sum += std::stoll((*it)[2].str());
    }
    return sum;
}

// The stage-1 loader refused once (a break): the module is woken a second
// time and the second attempt flashes. Each phase is named once with the time
// of all its spans (the first wake and loader among them), and the phases
// still add up to the whole run.
TEST_F(StationRecord, PhasesOfARunThatWokeTheModuleTwiceAddUpToItsDuration)
{
    const std::string record = dir_ + "/twice.json";
    toolrun::Result r =
        Run({"--profile", SimProfile("twice.reg", "\"Faults\"=\"stage1:break:0:0:1\""), "--report", record, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string json = toolrun::read_file(record);
    EXPECT_EQ(Field(json, "attempts"), "2");
    std::vector<std::string> names;
    const long long sum = PhaseSum(json, &names);
    EXPECT_EQ(std::count(names.begin(), names.end(), "wake"), 1) << json;
    EXPECT_EQ(std::count(names.begin(), names.end(), "loader1"), 1) << json;
    EXPECT_NEAR((double)sum, (double)std::stoll(Field(json, "duration_ms")), 50.0) << json;
}

// Without -q each new attempt is a line on stderr before the result; the table
// above runs with -q and sees the result line alone.
TEST_F(StationRecord, ProgressLinesComeBeforeTheResultUnlessQuiet)
{
    toolrun::Result r =
        Run({"--profile", SimProfile("silent.reg", "\"Faults\"=\"sync:silence:0:0:-1\""), "--attempts", "2"});
    EXPECT_EQ(r.status, 5) << r.err;
    std::vector<std::string> progress;
    std::string result;
    ASSERT_TRUE(SplitStderr(r.err, &progress, &result)) << r.err;
    EXPECT_NE(std::find(progress.begin(), progress.end(), "fwutil: attempt 2 of 2"), progress.end()) << r.err;
    EXPECT_EQ(result.rfind("fwutil: result: module-silent, port sim, ", 0), 0u) << result;
}

// The image's progress lines carry the rate and the time left, as the
// headless window's line does (a simulator paced at 8 Mbaud: 3.4 s of image).
TEST_F(StationRecord, ImageProgressLinesCarryTheRateAndTimeLeft)
{
    toolrun::Result r = Run({"--profile", SimProfile("paced.reg", "\"Baud\"=dword:007a1200")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> progress;
    std::string result;
    ASSERT_TRUE(SplitStderr(r.err, &progress, &result)) << r.err;
    int images = 0;
    for (const std::string& line : progress)
    {
        if (line.rfind("fwutil: image ", 0) != 0)
            continue;
        images++;
        EXPECT_TRUE(std::regex_match(line, std::regex(R"(fwutil: image \d+%  [0-9.]+ [kM]?B/s  \d+:\d\d left)")))
            << line;
    }
    EXPECT_GE(images, 5) << r.err;
}

TEST_F(StationRecord, PortThisUserMayNotOpenEndsWith11)
{
    uid_t uid;
    gid_t gid;
    std::string why;
    if (!toolrun::second_user(&uid, &gid, &why))
        GTEST_SKIP() << why;
    if (access(fwutil_.c_str(), X_OK) != 0)
        GTEST_SKIP() << "fwutil is not reachable";
    // A tty only root may open; the run is the second user's.
    int master = -1, slave = -1;
    char tty[128];
    ASSERT_EQ(openpty(&master, &slave, tty, nullptr, nullptr), 0);
    ASSERT_EQ(chmod(tty, 0600), 0);
    const std::string home = dir_ + "/user2";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    ASSERT_EQ(chown(home.c_str(), uid, gid), 0);
    toolrun::Invocation call = Invocation({"--port", tty}, home);
    call.asUser = true;
    call.uid = uid;
    call.gid = gid;
    toolrun::Result r = toolrun::run(call);
    close(slave);
    close(master);
    if (r.status == 121 || r.status == 127)
        GTEST_SKIP() << "cannot run fwutil as the second user (status " << r.status << "): " << r.err;
    EXPECT_EQ(r.status, 11) << r.err;
    EXPECT_NE(r.err.find("fwutil: result: permission-denied, port " + std::string(tty)), std::string::npos) << r.err;
}

// A record that cannot be written is the run's status (14), not a line a
// script never reads: on a full filesystem the earlier run's record stays
// whole and no temporary file is left.
TEST_F(StationRecord, RecordThatCannotBeWrittenEndsWith14AndLeavesTheEarlierOne)
{
    const std::string full = dir_ + "/full";
    ASSERT_EQ(mkdir(full.c_str(), 0755), 0);
    if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
    const std::string record = full + "/r.json";
    std::ofstream(record) << "{\"earlier\": 1}\n";
    {
        std::ofstream filler(full + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        for (int i = 0; i < 64 && filler.write(block.data(), (std::streamsize)block.size()); i++)
            filler.flush();
    }
    toolrun::Result r = Run({"--port", dir_ + "/no-such-tty", "--report", record});
    const std::string after = toolrun::read_file(record);
    std::vector<std::string> names;
    if (DIR* d = opendir(full.c_str()))
    {
        while (struct dirent* e = readdir(d))
        {
            if (e->d_name[0] != '.' || strncmp(e->d_name, ".fwutil", 7) == 0)
                names.push_back(e->d_name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    umount(full.c_str());
    EXPECT_EQ(r.status, 14) << r.err;
    EXPECT_NE(r.err.find("fwutil: result: not-found, port " + dir_ + "/no-such-tty"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("fwutil: cannot write the record: " + record + ": No space left on device"), std::string::npos)
        << r.err;
    EXPECT_EQ(after, "{\"earlier\": 1}\n");
    EXPECT_EQ(names, (std::vector<std::string>{"filler", "r.json"})) << "no temporary record left";
}

// Control characters a profile's value or a command's output carries reach
// stderr (the warnings, the result line) and the device's log written out,
// never raw: an OSC title and a clear screen must not drive the terminal.
TEST_F(StationRecord, ControlCharactersFromTheProfileAndCommandsAreWrittenOutForPeople)
{
    const std::string port = "/dev/x\x1b]0;PWNED\x07\x1b[2J";
    const std::string profile =
        Write("ctl.reg", DefaultProfile() + "\n[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:" + port +
                             "\"\n\"RIL1:\"=\"cmd:printf '\\\\033[2Jcleared\\\\n'\"\n");
    toolrun::Result r = Run({"--profile", profile});
    const std::string log = toolrun::read_file(dir_ + "/state/fwutil/" + plat::debug_log_name("ctl", port));
    const std::string shown = "/dev/x\\x1b]0;PWNED\\x07\\x1b[2J";
    EXPECT_EQ(r.status, 10) << r.err;
    EXPECT_NE(r.err.find("fwutil: result: not-found, port " + shown + ", "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("this later one wins: \"tty:" + shown + "\""), std::string::npos) << r.err;
    EXPECT_NE(log.find("RIL1: \\x1b[2Jcleared\n"), std::string::npos) << log;
    EXPECT_NE(log.find("COM1:=" + shown + " "), std::string::npos) << log;
    EXPECT_EQ(r.err.find_first_of("\x1b\x07"), std::string::npos) << r.err;
    EXPECT_EQ(log.find_first_of("\x1b\x07"), std::string::npos) << log;
}

TEST_F(StationRecord, StopBySignalEndsWith128PlusItAndWritesTheRecord)
{
    const std::string record = dir_ + "/stopped.json";
    toolrun::Invocation call = Invocation({"--profile", SimProfile("silent.reg", "\"Faults\"=\"sync:silence:0:0:-1\""),
                                           "--attempts", "100", "--report", record});
    call.limitMs = 20000;
    std::atomic<pid_t> pid{0};
    call.started = &pid;
    toolrun::Result r;
    std::thread runner([&] { r = toolrun::run(call); });
    // Once the run is under way (its log has its first attempt), stop it.
    const std::string log = dir_ + "/state/fwutil/" + plat::debug_log_name("silent", "sim");
    for (int i = 0; i < 100 && toolrun::read_file(log).find("!Cast 55h!") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_GT(pid.load(), 0);
    kill(pid.load(), SIGTERM);
    runner.join();
    EXPECT_EQ(r.status, 128 + SIGTERM) << r.err;
    EXPECT_NE(r.err.find("fwutil: result: interrupted, port sim, "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("stopped by signal 15 (TERM)"), std::string::npos) << r.err;
    const std::string json = toolrun::read_file(record);
    EXPECT_EQ(Field(json, "outcome"), "\"interrupted\"");
    EXPECT_EQ(Field(json, "status"), std::to_string(128 + SIGTERM));
}

// ---------------------------------------------------------------------------
// Side by side
// ---------------------------------------------------------------------------
// The module's boot ROM answers the first sync after its reset at once; a
// reset command that ends a while after its signal returns only when that
// answer is already waiting. It is the answer of this attempt.
TEST_F(StationRecord, AnswerThatCameBeforeTheResetCallReturnedIsTaken)
{
    toolrun::Fwsim sim;
    ASSERT_TRUE(sim.Start()) << sim.child.errText;
    const std::string profile = FwsimProfile("late.reg", sim.child.pid, "; sleep 0.3");
    toolrun::Result r = Run({"--profile", profile, "--port", sim.path, "--report", dir_ + "/late.json"});
    sim.Stop();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Field(toolrun::read_file(dir_ + "/late.json"), "attempts"), "1");
}

TEST_F(StationRecord, TwoStationsRunSideBySide)
{
    toolrun::Fwsim simA, simB;
    ASSERT_TRUE(simA.Start()) << simA.child.errText;
    ASSERT_TRUE(simB.Start()) << simB.child.errText;
    const std::string profileA = FwsimProfile("a.reg", simA.child.pid);
    const std::string profileB = FwsimProfile("b.reg", simB.child.pid);
    toolrun::Result a, b;
    std::thread runA(
        [&] {
            a = toolrun::run(Invocation({"--profile", profileA, "--port", simA.path, "--report", dir_ + "/a.json"}));
        });
    std::thread runB(
        [&] {
            b = toolrun::run(Invocation({"--profile", profileB, "--port", simB.path, "--report", dir_ + "/b.json"}));
        });
    runA.join();
    runB.join();
    simA.Stop();
    simB.Stop();
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(Field(toolrun::read_file(dir_ + "/a.json"), "port"), Quoted(simA.path));
    EXPECT_EQ(Field(toolrun::read_file(dir_ + "/b.json"), "port"), Quoted(simB.path));
    // Each its own log.
    EXPECT_NE(Field(toolrun::read_file(dir_ + "/a.json"), "log"), Field(toolrun::read_file(dir_ + "/b.json"), "log"));
}

// One profile for every adapter: its reset finds the simulator behind the
// port it is told (a pid file named after the port), so each station's reset
// reaches its own module and neither breaks the other's transfer.
TEST_F(StationRecord, OneProfileForTwoAdaptersEachResetReachesItsOwnModule)
{
    toolrun::Fwsim simA, simB;
    ASSERT_TRUE(simA.Start()) << simA.child.errText;
    ASSERT_TRUE(simB.Start()) << simB.child.errText;
    ASSERT_EQ(mkdir((dir_ + "/pids").c_str(), 0755), 0);
    for (const toolrun::Fwsim* sim : {&simA, &simB})
        Write("pids/" + sim->path.substr(sim->path.rfind('/') + 1) + ".pid", std::to_string(sim->child.pid));
    const std::string profile =
        Write("line.reg", "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Platform]\n\"Restart\"=\"exit\"\n\n"
                          "[HKEY_LOCAL_MACHINE\\Platform\\Devices]\n\"COM1:\"=\"tty:/dev/fwutil-not-this-one\"\n"
                          "\"RIL1:\"=\"cmd:kill -USR1 $(cat " +
                              dir_ + "/pids/${FWU_PORT##*/}.pid)\"\n");
    toolrun::Result a, b;
    auto station = [&](const toolrun::Fwsim& sim, const char* record, toolrun::Result* r)
    {
        *r = toolrun::run(
            Invocation({"--profile", profile, "--port", sim.path, "--attempts", "2", "--report", dir_ + "/" + record}));
    };
    std::thread runA(station, std::cref(simA), "a.json", &a);
    std::thread runB(station, std::cref(simB), "b.json", &b);
    runA.join();
    runB.join();
    const std::string reportA = simA.Stop(), reportB = simB.Stop();
    EXPECT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(Field(toolrun::read_file(dir_ + "/a.json"), "attempts"), "1");
    EXPECT_EQ(Field(toolrun::read_file(dir_ + "/b.json"), "attempts"), "1");
    // Each module was reset by its own station alone: its suspend, resume and
    // reset each run the command once.
    std::regex resets(R"(\n  resets +(\d+)\n)");
    std::smatch ma, mb;
    ASSERT_TRUE(std::regex_search(reportA, ma, resets)) << reportA;
    ASSERT_TRUE(std::regex_search(reportB, mb, resets)) << reportB;
    EXPECT_EQ(ma[1].str(), "3") << reportA;
    EXPECT_EQ(mb[1].str(), "3") << reportB;
}

// A lost link names its cause: the result line says which call failed on
// which device and why, and the record holds it beside the reason.
TEST_F(StationRecord, LinkLostNamesTheFailedCall)
{
    const std::string record = dir_ + "/lost.json";
    toolrun::Result r =
        Run({"--profile", SimProfile("unplug.reg", "\"Faults\"=\"image-block:unplug:3\""), "--report", record, "-q"});
    EXPECT_EQ(r.status, 6) << r.err;
    const std::regex inLine("reason: the link was lost during the update \\((read|write|poll) on [^ ]+ failed: "
                            "(Input/output error|the device hung up) \\(the adapter was unplugged\\?\\)\\)\n");
    EXPECT_TRUE(std::regex_search(r.err, inLine)) << r.err;
    const std::regex inRecord("\"cause\": \\{\"call\": \"(read|write|poll)\", \"device\": \"[^\"]+\", \"errno\": "
                              "(5|0), \"text\": \"[^\"]+\"\\},\n  \"open_error\": null");
    EXPECT_TRUE(std::regex_search(toolrun::read_file(record), inRecord)) << toolrun::read_file(record);
}

} // namespace
