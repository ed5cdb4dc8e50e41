// The status line: one line, outside every log pane, that says what the
// device is doing now. The terminal display draws it on a row of its own
// above the menu bar; the headless display writes its download progress to
// stderr; the process entry answers a posted bridge start with its peer.
//
// What it shows, first match wins:
//   - a download run going on: its phase ("Waiting for the boot ROM (attempt
//     2)"), and in the image phase the percent, the rate and the time left,
//     computed from the acknowledged bytes and the times they arrived;
//   - a serial bridge running: both ends with the device names and what
//     stands behind them, and the bytes each end has sent;
//   - otherwise the last notice: how the latest run ended, or what the
//     platform last had to say (status_notice: an open failure).
//
// Fed by the program's window through DefWindowProcW (WM_FWU_PHASE,
// WM_FWU_PROGRESS, WM_FWU_RUN_END and WM_FWU_BRIDGE of win32.h), so the
// program posts and never waits for it.
//
// Only files under platform/ and tests include this header.
#pragma once

#include "platform/win32.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace plat
{

// ---------------------------------------------------------------------------
// Formatting (pure; unit-tested)
// ---------------------------------------------------------------------------
// "980 B/s", "11.2 kB/s", "1.5 MB/s" (1 kB = 1000 bytes).
std::string status_rate_text(double bytesPerSecond);
// "0:42", "3:05", "1:02:03"; whole seconds, rounded up.
std::string status_duration_text(double seconds);
// The image phase: "Image 45%  11.2 kB/s  3:05 left". rateBytes bytes were
// acknowledged over rateSeconds (the recent window); with no rate yet (0
// seconds or 0 bytes) only the percent is shown. The percent rounds down,
// so 100% means every byte.
std::string status_image_text(uint32_t done, uint32_t total, uint32_t rateBytes, double rateSeconds);
// A phase other than the image: "Opening the link", "Waiting for the boot ROM
// (attempt 2)". detail is the phase's lParam (the attempt for the wake phase).
std::string status_phase_text(DWORD phase, DWORD detail);
// How a run ended: "Update done", "Update failed: the module stopped
// answering". state is RUNSTATE_*, reason RUNREASON_*.
std::string status_end_text(DWORD state, DWORD reason);
// What a run stopped in this phase (a signal, a quit) left the module with:
// "interrupted during the image transfer: the module has no working firmware;
// run the update again (its boot ROM takes a new update)".
std::string status_interrupted_text(DWORD phase);
// A bridge end for the status line: "COM1: /dev/pts/4 sent 12 B".
std::string status_bridge_end_text(const std::string& device, const std::string& path, uint64_t sent);

// ---------------------------------------------------------------------------
// The state (any thread)
// ---------------------------------------------------------------------------
// A message the program's window did not handle itself; true when it was one
// of the status messages.
bool status_message(UINT msg, WPARAM wParam, LPARAM lParam);
// The platform's latest word for a person: shown when no run and no bridge
// is going on (and written to stderr by the headless display).
void status_notice(const std::string& text);
// The line as it stands now (empty: nothing to say).
std::string status_text();
// The image's rate and time left as the line shows them ("11.2 kB/s  3:05
// left"), over the recent window of its acknowledgements; empty before a rate
// is known. For progress written elsewhere (station mode's lines).
std::string status_image_rate_text();
// The running bridge's peer end as the line shows it: its device name and
// the path behind it (a pseudo-terminal's far end, a tty; may be empty).
// False when no bridge runs.
bool status_bridge_peer(std::string* device, std::string* path);
// Whether the line can change without a message (a bridge's byte counts):
// the terminal display then looks again every kStatusPollMs.
bool status_needs_polling();
constexpr int kStatusPollMs = 250;

// Called (on the thread that changed it) when the line may have changed.
void status_set_listener(void (*changed)());
// The headless display's lines on stderr: phase changes, the image at most
// every 10 %, the end and notices. Off until turned on; the quiet flag (the
// process entry's -q, and station mode, which writes its own) keeps them off.
void status_set_stderr(bool on);
void status_set_quiet(bool quiet);
// Back to the state at start (tests).
void status_reset();

} // namespace plat
