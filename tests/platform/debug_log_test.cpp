// The per-device debug log a person reads: its name, its folder (and the
// checks on the shared fallback folder), the file's careful opening (links,
// FIFOs and other users' files refused), rotation at its bound, time stamps,
// and lines that never run on into the next.
#include "platform/kernel/debug.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr uid_t kOtherUid = 54321; // any user but this one: root may chown to it

std::string ReadWhole(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

class DebugLog : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
        path_ = dir_ + "/fwutil-test-port.log";
    }
    void TearDown() override
    {
        plat::debug_set_sink_stderr();
        plat::debug_set_format(plat::DebugFormat::Raw);
    }
    testsupport::TempDir tmp_{"debug_log_test"};
    std::string dir_ = tmp_.path();
    std::string path_;
};

// ---------------------------------------------------------------------------
// Name and folder
// ---------------------------------------------------------------------------
// The hash is the first 8 hex digits of SHA-256 of "PROFILE\nPORT" as given
// (printf 'p\n/tmp/p:1' | sha256sum).
TEST(DebugLogName, ComesFromTheProfileAndThePort)
{
    const std::string longName(240, 'n');
    // profile        port              name
    const struct
    {
        std::string profile;
        const char* port;
        std::string name;
    } rows[] = {
        {"built-in", "sim", "fwutil-built-in-sim-c3ad7ea3.log"},
        {"adapter", "/dev/ttyUSB0", "fwutil-adapter-ttyUSB0-9232be98.log"},
        {"pty", "/dev/pts/7", "fwutil-pty-pts-7-f467f77b.log"},
        {"my lab", "cable:x:a", "fwutil-my-lab-cable-x-a-3b8d453b.log"},
        {"../up", "/tmp/../etc/tty", "fwutil-up-tmp-..-etc-tty-2b926551.log"},
        {"", "", "fwutil-none-none-01ba4719.log"},
        // ports that reduce alike keep logs of their own
        {"p", "/tmp/p:1", "fwutil-p-tmp-p-1-0b0f9c64.log"},
        {"p", "/tmp/p-1", "fwutil-p-tmp-p-1-18bc1483.log"},
        // a long name is cut: the file system takes the name (and its ".1")
        {longName, "sim", "fwutil-" + std::string(plat::kDebugLogPartMax, 'n') + "-sim-"},
    };
    for (const auto& row : rows)
    {
        std::string name = plat::debug_log_name(row.profile, row.port);
        if (row.profile == longName)
            EXPECT_EQ(name.rfind(row.name, 0), 0u) << name;
        else
            EXPECT_EQ(name, row.name);
        EXPECT_EQ(name.find('/'), std::string::npos) << name;
        EXPECT_LE(name.size() + 2, (size_t)NAME_MAX) << name;
    }
}

// A 240-character profile name still gets its log.
TEST_F(DebugLog, LongProfileNameStillGetsItsLog)
{
    const std::string path = dir_ + "/" + plat::debug_log_name(std::string(240, 'n'), "/dev/ttyUSB0");
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path, plat::kDebugLogRotateBytes, &error)) << error;
    plat::debug_write(u"line\r\n");
    plat::debug_set_sink_off();
    EXPECT_NE(ReadWhole(path).find("line"), std::string::npos);
}

TEST_F(DebugLog, FolderFollowsXdgStateHomeThenHome)
{
    // XDG_STATE_HOME       HOME           folder
    const struct
    {
        const char* state;
        const char* home;
        const char* folder;
    } rows[] = {
        {"/s", "/h", "/s/fwutil"},
        {nullptr, "/h", "/h/.local/state/fwutil"},
        {"relative", "/h", "/h/.local/state/fwutil"},
    };
    for (const auto& row : rows)
    {
        std::string state = row.state != nullptr && row.state[0] == '/' ? dir_ + row.state : "relative";
        if (row.state != nullptr)
            setenv("XDG_STATE_HOME", state.c_str(), 1);
        else
            unsetenv("XDG_STATE_HOME");
        setenv("HOME", (dir_ + row.home).c_str(), 1);
        std::string folder, error;
        ASSERT_TRUE(plat::debug_log_folder(&folder, &error)) << error;
        EXPECT_EQ(folder, dir_ + row.folder);
        struct stat st;
        ASSERT_EQ(lstat(folder.c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

// Without HOME or XDG_STATE_HOME the log goes to the namespace's folder, in
// /tmp by default: another user may have made it first.
TEST_F(DebugLog, SharedFallbackFolderMustBeThisUsersAndClosed)
{
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    const std::string fallback = dir_ + "/fwutil-fallback";
    setenv("FWU_RUNTIME_DIR", fallback.c_str(), 1);
    std::string folder, error;
    ASSERT_TRUE(plat::debug_log_folder(&folder, &error)) << error;
    EXPECT_EQ(folder, fallback);
    struct stat st;
    ASSERT_EQ(stat(fallback.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // what another user left there                      the refusal says
    ASSERT_EQ(chmod(fallback.c_str(), 0777), 0);
    EXPECT_FALSE(plat::debug_log_folder(&folder, &error));
    EXPECT_NE(error.find("open to group or others"), std::string::npos) << error;
    ASSERT_EQ(chmod(fallback.c_str(), 0700), 0);

    ASSERT_EQ(rmdir(fallback.c_str()), 0);
    ASSERT_EQ(mkdir((dir_ + "/elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink((dir_ + "/elsewhere").c_str(), fallback.c_str()), 0);
    EXPECT_FALSE(plat::debug_log_folder(&folder, &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;
    ASSERT_EQ(unlink(fallback.c_str()), 0);

    if (geteuid() != 0)
        GTEST_SKIP() << "a folder of another user needs root to make (chown)";
    ASSERT_EQ(mkdir(fallback.c_str(), 0700), 0);
    ASSERT_EQ(chown(fallback.c_str(), kOtherUid, kOtherUid), 0);
    EXPECT_FALSE(plat::debug_log_folder(&folder, &error));
    EXPECT_NE(error.find("owned by user " + std::to_string(kOtherUid)), std::string::npos) << error;
}

// ---------------------------------------------------------------------------
// Opening the file
// ---------------------------------------------------------------------------
TEST_F(DebugLog, WhatIsNotThisUsersRegularFileIsRefusedAndTheSinkStays)
{
    const std::string kept = dir_ + "/kept.log";
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(kept, 0, &error)) << error;

    // A link to a file the attacker wants written.
    const std::string victim = dir_ + "/victim";
    std::ofstream(victim) << "precious\n";
    const std::string link = dir_ + "/link.log";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    // FIFOs: one nobody reads, one somebody reads (open must not wait on either).
    const std::string fifo = dir_ + "/fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string readFifo = dir_ + "/read-fifo.log";
    ASSERT_EQ(mkfifo(readFifo.c_str(), 0600), 0);
    int reader = open(readFifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string folder = dir_ + "/folder.log";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);

    // path        refusal names
    const struct
    {
        std::string path;
        const char* says;
    } rows[] = {
        {link, "symbolic link"}, {fifo, "FIFO"}, {readFifo, "a FIFO"}, {folder, ""}, {"/dev/null", "not a terminal"},
    };
    for (const auto& row : rows)
    {
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(plat::debug_set_sink_log(row.path, 0, &error)) << row.path;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << row.path;
        EXPECT_EQ(error.rfind(row.path + ": ", 0), 0u) << error;
        EXPECT_NE(error.find(row.says), std::string::npos) << error;
    }
    close(reader);
    NKDbgPrintfW(u"still the old sink\n");
    EXPECT_EQ(ReadWhole(kept), "still the old sink\n");
    EXPECT_EQ(ReadWhole(victim), "precious\n");

    if (geteuid() != 0)
        GTEST_SKIP() << "a file of another user needs root to make (chown)";
    const std::string theirs = dir_ + "/theirs.log";
    std::ofstream(theirs) << "";
    ASSERT_EQ(chown(theirs.c_str(), kOtherUid, kOtherUid), 0);
    EXPECT_FALSE(plat::debug_set_sink_log(theirs, 0, &error));
    EXPECT_NE(error.find("owned by user " + std::to_string(kOtherUid)), std::string::npos) << error;
}

TEST_F(DebugLog, NewFileIsPrivateAndClosedToChildren)
{
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path_, 0, &error)) << error;
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The descriptor is close-on-exec: find it among ours by its file.
    bool found = false;
    for (int fd = 3; fd < 1024; fd++)
    {
        struct stat fst;
        if (fstat(fd, &fst) == 0 && fst.st_ino == st.st_ino && fst.st_dev == st.st_dev)
        {
            found = true;
            EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
            EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0) << "writes are not left non-blocking";
        }
    }
    EXPECT_TRUE(found);
}

// ---------------------------------------------------------------------------
// Lines
// ---------------------------------------------------------------------------
TEST_F(DebugLog, StampedLinesCarryTheTimeToTheMillisecondAndTheZone)
{
    setenv("TZ", "IST-05:30", 1); // five and a half hours east of UTC
    tzset();
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path_, 0, &error)) << error;
    plat::debug_set_format(plat::DebugFormat::Stamped);
    NKDbgPrintfW(u"Open : %s\r\n", u"COM1:");
    NKDbgPrintfW(u"\r\nUpdate firmware FAIL!!!\r\n"); // an empty line is dropped
    NKDbgPrintfW(u"two\nlines\n");
    std::vector<std::string> lines = Lines(ReadWhole(path_));
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\+05:30 (.*))");
    const char* texts[] = {"Open : COM1:", "Update firmware FAIL!!!", "two", "lines"};
    ASSERT_EQ(lines.size(), std::size(texts));
    for (size_t i = 0; i < lines.size(); i++)
    {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, stamped)) << lines[i];
        EXPECT_EQ(m[1].str(), texts[i]);
    }
}

TEST_F(DebugLog, LineWithoutALineEndIsEndedBeforeTheNext)
{
    // form                     written
    const struct
    {
        plat::DebugFormat format;
        std::regex written;
    } rows[] = {
        {plat::DebugFormat::Raw, std::regex("Firmware Updated\\.\\.\\.\\.Done\r\nDevice restart: the handheld goes "
                                            "down\r\nA\r\nB\r\n")},
        {plat::DebugFormat::Stamped, std::regex("\\S+ \\S+ Firmware Updated\\.\\.\\.\\.Done\n\\S+ \\S+ Device "
                                                "restart: the handheld goes down\n\\S+ \\S+ A\n\\S+ \\S+ B\n")},
    };
    for (const auto& row : rows)
    {
        unlink(path_.c_str());
        std::string error;
        ASSERT_TRUE(plat::debug_set_sink_log(path_, 0, &error)) << error;
        plat::debug_set_format(row.format);
        NKDbgPrintfW(u"Firmware Updated....Done");
        NKDbgPrintfW(u"Device restart: the handheld goes down\r\n");
        NKDbgPrintfW(u"A");
        NKDbgPrintfW(u"B\r\n");
        plat::debug_set_sink_off();
        std::string text = ReadWhole(path_);
        EXPECT_TRUE(std::regex_match(text, row.written)) << text;
    }
}

TEST_F(DebugLog, RotatesAtItsBoundKeepingTwoFiles)
{
    constexpr size_t kBound = 1000;
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path_, kBound, &error)) << error;
    const std::u16string filler(90, u'.');
    constexpr int kLines = 45; // 100 bytes each: four and a half files' worth
    for (int i = 0; i < kLines; i++)
        NKDbgPrintfW(u"%04d %s\r\n", i, filler.c_str());
    plat::debug_set_sink_off();

    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_LE((size_t)st.st_size, kBound);
    ASSERT_EQ(stat((path_ + ".1").c_str(), &st), 0);
    EXPECT_LE((size_t)st.st_size, kBound);
    EXPECT_NE(stat((path_ + ".2").c_str(), &st), 0);
    // The newest lines are in NAME, the ones before them in NAME.1, in order.
    std::vector<std::string> lines = Lines(ReadWhole(path_ + ".1"));
    std::vector<std::string> newer = Lines(ReadWhole(path_));
    lines.insert(lines.end(), newer.begin(), newer.end());
    ASSERT_GE(lines.size(), 15u);
    for (size_t i = 0; i < lines.size(); i++)
        EXPECT_EQ(lines[i].substr(0, 4), std::to_string(kLines - lines.size() + i + 10000).substr(1)) << i;
    EXPECT_EQ(newer.back().substr(0, 4), "0044");
}

// Another user can keep NAME.1 from being made (a folder of that name in a
// shared folder): the log then stops at its bound and says so once, instead
// of growing without one.
TEST_F(DebugLog, RotationThatCannotProceedStopsTheLogAtItsBound)
{
    constexpr size_t kBound = 1000;
    ASSERT_EQ(mkdir((path_ + ".1").c_str(), 0755), 0);
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path_, kBound, &error)) << error;
    const std::u16string filler(90, u'.');
    for (int i = 0; i < 45; i++) // 100 bytes each: four and a half bounds' worth
        NKDbgPrintfW(u"%04d %s\r\n", i, filler.c_str());
    NKDbgPrintfW(u"short\r\n"); // would fit beside the ten
    plat::debug_set_sink_off();

    const std::string text = ReadWhole(path_);
    std::vector<std::string> lines = Lines(text);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[debug log: at its bound of 1000 bytes and cannot be rotated: " + path_ +
                                ".1: Is a directory; nothing more is written to it]");
    EXPECT_EQ(lines.size(), 11u) << text; // the ten lines that fit, then the note once
    EXPECT_LE(text.size() - lines.back().size() - 1, kBound);
}

// The bound itself: a file that reaches it exactly stays; one byte past it
// rotates, the full file becoming NAME.1 and the byte starting NAME.
TEST_F(DebugLog, RotatesOneBytePastItsBoundNotAtIt)
{
    constexpr size_t kBound = 1000;
    std::string error;
    ASSERT_TRUE(plat::debug_set_sink_log(path_, kBound, &error)) << error;
    const std::u16string filler(94, u'.');
    for (int i = 0; i < 10; i++)
        NKDbgPrintfW(u"%03d %s\r\n", i, filler.c_str()); // 100 bytes each
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ((size_t)st.st_size, kBound);
    EXPECT_NE(stat((path_ + ".1").c_str(), &st), 0) << "rotated at the bound";

    NKDbgPrintfW(u"x");
    plat::debug_set_sink_off();
    ASSERT_EQ(stat((path_ + ".1").c_str(), &st), 0) << "not rotated one byte past the bound";
    EXPECT_EQ((size_t)st.st_size, kBound);
    EXPECT_EQ(ReadWhole(path_), "x");
}

} // namespace
