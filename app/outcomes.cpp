// Station mode's outcomes in one table: how a run ended, the status the
// process ends with, the name in the result line and the record, and the
// reason a person reads; and which outcome a failed open is, from the Win32
// error the platform's port open leaves (platform/serial/open_reason.h: each
// errno of open(2) is a fault, each fault one Win32 error). The outcome table
// test runs both tables row by row, from the errno to the exit status.
#include "app/app.h"

namespace app
{
namespace
{

struct OutcomeEntry
{
    Outcome outcome;
    int status;
    const char* name;   // in the result line and the record
    const char* reason; // what went wrong, for a person
};

// clang-format off
// outcome                  status               name                reason
const OutcomeEntry kOutcomes[] = {
    {Outcome::Flashed,        kExitOk,             "flashed",          ""},
    {Outcome::NotFound,       kExitNotFound,       "not-found",        "the port was not found"},
    {Outcome::Permission,     kExitPermission,     "permission-denied", "permission denied: this user may not open the port"},
    {Outcome::Busy,           kExitBusy,           "busy",             "the port is busy: another program holds it"},
    {Outcome::OpenFailed,     kExitOpenFailed,     "open-failed",      "the port could not be opened or set up"},
    {Outcome::ModuleSilent,   kExitModuleSilent,   "module-silent",    "the module did not answer in the attempts allowed"},
    {Outcome::TransferFailed, kExitUpdateFailed,   "transfer-failed",  "the image transfer failed"},
    {Outcome::LinkLost,       kExitUpdateFailed,   "link-lost",        "the link was lost during the update"},
    {Outcome::TimeLimit,      kExitTimeLimit,      "time-limit",       "the time limit passed"},
    {Outcome::NoRestart,      kExitNoRestart,      "no-restart",       "the module was flashed but the device did not restart"},
    {Outcome::ClosedEarly,    kExitClosedEarly,    "closed-early",     "the window was closed before the update ended"},
    {Outcome::ClassFailed,    kExitClassFailed,    "start-failed",     "the window class could not be registered"},
    {Outcome::WindowFailed,   kExitWindowFailed,   "start-failed",     "the main window could not be created"},
    {Outcome::OtherInstance,  kExitOtherInstance,  "another-instance", "another tool runs on this device"},
    {Outcome::Interrupted,    kExitSignalBase,     "interrupted",      "stopped by a signal"},
    {Outcome::FirmwareRefused, kExitFirmwareRefused, "firmware-refused", "the firmware set was refused; nothing was sent to the module"},
    {Outcome::ProfileRefused, kExitUsage,          "profile-refused",  "the profile was refused"},
    {Outcome::Unknown,        kExitUpdateFailed,   "unknown",          "the run ended in a way the tool does not know"},
};

// Win32 error of a failed open        outcome
const struct
{
    DWORD error;
    Outcome outcome;
} kOpenOutcomes[] = {
    {ERROR_FILE_NOT_FOUND,    Outcome::NotFound},   // absent: ENOENT, ENXIO, ENODEV
    {ERROR_PATH_NOT_FOUND,    Outcome::NotFound},   // a folder on the path is a file: ENOTDIR
    {ERROR_SHARING_VIOLATION, Outcome::Busy},       // held: EBUSY, EWOULDBLOCK, or by this program
    {ERROR_BUSY,              Outcome::Busy},
    {ERROR_ACCESS_DENIED,     Outcome::Permission}, // EACCES, EPERM
};                                                  // anything else: Outcome::OpenFailed
// clang-format on

const OutcomeEntry& entry_for(Outcome outcome)
{
    for (const OutcomeEntry& e : kOutcomes)
    {
        if (e.outcome == outcome)
            return e;
    }
    return kOutcomes[sizeof(kOutcomes) / sizeof(kOutcomes[0]) - 1];
}

} // namespace

const char* outcome_name(Outcome outcome)
{
    return entry_for(outcome).name;
}

int outcome_status(Outcome outcome)
{
    return entry_for(outcome).status;
}

const char* outcome_reason(Outcome outcome)
{
    return entry_for(outcome).reason;
}

Outcome outcome_for_open_error(DWORD error)
{
    for (const auto& row : kOpenOutcomes)
    {
        if (row.error == error)
            return row.outcome;
    }
    return Outcome::OpenFailed;
}

} // namespace app
