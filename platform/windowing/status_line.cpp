// The status line's state and texts (status_line.h).
#include "platform/windowing/status_line.h"

#include "platform/kernel/run_report.h"
#include "platform/kernel/text.h"
#include "platform/serial/open_reason.h"
#include "platform/serial/serial_status.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <iterator>
#include <mutex>

namespace plat
{
namespace
{

using Steady = std::chrono::steady_clock;

constexpr double kRateWindowSeconds = 10.0; // the rate is taken over this much of the recent past
constexpr int kStderrStepPercent = 10;

struct Sample
{
    Steady::time_point at;
    uint32_t done;
};

struct Status
{
    std::mutex mu;
    bool running = false; // a run's phases are coming in
    DWORD phase = RUNPHASE_NONE;
    DWORD detail = 0; // the phase's lParam
    uint32_t total = 0;
    uint32_t done = 0;
    std::deque<Sample> samples; // the image's acknowledgements in the rate window
    HANDLE bridgeModule = nullptr;
    HANDLE bridgePeer = nullptr;
    std::string last; // the run's end or the latest notice
    bool toStderr = false;
    bool quiet = false;
    int stderrStep = -1; // the image's last tenth written to stderr
    void (*listener)() = nullptr;
};

Status& status()
{
    static Status* s = new Status; // never destroyed: late threads may still post
    return *s;
}

// A run report code and the words for it.
struct CodeText
{
    DWORD code;
    const char* text;
};

// The first row whose code matches, or null.
const char* text_of(const CodeText* rows, size_t count, DWORD code)
{
    for (size_t i = 0; i < count; i++)
    {
        if (rows[i].code == code)
            return rows[i].text;
    }
    return nullptr;
}

// clang-format off
// phase             text
const CodeText kPhaseTexts[] = {
    {RUNPHASE_OPEN,    "Opening the link"},
    {RUNPHASE_WAKE,    "Waiting for the boot ROM"},
    {RUNPHASE_LOADER1, "Stage 1 loader"},
    {RUNPHASE_LOADER2, "Stage 2 loader"},
    {RUNPHASE_ERASE,   "Erasing the module's flash"},
    {RUNPHASE_IMAGE,   "Image"},
    {RUNPHASE_VERIFY,  "Verifying the image"},
    {RUNPHASE_RESTART, "Flashed: restarting"},
};

// reason                  text
const CodeText kReasonTexts[] = {
    {RUNREASON_SILENT,    "the module stopped answering"},
    {RUNREASON_LINK_LOST, "the link was lost"},
    {RUNREASON_REJECTED,  "the module did not accept the image"},
    {RUNREASON_OPEN,      "the port could not be opened"},
    {RUNREASON_NO_IMAGE,  "the image is missing"},
};
// clang-format on

std::string format(const char* fmt, double a)
{
    char buf[32];
    snprintf(buf, sizeof buf, fmt, a);
    return buf;
}

// Under s.mu: the rate window's bytes and seconds.
void rate_window(const Status& s, uint32_t* bytes, double* seconds)
{
    *bytes = 0;
    *seconds = 0;
    if (s.samples.size() < 2)
        return;
    *bytes = s.samples.back().done - s.samples.front().done;
    *seconds = std::chrono::duration<double>(s.samples.back().at - s.samples.front().at).count();
}

// Under s.mu.
std::string run_text(const Status& s)
{
    // Nothing here resets the module: only a person can, so the line asks.
    if (s.phase == RUNPHASE_WAKE && !RilCanReset())
        return status_phase_text(s.phase, s.detail) + ": power-cycle the module now (nothing here can reset it)";
    if (s.phase != RUNPHASE_IMAGE)
        return status_phase_text(s.phase, s.detail);
    uint32_t bytes;
    double seconds;
    rate_window(s, &bytes, &seconds);
    return status_image_text(s.done, s.total, bytes, seconds);
}

// Under s.mu.
std::string bridge_text(const Status& s)
{
    PortStatus module, peer;
    if (!serial_port_status(s.bridgeModule, &module) || !serial_port_status(s.bridgePeer, &peer))
        return std::string();
    return "Bridge " + status_bridge_end_text(module.device, module.path, module.read) + ", " +
           status_bridge_end_text(peer.device, peer.path, peer.read);
}

// Under s.mu: a line for the headless display's stderr, or empty.
std::string stderr_line(Status& s, UINT msg)
{
    if (!s.toStderr || s.quiet)
        return std::string();
    if (msg == WM_FWU_PROGRESS)
    {
        int step = s.total > 0 ? (int)((uint64_t)s.done * 100 / s.total) / kStderrStepPercent : 0;
        if (step <= s.stderrStep)
            return std::string();
        s.stderrStep = step;
    }
    else if (msg == WM_FWU_PHASE)
    {
        s.stderrStep = 0; // a phase's start is its own line
    }
    std::string text = msg == WM_FWU_RUN_END ? s.last : run_text(s);
    return text.empty() ? text : "fwutil: " + printable_text(text) + "\n";
}

void notify(void (*listener)(), const std::string& line)
{
    if (!line.empty())
    {
        fputs(line.c_str(), stderr);
        fflush(stderr);
    }
    if (listener != nullptr)
        listener();
}

// Under s.mu.
void take_phase(Status& s, DWORD phase, DWORD detail)
{
    s.running = true;
    s.phase = phase;
    s.detail = detail;
    if (phase == RUNPHASE_IMAGE)
    {
        s.total = detail;
        s.done = 0;
        s.samples.clear();
        s.samples.push_back(Sample{Steady::now(), 0});
    }
}

// Under s.mu.
void take_progress(Status& s, uint32_t done)
{
    Steady::time_point now = Steady::now();
    s.done = done;
    s.samples.push_back(Sample{now, done});
    while (s.samples.size() > 2 && std::chrono::duration<double>(now - s.samples[1].at).count() >= kRateWindowSeconds)
        s.samples.pop_front();
}

} // namespace

std::string status_rate_text(double bytesPerSecond)
{
    if (bytesPerSecond < 1000)
        return format("%.0f B/s", bytesPerSecond);
    if (bytesPerSecond < 1000 * 1000)
        return format("%.1f kB/s", bytesPerSecond / 1000);
    return format("%.1f MB/s", bytesPerSecond / (1000 * 1000));
}

std::string status_duration_text(double seconds)
{
    long total = seconds > 0 ? (long)std::ceil(seconds) : 0;
    char buf[32];
    if (total >= 3600)
        snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        snprintf(buf, sizeof buf, "%ld:%02ld", total / 60, total % 60);
    return buf;
}

std::string status_image_text(uint32_t done, uint32_t total, uint32_t rateBytes, double rateSeconds)
{
    uint64_t percent = total > 0 ? (uint64_t)std::min(done, total) * 100 / total : 0;
    std::string text = "Image " + std::to_string(percent) + "%";
    if (rateBytes == 0 || rateSeconds <= 0)
        return text;
    double rate = rateBytes / rateSeconds;
    uint32_t left = total > done ? total - done : 0;
    return text + "  " + status_rate_text(rate) + "  " + status_duration_text(left / rate) + " left";
}

std::string status_phase_text(DWORD phase, DWORD detail)
{
    const char* text = text_of(kPhaseTexts, std::size(kPhaseTexts), phase);
    if (text == nullptr)
        return std::string();
    if (phase == RUNPHASE_WAKE && detail > 0)
        return std::string(text) + " (attempt " + std::to_string(detail) + ")";
    return text;
}

std::string status_end_text(DWORD state, DWORD reason)
{
    if (state == RUNSTATE_FLASHED)
        return "Update done";
    const char* text = text_of(kReasonTexts, std::size(kReasonTexts), reason);
    return text != nullptr ? std::string("Update failed: ") + text : std::string("Update failed");
}

std::string status_interrupted_text(DWORD phase)
{
    static const char kNoFirmware[] =
        ": the module has no working firmware; run the update again (its boot ROM takes a new update)";
    switch (phase)
    {
        case RUNPHASE_ERASE:
            return std::string("interrupted while the module erased its flash") + kNoFirmware;
        case RUNPHASE_IMAGE:
            return std::string("interrupted during the image transfer") + kNoFirmware;
        case RUNPHASE_VERIFY:
            return std::string("interrupted while the module checked the image") + kNoFirmware;
        case RUNPHASE_RESTART:
            return "interrupted after the module was flashed: the new firmware is in place";
        default:
            return "interrupted before the image transfer: the module's firmware is unchanged";
    }
}

std::string status_bridge_end_text(const std::string& device, const std::string& path, uint64_t sent)
{
    return device + (path.empty() ? "" : " " + path) + " sent " + std::to_string(sent) + " B";
}

bool status_message(UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg < WM_FWU_PHASE || msg > WM_FWU_BRIDGE)
        return false;
    Status& s = status();
    std::string line;
    void (*listener)();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        switch (msg)
        {
            case WM_FWU_PHASE:
                take_phase(s, (DWORD)wParam, (DWORD)lParam);
                break;
            case WM_FWU_PROGRESS:
                take_progress(s, (uint32_t)lParam);
                break;
            case WM_FWU_RUN_END:
                s.running = false;
                s.last = status_end_text((DWORD)wParam, (DWORD)lParam);
                // The port's path and the system's reason, as the open said them.
                if ((DWORD)lParam == RUNREASON_OPEN && !serial_last_open_failure().empty())
                    s.last = "Update failed: " + serial_last_open_failure();
                else if (FAILEDCALL cause; (DWORD)lParam == RUNREASON_LINK_LOST && QueryRunCause(&cause))
                    s.last = "Update failed: link lost: " + failed_call_text(cause);
                break;
            default: // WM_FWU_BRIDGE
                s.bridgeModule = (HANDLE)wParam;
                s.bridgePeer = (HANDLE)lParam;
                break;
        }
        if (msg != WM_FWU_BRIDGE)
            line = stderr_line(s, msg);
        listener = s.listener;
    }
    notify(listener, line);
    return true;
}

void status_notice(const std::string& text)
{
    Status& s = status();
    std::string line;
    void (*listener)();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.last = text;
        if (s.toStderr && !s.quiet && !text.empty())
            line =
                "fwutil: " + printable_text(text) + "\n"; // a path from the profile: its control characters written out
        listener = s.listener;
    }
    notify(listener, line);
}

// A failed open reaches the line through the serial room's notice listener:
// that room sits below the window system and never names the line itself.
static const bool g_openNoticeSet = []
{
    serial_set_notice_listener(status_notice);
    return true;
}();

std::string status_text()
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    if (s.running)
        return run_text(s);
    if (s.bridgeModule != nullptr)
    {
        std::string text = bridge_text(s);
        if (!text.empty())
            return text;
        s.bridgeModule = s.bridgePeer = nullptr; // its ports are closed: the bridge stopped
        s.last = "Bridge stopped";
    }
    return s.last;
}

std::string status_image_rate_text()
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    uint32_t bytes;
    double seconds;
    rate_window(s, &bytes, &seconds);
    if (bytes == 0 || seconds <= 0)
        return std::string();
    double rate = bytes / seconds;
    uint32_t left = s.total > s.done ? s.total - s.done : 0;
    return status_rate_text(rate) + "  " + status_duration_text(left / rate) + " left";
}

bool status_bridge_peer(std::string* device, std::string* path)
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    PortStatus module, peer;
    if (s.bridgeModule == nullptr || !serial_port_status(s.bridgeModule, &module) ||
        !serial_port_status(s.bridgePeer, &peer))
        return false;
    *device = peer.device;
    *path = peer.path;
    return true;
}

bool status_needs_polling()
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    return !s.running && s.bridgeModule != nullptr;
}

void status_set_listener(void (*changed)())
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    s.listener = changed;
}

void status_set_stderr(bool on)
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    s.toStderr = on;
}

void status_set_quiet(bool quiet)
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    s.quiet = quiet;
}

void status_reset()
{
    Status& s = status();
    std::lock_guard<std::mutex> lock(s.mu);
    s.running = false;
    s.phase = RUNPHASE_NONE;
    s.detail = s.total = s.done = 0;
    s.samples.clear();
    s.bridgeModule = s.bridgePeer = nullptr;
    s.last.clear();
    s.toStderr = s.quiet = false;
    s.stderrStep = -1;
    s.listener = nullptr;
}

} // namespace plat
