// fwsim: the module simulator as a program of its own, serving an existing tty
// (a USB-serial adapter, a pty slave) or a pty pair it creates, so that the
// tool or a person with a terminal program can talk to a simulated module.
// SIGUSR1 resets the module; SIGINT/SIGTERM stop it and print the report.
#include "sim/sim.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace
{

int g_sigPipe[2] = {-1, -1}; // signal handler and state hook -> main loop
bool g_verbose = false;

const char g_usage[] = "usage: fwsim (--tty PATH | --pty) [options]\n"
                       "\n"
                       "Simulates the cellular module's side of the firmware download: the boot ROM\n"
                       "(answers the sync byte 0x55 with 0xA0), the stage-1 and stage-2 loaders, the\n"
                       "image transfer into flash, and afterwards a firmware that answers AT commands.\n"
                       "\n"
                       "  --tty PATH           serve an existing tty (a USB-serial adapter, a pty slave)\n"
                       "  --pty                create a pty pair, serve its master and print\n"
                       "                       \"fwsim: serving /dev/pts/N\": open that path in the tool\n"
                       "  --baud N             pace the line at N baud (default 115200; 0 = memory speed)\n"
                       "  --bits N             bits per byte for pacing (default 11: start, 8 data, 2 stop)\n"
                       "  --ack-delay MS       delay before every answer (default 0)\n"
                       "  --erase-delay MS     delay before the three 0xA5 after the file size (default 0)\n"
                       "  --flash-delay MS     delay before the final 0xA5 (default 0)\n"
                       "  --boot-window MS     how long the boot ROM waits for 0x55 after a reset before\n"
                       "                       it boots a firmware, if one is present (default 300; 0 = forever)\n"
                       "  --at                 a firmware is present from the start: begin in AT mode\n"
                       "  --any-length         accept any loader and image length (default: 184, 7414\n"
                       "                       and 2490264 bytes)\n"
                       "  --expect-images DIR  compare what arrives with DIR/boot1.bin, DIR/boot2.bin and\n"
                       "                       DIR/firmware.bin (their sizes become the expected lengths)\n"
                       "  --fault SPEC         inject a fault; repeatable; the first matching rule wins.\n"
                       "                       SPEC is PHASE:KIND[:OCCURRENCE[:PARAM[:REPEAT]]]\n"
                       "                       PHASE: sync stage1 stage2-block stage2-final memory-check\n"
                       "                              file-size image-block final\n"
                       "                       KIND:  missing, late (PARAM ms), wrong (PARAM = the byte),\n"
                       "                              noise (PARAM bytes), break, silence (until reset),\n"
                       "                              unplug, wrong-check (stage1, stage2-final, final)\n"
                       "                       OCCURRENCE counts from 0 over the whole session (default 0);\n"
                       "                       REPEAT is how many occurrences (default 1; -1 = all)\n"
                       "  -v, --verbose        print every state change on stderr\n"
                       "  -h, --help           this text\n"
                       "\n"
                       "Signals: SIGUSR1 resets the module (kill -USR1 PID stands in for the radio\n"
                       "driver's reset); SIGINT or SIGTERM stop and print the report. Exit status 0,\n"
                       "or 1 when the sending side broke the protocol (violations) or on a usage error.\n"
                       "A break is sent with tcsendbreak: a pty cannot carry one.\n";

void on_signal(int sig)
{
    int saved = errno;
    uint8_t b = static_cast<uint8_t>(sig);
    ssize_t r = write(g_sigPipe[1], &b, 1);
    (void)r;
    errno = saved;
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
        if (e.baud == baud)
        {
            cfsetspeed(&t, e.speed);
            break;
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
    *slave_path = name;
    *slave_fd = s;
    return m;
}

void print_report(const SimReport& r)
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
    printf("  violations       %" PRIu64 "\n", r.violation_count);
    for (const std::string& v : r.violations)
        printf("    %s\n", v.c_str());
    fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
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
    static const option opts[] = {
        {"tty", required_argument, nullptr, OPT_TTY},
        {"pty", no_argument, nullptr, OPT_PTY},
        {"baud", required_argument, nullptr, OPT_BAUD},
        {"bits", required_argument, nullptr, OPT_BITS},
        {"ack-delay", required_argument, nullptr, OPT_ACK},
        {"erase-delay", required_argument, nullptr, OPT_ERASE},
        {"flash-delay", required_argument, nullptr, OPT_FLASH},
        {"boot-window", required_argument, nullptr, OPT_WINDOW},
        {"at", no_argument, nullptr, OPT_AT},
        {"any-length", no_argument, nullptr, OPT_ANY},
        {"expect-images", required_argument, nullptr, OPT_EXPECT},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };

    SimConfig cfg;
    cfg.baud = 115200;
    cfg.boot1_len = 184;
    cfg.boot2_len = 7414;
    cfg.image_len = 2490264;
    const char* tty = nullptr;
    bool pty = false;
    bool any_length = false;
    const char* images_dir = nullptr;
    int c;
    while ((c = getopt_long(argc, argv, "vh", opts, nullptr)) != -1)
    {
        unsigned* target = nullptr;
        switch (c)
        {
            case OPT_TTY:
                tty = optarg;
                break;
            case OPT_PTY:
                pty = true;
                break;
            case OPT_BAUD:
                target = &cfg.baud;
                break;
            case OPT_BITS:
                target = &cfg.bits_per_byte;
                break;
            case OPT_ACK:
                target = &cfg.ack_delay_ms;
                break;
            case OPT_ERASE:
                target = &cfg.erase_delay_ms;
                break;
            case OPT_FLASH:
                target = &cfg.flash_delay_ms;
                break;
            case OPT_WINDOW:
                target = &cfg.boot_window_ms;
                break;
            case OPT_AT:
                cfg.firmware_at_start = true;
                break;
            case OPT_ANY:
                any_length = true;
                break;
            case OPT_EXPECT:
                images_dir = optarg;
                break;
            case OPT_FAULT:
            {
                SimFault f;
                if (!sim_parse_fault(optarg, &f))
                {
                    fprintf(stderr, "fwsim: bad --fault '%s' (see --help)\n", optarg);
                    return 1;
                }
                cfg.faults.push_back(f);
                break;
            }
            case 'v':
                g_verbose = true;
                break;
            case 'h':
                fputs(g_usage, stdout);
                return 0;
            default:
                fputs(g_usage, stderr);
                return 1;
        }
        if (target && !parse_uint(optarg, target))
        {
            fprintf(stderr, "fwsim: '%s' is not a number\n", optarg);
            return 1;
        }
    }
    if (optind != argc || (tty != nullptr) == pty)
    {
        fprintf(stderr, "fwsim: give exactly one of --tty PATH and --pty\n\n%s", g_usage);
        return 1;
    }
    if (cfg.bits_per_byte == 0)
    {
        fprintf(stderr, "fwsim: --bits must be at least 1\n");
        return 1;
    }
    if (any_length)
        cfg.boot1_len = cfg.boot2_len = cfg.image_len = 0;

    std::vector<uint8_t> boot1, boot2, image;
    if (images_dir)
    {
        std::string dir = images_dir;
        if (!read_file(dir + "/boot1.bin", &boot1) || !read_file(dir + "/boot2.bin", &boot2) ||
            !read_file(dir + "/firmware.bin", &image))
            return 1;
        if (boot1.size() > 255 || boot2.size() > 0xFFFF || image.size() > 0x3FA000)
        {
            fprintf(stderr, "fwsim: %s: image sizes %zu/%zu/%zu do not fit the protocol's length fields\n", images_dir,
                    boot1.size(), boot2.size(), image.size());
            return 1;
        }
        cfg.expect_boot1 = boot1.data();
        cfg.boot1_len = boot1.size();
        cfg.expect_boot2 = boot2.data();
        cfg.boot2_len = boot2.size();
        cfg.expect_image = image.data();
        cfg.image_len = image.size();
    }

    if (pipe2(g_sigPipe, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        fprintf(stderr, "fwsim: pipe: %s\n", strerror(errno));
        return 1;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    int fd = -1;
    int held_slave = -1;
    std::string serving;
    if (pty)
    {
        fd = open_pty(&serving, &held_slave);
    }
    else
    {
        serving = tty;
        fd = open(tty, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            fprintf(stderr, "fwsim: %s: %s\n", tty, strerror(errno));
        else if (isatty(fd))
            set_line_speed(fd, cfg.baud, cfg.bits_per_byte);
    }
    if (fd < 0)
        return 1;
    if (held_slave >= 0)
    {
        // Raw before any byte flows, so a tool that opens the slave finds it ready.
        termios t;
        if (tcgetattr(held_slave, &t) == 0)
        {
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            tcsetattr(held_slave, TCSANOW, &t);
        }
    }
    SimLink link = sim_fd_link(fd);
    if (!link.read)
    {
        fprintf(stderr, "fwsim: %s: cannot set up the line: %s\n", serving.c_str(), strerror(errno));
        close(fd);
        return 1;
    }
    cfg.on_state = on_state;
    Sim* sim = sim_start(link, cfg);
    if (!sim)
    {
        fprintf(stderr, "fwsim: cannot start the simulator\n");
        return 1;
    }
    printf("fwsim: serving %s\n", serving.c_str());
    fflush(stdout);

    bool done = false;
    while (!done)
    {
        pollfd p = {g_sigPipe[0], POLLIN, 0};
        if (poll(&p, 1, -1) < 0 && errno != EINTR)
            break;
        uint8_t sigs[32];
        ssize_t n = read(g_sigPipe[0], sigs, sizeof sigs);
        for (ssize_t i = 0; i < n; i++)
        {
            if (sigs[i] == SIGUSR1)
            {
                if (g_verbose)
                    fprintf(stderr, "fwsim: module reset\n");
                sim_reset(sim);
            }
            else if (sigs[i] == SIGINT || sigs[i] == SIGTERM)
            {
                done = true;
            }
            else if (sigs[i] == 0)
            {
                fprintf(stderr, "fwsim: %s: the line is gone\n", serving.c_str());
                done = true;
            }
        }
    }
    SimReport r = sim_report(sim);
    sim_stop(sim);
    if (held_slave >= 0)
        close(held_slave);
    print_report(r);
    return r.violation_count ? 1 : 0;
}
