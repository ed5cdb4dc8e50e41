// The fault table, from the system's errno to the station's exit status, held
// against this file's own expectations: each row is followed through the
// platform's open (errno -> fault -> Win32 error) and the station's outcome
// (fault -> outcome -> status and name), and the rows marked so are run end to
// end as `fwutil --station`. Every row of the tool's table must have its row
// here. The table holds every exit status of station mode but 14 (the record
// could not be written; report_test writes into a folder that refuses it) and
// 128 + N (a signal, log_outcome_test).
#include "app/app.h"
#include "platform/kernel/faults.h"
#include "platform/serial/open_reason.h"
#include "tests/e2e/tool_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <regex>
#include <set>

namespace
{

using app::Outcome;

enum class EndToEnd
{
    No,
    NoSuchPort, // --port a path where nothing is
    Folder,     // --port a folder
    File,       // --port a regular file
};

using plat::Fault;

struct Row
{
    int err;     // errno of the failed open; 0 for none
    Fault fault; // None: an outcome no open gives
    DWORD error; // the Win32 error the open leaves
    Outcome outcome;
    int status;
    const char* name;
    EndToEnd run;
};

// clang-format off
// errno        fault               Win32 error                  outcome                    status  name                 end to end
const Row kRows[] = {
    {ENOENT,      Fault::Absent,      ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         10,     "not-found",         EndToEnd::NoSuchPort},
    {ENXIO,       Fault::Absent,      ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         10,     "not-found",         EndToEnd::No},
    {ENODEV,      Fault::Absent,      ERROR_FILE_NOT_FOUND,        Outcome::NotFound,         10,     "not-found",         EndToEnd::No},
    {ENOTDIR,     Fault::NoFolder,    ERROR_PATH_NOT_FOUND,        Outcome::NotFound,         10,     "not-found",         EndToEnd::No},
    {EACCES,      Fault::Permission,  ERROR_ACCESS_DENIED,         Outcome::Permission,       11,     "permission-denied", EndToEnd::No},
    {EPERM,       Fault::Permission,  ERROR_ACCESS_DENIED,         Outcome::Permission,       11,     "permission-denied", EndToEnd::No},
    {EBUSY,       Fault::Held,        ERROR_SHARING_VIOLATION,     Outcome::Busy,             4,      "busy",              EndToEnd::No},
    {EWOULDBLOCK, Fault::Held,        ERROR_SHARING_VIOLATION,     Outcome::Busy,             4,      "busy",              EndToEnd::No},
    {EISDIR,      Fault::Folder,      ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::Folder},
    {ENOTTY,      Fault::NotTerminal, ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::File},
    {EIO,         Fault::Gone,        ERROR_DEVICE_NOT_CONNECTED, Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {0,           Fault::HeldHere,    ERROR_SHARING_VIOLATION,     Outcome::Busy,             4,      "busy",              EndToEnd::No},
    {0,           Fault::OwnTerminal, ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EPIPE,       Fault::Gone,        ERROR_DEVICE_NOT_CONNECTED,  Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EROFS,       Fault::Other,       ERROR_ACCESS_DENIED,         Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {ETIMEDOUT,   Fault::Other,       ERROR_TIMEOUT,               Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EPROTO,      Fault::Other,       ERROR_GEN_FAILURE,           Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EBADF,       Fault::Other,       ERROR_INVALID_HANDLE,        Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {ENOMEM,      Fault::Other,       ERROR_NOT_ENOUGH_MEMORY,     Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EINVAL,      Fault::Other,       ERROR_INVALID_PARAMETER,     Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EOPNOTSUPP,  Fault::Other,       ERROR_NOT_SUPPORTED,         Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EINTR,       Fault::Other,       ERROR_OPERATION_ABORTED,     Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EEXIST,      Fault::Other,       ERROR_ALREADY_EXISTS,        Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {ECONNRESET,  Fault::Gone,        ERROR_DEVICE_NOT_CONNECTED,  Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {EMFILE,      Fault::Other,       ERROR_TOO_MANY_OPEN_FILES,  Outcome::OpenFailed,       12,     "open-failed",       EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::Flashed,          0,      "flashed",           EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::ClassFailed,      1,      "start-failed",      EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::ProfileRefused,   2,      "profile-refused",   EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::ModuleSilent,     5,      "module-silent",     EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::TransferFailed,   6,      "transfer-failed",   EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::LinkLost,         6,      "link-lost",         EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::TimeLimit,        7,      "time-limit",        EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::NoRestart,        8,      "no-restart",        EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::ClosedEarly,      9,      "closed-early",      EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::FirmwareRefused,  13,     "firmware-refused",  EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::WindowFailed,     16,     "start-failed",      EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::Interrupted,      128,    "interrupted",       EndToEnd::No},
    {0,           Fault::None,        0,                           Outcome::OtherInstance,    255,    "another-instance",  EndToEnd::No},
};
// clang-format on

// The exit statuses of station mode (--help, fwutil(1), README), 14 and
// 128 + N aside (see the top).
const std::set<int> kStationStatuses = {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 16, 128, 255};

class OutcomeTable : public toolrun::ToolTest
{
protected:
    std::string PortFor(EndToEnd run)
    {
        switch (run)
        {
            case EndToEnd::NoSuchPort:
                return dir_ + "/no-such-tty";
            case EndToEnd::Folder:
                return dir_;
            default:
                std::ofstream(dir_ + "/plain-file") << "not a tty\n";
                return dir_ + "/plain-file";
        }
    }
};

TEST_F(OutcomeTable, EveryRowFromErrnoToExitStatus)
{
    std::set<int> seen;
    for (const Row& row : kRows)
    {
        SCOPED_TRACE(row.name + std::string(" errno ") + std::to_string(row.err));
        if (row.fault != Fault::None)
        {
            if (row.err != 0)
            {
                EXPECT_EQ(plat::fault_of_errno(row.err), row.fault);
            }
            plat::OpenFailure f;
            f.err = row.err;
            f.fault = row.fault;
            EXPECT_EQ(plat::open_failure_error(f), row.error);
            EXPECT_EQ(plat::outcome_of_fault(row.fault, row.err), row.outcome);
        }
        EXPECT_EQ(app::outcome_status(row.outcome), row.status);
        EXPECT_STREQ(app::outcome_name(row.outcome), row.name);
        EXPECT_EQ(app::outcome_reason(row.outcome)[0] == 0, row.outcome == Outcome::Flashed);
        seen.insert(row.status);
        if (row.run == EndToEnd::No)
            continue;
        toolrun::Invocation call;
        call.argv = {fwutil_, "--station", "-q", "--firmware", "standin", "--port", PortFor(row.run)};
        call.env = {"FWU_RUNTIME_DIR=" + dir_ + "/rt", "XDG_STATE_HOME=" + dir_ + "/state"};
        toolrun::Result r = toolrun::run(call);
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(std::string("fwutil: result: ") + row.name + ", port ")))
            << r.err;
    }
    EXPECT_EQ(seen, kStationStatuses);
}

// Each row of the tool's table is one of the rows above (so a row added there
// is checked here), and a fault's row gives the exit status and the name of
// its outcome's own row.
TEST(OutcomeTableRows, EachRowIsHeldHereAndAgreesWithItsOutcome)
{
    size_t count = 0;
    const plat::FaultRow* rows = plat::fault_rows(&count);
    for (size_t i = 0; i < count; i++)
    {
        const plat::FaultRow& t = rows[i];
        SCOPED_TRACE("row " + std::to_string(i) + ", " + t.name);
        bool held = false;
        for (const Row& row : kRows)
        {
            const bool errMatches = t.errs[0] == 0
                                        ? row.err == 0 || row.fault == Fault::Other
                                        : std::find(std::begin(t.errs), std::end(t.errs), row.err) != std::end(t.errs);
            // An outcome's own row is held by any row of that outcome.
            const bool faultMatches = t.fault == Fault::None || (row.fault == t.fault && errMatches);
            held = held || (row.outcome == t.outcome && faultMatches);
        }
        EXPECT_TRUE(held || t.outcome == Outcome::Unknown);
        EXPECT_EQ(t.status, app::outcome_status(t.outcome));
        EXPECT_STREQ(t.name, app::outcome_name(t.outcome));
    }
}

} // namespace
