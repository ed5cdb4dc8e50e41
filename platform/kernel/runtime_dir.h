// The folders only this user (or root for it) can make, so that nobody else
// can make one first: the window namespace's sockets go in one
// (shellapi/instance.h says which is tried when), and so does a debug log
// when the user has no state folder (debug.h). Kept in the kernel so that
// both can reach it.
//
// Platform-internal.
#pragma once

#include <string>
#include <vector>

namespace plat
{

// Root's namespace folder without XDG_RUNTIME_DIR.
constexpr char kRootRuntimeDir[] = "/run/fwutil";
// The directory the sockets go in (see above), not yet checked.
std::string instance_default_dir();
// Every directory tried, in order: instance_default_dir() and the fallbacks.
std::vector<std::string> instance_dirs();
// Creates dir if missing (mode 0700) and checks it: a real directory, owned
// by this user, with no group or other permission bits.
bool instance_check_dir(const std::string& dir, std::string* error);

} // namespace plat
