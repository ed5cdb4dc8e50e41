// Station mode: one update with nobody at the device. A watcher thread posts
// the update once the program's window runs, reads the platform's run report
// whenever it changes, writes progress lines, and ends the process with the run's
// verdict; the device restart that follows a flash ends it with 0. Every end
// writes one result line on stderr and, with --report, the run's record.
#include "app/app.h"

#include "platform/windowing/status_line.h"

#include "download/run.h" // IDM_UPDATE_GO, the command station mode sends
#include "platform/kernel/firmware_set.h"
#include "platform/kernel/run_report.h"
#include "platform/kernel/text.h"
#include "platform/serial/open_reason.h"
#include "platform/shellapi/shell_ui.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace app
{
namespace
{

using Steady = std::chrono::steady_clock;

constexpr int kStartPollMs = 10;    // while the window is awaited: the update starts sooner
constexpr DWORD kProgressStep = 10; // percent between two progress lines

// clang-format off
// RUNPHASE_*      name in the record and the progress lines
const char* const kPhaseNames[] = {
    /* NONE */     "",
    /* OPEN */     "open",
    /* WAKE */     "wake",
    /* LOADER1 */  "loader1",
    /* LOADER2 */  "loader2",
    /* ERASE */    "erase",
    /* IMAGE */    "image",
    /* VERIFY */   "verify",
    /* RESTART */  "restart",
};

// clang-format on

const char* phase_name(DWORD phase)
{
    return phase < sizeof(kPhaseNames) / sizeof(kPhaseNames[0]) ? kPhaseNames[phase] : "";
}

struct Station
{
    Options o;
    Device device;
    Firmware firmware;
    std::chrono::system_clock::time_point startWall;
    Steady::time_point start;
    Steady::time_point posted; // the update was posted (epoch: not yet)
    std::atomic<bool> ended{false};
    Outcome outcome = Outcome::Unknown;
    int endSignal = 0;
    std::string detail;     // more about the reason: the port, the error code
    std::string resultText; // the result line, once written
};

Station& station()
{
    static Station* s = new Station; // threads may still run at exit
    return *s;
}

// Read by the signal handler: plain atomics, ready before main.
std::atomic<bool> g_running{false};
std::atomic<int> g_signal{0}; // a stopping signal that arrived

// ---------------------------------------------------------------------------
// Phases: the run's timeline in named spans
// ---------------------------------------------------------------------------
struct Mark
{
    Steady::time_point at;
    std::string name;
};

// Where each span starts: the process start, the posted update, then the run
// report's changes. Without phases reported, the download is one span from
// its first attempt to the module's final acknowledgement.
std::vector<Mark> timeline(const Station& s, const std::vector<plat::RunEvent>& events)
{
    std::vector<Mark> marks = {{s.start, "start-up"}};
    if (s.posted == Steady::time_point())
        return marks;
    marks.push_back({s.posted, "prepare"});
    bool phases = false;
    for (const plat::RunEvent& e : events)
        phases = phases || (e.item == RUNREPORT_PHASE && e.value != RUNPHASE_NONE);
    for (const plat::RunEvent& e : events)
    {
        if (e.at < s.posted)
            continue;
        if (e.item == RUNREPORT_RUNNING && e.value == 1 && !phases)
            marks.push_back({e.at, "open"});
        else if (e.item == RUNREPORT_ATTEMPTS && e.value > 0 && !phases)
            marks.push_back({e.at, "download"});
        else if (e.item == RUNREPORT_PHASE && e.value != RUNPHASE_NONE)
            marks.push_back({e.at, phase_name(e.value)});
        else if (e.item == RUNREPORT_STATE && e.value == RUNSTATE_FLASHED)
            marks.push_back({e.at, "restart"});
        else if (e.item == RUNREPORT_STATE && e.value != RUNSTATE_ACTIVE)
            marks.push_back({e.at, "closing"});
    }
    return marks;
}

// Each name's total time, in the order the names first came.
std::vector<Phase> phases_of(const std::vector<Mark>& marks, Steady::time_point end)
{
    std::vector<Phase> phases;
    for (size_t i = 0; i < marks.size(); i++)
    {
        Steady::time_point until = i + 1 < marks.size() ? marks[i + 1].at : end;
        long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - marks[i].at).count();
        Phase* found = nullptr;
        for (Phase& p : phases)
            found = p.name == marks[i].name ? &p : found;
        if (found != nullptr)
            found->ms += ms;
        else
            phases.push_back({marks[i].name, ms});
    }
    return phases;
}

// ---------------------------------------------------------------------------
// The end
// ---------------------------------------------------------------------------
std::string reason_text(const Station& s)
{
    std::string reason = outcome_reason(s.outcome);
    if (s.outcome == Outcome::Interrupted)
        reason = "stopped by signal " + std::to_string(s.endSignal) + " (" + sigabbrev_np(s.endSignal) + ")";
    if (!s.detail.empty())
        reason += " (" + s.detail + ")";
    return reason;
}

RunRecord make_record(const Station& s, int status)
{
    RunRecord r;
    r.profile = s.device.origin;
    r.port = s.device.port;
    r.log = debug_log_path();
    r.start = s.startWall;
    r.end = std::chrono::system_clock::now();
    r.outcome = s.outcome;
    r.status = status;
    r.reason = s.outcome == Outcome::Flashed ? std::string() : reason_text(s);
    r.openError = QueryRun(RUNREPORT_OPEN_ERROR);
    // A run that flashed keeps no cause: a write it traced did not decide it.
    r.hasCause = s.outcome != Outcome::Flashed && QueryRunCause(&r.cause);
    r.attempts = (int)QueryRun(RUNREPORT_ATTEMPTS);
    if (s.outcome == Outcome::ModuleSilent && r.attempts > s.o.attempts)
        r.attempts = s.o.attempts; // the next one had only begun
    r.attemptsAllowed = s.o.attempts;
    r.timeLimitSeconds = s.o.timeoutSeconds;
    r.phases = phases_of(timeline(s, plat::run_report_history()), Steady::now());
    r.bytesSent = QueryRun(RUNREPORT_BYTES_SENT);
    r.firmware = s.firmware;
    const plat::FirmwareSet* set = plat::firmware_set_current();
    if (!r.firmware.refused && set != nullptr)
    {
        for (int i = 0; i < plat::kFirmwarePayloads && i < (int)r.firmware.payloads.size(); i++)
            r.firmware.payloads[i].sha256 = plat::firmware_payload_sha256(*set, i);
    }
    // A refused set served nothing: no image to name.
    if (r.firmware.refused || !image_digest(&r.imageBytes, &r.imageSha256))
        r.imageSha256.clear();
    return r;
}

// ---------------------------------------------------------------------------
// Watching the run
// ---------------------------------------------------------------------------

// Progress lines on stderr (not with -q), as the run report tells them: a new
// attempt, every phase the run entered (from its timeline, so a short phase
// between two looks is not missed), and the image every kProgressStep percent.
struct Progress
{
    DWORD attempts = 0;
    Steady::time_point seen; // timeline entries up to here were looked at
    DWORD percent = 0;
};

void progress_line(const std::string& text)
{
    if (!station().o.quiet)
        fprintf(stderr, "fwutil: %s\n", text.c_str());
}

// The image's percent, when it passed another kProgressStep.
void show_percent(Progress* p)
{
    DWORD percent = QueryRun(RUNREPORT_PROGRESS);
    if (percent / kProgressStep > p->percent / kProgressStep && percent <= 100)
    {
        // The rate and the time left, as the headless display's line has them.
        std::string rate = plat::status_image_rate_text();
        progress_line("image " + std::to_string(percent / kProgressStep * kProgressStep) + "%" +
                      (rate.empty() ? "" : "  " + rate));
    }
    p->percent = percent;
}

void show_progress(Progress* p)
{
    const Station& s = station();
    DWORD attempts = QueryRun(RUNREPORT_ATTEMPTS);
    if (attempts != p->attempts && attempts > 1 && attempts <= (DWORD)s.o.attempts)
        progress_line("attempt " + std::to_string(attempts) + " of " + std::to_string(s.o.attempts));
    p->attempts = attempts;
    for (const plat::RunEvent& e : plat::run_report_history())
    {
        if (e.at <= p->seen)
            continue;
        p->seen = e.at;
        if (e.item != RUNREPORT_PHASE || phase_name(e.value)[0] == 0)
            continue;
        if (e.value != RUNPHASE_IMAGE)
            show_percent(p); // the image's last lines before the phase after it
        progress_line(std::string("phase ") + phase_name(e.value));
    }
    show_percent(p);
}

// A verdict the run report gives, or Unknown while the run goes on.
Outcome verdict(const Station& s)
{
    switch (QueryRun(RUNREPORT_STATE))
    {
        case RUNSTATE_OPEN_FAILED:
        {
            // The failed call carries its fault: the outcome is that row's.
            FAILEDCALL cause;
            if (!QueryRunCause(&cause))
                return Outcome::OpenFailed;
            return plat::outcome_of_fault((plat::Fault)cause.dwFault, cause.nErrno);
        }
        case RUNSTATE_UPDATE_FAILED:
            return Outcome::TransferFailed;
        case RUNSTATE_LINK_LOST:
            return Outcome::LinkLost;
        case RUNSTATE_FLASHED:
            // The box, the module reset and the restart follow; only a worker
            // that ended without taking the device down is a verdict.
            return QueryRun(RUNREPORT_RUNNING) == 0 ? Outcome::NoRestart : Outcome::Unknown;
        case RUNSTATE_ACTIVE:
            return QueryRun(RUNREPORT_ATTEMPTS) > (DWORD)s.o.attempts ? Outcome::ModuleSilent : Outcome::Unknown;
        default:
            return Outcome::Unknown;
    }
}

void stop_if_due(Steady::time_point deadline)
{
    if (int sig = g_signal.load())
        station_end(Outcome::Interrupted, sig);
    if (Steady::now() >= deadline)
        station_end(Outcome::TimeLimit);
}

void nap_or_stop(Steady::time_point deadline, int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    stop_if_due(deadline);
}

// Waits for the run report to change, a stopping signal or the deadline: a
// timer of its own woke a station 10 times a second, as many wake-ups as its
// whole transfer at 115200 baud.
void wait_or_stop(Steady::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now()).count() + 1;
    plat::run_report_wait((int)std::clamp<long long>(left, 0, INT32_MAX));
    stop_if_due(deadline);
}

void watch()
{
    Station& s = station();
    Steady::time_point deadline = s.start + std::chrono::seconds(s.o.timeoutSeconds);
    HWND hwnd = nullptr;
    while ((hwnd = plat::program_window()) == nullptr)
        nap_or_stop(deadline, kStartPollMs);
    s.posted = Steady::now();
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDM_UPDATE_GO, 0), 0);
    Progress progress;
    for (;;)
    {
        wait_or_stop(deadline);
        show_progress(&progress);
        Outcome outcome = verdict(s);
        if (outcome != Outcome::Unknown)
            station_end(outcome);
    }
}

} // namespace

std::string cause_text(const FAILEDCALL& cause)
{
    return plat::failed_call_text(cause);
}

// The run's record starts here: what it runs on and when it began.
static Station& station_begin(const Options& o, const Device& device, const Firmware& firmware)
{
    Station& s = station();
    s.o = o;
    s.device = device;
    s.firmware = firmware;
    s.startWall = std::chrono::system_clock::now();
    s.start = Steady::now();
    return s;
}

// A run refused before anything was opened, joined or started: the result
// line and the record are all there is to do. Returns the process's status.
static int station_refuse(Station& s, Outcome outcome, const std::string& why, int status)
{
    s.outcome = outcome;
    s.detail = why;
    s.ended.store(true);
    return station_conclude(status, "");
}

void station_start(const Options& o, const Device& device, const Firmware& firmware)
{
    station_begin(o, device, firmware);
    g_running.store(true);
    progress_line("firmware " + firmware_summary(firmware));
    plat::run_report_watch(); // without it, the watcher reads the report every 100 ms
    std::thread(watch).detach();
}

[[noreturn]] void station_refuse_firmware(const Options& o, const Device& device, const Firmware& firmware)
{
    Station& s = station_begin(o, device, firmware);
    g_running.store(true);
    const int status = station_refuse(s, Outcome::FirmwareRefused, firmware.reason, kExitFirmwareRefused);
    write_outcome_line(station_result_text(), status);
    fflush(nullptr);
    _exit(status);
}

[[noreturn]] void station_refuse_profile(const Options& o, const std::string& why)
{
    Device device;
    device.origin = o.profile.empty() ? "built-in" : o.profile;
    device.port = o.port.empty() ? "-" : o.port; // the profile that would say it was refused
    Station& s = station_begin(o, device, Firmware{});
    const int status = station_refuse(s, Outcome::ProfileRefused, why, kExitUsage);
    fflush(nullptr);
    exit(status);
}

std::string station_result_text()
{
    return station().resultText;
}

bool station_running()
{
    return g_running.load();
}

void station_note_signal(int sig)
{
    g_signal.store(sig);
    plat::run_report_wake();
}

Outcome station_outcome_for_exit(int result)
{
    switch (result & 0xFF)
    {
        case kExitOk:
            return Outcome::ClosedEarly;
        case kExitClassFailed:
            return Outcome::ClassFailed;
        case kExitOtherInstance:
            return Outcome::OtherInstance;
        default:
            return Outcome::WindowFailed;
    }
}

[[noreturn]] void station_end(Outcome outcome, int sig)
{
    Station& s = station();
    if (s.ended.exchange(true))
    {
        for (;;)
            pause(); // another thread is ending the run
    }
    s.outcome = outcome;
    s.endSignal = sig;
    if (QueryRun(RUNREPORT_STATE) == RUNSTATE_OPEN_FAILED)
    {
        DWORD error = QueryRun(RUNREPORT_OPEN_ERROR);
        // The platform's own line names the device, the path and the system's reason.
        const std::string why = plat::serial_last_open_failure();
        s.detail = (why.empty() ? "COM1: is " + s.device.port : why) +
                   (error != 0 ? "; Win32 error " + std::to_string(error) : "");
    }
    else if (FAILEDCALL cause; outcome != Outcome::Flashed && QueryRunCause(&cause))
        s.detail = cause_text(cause); // the call, the device and the system's reason
    int status = sig != 0 ? kExitSignalBase + sig : outcome_status(outcome);
    end_process(status);
}

// Called by end_process once the display is closed: the result line, then
// the record. A record that could not be written is a status of its own: a
// script must not read an earlier run's record as this one's.
int station_conclude(int status, const std::string& leftWith)
{
    Station& s = station();
    if (!s.ended.exchange(true))
        s.outcome = station_outcome_for_exit(status); // ended without station_end
    RunRecord r = make_record(s, status);
    if (!leftWith.empty())
        r.reason += (r.reason.empty() ? "" : "; ") + leftWith;
    double seconds = std::chrono::duration<double>(r.end - r.start).count();
    char took[32];
    snprintf(took, sizeof(took), "%.1f s", seconds);
    std::string line = "fwutil: result: " + std::string(outcome_name(s.outcome)) + ", port " + r.port + ", " + took;
    if (!r.reason.empty())
        line += ", reason: " + r.reason;
    s.resultText = line.substr(strlen("fwutil: "));
    fprintf(stderr, "%s\n", plat::printable_text(line).c_str()); // the port and reason come from the profile
    std::string error;
    if (journal_wanted() && !journal_send(journal_fields(r, plat::printable_text(line.substr(8))), &error))
        fprintf(stderr, "fwutil: the outcome did not reach the journal: %s\n", error.c_str());
    int concluded = status;
    if (!s.o.report.empty() && !write_record(s.o.report, r, &error))
    {
        fprintf(stderr, "fwutil: cannot write the record: %s\n", plat::printable_text(error).c_str());
        concluded = kExitNoRecord;
    }
    if (!s.o.ledger.empty() && !ledger_append(r, &error))
    {
        fprintf(stderr, "fwutil: cannot append to the ledger: %s\n", plat::printable_text(error).c_str());
        concluded = kExitNoRecord;
    }
    return concluded;
}

} // namespace app
