// The command line: the platform's own options, read with getopt_long in the
// usual way (short and long forms, "--name=value" or "--name value", "--" ends
// the options), each refusal with a message of its own and status 2.
#include "app/app.h"

#include "resources/resource_table.h" // where the embedded images came from, for --version
#include "shell/commands.h"           // the command table, for --post's check

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

namespace app
{

const char kVersionLine[] = "fwutil " FWU_VERSION;

// The option lines and the exit status lines keep one shape ("  -x, --name",
// "      --name", "  N    meaning"): scripts/ci-install.sh reads them and
// checks the manual page against them.
const char kHelp[] = "Usage: fwutil [OPTION]...\n"
                     "Runs the firmware utility of the handheld on a device profile: a simulated\n"
                     "handheld by default, or the ports and drivers a profile names.\n"
                     "\n"
                     "Options:\n"
                     "      --profile FILE|NAME\n"
                     "                     the device profile (a .reg file); a NAME without a slash\n"
                     "                     is looked up as NAME or NAME.reg in $XDG_CONFIG_HOME/fwutil\n"
                     "                     (~/.config/fwutil), then /etc/fwutil. Default: the built-in\n"
                     "                     simulated handheld. A bad profile is refused with its file,\n"
                     "                     line and reason.\n"
                     "  -p, --port PATH    the tty that stands behind \"COM1:\" (the module's line) for\n"
                     "                     this run, whatever the profile says.\n"
                     "      --peer PATH    the tty that stands behind the serial bridge's peer names\n"
                     "                     (the Bluetooth UART, \"COM5:\" and \"COM3:\") for this run.\n"
                     "      --display terminal|headless\n"
                     "                     terminal: the window drawn in this terminal (keys: F1 or\n"
                     "                     Alt+S opens the menu, F10 is the title bar's OK, Ctrl+Q\n"
                     "                     quits). headless: no screen; the log pane's text is\n"
                     "                     written to standard output as it grows, each message box\n"
                     "                     as a line \"[box] CAPTION: TEXT\" (boxes are answered OK)\n"
                     "                     and each dialog as \"[dialog] CAPTION: TEXT\". Default:\n"
                     "                     terminal when standard input and output are terminals,\n"
                     "                     else headless.\n"
                     "      --debug stderr|FILE|off\n"
                     "                     where the kernel debug output (the protocol trace) goes,\n"
                     "                     each line stamped with the time. FILE is a regular file\n"
                     "                     of this user or a terminal (a FIFO, a link or another\n"
                     "                     user's file is refused). Default: stderr with the headless\n"
                     "                     display; with the terminal display and with --station the\n"
                     "                     device's own log, $XDG_STATE_HOME/fwutil/fwutil-PROFILE-\n"
                     "                     PORT-HASH.log (~/.local/state/fwutil; HASH tells apart\n"
                     "                     names that read alike), kept to two files of 10 MB (.log\n"
                     "                     and .log.1).\n"
                     "      --post ID      post command ID (WM_COMMAND) to the tool running on the\n"
                     "                     same device (the same --profile, --port and --peer), then\n"
                     "                     exit: 0 when delivered, 2 when no tool runs there.\n"
                     "                     Commands: 118 update firmware, 101 exit, 120 about,\n"
                     "                     153/155 start/stop the serial bridge, 110/111/116 bridge\n"
                     "                     peer BT/IR/IrDA, 112-115 trace off/to module/from module/\n"
                     "                     both, 152 RIL suspend, 151 RIL resume, 154 module reset,\n"
                     "                     150 device restart. Another id is posted with a warning.\n"
                     "                     153 prints \"bridge peer: PATH\": where a terminal\n"
                     "                     program attaches to the bridge.\n"
                     "      --station      one firmware update with nobody at the device: headless,\n"
                     "                     the update starts by itself, boxes are answered OK, and the\n"
                     "                     exit status says how it ended (below). One result line on\n"
                     "                     stderr at the end: the outcome, the port, the time taken\n"
                     "                     and, on failure, the reason.\n"
                     "      --timeout SECONDS\n"
                     "                     station: the time limit, 1 to 604800 (default 600).\n"
                     "      --attempts N   station: attempts to wake the module and load its loaders\n"
                     "                     before it counts as not responding, 1 to 100000 (default 5).\n"
                     "      --report FILE  station: write the run's record to FILE as JSON (version,\n"
                     "                     profile, port, start and end in UTC, outcome and reason,\n"
                     "                     attempts, phase durations, bytes sent, the image's SHA-256).\n"
                     "      --ledger FILE  station: append the run's record (as --report writes it) to\n"
                     "                     FILE as one line of JSON, in one write, so that stations\n"
                     "                     sharing FILE never mix their lines and a station that dies\n"
                     "                     leaves a whole line or none.\n"
                     "      --ledger-summary FILE\n"
                     "                     read a ledger and print the runs, flashed and failed, their\n"
                     "                     span and modules an hour, and counts by outcome and reason;\n"
                     "                     lines that are not a whole record are counted apart.\n"
                     "      --wait-device SECONDS\n"
                     "                     wait up to SECONDS (1 to 3600) for the node behind \"COM1:\"\n"
                     "                     (after --port) to appear, looking every 100 ms, then go on;\n"
                     "                     a port still missing fails the open, which names the path.\n"
                     "      --firmware DIR|NAME|standin\n"
                     "                     the firmware set this run sends (any mode): a folder (DIR\n"
                     "                     has a slash), or a NAME looked up in $XDG_DATA_HOME/fwutil/\n"
                     "                     firmware (~/.local/share/fwutil/firmware), then\n"
                     "                     /usr/share/fwutil/firmware; \"standin\" sends the stand-in\n"
                     "                     images built into the program. Default: the profile's\n"
                     "                     Firmware \"Set\", else the images built in. Through a real\n"
                     "                     port (a tty path) stand-ins are refused unless asked for\n"
                     "                     by name.\n"
                     "      --check-firmware [DIR|NAME]\n"
                     "                     check a set (default: the one this run would send)\n"
                     "                     without touching a module: print its name, version, each\n"
                     "                     file's size and SHA-256 and the signature's key id or\n"
                     "                     \"unsigned\"; exit 0 when it would be accepted, 13 if not.\n"
                     "  -q, --quiet        station: no progress lines on stderr (the result line stays).\n"
                     "  -h, --help         this text.\n"
                     "  -V, --version      the version.\n"
                     "\n"
                     "One tool runs per device (a profile with its --port and --peer): a second start\n"
                     "on the same device brings the running window to the front and exits with 255.\n"
                     "Tools on different devices run side by side: a flashing station runs one\n"
                     "process per adapter. The running tools are found through sockets in\n"
                     "$FWU_RUNTIME_DIR, else $XDG_RUNTIME_DIR/fwutil, else a folder nobody else can\n"
                     "make first: /run/fwutil for root, /run/user/UID/fwutil or\n"
                     "~/.local/state/fwutil/run for others (/tmp/fwutil-UID only without a home).\n"
                     "\n"
                     "Firmware sets: a folder with boot1.bin (184 bytes), boot2.bin (7414),\n"
                     "filesize.bin (3: 3f ec e6), firmware.bin (2490264), SHA256SUMS and VERSION\n"
                     "(first line \"NAME VERSION\"), and optionally SHA256SUMS.minisig. Make one with\n"
                     "  sha256sum boot1.bin boot2.bin filesize.bin firmware.bin >SHA256SUMS\n"
                     "  minisign -S -s KEY.key -m SHA256SUMS\n"
                     "Before the module is touched every file is checked (a regular file, its exact\n"
                     "size, its SHA-256 against SHA256SUMS) and a signature is verified with the\n"
                     "trusted keys, the *.pub files in /etc/fwutil/keys and $XDG_CONFIG_HOME/fwutil/\n"
                     "keys (~/.config/fwutil/keys); a profile's Firmware \"RequireSignature\"=dword:1\n"
                     "refuses an unsigned set. A refused set sends nothing: station mode exits 13,\n"
                     "the window refuses the update and its status line says why.\n"
                     "\n"
                     "Exit status:\n"
                     "  0    the window was closed (Exit, Ctrl+Q, the title bar's OK, --post 101);\n"
                     "       --post: the command was delivered; station: the module was flashed and\n"
                     "       the device restarted\n"
                     "  1    the window class could not be registered\n"
                     "  2    bad command line or profile, or the display or debug output could not\n"
                     "       be set up; --post: no tool runs on this device\n"
                     "  3    the device restarted: after a successful update the handheld goes down\n"
                     "       (not in station mode, where that is 0)\n"
                     "  16   the main window could not be created\n"
                     "  255  another instance runs on this device; it was brought to the front\n"
                     "  128+N  stopped by signal N (SIGINT, SIGTERM, SIGHUP): an update going on is\n"
                     "       stopped first and one line says what the module is left with (station:\n"
                     "       in its result line, and the record is written); 130 also when the window\n"
                     "       was closed during an update (Yes to \"Quit anyway?\")\n"
                     "Station mode only:\n"
                     "  4    the port is busy: another program holds it\n"
                     "  5    the module did not respond: every attempt allowed to wake it or load its\n"
                     "       loaders failed\n"
                     "  6    the update failed: the image transfer failed or the link was lost\n"
                     "  7    the time limit passed before the update ended\n"
                     "  8    the module was flashed but the device did not restart\n"
                     "  9    the window was closed before the update ended\n"
                     "  10   the port was not found\n"
                     "  11   permission denied: this user may not open the port\n"
                     "  12   the port could not be opened or set up for another reason\n"
                     "  13   the firmware set was refused (nothing was sent to the module); also\n"
                     "       --check-firmware when it would refuse the set\n"
                     "  14   the run's record (--report, --ledger) could not be written (the run's\n"
                     "       outcome is still on the result line)\n";

namespace
{

// Long options without a short form.
enum
{
    kOptProfile = 1000,
    kOptPeer,
    kOptDisplay,
    kOptDebug,
    kOptPost,
    kOptStation,
    kOptTimeout,
    kOptAttempts,
    kOptReport,
    kOptWaitDevice,
    kOptFirmware,
    kOptCheckFirmware,
    kOptLedger,
    kOptLedgerSummary,
};

const char kShortOptions[] = ":hVqp:";

// name          argument            flag     code
const struct option kLongOptions[] = {
    {"profile", required_argument, nullptr, kOptProfile},
    {"port", required_argument, nullptr, 'p'},
    {"peer", required_argument, nullptr, kOptPeer},
    {"display", required_argument, nullptr, kOptDisplay},
    {"debug", required_argument, nullptr, kOptDebug},
    {"post", required_argument, nullptr, kOptPost},
    {"station", no_argument, nullptr, kOptStation},
    {"timeout", required_argument, nullptr, kOptTimeout},
    {"attempts", required_argument, nullptr, kOptAttempts},
    {"report", required_argument, nullptr, kOptReport},
    {"wait-device", required_argument, nullptr, kOptWaitDevice},
    {"firmware", required_argument, nullptr, kOptFirmware},
    {"check-firmware", optional_argument, nullptr, kOptCheckFirmware},
    {"ledger", required_argument, nullptr, kOptLedger},
    {"ledger-summary", required_argument, nullptr, kOptLedgerSummary},
    {"quiet", no_argument, nullptr, 'q'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// "--name" for an option code, as a message names it.
std::string option_name(int code)
{
    for (const struct option* o = kLongOptions; o->name != nullptr; o++)
    {
        if (o->val == code)
            return std::string("--") + o->name;
    }
    return std::string("-") + (char)code;
}

// The refusal for a '?' from getopt_long: an unknown short option, a long one
// unknown or ambiguous, or a value given to an option that takes none.
std::string unknown_option_message(const char* arg, int optopt_)
{
    if (optopt_ != 0 && arg != nullptr && strncmp(arg, "--", 2) == 0)
        return option_name(optopt_) + " takes no value";
    if (optopt_ != 0)
        return std::string("unknown option '-") + (char)optopt_ + "'";
    std::string typed = arg != nullptr ? arg : "";
    std::string name = typed.substr(2, typed.find('=') == std::string::npos ? std::string::npos : typed.find('=') - 2);
    std::string matches;
    int count = 0;
    for (const struct option* o = kLongOptions; o->name != nullptr; o++)
    {
        if (!name.empty() && strncmp(o->name, name.c_str(), name.size()) == 0)
        {
            matches += std::string(count++ ? ", --" : "--") + o->name;
        }
    }
    if (count > 1)
        return "ambiguous option '--" + name + "' (" + matches + ")";
    return "unknown option '" + typed.substr(0, typed.find('=')) + "'";
}

int number_option(const char* text, long lo, long hi, const char* what)
{
    long v = 0;
    if (!parse_number(text, lo, hi, &v))
    {
        usage_error(std::string(what) + " from " + std::to_string(lo) + " to " + std::to_string(hi) + ", not '" + text +
                    "'");
    }
    return (int)v;
}

// A value that names something: never empty, never split across lines.
std::string path_option(const char* text, int code, const char* what)
{
    std::string value = text;
    if (value.empty())
        usage_error(option_name(code) + " needs " + what + ", not ''");
    if (value.find_first_of("\r\n") != std::string::npos)
        usage_error(option_name(code) + ": a line break has no place in " + what);
    return value;
}

void take_option(int c, const char* arg, Options* o, bool* timeoutGiven, bool* attemptsGiven)
{
    switch (c)
    {
        case kOptProfile:
            o->profile = path_option(arg, c, "a profile file or name");
            o->profileGiven = true;
            break;
        case 'p':
            o->port = path_option(arg, c, "the path of a tty");
            break;
        case kOptPeer:
            o->peer = path_option(arg, c, "the path of a tty");
            break;
        case kOptDisplay:
            if (strcmp(arg, "terminal") == 0)
                o->display = DisplayChoice::Terminal;
            else if (strcmp(arg, "headless") == 0)
                o->display = DisplayChoice::Headless;
            else
                usage_error(std::string("--display takes terminal or headless, not '") + arg + "'");
            break;
        case kOptDebug:
            o->debug = path_option(arg, c, "stderr, off or a file");
            break;
        case kOptPost:
            o->postId = number_option(arg, 0, 0xFFFF, "--post takes a command id");
            o->post = true;
            break;
        case kOptStation:
            o->station = true;
            break;
        case kOptTimeout:
            o->timeoutSeconds = number_option(arg, 1, 7 * 24 * 3600, "--timeout takes a number of seconds");
            *timeoutGiven = true;
            break;
        case kOptAttempts:
            o->attempts = number_option(arg, 1, 100000, "--attempts takes a number");
            *attemptsGiven = true;
            break;
        case kOptReport:
            o->report = path_option(arg, c, "a file");
            break;
        case kOptWaitDevice:
            o->waitDeviceSeconds = number_option(arg, 1, 3600, "--wait-device takes a number of seconds");
            break;
        case kOptFirmware:
            o->firmware = path_option(arg, c, "a firmware set's folder or name, or standin");
            break;
        case kOptCheckFirmware:
            o->checkFirmware = true;
            if (arg != nullptr)
                o->firmware = path_option(arg, c, "a firmware set's folder or name, or standin");
            break;
        case kOptLedger:
            o->ledger = path_option(arg, c, "a file");
            break;
        case kOptLedgerSummary:
            o->ledgerSummary = path_option(arg, c, "a ledger file");
            break;
        case 'q':
            o->quiet = true;
            break;
        default:
            break;
    }
}

} // namespace

[[noreturn]] void usage_error(const std::string& message)
{
    fprintf(stderr, "fwutil: %s (try --help)\n", message.c_str());
    exit(kExitUsage);
}

bool parse_number(const std::string& text, long lo, long hi, long* out)
{
    // strtol would take blanks, a sign and a trailing rest; a count is digits.
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    long v = std::strtol(text.c_str(), nullptr, 10);
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

bool command_known(int id)
{
    for (int i = 0; i < g_commandCount; i++)
    {
        if (g_commandTable[i].id == id)
            return true;
    }
    return false;
}

Options parse_options(int argc, char** argv)
{
    Options o;
    bool timeoutGiven = false;
    bool attemptsGiven = false;
    opterr = 0; // the refusals below say it in the tool's own words
    int c;
    while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1)
    {
        switch (c)
        {
            case 'h':
                fputs(kHelp, stdout);
                exit(kExitOk);
            case 'V':
                printf("%s\n", kVersionLine);
                if (g_nImagesStandin)
                    printf("embedded firmware: stand-in images (--firmware chooses a set)\n");
                else
                    printf("embedded firmware: %s %s (delivered, built from %s)\n",
                           g_szImagesName[0] ? g_szImagesName : "unnamed", g_szImagesVersion, g_szImagesDir);
                exit(kExitOk);
            case ':':
                usage_error(option_name(optopt) + " needs a value");
            case '?':
                usage_error(unknown_option_message(argv[optind - 1], optopt));
            default:
                take_option(c, optarg, &o, &timeoutGiven, &attemptsGiven);
                break;
        }
    }
    // "--check-firmware DIR" as well as "--check-firmware=DIR".
    if (o.checkFirmware && optind == argc - 1)
        o.firmware = path_option(argv[optind++], kOptCheckFirmware, "a firmware set's folder or name, or standin");
    if (optind < argc)
        usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    if (o.post && o.station)
        usage_error("--post and --station do not go together");
    if (!o.station && (timeoutGiven || attemptsGiven))
        usage_error("--timeout and --attempts are for --station");
    if (!o.station && !o.report.empty())
        usage_error("--report is for --station");
    if (!o.station && !o.ledger.empty())
        usage_error("--ledger is for --station");
    if (!o.ledgerSummary.empty() && (o.station || o.post || o.checkFirmware))
        usage_error("--ledger-summary reads a ledger and exits: not with --station, --post or --check-firmware");
    if (o.checkFirmware && (o.station || o.post))
        usage_error("--check-firmware checks a set and exits: not with --station or --post");
    if (!o.station && o.quiet)
        usage_error("-q is for --station");
    if (o.station && o.display == DisplayChoice::Terminal)
        usage_error("--station runs headless");
    return o;
}

} // namespace app
