// Tests of the window namespace: FindWindowW and SetForegroundWindow across
// processes, posting commands, the folder checks, and the namespace under
// strain and at its edges (idle connections beside a real request, a holder
// out of file descriptors, a shared folder another user made, the files a
// holder leaves, a restart posted through it, the key the process entry
// passes, replies to commands).
#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/text.h"
#include "platform/shellapi/instance.h"
#include "platform/profile/profile.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/win32.h"
#include "platform/windowing/display.h"
#include "tests/support/temp_dir.h"
#include "tests/support/process_support.h"
#include "tests/support/window_pump.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const char16_t kClass[] = u"Namespace Test";
const DWORD kSentinel = 0xDEADBEEF;
const char kPeerFilter[] = "--gtest_filter=NamespaceStrainPeer.DISABLED_Run";

long MsSince(Clock::time_point t)
{
    return (long)std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

std::vector<std::string> FilesIn(const std::string& dir)
{
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent* e = readdir(d))
    {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    return names;
}

// A process's CPU time so far (user + system), in ms.
long CpuMs(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(paren + 2));
    std::string skip;
    for (int i = 0; i < 11; i++) // state .. cmajflt
        fields >> skip;
    long utime = 0, stime = 0;
    fields >> utime >> stime;
    return (utime + stime) * 1000 / sysconf(_SC_CLK_TCK);
}

int ConnectTo(const std::string& path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd >= 0 && connect(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0)
    {
        close(fd);
        return -1;
    }
    return fd;
}

// A visible top-level window of a class of its own (registered on first use).
HWND CreateTop(const char16_t* className, WNDPROC proc, const char16_t* title = u"Top")
{
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.lpszClassName = className;
    RegisterClassW(&wc);
    return CreateWindowExW(0, className, title, WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
}

class Namespace : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.empty());
    }
    void TearDown() override
    {
        plat::instance_leave();
        plat::display_set(nullptr);
    }

    // The profile whose origin is the namespace key of this process.
    static void UseOrigin(const std::string& origin)
    {
        std::string error;
        ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text(), origin, &error)) << error;
    }

    // Starts this binary as a namespace process on key, in role "serve" (a
    // holder with a program window of class cls), "join" (says what it
    // became, ends) or "find" (looks for a window of class cls and brings it
    // forward, ends).
    bool StartPeer(testproc::Child& c, const std::string& key, const std::string& role,
                   std::vector<std::string> env = {}, const std::string& cls = "Peer Window")
    {
        if (env.empty())
            env.push_back("FWU_RUNTIME_DIR=" + dir_);
        env.push_back("FWU_PEER_KEY=" + key);
        env.push_back("FWU_PEER_ROLE=" + role);
        env.push_back("FWU_PEER_CLASS=" + cls);
        return testproc::spawn(c, {testproc::self_path(), kPeerFilter, "--gtest_also_run_disabled_tests"}, env);
    }

    static HWND MakeTop()
    {
        return CreateTop(kClass, DefWindowProcW);
    }

    // WM_COMMAND ids posted to the calling thread, once there are count of
    // them or 2 s have passed (a command is posted just after its answer).
    static std::vector<int> PostedCommands(size_t count = 1)
    {
        std::vector<int> ids;
        auto deadline = Clock::now() + milliseconds(2000);
        while (ids.size() < count && Clock::now() < deadline)
        {
            MSG m;
            if (!PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE))
                std::this_thread::sleep_for(milliseconds(5));
            else if (m.message == WM_COMMAND)
                ids.push_back(LOWORD(m.wParam));
        }
        return ids;
    }

    testsupport::TempDir tmp_{"fwu-ns"};
    std::string dir_ = tmp_.path();
};

// ---------------------------------------------------------------------------
// Finding, bringing forward, posting, the folder checks
// ---------------------------------------------------------------------------
TEST_F(Namespace, FindWindow_ReachesAWindowOfAnotherProcessOnTheSameProfile)
{
    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    EXPECT_NE(peer.outText.find("holder 1\n"), std::string::npos);

    UseOrigin("device-A");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    EXPECT_FALSE(plat::instance_is_holder()); // the peer holds it

    SetLastError(kSentinel);
    HWND remote = FindWindowW(u"Peer Window", nullptr);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_TRUE(plat::instance_is_remote(remote));
    EXPECT_EQ((uintptr_t)remote & 1, 0u); // room for the "with owned windows" flag
    EXPECT_FALSE(IsWindow(remote));       // not a window of this process
    EXPECT_EQ(FindWindowW(u"peer WINDOW", u"PEER TITLE"), remote);
    EXPECT_EQ(FindWindowW(u"Peer Window", u"Other title"), nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(FindWindowW(u"No such class", nullptr), nullptr);
    EXPECT_EQ(GetLastError(), kSentinel); // not found leaves the error alone

    // Brought to the front by its own process, with the windows it owns.
    EXPECT_TRUE(SetForegroundWindow((HWND)((uintptr_t)remote | 1)));
    EXPECT_TRUE(testproc::read_until(peer, "front 1\n", 5000)) << peer.outText;
    EXPECT_TRUE(SetForegroundWindow(remote));
    EXPECT_TRUE(testproc::read_until(peer, "front 0\n", 5000)) << peer.outText;

    // A command posted through the namespace reaches its window's queue.
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 153, &error), plat::PostResult::Delivered) << error;
    EXPECT_TRUE(testproc::read_until(peer, "command 153\n", 5000)) << peer.outText;

    // Once it has gone, its handle is dead and its namespace falls to us.
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 999, &error), plat::PostResult::Delivered);
    EXPECT_EQ(testproc::wait_exit(peer, 10000), 0) << peer.outText << peer.errText;
    SetLastError(kSentinel);
    EXPECT_FALSE(SetForegroundWindow(remote));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(FindWindowW(u"Peer Window", nullptr), nullptr);
    EXPECT_TRUE(plat::instance_is_holder());
}

TEST_F(Namespace, FindWindow_DoesNotSeeProcessesOnAnotherProfile)
{
    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    UseOrigin("device-B");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    EXPECT_TRUE(plat::instance_is_holder()); // a namespace of its own
    EXPECT_EQ(FindWindowW(u"Peer Window", nullptr), nullptr);
    EXPECT_NE(plat::instance_socket_path(dir_, "device-A"), plat::instance_socket_path(dir_, "device-B"));
    // Nothing runs a window on device-B: a command there finds nobody.
    EXPECT_EQ(plat::instance_post_command(dir_, "device-B", 5, &error), plat::PostResult::NoInstance);
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 999, &error), plat::PostResult::Delivered);
    EXPECT_EQ(testproc::wait_exit(peer, 10000), 0);
    EXPECT_EQ(plat::instance_post_command(dir_, "device-C", 5, &error), plat::PostResult::NoInstance);
}

TEST_F(Namespace, StaleSocketOfADeadHolderIsTakenOver)
{
    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    kill(peer.pid, SIGKILL);
    EXPECT_EQ(testproc::wait_exit(peer, 5000), 128 + SIGKILL);
    std::string socketPath = plat::instance_socket_path(dir_, "device-A");
    struct stat st;
    ASSERT_EQ(stat(socketPath.c_str(), &st), 0); // left behind
    EXPECT_TRUE(S_ISSOCK(st.st_mode));

    std::string error;
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 5, &error), plat::PostResult::NoInstance);
    UseOrigin("device-A");
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    EXPECT_TRUE(plat::instance_is_holder());
    // The socket answers for this process now.
    HWND mine = MakeTop();
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 321, &error), plat::PostResult::Delivered) << error;
    auto msgs = testsupport::DrainPosted();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].hwnd, mine);
    EXPECT_EQ(msgs[0].wParam, (WPARAM)321);

    plat::instance_leave();
    EXPECT_NE(stat(socketPath.c_str(), &st), 0); // removed on leaving
}

TEST_F(Namespace, AStartingHolderAnswersOnceItsWindowExists)
{
    UseOrigin("device-A");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    ASSERT_TRUE(plat::instance_is_holder());
    testproc::Child asker;
    ASSERT_TRUE(StartPeer(asker, "device-A", "find", {}, "Late Class"));
    ASSERT_TRUE(testproc::read_until(asker, "holder 0\n", 10000)) << asker.outText << asker.errText;
    // The asker waits for an answer while this holder has no window yet.
    std::this_thread::sleep_for(milliseconds(300));
    HWND late = CreateTop(u"Late Class", DefWindowProcW);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(testproc::wait_exit(asker, 10000), 0);
    EXPECT_NE(asker.outText.find("found\n"), std::string::npos) << asker.outText;
    EXPECT_NE(asker.outText.find("front-ok\n"), std::string::npos) << asker.outText;
    EXPECT_EQ(plat::foreground_window(), late);
    EXPECT_TRUE(plat::foreground_with_owned());
}

TEST_F(Namespace, ARunningHolderAnswersAMissAtOnce)
{
    UseOrigin("device-A");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    MakeTop(); // the program window is up
    testproc::Child asker;
    ASSERT_TRUE(StartPeer(asker, "device-A", "find", {}, "Absent Class"));
    auto start = Clock::now();
    EXPECT_EQ(testproc::wait_exit(asker, 10000), 0);
    EXPECT_NE(asker.outText.find("none\n"), std::string::npos) << asker.outText;
    EXPECT_LT(MsSince(start), (long)plat::kFindHoldMs);
}

TEST_F(Namespace, AnotherUsersRequestIsRefused)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user (setresuid/setfsuid)";
    UseOrigin("device-A");
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, &error)) << error;
    HWND mine = MakeTop();
    std::string path = plat::instance_socket_path(dir_, "device-A");

    // The child keeps root's file access (fsuid 0) to reach the socket in our
    // 0700 directory, but connects with effective user nobody: the peer
    // credentials the listener sees.
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    plat::debug_capture_begin();
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
    {
        char result = 'x';
        if (setresuid(0, 65534, 0) == 0)
        {
            setfsuid(0);
            int fd = ConnectTo(path);
            if (fd >= 0)
            {
                const char req[] = "command\t77\n";
                if (send(fd, req, sizeof(req) - 1, MSG_NOSIGNAL) != (ssize_t)sizeof(req) - 1)
                    result = 'E'; // closed before the request was taken
                else
                {
                    char buf[64];
                    ssize_t n = read(fd, buf, sizeof(buf)); // the listener closes without an answer
                    result = (n == 0 || (n < 0 && errno == ECONNRESET)) ? 'E' : (n > 0 ? 'A' : 'R');
                }
            }
            else
                result = 'C';
        }
        if (write(report[1], &result, 1) != 1)
            _exit(3);
        _exit(0);
    }
    close(report[1]);
    char result = 0;
    struct pollfd p = {report[0], POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 10000), 0);
    ASSERT_EQ(read(report[0], &result, 1), 1);
    close(report[0]);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(result, 'E') << "C: no connection, A: answered, R: read error, x: setresuid failed";
    EXPECT_TRUE(testsupport::DrainPosted().empty()); // no WM_COMMAND 77 for the window
    auto lines = plat::debug_capture_take();
    plat::debug_capture_end();
    bool said = false;
    for (auto& l : lines)
        said |= l.find(u"refused a request from user 65534") != std::u16string::npos;
    EXPECT_TRUE(said);

    // Our own user is served on the same socket.
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 77, &error), plat::PostResult::Delivered);
    auto msgs = testsupport::DrainPosted();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].hwnd, mine);
}

TEST_F(Namespace, DirectoryMustBeOursAndClosedToOthers)
{
    std::string error;
    std::string fresh = dir_ + "/fresh";
    ASSERT_TRUE(plat::instance_check_dir(fresh, &error)) << error;
    struct stat st;
    ASSERT_EQ(lstat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    std::string open = dir_ + "/open";
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0755), 0);
    EXPECT_FALSE(plat::instance_check_dir(open, &error));
    EXPECT_NE(error.find("open to group or others (mode 0755)"), std::string::npos) << error;

    std::string link = dir_ + "/link";
    ASSERT_EQ(symlink(fresh.c_str(), link.c_str()), 0);
    EXPECT_FALSE(plat::instance_check_dir(link, &error));
    EXPECT_NE(error.find("not a directory"), std::string::npos) << error;

    std::string file = dir_ + "/file";
    std::ofstream(file) << "x";
    EXPECT_FALSE(plat::instance_check_dir(file, &error));

    UseOrigin("device-A");
    EXPECT_FALSE(plat::instance_join(open, &error));
    EXPECT_FALSE(plat::instance_joined());
    EXPECT_EQ(plat::instance_post_command(open, "device-A", 1, &error), plat::PostResult::Failed);

    if (geteuid() == 0)
    {
        std::string foreign = dir_ + "/foreign";
        ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(plat::instance_check_dir(foreign, &error));
        EXPECT_NE(error.find("owned by user 65534"), std::string::npos) << error;
    }

    std::string deep = dir_ + "/" + std::string(120, 'd');
    EXPECT_FALSE(plat::instance_join(deep, &error));
    EXPECT_NE(error.find("too long"), std::string::npos) << error;
}

TEST_F(Namespace, WithoutJoiningWindowsStayLocal)
{
    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "built-in", "serve"));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    EXPECT_EQ(FindWindowW(u"Peer Window", nullptr), nullptr);
    HWND mine = MakeTop();
    EXPECT_EQ(FindWindowW(kClass, nullptr), mine);
    EXPECT_EQ(FindWindowW(nullptr, u"top"), mine);
    SetLastError(kSentinel);
    EXPECT_EQ(FindWindowW(MAKEINTRESOURCEW(5), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_PARAMETER);
    std::string error;
    EXPECT_EQ(plat::instance_post_command(dir_, "built-in", 999, &error), plat::PostResult::Delivered);
    EXPECT_EQ(testproc::wait_exit(peer, 10000), 0);
}

// ---------------------------------------------------------------------------
// Strain
// ---------------------------------------------------------------------------
TEST_F(Namespace, IdleConnectionsDoNotStarveARealRequest)
{
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, "device-A", &error)) << error;
    ASSERT_TRUE(plat::instance_is_holder());
    ASSERT_NE(MakeTop(), nullptr);
    std::vector<int> idle;
    for (int i = 0; i < 40; i++)
    {
        int fd = ConnectTo(plat::instance_socket_path(dir_, "device-A"));
        ASSERT_GE(fd, 0) << i;
        idle.push_back(fd);
    }
    auto start = Clock::now();
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 321, &error), plat::PostResult::Delivered) << error;
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(PostedCommands(), std::vector<int>{321});
    for (int fd : idle)
        close(fd);
}

TEST_F(Namespace, OutOfDescriptorsTheHolderNeitherSpinsNorStopsAnswering)
{
    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    // Not one descriptor to spare: the lowest free number is the limit, so
    // each connection needs one given up first.
    std::vector<std::string> used = FilesIn("/proc/" + std::to_string(peer.pid) + "/fd");
    int lowestFree = 0;
    while (std::find(used.begin(), used.end(), std::to_string(lowestFree)) != used.end())
        lowestFree++;
    struct rlimit before = {};
    ASSERT_EQ(prlimit(peer.pid, RLIMIT_NOFILE, nullptr, &before), 0) << strerror(errno);
    struct rlimit limit = {(rlim_t)lowestFree, before.rlim_max}; // soft only: it can be given back
    ASSERT_EQ(prlimit(peer.pid, RLIMIT_NOFILE, &limit, nullptr), 0) << strerror(errno);

    long cpuBefore = CpuMs(peer.pid);
    auto start = Clock::now();
    std::string error;
    for (int i = 0; i < 25; i++)
    {
        ASSERT_EQ(plat::instance_post_command(dir_, "device-A", 300 + i, &error), plat::PostResult::Delivered)
            << "post " << i << ": " << error;
        ASSERT_TRUE(testproc::read_until(peer, "command " + std::to_string(300 + i) + "\n", 5000)) << peer.outText;
    }
    long wall = MsSince(start);
    long cpu = CpuMs(peer.pid) - cpuBefore;
    EXPECT_LT(cpu, wall / 2 + 100) << "the holder used " << cpu << " ms of CPU in " << wall << " ms";
    testproc::pump(peer, 100);
    EXPECT_NE(peer.errText.find("out of file descriptors"), std::string::npos) << "the limit was not reached";
    // Its descriptors back for the way out: the sanitizers' own checks need
    // some when its threads end.
    ASSERT_EQ(prlimit(peer.pid, RLIMIT_NOFILE, &before, nullptr), 0) << strerror(errno);
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 999, &error), plat::PostResult::Delivered) << error;
    EXPECT_EQ(testproc::wait_exit(peer, 10000), 0) << peer.errText;
}

// ---------------------------------------------------------------------------
// The folder and its files
// ---------------------------------------------------------------------------
// The uid of a second user for the test, made if missing; -1 when it cannot be.
uid_t OtherUser()
{
    const char* name = "fwutil-test";
    if (struct passwd* pw = getpwnam(name))
        return pw->pw_uid;
    if (geteuid() != 0 || system("useradd --system --no-create-home fwutil-test >/dev/null 2>&1") != 0)
        return (uid_t)-1;
    struct passwd* pw = getpwnam(name);
    return pw ? pw->pw_uid : (uid_t)-1;
}

TEST_F(Namespace, AFolderAnotherUserMadeFallsBackToOneOnlyThisUserCanMake)
{
    uid_t other = OtherUser();
    if (other == (uid_t)-1)
        GTEST_SKIP() << "needs a second user (root can make one with useradd)";
    std::string taken = dir_ + "/taken";
    ASSERT_EQ(mkdir(taken.c_str(), 0700), 0);
    ASSERT_EQ(chown(taken.c_str(), other, other), 0);
    std::string home = dir_ + "/home";
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    std::vector<std::string> env = {"FWU_RUNTIME_DIR=" + taken, "XDG_RUNTIME_DIR=", "XDG_STATE_HOME=", "HOME=" + home};

    testproc::Child peer;
    ASSERT_TRUE(StartPeer(peer, "device-A", "serve", env));
    ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
    std::string fallback = home + "/.local/state/fwutil/run";
    EXPECT_NE(peer.outText.find("holder 1\ndir " + fallback + "\n"), std::string::npos) << peer.outText;
    testproc::pump(peer, 100);
    EXPECT_NE(peer.errText.find("owned by user " + std::to_string(other) + ", not by this user; using " + fallback),
              std::string::npos)
        << peer.errText;

    // --post looks in the same places.
    for (const std::string& kv : env)
        setenv(kv.substr(0, kv.find('=')).c_str(), kv.substr(kv.find('=') + 1).c_str(), 1);
    std::string error;
    EXPECT_EQ(plat::instance_post_command("", "device-A", 321, &error), plat::PostResult::Delivered) << error;
    EXPECT_TRUE(testproc::read_until(peer, "command 321\n", 5000)) << peer.outText;
    // A second tool on the device finds the first there.
    testproc::Child second;
    ASSERT_TRUE(StartPeer(second, "device-A", "join", env));
    EXPECT_EQ(testproc::wait_exit(second, 10000), 0);
    EXPECT_NE(second.outText.find("holder 0\n"), std::string::npos) << second.outText << second.errText;
    EXPECT_EQ(plat::instance_post_command("", "device-A", 999, &error), plat::PostResult::Delivered) << error;
    EXPECT_EQ(testproc::wait_exit(peer, 10000), 0);
}

// The folders a run tries, as a user with this environment sees them: asked
// in a child process that takes the user's ids. Each "NAME=value" is set,
// each "NAME" removed.
std::vector<std::string> DirsAs(uid_t uid, const std::vector<std::string>& env)
{
    int p[2];
    if (pipe(p) != 0)
        return {};
    pid_t child = fork();
    if (child == 0)
    {
        close(p[0]);
        for (const std::string& kv : env)
        {
            size_t eq = kv.find('=');
            if (eq == std::string::npos)
                unsetenv(kv.c_str());
            else
                setenv(kv.substr(0, eq).c_str(), kv.substr(eq + 1).c_str(), 1);
        }
        if (uid != geteuid() && (setgid(uid) != 0 || setuid(uid) != 0))
            _exit(1);
        std::string text;
        for (const std::string& dir : plat::instance_dirs())
            text += dir + "\n";
        _exit(write(p[1], text.data(), text.size()) == (ssize_t)text.size() ? 0 : 1);
    }
    close(p[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(p[0], buffer, sizeof(buffer))) > 0;)
        text.append(buffer, (size_t)n);
    close(p[0]);
    int status = 0;
    waitpid(child, &status, 0);
    std::vector<std::string> dirs;
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
        dirs.push_back(text.substr(at, nl - at));
    return dirs;
}

// Without XDG_RUNTIME_DIR (and without HOME) the first folder is one nobody
// else can make beforehand: another user's /tmp/fwutil-0 must not switch off
// root's namespace (nor its log, which falls back to the same folder).
// /tmp/fwutil-UID is only a last resort of a user without a home.
TEST_F(Namespace, WithoutRuntimeDirTheFirstFolderIsOneOnlyThisUserCanMake)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "the rows are root's and a second user's (setuid needs root)";
    const uid_t other = OtherUser();
    if (other == (uid_t)-1)
        GTEST_SKIP() << "needs a second user (root can make one with useradd)";
    struct passwd* pw = getpwuid(other);
    ASSERT_NE(pw, nullptr);
    const std::string otherHome = pw->pw_dir;
    const std::string otherTmp = "/tmp/fwutil-" + std::to_string(other);
    const std::vector<std::string> bare = {"FWU_RUNTIME_DIR", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "HOME"};
    // user   HOME                    folders tried, in order
    const struct
    {
        uid_t uid;
        std::string home;
        std::vector<std::string> dirs;
    } rows[] = {
        {0, "", {"/run/fwutil", "/root/.local/state/fwutil/run"}},
        {0, "HOME=/h", {"/run/fwutil", "/h/.local/state/fwutil/run"}},
        {other, "HOME=/h", {"/h/.local/state/fwutil/run", otherTmp}},
        {other, "", {otherHome + "/.local/state/fwutil/run", otherTmp}},
    };
    for (const auto& row : rows)
    {
        std::vector<std::string> env = bare;
        if (!row.home.empty())
            env.push_back(row.home);
        std::vector<std::string> dirs = DirsAs(row.uid, env);
        if (row.uid == 0 && getpwuid(0) != nullptr && std::string(getpwuid(0)->pw_dir) != "/root")
            continue; // root's home is elsewhere here
        EXPECT_EQ(dirs, row.dirs) << "uid " << row.uid << " " << row.home;
    }
    // --post from a shell with XDG_RUNTIME_DIR still looks where root's run without it went.
    std::vector<std::string> env = bare;
    env.push_back("XDG_RUNTIME_DIR=/x");
    std::vector<std::string> dirs = DirsAs(0, env);
    ASSERT_FALSE(dirs.empty());
    EXPECT_EQ(dirs[0], "/x/fwutil");
    EXPECT_NE(std::find(dirs.begin(), dirs.end(), "/run/fwutil"), dirs.end());
}

TEST_F(Namespace, AHolderLeavesNoFilesBehind)
{
    std::string error;
    for (const char* key : {"device-A", "device-B", "device-C"})
    {
        ASSERT_TRUE(plat::instance_join(dir_, key, &error)) << error;
        ASSERT_TRUE(plat::instance_is_holder());
        EXPECT_EQ(FilesIn(dir_).size(), 2u); // its socket and its lock
        plat::instance_leave();
        EXPECT_EQ(FilesIn(dir_), std::vector<std::string>{}) << key;
    }
}

// The lock file goes with its holder; a member that locked the removed file
// must not count as a holder beside one that locks the new file.
TEST_F(Namespace, AfterTheLockFileWentThereIsStillOneHolder)
{
    testproc::Child first;
    ASSERT_TRUE(StartPeer(first, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(first, "ready\n", 10000)) << first.outText << first.errText;
    std::string error;
    ASSERT_TRUE(plat::instance_join(dir_, "device-A", &error)) << error;
    ASSERT_FALSE(plat::instance_is_holder());
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 999, &error), plat::PostResult::Delivered) << error;
    EXPECT_EQ(testproc::wait_exit(first, 10000), 0);

    testproc::Child second;
    ASSERT_TRUE(StartPeer(second, "device-A", "serve"));
    ASSERT_TRUE(testproc::read_until(second, "ready\n", 10000)) << second.outText << second.errText;
    EXPECT_NE(second.outText.find("holder 1\n"), std::string::npos) << second.outText;
    // This member now finds the holder's window instead of taking over.
    EXPECT_NE(FindWindowW(u"Peer Window", nullptr), nullptr);
    EXPECT_FALSE(plat::instance_is_holder());
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 999, &error), plat::PostResult::Delivered) << error;
    EXPECT_EQ(testproc::wait_exit(second, 10000), 0);
}

// ---------------------------------------------------------------------------
// Posting
// ---------------------------------------------------------------------------
TEST_F(Namespace, ARestartPostedIsDeliveredThoughTheHolderGoesDownAtOnce)
{
    for (int i = 0; i < 10; i++)
    {
        SCOPED_TRACE(i);
        testproc::Child peer;
        ASSERT_TRUE(StartPeer(peer, "device-A", "serve"));
        ASSERT_TRUE(testproc::read_until(peer, "ready\n", 10000)) << peer.outText << peer.errText;
        std::string error;
        EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 150, &error), plat::PostResult::Delivered) << error;
        EXPECT_EQ(testproc::wait_exit(peer, 10000), plat::kExitDeviceRestart) << peer.errText;
        EXPECT_EQ(FilesIn(dir_), std::vector<std::string>{}); // the going-down hook took its files
    }
}

TEST_F(Namespace, TheKeyIsWhatTheProcessEntryPasses)
{
    std::string error;
    ASSERT_TRUE(plat::profile_load_text(plat::profile_default_text(), "device-A", &error)) << error;
    ASSERT_TRUE(plat::instance_join(dir_, "device-A|port-1", &error)) << error;
    ASSERT_NE(MakeTop(), nullptr);
    struct stat st;
    EXPECT_EQ(lstat(plat::instance_socket_path(dir_, "device-A|port-1").c_str(), &st), 0);
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A", 5, &error), plat::PostResult::NoInstance);
    EXPECT_EQ(plat::instance_post_command(dir_, "device-A|port-1", 6, &error), plat::PostResult::Delivered) << error;
    EXPECT_EQ(PostedCommands(), std::vector<int>{6});
}

// ---------------------------------------------------------------------------
// Replies
// ---------------------------------------------------------------------------
// What the window's handling of command 153 brought about, as a reply reads it.
std::mutex g_replyMu;
std::string g_replyState;

std::string StateReply()
{
    std::lock_guard<std::mutex> lock(g_replyMu);
    return g_replyState;
}

// Command 153 hands its work on to a message it posts to its window (as a
// bridge start posts its status); that message sets the state. 999 ends.
LRESULT ReplyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == WM_COMMAND && LOWORD(wParam) == 153)
        PostMessageW(hwnd, WM_USER + 7, 0, 0);
    else if (msg == WM_USER + 7)
    {
        std::lock_guard<std::mutex> lock(g_replyMu);
        g_replyState = "peer\tat\r\n/dev/pts/9";
    }
    else if (msg == WM_COMMAND && LOWORD(wParam) == 999)
    {
        DestroyWindow(hwnd);
        PostQuitMessage(0);
    }
    else
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    return 0;
}

TEST_F(Namespace, ACommandWithAReplyIsAnsweredOnceWhatItSetOffIsHandled)
{
    plat::instance_set_command_reply(153, StateReply);
    std::string error, reply = "stale";
    ASSERT_TRUE(plat::instance_join(dir_, "device-R", &error)) << error;
    std::atomic<HWND> window{nullptr};
    std::thread ui(
        [&]
        {
            window = CreateTop(u"Reply Window", ReplyProc);
            for (MSG m; GetMessageW(&m, nullptr, 0, 0) > 0;)
                DispatchMessageW(&m);
        });
    for (int i = 0; i < 500 && window.load() == nullptr; i++)
        std::this_thread::sleep_for(milliseconds(5));
    ASSERT_NE(window.load(), nullptr);
    Clock::time_point asked = Clock::now();
    EXPECT_EQ(plat::instance_post_command(dir_, "device-R", 153, &error, &reply), plat::PostResult::Delivered) << error;
    EXPECT_EQ(reply, "peer at  /dev/pts/9"); // one line: tabs and line ends are spaces
    EXPECT_LT(MsSince(asked), (long)plat::kReplyWaitMs);
    // A command with no reply registered is answered with none.
    EXPECT_EQ(plat::instance_post_command(dir_, "device-R", 120, &error, &reply), plat::PostResult::Delivered);
    EXPECT_EQ(reply, "");
    PostMessageW(window, WM_COMMAND, 999, 0);
    ui.join();
}

// A window whose thread does not take its messages costs the asker the
// reply's bound, never a hang: the reply says what stands then.
TEST_F(Namespace, ACommandWithAReplyToAWindowThatDoesNotRunIsAnsweredAfterTheBound)
{
    plat::instance_set_command_reply(153, StateReply);
    g_replyState = "before";
    std::string error, reply;
    ASSERT_TRUE(plat::instance_join(dir_, "device-R", &error)) << error;
    ASSERT_NE(CreateTop(u"Reply Window", ReplyProc), nullptr); // this thread asks, so it does not pump
    Clock::time_point asked = Clock::now();
    EXPECT_EQ(plat::instance_post_command(dir_, "device-R", 153, &error, &reply), plat::PostResult::Delivered) << error;
    long ms = MsSince(asked);
    EXPECT_EQ(reply, "before");
    EXPECT_GE(ms, (long)plat::kReplyWaitMs - 50);
    EXPECT_LT(ms, (long)plat::kReplyWaitMs + 2000);
}

} // namespace

// ---------------------------------------------------------------------------
// The peer process (run by the tests above, never on its own)
// ---------------------------------------------------------------------------
namespace
{
// One line to the test on stdout, at once (the peer ends with _exit).
void Say(const std::string& line)
{
    printf("%s\n", line.c_str());
    fflush(stdout);
}

// 150 takes the device down the way the tool does: through the HAL, whose
// going-down hooks run, then the process ends with the restart status.
[[noreturn]] void GoDown()
{
    HMODULE core = LoadLibraryW(u"COREDLL.DLL");
    auto kernelIoControl = (PFN_KernelIoControl)GetProcAddressW(core, u"KernelIoControl");
    DWORD returned = 0;
    kernelIoControl(IOCTL_HAL_REBOOT, nullptr, 0, nullptr, 0, &returned);
    _exit(7); // not reached
}

// 999 ends the peer; any other command is reported on stdout.
LRESULT PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    switch (msg)
    {
        case WM_COMMAND:
            switch (LOWORD(wParam))
            {
                case 150:
                    GoDown();
                case 999:
                    DestroyWindow(hwnd);
                    break;
                default:
                    Say("command " + std::to_string(LOWORD(wParam)));
                    break;
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}
} // namespace

TEST(NamespaceStrainPeer, DISABLED_Run)
{
    const char* key = getenv("FWU_PEER_KEY");
    const char* role = getenv("FWU_PEER_ROLE");
    const char* cls = getenv("FWU_PEER_CLASS");
    ASSERT_TRUE(key && role && cls);
    std::string error;
    if (!plat::instance_join("", key, &error))
    {
        Say("join failed " + error);
        _exit(2);
    }
    Say(std::string("holder ") + (plat::instance_is_holder() ? "1" : "0"));
    Say("dir " + plat::instance_dir());
    if (std::string(role) == "join")
        _exit(0);
    std::u16string className = plat::utf8_to_utf16(cls);
    if (std::string(role) == "find")
    {
        HWND h = FindWindowW(className.c_str(), nullptr);
        Say(h ? "found" : "none");
        if (h)
            Say(SetForegroundWindow((HWND)((uintptr_t)h | 1)) ? "front-ok" : "front-fail");
        _exit(0);
    }
    static plat::DisplayOps ops = {};
    ops.name = "peer";
    ops.windows.changed = [](HWND, unsigned what)
    {
        if (what & plat::kChangeForeground)
            Say(std::string("front ") + (plat::foreground_with_owned() ? "1" : "0"));
    };
    plat::display_set(&ops);
    plat::at_device_down(plat::instance_abandon);
    if (CreateTop(className.c_str(), PeerProc, u"Peer Title") == nullptr)
        _exit(3);
    Say("ready");
    for (MSG m; GetMessageW(&m, nullptr, 0, 0);)
        DispatchMessageW(&m);
    plat::instance_leave(); // after 999: the holder goes the ordinary way
    _exit(0);
}
