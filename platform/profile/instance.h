// The device's window namespace across processes.
//
// On the handheld every window of every program is visible to FindWindowW;
// here each process has its own window table, and processes started on the
// same device profile share one namespace through a local socket. The
// namespace is keyed by the profile's origin (profile_origin(): "built-in" or
// the profile file's canonical path), so two processes on one profile are one
// handheld (a second instance is refused), while processes on different
// profiles are different handhelds and do not see each other.
//
// Design:
//   - The sockets live in a directory only this user can enter:
//     $FWU_RUNTIME_DIR if set, else $XDG_RUNTIME_DIR/fwutil, else
//     /tmp/fwutil-<uid>. It is created with mode 0700 and checked with lstat:
//     a directory that is a link, not ours, or open to group or others is
//     refused (the namespace then stays local to the process).
//   - Per origin: "ns-<hash>.sock" and "ns-<hash>.lock", hash = FNV-1a 64 of
//     the origin in hex. The process holding an exclusive flock on the lock
//     file is the namespace's holder: it removes a stale socket left by a
//     holder that died, binds the socket and answers requests on a listener
//     thread of its own. The lock goes with the process, so a crashed holder
//     never blocks the next one.
//   - Requests are one line each, answered with one line: "find\tCLASS[\t
//     TITLE]" -> "ok\t<hwnd>" or "none"; "front\t<hwnd>\t<0|1>" (bring the
//     window forward, 1: with the windows it owns) -> "ok" or "none";
//     "command\t<id>" (post WM_COMMAND id to the program's window) -> "ok" or
//     "none". The listener never calls a window procedure: a command becomes
//     a posted message to the window's thread, and bringing a window forward
//     only records it and tells the display, so no request can block the UI
//     thread or wait on it.
//   - Peers of another user are refused on both sides (SO_PEERCRED).
//   - A request that reaches the holder while it is still starting (no
//     program window yet) waits up to kFindHoldMs for it, so two instances
//     started at the same moment still see each other.
//
// FindWindowW (local windows first, then the holder) and SetForegroundWindow
// (a window of this process, or "front" to the holder) are defined in
// instance.cpp. A window found in another process is a handle with bit 1 set,
// which never names a local window.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/win32.h"

#include <string>

namespace plat
{

constexpr DWORD kFindHoldMs = 3000;    // a starting holder's grace for its first window
constexpr DWORD kRequestWaitMs = 5000; // a client's wait for an answer

// The directory the sockets go in (see above), not yet checked.
std::string instance_default_dir();
// Creates dir if missing (mode 0700) and checks it: a real directory, owned
// by this user, with no group or other permission bits.
bool instance_check_dir(const std::string& dir, std::string* error);
// The socket of an origin's namespace in dir.
std::string instance_socket_path(const std::string& dir, const std::string& origin);

// Joins the namespace of the current profile in dir (empty: the default
// directory): becomes its holder when no live process holds it, else a member
// that asks the holder. Once per process; joining again is a no-op until
// instance_leave(). False (with the reason) when the directory or the socket
// cannot be used; windows then stay local to the process.
bool instance_join(const std::string& dir, std::string* error);
bool instance_joined();
bool instance_is_holder();
// Stops the listener, removes the socket and releases the lock.
void instance_leave();
// Only removes this holder's socket file: for a process ending at once (the
// device restart, a station verdict), where joining the listener is not
// worth waiting for. Safe from any thread.
void instance_abandon();

// Posts WM_COMMAND id to the program window of the process holding origin's
// namespace in dir (empty: the default directory). Used by the process
// entry's --post. Does not join the namespace.
enum class PostResult
{
    Delivered,  // the holder posted it
    NoInstance, // no process holds the namespace, or it has no program window
    Failed,     // the directory or the socket could not be used; *error says why
};
PostResult instance_post_command(const std::string& dir, const std::string& origin, int id, std::string* error);

// Whether hwnd (its lowest bit ignored) stands for a window of another
// process.
bool instance_is_remote(HWND hwnd);

} // namespace plat
