// The process entry: reads the platform's own options (which device profile,
// which display, where the debug output goes, a command to post, station
// mode), sets the platform up, and runs the tool's WinMain. The tool itself
// reads no command line: everything here belongs to the device around it.
#include "download/run.h" // IDM_UPDATE_GO, the command station mode sends
#include "platform/kernel/debug.h"
#include "resources/resource_table.h" // the program image's resource section
#include "platform/kernel/iocontrol.h"
#include "platform/windowing/display.h"
#include "platform/windowing/headless.h"
#include "platform/profile/instance.h"
#include "platform/profile/profile.h"
#include "platform/kernel/resource_loader.h"
#include "platform/shellapi/shell_ui.h"
#include "platform/windowing/terminal.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

// ---------------------------------------------------------------------------
// Exit statuses
// ---------------------------------------------------------------------------
// WinMain's own results pass through: 0 closed normally, 1 class registration
// failed, 16 main window creation failed, -1 (255) another instance runs.
// The device restart ends the process with plat::kExitDeviceRestart (3).
constexpr int kExitUsage = 2;        // bad option, bad profile, no display; --post: nothing runs
constexpr int kExitLinkBusy = 4;     // station: "Open Comport fail"
constexpr int kExitModuleSilent = 5; // station: the attempts allowed all failed
constexpr int kExitUpdateFailed = 6; // station: image transfer failed or link lost
constexpr int kExitTimeLimit = 7;    // station: the time limit passed
constexpr int kExitNoRestart = 8;    // station: flashed, but the device did not restart
constexpr int kExitClosedEarly = 9;  // station: the window closed before the run ended

constexpr int kStationDefaultSeconds = 600;
constexpr int kStationDefaultAttempts = 5;
constexpr int kStationPollMs = 100;

const char kVersion[] = "fwutil " FWU_VERSION;

const char kHelp[] = "Usage: fwutil [OPTION]...\n"
                     "Runs the firmware utility of the handheld on a device profile: a simulated\n"
                     "handheld by default, or the ports and drivers a profile file names.\n"
                     "\n"
                     "Options:\n"
                     "  --profile FILE     the device profile (a .reg file); default: the built-in\n"
                     "                     simulated handheld. A bad profile is refused with its\n"
                     "                     file, line and reason.\n"
                     "  --display terminal|headless\n"
                     "                     terminal: the window drawn in this terminal (keys: F1 or\n"
                     "                     Alt+S opens the menu, F10 is the title bar's OK, Ctrl+Q\n"
                     "                     quits). headless: no screen; the log pane's text is\n"
                     "                     written to standard output as it grows, each message box\n"
                     "                     as a line \"[box] CAPTION: TEXT\" (boxes are answered OK)\n"
                     "                     and each dialog as \"[dialog] CAPTION: TEXT\". Default:\n"
                     "                     terminal when standard input and output are terminals,\n"
                     "                     else headless.\n"
                     "  --debug stderr|FILE|off\n"
                     "                     where the kernel debug output (the protocol trace) goes.\n"
                     "                     Default: stderr with the headless display; with the\n"
                     "                     terminal display the file $XDG_STATE_HOME/fwutil/debug.log\n"
                     "                     (or ~/.local/state/fwutil/debug.log), named again on exit.\n"
                     "  --post ID          post command ID (WM_COMMAND) to the tool running on the\n"
                     "                     same profile, then exit: 0 when delivered, 2 when no tool\n"
                     "                     runs there. Commands: 118 update firmware, 101 exit,\n"
                     "                     120 about, 153/155 start/stop the serial bridge, 110/111/\n"
                     "                     116 bridge peer BT/IR/IrDA, 112-115 trace off/to module/\n"
                     "                     from module/both, 152 RIL suspend, 151 RIL resume,\n"
                     "                     154 module reset, 150 device restart.\n"
                     "  --station          one firmware update with nobody at the device: headless,\n"
                     "                     the update starts by itself, boxes are answered OK, and the\n"
                     "                     exit status says how it ended (below).\n"
                     "  --timeout SECONDS  station: the time limit (default 600).\n"
                     "  --attempts N       station: attempts to wake the module and load its loaders\n"
                     "                     before it counts as not responding (default 5).\n"
                     "  --help             this text.\n"
                     "  --version          the version.\n"
                     "\n"
                     "One tool runs per device profile: a second start on the same profile brings\n"
                     "the running window to the front and exits with 255. Tools on different\n"
                     "profiles are different handhelds and run side by side. The running tools are\n"
                     "found through sockets in $FWU_RUNTIME_DIR, else $XDG_RUNTIME_DIR/fwutil, else\n"
                     "/tmp/fwutil-UID (a directory only this user may enter).\n"
                     "\n"
                     "Exit status:\n"
                     "  0    the window was closed (Exit, Ctrl+Q, the title bar's OK, --post 101);\n"
                     "       --post: the command was delivered\n"
                     "  1    the window class could not be registered\n"
                     "  2    bad command line or profile, or the display or debug output could not\n"
                     "       be set up; --post: no tool runs on this profile\n"
                     "  3    the device restarted: after a successful update the handheld goes down\n"
                     "       (station: the module was flashed and the device restarted)\n"
                     "  16   the main window could not be created\n"
                     "  255  another instance runs on this profile; it was brought to the front\n"
                     "Station mode only:\n"
                     "  4    the module's link is busy: COM1: is held by another program (\"Open\n"
                     "       Comport fail\")\n"
                     "  5    the module did not respond: every attempt allowed to wake it or load its\n"
                     "       loaders failed\n"
                     "  6    the update failed: the image transfer failed or the link was lost\n"
                     "  7    the time limit passed before the update ended\n"
                     "  8    the module was flashed but the device did not restart\n"
                     "  9    the window was closed before the update ended\n";

// ---------------------------------------------------------------------------
// Options
// ---------------------------------------------------------------------------
enum class DisplayChoice
{
    Auto,
    Terminal,
    Headless,
};

struct Options
{
    std::string profile; // empty: the built-in profile
    DisplayChoice display = DisplayChoice::Auto;
    std::string debug; // "stderr", "off", a file; empty: the default
    bool post = false;
    int postId = 0;
    bool station = false;
    int timeoutSeconds = kStationDefaultSeconds;
    int attempts = kStationDefaultAttempts;
    bool timeoutGiven = false;
    bool attemptsGiven = false;
};

[[noreturn]] void usage_error(const std::string& message)
{
    fprintf(stderr, "fwutil: %s (try --help)\n", message.c_str());
    exit(kExitUsage);
}

bool parse_int(const std::string& text, long lo, long hi, int* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != 0 || v < lo || v > hi)
        return false;
    *out = (int)v;
    return true;
}

Options parse_options(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; i++)
    {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos)
        {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto need = [&]() -> std::string
        {
            if (hasValue)
                return value;
            if (i + 1 >= argc)
                usage_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h")
        {
            fputs(kHelp, stdout);
            exit(0);
        }
        else if (arg == "--version")
        {
            printf("%s\n", kVersion);
            exit(0);
        }
        else if (arg == "--profile")
            o.profile = need();
        else if (arg == "--display")
        {
            std::string d = need();
            if (d == "terminal")
                o.display = DisplayChoice::Terminal;
            else if (d == "headless")
                o.display = DisplayChoice::Headless;
            else
                usage_error("--display takes terminal or headless, not \"" + d + "\"");
        }
        else if (arg == "--debug")
        {
            o.debug = need();
            if (o.debug.empty())
                usage_error("--debug needs stderr, off or a file");
        }
        else if (arg == "--post")
        {
            if (!parse_int(need(), 0, 0xFFFF, &o.postId))
                usage_error("--post takes a command id from 0 to 65535");
            o.post = true;
        }
        else if (arg == "--station")
            o.station = true;
        else if (arg == "--timeout")
        {
            if (!parse_int(need(), 1, 7 * 24 * 3600, &o.timeoutSeconds))
                usage_error("--timeout takes a number of seconds, at least 1");
            o.timeoutGiven = true;
        }
        else if (arg == "--attempts")
        {
            if (!parse_int(need(), 1, 100000, &o.attempts))
                usage_error("--attempts takes a number, at least 1");
            o.attemptsGiven = true;
        }
        else
            usage_error("unknown option " + std::string(argv[i]));
    }
    if (o.post && o.station)
        usage_error("--post and --station do not go together");
    if (!o.station && (o.timeoutGiven || o.attemptsGiven))
        usage_error("--timeout and --attempts are for --station");
    if (o.station && o.display == DisplayChoice::Terminal)
        usage_error("--station runs headless");
    return o;
}

// ---------------------------------------------------------------------------
// Debug output
// ---------------------------------------------------------------------------
std::string g_debugFile; // announced at exit when the terminal display hid it

bool make_dirs(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); at++)
    {
        if (at == path.size() || path[at] == '/')
        {
            std::string part = path.substr(0, at);
            if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

std::string default_debug_file()
{
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/')
        dir = std::string(state) + "/fwutil";
    else if (home != nullptr && home[0] == '/')
        dir = std::string(home) + "/.local/state/fwutil";
    else
        dir = plat::instance_default_dir();
    if (!make_dirs(dir))
        return std::string();
    return dir + "/debug.log";
}

void set_up_debug(const Options& o, bool terminal)
{
    std::string error;
    if (o.debug == "stderr")
        plat::debug_set_sink_stderr();
    else if (o.debug == "off")
        plat::debug_set_sink_off();
    else if (!o.debug.empty())
    {
        if (!plat::debug_set_sink_file(o.debug, &error))
        {
            fprintf(stderr, "fwutil: cannot write the debug output: %s\n", error.c_str());
            exit(kExitUsage);
        }
    }
    else if (terminal)
    {
        // stderr is the screen: the trace goes to a file instead.
        std::string file = default_debug_file();
        if (!file.empty() && plat::debug_set_sink_file(file, &error))
            g_debugFile = file;
        else
            plat::debug_set_sink_stderr(); // held back while the screen is drawn
    }
    else
        plat::debug_set_sink_stderr();
}

void announce_debug_file()
{
    if (!g_debugFile.empty())
        fprintf(stderr, "fwutil: the debug output is in %s\n", g_debugFile.c_str());
    g_debugFile.clear();
}

// ---------------------------------------------------------------------------
// Ending the process
// ---------------------------------------------------------------------------
bool g_terminal = false;
std::atomic<bool> g_ending{false};
char g_signalSocketPath[256]; // unlinked by the headless signal handler

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
    if (g_terminal)
        plat::terminal_display_close();
    else
        plat::headless_display_close();
    // A request being served (the --post that closed the window) still gets
    // its answer before the socket goes.
    plat::instance_leave();
    announce_debug_file();
    fflush(nullptr);
    _exit(status);
}

// The device restart: the display restores the screen in its own hook; the
// socket goes and the debug file is named.
void on_device_down()
{
    plat::instance_abandon();
    announce_debug_file();
}

// Headless: a stopping signal still removes the namespace socket.
void on_stop_signal(int sig)
{
    if (g_signalSocketPath[0] != 0)
        unlink(g_signalSocketPath);
    signal(sig, SIG_DFL);
    raise(sig);
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

// ---------------------------------------------------------------------------
// Station mode
// ---------------------------------------------------------------------------
// Starts the update once the program's window runs, then watches the run
// every kStationPollMs and ends the process with its verdict. A successful
// run needs no verdict: the device restart ends the process with 3.
void station_watch(int timeoutSeconds, int attempts)
{
    using namespace std::chrono;
    auto deadline = steady_clock::now() + seconds(timeoutSeconds);
    auto nap = [] { std::this_thread::sleep_for(milliseconds(kStationPollMs)); };
    HWND hwnd = nullptr;
    while ((hwnd = plat::program_window()) == nullptr)
    {
        if (steady_clock::now() >= deadline)
            end_process(kExitTimeLimit);
        nap();
    }
    PostMessageW(hwnd, WM_COMMAND, MAKEWPARAM(IDM_UPDATE_GO, 0), 0);
    for (;;)
    {
        nap();
        switch (QueryRun(RUNREPORT_STATE))
        {
            case RUNSTATE_OPEN_FAILED:
                end_process(kExitLinkBusy);
            case RUNSTATE_UPDATE_FAILED:
            case RUNSTATE_LINK_LOST:
                end_process(kExitUpdateFailed);
            case RUNSTATE_FLASHED:
            {
                // The box, the module reset and the restart follow; only a
                // worker that ended without taking the device down is a verdict.
                if (QueryRun(RUNREPORT_RUNNING) == 0)
                    end_process(kExitNoRestart);
                break;
            }
            case RUNSTATE_ACTIVE:
                if (QueryRun(RUNREPORT_ATTEMPTS) > (DWORD)attempts)
                    end_process(kExitModuleSilent);
                break;
            default:
                break;
        }
        if (steady_clock::now() >= deadline)
            end_process(kExitTimeLimit);
    }
}

} // namespace

int main(int argc, char** argv)
{
    RegisterProgramResources(g_resourceTable, g_resourceCount);
    setlocale(LC_ALL, "");
    signal(SIGPIPE, SIG_IGN); // a reader that went away is an error on write, not a death
    Options o = parse_options(argc, argv);

    std::string error;
    if (!o.profile.empty())
    {
        if (!plat::profile_load_file(o.profile, &error))
        {
            fprintf(stderr, "fwutil: profile refused: %s\n", error.c_str());
            return kExitUsage;
        }
    }
    else
        plat::profile_load_default();

    if (o.post)
    {
        switch (plat::instance_post_command("", plat::profile_origin(), o.postId, &error))
        {
            case plat::PostResult::Delivered:
                return 0;
            case plat::PostResult::NoInstance:
                fprintf(stderr, "fwutil: no tool runs on the profile %s\n", plat::profile_origin().c_str());
                return kExitUsage;
            case plat::PostResult::Failed:
                fprintf(stderr, "fwutil: cannot post the command: %s\n", error.c_str());
                return kExitUsage;
        }
    }

    bool terminal = o.display == DisplayChoice::Terminal ||
                    (o.display == DisplayChoice::Auto && !o.station && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO));
    set_up_debug(o, terminal);

    if (!plat::instance_join("", &error))
        fprintf(stderr, "fwutil: other instances cannot be found, the window namespace is unusable: %s\n",
                error.c_str());
    else if (plat::instance_is_holder())
    {
        std::string path = plat::instance_socket_path(plat::instance_default_dir(), plat::profile_origin());
        if (path.size() < sizeof(g_signalSocketPath))
            memcpy(g_signalSocketPath, path.c_str(), path.size() + 1);
    }

    const plat::DisplayOps* display = nullptr;
    if (terminal)
    {
        display = plat::terminal_display_open(&error);
        if (display == nullptr)
        {
            if (o.display == DisplayChoice::Terminal)
            {
                fprintf(stderr, "fwutil: cannot use the terminal display: %s\n", error.c_str());
                plat::instance_leave();
                return kExitUsage;
            }
            fprintf(stderr, "fwutil: %s; running headless\n", error.c_str());
            terminal = false;
            if (o.debug.empty())
            {
                plat::debug_set_sink_stderr();
                g_debugFile.clear();
            }
        }
    }
    if (!terminal)
    {
        display = plat::headless_display_open(STDOUT_FILENO);
        catch_stop_signals();
    }
    g_terminal = terminal;
    plat::display_set(display);
    plat::at_device_down(on_device_down);

    if (o.station)
        std::thread(station_watch, o.timeoutSeconds, o.attempts).detach();

    static WCHAR commandLine[1] = {0};
    int result = WinMain(plat::program_instance(), nullptr, commandLine, SW_SHOW);
    int status = result & 0xFF;
    if (o.station && result == 0)
        status = kExitClosedEarly;
    end_process(status);
}
