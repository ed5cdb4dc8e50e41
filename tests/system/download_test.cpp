// Whole download runs against the module simulator, as "Update firmware - Go"
// sets them off: the bytes on the wire checked one by one against the
// embedded images, the acknowledgements awaited and where they came, the log
// pane, the success box, the module reset and the device restart; then every
// fault the simulator can inject, each ending in a stated state.
#include "download/module_link.h"
#include "tests/support/download_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>

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

const std::string kPaneSuccess = "Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n" +
                                 Marks(623) + "\r\nFirmware Updated....Done\r\n";

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

// An answer hook that scales the silence limits to `percent` once the module
// has accepted the fixed file size: before the tool reads the block and flash
// limits, and after every limit a slow build could run into.
std::function<void(const std::vector<uint8_t>&)> ShortenLimitsAfterFileSize(DWORD percent)
{
    return [percent](const std::vector<uint8_t>& answer)
    {
        if (answer == std::vector<uint8_t>{0xA5, 0xA5, 0xA5})
            g_dwSilencePercent = percent;
    };
}

class DownloadRun : public ::testing::Test
{
protected:
    void Start(const RigOptions& o = RigOptions(), SimConfig cfg = SimConfig())
    {
        std::string err;
        ASSERT_TRUE(rig.Setup(o, cfg, &err)) << err;
        threadsBefore = bridge_harness::ThreadCount();
        resetsBefore = plat::ril_counts().reset;
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
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (bridge_harness::ThreadCount() > threadsBefore && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(threadsBefore, bridge_harness::ThreadCount());
    }

    Rig rig;
    int threadsBefore = 0;
    int resetsBefore = 0;
};

// ---------------------------------------------------------------------------
// The whole download
// ---------------------------------------------------------------------------

TEST_F(DownloadRun, WholeDownload_WireLogBoxResetAndRestartAreExact)
{
    g_traceMode = 3;
    Start();
    EXPECT_EQ(0u, Finish());

    // Wire, byte for byte.
    ExpectWholeWire();
    size_t syncs = 0;
    WithoutLeadingSyncs(rig.tap().ToolBytes(), &syncs);
    EXPECT_GT(syncs, 0u);

    // Where each answer came: the A0 after syncs only, the loader's AA after
    // every full 1000 bytes, the image's AA after every full 4000 bytes.
    std::vector<Answer> answers = rig.tap().Answers();
    std::vector<uint8_t> answerBytes = rig.tap().AnswerBytes();
    std::vector<uint8_t> wantAnswers = {0xA0, 0xA5};
    wantAnswers.insert(wantAnswers.end(), 7, 0xAA);
    wantAnswers.insert(wantAnswers.end(), {0xA5, 0x40, 0x00, 0xA5, 0xA5, 0xA5, 0xA5});
    wantAnswers.insert(wantAnswers.end(), 622, 0xAA);
    wantAnswers.push_back(0xA5);
    EXPECT_EQ(wantAnswers, answerBytes);

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

    // The pane, the box, the reset after it and the restart after that.
    EXPECT_EQ(kPaneSuccess, rig.Log());
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

// With tracing off the wire is the same to the byte, and the pane stays empty.
TEST_F(DownloadRun, WholeDownload_TracingOff_SameWireAndSilentPane)
{
    g_traceMode = 0;
    Start();
    EXPECT_EQ(0u, Finish());

    const std::vector<uint8_t> want = ExpectedWire();
    const std::vector<uint8_t> got = WithoutLeadingSyncs(rig.tap().ToolBytes());
    EXPECT_EQ(want.size(), got.size());
    EXPECT_EQ(sim_hash(want.data(), want.size()), sim_hash(got.data(), got.size()));
    ExpectFlashedImage();
    EXPECT_EQ("", rig.Log());
    EXPECT_EQ(1u, plat::display_box_list().size());
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
}

// A module whose boot ROM answers the syncs before the run resets it (one
// without a firmware) left an 0xA0 waiting that the wait after the reset took
// for the new answer: the stage-1 frame then reached a boot ROM that had not
// seen a sync yet.
TEST_F(DownloadRun, WakeUp_AnswerFromBeforeTheResetIsNotTakenForTheBootRom)
{
    RigOptions o;
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

// Without a hook the successful run really takes the simulated handheld down:
// the process ends with the restart status from inside the run.
TEST(DownloadRestart, SuccessfulRun_EndsTheProcessWithTheRestartStatus)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Rig rig;
            RigOptions o;
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
// Faults
// ---------------------------------------------------------------------------

// Stage 1 answered with a break: purge, 1000 ms, the caster resumes, and the
// next attempt starts with a module reset 1000 ms after that.
TEST_F(DownloadRun, Stage1Break_CasterResumesAfterThePauseThenResetStartsAttempt2)
{
    RigOptions o;
    o.cable = true;
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::Stage1Ack, SimFaultKind::Break, 0, 0, 1});
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
    EXPECT_GE(resumeMs, 990.0) << "the caster resumed before the 1000 ms pause";
    EXPECT_LT(resumeMs, 1500.0);
    // The next reset comes after the attempt's own 1000 ms.
    std::vector<int64_t> resets = rig.StateTimes("boot_rom");
    auto reset2 = std::find_if(resets.begin(), resets.end(), [&](int64_t t) { return t > brk->ns; });
    ASSERT_TRUE(reset2 != resets.end());
    EXPECT_GE((*reset2 - times[next]) / 1e6, 950.0);

    const std::vector<std::string>& lines = rig.DebugLines();
    long fail = FindLine(lines, " BootLoad1 upload fail!!  Restart sending 55h again!!\r\n");
    ASSERT_GE(fail, 0);
    EXPECT_GE(FindLine(lines, "!Cast 55h!\r\n", (size_t)fail), 0);
    EXPECT_EQ(2, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    ExpectFlashedImage();
    EXPECT_EQ(kPaneSuccess, rig.Log());
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(resetsBefore + 3, plat::ril_counts().reset);
}

// Stage 2 answered with a break: the caster resumes at once, before the pause.
TEST_F(DownloadRun, Stage2Break_CasterResumesBeforeThePause)
{
    RigOptions o;
    o.cable = true;
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::Stage2FinalAck, SimFaultKind::Break, 0, 0, 1});
    Start(o, cfg);
    EXPECT_EQ(0u, Finish());

    std::vector<Answer> answers = rig.tap().Answers();
    auto brk = std::find_if(answers.begin(), answers.end(), [](const Answer& a) { return a.kind == Answer::Break; });
    ASSERT_TRUE(brk != answers.end()) << "no break was sent";
    const std::vector<uint8_t> tool = rig.tap().ToolBytes();
    const std::vector<int64_t> times = rig.tap().ToolTimes();
    size_t next = brk->toolBytesBefore;
    ASSERT_LT(next, tool.size());
    EXPECT_EQ(SYNC_BYTE, tool[next]);
    const double resumeMs = (times[next] - brk->ns) / 1e6;
    EXPECT_LT(resumeMs, 500.0) << "the caster was not resumed before the pause";
    std::vector<int64_t> resets = rig.StateTimes("boot_rom");
    auto reset2 = std::find_if(resets.begin(), resets.end(), [&](int64_t t) { return t > brk->ns; });
    ASSERT_TRUE(reset2 != resets.end());
    EXPECT_GE((*reset2 - brk->ns) / 1e6, 1950.0); // the pause, then the attempt's own 1000 ms

    EXPECT_GE(FindLine(rig.DebugLines(), "BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n"), 0);
    EXPECT_EQ(2, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    ExpectFlashedImage();
    // "Bootload1 updated!!" shows once per accepted stage 1.
    EXPECT_EQ("Bootload1 updated!!\r\n" + kPaneSuccess, rig.Log());
}

// Noise bytes before every answer are read and dropped; the update succeeds.
TEST_F(DownloadRun, NoiseBeforeEveryAnswer_IsDroppedAndTheUpdateSucceeds)
{
    SimConfig cfg;
    for (SimPhase ph : {SimPhase::SyncAnswer, SimPhase::Stage1Ack, SimPhase::Stage2BlockAck, SimPhase::Stage2FinalAck,
                        SimPhase::MemoryCheckAck, SimPhase::FileSizeAcks, SimPhase::ImageBlockAck, SimPhase::FinalAck})
        cfg.faults.push_back({ph, SimFaultKind::Noise, 0, 5, -1});
    Start(RigOptions(), cfg);
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
    // The final wait is bounded by the flash limit; shorten it before the tool
    // reads it, once the module has accepted the file size.
    rig.tap().SetAnswerHook(ShortenLimitsAfterFileSize(2));
    Start(RigOptions(), cfg);
    EXPECT_EQ(0u, Finish());

    EXPECT_EQ(1u, rig.CountDebug("Update firmware FAIL!!!"));
    EXPECT_EQ(1u, rig.CountDebug(" Write to flash  fail!!  !!\r\n"));
    EXPECT_EQ(0u, rig.CountDebug(" Upgrade succeed!! \r\n"));
    EXPECT_EQ(RUN_UPDATE_FAILED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(0, g_restartCalls.load());
    EXPECT_EQ(1, g_keepForeground.load());
    EXPECT_EQ(resetsBefore + 1, plat::ril_counts().reset);
    EXPECT_EQ("Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n" + Marks(623) +
                  "\r\nUpdate firmware FAIL!!!\r\n",
              rig.Log());
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

// A module silent after the syncs is reset again; the second attempt succeeds.
TEST_F(DownloadRun, SilenceAfterSync_ResetsAgainAndSucceedsOnAttempt2)
{
    // Short enough for the silent first attempt; back to the full limits once
    // the module answers, so a slow build does not see more silences.
    g_dwSilencePercent = 5;
    rig.tap().SetAnswerHook(
        [](const std::vector<uint8_t>& answer)
        {
            if (answer == std::vector<uint8_t>{0xA0})
                g_dwSilencePercent = 100;
        });
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::SyncAnswer, SimFaultKind::Silence, 0, 0, 1});
    Start(RigOptions(), cfg);
    EXPECT_EQ(0u, Finish());
    EXPECT_EQ(2, (int)QueryRun(RUNREPORT_ATTEMPTS));
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ("No answer from the module, retrying...\r\n" + kPaneSuccess, rig.Log());
    ExpectFlashedImage();
    ExpectWholeWire();
    EXPECT_EQ(resetsBefore + 3, plat::ril_counts().reset);
    EXPECT_EQ(1, g_restartCalls.load());
}

// A module silent in the middle of the image: the transfer ends as failed
// once the block limit has passed, without sending the rest.
TEST_F(DownloadRun, SilenceInImage_EndsTheTransferWithinTheBound)
{
    rig.tap().SetAnswerHook(ShortenLimitsAfterFileSize(5));
    const double boundMs = SILENCE_BLOCK_MS * 5 / 100;
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::ImageBlockAck, SimFaultKind::Silence, 10, 0, 1});
    Start(RigOptions(), cfg);
    EXPECT_EQ(0u, Finish());

    const std::vector<int64_t> times = rig.tap().ToolTimes();
    ASSERT_FALSE(times.empty());
    const double endMs = NsSince(rig.tap().Start(), rig.WorkerEnd()) / 1e6;
    const double waitedMs = endMs - times.back() / 1e6;
    EXPECT_GE(waitedMs, boundMs * 0.9);
    EXPECT_LT(waitedMs, boundMs + 1000.0);
    // Eleven full blocks went out, then nothing more.
    size_t syncs = 0;
    const std::vector<uint8_t> got = WithoutLeadingSyncs(rig.tap().ToolBytes(), &syncs);
    const std::vector<uint8_t> want = ExpectedWire();
    const size_t imageStart = 186 + 2 + 7414 + 1 + 1 + 1 + 3 + 3;
    ASSERT_EQ(imageStart + 11 * 4000, got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin()));

    EXPECT_EQ(RUN_UPDATE_FAILED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1u, rig.CountDebug("Update firmware FAIL!!!"));
    EXPECT_EQ(1u, rig.CountDebug(" Write to flash  fail!!  !!\r\n"));
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(0, g_restartCalls.load());
    EXPECT_EQ("Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n" + Marks(11) +
                  "\r\nUpdate firmware FAIL!!!\r\n",
              rig.Log());
    ExpectThreadsEnded();
}

// The cable pulled during the image: the run ends with its failure lines at
// once and nothing spins afterwards.
TEST_F(DownloadRun, UnplugInImage_EndsTheRunWithoutSpinning)
{
    SimConfig cfg;
    cfg.faults.push_back({SimPhase::ImageBlockAck, SimFaultKind::Unplug, 10, 0, 1});
    Start(RigOptions(), cfg);
    ASSERT_TRUE(sim_wait_state(rig.sim(), "gone", kRunLimitMs));
    const auto unplugged = Clock::now();
    const int64_t cpu0 = ProcessCpuNs();
    EXPECT_EQ(0u, Finish());
    const double endMs = std::chrono::duration<double, std::milli>(rig.WorkerEnd() - unplugged).count();
    EXPECT_LT(endMs, 1000.0) << "the run did not end soon after the unplug";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double cpuMs = (ProcessCpuNs() - cpu0) / 1e6;
    const double wallMs = std::chrono::duration<double, std::milli>(Clock::now() - unplugged).count();
    EXPECT_LT(cpuMs, 0.1 * wallMs) << "CPU " << cpuMs << " ms over " << wallMs << " ms";

    EXPECT_EQ(RUN_LINK_LOST, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1u, rig.CountDebug("Update firmware FAIL!!!"));
    EXPECT_EQ(1u, rig.CountDebug(" Write to flash  fail!!  !!\r\n"));
    EXPECT_EQ(2u, rig.CountDebug(" Communication Port Closed!!\r\n"));
    EXPECT_TRUE(plat::display_box_list().empty());
    EXPECT_EQ(0, g_restartCalls.load());
    EXPECT_EQ("Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n" + Marks(11) +
                  "\r\nUpdate firmware FAIL!!!\r\n",
              rig.Log());
    ExpectThreadsEnded();
}

// The line dropped at each stage of the protocol: the run ends at once with
// the link-lost outcome and the lines of the stage it was in, instead of
// waiting on a dead line.
TEST(DownloadUnplug, UnplugAtEachStage_EndsTheRunWithItsLines)
{
    const std::string loaders = "Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n";
    struct Case
    {
        SimPhase phase;
        const char* name;
        std::string pane;
    };
    const Case kCases[] = {
        {SimPhase::SyncAnswer, "sync answer", "Communication port lost, update stopped!!\r\n"},
        {SimPhase::Stage1Ack, "stage-1 ack", "Communication port lost, update stopped!!\r\n"},
        {SimPhase::Stage2BlockAck, "stage-2 block ack",
         "Bootload1 updated!!\r\nCommunication port lost, update stopped!!\r\n"},
        {SimPhase::MemoryCheckAck, "memory check", loaders + "\r\nUpdate firmware FAIL!!!\r\n"},
        {SimPhase::FinalAck, "final ack", loaders + Marks(623) + "\r\nUpdate firmware FAIL!!!\r\n"},
    };
    for (const Case& k : kCases)
    {
        SCOPED_TRACE(k.name);
        Rig rig;
        SimConfig cfg;
        cfg.faults.push_back({k.phase, SimFaultKind::Unplug, 0, 0, 1});
        std::string err;
        ASSERT_TRUE(rig.Setup(RigOptions(), cfg, &err)) << err;
        ASSERT_EQ(1, rig.Go());
        ASSERT_TRUE(sim_wait_state(rig.sim(), "gone", kRunLimitMs));
        const auto unplugged = Clock::now();
        DWORD code = 0xDEAD;
        ASSERT_TRUE(rig.WaitWorker(kRunLimitMs, &code));
        EXPECT_EQ(0u, code);
        const double endMs = std::chrono::duration<double, std::milli>(rig.WorkerEnd() - unplugged).count();
        EXPECT_LT(endMs, 1000.0);
        EXPECT_EQ(RUN_LINK_LOST, (int)QueryRun(RUNREPORT_STATE));
        EXPECT_EQ(1, (int)QueryRun(RUNREPORT_ATTEMPTS));
        EXPECT_EQ(k.pane, rig.Log());
        EXPECT_EQ(2u, rig.CountDebug(" Communication Port Closed!!\r\n"));
        EXPECT_TRUE(plat::display_box_list().empty());
        EXPECT_EQ(0, g_restartCalls.load());
    }
}

// "COM1:" held by someone else: the failure line, exit code 1, no caster, and
// the radio driver left suspended.
TEST_F(DownloadRun, Com1Busy_FailsWithoutCasterAndLeavesTheRadioSuspended)
{
    std::string err;
    ASSERT_TRUE(rig.Setup(RigOptions(), SimConfig(), &err)) << err;
    HANDLE held = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    g_traceMode = 3;
    EXPECT_EQ(1, rig.Go());
    DWORD code = 0;
    ASSERT_TRUE(rig.WaitWorker(10000, &code));
    EXPECT_EQ(1u, code);
    EXPECT_EQ("Open Comport fail!!\r\n", rig.Log());
    EXPECT_EQ(1u, rig.CountDebug("Open com port failed!!\r\n"));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_hCaster.load());
    plat::RilCounts ril = plat::ril_counts();
    EXPECT_EQ(1, ril.suspend);
    EXPECT_EQ(0, ril.resume);
    EXPECT_EQ(0, ril.reset);
    EXPECT_EQ(RUN_OPEN_FAILED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(0u, rig.tap().ToolCount());
    CloseHandle(held);
}

TEST_F(DownloadRun, Com1Busy_TracingOff_PaneStaysEmpty)
{
    std::string err;
    ASSERT_TRUE(rig.Setup(RigOptions(), SimConfig(), &err)) << err;
    HANDLE held = CreateFileW(u"COM1:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    g_traceMode = 0;
    EXPECT_EQ(1, rig.Go());
    DWORD code = 0;
    ASSERT_TRUE(rig.WaitWorker(10000, &code));
    EXPECT_EQ(1u, code);
    EXPECT_EQ("", rig.Log());
    EXPECT_EQ(1u, rig.CountDebug("Open com port failed!!\r\n"));
    CloseHandle(held);
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

    const HANDLE worker = g_hWorker.load();
    const int suspends = plat::ril_counts().suspend;
    const auto t0 = Clock::now();
    EXPECT_EQ(1, rig.Go());
    const double tookMs = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
    EXPECT_LT(tookMs, 400.0);
    EXPECT_EQ(worker, g_hWorker.load());
    EXPECT_EQ(suspends, plat::ril_counts().suspend);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(worker, &code));
    EXPECT_EQ((DWORD)STILL_ACTIVE, code);

    ASSERT_TRUE(plat::display_dismiss(0, IDOK));
    EXPECT_EQ(0u, Finish());
    EXPECT_EQ(kPaneSuccess + "Update already in progress, please wait...\r\n", rig.Log());
    EXPECT_EQ(RUN_FLASHED, (int)QueryRun(RUNREPORT_STATE));
    EXPECT_EQ(1, g_restartCalls.load());
    EXPECT_EQ(resetsBefore + 2, plat::ril_counts().reset);
    ExpectWholeWire();
}

} // namespace
