// The one table from the system's errno to the station's exit status
// (faults.h), and its look-ups.
#include "platform/kernel/faults.h"

#include <cerrno>

namespace plat
{
namespace
{

using namespace exits;

constexpr const char* kUnplugged = "the adapter was unplugged?";

// clang-format off
//   errno                    fault                Win32 error                  outcome at an open         exit                   name                  reason                                                           hint at an open                                 on an open port
const FaultRow kRows[] = {
    // How a run ends: each outcome's own row.
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::Flashed,          kExitOk,               "flashed",            "",                                                              "",                                             ""},
    {{},                      Fault::None,         ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         kExitNotFound,         "not-found",          "the port was not found",                                        "",                                             ""},
    {{},                      Fault::None,         ERROR_ACCESS_DENIED,         Outcome::Permission,       kExitPermission,       "permission-denied",  "permission denied: this user may not open the port",            "",                                             ""},
    {{},                      Fault::None,         ERROR_SHARING_VIOLATION,     Outcome::Busy,             kExitBusy,             "busy",               "the port is busy: another program holds it",                    "",                                             ""},
    {{},                      Fault::None,         ERROR_GEN_FAILURE,           Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        "the port could not be opened or set up",                        "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::ModuleSilent,     kExitModuleSilent,     "module-silent",      "the module did not answer in the attempts allowed",             "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::TransferFailed,   kExitUpdateFailed,     "transfer-failed",    "the image transfer failed",                                     "",                                             ""},
    {{},                      Fault::None,         ERROR_DEVICE_NOT_CONNECTED,  Outcome::LinkLost,         kExitUpdateFailed,     "link-lost",          "the link was lost during the update",                           "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::TimeLimit,        kExitTimeLimit,        "time-limit",         "the time limit passed",                                         "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::NoRestart,        kExitNoRestart,        "no-restart",         "the module was flashed but the device did not restart",         "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::ClosedEarly,      kExitClosedEarly,      "closed-early",       "the window was closed before the update ended",                 "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::ClassFailed,      kExitClassFailed,      "start-failed",       "the window class could not be registered",                      "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::WindowFailed,     kExitWindowFailed,     "start-failed",       "the main window could not be created",                          "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::OtherInstance,    kExitOtherInstance,    "another-instance",   "another tool runs on this device",                              "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::Interrupted,      kExitSignalBase,       "interrupted",        "stopped by a signal",                                           "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::FirmwareRefused,  kExitFirmwareRefused,  "firmware-refused",   "the firmware set was refused; nothing was sent to the module",  "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::ProfileRefused,   kExitUsage,            "profile-refused",    "the profile was refused",                                       "",                                             ""},
    {{},                      Fault::None,         ERROR_SUCCESS,               Outcome::Unknown,          kExitUpdateFailed,     "unknown",            "the run ended in a way the tool does not know",                 "",                                             ""},
    // What a failed call is. A row's errnos read one way at an open and, for a
    // port already open, as the adapter going away (the second hint).
    {{ENOENT},                Fault::Absent,       ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         kExitNotFound,         "not-found",          nullptr,                                                         "is the adapter plugged in?",                   ""},
    {{ENXIO, ENODEV},         Fault::Absent,       ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         kExitNotFound,         "not-found",          nullptr,                                                         "is the adapter plugged in?",                   kUnplugged},
    {{ENOTDIR},               Fault::NoFolder,     ERROR_PATH_NOT_FOUND,        Outcome::NotFound,         kExitNotFound,         "not-found",          nullptr,                                                         "a folder on the path is a file",               ""},
    {{EACCES, EPERM},         Fault::Permission,   ERROR_ACCESS_DENIED,         Outcome::Permission,       kExitPermission,       "permission-denied",  nullptr,                                                         "",                                             ""},
    {{EBUSY, EWOULDBLOCK},    Fault::Held,         ERROR_SHARING_VIOLATION,     Outcome::Busy,             kExitBusy,             "busy",               "held by another program",                                       "",                                             ""}, // TIOCEXCL, flock
    {{},                      Fault::HeldHere,     ERROR_SHARING_VIOLATION,     Outcome::Busy,             kExitBusy,             "busy",               "held by this program",                                          "",                                             ""},
    {{EISDIR},                Fault::Folder,       ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "give the adapter's device node",               ""},
    {{ENOTTY},                Fault::NotTerminal,  ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        "not a terminal",                                                "a serial port is a tty such as /dev/ttyUSB0",  ""},
    {{},                      Fault::OwnTerminal,  ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        "is the tool's own terminal",                                    "the sync bytes would go to the screen",        ""},
    {{EIO},                   Fault::Gone,         ERROR_DEVICE_NOT_CONNECTED,  Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             kUnplugged}, // and a hang-up
    {{ENOTCONN, ECONNRESET},  Fault::Gone,         ERROR_DEVICE_NOT_CONNECTED,  Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EPIPE},                 Fault::Gone,         ERROR_DEVICE_NOT_CONNECTED,  Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             "the far end closed the line?"},
    {{},                      Fault::Other,        ERROR_GEN_FAILURE,           Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EMFILE, ENFILE},        Fault::Other,        ERROR_TOO_MANY_OPEN_FILES,   Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EROFS},                 Fault::Other,        ERROR_ACCESS_DENIED,         Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EBADF},                 Fault::Other,        ERROR_INVALID_HANDLE,        Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{ENOMEM},                Fault::Other,        ERROR_NOT_ENOUGH_MEMORY,     Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EINVAL},                Fault::Other,        ERROR_INVALID_PARAMETER,     Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EOPNOTSUPP},            Fault::Other,        ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{ETIMEDOUT},             Fault::Other,        ERROR_TIMEOUT,               Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{ECANCELED, EINTR},      Fault::Other,        ERROR_OPERATION_ABORTED,     Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
    {{EEXIST},                Fault::Other,        ERROR_ALREADY_EXISTS,        Outcome::OpenFailed,       kExitOpenFailed,       "open-failed",        nullptr,                                                         "",                                             ""},
};
// clang-format on

constexpr size_t kCount = sizeof(kRows) / sizeof(kRows[0]);

bool lists(const FaultRow& row, int err)
{
    for (int e : row.errs)
    {
        if (e == 0)
            return false;
        if (e == err)
            return true;
    }
    return false;
}

const FaultRow* row_of_errno(int err)
{
    for (const FaultRow& row : kRows)
    {
        if (err != 0 && lists(row, err))
            return &row;
    }
    return nullptr;
}

const FaultRow& outcome_row(Outcome outcome)
{
    for (const FaultRow& row : kRows)
    {
        if (row.fault == Fault::None && row.outcome == outcome)
            return row;
    }
    return outcome_row(Outcome::Unknown);
}

} // namespace

const FaultRow* fault_rows(size_t* count)
{
    *count = kCount;
    return kRows;
}

Fault fault_of_errno(int err)
{
    if (err == 0)
        return Fault::None;
    const FaultRow* row = row_of_errno(err);
    return row != nullptr ? row->fault : Fault::Other;
}

const FaultRow& fault_row(Fault fault, int err)
{
    const FaultRow* row = row_of_errno(err);
    if (row != nullptr && row->fault == fault)
        return *row;
    for (const FaultRow& r : kRows)
    {
        if (r.fault == fault)
            return r;
    }
    return fault_row(Fault::Other, 0);
}

DWORD win32_error_of_errno(int err)
{
    if (err == 0)
        return ERROR_SUCCESS;
    const FaultRow* row = row_of_errno(err);
    return row != nullptr ? row->error : ERROR_GEN_FAILURE;
}

int outcome_status(Outcome outcome)
{
    return outcome_row(outcome).status;
}

const char* outcome_name(Outcome outcome)
{
    return outcome_row(outcome).name;
}

const char* outcome_reason(Outcome outcome)
{
    return outcome_row(outcome).text;
}

Outcome outcome_of_fault(Fault fault, int err)
{
    if (fault == Fault::None)
        return Outcome::OpenFailed; // an open that failed without saying why
    return fault_row(fault, err).outcome;
}

} // namespace plat
