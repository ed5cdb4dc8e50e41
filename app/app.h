// The process entry's rooms, as the composition root sees them:
//
//   options.cpp  the command line (getopt_long): Options, the help text,
//                strict numbers, the checks between options
//   device.cpp   which device this run is: the profile (a file, or a name
//                looked up in the configuration folders), --port and --peer
//                standing behind the profile's device names, the namespace key
//   logs.cpp     where the trace goes: the per-device log, --debug, the run's
//                header
//   station.cpp  station mode: starts the update, watches the run report,
//                maps how the run ended to an exit status, the result line,
//                progress lines
//   firmware.cpp which firmware set this run sends (--firmware, the profile's
//                Firmware key, else the embedded images), checked before the
//                module is touched; --check-firmware
//   outcomes.cpp station mode's outcome table: exit status, name, reason, and
//                the outcome of a failed open
//   report.cpp   the run's JSON record (--report) and the image's digest
//   main.cpp     main(): standard descriptors, the display, the namespace,
//                WinMain, ending the process
//
// Exit statuses are in the table below (and in --help, the manual page and
// the README, which a script checks against each other).
#pragma once

#include "platform/kernel/faults.h"
#include "platform/win32.h"

#include <chrono>
#include <string>
#include <vector>

namespace app
{

// ---------------------------------------------------------------------------
// Exit statuses
// ---------------------------------------------------------------------------
// The statuses are in the fault table's header (platform/kernel/faults.h),
// beside the rows that give them.
using namespace plat::exits;

// ---------------------------------------------------------------------------
// Options (options.cpp)
// ---------------------------------------------------------------------------
constexpr int kStationDefaultSeconds = 600;
constexpr int kStationDefaultAttempts = 5;

enum class DisplayChoice
{
    Auto,
    Terminal,
    Headless,
};

struct Options
{
    std::string profile; // a file, or a name looked up; empty: the built-in profile
    bool profileGiven = false;
    std::string port; // --port: what stands behind "COM1:" for this run
    std::string peer; // --peer: what stands behind the bridge's peer names
    DisplayChoice display = DisplayChoice::Auto;
    std::string debug; // "stderr", "off", a file; empty: the default
    bool post = false;
    int postId = 0;
    bool station = false;
    int timeoutSeconds = kStationDefaultSeconds;
    int attempts = kStationDefaultAttempts;
    std::string report;         // --report: the run's JSON record
    bool quiet = false;         // -q: no progress lines, no notes
    int waitDeviceSeconds = 0;  // --wait-device: how long to wait for COM1:'s node; 0: not at all
    std::string firmware;       // --firmware: a set's folder, a set's name, or "standin"; empty: not given
    bool checkFirmware = false; // --check-firmware: check the set and exit
    std::string ledger;         // --ledger: the file the run's record is appended to as one line
    std::string ledgerSummary;  // --ledger-summary: the ledger to sum up, then exit
};

extern const char kVersionLine[]; // "fwutil X.Y.Z"
extern const char kHelp[];

// Reads the command line. --help and --version print and exit 0; a usage
// error prints its message and exits kExitUsage.
Options parse_options(int argc, char** argv);
[[noreturn]] void usage_error(const std::string& message);
// A decimal number from lo to hi, digits only: no sign, no blanks, no suffix.
bool parse_number(const std::string& text, long lo, long hi, long* out);
// Whether a command of the program's table has this id.
bool command_known(int id);

// ---------------------------------------------------------------------------
// The device (device.cpp)
// ---------------------------------------------------------------------------
struct Device
{
    std::string profilePath; // the file loaded; empty for the built-in profile
    std::string profileName; // "built-in", or the file's name without ".reg"
    std::string origin;      // profile_origin(): "built-in" or the canonical path
    std::string key;         // the window namespace's key: origin and overrides
    std::string port;        // what stands behind "COM1:": a path, "sim", "pty"...
    std::string portError;   // empty, or why the port's description is unsure
    // The profile's own warnings, "FILE:LINE: text" (not the overrides').
    std::vector<std::string> warnings;
};

// Finds and loads the profile with the command line's overrides. False with
// the reason (the file, the line) when it cannot.
bool load_device(const Options& o, Device* device, std::string* error);
// A profile given by name (no slash): $XDG_CONFIG_HOME/fwutil/NAME(.reg),
// ~/.config/fwutil/NAME(.reg), then /etc/fwutil/NAME(.reg).
bool find_profile(const std::string& name, std::string* path, std::string* error);
// The folders find_profile looks in, in order.
std::vector<std::string> profile_folders();
// "COM1:" as the profile now has it: "/dev/ttyUSB0", "sim", "pty", "cable:X:a".
std::string port_description(const char16_t* name);

// ---------------------------------------------------------------------------
// The firmware set (firmware.cpp)
// ---------------------------------------------------------------------------
// The word that asks for the embedded stand-ins by name.
extern const char kFirmwareStandin[]; // "standin"

struct FirmwarePayloadRecord
{
    WORD resource;    // 107-110
    std::string file; // boot1.bin ...
    DWORD bytes;
    std::string sha256; // lowercase hex
};

struct Firmware
{
    std::string asked;             // what named the set: a folder, a name, "standin"; empty: the embedded images
    std::string askedBy;           // "--firmware", "the profile" or empty
    bool requireSignature = false; // the profile's Firmware "RequireSignature"
    bool refused = false;
    std::string reason;        // why it was refused: one reason naming the file
    std::string source;        // "embedded stand-in", "embedded delivered", "folder"; empty when not known
    std::string path;          // the folder read (a name resolved), or a delivered build's folder
    std::string name, version; // from VERSION; empty when unknown
    std::vector<FirmwarePayloadRecord> payloads; // empty when refused
    std::string signature;                       // "good", "unsigned"; empty when refused
    std::string keyId;                           // the signing key's id, when good
    std::string keyFile;                         // the trusted key file that verified it
};

// Chooses and checks the set for this run (the profile is loaded: its
// Firmware key counts, the command line wins; through a real port the
// embedded stand-ins are refused unless asked for by name). A set accepted
// is served to the program's payload lookups; a refused one leaves nothing
// to send: the update command is refused with the reason.
Firmware choose_firmware(const Options& o, const Device& device);
// A set given by name (no slash): $XDG_DATA_HOME/fwutil/firmware/NAME
// (~/.local/share/...), then /usr/share/fwutil/firmware/NAME.
bool find_firmware(const std::string& name, std::string* path, std::string* error);
std::vector<std::string> firmware_folders();
// "gsm-module 2.41", "stand-in images" or "unnamed set".
std::string firmware_title(const Firmware& f);
// One line for people: "gsm-module 2.41 (folder /path, signed, key ABCD...)".
std::string firmware_summary(const Firmware& f);
// --check-firmware: prints the set, returns kExitOk or kExitFirmwareRefused.
int check_firmware(const Firmware& f);
// Refuses the update command in the window with the reason (status line, trace).
void refuse_updates(const Firmware& f);

// ---------------------------------------------------------------------------
// The trace (logs.cpp)
// ---------------------------------------------------------------------------
// Picks the debug sink; exits kExitUsage when --debug names something unusable.
void set_up_debug(const Options& o, const Device& device, bool terminal);
// The header that starts each run in the trace, with the firmware set.
void write_run_header(const Options& o, const Device& device, const Firmware& firmware);
// The per-device log in use, or empty.
const std::string& debug_log_path();
// After the terminal display: one line on stderr, once, saying how the run
// ended (ending) and which file holds the trace. Nothing for an empty ending
// or with the headless display (its output said it all along).
void announce_debug_file(const std::string& ending);
// The trace's last line, once per process whatever ended the run: "==== ended
// TIME: HOW, exit status N ====" (written out at once, before the process ends).
void write_outcome_line(const std::string& how, int status);

// ---------------------------------------------------------------------------
// Station mode (station.cpp)
// ---------------------------------------------------------------------------
// How a run ends, its exit status, name and reason: the fault table's rows
// (platform/kernel/faults.h), where a failed open's fault leads to its outcome.
using plat::Outcome;
using plat::outcome_name;
using plat::outcome_reason;
using plat::outcome_status;

// Starts the watcher thread: posts the update once the window runs and ends
// the process with the run's verdict.
void station_start(const Options& o, const Device& device, const Firmware& firmware);
// The set was refused before anything was opened: the result line, the
// record, and the process ends with kExitFirmwareRefused.
[[noreturn]] void station_refuse_firmware(const Options& o, const Device& device, const Firmware& firmware);
// The run ends with this outcome: the result line, the record, the status.
[[noreturn]] void station_end(Outcome outcome, int signal = 0);
// The outcome for what WinMain returned in station mode.
Outcome station_outcome_for_exit(int result);
// The profile was refused before anything ran: the result line (with the
// reason) and the record say so, and the process ends with kExitUsage.
[[noreturn]] void station_refuse_profile(const Options& o, const std::string& why);
// A stopping signal arrived (async-signal-safe): the watcher ends the run.
void station_note_signal(int sig);
bool station_running();
// Called by end_process once the display is closed: the result line on
// stderr, then the record (--report). leftWith, when a run was stopped on the
// way, says what the module is left with; it joins the reason. Returns the
// process's status: status, or kExitNoRecord when the record was not written.
int station_conclude(int status, const std::string& leftWith);
// The result line station_conclude wrote, without "fwutil: "; empty before.
std::string station_result_text();

// ---------------------------------------------------------------------------
// The run's record (report.cpp)
// ---------------------------------------------------------------------------
struct Phase
{
    std::string name;
    long long ms; // total time spent in it
};

struct RunRecord
{
    std::string profile; // the profile's origin
    std::string port;    // what stood behind "COM1:"
    std::string log;     // the per-device log, or empty
    std::chrono::system_clock::time_point start, end;
    Outcome outcome = Outcome::Unknown;
    int status = 0;
    std::string reason;  // empty on success
    DWORD openError = 0; // Win32 error of the failed open, 0 for none
    bool hasCause = false;
    FAILEDCALL cause = {}; // the failed call behind the reason (QueryRunCause)
    int attempts = 0;
    int attemptsAllowed = 0;
    int timeLimitSeconds = 0;
    std::vector<Phase> phases;
    DWORD bytesSent = 0; // 0: not counted
    DWORD imageBytes = 0;
    std::string imageSha256; // empty when the image was not found
    Firmware firmware;       // the set chosen, or the refusal
};

// A failed call for a person: "read on /dev/ttyUSB0 failed: Input/output
// error (the adapter was unplugged?)", the hint where the errno has one.
std::string cause_text(const FAILEDCALL& cause);
// The IDR_FW image's size and SHA-256, looked up among the program's resources.
bool image_digest(DWORD* bytes, std::string* sha256);
std::string iso8601_utc(std::chrono::system_clock::time_point t);
std::string record_json(const RunRecord& r);
// At start: makes the temporary record in path's folder (a folder this user
// trusts), proving the record can go there; false with the reason.
bool record_prepare(const std::string& path, std::string* error);
// At the end: writes the record into the temporary file and renames it over
// path; false with the reason (an earlier record at path stays whole).
bool write_record(const std::string& path, const RunRecord& r, std::string* error);

// ---------------------------------------------------------------------------
// The ledger (ledger.cpp): one JSON line per run, appended whole
// ---------------------------------------------------------------------------
// At start: opens the ledger for appending (a regular file, no link, in a
// folder this user trusts); false with the reason.
bool ledger_open(const std::string& path, std::string* error);
// The record as one line of JSON, ending with its line break.
std::string ledger_line(const RunRecord& r);
// At the end: appends the line with one write(); false with the reason.
bool ledger_append(const RunRecord& r, std::string* error);
// --ledger-summary: counts by outcome and reason; the process's status.
int ledger_summary(const std::string& path);

// ---------------------------------------------------------------------------
// The journal (journal.cpp): a station under systemd writes its outcome there
// ---------------------------------------------------------------------------
// Whether this process runs under systemd (INVOCATION_ID or JOURNAL_STREAM).
bool journal_wanted();
// The structured fields of the run's outcome, "NAME=value" each.
std::vector<std::string> journal_fields(const RunRecord& r, const std::string& message);
// Sends one entry with these fields; false with the reason.
bool journal_send(const std::vector<std::string>& fields, std::string* error);

// ---------------------------------------------------------------------------
// Ending the process (main.cpp)
// ---------------------------------------------------------------------------
// Closes the display and the namespace and ends with status; station mode
// calls it once its result is out.
[[noreturn]] void end_process(int status);

} // namespace app
