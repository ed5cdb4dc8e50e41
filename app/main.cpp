// The process entry: reads the platform's own options (which device profile,
// which display, where the debug output goes, a command to post, station
// mode), sets the platform up, and runs the tool's WinMain. The tool itself
// reads no command line: everything here belongs to the device around it.
#include "app/app.h"

#include "platform/kernel/debug.h"
#include "platform/serial/iocontrol.h"
#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/instance.h"
#include "platform/profile/profile.h"
#include "platform/serial/open_reason.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/display.h"
#include "platform/displays/headless.h"
#include "platform/windowing/status_line.h"
#include "platform/displays/terminal.h"
#include "platform/kernel/text.h"
#include "download/run_progress.h"    // StopUpdate: a run still going on at the end
#include "resources/resource_table.h" // the program image's resource section
#include "bridge/bridge.h"            // IDM_BRIDGE_START: --post answers it with the bridge's peer

#include <atomic>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace app
{
namespace
{

bool g_terminal = false;
std::atomic<bool> g_ending{false};
int g_stopPipe[2] = {-1, -1}; // a signal during a run, handed from its handler to stop_watcher

// A closed standard descriptor would be handed to the first file the process
// opens (a log, a port), and what is meant for stdout or stderr would land in
// it: each closed one of 0-2 becomes /dev/null before anything else opens.
void hold_standard_descriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
    {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd)
        {
            dup2(opened, fd);
            close(opened);
        }
    }
}

// What the last update came to, by the run report's state.
struct RunStateText
{
    DWORD state;
    const char* text; // empty: nothing to add
};
// run state               what a person reads
const RunStateText kRunStateTexts[] = {
    {RUNSTATE_NONE, ""},
    {RUNSTATE_ACTIVE, ""},
    {RUNSTATE_OPEN_FAILED, "the update failed: the port could not be opened"},
    {RUNSTATE_FLASHED, "the module was flashed"},
    {RUNSTATE_UPDATE_FAILED, "the update failed"},
    {RUNSTATE_LINK_LOST, "the update failed: the port went away"},
};

std::string run_state_text()
{
    DWORD state = QueryRun(RUNREPORT_STATE);
    for (const RunStateText& row : kRunStateTexts)
    {
        if (row.state == state)
            return row.text;
    }
    return "";
}

// How the run ended, for the line after the terminal display: how the tool
// came to end, and what the update came to. leftWith (a run stopped on the
// way) says it all. Empty where another line says it (another instance runs).
std::string run_ending(int status, const std::string& leftWith)
{
    if (!leftWith.empty())
        return leftWith;
    std::string how;
    if (status == kExitOk)
        how = "the window was closed";
    else if (status == kExitDeviceRestart)
        how = "the device restarted";
    else if (status == kExitClassFailed)
        how = "the window class could not be registered";
    else if (status == kExitWindowFailed)
        how = "the main window could not be created";
    else if (status > kExitSignalBase && status < kExitOtherInstance)
        how = "stopped by signal " + std::to_string(status - kExitSignalBase);
    else
        return "";
    std::string came = run_state_text();
    if (came.empty())
        return how;
    if (status == kExitDeviceRestart && QueryRun(RUNREPORT_STATE) == RUNSTATE_FLASHED)
        return came + " and " + how;
    return how + " (" + came + ")";
}

// The device restart: the display restores the screen in its own hook; the
// socket goes and one line says how the run ended. In station mode it is the
// run's success, and the process ends here with 0.
void on_device_down()
{
    if (station_running())
        station_end(Outcome::Flashed);
    plat::instance_abandon();
    if (g_terminal)
        announce_debug_file(run_ending(kExitDeviceRestart, ""));
    write_outcome_line(run_ending(kExitDeviceRestart, ""), kExitDeviceRestart);
}

// Headless: a stopping signal ends the process by end_process, outside the
// handler, so the namespace's files go and the log gets its last line. In
// station mode the watcher ends the run with its record; a second signal does
// not wait.
void on_stop_signal(int sig)
{
    static volatile sig_atomic_t s_noted = 0;
    if (station_running() && !s_noted)
    {
        s_noted = 1;
        station_note_signal(sig);
        return;
    }
    // The process ends outside the handler, by the path every ending takes
    // (a run going on is stopped cleanly, the log gets its last line).
    if (g_stopPipe[1] >= 0 && !s_noted)
    {
        s_noted = 1;
        ssize_t n = write(g_stopPipe[1], &sig, sizeof sig);
        if (n == (ssize_t)sizeof sig)
            return;
    }
    plat::instance_unlink_now();
    signal(sig, SIG_DFL);
    raise(sig);
}

// The terminal display's guard thread hands over a stopping signal: the
// process ends by the same path as headless (the screen restored, the log's
// last line written). Without the stop watcher the namespace's files go and
// the display lets the signal end the process.
bool on_terminal_stop(int sig)
{
    if (g_stopPipe[1] >= 0)
    {
        ssize_t n = write(g_stopPipe[1], &sig, sizeof sig);
        if (n == (ssize_t)sizeof sig)
            return true;
    }
    plat::instance_unlink_now();
    return false;
}

void stop_watcher()
{
    int sig = 0;
    while (read(g_stopPipe[0], &sig, sizeof sig) != (ssize_t)sizeof sig)
    {
        if (errno != EINTR)
            return;
    }
    end_process(kExitSignalBase + sig);
}

void start_stop_watcher()
{
    if (pipe2(g_stopPipe, O_CLOEXEC) == 0)
        std::thread(stop_watcher).detach();
}

void catch_stop_signals()
{
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int sig : signals)
    {
        struct sigaction prev = {};
        sigaction(sig, nullptr, &prev);
        if (prev.sa_handler == SIG_IGN)
            continue;
        struct sigaction sa = {};
        sa.sa_handler = on_stop_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

StringBundle g_versionBundle = {};

// The program image's resources and the version line its About box shows:
// the image names the string (RES_STR_VERSION), the build here knows it.
void register_resources()
{
    static const std::u16string s_version = plat::utf8_to_utf16(kVersionLine);
    static StringBundle& s_bundle = g_versionBundle;
    static std::vector<ResourceEntry> s_table(g_resourceTable, g_resourceTable + g_resourceCount);
    s_bundle.strings[RES_STR_VERSION % STRINGS_PER_BUNDLE] = s_version.c_str();
    WORD bundle = RES_STR_VERSION / STRINGS_PER_BUNDLE + 1;
    s_table.push_back(ResourceEntry{{RESTYPE_STRING, nullptr}, {bundle, nullptr}, &s_bundle, sizeof(s_bundle)});
    RegisterProgramResources(s_table.data(), (UINT)s_table.size());
}

// The About box's version line names the firmware the run sends too (set
// before the window exists; the string lives as long as the program).
void name_firmware_in_about(const Firmware& firmware)
{
    if (firmware.refused)
        return;
    static const std::u16string s_version =
        plat::utf8_to_utf16(std::string(kVersionLine) + ", firmware " + firmware_title(firmware));
    g_versionBundle.strings[RES_STR_VERSION % STRINGS_PER_BUNDLE] = s_version.c_str();
}

// The running tool's answer to --post IDM_BRIDGE_START: where a terminal
// program attaches to the bridge, as the status line names the peer.
std::string bridge_peer_reply()
{
    std::string device, path;
    if (!plat::status_bridge_peer(&device, &path))
        return std::string();
    return "bridge peer: " + (path.empty() ? device : path);
}

int post_command(const Options& o, const Device& device)
{
    std::string error, reply;
    if (!command_known(o.postId))
        fprintf(stderr, "fwutil: warning: no command has id %d: nothing will handle it (posted all the same)\n",
                o.postId);
    switch (plat::instance_post_command("", device.key, o.postId, &error, &reply))
    {
        case plat::PostResult::Delivered:
            if (!reply.empty())
                printf("%s\n", reply.c_str());
            else if (o.postId == IDM_BRIDGE_START)
                fprintf(stderr, "fwutil: no bridge runs after the command (the tool's log pane says why)\n");
            return kExitOk;
        case plat::PostResult::NoInstance:
            fprintf(stderr, "fwutil: no tool runs on the profile %s\n", plat::printable_text(device.origin).c_str());
            return kExitUsage;
        case plat::PostResult::Failed:
            fprintf(stderr, "fwutil: cannot post the command: %s\n", error.c_str());
            return kExitUsage;
    }
    return kExitUsage;
}

// Opens the display chosen; falls back to headless when the terminal cannot
// be used and was not asked for by name.
const plat::DisplayOps* open_display(const Options& o, bool* terminal)
{
    std::string error;
    if (*terminal)
    {
        const plat::DisplayOps* display = plat::terminal_display_open(&error);
        if (display != nullptr)
            return display;
        if (o.display == DisplayChoice::Terminal)
        {
            fprintf(stderr, "fwutil: cannot use the terminal display: %s\n", error.c_str());
            plat::instance_leave();
            exit(kExitUsage);
        }
        fprintf(stderr, "fwutil: %s; running headless\n", error.c_str());
        *terminal = false;
        if (o.debug.empty())
            plat::debug_set_sink_stderr();
    }
    return plat::headless_display_open(STDOUT_FILENO);
}

} // namespace

// Ends the process with status. Threads of the tool still running (a
// download worker, the sync caster, bridge pumps) end with it, as on the
// handheld; static destructors do not run under them.
[[noreturn]] void end_process(int status)
{
    if (g_ending.exchange(true))
    {
        for (;;)
            pause(); // another thread is ending the process
    }
    // No byte more to the module: a run still going on (a signal, a quit
    // answered Yes) is stopped, and after the screen is back one line says
    // what the module is left with.
    DWORD stoppedIn = StopUpdate();
    if (g_terminal)
        plat::terminal_display_close();
    else
        plat::headless_display_close();
    std::string leftWith;
    // Station mode's result line says how its run ended; a signal there still
    // gets the module's state.
    bool interrupted = !station_running() || status >= kExitSignalBase;
    if (interrupted && stoppedIn != RUNPHASE_NONE && stoppedIn != RUNPHASE_RESTART)
    {
        leftWith = plat::status_interrupted_text(stoppedIn);
        if (status == kExitOk)
            status = kExitInterrupted;
    }
    // Station mode says it in its one result line; after the terminal display
    // the ending line below does; otherwise it is a line of its own.
    if (station_running())
        status = station_conclude(status, leftWith);
    else if (!leftWith.empty() && !g_terminal)
        fprintf(stderr, "fwutil: %s\n", leftWith.c_str());
    // A request being served (the --post that closed the window) still gets
    // its answer before the socket goes.
    plat::instance_leave();
    if (g_terminal) // a terminal display that fell back to headless said it all on stdout
        announce_debug_file(run_ending(status, leftWith));
    std::string how = station_result_text();
    if (how.empty())
        how = run_ending(status, leftWith);
    write_outcome_line(how.empty() ? "ended" : how, status);
    fflush(nullptr);
    _exit(status);
}

} // namespace app

using namespace app;

int main(int argc, char** argv)
{
    hold_standard_descriptors();
    register_resources();
    setlocale(LC_ALL, "");
    signal(SIGPIPE, SIG_IGN); // a reader that went away is an error on write, not a death
    Options o = parse_options(argc, argv);

    if (!o.ledgerSummary.empty())
        return ledger_summary(o.ledgerSummary);
    std::string error;
    if (o.station && !o.report.empty() && !record_prepare(o.report, &error))
    {
        fprintf(stderr, "fwutil: cannot write the record: %s\n", plat::printable_text(error).c_str());
        return kExitUsage;
    }
    if (o.station && !o.ledger.empty() && !ledger_open(o.ledger, &error))
    {
        fprintf(stderr, "fwutil: cannot write to the ledger: %s\n", plat::printable_text(error).c_str());
        return kExitUsage;
    }
    Device device;
    if (!load_device(o, &device, &error))
    {
        // Station mode says it in its result line, and in the record.
        if (o.station)
            station_refuse_profile(o, error);
        fprintf(stderr, "fwutil: profile refused: %s\n", plat::printable_text(error).c_str());
        return kExitUsage;
    }
    for (const std::string& warning : device.warnings)
        fprintf(stderr, "fwutil: warning: %s\n", plat::printable_text(warning).c_str());
    if (o.post)
        return post_command(o, device);

    // The set is chosen and checked before anything can touch the module.
    Firmware firmware = choose_firmware(o, device);
    if (o.checkFirmware)
        return check_firmware(firmware);

    bool terminal = o.display == DisplayChoice::Terminal ||
                    (o.display == DisplayChoice::Auto && !o.station && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO));
    set_up_debug(o, device, terminal);
    write_run_header(o, device, firmware);
    if (firmware.refused && o.station)
        station_refuse_firmware(o, device, firmware);
    if (firmware.refused)
    {
        // The window still serves the bridge and the radio controls; only the update is refused.
        fprintf(stderr, "fwutil: firmware set refused, no update will start: %s\n", firmware.reason.c_str());
        refuse_updates(firmware);
    }
    name_firmware_in_about(firmware);
    plat::status_notice(firmware.refused ? "Firmware set refused: " + firmware.reason
                                         : "Firmware: " + firmware_summary(firmware));

    // One tool per device: the namespace key says which device this is.
    plat::instance_set_command_reply(IDM_BRIDGE_START, bridge_peer_reply);
    if (!plat::instance_join("", device.key, &error))
        fprintf(stderr, "fwutil: other instances cannot be found, the window namespace is unusable: %s\n",
                plat::printable_text(error).c_str());

    // The adapter may still be on its way (being plugged in, its by-id link not yet made).
    if (o.waitDeviceSeconds > 0 && !plat::serial_wait_device(u"COM1:", o.waitDeviceSeconds) && !o.quiet)
        fprintf(stderr, "fwutil: %s did not appear in %d s\n", plat::printable_text(device.port).c_str(),
                o.waitDeviceSeconds);

    const plat::DisplayOps* display = open_display(o, &terminal);
    if (o.station)
        station_start(o, device, firmware);
    start_stop_watcher();
    if (terminal)
        plat::terminal_set_stop_hook(on_terminal_stop);
    else
        catch_stop_signals();
    g_terminal = terminal;
    plat::status_set_stderr(!terminal);
    plat::status_set_quiet(o.quiet || o.station); // station mode writes its own progress lines
    plat::display_set(display);
    plat::at_device_down(on_device_down);

    static WCHAR commandLine[1] = {0};
    int result = WinMain(plat::program_instance(), nullptr, commandLine, SW_SHOW);
    if (result == -1)
    {
        // Said after the screen is restored, or it is lost under it.
        if (terminal)
            plat::terminal_display_close();
        long holder = plat::instance_holder_pid();
        if (holder > 0)
            fprintf(stderr, "fwutil: a tool already runs for this device (pid %ld); it was brought to the front\n",
                    holder);
        else
            fprintf(stderr, "fwutil: a tool already runs for this device; it was brought to the front\n");
    }
    if (o.station)
        station_end(station_outcome_for_exit(result));
    end_process(result & 0xFF);
}
