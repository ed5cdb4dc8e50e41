// The device's window namespace across processes.
//
// On the handheld every window of every program is visible to FindWindowW;
// here each process has its own window table, and processes started on the
// same device share one namespace through a local socket. The namespace is
// keyed by a string the process entry passes: what makes a device one
// handheld (today the profile's origin, profile_origin(): "built-in" or the
// profile file's canonical path). Two processes with one key are one handheld
// (a second instance is refused), while processes with different keys are
// different handhelds and do not see each other.
//
// Design:
//   - The sockets live in a directory only this user can enter:
//     $FWU_RUNTIME_DIR if set, else $XDG_RUNTIME_DIR/fwutil, else one that
//     nobody else can make first: /run/fwutil for root; for another user
//     /run/user/<uid>/fwutil (when the login manager made that folder), else
//     $XDG_STATE_HOME/fwutil/run or ~/.local/state/fwutil/run (the home from
//     the user database when HOME is unset), and /tmp/fwutil-<uid> only for
//     a user with none of these. It is created with mode 0700 and checked
//     with lstat: a directory that is a link, not ours, or open to group or
//     others is refused. Then the next of instance_dirs() is used, with a
//     debug line that says where; --post looks in the same places in the
//     same order.
//   - Per key: "ns-<hash>.sock" and "ns-<hash>.lock", hash = FNV-1a 64 of
//     the key in hex. The process holding an exclusive flock on the lock
//     file is the namespace's holder: it removes a stale socket left by a
//     holder that died, binds the socket and answers requests on a listener
//     of its own (instance_internal.h: many connections at once, each with
//     its own deadline; out of descriptors it sheds connections instead of
//     spinning). The lock goes with the process, so a crashed holder never
//     blocks the next one. A holder that leaves removes both files; a lock
//     taken on a file that is no longer the one at its path counts for
//     nothing, so removing it cannot make two holders.
//   - Requests are one line each, answered with one line: "find\tCLASS[\t
//     TITLE]" -> "ok\t<hwnd>" or "none"; "front\t<hwnd>\t<0|1>" (bring the
//     window forward, 1: with the windows it owns) -> "ok" or "none";
//     "command\t<id>" (post WM_COMMAND id to the program's window) -> "ok",
//     "ok\t<reply>" or "none". A command may end the process at once (a
//     device restart): instance_abandon, which the going-down path calls,
//     first waits (up to 500 ms) for the answers in flight, so the asker
//     still learns it was delivered. The listener never calls a window
//     procedure: a command becomes a posted message to the window's thread,
//     and bringing a window forward only records it and tells the display,
//     so no request can block the UI thread.
//   - A command with a reply registered (instance_set_command_reply) is
//     answered once the window's thread has handled it and what that
//     handling posted to the window in turn (two posted calls, each behind
//     the messages before it), kReplyWaitMs at most, with what the reply
//     says then. So the process entry can tell --post what a command brought
//     about (the bridge's peer) while the tool's code knows nothing of the
//     namespace.
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

#include "platform/kernel/runtime_dir.h"
#include "platform/win32.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plat
{

constexpr DWORD kFindHoldMs = 3000;    // a starting holder's grace for its first window
constexpr DWORD kRequestWaitMs = 5000; // a client's wait for an answer
constexpr DWORD kReplyWaitMs = 2000;   // the holder's wait for a command with a reply to be handled

// The socket of a key's namespace in dir.
std::string instance_socket_path(const std::string& dir, const std::string& key);

// Joins the namespace of key in dir (empty: the first usable of
// instance_dirs()): becomes its holder when no live process holds it, else a
// member that asks the holder. Once per process; joining again is a no-op
// until instance_leave(). False (with the reason) when no directory or socket
// can be used; windows then stay local to the process.
bool instance_join(const std::string& dir, const std::string& key, std::string* error);
// The same with the profile's origin as the key.
bool instance_join(const std::string& dir, std::string* error);
bool instance_joined();
bool instance_is_holder();
// The pid of the namespace's holder (this process when it holds it), as its
// lock file names it; 0 when not joined or unknown.
long instance_holder_pid();
// The directory joined (empty when not joined).
std::string instance_dir();
// Stops the listener, lets the requests being answered finish, removes the
// socket and the lock file (the holder) and releases the lock.
void instance_leave();
// Only removes this holder's socket and lock files, once the answers in
// flight are sent (500 ms at most): for a process ending at once (the device
// restart, a station verdict), where stopping the listener is not worth
// waiting for. Safe from any thread but a listener's.
void instance_abandon();
// The same for a signal handler: async-signal-safe (only unlink).
void instance_unlink_now();

// Posts WM_COMMAND id to the program window of the process holding key's
// namespace in dir (empty: each of instance_dirs() in turn). Used by the
// process entry's --post. Does not join the namespace.
enum class PostResult
{
    Delivered,  // the holder posted it
    NoInstance, // no process holds the namespace, or it has no program window
    Failed,     // the directory or the socket could not be used; *error says why
};
// *reply (optional) gets the holder's reply line, empty when it has none.
PostResult instance_post_command(const std::string& dir, const std::string& key, int id, std::string* error,
                                 std::string* reply = nullptr);

// The holder's reply to command id, asked on a listener thread once the
// command has been handled (see above); one line, tabs and line ends become
// spaces; empty: none. Null removes it. The process entry registers them
// before it joins.
using CommandReply = std::string (*)();
void instance_set_command_reply(int id, CommandReply reply);

// Whether hwnd (its lowest bit ignored) stands for a window of another
// process.
bool instance_is_remote(HWND hwnd);

// A request line as the holder reads it (without its newline). Bad: not a
// request ("error" is the answer). A "front" whose handle does not read as
// one of a top-level window's values keeps window 0 (answered "none").
struct InstanceRequest
{
    enum Kind
    {
        Bad,
        Find,
        Front,
        Command,
    };
    Kind kind = Bad;
    std::u16string className; // Find
    std::u16string title;     // Find, when hasTitle
    bool hasTitle = false;    // Find
    uint64_t window = 0;      // Front: the handle's value in the holder's process
    bool withOwned = false;   // Front: with the windows it owns
    int id = 0;               // Command: 0..0xFFFF
};
InstanceRequest instance_parse_request(const std::string& line);

} // namespace plat
