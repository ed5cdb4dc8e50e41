// Whole download runs against the module simulator, as "Update firmware - Go"
// sets them off: the bytes on the wire checked one by one against the
// embedded images, the acknowledgements awaited and where they came, the order
// of the radio suspend, the link's purges and the caster's bytes, the log pane,
// the success box, the module reset and the device restart; the silence limit
// of every phase, held and not exceeded; then every fault the simulator can
// inject, each ending in a stated state.
#include "download/module_link.h"
#include "platform/kernel/run_report.h"
#include "platform/kernel/text.h"
#include "tests/support/download_harness.h"
#include "tests/support/platform_threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <termios.h>
#include <thread>

namespace
{

using namespace download_harness;

constexpr int kRunLimitMs = 60000; // a whole unpaced run takes a few seconds

int64_t ProcessCpuNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

double MsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string Marks(int n)
{
    std::string s;
    for (int i = 1; i <= n; i++)
    {
        s += "#";
        if (i % 23 == 0)
            s += "\r\n";
    }
    return s;
}

const std::string kLoaders = "Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n";
const std::string kPaneSuccess = kLoaders + Marks(623) + "\r\nFirmware Updated....Done\r\n";
const std::string kFail = "\r\nUpdate firmware FAIL!!!\r\n";

// The rig as every run here has it: a boot ROM that answers 100 ms after a sync.
RigOptions Options()
{
    RigOptions o;
    o.bootAnswerMs = 100;
    return o;
}

// Index of the first debug line equal to text at or after from; -1 if none.
long FindLine(const std::vector<std::string>& lines, const std::string& text, size_t from = 0)
{
    for (size_t i = from; i < lines.size(); i++)
        if (lines[i] == text)
            return (long)i;
    return -1;
}

size_t CountBetween(const std::vector<std::string>& lines, const std::string& text, size_t from, size_t to)
{
    size_t n = 0;
    for (size_t i = from; i < to && i < lines.size(); i++)
        n += lines[i] == text;
    return n;
}

// What the trace of the tool's calls on the line shows about the caster.
struct LinkOrder
{
    std::vector<uint8_t> phaseStarts; // the first byte the worker wrote after each purge of both directions
    size_t casterBytesAfterPurge = 0; // the caster's writes after the first such purge
};

// Checks that every purge of both directions after the caster began found it
// suspended, and that its sync bytes never followed the worker's bytes
// without such a purge in between.
LinkOrder CheckLinkOrder(const std::vector<LinkEvent>& events)
{
    LinkOrder order;
    auto first =
        std::find_if(events.begin(), events.end(), [](const LinkEvent& e) { return e.kind == LinkEvent::Write; });
    if (first == events.end())
        return order;
    const pid_t caster = first->tid;
    bool purged = false, workerWrote = false, phaseStarted = true;
    for (auto e = first; e != events.end(); ++e)
    {
        if (e->kind == LinkEvent::Flush && e->queue == TCIOFLUSH)
        {
            EXPECT_EQ(1, e->casterSuspended) << "purge at " << (e->ns / 1000000) << " ms";
            purged = true;
            workerWrote = false;
            phaseStarted = false;
        }
        if (e->kind != LinkEvent::Write)
            continue;
        if (e->tid == caster)
        {
            EXPECT_FALSE(workerWrote) << "a sync byte followed the worker's bytes at " << (e->ns / 1000000) << " ms";
            order.casterBytesAfterPurge += purged;
            continue;
        }
        workerWrote = true;
        if (!phaseStarted)
            order.phaseStarts.push_back(e->first);
        phaseStarted = true;
    }
    return order;
}

// ---------------------------------------------------------------------------
// Silence limits
// ---------------------------------------------------------------------------
// The limit of each phase as a module needs it, and the share of it a run here
// gets, so that every limit lasts a little over a second. The share is set
// when the simulator writes the answer that comes before the phase, before
// the tool reads the limit.
struct SilencePhase
{
    const char* name;
    SimPhase phase;
    int occurrence;
    DWORD limitMs;
    DWORD percent;
    int before; // the simulator's answer (numbered from 0) after which the share applies; -1: from the start
};

// clang-format off
// name            phase                     occurrence  limit ms  percent  before answer
const SilencePhase kSync        = {"Sync",        SimPhase::SyncAnswer,     0,  3000,  40,  -1};
const SilencePhase kStage1      = {"Stage1",      SimPhase::Stage1Ack,      0,  5000,  25,   0};
const SilencePhase kStage2Block = {"Stage2Block", SimPhase::Stage2BlockAck, 3,  5000,  25,   0};
const SilencePhase kMemoryCheck = {"MemoryCheck", SimPhase::MemoryCheckAck, 0,  5000,  25,   9};
const SilencePhase kErase       = {"Erase",       SimPhase::FileSizeAcks,   0, 60000,   2,  10};
const SilencePhase kImageBlock  = {"ImageBlock",  SimPhase::ImageBlockAck, 10, 10000,  12,  11};
const SilencePhase kFlash       = {"Flash",       SimPhase::FinalAck,       0, 60000,   2, 633};
// clang-format on

DWORD ScaledMs(const SilencePhase& p)
{
    return p.limitMs * p.percent / 100;
}

// Answer number -> silence percentage from then on.
using PercentSchedule = std::vector<std::pair<int, DWORD>>;

// Sets the shares of a schedule as the simulator's answers go out; a share
// for answer -1 applies at once.
void ApplySchedule(Tap& tap, const PercentSchedule& schedule)
{
    for (const auto& step : schedule)
        if (step.first < 0)
            g_dwSilencePercent = step.second;
    auto answers = std::make_shared<int>(0);
    tap.SetAnswerHook(
        [schedule, answers](const std::vector<uint8_t>&)
        {
            for (const auto& step : schedule)
                if (step.first == *answers)
                    g_dwSilencePercent = step.second;
            ++*answers;
        });
}

class DownloadRun : public ::testing::Test
{
protected:
    void Setup(const RigOptions& o = Options(), SimConfig cfg = SimConfig())
    {
        std::string err;
        ASSERT_TRUE(rig.Setup(o, cfg, &err)) << err;
        threadsBefore = testsupport::ThreadCount();
        resetsBefore = plat::ril_counts().reset;
    }

    void Start(const RigOptions& o = Options(), SimConfig cfg = SimConfig())
    {
        ASSERT_NO_FATAL_FAILURE(Setup(o, cfg));
        ASSERT_EQ(1, rig.Go());
    }

    // Waits for the worker; its exit code.
    DWORD Finish()
    {
        DWORD code = 0xDEAD;
        EXPECT_TRUE(rig.WaitWorker(kRunLimitMs, &code)) << "the download worker did not end";
        return code;
    }

    // The tool's bytes after the leading syncs equal the whole expected stream.
    void ExpectWholeWire()
    {
        std::vector<uint8_t> got = WithoutLeadingSyncs(rig.tap().ToolBytes());
        const std::vector<uint8_t> want = ExpectedWire();
        ASSERT_EQ(want.size(), got.size());
        auto diff = std::mismatch(want.begin(), want.end(), got.begin());
        EXPECT_TRUE(diff.first == want.end()) << "first difference at byte " << (diff.first - want.begin());
    }

    void ExpectFlashedImage()
    {
        SimReport rep = sim_report(rig.sim());
        EXPECT_TRUE(rep.flashed);
        EXPECT_EQ((size_t)FW_LENGTH, rep.image_len);
        EXPECT_EQ(sim_hash(LoadPayload(PAYLOAD_FW), FW_LENGTH), rep.image_hash);
        std::vector<uint8_t> image;
        ASSERT_TRUE(sim_flashed_image(rig.sim(), &image));
        ASSERT_EQ((size_t)FW_LENGTH, image.size());
        EXPECT_EQ(0, memcmp(image.data(), LoadPayload(PAYLOAD_FW), FW_LENGTH));
    }

    // The threads the run started (worker, caster, silence watches) are gone.
    void ExpectThreadsEnded()
    {
        testsupport::WaitUntil([this] { return testsupport::ThreadCount() <= threadsBefore; }, 2000, 5);
        EXPECT_EQ(threadsBefore, testsupport::ThreadCount());
    }

    Rig rig;
    int threadsBefore = 0;
    int resetsBefore = 0;
};

// ---------------------------------------------------------------------------
// The whole download, with tracing on (3) and off (0)
// ---------------------------------------------------------------------------
class WholeDownload : public DownloadRun, public ::testing::WithParamInterface<int>
{
};

TEST_P(WholeDownload, WireOrderLogBoxResetAndRestartAreExact)
{
    g_traceMode = GetParam();
    ASSERT_NO_FATAL_FAILURE(Setup());
    {
        LinkTrace trace(rig.PtyPath());
        ASSERT_EQ(1, rig.Go());
        EXPECT_EQ(0u, Finish());
    }

    // Wire, byte for byte.
    ExpectWholeWire();
    // One sync every 10 ms until the boot ROM answered.
    size_t syncs = 0;
    WithoutLeadingSyncs(rig.tap().ToolBytes(), &syncs);
    ASSERT_GT(syncs, 50u);
    const std::vector<int64_t> times = rig.tap().ToolTimes();
    const double periodMs = (times[syncs - 1] - times[0]) / 1e6 / (double)(syncs - 1);
    EXPECT_GE(periodMs, 9.5);
    EXPECT_LE(periodMs, 30.0);

    // The order of the calls on the line: the radio driver was suspended
    // before the link opened; every purge after 0xA0 found the caster already
    // suspended, and from the first on it wrote nothing; and each phase began
    // after a purge of both directions: the stage-1 frame, the stage-2
    // length, 0x50.
    const std::vector<LinkEvent> events = LinkTrace::Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(LinkEvent::Open, events[0].kind);
    EXPECT_EQ(1, events[0].rilSuspends) << "the link opened before the radio driver was suspended";
    const LinkOrder order = CheckLinkOrder(events);
    EXPECT_EQ(0u, order.casterBytesAfterPurge);
    EXPECT_EQ((std::vector<uint8_t>{BOOT1_LENGTH, BOOT2_LENGTH / 256, 0x50}), order.phaseStarts);

    // Where each answer came: the A0 after syncs only, the loader's AA after
    // every full 1000 bytes, the image's AA after every full 4000 bytes.
    std::vector<Answer> answers = rig.tap().Answers();
    std::vector<uint8_t> wantAnswers = {0xA0, 0xA5};
    wantAnswers.insert(wantAnswers.end(), 7, 0xAA);
    wantAnswers.insert(wantAnswers.end(), {0xA5, 0x40, 0x00, 0xA5, 0xA5, 0xA5, 0xA5});
    wantAnswers.insert(wantAnswers.end(), 622, 0xAA);
    wantAnswers.push_back(0xA5);
    EXPECT_EQ(wantAnswers, rig.tap().AnswerBytes());

    const size_t stage2Start = syncs + 186 + 2;
    const size_t imageStart = stage2Start + 7414 + 1 + 1 + 1 + 3 + 3;
    std::vector<size_t> loaderAcks, imageAcks;
    for (const Answer& a : answers)
    {
        if (a.kind != Answer::Bytes || a.bytes != std::vector<uint8_t>{0xAA})
            continue;
        if (a.toolBytesBefore < imageStart)
            loaderAcks.push_back(a.toolBytesBefore - stage2Start);
        else
            imageAcks.push_back(a.toolBytesBefore - imageStart);
    }
    ASSERT_EQ(7u, loaderAcks.size());
    for (size_t k = 0; k < 7; k++)
        EXPECT_EQ(1000 * (k + 1), loaderAcks[k]) << "stage-2 block ack " << k;
    ASSERT_EQ(622u, imageAcks.size());
    for (size_t k = 0; k < 622; k++)
        ASSERT_EQ(4000 * (k + 1), imageAcks[k]) << "image block ack " << k;

    // The waits the tool made, from its debug output.
    const std::vector<std::string>& lines = rig.DebugLines();
    long imageOpen = FindLine(lines, "Download.bin open succeed!!!! \r\n");
    long stage2Open = FindLine(lines, "Bootload2_v3.bin open succeed!!!! \r\n");
    ASSERT_GE(imageOpen, 0);
    ASSERT_GE(stage2Open, 0);
    EXPECT_EQ(7u, CountBetween(lines, "Waiting for char -> AA h\r\n", (size_t)stage2Open, (size_t)imageOpen));
    EXPECT_EQ(622u, CountBetween(lines, "Waiting for char -> AA h\r\n", (size_t)imageOpen, lines.size()));
    EXPECT_EQ(1u, rig.CountDebug(" Upgrade succeed!! \r\n"));
    EXPECT_EQ(0u, rig.CountDebug("Update firmware FAIL!!!"));

    // The simulator flashed exactly the embedded image and saw no mistake.
    ExpectFlashedImage();
    SimReport rep = sim_report(rig.sim());
    EXPECT_EQ(0u, rep.violation_count) << (rep.violations.empty() ? "" : rep.violations[0]);

    // The pane (silent with tracing off), the box, the reset after it and the
    // restart after that.
    EXPECT_EQ(GetParam() != 0 ? kPaneSuccess : "", rig.Log());
    std::vector<plat::BoxRecord> boxes = plat::display_box_list();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(u"Reboot device/Reset module !", boxes[0].text);
    EXPECT_EQ(u"Successful", boxes[0].caption);
    EXPECT_EQ((UINT)MB_OK, boxes[0].type);
    EXPECT_EQ(nullptr, boxes[0].owner);
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(1, g_boxesAtRestart.load());
    EXPECT_EQ(resetsBefore + 2, plat::ril_counts().reset); // the attempt's and the one after the box
    EXPECT_EQ(resetsBefore + 2, g_resetsAtRestart.load());

    EXPECT_EQ(0, g_keepForeground.load());
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(g_hCaster.load(), &code)) << "the caster's handle is still open";
    ExpectThreadsEnded();
}

INSTANTIATE_TEST_SUITE_P(TraceMode, WholeDownload, ::testing::Values(3, 0),
                         [](const ::testing::TestParamInfo<int>& p) { return p.param != 0 ? "On" : "Off"; });

// The radio driver is suspended, then 500 ms pass, before the worker opens
// the link. A suspend that takes 300 ms shows whether the open waited for it.
TEST_F(DownloadRun, RadioSuspendedAndHalfASecondPassedBeforeTheLinkOpens)
{
    RigOptions o = Options();
    o.ril = "cmd:test $FWU_RIL_CONTROL != suspend || sleep 0.3";
    o.firmwareAtStart = false;
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::SyncAnswer, SimFaultKind::Unplug, 0, 0, 1}); // ends the run at once
    ASSERT_NO_FATAL_FAILURE(Setup(o, cfg));
    {
        LinkTrace trace(rig.PtyPath());
        ASSERT_EQ(1, rig.Go());
        EXPECT_EQ(0u, Finish());
    }
    const std::vector<LinkEvent> events = LinkTrace::Events();
    ASSERT_FALSE(events.empty());
    ASSERT_EQ(LinkEvent::Open, events[0].kind);
    EXPECT_EQ(1, events[0].rilSuspends);
    EXPECT_GE(events[0].ns / 1e6, 300.0 + 500.0 - 20.0);
    EXPECT_EQ(RUN_LINK_LOST, (int)QueryRun(RUNREPORT_STATE));
}

// A module whose boot ROM answers the syncs before the run resets it (one
// without a firmware) left an 0xA0 waiting that the wait after the reset took
// for the new answer: the stage-1 frame then reached a boot ROM that had not
// seen a sync yet.
TEST_F(DownloadRun, WakeUp_AnswerFromBeforeTheResetIsNotTakenForTheBootRom)
{
    RigOptions o = Options();
    o.firmwareAtStart = false;
    Start(o);
    EXPECT_EQ(0u, Finish());
    EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    ExpectFlashedImage();
    ExpectWholeWire();
    // The case arose: an 0xA0 went out before the reset, and another after it.
    // The start, the attempt's reset, the reset after the box.
    std::vector<int64_t> bootRom = rig.StateTimes("boot_rom");
    ASSERT_EQ(3u, bootRom.size());
    std::vector<int64_t> a0;
    for (const Answer& a : rig.tap().Answers())
        if (a.kind == Answer::Bytes && a.bytes == std::vector<uint8_t>{0xA0})
            a0.push_back(a.ns);
    ASSERT_EQ(2u, a0.size());
    EXPECT_LT(a0[0], bootRom[1]);
    EXPECT_GT(a0[1], bootRom[1]);
    SimReport rep = sim_report(rig.sim());
    EXPECT_EQ(0u, rep.violation_count) << (rep.violations.empty() ? "" : rep.violations[0]);
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
}

// Nothing can reset a module whose "RIL1:" is "none": a boot ROM already up
// answers the first syncs once, and that answer is the one to take. The
// purge before the reset, right where a reset exists, dropped it, and no
// attempt ever woke the module.
TEST_F(DownloadRun, WakeUp_WithoutAResetTheAnswerAfterTheSyncsStartIsTaken)
{
    RigOptions o = Options();
    o.ril = "none";
    o.firmwareAtStart = false;
    Start(o);
    DWORD code = 0xDEAD;
    ASSERT_TRUE(rig.WaitWorker(15000, &code)) << "the module was never woken";
    EXPECT_EQ(0u, code);
    EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    ExpectFlashedImage();
    ExpectWholeWire();
    SimReport rep = sim_report(rig.sim());
    EXPECT_EQ(0u, rep.violation_count) << (rep.violations.empty() ? "" : rep.violations[0]);
}

// Without a hook the successful run really takes the simulated handheld down:
// the process ends with the restart status from inside the run.
TEST(DownloadRestart, SuccessfulRun_EndsTheProcessWithTheRestartStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Rig rig;
            RigOptions o = Options();
            o.catchRestart = false;
            o.captureDebug = false;
            std::string err;
            if (!rig.Setup(o, SimConfig(), &err))
                _exit(10);
            rig.Go();
            rig.WaitWorker(kRunLimitMs);
            _exit(11); // the run ended without the restart
        },
        ::testing::ExitedWithCode(plat::kExitDeviceRestart), "Device restart: the handheld goes down");
}

// ---------------------------------------------------------------------------
// Silence limits: a module slow in every phase, half-way to each limit,
// is flashed on the first attempt; a module silent in one phase is given up
// on when that phase's limit has passed, not sooner and not much later.
// ---------------------------------------------------------------------------
const SilencePhase kSilencePhases[] = {kSync, kStage1, kStage2Block, kMemoryCheck, kErase, kImageBlock, kFlash};

TEST_F(DownloadRun, SlowModuleWithinEveryLimit_IsFlashedOnTheFirstAttempt)
{
    // Each answer comes at half its phase's limit: the erase before the first
    // of its three acceptances and between them, the flash before the last one.
    auto within = [](const SilencePhase& p) { return (int)(ScaledMs(p) / 2); };
    SimConfig cfg;
    for (const SilencePhase& p : {kSync, kStage1, kStage2Block, kMemoryCheck, kImageBlock})
        cfg.faults.push_back({p.phase, SimFaultKind::Late, p.occurrence, within(p), 1});
    cfg.faults.push_back({SimPhase::Stage2FinalAck, SimFaultKind::Late, 0, within(kStage1), 1});
    cfg.erase_delay_ms = (unsigned)within(kErase);
    cfg.flash_delay_ms = (unsigned)within(kFlash);
    rig.tap().SpaceAnswer({0xA5, 0xA5, 0xA5}, within(kErase));
    PercentSchedule schedule;
    for (const SilencePhase& p : kSilencePhases)
        schedule.push_back({p.before, p.percent});
    ApplySchedule(rig.tap(), schedule);
    Start(Options(), cfg);
    EXPECT_EQ(0u, Finish());

    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(0u, rig.CountDebug("None byte got from TRM07 !!\r\n")) << "a wait ended without its byte";
    EXPECT_EQ(kPaneSuccess, rig.Log());
    ExpectFlashedImage();
    EXPECT_EQ(6u, sim_report(rig.sim()).faults_applied);
}

// How the run shows that a silent phase's wait has ended, and the pane and
// outcome that follow.
struct SilenceCase
{
    SilencePhase phase;
    int silences;     // attempts in a row that meet the silence
    int extraMs;      // what the run adds to the pause besides the wait (sleeps)
    bool retried;     // new attempts follow (the last succeeds); else the transfer fails
    std::string pane; // the whole pane at the end
};

std::vector<SilenceCase> SilenceCases()
{
    // clang-format off
    // phase          silences  extra ms  retried  pane (the boot ROM's silence is told once)
    return {
        {kSync,        2,        1000,     true,    "No answer from the module, retrying...\r\n" + kPaneSuccess},
        {kStage1,      1,        1000,     true,    kPaneSuccess},
        {kStage2Block, 1,        0,        true,    "Bootload1 updated!!\r\n" + kPaneSuccess},
        {kMemoryCheck, 1,        100,      false,   kLoaders + kFail},
        {kErase,       1,        0,        false,   kLoaders + kFail},
        {kImageBlock,  1,        0,        false,   kLoaders + Marks(11) + kFail},
        {kFlash,       1,        0,        false,   kLoaders + Marks(623) + kFail},
    };
    // clang-format on
}

void PrintTo(const SilenceCase& c, std::ostream* os)
{
    *os << c.phase.name;
}

class SilentPhase : public DownloadRun, public ::testing::WithParamInterface<SilenceCase>
{
protected:
    // The time the run waited: for the boot ROM's answer, from the attempt's
    // reset to the next one; for any other, the longest pause in the tool's
    // bytes after 0xA0, ending at its next byte or at the worker's end.
    double WaitedMs(const SilenceCase& c)
    {
        if (c.phase.phase == SimPhase::SyncAnswer)
        {
            std::vector<int64_t> resets = rig.StateTimes("boot_rom");
            return resets.size() < 2 ? -1 : (resets[1] - resets[0]) / 1e6 - c.extraMs;
        }
        std::vector<int64_t> times = rig.tap().ToolTimes();
        times.push_back(NsSince(rig.tap().Start(), rig.WorkerEnd()));
        const std::vector<Answer> answers = rig.tap().Answers();
        if (answers.empty())
            return -1;
        int64_t longest = 0;
        for (size_t i = 1; i < times.size(); i++)
        {
            if (times[i - 1] <= answers.front().ns || times[i] - times[i - 1] <= longest)
                continue;
            longest = times[i] - times[i - 1];
            pauseEndsTheRun_ = i == times.size() - 1;
        }
        return longest / 1e6 - c.extraMs;
    }

    // Pauses in the tool's bytes after the first answer that last the limit
    // (less a tenth for the timer), the run's end closing the last one.
    int PausesOfTheLimit(double limitMs)
    {
        std::vector<int64_t> times = rig.tap().ToolTimes();
        times.push_back(NsSince(rig.tap().Start(), rig.WorkerEnd()));
        const std::vector<Answer> answers = rig.tap().Answers();
        int pauses = 0;
        for (size_t i = 1; i < times.size() && !answers.empty(); i++)
        {
            if (times[i - 1] > answers.front().ns && (times[i] - times[i - 1]) / 1e6 >= limitMs * 0.9)
                pauses++;
        }
        return pauses;
    }

    bool pauseEndsTheRun_ = false; // no tool byte came after the longest pause
};

TEST_P(SilentPhase, WaitEndsWhenThePhaseLimitHasPassed)
{
    const SilenceCase& c = GetParam();
    const SilencePhase& p = c.phase;
    SimConfig cfg;
    cfg.faults.push_back({p.phase, SimFaultKind::Silence, p.occurrence, 0, c.silences});
    // The phase's share only; the next answer (a new attempt's 0xA0) restores the whole limits.
    ApplySchedule(rig.tap(), {{p.before, p.percent}, {p.before + 1, 100}});
    ASSERT_NO_FATAL_FAILURE(Setup(Options(), cfg));
    {
        LinkTrace trace(rig.PtyPath());
        ASSERT_EQ(1, rig.Go());
        EXPECT_EQ(0u, Finish());
    }
    CheckLinkOrder(LinkTrace::Events());

    const double limitMs = ScaledMs(p);
    const double waitedMs = WaitedMs(c);
    EXPECT_GE(waitedMs, limitMs * 0.9) << p.limitMs << " ms at " << p.percent << "%";
    EXPECT_LE(waitedMs, limitMs * 1.25 + 300) << p.limitMs << " ms at " << p.percent << "%";
    // The silence ends the phase at its limit: the run does not wait it out
    // again for the phase's next step (a loader's next block).
    if (p.phase != SimPhase::SyncAnswer)
    {
        EXPECT_EQ(PausesOfTheLimit(limitMs), c.silences);
    }
    EXPECT_EQ(c.pane, rig.Log());
    EXPECT_EQ(c.retried ? 1 + c.silences : 1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(c.retried ? RUN_FLASHED : RUN_UPDATE_FAILED, (int)QueryRun(RUNREPORT_STATE));
    if (c.retried)
    {
        ExpectFlashedImage();
        EXPECT_EQ(1, g_restartCalls.load());
        return;
    }
    // The transfer ended at the silence: nothing more went out, and what did
    // was the start of the right stream.
    const std::vector<uint8_t> got = WithoutLeadingSyncs(rig.tap().ToolBytes());
    const std::vector<uint8_t> want = ExpectedWire();
    EXPECT_TRUE(pauseEndsTheRun_) << "bytes went out after the silence";
    ASSERT_LE(got.size(), want.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));
    EXPECT_EQ(1u, rig.CountDebug("Update firmware FAIL!!!"));
    EXPECT_EQ(1u, rig.CountDebug(" Write to flash  fail!!  !!\r\n"));
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(0, g_restartCalls.load());
    ExpectThreadsEnded();
}

INSTANTIATE_TEST_SUITE_P(EveryPhase, SilentPhase, ::testing::ValuesIn(SilenceCases()),
                         [](const ::testing::TestParamInfo<SilenceCase>& p)
                         { return std::string(p.param.phase.name); });

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

// A loader stage answered with a break: a new attempt. After stage 1 the link
// is purged and 1000 ms pass before the caster resumes; after stage 2 the
// caster resumes at once, before the pause. Either way the next reset comes
// after the attempt's own 1000 ms.
struct LoaderBreak
{
    const char* name;
    SimPhase phase;
    const char* failLine;
    double resumeMinMs; // from the break to the caster's first byte
    double resumeMaxMs;
    const char* paneHead; // before the successful attempt's lines
};

// clang-format off
// name      phase                     fail line                                                        resume ms    pane head
const LoaderBreak kLoaderBreaks[] = {
    {"Stage1", SimPhase::Stage1Ack,      " BootLoad1 upload fail!!  Restart sending 55h again!!\r\n",      990, 1500,  ""},
    {"Stage2", SimPhase::Stage2FinalAck, "BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n", 0,   500,   "Bootload1 updated!!\r\n"},
};
// clang-format on

void PrintTo(const LoaderBreak& k, std::ostream* os)
{
    *os << k.name;
}

class LoaderStageBreak : public DownloadRun, public ::testing::WithParamInterface<LoaderBreak>
{
};

TEST_P(LoaderStageBreak, NewAttemptWithTheCasterResumedInItsOrder)
{
    const LoaderBreak& k = GetParam();
    RigOptions o = Options();
    o.cable = true;
    SimConfig cfg;
    cfg.faults.push_back({k.phase, SimFaultKind::Break, 0, 0, 1});
    Start(o, cfg);
    EXPECT_EQ(0u, Finish());

    std::vector<Answer> answers = rig.tap().Answers();
    auto brk = std::find_if(answers.begin(), answers.end(), [](const Answer& a) { return a.kind == Answer::Break; });
    ASSERT_TRUE(brk != answers.end()) << "no break was sent";
    const std::vector<uint8_t> tool = rig.tap().ToolBytes();
    const std::vector<int64_t> times = rig.tap().ToolTimes();
    // The first byte after the break is a sync of the resumed caster.
    size_t next = brk->toolBytesBefore;
    ASSERT_LT(next, tool.size());
    EXPECT_EQ(SYNC_BYTE, tool[next]);
    const double resumeMs = (times[next] - brk->ns) / 1e6;
    EXPECT_GE(resumeMs, k.resumeMinMs);
    EXPECT_LT(resumeMs, k.resumeMaxMs);
    std::vector<int64_t> resets = rig.StateTimes("boot_rom");
    auto reset2 = std::find_if(resets.begin(), resets.end(), [&](int64_t t) { return t > brk->ns; });
    ASSERT_TRUE(reset2 != resets.end());
    EXPECT_GE((*reset2 - brk->ns) / 1e6, 1940.0); // the pause, then the attempt's own 1000 ms

    const std::vector<std::string>& lines = rig.DebugLines();
    long fail = FindLine(lines, k.failLine);
    ASSERT_GE(fail, 0);
    EXPECT_GE(FindLine(lines, "!Cast 55h!\r\n", (size_t)fail), 0);
    EXPECT_EQ(2, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    ExpectFlashedImage();
    // "Bootload1 updated!!" shows once per accepted stage 1.
    EXPECT_EQ(k.paneHead + kPaneSuccess, rig.Log());
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(resetsBefore + 3, plat::ril_counts().reset);
}

INSTANTIATE_TEST_SUITE_P(Break, LoaderStageBreak, ::testing::ValuesIn(kLoaderBreaks),
                         [](const ::testing::TestParamInfo<LoaderBreak>& p) { return std::string(p.param.name); });

// Noise bytes before every answer are read and dropped; the update succeeds.
TEST_F(DownloadRun, NoiseBeforeEveryAnswer_IsDroppedAndTheUpdateSucceeds)
{
    SimConfig cfg;
    for (SimPhase ph : {SimPhase::SyncAnswer, SimPhase::Stage1Ack, SimPhase::Stage2BlockAck, SimPhase::Stage2FinalAck,
                        SimPhase::MemoryCheckAck, SimPhase::FileSizeAcks, SimPhase::ImageBlockAck, SimPhase::FinalAck})
        cfg.faults.push_back({ph, SimFaultKind::Noise, 0, 5, -1});
    Start(Options(), cfg);
    EXPECT_EQ(0u, Finish());
    ExpectWholeWire();
    ExpectFlashedImage();
    SimReport rep = sim_report(rig.sim());
    EXPECT_GE(rep.faults_applied, 1u + 1 + 7 + 1 + 1 + 1 + 622 + 1);
    EXPECT_EQ(0u, rep.violation_count) << (rep.violations.empty() ? "" : rep.violations[0]);
    EXPECT_EQ(kPaneSuccess, rig.Log());
    EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
}

// Wrong image check bytes: the module never says 0xA5; the run fails, closes
// the link, stops the caster, shows no box and does not restart.
TEST_F(DownloadRun, WrongFinalCheck_FailsClosesTheLinkAndStopsTheCaster)
{
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::FinalAck, SimFaultKind::WrongFinalCheck, 0, 0, 1});
    // The final wait is bounded by the flash limit: shortened once the last block is acknowledged.
    ApplySchedule(rig.tap(), {{kFlash.before, kFlash.percent}});
    Start(Options(), cfg);
    EXPECT_EQ(0u, Finish());

    EXPECT_EQ(1u, rig.CountDebug("Update firmware FAIL!!!"));
    EXPECT_EQ(1u, rig.CountDebug(" Write to flash  fail!!  !!\r\n"));
    EXPECT_EQ(0u, rig.CountDebug(" Upgrade succeed!! \r\n"));
    EXPECT_EQ(RUN_UPDATE_FAILED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(0, g_restartCalls.load());
    EXPECT_EQ(1, g_keepForeground.load());
    EXPECT_EQ(resetsBefore + 1, plat::ril_counts().reset);
    EXPECT_EQ(kLoaders + Marks(623) + kFail, rig.Log());
    // Everything went out, check bytes included; nothing after them.
    ExpectWholeWire();
    const size_t sent = rig.tap().ToolCount();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(sent, rig.tap().ToolCount()) << "a sync byte came after the run";
    ExpectThreadsEnded();
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(g_hCaster.load(), &code)) << "the caster's handle is still open";
    // The link is closed: the port opens again.
    HANDLE h = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << "COM1: still held, error " << GetLastError();
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
}

// The line dropped at each stage of the protocol: the run ends at once with
// the link-lost outcome and the lines of the stage it was in, instead of
// waiting on a dead line, and nothing spins afterwards.
TEST(DownloadUnplug, UnplugAtEachStage_EndsTheRunWithItsLinesWithoutSpinning)
{
    const std::string lost = "Communication port lost, update stopped!!\r\n";
    struct Case
    {
        SimPhase phase;
        int occurrence;
        std::string pane;
    };
    // clang-format off
    // phase                     occurrence  pane
    const Case kCases[] = {
        {SimPhase::SyncAnswer,     0,          lost},
        {SimPhase::Stage1Ack,      0,          lost},
        {SimPhase::Stage2BlockAck, 0,          "Bootload1 updated!!\r\n" + lost},
        {SimPhase::MemoryCheckAck, 0,          kLoaders + kFail},
        {SimPhase::ImageBlockAck,  10,         kLoaders + Marks(11) + kFail},
        {SimPhase::FinalAck,       0,          kLoaders + Marks(623) + kFail},
    };
    // clang-format on
    for (const Case& k : kCases)
    {
        SCOPED_TRACE(sim_phase_name(k.phase));
        Rig rig;
        SimConfig cfg;
        cfg.faults.push_back({k.phase, SimFaultKind::Unplug, k.occurrence, 0, 1});
        std::string err;
        ASSERT_TRUE(rig.Setup(Options(), cfg, &err)) << err;
        ASSERT_EQ(1, rig.Go());
        ASSERT_TRUE(sim_wait_state(rig.sim(), "gone", kRunLimitMs));
        const auto unplugged = Clock::now();
        const int64_t cpu0 = ProcessCpuNs();
        DWORD code = 0xDEAD;
        ASSERT_TRUE(rig.WaitWorker(kRunLimitMs, &code));
        EXPECT_EQ(0u, code);
        EXPECT_LT(MsBetween(unplugged, rig.WorkerEnd()), 1000.0) << "the run did not end soon after the unplug";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const double cpuMs = (ProcessCpuNs() - cpu0) / 1e6;
        const double wallMs = MsBetween(unplugged, Clock::now());
        EXPECT_LT(cpuMs, 0.1 * wallMs) << "CPU " << cpuMs << " ms over " << wallMs << " ms";
        EXPECT_EQ(RUN_LINK_LOST, (int)QueryRun(RUNREPORT_STATE));
        EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
        // The cause names the call that found the line dead, on the module's
        // device, with EIO or a hang-up.
        FAILEDCALL cause;
        ASSERT_TRUE(QueryRunCause(&cause));
        const std::string call = plat::utf16_to_utf8(cause.szCall);
        EXPECT_TRUE(call == "read" || call == "write" || call == "poll") << call;
        EXPECT_NE(std::u16string(cause.szDevice), u"");
        EXPECT_TRUE(cause.nErrno == EIO || (cause.nErrno == 0 && std::u16string(cause.szText) == u"the device hung up"))
            << plat::failed_call_text(cause);
        EXPECT_EQ(k.pane, rig.Log());
        EXPECT_EQ(2u, rig.CountDebug(" Communication Port Closed!!\r\n"));
        EXPECT_TRUE(plat::display_box_list().empty());
        EXPECT_EQ(0, g_restartCalls.load());
    }
}

// "COM1:" held by someone else: the failure line (in the pane only while
// tracing is on), exit code 1, no caster, and the radio driver left suspended.
TEST(DownloadBusyLink, Com1Busy_FailsWithoutCasterAndLeavesTheRadioSuspended)
{
    struct Case
    {
        int traceMode;
        const char* pane;
    };
    const Case kCases[] = {{3, "Open Comport fail!!\r\n"}, {0, ""}};
    for (const Case& k : kCases)
    {
        SCOPED_TRACE(k.traceMode);
        Rig rig;
        std::string err;
        ASSERT_TRUE(rig.Setup(Options(), SimConfig(), &err)) << err;
        HANDLE held = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, held);
        const plat::RilCounts before = plat::ril_counts();
        g_traceMode = k.traceMode;
        EXPECT_EQ(1, rig.Go());
        DWORD code = 0;
        ASSERT_TRUE(rig.WaitWorker(10000, &code));
        EXPECT_EQ(1u, code);
        EXPECT_EQ(k.pane, rig.Log());
        EXPECT_EQ(1u, rig.CountDebug("Open com port failed!!\r\n"));
        EXPECT_EQ(INVALID_HANDLE_VALUE, g_hCaster.load());
        plat::RilCounts ril = plat::ril_counts();
        EXPECT_EQ(before.suspend + 1, ril.suspend);
        EXPECT_EQ(before.resume, ril.resume);
        EXPECT_EQ(before.reset, ril.reset);
        EXPECT_EQ(RUN_OPEN_FAILED, (int)QueryRun(RUNREPORT_STATE));
        EXPECT_EQ(0u, rig.tap().ToolCount());
        CloseHandle(held);
    }
}

// A second "Go" while a run is going starts nothing, says so once, returns 1.
// The run is held at its success box, so it is surely still going; the module
// reset and the restart wait for the box.
TEST_F(DownloadRun, SecondStartWhileRunning_StartsNoSecondWorker)
{
    plat::display_hold_boxes(true);
    Start();
    ASSERT_TRUE(plat::display_wait_boxes(1, kRunLimitMs));
    EXPECT_EQ(resetsBefore + 1, plat::ril_counts().reset) << "the module was reset before the box was dismissed";
    EXPECT_EQ(0, g_restartCalls.load());
    // The keep-alive no longer raises the window over the box, which has no owner.
    EXPECT_EQ(0, g_keepForeground.load());

    const HANDLE worker = g_hWorker.load();
    const int suspends = plat::ril_counts().suspend;
    const auto t0 = Clock::now();
    EXPECT_EQ(1, rig.Go());
    EXPECT_LT(MsBetween(t0, Clock::now()), 400.0);
    EXPECT_EQ(worker, g_hWorker.load());
    EXPECT_EQ(suspends, plat::ril_counts().suspend);
    EXPECT_TRUE(testsupport::ThreadRuns(worker));

    ASSERT_TRUE(plat::display_dismiss(0, IDOK));
    EXPECT_EQ(0u, Finish());
    EXPECT_EQ(kPaneSuccess + "Update already in progress, please wait...\r\n", rig.Log());
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(resetsBefore + 2, plat::ril_counts().reset);
    ExpectWholeWire();
}

} // namespace
