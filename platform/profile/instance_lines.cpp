// The window namespace's lines and places: the request lines as the holder
// reads them, and the directories the sockets go in (see instance.h).
#include "platform/profile/instance.h"

#include "platform/kernel/text.h"
#include "platform/profile/instance_internal.h"

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

uint64_t fnv1a(const std::string& text)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : text)
    {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

std::string hex64(uint64_t v)
{
    char buffer[17];
    snprintf(buffer, sizeof(buffer), "%016llx", (unsigned long long)v);
    return buffer;
}

// Hex digits only, as hex64 writes them (strtoull would take a sign, spaces
// or "0x", and stop at an embedded NUL).
bool parse_hex(const std::string& text, uint64_t* out)
{
    if (text.empty() || text.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : text)
    {
        int digit = (c >= '0' && c <= '9')   ? c - '0'
                    : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                    : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                             : -1;
        if (digit < 0)
            return false;
        v = (v << 4) | (uint64_t)digit;
    }
    *out = v;
    return true;
}

std::vector<std::string> split_tabs(const std::string& line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    for (;;)
    {
        size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

// A field may not carry the protocol's separators.
bool clean_field(const std::string& text)
{
    return text.find_first_of("\t\n\r", 0) == std::string::npos;
}

// Creates the folders above dir that are missing (mode 0700), for a fallback
// under the user's own state folder.
void instance_make_parents(const std::string& dir)
{
    for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
    {
        if (mkdir(dir.substr(0, at).c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

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

std::string instance_socket_path(const std::string& dir, const std::string& key)
{
    return dir + "/ns-" + hex64(fnv1a(key)) + ".sock";
}

InstanceRequest instance_parse_request(const std::string& line)
{
    InstanceRequest r;
    std::vector<std::string> f = split_tabs(line);
    if (f[0] == "find" && (f.size() == 2 || f.size() == 3))
    {
        r.kind = InstanceRequest::Find;
        r.className = utf8_to_utf16(f[1]);
        r.hasTitle = f.size() == 3;
        if (r.hasTitle)
            r.title = utf8_to_utf16(f[2]);
    }
    else if (f[0] == "front" && f.size() == 3 && (f[2] == "0" || f[2] == "1"))
    {
        uint64_t v = 0;
        r.kind = InstanceRequest::Front;
        r.window = (parse_hex(f[1], &v) && (v & kHandleLowBits) == 0) ? v : 0;
        r.withOwned = f[2] == "1";
    }
    else if (f[0] == "command" && f.size() == 2)
    {
        // 1 to 5 decimal digits only: what --post sends.
        long id = 0;
        bool digits = !f[1].empty() && f[1].size() <= 5;
        for (size_t i = 0; digits && i < f[1].size(); i++)
        {
            digits = f[1][i] >= '0' && f[1][i] <= '9';
            id = id * 10 + (f[1][i] - '0');
        }
        if (digits && id <= 0xFFFF)
        {
            r.kind = InstanceRequest::Command;
            r.id = (int)id;
        }
    }
    return r;
}

} // namespace plat
