// The folders only this user can make: where the window namespace puts its
// sockets and where a debug log goes when the user has no state folder
// (runtime_dir.h).
#include "platform/kernel/runtime_dir.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat
{

namespace
{

// This user's home: $HOME, else the user database's (a process started with
// an empty environment, by a service or cron, has no HOME). Empty when
// neither names a folder other than "/".
std::string home_dir()
{
    const char* home = getenv("HOME");
    if (home != nullptr && home[0] == '/')
        return home;
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof(buffer), &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/' || strcmp(found->pw_dir, "/") == 0)
        return std::string();
    return found->pw_dir;
}

// Folders only this user (or root for it) can make, so that nobody else can
// make one first and switch the namespace off. The login manager's
// /run/user/UID counts only when it is there, this user's and closed.
std::string state_run_dir()
{
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/')
        return std::string(state) + "/fwutil/run";
    std::string home = home_dir();
    return home.empty() ? std::string() : home + "/.local/state/fwutil/run";
}

std::string login_runtime_dir()
{
    const std::string dir = "/run/user/" + std::to_string(geteuid());
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & 077) == 0)
        return dir + "/fwutil";
    return std::string();
}

// The last resort of a user with no runtime folder and no home: /tmp, where
// another user can make the folder first (it is refused then, with why).
std::string shared_tmp_dir()
{
    return "/tmp/fwutil-" + std::to_string(geteuid());
}

} // namespace

std::string instance_default_dir()
{
    const char* dir = getenv("FWU_RUNTIME_DIR");
    if (dir != nullptr && dir[0] != 0)
        return dir;
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/')
        return std::string(xdg) + "/fwutil";
    if (geteuid() == 0)
        return kRootRuntimeDir; // only root can make a folder in /run
    for (const std::string& candidate : {login_runtime_dir(), state_run_dir()})
    {
        if (!candidate.empty())
            return candidate;
    }
    return shared_tmp_dir();
}

bool instance_check_dir(const std::string& dir, std::string* error)
{
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    {
        *error = dir + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(dir.c_str(), &st) != 0)
    {
        *error = dir + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode))
    {
        *error = dir + ": not a directory (a link or a file is not trusted)";
        return false;
    }
    if (st.st_uid != geteuid())
    {
        *error = dir + ": owned by user " + std::to_string(st.st_uid) + ", not by this user";
        return false;
    }
    if ((st.st_mode & 077) != 0)
    {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", (unsigned)(st.st_mode & 07777));
        *error = dir + ": open to group or others (mode " + mode + "); it must be 0700";
        return false;
    }
    return true;
}

std::vector<std::string> instance_dirs()
{
    std::vector<std::string> dirs = {instance_default_dir()};
    auto add = [&dirs](const std::string& dir)
    {
        if (!dir.empty() && std::find(dirs.begin(), dirs.end(), dir) == dirs.end())
            dirs.push_back(dir);
    };
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (xdg != nullptr && xdg[0] == '/')
        add(std::string(xdg) + "/fwutil");
    add(state_run_dir());
    // Where a run started without XDG_RUNTIME_DIR put its namespace: --post
    // from a shell that has it still finds that tool.
    if (geteuid() == 0)
        add(kRootRuntimeDir);
    else
        add(login_runtime_dir());
    if (geteuid() != 0)
        add(shared_tmp_dir());
    return dirs;
}

} // namespace plat
