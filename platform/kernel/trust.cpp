// Owner and mode checks for what the tool reads from disk and acts on.
#include "platform/kernel/trust.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

std::string mode_text(mode_t mode)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04o", (unsigned)(mode & 07777));
    return text;
}

// One component of the chain: its owner and its mode. A root-owned sticky
// folder (/tmp) may be world-writable: its entries stay their owners'.
bool component_trusted(const std::string& path, const struct stat& st, std::string* reason)
{
    const uid_t me = ::geteuid();
    if (st.st_uid != me && st.st_uid != 0)
    {
        *reason = path + ": owned by user " + std::to_string(st.st_uid) + ", not by this user or root";
        return false;
    }
    const bool stickyRootFolder = S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX) != 0 && st.st_uid == 0;
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !stickyRootFolder)
    {
        *reason = path + ": writable by group or others (mode " + mode_text(st.st_mode) + ")";
        return false;
    }
    return true;
}

} // namespace

bool plat::path_trusted(const std::string& path, TrustKind kind, std::string* reason)
{
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
    {
        *reason = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::stat(resolved, &st) != 0)
    {
        *reason = path + ": " + std::strerror(errno);
        return false;
    }
    if (kind == TrustKind::File && !S_ISREG(st.st_mode))
    {
        *reason = path + ": not a regular file";
        return false;
    }
    if (kind == TrustKind::Folder && !S_ISDIR(st.st_mode))
    {
        *reason = path + ": not a folder";
        return false;
    }
    std::string current = resolved;
    for (;;)
    {
        if (!component_trusted(current == resolved && current != path ? path + " (" + current + ")" : current, st,
                               reason))
            return false;
        if (current == "/")
            return true;
        const size_t slash = current.find_last_of('/');
        current = slash == 0 ? std::string("/") : current.substr(0, slash);
        if (::stat(current.c_str(), &st) != 0)
        {
            *reason = current + ": " + std::strerror(errno);
            return false;
        }
    }
}

const char* plat::file_type_name(unsigned mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    if (S_ISSOCK(mode))
        return "a socket";
    return "not a regular file";
}
