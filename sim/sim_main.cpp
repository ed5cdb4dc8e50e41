// fwsim: the module simulator as a program of its own, serving an existing tty
// (a USB-serial adapter, a pty slave) or a pty pair it creates, so that the
// tool or a person with a terminal program can talk to a simulated module.
// SIGUSR1 resets the module; SIGINT/SIGTERM stop it and print the report.
#include "sim/sim.h"
#include "sim/sim_internal.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace
{

// What the command line asks for.
struct Options
{
    SimConfig cfg;                    // line pacing, delays, expected lengths, faults
    const char* tty = nullptr;        // --tty/--port PATH
    bool pty = false;                 // --pty
    bool at = false;                  // --at: a firmware from the start
    bool any_length = false;          // --any-length
    const char* images_dir = nullptr; // --expect-images DIR
    bool verbose = false;             // -v: every state change on stderr
    bool quiet = false;               // -q: errors only on stderr
};

// Where the loop reads its wake-ups, and what it says on stderr.
int g_sigPipe[2] = {-1, -1}; // state hook -> main loop
int g_sigFd = -1;            // SIGUSR1, SIGINT, SIGTERM -> main loop
bool g_verbose = false;
bool g_quiet = false;

const char g_version[] = "fwsim " FWU_VERSION;

const char g_usage[] = "usage: fwsim (--tty PATH | --pty) [options]\n"
                       "\n"
                       "Simulates the cellular module's side of the firmware download: the boot ROM\n"
                       "(answers the sync byte 0x55 with 0xA0), the stage-1 and stage-2 loaders, the\n"
                       "image transfer into flash, and afterwards a firmware that answers AT commands.\n"
                       "\n"
                       "  -p, --port PATH      serve an existing tty (a USB-serial adapter, a pty slave);\n"
                       "      --tty PATH       the same\n"
                       "      --pty            create a pty pair, serve its master and print\n"
                       "                       \"fwsim: serving /dev/pts/N\": open that path in the tool\n"
                       "      --baud N         pace the line at N baud (default 115200; 0 = memory speed)\n"
                       "      --bits N         bits per byte for pacing (default 11: start, 8 data, 2 stop)\n"
                       "      --ack-delay MS   delay before every answer (default 0)\n"
                       "      --erase-delay MS delay before the three 0xA5 after the file size (default 0)\n"
                       "      --flash-delay MS delay before the final 0xA5 (default 0)\n"
                       "      --boot-window MS how long the boot ROM waits for 0x55 after a reset before\n"
                       "                       it boots a firmware, if one is present (default 300; 0 = forever)\n"
                       "      --at             a firmware is present from the start: begin in AT mode\n"
                       "      --any-length     accept any loader and image length (default: 184, 7414\n"
                       "                       and 2490264 bytes)\n"
                       "      --expect-images DIR\n"
                       "                       compare what arrives with DIR/boot1.bin, DIR/boot2.bin and\n"
                       "                       DIR/firmware.bin (their sizes become the expected lengths);\n"
                       "                       the report says whether each SHA-256 is the file's\n"
                       "      --fault RULE     inject a fault; repeatable; the first matching rule wins.\n"
                       "                       RULE is PHASE:KIND[:OCCURRENCE[:PARAM[:REPEAT]]]\n"
                       "                       PHASE: sync stage1 stage2-block stage2-final memory-check\n"
                       "                              file-size image-block final\n"
                       "                       KIND:  missing, late (PARAM ms), wrong (PARAM = the byte),\n"
                       "                              noise (PARAM bytes), break, silence (until reset),\n"
                       "                              unplug, wrong-check (stage1, stage2-final, final)\n"
                       "                       OCCURRENCE counts from 0 over the whole session (default 0);\n"
                       "                       REPEAT is how many occurrences (default 1; -1 = all)\n"
                       "  -v, --verbose        print every state change on stderr\n"
                       "  -q, --quiet          no notices on stderr (the line going away), errors only\n"
                       "  -h, --help           this text\n"
                       "  -V, --version        the version\n"
                       "\n"
                       "Signals: SIGUSR1 resets the module (kill -USR1 PID stands in for the radio\n"
                       "driver's reset); SIGINT or SIGTERM stop and print the report, which gives the\n"
                       "SHA-256 of the stage-1 loader, the stage-2 loader and the image that arrived.\n"
                       "Exit status 0; 1 when the sending side broke the protocol (violations) or the\n"
                       "line or the images could not be used; 2 on a usage error.\n"
                       "A break is sent with tcsendbreak: a pty cannot carry one.\n";

// Codes of the options without a short form; the others return their letter.
enum
{
    OPT_TTY = 256,
    OPT_PTY,
    OPT_BAUD,
    OPT_BITS,
    OPT_ACK,
    OPT_ERASE,
    OPT_FLASH,
    OPT_WINDOW,
    OPT_AT,
    OPT_ANY,
    OPT_EXPECT,
    OPT_FAULT,
};

// One option: getopt_long's table and the short-option string are made from
// these rows, and each row says what the option sets.
struct SimOption
{
    const char* name;            // --name
    int code;                    // a letter below 128 is also -letter
    bool takes_value;            // a value follows
    bool Options::*flag;         // switched on by the option, or null
    unsigned SimConfig::*number; // the number the value sets, or null
};

// clang-format off
// name            code        value  flag                  number
const SimOption g_options[] = {
    { "tty",           OPT_TTY,    true,  nullptr,              nullptr                    },
    { "port",          'p',        true,  nullptr,              nullptr                    },
    { "pty",           OPT_PTY,    false, &Options::pty,        nullptr                    },
    { "baud",          OPT_BAUD,   true,  nullptr,              &SimConfig::baud           },
    { "bits",          OPT_BITS,   true,  nullptr,              &SimConfig::bits_per_byte  },
    { "ack-delay",     OPT_ACK,    true,  nullptr,              &SimConfig::ack_delay_ms   },
    { "erase-delay",   OPT_ERASE,  true,  nullptr,              &SimConfig::erase_delay_ms },
    { "flash-delay",   OPT_FLASH,  true,  nullptr,              &SimConfig::flash_delay_ms },
    { "boot-window",   OPT_WINDOW, true,  nullptr,              &SimConfig::boot_window_ms },
    { "at",            OPT_AT,     false, &Options::at,         nullptr                    },
    { "any-length",    OPT_ANY,    false, &Options::any_length, nullptr                    },
    { "expect-images", OPT_EXPECT, true,  nullptr,              nullptr                    },
    { "fault",         OPT_FAULT,  true,  nullptr,              nullptr                    },
    { "verbose",       'v',        false, &Options::verbose,    nullptr                    },
    { "quiet",         'q',        false, &Options::quiet,      nullptr                    },
    { "help",          'h',        false, nullptr,              nullptr                    },
    { "version",       'V',        false, nullptr,              nullptr                    },
};
// clang-format on

// getopt_long's table, ended by a zero row.
std::vector<option> long_options()
{
    std::vector<option> table;
    for (const SimOption& so : g_options)
        table.push_back({so.name, so.takes_value ? required_argument : no_argument, nullptr, so.code});
    table.push_back({nullptr, 0, nullptr, 0});
    return table;
}

// The short-option string: ':' first, so that a missing value is told apart.
std::string short_options()
{
    std::string letters = ":";
    for (const SimOption& so : g_options)
    {
        if (so.code < 128)
            letters += std::string(1, static_cast<char>(so.code)) + (so.takes_value ? ":" : "");
    }
    return letters;
}

const SimOption* find_option(int code)
{
    for (const SimOption& so : g_options)
    {
        if (so.code == code)
            return &so;
    }
    return nullptr;
}

// The exit status of a usage error: fwutil's too.
constexpr int EXIT_USAGE = 2;

// Says what is wrong with the command line; the exit status of a usage error.
int usage_error(const std::string& message)
{
    fprintf(stderr, "fwsim: %s (try --help)\n", message.c_str());
    return EXIT_USAGE;
}

// The refusal for getopt_long's ':' (a value missing) or '?' (an unknown
// option, or a value given to a long option that takes none). typed is the
// argument getopt_long stopped at, code the option it could tell.
std::string refusal(int c, const char* typed, int code)
{
    std::string option = typed != nullptr ? typed : "";
    option = option.substr(0, option.find('='));
    if (c == ':')
        return option + " needs a value";
    if (code != 0 && option.rfind("--", 0) == 0)
        return option + " takes no value";
    if (code != 0)
        return std::string("unknown option '-") + static_cast<char>(code) + "'";
    std::string matches;
    for (const SimOption& so : g_options)
    {
        if (option.size() > 2 && std::string("--").append(so.name).rfind(option, 0) == 0)
            matches += std::string(matches.empty() ? "" : ", ") + "--" + so.name;
    }
    if (matches.find(',') != std::string::npos)
        return "ambiguous option '" + option + "' (" + matches + ")";
    return "unknown option '" + option + "'";
}

bool parse_uint(const char* text, unsigned* out)
{
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 10);
    if (errno || !*text || *end || v > 0xFFFFFFFFul || text[0] == '-')
        return false;
    *out = static_cast<unsigned>(v);
    return true;
}

// Takes one option with its value; -1 to go on, else the exit status.
int take_option(const SimOption& so, const char* arg, Options* o)
{
    if (so.flag != nullptr)
    {
        o->*so.flag = true;
        return -1;
    }
    if (so.number != nullptr)
    {
        if (!parse_uint(arg, &(o->cfg.*so.number)))
            return usage_error(std::string("--") + so.name + " takes a number, not '" + arg + "'");
        return -1;
    }
    SimFault f;
    switch (so.code)
    {
        case OPT_TTY:
        case 'p':
            o->tty = arg;
            return -1;
        case OPT_EXPECT:
            o->images_dir = arg;
            return -1;
        case OPT_FAULT:
            if (!sim_parse_fault(arg, &f))
                return usage_error(std::string("bad --fault '") + arg + "'");
            o->cfg.faults.push_back(f);
            return -1;
        default:
            return -1;
    }
}

// Whether the options go together; -1 to go on, else the exit status.
int check_options(Options* o)
{
    if ((o->tty != nullptr) == o->pty)
        return usage_error("give exactly one of --tty PATH (--port PATH) and --pty");
    if (o->cfg.bits_per_byte == 0)
        return usage_error("--bits must be at least 1");
    if (o->verbose && o->quiet)
        return usage_error("--verbose and --quiet do not go together");
    if (o->any_length)
        o->cfg.boot1_len = o->cfg.boot2_len = o->cfg.image_len = 0;
    o->cfg.firmware_at_start = o->at;
    return -1;
}

// Fills *o from the command line; -1 to run, else the status to exit with
// (0 after --help or --version).
int parse_options(int argc, char** argv, Options* o)
{
    o->cfg.baud = 115200;
    o->cfg.boot1_len = 184;
    o->cfg.boot2_len = 7414;
    o->cfg.image_len = 2490264;
    opterr = 0; // the refusals below say it in fwsim's own words
    const std::string letters = short_options();
    const std::vector<option> table = long_options();
    int c;
    while ((c = getopt_long(argc, argv, letters.c_str(), table.data(), nullptr)) != -1)
    {
        const SimOption* so = find_option(c);
        int status = -1;
        if (c == 'h')
        {
            fputs(g_usage, stdout);
            return 0;
        }
        if (c == 'V')
        {
            printf("%s\n", g_version);
            return 0;
        }
        if (so == nullptr)
            status = usage_error(refusal(c, argv[optind - 1], optopt));
        else
            status = take_option(*so, optarg, o);
        if (status >= 0)
            return status;
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    return check_options(o);
}

bool read_file(const std::string& path, std::vector<uint8_t>* out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
    {
        fprintf(stderr, "fwsim: %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    if (!ok || out->empty())
        fprintf(stderr, "fwsim: %s: %s\n", path.c_str(), ok ? "empty file" : "read error");
    return ok && !out->empty();
}

// The images to compare with (--expect-images), whose sizes become the
// expected lengths. The bytes must outlive the simulator.
struct ExpectedImages
{
    const char* dir = nullptr; // null: nothing is expected
    std::vector<uint8_t> boot1, boot2, image;
};

bool load_expected_images(const char* dir, ExpectedImages* images, SimConfig* cfg)
{
    std::string d = dir;
    images->dir = dir;
    if (!read_file(d + "/boot1.bin", &images->boot1) || !read_file(d + "/boot2.bin", &images->boot2) ||
        !read_file(d + "/firmware.bin", &images->image))
        return false;
    if (images->boot1.size() > 255 || images->boot2.size() > 0xFFFF || images->image.size() > 0x3FA000)
    {
        fprintf(stderr, "fwsim: %s: image sizes %zu/%zu/%zu do not fit the protocol's length fields\n", dir,
                images->boot1.size(), images->boot2.size(), images->image.size());
        return false;
    }
    cfg->expect_boot1 = images->boot1.data();
    cfg->boot1_len = images->boot1.size();
    cfg->expect_boot2 = images->boot2.data();
    cfg->boot2_len = images->boot2.size();
    cfg->expect_image = images->image.data();
    cfg->image_len = images->image.size();
    return true;
}

// The stop and reset signals are blocked in every thread (the simulator's
// thread is started after this) and read from a signalfd by the main loop. A
// handler writing to a pipe lost a signal that came just before the loop's
// poll under ThreadSanitizer, which defers handlers, and fwsim then ignored
// its SIGINT.
bool install_signals()
{
    if (pipe2(g_sigPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        fprintf(stderr, "fwsim: pipe: %s\n", strerror(errno));
        return false;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0 || (g_sigFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK)) < 0)
    {
        fprintf(stderr, "fwsim: signalfd: %s\n", strerror(errno));
        return false;
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

// Runs on the simulator's thread with its lock held: only trace and poke the pipe.
void on_state(void*, const char* state)
{
    if (g_verbose)
        fprintf(stderr, "fwsim: state %s\n", state);
    if (strcmp(state, "gone") == 0)
    {
        uint8_t b = 0;
        ssize_t r = write(g_sigPipe[1], &b, 1);
        (void)r;
    }
}

// A real UART carries the bytes at its own rate: set it to the simulated one
// where termios has that speed (a pty takes any and ignores it).
void set_line_speed(int fd, unsigned baud, unsigned bits)
{
    // baud     termios speed
    static const struct
    {
        unsigned baud;
        speed_t speed;
    } speeds[] = {
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return;
    for (const auto& e : speeds)
    {
        if (e.baud == baud)
        {
            cfsetspeed(&t, e.speed);
            break;
        }
    }
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB);
    t.c_cflag |= CS8;
    // 1 start + 8 data + 2 stop = 11 bits; the line's 1.5 stop bits round up to 2.
    if (bits >= 11)
        t.c_cflag |= CSTOPB;
    else
        t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        fprintf(stderr, "fwsim: cannot set the line speed: %s\n", strerror(errno));
}

int open_pty(std::string* slave_path, int* slave_fd)
{
    int m = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0)
    {
        fprintf(stderr, "fwsim: cannot create a pty: %s\n", strerror(errno));
        if (m >= 0)
            close(m);
        return -1;
    }
    char name[128];
    if (ptsname_r(m, name, sizeof name) != 0)
    {
        fprintf(stderr, "fwsim: ptsname: %s\n", strerror(errno));
        close(m);
        return -1;
    }
    // Holding the slave open keeps the master from reading as hung up while no
    // tool has the slave open, and lets tools come and go.
    int s = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s < 0)
    {
        fprintf(stderr, "fwsim: %s: %s\n", name, strerror(errno));
        close(m);
        return -1;
    }
    // Raw before any byte flows, so a tool that opens the slave finds it ready.
    simcore::make_raw(s);
    *slave_path = name;
    *slave_fd = s;
    return m;
}

// The line the simulator serves: the descriptor, -1 (with its line on stderr)
// when it cannot be opened.
int open_line(const Options& o, std::string* serving, int* held_slave)
{
    if (o.pty)
        return open_pty(serving, held_slave);
    *serving = o.tty;
    int fd = open(o.tty, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        fprintf(stderr, "fwsim: %s: %s\n", o.tty, strerror(errno));
    else if (isatty(fd))
        set_line_speed(fd, o.cfg.baud, o.cfg.bits_per_byte);
    return fd;
}

// Serves until a stop signal or until the line is gone; SIGUSR1 resets the module.
void serve(Sim* sim, const std::string& serving)
{
    for (;;)
    {
        pollfd p[2] = {{g_sigFd, POLLIN, 0}, {g_sigPipe[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0 && errno != EINTR)
            return;
        signalfd_siginfo si;
        while (read(g_sigFd, &si, sizeof si) == (ssize_t)sizeof si)
        {
            if (si.ssi_signo == SIGINT || si.ssi_signo == SIGTERM)
                return;
            if (g_verbose)
                fprintf(stderr, "fwsim: module reset\n");
            sim_reset(sim);
        }
        uint8_t b;
        if (read(g_sigPipe[0], &b, 1) == 1)
        {
            if (!g_quiet)
                fprintf(stderr, "fwsim: %s: the line is gone\n", serving.c_str());
            return;
        }
    }
}

// What arrived of one payload: its SHA-256 and length, and with
// --expect-images whether it is the file it was expected to be.
void print_digest(const char* label, const std::string& sha, size_t len, const ExpectedImages& images,
                  const std::vector<uint8_t>& file, const char* name)
{
    if (sha.empty())
    {
        printf("  %-16s none arrived\n", label);
        return;
    }
    printf("  %-16s %s (%zu bytes)", label, sha.c_str(), len);
    if (images.dir != nullptr)
    {
        bool same = sha == sim_sha256(file.data(), file.size());
        printf(", %s %s/%s", same ? "same as" : "differs from", images.dir, name);
    }
    printf("\n");
}

void print_report(const SimReport& r, const ExpectedImages& images)
{
    printf("fwsim: report\n");
    printf("  state            %s\n", r.state.c_str());
    printf("  bytes in/out     %" PRIu64 " / %" PRIu64 "\n", r.bytes_in, r.bytes_out);
    printf("  bytes dropped    %" PRIu64 "\n", r.bytes_dropped);
    printf("  resets           %" PRIu64 "\n", r.resets);
    printf("  syncs seen       %" PRIu64 " (skipped after 0xA0: %" PRIu64 ")\n", r.syncs_seen, r.syncs_skipped);
    printf("  0xA0 sent        %" PRIu64 "\n", r.a0_sent);
    printf("  stage 1 ok/fail  %" PRIu64 " / %" PRIu64 "\n", r.stage1_ok, r.stage1_fail);
    printf("  stage 2 ok/fail  %" PRIu64 " / %" PRIu64 " (%" PRIu64 " blocks)\n", r.stage2_ok, r.stage2_fail,
           r.stage2_blocks);
    printf("  memory checks    %" PRIu64 "\n", r.memory_checks);
    printf("  image ok/fail    %" PRIu64 " / %" PRIu64 " (%" PRIu64 " blocks)\n", r.images_ok, r.images_fail,
           r.image_blocks);
    printf("  acks sent        %" PRIu64 "\n", r.acks_sent);
    printf("  faults applied   %" PRIu64 " (breaks %" PRIu64 ")\n", r.faults_applied, r.breaks_sent);
    printf("  AT commands      %" PRIu64 "\n", r.at_commands);
    printf("  link gone        %s\n", r.link_gone ? "yes" : "no");
    if (r.flashed)
        printf("  flashed          yes, %zu bytes, hash 0x%016" PRIx64 "\n", r.image_len, r.image_hash);
    else
        printf("  flashed          no\n");
    print_digest("sha256 stage 1", r.stage1_sha256, r.stage1_len, images, images.boot1, "boot1.bin");
    print_digest("sha256 stage 2", r.stage2_sha256, r.stage2_len, images, images.boot2, "boot2.bin");
    print_digest("sha256 image", r.image_sha256, r.image_len, images, images.image, "firmware.bin");
    printf("  violations       %" PRIu64 "\n", r.violation_count);
    for (const std::string& v : r.violations)
        printf("    %s\n", v.c_str());
    fflush(stdout);
}

// Opens the line, serves it and prints the report; the exit status.
int run_simulator(Options* o, const ExpectedImages& images)
{
    int held_slave = -1;
    std::string serving;
    int fd = open_line(*o, &serving, &held_slave);
    if (fd < 0)
        return 1;
    SimLink link = sim_fd_link(fd);
    if (!link.read)
    {
        fprintf(stderr, "fwsim: %s: cannot set up the line: %s\n", serving.c_str(), strerror(errno));
        close(fd);
        return 1;
    }
    o->cfg.on_state = on_state;
    Sim* sim = sim_start(link, o->cfg);
    if (!sim)
    {
        fprintf(stderr, "fwsim: cannot start the simulator\n");
        return 1;
    }
    printf("fwsim: serving %s\n", serving.c_str());
    fflush(stdout);
    serve(sim, serving);
    SimReport r = sim_report(sim);
    sim_stop(sim);
    if (held_slave >= 0)
        close(held_slave);
    print_report(r, images);
    return r.violation_count ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    int status = parse_options(argc, argv, &o);
    if (status >= 0)
        return status;
    g_verbose = o.verbose;
    g_quiet = o.quiet;
    ExpectedImages images;
    if (o.images_dir != nullptr && !load_expected_images(o.images_dir, &images, &o.cfg))
        return 1;
    if (!install_signals())
        return 1;
    return run_simulator(&o, images);
}
