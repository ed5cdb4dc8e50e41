// What went wrong and how a run ends: the one table from the system's errno
// to the station's exit status.
//
// Each row says, for one kind of failure, every step a failed call takes on
// its way up:
//   errno -> fault -> Win32 error -> station outcome -> exit status -> words and hint
// The platform reads the first columns (the last error a failed call leaves,
// the reason and the hint in "cannot open ..."); station mode reads the rest
// (the outcome a failed open gives, its exit status, its name and reason).
// Rows without a fault are the ways a run ends that no failed call decides
// (the module stayed silent, the time limit passed, ...): every outcome has
// one such row, which gives its name, exit status and reason.
//
// The table sits in the kernel room, the lowest one, so that the open in the
// serial room and station mode above the platform read the same rows.
#pragma once

#include "platform/win32.h"

namespace plat
{

// The kind of a failed call, as the tool tells them apart.
enum class Fault
{
    None,        // no failed call: a row that only says how a run ends
    Absent,      // no node at the path, or no device behind it
    NoFolder,    // a folder on the path is not one
    Permission,  // this user may not open it
    Held,        // another program holds it
    HeldHere,    // another device name of this program holds it
    Folder,      // the path is a folder
    NotTerminal, // a regular file, a device that is no tty
    OwnTerminal, // the terminal the tool itself runs in
    Gone,        // the device went away under an open handle (EIO, hang-up)
    Other,       // the system's reason alone
};

// How a station run ends.
enum class Outcome
{
    Flashed,
    NotFound,
    Permission,
    Busy,
    OpenFailed,
    ModuleSilent,
    TransferFailed,
    LinkLost,
    TimeLimit,
    NoRestart,
    ClosedEarly,
    ClassFailed,
    WindowFailed,
    OtherInstance,
    Interrupted,
    FirmwareRefused,
    ProfileRefused,
    Unknown,
};

// The exit statuses of fwutil. WinMain's own results pass through: 0 closed
// normally, 1 class registration failed, 16 main window creation failed, -1
// (255) another instance runs. Outside station mode the device restart ends
// the process with 3.
namespace exits
{
constexpr int kExitOk = 0;
constexpr int kExitClassFailed = 1;
constexpr int kExitUsage = 2;            // bad option, bad profile, no display; --post: nothing runs
constexpr int kExitDeviceRestart = 3;    // the device restarted (not in station mode: there it is 0)
constexpr int kExitBusy = 4;             // station: the port is held by another program
constexpr int kExitModuleSilent = 5;     // station: the attempts allowed all failed
constexpr int kExitUpdateFailed = 6;     // station: image transfer failed or link lost
constexpr int kExitTimeLimit = 7;        // station: the time limit passed
constexpr int kExitNoRestart = 8;        // station: flashed, but the device did not restart
constexpr int kExitClosedEarly = 9;      // station: the window closed before the run ended
constexpr int kExitNotFound = 10;        // station: the port does not exist
constexpr int kExitPermission = 11;      // station: no permission to open the port
constexpr int kExitOpenFailed = 12;      // station: the port could not be opened or set up otherwise
constexpr int kExitFirmwareRefused = 13; // station, --check-firmware: the firmware set was refused (nothing sent)
constexpr int kExitNoRecord = 14;        // station: the run's record (--report, --ledger) could not be written
constexpr int kExitWindowFailed = 16;    // the main window could not be created
constexpr int kExitSignalBase = 128;     // 128 + N, stopped by signal N (station: the record is written)
constexpr int kExitInterrupted = 130;    // the window closed (Yes to the question) while an update ran
constexpr int kExitOtherInstance = 255;  // another instance runs on this device
} // namespace exits

struct FaultRow
{
    int errs[4];         // the errnos of this row (0 ends the list); none for a row found without one
    Fault fault;         // None: a row that only says how a run ends
    DWORD error;         // the Win32 error the failed call leaves
    Outcome outcome;     // a fault: the outcome when the port's open fails so
    int status;          // the station's exit status for that outcome
    const char* name;    // the outcome's name, in the result line and the record
    const char* text;    // a fault: the reason in "cannot open", null for the errno's own words;
                         // an outcome's row: the reason a person reads ("" for flashed)
    const char* hint;    // a fault: what to do at an open ("" for none); Permission's is made from the node
    const char* runHint; // a fault: what it likely means when a port already open fails so
};

// Every row, in the table's order (for the table's test and the docs).
const FaultRow* fault_rows(size_t* count);

// The kind of failure an errno is (Other for an errno no row lists, None for 0).
Fault fault_of_errno(int err);
// The row of a failure: the one listing err with this fault, else the
// fault's first row.
const FaultRow& fault_row(Fault fault, int err);
// The Win32 error an errno leaves (ERROR_SUCCESS for 0, ERROR_GEN_FAILURE for
// an errno no row lists).
DWORD win32_error_of_errno(int err);

// The outcome's own row: its exit status, name and reason.
int outcome_status(Outcome outcome);
const char* outcome_name(Outcome outcome);
const char* outcome_reason(Outcome outcome); // "" for Flashed
// The outcome of a failed open of the port.
Outcome outcome_of_fault(Fault fault, int err);

} // namespace plat
