// The platform's kernel debug output: where NKDbgPrintfW lines go.
//
// Each NKDbgPrintfW call formats one line (at most 1024 units, bounded like
// wsprintfW) and writes it as UTF-8, exactly as formatted (no prefix, no
// added line end), to the debug sink:
//   - stderr (the default), a file (opened once, appended, written line by
//     line), or nowhere;
//   - while the terminal display draws a window, a sink that is the display's
//     own terminal would scribble over the screen: such lines wait in a ring of
//     the last kDebugRingLines lines and are written out when the screen ends.
// Lines from many threads never interleave: each is written whole, under a
// lock, before the next.
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

constexpr size_t kDebugLineMax = 1024;   // units per NKDbgPrintfW line, terminator included
constexpr size_t kDebugRingLines = 4096; // lines held back while the screen is drawn

// Sink choices. debug_set_sink_file opens (creates, appends to) the file at
// once; on failure the previous sink stays and *error says why.
void debug_set_sink_stderr();
bool debug_set_sink_file(const std::string& path, std::string* error);
void debug_set_sink_off();

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
