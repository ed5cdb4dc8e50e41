// Tests of the module simulator: it serves the master side of a real pty pair
// and a small scripted tool side, written here in plain POSIX, drives the
// download protocol on the slave side and checks every byte that comes back.
#include "sim/sim.h"
#include "tests/support/process_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

namespace
{

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int ANSWER_MS = 3000; // an answer that must come (generous for sanitizer builds)
// A child process's report and exit; a sanitizer build on a loaded machine takes seconds.
constexpr int EXIT_MS = 20000;
constexpr int QUIET_MS = 250; // how long an answer that must not come is watched for
constexpr int NONE = -1;      // read_byte: nothing within the time-out
constexpr int HUNG_UP = -2;   // read_byte: the far side went away

double ms_since(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool is_handshake(int b)
{
    return b == 0xA0 || b == 0xA5 || b == 0xAA;
}

uint8_t xor_of(const uint8_t* p, size_t n)
{
    uint8_t x = 0;
    for (size_t i = 0; i < n; i++)
        x ^= p[i];
    return x;
}

// Deterministic test images. Beyond 256 bytes every byte value occurs (167 is
// odd, so i * 167 runs through all residues); the head carries the bytes a
// tty likes to eat or that mean something in the protocol.
Bytes make_image(size_t n, uint8_t seed)
{
    static const uint8_t specials[] = {0x55, 0xA0, 0xA5, 0xAA, 0x0D, 0x11, 0x13, 0x50, 0x54, 0x0A, 0x00, 0xFF};
    Bytes b(n);
    for (size_t i = 0; i < n; i++)
        b[i] = static_cast<uint8_t>(i * 167 + seed);
    for (size_t i = 0; i < sizeof specials && i + 1 < n; i++)
        b[i + 1] = specials[i];
    return b;
}

struct Images
{
    Bytes boot1 = make_image(184, 3);
    Bytes boot2 = make_image(7414, 7);
    Bytes image = make_image(10000, 11);
};

SimConfig expecting(const Images& im, std::vector<SimFault> faults = {})
{
    SimConfig c;
    c.faults = std::move(faults);
    c.expect_boot1 = im.boot1.data();
    c.boot1_len = im.boot1.size();
    c.expect_boot2 = im.boot2.data();
    c.boot2_len = im.boot2.size();
    c.expect_image = im.image.data();
    c.image_len = im.image.size();
    return c;
}

void make_raw(int fd)
{
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
}

// ---------------------------------------------------------------------------
// The tool side: plain reads and writes on the pty slave.
// ---------------------------------------------------------------------------

int read_byte(int fd, int timeout_ms)
{
    Clock::time_point end = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;)
    {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, std::max(left, 0));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            return NONE;
        if (p.revents & POLLIN)
        {
            uint8_t b;
            ssize_t n = read(fd, &b, 1);
            if (n == 1)
                return b;
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            return HUNG_UP;
        }
        return HUNG_UP;
    }
}

std::vector<int> read_n(int fd, size_t n, int timeout_ms)
{
    std::vector<int> v;
    for (size_t i = 0; i < n; i++)
        v.push_back(read_byte(fd, timeout_ms));
    return v;
}

bool write_all(int fd, const uint8_t* p, size_t n)
{
    size_t done = 0;
    while (done < n)
    {
        ssize_t w = write(fd, p + done, n - done);
        if (w > 0)
        {
            done += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd pf = {fd, POLLOUT, 0};
        if (poll(&pf, 1, 5000) <= 0)
            return false;
    }
    return true;
}

bool send_bytes(int fd, const Bytes& b)
{
    return write_all(fd, b.data(), b.size());
}

// Casts 0x55 every 10 ms, as the tool's caster does, until a byte comes back.
int cast_sync(int fd, int* sent = nullptr, int timeout_ms = ANSWER_MS)
{
    Clock::time_point t0 = Clock::now();
    int count = 0;
    while (ms_since(t0) < timeout_ms)
    {
        if (!send_bytes(fd, {0x55}))
            return HUNG_UP;
        count++;
        int b = read_byte(fd, 10);
        if (b != NONE)
        {
            if (sent)
                *sent = count;
            return b;
        }
    }
    return NONE;
}

Bytes stage1_frame(const Bytes& img, uint8_t check_flip = 0)
{
    Bytes f(img.size() + 2);
    f[0] = static_cast<uint8_t>(img.size());
    std::copy(img.begin(), img.end(), f.begin() + 1);
    f.back() = static_cast<uint8_t>(xor_of(img.data(), img.size()) ^ check_flip);
    return f;
}

int send_stage1(int fd, const Bytes& img, int wait_ms = ANSWER_MS, uint8_t check_flip = 0)
{
    if (!send_bytes(fd, stage1_frame(img, check_flip)))
        return HUNG_UP;
    return read_byte(fd, wait_ms);
}

// Returns what came back where the tool waits: after each full block, then after the check byte.
std::vector<int> send_stage2(int fd, const Bytes& img, int wait_ms = ANSWER_MS, uint8_t check_flip = 0)
{
    std::vector<int> got;
    send_bytes(fd, {static_cast<uint8_t>(img.size() >> 8), static_cast<uint8_t>(img.size() & 0xFF)});
    for (size_t off = 0; off < img.size(); off += 1000)
    {
        size_t n = std::min<size_t>(1000, img.size() - off);
        write_all(fd, img.data() + off, n);
        if (n == 1000)
            got.push_back(read_byte(fd, wait_ms));
    }
    send_bytes(fd, {static_cast<uint8_t>(xor_of(img.data(), img.size()) ^ check_flip)});
    got.push_back(read_byte(fd, wait_ms));
    return got;
}

std::vector<int> memory_check(int fd, int wait_ms = ANSWER_MS)
{
    send_bytes(fd, {0x50});
    return read_n(fd, 3, wait_ms);
}

std::vector<int> file_size(int fd, int wait_ms = ANSWER_MS, const Bytes& size = {0x3F, 0xA0, 0x00})
{
    send_bytes(fd, {0x54});
    send_bytes(fd, size);
    return read_n(fd, 3, wait_ms);
}

// Sends the image length, the blocks and E, O. `insert_sync_at` puts a stray
// 0x55 into the stream before that image offset (the tool still counts the
// block as 4000 bytes).
std::vector<int> send_image(int fd, const Bytes& img, int wait_ms = ANSWER_MS, uint8_t even_flip = 0,
                            long insert_sync_at = -1)
{
    std::vector<int> got;
    size_t n = img.size();
    send_bytes(fd,
               {static_cast<uint8_t>(n >> 16), static_cast<uint8_t>((n >> 8) & 0xFF), static_cast<uint8_t>(n & 0xFF)});
    uint8_t e = 0, o = 0;
    for (size_t i = 0; i < n; i++)
        (i % 2 ? o : e) ^= img[i];
    for (size_t off = 0; off < n; off += 4000)
    {
        size_t len = std::min<size_t>(4000, n - off);
        Bytes block(img.begin() + static_cast<long>(off), img.begin() + static_cast<long>(off + len));
        if (insert_sync_at >= static_cast<long>(off) && insert_sync_at < static_cast<long>(off + len))
            block.insert(block.begin() + (insert_sync_at - static_cast<long>(off)), 0x55);
        send_bytes(fd, block);
        if (len == 4000)
            got.push_back(read_byte(fd, wait_ms));
    }
    send_bytes(fd, {static_cast<uint8_t>(e ^ even_flip), o});
    got.push_back(read_byte(fd, wait_ms));
    return got;
}

// What the tool saw at each point of a whole download.
struct Transcript
{
    int sync = NONE;
    int stage1 = NONE;
    std::vector<int> stage2, memory, file_size, image;
};

Transcript download(int fd, const Images& im, int wait_ms = ANSWER_MS)
{
    Transcript t;
    t.sync = cast_sync(fd);
    t.stage1 = send_stage1(fd, im.boot1, wait_ms);
    t.stage2 = send_stage2(fd, im.boot2, wait_ms);
    t.memory = memory_check(fd, wait_ms);
    t.file_size = file_size(fd, wait_ms);
    t.image = send_image(fd, im.image, wait_ms);
    return t;
}

// ---------------------------------------------------------------------------
// The simulator on the master side of a fresh pty pair; the test is the tool
// on the slave side.
// ---------------------------------------------------------------------------
struct Bench
{
    int fd = -1; // the tool's end (pty slave)
    Sim* sim = nullptr;

    ~Bench()
    {
        sim_stop(sim);
        if (fd >= 0)
            close(fd);
    }

    void start(const SimConfig& cfg)
    {
        int m = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(m, 0);
        ASSERT_EQ(grantpt(m), 0);
        ASSERT_EQ(unlockpt(m), 0);
        char name[128];
        ASSERT_EQ(ptsname_r(m, name, sizeof name), 0);
        fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        make_raw(fd);
        SimLink link = sim_fd_link(m);
        ASSERT_NE(link.read, nullptr);
        sim = sim_start(link, cfg);
        ASSERT_NE(sim, nullptr);
    }

    bool quiet(int ms = QUIET_MS)
    {
        return read_byte(fd, ms) == NONE;
    }

    // Starts a module whose firmware runs from the start, and waits for it.
    void start_firmware(SimConfig cfg)
    {
        cfg.firmware_at_start = true;
        ASSERT_NO_FATAL_FAILURE(start(cfg));
        ASSERT_TRUE(sim_wait_state(sim, "firmware", ANSWER_MS));
    }

    // Wakes the boot ROM and sends the loaders until `stages` of them are
    // accepted: 1 leaves stage 2 awaited, 2 the loader awaiting a command.
    void load(const Images& im, int stages)
    {
        ASSERT_EQ(cast_sync(fd), 0xA0);
        if (stages >= 1)
        {
            ASSERT_EQ(send_stage1(fd, im.boot1), 0xA5);
        }
        if (stages >= 2)
        {
            ASSERT_EQ(send_stage2(fd, im.boot2).back(), 0xA5);
        }
    }
};

bool has_violation(const SimReport& r, const std::string& text)
{
    for (const std::string& v : r.violations)
        if (v.find(text) != std::string::npos)
            return true;
    return false;
}

std::string violations_of(const SimReport& r)
{
    std::string s;
    for (const std::string& v : r.violations)
        s += v + "; ";
    return s;
}

double cpu_ms()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// ---------------------------------------------------------------------------
// An in-memory link, for what a pty cannot carry: a line break.
// ---------------------------------------------------------------------------
struct MemLink
{
    std::mutex mu;
    std::condition_variable cv;
    std::deque<uint8_t> to_sim, from_sim;
    int breaks = 0;
    bool woken = false;

    static int read_cb(void* c, uint8_t* buf, int max, int timeout_ms)
    {
        MemLink* l = static_cast<MemLink*>(c);
        std::unique_lock<std::mutex> lk(l->mu);
        auto ready = [l] { return !l->to_sim.empty() || l->woken; };
        if (timeout_ms < 0)
            l->cv.wait(lk, ready);
        else
            l->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), ready);
        l->woken = false;
        int n = 0;
        while (n < max && !l->to_sim.empty())
        {
            buf[n++] = l->to_sim.front();
            l->to_sim.pop_front();
        }
        return n;
    }
    static int write_cb(void* c, const uint8_t* buf, int n)
    {
        MemLink* l = static_cast<MemLink*>(c);
        std::lock_guard<std::mutex> g(l->mu);
        l->from_sim.insert(l->from_sim.end(), buf, buf + n);
        l->cv.notify_all();
        return n;
    }
    static void break_cb(void* c)
    {
        MemLink* l = static_cast<MemLink*>(c);
        std::lock_guard<std::mutex> g(l->mu);
        l->breaks++;
        l->cv.notify_all();
    }
    static void interrupt_cb(void* c)
    {
        MemLink* l = static_cast<MemLink*>(c);
        std::lock_guard<std::mutex> g(l->mu);
        l->woken = true;
        l->cv.notify_all();
    }
    SimLink link()
    {
        return SimLink{this, read_cb, write_cb, break_cb, nullptr, interrupt_cb, nullptr};
    }
    void put(const Bytes& b)
    {
        std::lock_guard<std::mutex> g(mu);
        to_sim.insert(to_sim.end(), b.begin(), b.end());
        cv.notify_all();
    }
    // Waits until `pred` holds; false on time-out.
    template <class P> bool wait(P pred, int timeout_ms)
    {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, std::chrono::milliseconds(timeout_ms), pred);
    }
};

// ===========================================================================
// The whole download
// ===========================================================================

TEST(SimDownload, HappyPath_EveryAnswerByteAndFlashedImage)
{
    Images im;
    for (int v : {0x55, 0xA0, 0xA5, 0xAA, 0x0D, 0x11, 0x13})
        ASSERT_NE(std::find(im.boot1.begin(), im.boot1.end(), v), im.boot1.end()) << v;
    for (int v = 0; v < 256; v++)
    {
        ASSERT_NE(std::find(im.boot2.begin(), im.boot2.end(), v), im.boot2.end()) << v;
        ASSERT_NE(std::find(im.image.begin(), im.image.end(), v), im.image.end()) << v;
    }
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));

    Transcript t = download(b.fd, im);
    EXPECT_EQ(t.sync, 0xA0);
    EXPECT_EQ(t.stage1, 0xA5);
    EXPECT_EQ(t.stage2, (std::vector<int>{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xA5}));
    ASSERT_EQ(t.memory.size(), 3u);
    EXPECT_GE(t.memory[0], 0);
    EXPECT_FALSE(is_handshake(t.memory[0]));
    EXPECT_GE(t.memory[1], 0);
    EXPECT_FALSE(is_handshake(t.memory[1]));
    EXPECT_EQ(t.memory[2], 0xA5);
    EXPECT_EQ(t.file_size, (std::vector<int>{0xA5, 0xA5, 0xA5}));
    EXPECT_EQ(t.image, (std::vector<int>{0xAA, 0xAA, 0xA5}));
    EXPECT_TRUE(b.quiet()) << "nothing beyond the answers";
    EXPECT_TRUE(sim_wait_state(b.sim, "loader", ANSWER_MS));

    SimReport r = sim_report(b.sim);
    EXPECT_TRUE(r.violations.empty()) << violations_of(r);
    EXPECT_EQ(r.violation_count, 0u);
    EXPECT_EQ(r.syncs_seen, 1u);
    EXPECT_EQ(r.a0_sent, 1u);
    EXPECT_EQ(r.stage1_ok, 1u);
    EXPECT_EQ(r.stage2_blocks, 7u);
    EXPECT_EQ(r.stage2_ok, 1u);
    EXPECT_EQ(r.memory_checks, 1u);
    EXPECT_EQ(r.image_blocks, 2u);
    EXPECT_EQ(r.images_ok, 1u);
    EXPECT_EQ(r.acks_sent, 1u + 1 + 8 + 1 + 1 + 3);
    EXPECT_EQ(r.bytes_dropped, 0u);
    EXPECT_TRUE(r.flashed);
    EXPECT_EQ(r.image_len, im.image.size());
    EXPECT_EQ(r.image_hash, sim_hash(im.image.data(), im.image.size()));
    EXPECT_EQ(r.image_sha256, sim_sha256(im.image.data(), im.image.size()));
    EXPECT_EQ(r.stage1_len, im.boot1.size());
    EXPECT_EQ(r.stage1_sha256, sim_sha256(im.boot1.data(), im.boot1.size()));
    EXPECT_EQ(r.stage2_len, im.boot2.size());
    EXPECT_EQ(r.stage2_sha256, sim_sha256(im.boot2.data(), im.boot2.size()));
    Bytes flashed;
    EXPECT_TRUE(sim_flashed_image(b.sim, &flashed));
    EXPECT_EQ(flashed, im.image);

    // After the reset the boot ROM listens for its window, then the new firmware runs.
    sim_reset(b.sim);
    EXPECT_FALSE(sim_wait_state(b.sim, "firmware", 100)) << "firmware must not start inside the boot window";
    ASSERT_TRUE(sim_wait_state(b.sim, "firmware", ANSWER_MS));
    send_bytes(b.fd, {'A', 'T', '\r'});
    EXPECT_EQ(read_n(b.fd, 6, ANSWER_MS), (std::vector<int>{'\r', '\n', 'O', 'K', '\r', '\n'}));
    EXPECT_EQ(sim_report(b.sim).resets, 1u);
}

// Each full block is acknowledged with 0xAA, the last one too when the length
// is an exact multiple, and the end with 0xA5.
TEST(SimDownload, BlockAnswersFollowTheLengths)
{
    // stage 2, image, their full blocks: exact multiples; the delivered sizes
    const size_t rows[][4] = {{2000, 8000, 2, 2}, {7414, 2490264, 7, 622}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row[1]);
        Images im;
        im.boot2 = make_image(row[0], 5);
        im.image = make_image(row[1], 13);
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
        Transcript t = download(b.fd, im);
        std::vector<int> stage2(row[2], 0xAA), image(row[3], 0xAA);
        stage2.push_back(0xA5);
        image.push_back(0xA5);
        EXPECT_EQ(t.stage2, stage2);
        EXPECT_EQ(t.image, image);
        SimReport r = sim_report(b.sim);
        EXPECT_EQ(r.image_blocks, row[3]);
        EXPECT_TRUE(r.flashed);
        EXPECT_EQ(r.image_hash, sim_hash(im.image.data(), im.image.size()));
        EXPECT_TRUE(r.violations.empty()) << violations_of(r);
    }
}

TEST(SimDownload, StraySyncsAfterA0_AreSkippedNotViolations)
{
    Images im;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
    int sent = 0;
    ASSERT_EQ(cast_sync(b.fd, &sent), 0xA0);
    send_bytes(b.fd, {0x55, 0x55, 0x55, 0x55, 0x55});
    EXPECT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
    SimReport r = sim_report(b.sim);
    EXPECT_EQ(r.syncs_seen, 1u);
    EXPECT_EQ(r.syncs_skipped, static_cast<uint64_t>(sent - 1 + 5));
    EXPECT_TRUE(r.violations.empty()) << violations_of(r);
}

TEST(SimDownload, ResetMidTransfer_RestartsBootRom)
{
    Images im;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
    ASSERT_NO_FATAL_FAILURE(b.load(im, 2));
    file_size(b.fd);
    send_bytes(b.fd, {0x00, 0x27, 0x10});
    write_all(b.fd, im.image.data(), 4000);
    ASSERT_EQ(read_byte(b.fd, ANSWER_MS), 0xAA);
    ASSERT_EQ(sim_report(b.sim).state, "image");

    sim_reset(b.sim);
    ASSERT_TRUE(sim_wait_state(b.sim, "boot_rom", ANSWER_MS));
    // The rest of the interrupted block reaches the boot ROM, which drops it.
    send_bytes(b.fd, Bytes(1000, 0x00));
    EXPECT_TRUE(b.quiet());
    EXPECT_EQ(cast_sync(b.fd), 0xA0);
    EXPECT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
    SimReport r = sim_report(b.sim);
    EXPECT_EQ(r.resets, 1u);
    EXPECT_EQ(r.stage1_ok, 2u);
    EXPECT_FALSE(r.flashed);
    EXPECT_GE(r.bytes_dropped, 1000u);
    EXPECT_TRUE(r.violations.empty()) << violations_of(r);
}

TEST(SimDownload, ResetDuringAckDelay_DropsThePendingAnswer)
{
    SimConfig c;
    c.ack_delay_ms = 400;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    send_bytes(b.fd, {0x55});
    ASSERT_TRUE(sim_wait_state(b.sim, "stage1", ANSWER_MS));
    sim_reset(b.sim);
    EXPECT_TRUE(b.quiet(700)) << "the answer of the module before the reset must not come";
    EXPECT_EQ(sim_report(b.sim).a0_sent, 0u);
    EXPECT_EQ(cast_sync(b.fd), 0xA0);
}

// ===========================================================================
// Violations of the sending side
// ===========================================================================

// A loader the module refuses: a wrong check byte or length is named, nothing
// is answered, the module halts and ignores even a sync, and a reset brings
// its boot ROM back.
struct LoaderMistake
{
    const char* violation;
    int stage;         // 1 or 2
    size_t length;     // of the loader sent
    uint8_t checkFlip; // XORed into the check byte
    uint64_t SimReport::*failCount;
};

// clang-format off
// violation                              stage  length  flip  counter
static const LoaderMistake kLoaderMistakes[] = {
    {"stage-1 check byte",                1,     184,    0x01, &SimReport::stage1_fail},
    {"stage-1 length 183, expected 184",  1,     183,    0x00, &SimReport::stage1_fail},
    {"stage-2 check byte",                2,     7414,   0x80, &SimReport::stage2_fail},
};
// clang-format on

TEST(SimViolations, LoaderMistake_NamedNoAnswerHaltedUntilReset)
{
    Images im;
    for (const LoaderMistake& m : kLoaderMistakes)
    {
        SCOPED_TRACE(m.violation);
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
        ASSERT_EQ(cast_sync(b.fd), 0xA0);
        if (m.stage == 1)
            EXPECT_EQ(
                send_stage1(b.fd, Bytes(im.boot1.begin(), im.boot1.begin() + (long)m.length), QUIET_MS, m.checkFlip),
                NONE);
        else
        {
            ASSERT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
            std::vector<int> got = send_stage2(b.fd, im.boot2, QUIET_MS, m.checkFlip);
            EXPECT_EQ(got, (std::vector<int>{0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, NONE}));
        }
        EXPECT_TRUE(sim_wait_state(b.sim, "halted", ANSWER_MS));
        const uint64_t dropped = sim_report(b.sim).bytes_dropped;
        send_bytes(b.fd, {0x55, 0x1C, 0xF6});
        EXPECT_TRUE(b.quiet()) << "a halted module answers nothing, not even a sync";
        SimReport r = sim_report(b.sim);
        EXPECT_EQ(r.*m.failCount, 1u);
        EXPECT_TRUE(has_violation(r, m.violation)) << violations_of(r);
        EXPECT_EQ((m.stage == 1 ? r.stage1_sha256 : r.stage2_sha256), "") << "a refused stage has not arrived";
        EXPECT_EQ(r.bytes_dropped, dropped + 3);

        sim_reset(b.sim);
        EXPECT_EQ(cast_sync(b.fd), 0xA0);
        EXPECT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
    }
}

TEST(SimViolations, AnyStage1LengthWithoutExpectation)
{
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(SimConfig{}));
    ASSERT_EQ(cast_sync(b.fd), 0xA0);
    EXPECT_EQ(send_stage1(b.fd, make_image(40, 1)), 0xA5);
    EXPECT_TRUE(sim_report(b.sim).violations.empty());
}

TEST(SimViolations, WrongImageCheck_AnswersNotA5AndKeepsNothing)
{
    Images im;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
    ASSERT_NO_FATAL_FAILURE(b.load(im, 2));
    ASSERT_EQ(file_size(b.fd), (std::vector<int>{0xA5, 0xA5, 0xA5}));
    std::vector<int> got = send_image(b.fd, im.image, ANSWER_MS, 0x04);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_GE(got[2], 0);
    EXPECT_NE(got[2], 0xA5);
    SimReport r = sim_report(b.sim);
    EXPECT_FALSE(r.flashed);
    EXPECT_EQ(r.images_fail, 1u);
    EXPECT_TRUE(has_violation(r, "image check bytes")) << violations_of(r);
    Bytes flashed;
    EXPECT_FALSE(sim_flashed_image(b.sim, &flashed));
    // The loader is still there for another go.
    EXPECT_EQ(file_size(b.fd), (std::vector<int>{0xA5, 0xA5, 0xA5}));
    EXPECT_EQ(send_image(b.fd, im.image).back(), 0xA5);
    EXPECT_TRUE(sim_report(b.sim).flashed);
}

// A stray sync inside a block is named with its stage and offset; the block
// still counts its full length, so the last byte is left out.
struct StraySync
{
    const char* block;
    long at; // offset in the block's loader or image
};

// clang-format off
// block     at
static const StraySync kStraySyncs[] = {
    {"stage1", 100},
    {"stage2", 2500},
    {"image",  4123},
};
// clang-format on

TEST(SimViolations, StraySyncInsideABlock_NamedWithItsStageAndOffset)
{
    Images im;
    for (const StraySync& k : kStraySyncs)
    {
        const std::string what =
            std::string("sync byte 0x55 inside ") + k.block + " block at offset " + std::to_string(k.at);
        SCOPED_TRACE(what);
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
        ASSERT_EQ(cast_sync(b.fd), 0xA0);
        if (k.block == std::string("stage1"))
        {
            ASSERT_NE(im.boot1[k.at], 0x55);
            Bytes frame = stage1_frame(im.boot1);
            frame.insert(frame.begin() + 1 + k.at, 0x55);
            frame.pop_back();
            send_bytes(b.fd, frame);
            ASSERT_TRUE(b.quiet());
        }
        else
        {
            ASSERT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
            if (k.block == std::string("stage2"))
            {
                ASSERT_NE(im.boot2[k.at], 0x55);
                Bytes loader = im.boot2;
                loader.insert(loader.begin() + k.at, 0x55);
                loader.pop_back();
                send_stage2(b.fd, loader, QUIET_MS);
            }
            else
            {
                ASSERT_NE(im.image[k.at], 0x55);
                ASSERT_EQ(send_stage2(b.fd, im.boot2).back(), 0xA5);
                ASSERT_EQ(file_size(b.fd), (std::vector<int>{0xA5, 0xA5, 0xA5}));
                EXPECT_NE(send_image(b.fd, im.image, QUIET_MS, 0, k.at).back(), 0xA5);
            }
        }
        SimReport r = sim_report(b.sim);
        EXPECT_TRUE(has_violation(r, what)) << violations_of(r);
        EXPECT_FALSE(r.flashed);
    }
}

TEST(SimViolations, ImageHeaderChecks)
{
    Images im;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
    ASSERT_NO_FATAL_FAILURE(b.load(im, 2));
    EXPECT_EQ(file_size(b.fd, ANSWER_MS, {0x3F, 0xEC, 0xE6}), (std::vector<int>{0xA5, 0xA5, 0xA5}));
    send_bytes(b.fd, {0x00, 0x27, 0x0F}); // 9999, one short
    EXPECT_TRUE(sim_wait_state(b.sim, "halted", ANSWER_MS));
    SimReport r = sim_report(b.sim);
    EXPECT_TRUE(has_violation(r, "fixed file size 0x3FECE6, expected 0x3FA000")) << violations_of(r);
    EXPECT_TRUE(has_violation(r, "image length 9999, expected 10000")) << violations_of(r);
}

TEST(SimViolations, ImageLongerThanTheErasedArea_Refused)
{
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(SimConfig{}));
    ASSERT_EQ(cast_sync(b.fd), 0xA0);
    ASSERT_EQ(send_stage1(b.fd, make_image(184, 1)), 0xA5);
    ASSERT_EQ(send_stage2(b.fd, make_image(10, 2)).back(), 0xA5);
    ASSERT_EQ(file_size(b.fd), (std::vector<int>{0xA5, 0xA5, 0xA5}));
    send_bytes(b.fd, {0xFF, 0xFF, 0xFF});
    EXPECT_TRUE(sim_wait_state(b.sim, "halted", ANSWER_MS));
    EXPECT_TRUE(has_violation(sim_report(b.sim), "exceeds the erased area")) << violations_of(sim_report(b.sim));
}

TEST(SimViolations, ContentDifference_NamesOffsetAndBytes)
{
    Images im;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
    ASSERT_NO_FATAL_FAILURE(b.load(im, 1));
    Bytes loader = im.boot2;
    loader[3210] ^= 0x01;
    loader[4000] ^= 0x01; // only the first difference is reported
    // Same length, check byte computed over what is sent: the module accepts it but reports the difference.
    EXPECT_EQ(send_stage2(b.fd, loader).back(), 0xA5);
    SimReport r = sim_report(b.sim);
    char want[80];
    snprintf(want, sizeof want, "stage2 byte at offset 3210 is 0x%02X, expected 0x%02X", loader[3210], im.boot2[3210]);
    EXPECT_TRUE(has_violation(r, want)) << violations_of(r);
    EXPECT_EQ(r.violation_count, 1u);
}

// ===========================================================================
// Injected faults, as the tool side sees them
// ===========================================================================

struct PhaseSpot
{
    SimPhase phase;
    void (*apply)(Transcript* t, int wrong); // where a wrong byte shows in the transcript
};

// phase                     what changes in the transcript
static const PhaseSpot g_phaseSpots[] = {
    {SimPhase::SyncAnswer, [](Transcript* t, int w) { t->sync = w; }},
    {SimPhase::Stage1Ack, [](Transcript* t, int w) { t->stage1 = w; }},
    {SimPhase::Stage2BlockAck, [](Transcript* t, int w) { t->stage2[0] = w; }},
    {SimPhase::Stage2FinalAck, [](Transcript* t, int w) { t->stage2.back() = w; }},
    {SimPhase::MemoryCheckAck, [](Transcript* t, int w) { t->memory[2] = w; }},
    {SimPhase::FileSizeAcks,
     [](Transcript* t, int w) {
         t->file_size = {w, w, w};
     }},
    {SimPhase::ImageBlockAck, [](Transcript* t, int w) { t->image[0] = w; }},
    {SimPhase::FinalAck, [](Transcript* t, int w) { t->image.back() = w; }},
};

TEST(SimFaults, WrongByte_HitsExactlyTheChosenAnswerOfEachPhase)
{
    Images im;
    Transcript base;
    {
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(expecting(im)));
        base = download(b.fd, im);
        ASSERT_TRUE(sim_report(b.sim).flashed);
    }
    for (const PhaseSpot& spot : g_phaseSpots)
    {
        SCOPED_TRACE(sim_phase_name(spot.phase));
        SimConfig c = expecting(im, {{spot.phase, SimFaultKind::Wrong, 0, 0x3C, 1}});
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(c));
        Transcript t = download(b.fd, im);
        Transcript want = base;
        spot.apply(&want, 0x3C);
        EXPECT_EQ(t.sync, want.sync);
        EXPECT_EQ(t.stage1, want.stage1);
        EXPECT_EQ(t.stage2, want.stage2);
        EXPECT_EQ(t.memory, want.memory);
        EXPECT_EQ(t.file_size, want.file_size);
        EXPECT_EQ(t.image, want.image);
        SimReport r = sim_report(b.sim);
        EXPECT_EQ(r.faults_applied, 1u);
        EXPECT_TRUE(r.flashed);
        EXPECT_TRUE(r.violations.empty()) << violations_of(r);
    }
}

TEST(SimFaults, OccurrenceAndRepeat_CountOverTheWholeSession)
{
    Images im;
    SimConfig c = expecting(im);
    c.faults.push_back({SimPhase::Stage2BlockAck, SimFaultKind::Wrong, 2, 0x00, 2});
    c.faults.push_back({SimPhase::Stage2BlockAck, SimFaultKind::Wrong, 9, 0x01, -1});
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    ASSERT_NO_FATAL_FAILURE(b.load(im, 1));
    EXPECT_EQ(send_stage2(b.fd, im.boot2), (std::vector<int>{0xAA, 0xAA, 0x00, 0x00, 0xAA, 0xAA, 0xAA, 0xA5}));
    // Occurrences 7 to 13 come in the second session, after a reset.
    sim_reset(b.sim);
    ASSERT_NO_FATAL_FAILURE(b.load(im, 1));
    EXPECT_EQ(send_stage2(b.fd, im.boot2), (std::vector<int>{0xAA, 0xAA, 0x01, 0x01, 0x01, 0x01, 0x01, 0xA5}));
    EXPECT_EQ(sim_report(b.sim).faults_applied, 2u + 5u);
}

// The stage-1 acknowledgement under each kind of fault, as the tool sees it:
// what comes back and when, the state the module is left in, and a reset
// that brings back a module which answers again (a fault hits once).
struct AckFault
{
    SimFaultKind kind;
    int param;
    int noise;         // non-handshake bytes before the answer
    bool answered;     // 0xA5 comes at all
    double minMs;      // earliest the answer may come
    const char* after; // the module's state once the fault has hit
};

// clang-format off
// kind                            param  noise  answered  min ms  state after
static const AckFault kAckFaults[] = {
    {SimFaultKind::Missing,          0,     0,     false,    0,      "stage2"},
    {SimFaultKind::Late,             250,   0,     true,     240,    "stage2"},
    {SimFaultKind::Noise,            300,   300,   true,     0,      "stage2"},
    {SimFaultKind::Silence,          0,     0,     false,    0,      "silent"},
    {SimFaultKind::WrongFinalCheck,  0,     0,     false,    0,      "halted"},
};
// clang-format on

TEST(SimFaults, Stage1AckFault_AsTheToolSeesIt)
{
    Images im;
    for (const AckFault& k : kAckFaults)
    {
        SCOPED_TRACE(sim_fault_kind_name(k.kind));
        SimConfig c = expecting(im, {{SimPhase::Stage1Ack, k.kind, 0, k.param}});
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(c));
        ASSERT_EQ(cast_sync(b.fd), 0xA0);
        send_bytes(b.fd, stage1_frame(im.boot1));
        Clock::time_point t0 = Clock::now();
        std::vector<int> got = read_n(b.fd, (size_t)k.noise + 1, k.answered ? ANSWER_MS : QUIET_MS);
        const double ms = ms_since(t0);
        for (int i = 0; i < k.noise; i++)
        {
            ASSERT_GE(got[i], 0) << i;
            ASSERT_FALSE(is_handshake(got[i])) << i;
        }
        EXPECT_EQ(got.back(), k.answered ? 0xA5 : NONE);
        if (k.answered)
        {
            EXPECT_GE(ms, k.minMs);
            EXPECT_LT(ms, k.minMs + 1500.0);
        }
        EXPECT_TRUE(sim_wait_state(b.sim, k.after, ANSWER_MS));
        EXPECT_TRUE(b.quiet());
        SimReport r = sim_report(b.sim);
        EXPECT_EQ(r.faults_applied, 1u);
        EXPECT_EQ(r.stage1_fail, k.kind == SimFaultKind::WrongFinalCheck ? 1u : 0u);
        EXPECT_TRUE(r.violations.empty()) << violations_of(r);
        if (k.kind == SimFaultKind::Missing)
        {
            EXPECT_EQ(send_stage2(b.fd, im.boot2).back(), 0xA5) << "the module goes on as if it had answered";
        }

        sim_reset(b.sim);
        EXPECT_EQ(cast_sync(b.fd), 0xA0);
        EXPECT_EQ(send_stage1(b.fd, im.boot1), 0xA5) << "only the first occurrence was hit";
    }
}

TEST(SimFaults, Unplug_ToolSideSeesHangUp)
{
    SimConfig c;
    c.faults.push_back({SimPhase::SyncAnswer, SimFaultKind::Unplug});
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    EXPECT_EQ(cast_sync(b.fd), HUNG_UP);
    pollfd p = {b.fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, ANSWER_MS), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    EXPECT_TRUE(sim_wait_state(b.sim, "gone", ANSWER_MS));
    SimReport r = sim_report(b.sim);
    EXPECT_TRUE(r.link_gone);
    EXPECT_EQ(r.a0_sent, 0u);
}

TEST(SimFaults, WrongFinalCheck_AnswersNotA5WithoutViolation)
{
    Images im;
    SimConfig c = expecting(im, {{SimPhase::FinalAck, SimFaultKind::WrongFinalCheck}});
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    Transcript t = download(b.fd, im);
    ASSERT_EQ(t.image.size(), 3u);
    EXPECT_GE(t.image[2], 0);
    EXPECT_NE(t.image[2], 0xA5);
    SimReport r = sim_report(b.sim);
    EXPECT_FALSE(r.flashed);
    EXPECT_EQ(r.images_fail, 1u);
    EXPECT_TRUE(r.violations.empty()) << violations_of(r);
    EXPECT_EQ(r.faults_applied, 1u);
}

TEST(SimFaults, Break_SignalledInsteadOfTheAnswer)
{
    Images im;
    SimConfig c = expecting(im, {{SimPhase::Stage1Ack, SimFaultKind::Break}});
    MemLink m;
    Sim* sim = sim_start(m.link(), c);
    ASSERT_NE(sim, nullptr);
    m.put({0x55});
    EXPECT_TRUE(m.wait([&] { return !m.from_sim.empty(); }, ANSWER_MS));
    m.put(stage1_frame(im.boot1));
    EXPECT_TRUE(m.wait([&] { return m.breaks == 1; }, ANSWER_MS));
    EXPECT_TRUE(sim_wait_state(sim, "stage2", ANSWER_MS));
    {
        std::lock_guard<std::mutex> g(m.mu);
        EXPECT_EQ(m.from_sim, (std::deque<uint8_t>{0xA0})) << "no 0xA5 besides the break";
    }
    SimReport r = sim_report(sim);
    EXPECT_EQ(r.breaks_sent, 1u);
    sim_stop(sim);
}

TEST(SimFaults, ParseFaultText)
{
    struct Case
    {
        const char* text;
        bool ok;
        SimPhase phase;
        SimFaultKind kind;
        int occurrence, param, repeat;
    };
    // text                               ok     phase                        kind                          occ  param
    // repeat
    static const Case cases[] = {
        {"sync:missing", true, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"stage1:late:0:250", true, SimPhase::Stage1Ack, SimFaultKind::Late, 0, 250, 1},
        {"stage2-block:wrong:3:0x12:2", true, SimPhase::Stage2BlockAck, SimFaultKind::Wrong, 3, 0x12, 2},
        {"stage2-final:noise:0:17", true, SimPhase::Stage2FinalAck, SimFaultKind::Noise, 0, 17, 1},
        {"memory-check:break", true, SimPhase::MemoryCheckAck, SimFaultKind::Break, 0, 0, 1},
        {"file-size:silence:1", true, SimPhase::FileSizeAcks, SimFaultKind::Silence, 1, 0, 1},
        {"image-block:unplug:600:0:-1", true, SimPhase::ImageBlockAck, SimFaultKind::Unplug, 600, 0, -1},
        {"final:wrong-check", true, SimPhase::FinalAck, SimFaultKind::WrongFinalCheck, 0, 0, 1},
        {"sync:wrong-check", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:wrong:0:256", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:late:0:-5", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing:-1", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing:0:0:0", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing:0:0:1:9", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing:x", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing:0x", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:missing::", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"bogus:missing", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync:bogus", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"sync", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
        {"", false, SimPhase::SyncAnswer, SimFaultKind::Missing, 0, 0, 1},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        SimFault f;
        ASSERT_EQ(sim_parse_fault(c.text, &f), c.ok);
        if (!c.ok)
            continue;
        EXPECT_EQ(f.phase, c.phase);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.occurrence, c.occurrence);
        EXPECT_EQ(f.param, c.param);
        EXPECT_EQ(f.repeat, c.repeat);
        EXPECT_STREQ(sim_phase_name(f.phase), std::string(c.text).substr(0, strchr(c.text, ':') - c.text).c_str());
    }
}

// ===========================================================================
// Boot ROM and firmware
// ===========================================================================

TEST(SimFirmware, AtStart_AnswersAtLinesOnly)
{
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start_firmware(SimConfig{}));
    const std::vector<int> ok = {'\r', '\n', 'O', 'K', '\r', '\n'};
    send_bytes(b.fd, {'A', 'T', '\r'});
    EXPECT_EQ(read_n(b.fd, 6, ANSWER_MS), ok);
    send_bytes(b.fd, {'a', 't', '+', 'c', 'g', 'm', 'i', '\r', '\n'});
    EXPECT_EQ(read_n(b.fd, 6, ANSWER_MS), ok);
    send_bytes(b.fd, {0x55, 0x55, 'A', 'T', 'I', '\r'}); // syncs left over from a cast do nothing
    EXPECT_EQ(read_n(b.fd, 6, ANSWER_MS), ok);
    send_bytes(b.fd, {'h', 'e', 'l', 'l', 'o', '\r', 'A', '\r', 0x55, 0x55});
    EXPECT_TRUE(b.quiet()) << "no answer to other lines, no echo, nothing for a sync";
    EXPECT_EQ(sim_report(b.sim).at_commands, 3u);
}

TEST(SimFirmware, ResetWithSyncInsideTheWindow_BootRomAnswers)
{
    SimConfig c;
    c.boot_window_ms = 300;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start_firmware(c));
    sim_reset(b.sim);
    EXPECT_EQ(cast_sync(b.fd), 0xA0);
    EXPECT_EQ(sim_report(b.sim).state, "stage1");
}

TEST(SimFirmware, NoFirmware_BootRomListensPastTheWindow)
{
    SimConfig c;
    c.boot_window_ms = 50;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    send_bytes(b.fd, {'A', 'T', '\r'});
    EXPECT_TRUE(b.quiet());
    EXPECT_EQ(sim_report(b.sim).state, "boot_rom");
    EXPECT_EQ(cast_sync(b.fd), 0xA0);
}

// ===========================================================================
// Pacing, delays and stopping
// ===========================================================================

// Input takes line time when paced, memory time when not: lines of 99 bytes,
// then "AT", whose answer ends the burst. Paced: (2003 in + 6 out) * 11 bits /
// 115200 = 191.8 ms; unpaced, 20,000 bytes would take 1.9 s at 115200 baud.
TEST(SimPacing, InputTakesLineTimeOnlyWhenPaced)
{
    // baud, lines, at least ms, under ms
    const unsigned rows[][4] = {{115200, 20, 170, 600}, {0, 200, 0, 500}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row[0]);
        SimConfig c;
        c.baud = row[0];
        c.bits_per_byte = 11;
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start_firmware(c));
        Bytes burst;
        for (unsigned line = 0; line < row[1]; line++)
        {
            burst.insert(burst.end(), 99, 'x');
            burst.push_back('\r');
        }
        burst.insert(burst.end(), {'A', 'T', '\r'});
        Clock::time_point t0 = Clock::now();
        ASSERT_TRUE(send_bytes(b.fd, burst));
        EXPECT_EQ(read_n(b.fd, 6, ANSWER_MS), (std::vector<int>{'\r', '\n', 'O', 'K', '\r', '\n'}));
        const double ms = ms_since(t0);
        EXPECT_GE(ms, row[2]);
        EXPECT_LT(ms, row[3]);
    }
}

TEST(SimPacing, OutputTakesLineTime)
{
    SimConfig c;
    c.baud = 115200;
    c.faults.push_back({SimPhase::SyncAnswer, SimFaultKind::Noise, 0, 1000});
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    Clock::time_point t0 = Clock::now();
    send_bytes(b.fd, {0x55});
    std::vector<int> got = read_n(b.fd, 1001, ANSWER_MS);
    double ms = ms_since(t0);
    EXPECT_EQ(got.back(), 0xA0);
    // (1 in + 1001 out) * 11 bits / 115200 = 95.7 ms
    EXPECT_GE(ms, 85.0);
    EXPECT_LT(ms, 600.0);
}

TEST(SimPacing, EraseAndFlashDelaysHoldBackTheirAnswers)
{
    Images im;
    SimConfig c = expecting(im);
    c.erase_delay_ms = 200;
    c.flash_delay_ms = 150;
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(c));
    ASSERT_EQ(cast_sync(b.fd), 0xA0);
    Clock::time_point t0 = Clock::now();
    ASSERT_EQ(send_stage1(b.fd, im.boot1), 0xA5);
    EXPECT_LT(ms_since(t0), 150.0) << "no delay on other answers";
    ASSERT_EQ(send_stage2(b.fd, im.boot2).back(), 0xA5);
    t0 = Clock::now();
    EXPECT_EQ(file_size(b.fd), (std::vector<int>{0xA5, 0xA5, 0xA5}));
    EXPECT_GE(ms_since(t0), 195.0);
    std::vector<int> got = send_image(b.fd, im.image);
    EXPECT_EQ(got.back(), 0xA5);
    EXPECT_TRUE(sim_report(b.sim).flashed);
}

// sim_stop returns at once whatever the simulator is doing.
struct StopCase
{
    const char* what;
    unsigned ackDelayMs;
    unsigned baud; // 300 baud, 10 bits a byte: 30 bytes/s
    bool firmware;
    size_t burst; // bytes sent before the stop
    const char* state;
};

// clang-format off
// what                   ack delay  baud  firmware  burst  state
static const StopCase kStops[] = {
    {"during an ack delay", 10000,   0,    false,    1,     "stage1"},
    {"while pacing",        0,       300,  true,     600,   "firmware"},
    {"while idle",          0,       0,    false,    0,     "boot_rom"},
};
// clang-format on

TEST(SimStop, ReturnsPromptly)
{
    for (const StopCase& k : kStops)
    {
        SCOPED_TRACE(k.what);
        SimConfig c;
        c.ack_delay_ms = k.ackDelayMs;
        c.baud = k.baud;
        c.bits_per_byte = 10;
        c.firmware_at_start = k.firmware;
        Bench b;
        ASSERT_NO_FATAL_FAILURE(b.start(c));
        ASSERT_TRUE(send_bytes(b.fd, Bytes(k.burst, 0x55)));
        ASSERT_TRUE(sim_wait_state(b.sim, k.state, ANSWER_MS));
        if (k.baud != 0)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_LT(sim_report(b.sim).bytes_in, 100u) << "the simulator must not take bytes faster than the line";
        }
        Clock::time_point t0 = Clock::now();
        sim_stop(b.sim);
        b.sim = nullptr;
        EXPECT_LT(ms_since(t0), 500.0);
    }
}

TEST(SimLinkFd, PeerClosing_StopsServingWithoutSpinning)
{
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(SimConfig{}));
    close(b.fd);
    b.fd = -1;
    ASSERT_TRUE(sim_wait_state(b.sim, "gone", ANSWER_MS));
    double cpu0 = cpu_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(cpu_ms() - cpu0, 60.0) << "a gone link must not be polled in a loop";
    EXPECT_TRUE(sim_report(b.sim).link_gone);
}

TEST(SimLinkFd, RefusesAnUnusableDescriptor)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    close(fds[1]);
    SimLink l = sim_fd_link(fds[0]); // closed: fcntl fails
    EXPECT_EQ(l.read, nullptr);
    EXPECT_EQ(sim_start(l, SimConfig{}), nullptr);
}

TEST(SimRobustness, RandomBytesAndResets_NeverWedgeTheModule)
{
    Bench b;
    ASSERT_NO_FATAL_FAILURE(b.start(SimConfig{}));
    uint32_t seed = 12345;
    for (int round = 0; round < 20; round++)
    {
        Bytes junk(5000);
        for (uint8_t& x : junk)
        {
            seed = seed * 1664525u + 1013904223u;
            x = static_cast<uint8_t>(seed >> 24);
        }
        ASSERT_TRUE(send_bytes(b.fd, junk));
        if (round % 3 == 2)
            sim_reset(b.sim);
    }
    // Let the module take every junk byte (a loaded machine may lag), drain
    // whatever the junk provoked, then a reset must bring the boot ROM back.
    for (int waited = 0; sim_report(b.sim).bytes_in < 20u * 5000u && waited < 5000; waited += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    while (read_byte(b.fd, 100) >= 0)
    {
    }
    sim_reset(b.sim);
    ASSERT_TRUE(sim_wait_state(b.sim, "boot_rom", ANSWER_MS));
    EXPECT_EQ(cast_sync(b.fd), 0xA0);
    SimReport r = sim_report(b.sim);
    EXPECT_GE(r.bytes_in, 20u * 5000u + 1u) << "every junk byte was taken before the sync that was answered";
    // Resets asked for while an earlier one is still pending are taken as one.
    EXPECT_GE(r.resets, 2u);
    EXPECT_LE(r.resets, 7u);
}

TEST(SimRobustness, LinkWithoutInterrupt_StopAndResetStillSeen)
{
    MemLink m;
    SimLink l = m.link();
    l.interrupt = nullptr;
    Sim* sim = sim_start(l, SimConfig{});
    ASSERT_NE(sim, nullptr);
    m.put({0x55});
    ASSERT_TRUE(sim_wait_state(sim, "stage1", ANSWER_MS));
    sim_reset(sim);
    EXPECT_TRUE(sim_wait_state(sim, "boot_rom", 500));
    Clock::time_point t0 = Clock::now();
    sim_stop(sim);
    EXPECT_LT(ms_since(t0), 500.0);
}

TEST(SimHash, Fnv1a64AndSha256KnownValues)
{
    // text      FNV-1a 64               SHA-256 (FIPS 180-2's examples and the empty string)
    const struct
    {
        const char* text;
        uint64_t fnv;
        const char* sha256;
    } cases[] = {
        {"", 0xCBF29CE484222325ull, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"a", 0xAF63DC4C8601EC8Cull, "ca978112ca1bbdcafac231b39a23dc4da786eff8147c4e72b9807785afee48bb"},
        {"foobar", 0x85944171F73967E8ull, "c3ab8ff13720e8ad9047dd39466b3c8974e592c2fa383d4a3960714caef0c4f2"},
        {"abc", 0xE71FA2190541574Bull, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 0,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.text);
        const uint8_t* p = reinterpret_cast<const uint8_t*>(c.text);
        if (c.fnv != 0)
        {
            EXPECT_EQ(sim_hash(p, strlen(c.text)), c.fnv);
        }
        EXPECT_EQ(sim_sha256(p, strlen(c.text)), c.sha256);
    }
}

// ===========================================================================
// The fwsim executable
// ===========================================================================

// Starts fwsim with args; stderr is kept apart from the report on stdout.
bool spawn_fwsim(testproc::Child& c, const std::string& path, std::vector<std::string> args)
{
    args.insert(args.begin(), path);
    return testproc::spawn(c, args, {});
}

TEST(SimExecutable, ServesAPty_ResetOnSigusr1_ReportOnSigterm)
{
    std::string path = testproc::sibling_executable("fwsim");
    if (path.empty())
        GTEST_SKIP() << "fwsim is not built next to the tests (build the fwsim target)";
    testproc::Child c;
    ASSERT_TRUE(spawn_fwsim(c, path, {"--pty", "--at", "--baud", "0"}));
    ASSERT_TRUE(testproc::read_until(c, "\n", ANSWER_MS)) << c.errText;
    ASSERT_EQ(c.outText.rfind("fwsim: serving /dev/", 0), 0u) << c.outText;
    std::string slave = c.outText.substr(strlen("fwsim: serving "));
    slave.erase(slave.find('\n'));
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << slave;
    make_raw(fd);

    send_bytes(fd, {'A', 'T', '\r'});
    EXPECT_EQ(read_n(fd, 6, ANSWER_MS), (std::vector<int>{'\r', '\n', 'O', 'K', '\r', '\n'}));
    kill(c.pid, SIGUSR1);
    EXPECT_EQ(cast_sync(fd), 0xA0);
    send_bytes(fd, {10});
    EXPECT_EQ(read_byte(fd, QUIET_MS), NONE);

    kill(c.pid, SIGTERM);
    EXPECT_EQ(testproc::wait_exit(c, EXIT_MS), 1) << "violations make the exit status 1";
    EXPECT_NE(c.outText.find("stage-1 length 10, expected 184"), std::string::npos) << c.outText;
    EXPECT_NE(c.outText.find("AT commands      1"), std::string::npos) << c.outText;
    EXPECT_NE(c.outText.find("flashed          no"), std::string::npos) << c.outText;
    close(fd);
}

// --expect-images: a stage equal to its file, a stage that differs, and an
// image that never came, each with its own line in the report.
TEST(SimExecutable, ReportGivesTheSha256OfWhatArrivedAndWhetherItIsTheFile)
{
    std::string path = testproc::sibling_executable("fwsim");
    if (path.empty())
        GTEST_SKIP() << "fwsim is not built next to the tests (build the fwsim target)";
    Images im;
    testsupport::TempDir tmp("fwsim-images");
    const std::string d = tmp.path();
    ASSERT_FALSE(d.empty());
    const std::pair<const char*, const Bytes*> files[] = {
        {"boot1.bin", &im.boot1}, {"boot2.bin", &im.boot2}, {"firmware.bin", &im.image}};
    for (const auto& [name, bytes] : files)
    {
        FILE* f = fopen((d + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(fwrite(bytes->data(), 1, bytes->size(), f), bytes->size());
        fclose(f);
    }
    testproc::Child c;
    ASSERT_TRUE(spawn_fwsim(c, path, {"--pty", "--baud", "0", "--expect-images", d}));
    ASSERT_TRUE(testproc::read_until(c, "\n", ANSWER_MS)) << c.errText;
    std::string slave = c.outText.substr(strlen("fwsim: serving "));
    slave.erase(slave.find('\n'));
    int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << slave;
    make_raw(fd);
    Bytes altered = im.boot2;
    altered[4321] ^= 0x01; // its check byte follows it: the stage is accepted, and differs
    EXPECT_EQ(cast_sync(fd), 0xA0);
    EXPECT_EQ(send_stage1(fd, im.boot1), 0xA5);
    EXPECT_EQ(send_stage2(fd, altered).back(), 0xA5);
    kill(c.pid, SIGTERM);
    EXPECT_EQ(testproc::wait_exit(c, EXIT_MS), 1) << "the difference is a violation too";
    close(fd);
    for (const std::string& line : {"sha256 stage 1   " + sim_sha256(im.boot1.data(), im.boot1.size()) +
                                        " (184 bytes), same as " + d + "/boot1.bin\n",
                                    "sha256 stage 2   " + sim_sha256(altered.data(), altered.size()) +
                                        " (7414 bytes), differs from " + d + "/boot2.bin\n",
                                    std::string("sha256 image     none arrived\n")})
        EXPECT_NE(c.outText.find(line), std::string::npos) << line << c.outText;
}

TEST(SimExecutable, CleanRunExitsZero_BadOptionsExitTwo)
{
    std::string path = testproc::sibling_executable("fwsim");
    if (path.empty())
        GTEST_SKIP() << "fwsim is not built next to the tests (build the fwsim target)";
    testproc::Child c;
    ASSERT_TRUE(spawn_fwsim(c, path, {"--pty", "--fault", "final:wrong-check"}));
    ASSERT_TRUE(testproc::read_until(c, "serving", ANSWER_MS)) << c.errText;
    kill(c.pid, SIGINT);
    EXPECT_EQ(testproc::wait_exit(c, EXIT_MS), 0) << c.outText;

    const std::vector<std::vector<std::string>> kBad = {
        {"--pty", "--fault", "sync:wrong-check"}, {"--pty", "--tty", "/dev/null"}, {"--baud", "x", "--pty"}, {}};
    for (const std::vector<std::string>& bad : kBad)
    {
        testproc::Child b;
        ASSERT_TRUE(spawn_fwsim(b, path, bad));
        EXPECT_EQ(testproc::wait_exit(b, EXIT_MS), 2) << "a usage error, as fwutil's";
    }
}

} // namespace
