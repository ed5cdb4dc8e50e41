// Owner and mode checks on what the tool reads and acts on: each row makes
// one path in a private folder and says whether it may be trusted.
#include "platform/kernel/trust.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct TrustRow
{
    const char* what;
    bool folder; // make a folder, else a file
    mode_t mode;
    uid_t owner;          // 0: leave it this user's
    plat::TrustKind kind; // what the caller asks for
    bool trusted;
    const char* reasonPart;
};

// clang-format off
const TrustRow kRows[] = {
    { "own file 0644",            false, 0644, 0,    plat::TrustKind::File,   true,  "" },
    { "own file 0600",            false, 0600, 0,    plat::TrustKind::File,   true,  "" },
    { "group-writable file",      false, 0664, 0,    plat::TrustKind::File,   false, "writable by group or others (mode 0664)" },
    { "world-writable file",      false, 0666, 0,    plat::TrustKind::File,   false, "(mode 0666)" },
    { "another user's file",      false, 0644, 1000, plat::TrustKind::File,   false, "owned by user 1000" },
    { "a folder asked as a file", true,  0755, 0,    plat::TrustKind::File,   false, "not a regular file" },
    { "own folder",               true,  0755, 0,    plat::TrustKind::Folder, true,  "" },
    { "world-writable folder",    true,  0777, 0,    plat::TrustKind::Folder, false, "(mode 0777)" },
    { "another user's folder",    true,  0755, 1000, plat::TrustKind::Folder, false, "owned by user 1000" },
};
// clang-format on

TEST(Trust, OwnerAndModeDecideByTable)
{
    for (const TrustRow& row : kRows)
    {
        testsupport::TempDir dir;
        const std::string path = dir.path() + "/thing";
        if (row.folder)
            ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
        else
            ASSERT_EQ(close(open(path.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
        ASSERT_EQ(chmod(path.c_str(), row.mode), 0);
        if (row.owner != 0 && geteuid() == 0)
            ASSERT_EQ(chown(path.c_str(), row.owner, row.owner), 0);
        else if (row.owner != 0)
            continue; // only root can give a file away
        std::string reason;
        EXPECT_EQ(plat::path_trusted(path, row.kind, &reason), row.trusted) << row.what << ": " << reason;
        EXPECT_NE(reason.find(row.reasonPart), std::string::npos) << row.what << ": " << reason;
    }
}

// A trusted file in a folder that anyone may write is not trusted: another
// user could have swapped it. The reason names the folder, not the file.
TEST(Trust, AWritableFolderAboveMakesTheFileUntrusted)
{
    testsupport::TempDir dir;
    const std::string folder = dir.path() + "/open";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string file = folder + "/profile.reg";
    ASSERT_EQ(close(open(file.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
    std::string reason;
    EXPECT_TRUE(plat::path_trusted(file, plat::TrustKind::File, &reason)) << reason;
    ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
    EXPECT_FALSE(plat::path_trusted(file, plat::TrustKind::File, &reason));
    EXPECT_EQ(reason.rfind(folder + ":", 0), 0u) << reason;
}

TEST(Trust, AMissingPathSaysSo)
{
    std::string reason;
    EXPECT_FALSE(plat::path_trusted("/nonexistent/fwutil-trust", plat::TrustKind::Any, &reason));
    EXPECT_NE(reason.find("No such file or directory"), std::string::npos) << reason;
}

} // namespace
