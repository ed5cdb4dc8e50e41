// The platform's kernel debug output: where NKDbgPrintfW lines go.
//
// Each NKDbgPrintfW call formats one line (at most 1024 units, bounded like
// wsprintfW) and writes it as UTF-8 to the debug sink:
//   - stderr (the default), a file (opened once, appended, written line by
//     line), or nowhere;
//   - while the terminal display draws a window, a sink that is the display's
//     own terminal would scribble over the screen: such lines wait in a ring of
//     the last kDebugRingLines lines and are written out when the screen ends.
// Lines from many threads never interleave: each is written whole, under a
// lock, before the next, and a line never runs on into the next one: when a
// line came without a line end, the sink ends it before the next line starts.
//
// Two forms (debug_set_format): Raw writes each line as formatted; Stamped,
// the form of a log a person reads, starts every line with the local time to
// the millisecond ("2024-05-01 12:34:56.789 "), one text line per output line.
//
// The per-device log (debug_set_sink_log) is a file opened with care, since
// its folder may be a shared one: a symbolic link, something other than a
// regular file or a terminal (a FIFO would hang the start), or a file of
// another user is refused. A regular log file is rotated: once it would grow
// past its bound it becomes NAME.1 (replacing the older one) and NAME starts
// again, so at most two bounded files remain.
//
// Platform-internal and test-facing: the process entry picks the sink, the
// terminal display reports when it draws, tests capture the exact lines.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace plat
{

constexpr size_t kDebugLineMax = 1024;                    // units per NKDbgPrintfW line, terminator included
constexpr size_t kDebugRingLines = 4096;                  // lines held back while the screen is drawn
constexpr size_t kDebugLogRotateBytes = 10 * 1024 * 1024; // a log file's bound before it is rotated

// Sink choices. debug_set_sink_file opens (creates, appends to) the file at
// once; on failure the previous sink stays and *error says why.
void debug_set_sink_stderr();
bool debug_set_sink_file(const std::string& path, std::string* error);
void debug_set_sink_off();

// The per-device log (see above): a regular file of this user, or a terminal.
// rotateBytes 0: never rotated. On failure the previous sink stays and *error
// says why ("PATH: reason").
bool debug_set_sink_log(const std::string& path, size_t rotateBytes, std::string* error);

enum class DebugFormat
{
    Raw,     // as formatted (the default)
    Stamped, // local time to the millisecond at the start of every line
};
void debug_set_format(DebugFormat format);

// The folder per-device logs go in, created when missing (mode 0700):
// $XDG_STATE_HOME/fwutil, else $HOME/.local/state/fwutil, else the window
// namespace's folder (a folder only this user can make, runtime_dir.h). It
// must be a real folder owned by this user and closed to group and others;
// false with the reason when it cannot be made or is not.
bool debug_log_folder(std::string* dir, std::string* error);
// "fwutil-PROFILE-PORT-HASH.log": the profile's name and the port's, each
// reduced to letters, digits, '.', '_' and '-' ("/dev/ttyUSB0" becomes
// "ttyUSB0", "/dev/pts/7" "pts-7") and cut to kDebugLogPartMax, then the
// first 8 hex digits of the SHA-256 of the profile and port as given, so
// two devices that reduce alike ("/tmp/p:1", "/tmp/p-1") keep logs of their
// own, and a long profile name still makes a name the file system takes.
constexpr size_t kDebugLogPartMax = 48;
std::string debug_log_name(const std::string& profile, const std::string& port);

// Called by the terminal display when it starts and stops drawing. Turning it
// off writes out the lines held back meanwhile (with a note if the ring had to
// drop older ones). A sink on another terminal, a file or a pipe is not held
// back.
void debug_set_screen_active(bool active);

// Writes one line as given (UTF-16, converted to UTF-8 at the sink). Platform
// code uses it for its own announcements, such as the far end of a pty.
void debug_write(std::u16string_view line);

// Test hook: from debug_capture_begin() on, every line is recorded (instead of
// reaching the sink) until debug_capture_end(). debug_capture_take() returns
// the lines recorded so far, one entry per NKDbgPrintfW call, and clears them.
void debug_capture_begin();
std::vector<std::u16string> debug_capture_take();
void debug_capture_end();

// Number of lines currently held back for the screen (tests).
size_t debug_pending_count();

} // namespace plat
