#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "mix/run_mix.h"
#include "tests/doubles/scripted_test.h"
#include "tests/mix/mix_world.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr DWORD kTarget = 7;
constexpr size_t kFrameBytes = 4;
constexpr uint64_t kDayMs = 24ull * 3600 * 1000;

// Left and right sample of output frame `frame`.
std::pair<int16_t, int16_t> FrameAt(const std::string& out, size_t frame) {
    int16_t samples[2];
    std::memcpy(samples, out.data() + frame * kFrameBytes, kFrameBytes);
    return {samples[0], samples[1]};
}

// Every frame in [from, to) holds `value` on both channels.
::testing::AssertionResult FramesHold(const std::string& out, size_t from, size_t to, int16_t value) {
    if (out.size() < to * kFrameBytes) return ::testing::AssertionFailure() << "only " << out.size() / 4 << " frames";
    for (size_t frame = from; frame < to; ++frame) {
        const auto [left, right] = FrameAt(out, frame);
        if (left != value || right != value)
            return ::testing::AssertionFailure() << "frame " << frame << " holds " << left << ", " << right;
    }
    return ::testing::AssertionSuccess();
}

// Sleeps last `ms`, except the mixing turns' (5 ms) listed by their 1-based index.
void SleepDurations(std::vector<std::pair<int, uint64_t>> exceptions) {
    auto count = std::make_shared<int>(0);
    scripted::SetSleepDuration([count, exceptions](DWORD ms) {
        if (ms != 5) return uint64_t{ms} * 1000000;
        ++*count;
        for (const auto& [nth, duration_ms] : exceptions)
            if (nth == *count) return duration_ms * 1000000;
        return uint64_t{ms} * 1000000;
    });
}

// Runs `change` once, at the first Sleep that ends at or after `at_ms`.
void ChangeWorldAt(uint64_t at_ms, std::function<void()> change) {
    auto done = std::make_shared<bool>(false);
    scripted::SetSleepDuration([=](DWORD ms) {
        const uint64_t duration = uint64_t{ms} * 1000000;
        if (!*done && scripted::NowNanoseconds() + duration >= at_ms * 1000000) {
            *done = true;
            change();
        }
        return duration;
    });
}

// A stream that plays `value` forever, 480 frames every 10 ms from its start.
scripted::Loopback Endless(int16_t value) {
    scripted::Loopback script = mixworld::Script();
    script.source = [value](size_t index) -> std::optional<scripted::Packet> {
        return mixworld::Tone(index * 10, 480, value);
    };
    return script;
}

class RunMixTest : public ScriptedTest {
protected:
    void SetUp() override {
        ScriptedTest::SetUp();
        scripted::SetLoopback(kTarget, mixworld::Script());
    }
    scripted::RunResult Mix(const PcmFormat& format = {}) {
        return scripted::Run([format] { return RunMix(kTarget, format); });
    }
};

struct ProbeCase {
    const char* call;  // fails on its first call
    const char* error;
};

TEST_F(RunMixTest, AFailedProbeReportsOnceAndEnds) {
    const ProbeCase cases[] = {
        {"ActivateAudioInterfaceAsync", "ERROR activate 0x80070005\n"},
        {"IAudioClient::Initialize", "ERROR initialize 0x80070005\n"},
        {"IAudioClient::Start", "ERROR start 0x80070005\n"},
    };
    for (const ProbeCase& c : cases) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetLoopback(20, mixworld::Script());
        mixworld::MakeAudible({20});
        scripted::SetResult(c.call, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), 1);

        const auto run = Mix();
        EXPECT_EQ(run.exit_code, 1) << c.call;
        EXPECT_EQ(run.err, c.error) << c.call;
        EXPECT_EQ(run.out, "") << c.call;
        EXPECT_LE(scripted::Activations().size(), 1u) << c.call << ": no source opened";
        EXPECT_EQ(scripted::CallCount("timeBeginPeriod"), 0) << c.call;
        EXPECT_THAT(scripted::OpenObjects(), IsEmpty()) << c.call;
        EXPECT_THAT(scripted::OpenHandles(), IsEmpty()) << c.call;
    }
    scripted::Reset();
    scripted::SetLoopback(kTarget, mixworld::Script({}, AUDCLNT_E_UNSUPPORTED_FORMAT));
    const auto run = Mix();
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ERROR activate-result 0x88890008\n");
}

TEST_F(RunMixTest, ProbesThenOpensTheSourcesAndCountsThoseThatOpened) {
    for (const DWORD pid : {20u, 40u}) scripted::SetLoopback(pid, mixworld::Script());
    scripted::SetLoopback(30, mixworld::Script({}, E_FAIL));
    mixworld::MakeAudible({20, 30, 40});
    scripted::SetHorizon(0);  // ends at the first Sleep

    const auto run = Mix();
    EXPECT_FALSE(run.exit_code.has_value());
    EXPECT_EQ(run.err, "READY mix 2\n");
    const auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[0].pid, kTarget);
    EXPECT_EQ(streams[0].mode, 0u) << "the probe is an include stream";
    EXPECT_TRUE(streams[0].stopped && streams[0].event_closed);
    EXPECT_EQ(streams[0].audio_client_refs + streams[0].capture_client_refs, 0);
    EXPECT_THAT(scripted::OpenHandles(),
                UnorderedElementsAre("auto-reset event", "auto-reset event", "process", "process"))
        << "the two sources' events, and their processes, held while they live";
    // The probe is closed before the first source is opened.
    auto calls = scripted::CallsMatching({"ActivateAudioInterfaceAsync", "CloseHandle(auto*", "timeBeginPeriod",
                                          "QueryPerformance*", "CreateThread", "CloseHandle(thread)", "Sleep",
                                          "WaitForMultipleObjects"});
    EXPECT_THAT(
        calls,
        ElementsAre("ActivateAudioInterfaceAsync", "CloseHandle(auto-reset event)", "ActivateAudioInterfaceAsync",
                    "ActivateAudioInterfaceAsync", "ActivateAudioInterfaceAsync", "CreateThread", "CloseHandle(thread)",
                    "timeBeginPeriod", "QueryPerformanceFrequency", "QueryPerformanceCounter", "Sleep",
                    "WaitForMultipleObjects"));
    // Sleep(5) sleeps about 5 ms only with a 1 ms timer period; with the
    // default 15.6 ms tick every turn would last a whole tick.
    EXPECT_THAT(scripted::TimerPeriods(), ElementsAre(1u));
}

TEST_F(RunMixTest, TheWholeToolRunsMixModeOnTheLastPid) {
    for (const DWORD pid : {5u, 20u}) scripted::SetLoopback(pid, Endless(1000));
    mixworld::MakeAudible({5, 20, kTarget});
    scripted::SetHorizon(100);
    Arguments args{"--mix", "5", "--exclude", "7"};

    const auto run = scripted::Run([&] { return PcmtapMain(args.argc(), args.argv()); });
    EXPECT_FALSE(run.exit_code.has_value()) << "runs until stdout fails";
    EXPECT_EQ(run.err, "READY mix 2\n");
    const auto activations = scripted::Activations();
    ASSERT_EQ(activations.size(), 3u);
    EXPECT_EQ(activations[0].params.ProcessLoopbackParams.TargetProcessId, 7u);
    EXPECT_EQ(activations[0].params.ProcessLoopbackParams.ProcessLoopbackMode,
              PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    EXPECT_EQ(run.out.size(), 4800u * kFrameBytes);
    EXPECT_TRUE(FramesHold(run.out, 0, 4800, 2000));
}

TEST_F(RunMixTest, WithNoSourcesWritesSilenceAtRealTimeRate) {
    mixworld::MakeAudible({kTarget});
    scripted::SetHorizon(1000);

    const auto run = Mix();
    EXPECT_EQ(run.err, "READY mix 0\n");
    EXPECT_EQ(run.out, std::string(48000 * kFrameBytes, '\0'));
}

struct ChunkCase {
    uint64_t sleep_ms;  // every turn's real length
    uint64_t horizon_ms;
    size_t frames;  // written by then
    PcmFormat format = {};
};

constexpr PcmFormat kMono16k{16000, 1, SampleType::kS16}, kFloat{48000, 2, SampleType::kF32};

TEST_F(RunMixTest, WritesOnlyOnceTenMillisecondsAreDueAndCatchesUpToTwoHundred) {
    const ChunkCase cases[] = {
        {5, 9, 0},        {5, 10, 480},      {7, 13, 0},        {7, 14, 672},     {3, 11, 0},
        {3, 12, 576},     {100, 100, 4800},  {150, 150, 7200},  {150, 300, 14400}, {5, 1000, 48000},
        {250, 250, 9600},  // 2400 beyond 200 ms skipped
        {5, 9, 0, kMono16k}, {5, 10, 160, kMono16k}, {5, 1000, 16000, kMono16k}, {250, 250, 3200, kMono16k},
        {5, 1000, 48000, kFloat}, {250, 250, 9600, kFloat},
    };
    for (const ChunkCase& c : cases) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetSleepDuration([c](DWORD ms) { return ms == 5 ? c.sleep_ms * 1000000 : ms * 1000000ull; });
        scripted::SetHorizon(c.horizon_ms);

        const auto run = Mix(c.format);
        EXPECT_EQ(run.out.size(), c.frames * FrameBytes(c.format))
            << c.sleep_ms << " ms turns, until " << c.horizon_ms << ", " << c.format.rate << " Hz";
    }
}

// A stream whose samples count frames: 1 + (frame % 30000) on both channels.
scripted::Loopback Ramp() {
    scripted::Loopback ramp = mixworld::Script();
    ramp.source = [](size_t index) -> std::optional<scripted::Packet> {
        scripted::Packet packet = mixworld::Tone(index * 10, 480, 0);
        for (size_t frame = 0; frame < 480; ++frame) {
            const auto value = static_cast<int16_t>(1 + (index * 480 + frame) % 30000);
            packet.samples.insert(packet.samples.end(), {value, value});
        }
        return packet;
    };
    return ramp;
}

// After 480 frames, a 125 ms stall makes 6000 due: all of them are written,
// from the source's backlog, which loses no sample.
TEST_F(RunMixTest, AStallIsCaughtUpFromTheSourcesBacklog) {
    const scripted::Loopback ramp = Ramp();
    for (const auto& [horizon_ms, frames] :
         {std::pair<uint64_t, size_t>{10, 480}, {135, 6480}, {140, 6480}, {145, 6960}}) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetLoopback(20, ramp);
        mixworld::MakeAudible({20});
        SleepDurations({{1, 10}, {2, 125}});
        scripted::SetHorizon(horizon_ms);

        const auto run = Mix();
        ASSERT_EQ(run.out.size(), frames * kFrameBytes) << "until " << horizon_ms << " ms";
        for (size_t frame = 0; frame < frames; ++frame)
            ASSERT_EQ(FrameAt(run.out, frame).first, static_cast<int16_t>(frame + 1)) << "frame " << frame;
    }
}

// Runs the clock across the point where ticks x 48000 leaves 64 bits.
struct LongRunCase {
    int64_t frequency;
    int64_t counter_start;
    uint64_t jump_ms;  // the second turn's sleep
};

TEST_F(RunMixTest, TheClockKeepsCountingPastTheMultiplicationsRange) {
    const LongRunCase cases[] = {
        {10000000, 0, 1000},
        {10000000, 0, 230 * kDayMs},
        {10000000, INT64_MAX - 300 * kDayMs * 10000, 230 * kDayMs},
        {1000000000, 0, 60 * 3600 * 1000},
        {24000000, 5, 100 * kDayMs},
    };
    for (const LongRunCase& c : cases) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetPerformanceFrequency(c.frequency);
        scripted::SetPerformanceCounterStart(c.counter_start);
        SleepDurations({{1, 10}, {2, c.jump_ms}});
        scripted::SetHorizon(10 + c.jump_ms + 100);
        scripted::SetResult("CreateThread", E_OUTOFMEMORY);  // the clock alone: no reconciliation for months

        const auto run = Mix();
        // 480 at 10 ms, the 200 ms caught up after the jump, then 480 every 10 ms.
        EXPECT_EQ(run.out.size(), (480u + 9600u + 10u * 480u) * kFrameBytes)
            << c.frequency << " Hz from " << c.counter_start << ", jump of " << c.jump_ms << " ms";
    }
}

TEST_F(RunMixTest, AFailedSourceIsMixedUntilTheNextRefreshReplacesIt) {
    scripted::SetLoopback(20, mixworld::Script({mixworld::Tone(0, 4800, 1000), mixworld::Tone(500, 960, 3000)}));
    mixworld::MakeAudible({20});
    // Fails after the first packet, in the first turn.
    scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", AUDCLNT_E_DEVICE_INVALIDATED, 2);

    scripted::SetHorizon(999);
    auto run = Mix();
    EXPECT_TRUE(FramesHold(run.out, 0, 4800, 1000)) << "its queued 100 ms are still played";
    EXPECT_TRUE(FramesHold(run.out, 4800, 23520, 0));
    EXPECT_TRUE(FramesHold(run.out, 23520, 24480, 3000)) << "and it is still pumped";
    EXPECT_TRUE(FramesHold(run.out, 24480, 47520, 0));
    auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 2u);
    EXPECT_FALSE(streams[1].stopped) << "kept until the refresh";

    scripted::Reset();
    scripted::SetLoopback(kTarget, mixworld::Script());
    scripted::SetLoopback(20, mixworld::Script({mixworld::Tone(0, 4800, 1000), mixworld::Tone(500, 960, 3000)}));
    mixworld::MakeAudible({20});
    scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", AUDCLNT_E_DEVICE_INVALIDATED, 2);
    scripted::SetHorizon(2010);
    run = Mix();
    streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[2].pid, 20u) << "opened afresh at the refresh";
    EXPECT_TRUE(streams[1].stopped && streams[1].event_closed) << "closed by the refresh after";
    EXPECT_EQ(streams[1].audio_client_refs + streams[1].capture_client_refs, 0);
    EXPECT_TRUE(FramesHold(run.out, 48000, 48480, 1000)) << "the new source plays";
}

TEST_F(RunMixTest, SourcesComeAndGoAtTheRefreshAfterTheChange) {
    scripted::SetLoopback(20, Endless(100));
    scripted::SetLoopback(30, Endless(300));
    mixworld::MakeAudible({20});
    // 20 stops playing but runs on.
    ChangeWorldAt(1500, [] {
        mixworld::MakeAudible({20, 30});
        scripted::SetEndpoints({{{{AudioSessionStateActive, false, 30}}}});
    });
    scripted::SetHorizon(3010);

    const auto run = Mix();
    // The mixing thread takes both changes at its first turn after the
    // refresh; 20 takes what its stream still delivers for 200 ms, then
    // plays out the backlog it holds and goes.
    EXPECT_TRUE(FramesHold(run.out, 0, 96000, 100));
    EXPECT_TRUE(FramesHold(run.out, 96000, 96480, 400)) << "30 joins with its first 20 ms";
    EXPECT_TRUE(FramesHold(run.out, 96480, 105600, 400)) << "20 still drained";
    EXPECT_TRUE(FramesHold(run.out, 108000, 144480, 300)) << "20 played out";
    const auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 3u);
    EXPECT_EQ(streams[1].pid, 20u);
    EXPECT_TRUE(streams[1].stopped) << "closed by the refresh after";
    EXPECT_EQ(streams[2].pid, 30u);
    EXPECT_FALSE(streams[2].stopped);
}

// A source's process ends at 1.5 s: it goes at the next tenth of a second,
// not at the refresh, and the round that drops it decides afresh: a later
// process on its pid is a source again only as any other would be.
TEST_F(RunMixTest, ASourceWhoseProcessEndsGoesAtOnceAndItsPidIsANewDecision) {
    for (const bool reused : {false, true}) {
        scripted::Reset();
        scripted::SetLoopback(20, Endless(100));
        scripted::SetLoopback(30, Endless(300));
        mixworld::MakeAudible({20, 30});
        ChangeWorldAt(1500, [reused] {
            mixworld::MakeAudible({30});
            if (reused) mixworld::MakeAudible({20, 30}), scripted::SetProcesses({{1, 0, L"explorer.exe"},
                                                                                 {20, 1, L"player.exe", 15000000},
                                                                                 {30, 1, L"player.exe"}});
        });
        scripted::SetHorizon(1900);
        const auto run = Mix();
        EXPECT_EQ(scripted::CallCount("CreateToolhelp32Snapshot"), 3) << "at 0, 1 and 1.6 s";
        // Gone long before the next round at 2.6 s: after its stream's last 200 ms and what it held.
        EXPECT_TRUE(FramesHold(run.out, 1800 * 48, 1900 * 48, reused ? 400 : 300)) << "reused " << reused;
        EXPECT_EQ(scripted::Streams().size(), reused ? 4u : 3u);
    }
}

TEST_F(RunMixTest, ReconcilesOnceASecondWhateverTheTickCount) {
    const DWORD tick_starts[] = {0, 0xFFFFFFFFu - 500, 0xFFFFFFFFu - 999, 0xFFFFFFFFu - 1000, 0xFFFFFFFFu};
    const std::pair<uint64_t, int> horizons[] = {{995, 1}, {1000, 2}, {1995, 2}, {2000, 3}, {3000, 4}};
    for (const DWORD tick_start : tick_starts) {
        for (const auto& [horizon_ms, reconciliations] : horizons) {
            scripted::Reset();
            scripted::SetLoopback(kTarget, mixworld::Script());
            scripted::SetTickCountStart(tick_start);
            scripted::SetHorizon(horizon_ms);
            Mix();
            EXPECT_EQ(scripted::CallCount("CreateToolhelp32Snapshot"), reconciliations)
                << "ticks from " << tick_start << ", until " << horizon_ms << " ms";
        }
    }
}

struct ReaderCase {
    size_t after_bytes;
    uint64_t at_ms;
};

TEST_F(RunMixTest, EndsQuietlyWithZeroWhenTheReaderGoes) {
    const ReaderCase cases[] = {{1920 * 3 + 100, 0}, {0, 0}, {SIZE_MAX, 55}};
    for (const ReaderCase& c : cases) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetLoopback(20, Endless(5));
        mixworld::MakeAudible({20});
        scripted::CloseStdoutAfter(c.after_bytes);
        if (c.at_ms != 0) scripted::CloseStdoutAt(c.at_ms);
        scripted::SetHorizon(10000);

        const auto run = Mix();
        EXPECT_EQ(run.exit_code, 0) << c.after_bytes << " bytes, " << c.at_ms << " ms";
        EXPECT_EQ(run.err, "READY mix 1\n");
        EXPECT_EQ(run.out.size(), c.at_ms != 0 ? 5 * 1920u : c.after_bytes);
        EXPECT_LT(scripted::NowNanoseconds(), 100 * 1000000u);
        EXPECT_THAT(scripted::OpenHandles(), UnorderedElementsAre("auto-reset event", "process"))
            << "the source is left to the process's end";
    }
}

// Mix mode tells a reader that went away from a write that failed, as the
// relay does: only the first ends quietly.
TEST_F(RunMixTest, AFailedWriteIsAnErrorUnlessTheReaderWentAway) {
    struct Case {
        DWORD error;
        int errno_value;
        int exit_code;
        const char* err;
    };
    const Case cases[] = {
        {ERROR_BROKEN_PIPE, EPIPE, 0, "READY mix 1\n"},
        {ERROR_NO_DATA, EPIPE, 0, "READY mix 1\n"},
        {ERROR_DISK_FULL, ENOSPC, 1, "READY mix 1\nERROR output 0x80070070\n"},
        {ERROR_INVALID_HANDLE, EBADF, 1, "READY mix 1\nERROR output 0x80070006\n"},
    };
    for (const Case& c : cases) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetLoopback(20, Endless(5));
        mixworld::MakeAudible({20});
        scripted::FailStdoutAfter(1920 * 3 + 100, c.error, c.errno_value);
        scripted::SetHorizon(10000);

        const auto run = Mix();
        EXPECT_EQ(run.exit_code, c.exit_code) << c.error;
        EXPECT_EQ(run.err, c.err) << c.error;
        EXPECT_EQ(run.out.size(), 1920 * 3 + 100u);
        EXPECT_LT(scripted::NowNanoseconds(), 100 * 1000000u) << "the first failed write ends the run";
    }
}

// What became of a ramp on its way out: frames of it never written, and
// frames of silence written in its place while it ran dry.
struct RampCost {
    size_t skipped = 0;
    size_t silent = 0;
};

RampCost WalkRamp(const std::string& out) {
    RampCost cost;
    int previous = 0;
    for (size_t frame = 0; frame < out.size() / kFrameBytes; ++frame) {
        const int value = FrameAt(out, frame).first;
        if (value == 0) {
            if (previous != 0) ++cost.silent;
            continue;
        }
        if (previous != 0) cost.skipped += static_cast<size_t>((value - previous - 1 + 30000) % 30000);
        previous = value;
    }
    return cost;
}

const scripted::StreamState& StreamOf(const std::vector<scripted::StreamState>& streams, DWORD pid) {
    for (const auto& stream : streams)
        if (stream.pid == pid && stream.started && !stream.stopped) return stream;
    static const scripted::StreamState kNone{};
    return kNone;
}

// A reconciliation opens its new sources on a thread of its own: however long
// an activation takes, up to the 10 s the opener waits for it, the sources
// already playing lose nothing and the output goes on in real time.
TEST_F(RunMixTest, ASlowActivationCostsThePlayingSourcesNothing) {
    for (const uint64_t activation_ms : {0, 60, 300, 10000}) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        scripted::SetLoopback(20, Ramp());
        scripted::Loopback slow = Endless(0);
        slow.activation_ms = activation_ms;
        scripted::SetLoopback(30, slow);
        mixworld::MakeAudible({20});
        ChangeWorldAt(1500, [] { mixworld::MakeAudible({20, 30}); });
        scripted::SetHorizon(13000);

        const auto run = Mix();
        const auto streams = scripted::Streams();
        EXPECT_EQ(StreamOf(streams, 20).packets_dropped, 0u) << activation_ms << " ms: the device dropped nothing";
        EXPECT_EQ(StreamOf(streams, 30).pid, 30u) << activation_ms << " ms: the slow source was opened";
        const RampCost cost = WalkRamp(run.out);
        EXPECT_EQ(cost.skipped, 0u) << activation_ms << " ms activation";
        EXPECT_EQ(cost.silent, 0u) << activation_ms << " ms activation";
        EXPECT_EQ(run.out.size(), size_t{13000} * 48 * kFrameBytes) << activation_ms << " ms activation";
        std::printf("activation %5llu ms: %zu ramp frames skipped, %zu silent frames written\n",
                    static_cast<unsigned long long>(activation_ms), cost.skipped, cost.silent);
    }
}

// A stream lost under mix mode (the audio service restarted) fails the
// source, and the next reconciliation opens it afresh; nothing is printed.
TEST_F(RunMixTest, ALostSourceIsReopenedAtTheNextReconciliation) {
    scripted::Loopback lost = Endless(100);
    lost.lost_at_ms = 500;  // every stream of it, 500 ms after its start
    scripted::SetLoopback(20, lost);
    mixworld::MakeAudible({20});
    scripted::SetHorizon(2010);

    const auto run = Mix();
    EXPECT_FALSE(run.exit_code.has_value());
    EXPECT_EQ(run.err, "READY mix 1\n");
    const auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 4u) << "opened at 0, 1 and 2 s, each lost after 500 ms";
    EXPECT_TRUE(streams[1].stopped && streams[1].event_closed) << "a lost stream is closed by the refresh after";
    EXPECT_FALSE(streams[2].stopped);
    EXPECT_EQ(streams[3].pid, 20u);
    EXPECT_FALSE(streams[3].stopped) << "and opened afresh";
    EXPECT_TRUE(FramesHold(run.out, 0, 480 * 49, 100));
    EXPECT_TRUE(FramesHold(run.out, 57600 - 480, 57600, 100)) << "it plays again";
}

// An activation that never completes holds the reconciling thread up for
// 10 s; the source is skipped, nothing is printed, the mix goes on
// undisturbed, and the next reconciliation tries again.
TEST_F(RunMixTest, AnActivationThatHangsIsSkippedAfterTenSeconds) {
    scripted::SetLoopback(20, Endless(100));
    scripted::Loopback hanging = Endless(300);
    hanging.activation_ms = 60000;
    scripted::SetLoopback(30, hanging);
    mixworld::MakeAudible({20});
    ChangeWorldAt(500, [] { mixworld::MakeAudible({20, 30}); });
    // The reader leaves during the second try.
    scripted::CloseStdoutAt(12500);

    const auto run = Mix();
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "READY mix 1\n");
    size_t tries = 0;
    for (const auto& activation : scripted::Activations())
        tries += activation.params.ProcessLoopbackParams.TargetProcessId == 30 ? 1 : 0;
    EXPECT_EQ(tries, 2u) << "tried at 1 s, given up at 11 s, tried again at 12 s";
    EXPECT_EQ(StreamOf(scripted::Streams(), 30).pid, 0u) << "never a source";
    EXPECT_EQ(run.out.size(), 12490u * 48 * kFrameBytes) << "the mix went on in real time, to the last write";
    EXPECT_TRUE(FramesHold(run.out, 0, run.out.size() / kFrameBytes, 100));
}

// The mixing thread joins the audio scheduling class and opts the process
// out of timer-resolution throttling, once each, before its first turn.
TEST_F(RunMixTest, AsksForAudioSchedulingAndTheTimerResolutionOnce) {
    for (const bool refused : {false, true}) {
        scripted::Reset();
        scripted::SetLoopback(kTarget, mixworld::Script());
        if (refused) {
            scripted::SetResult("AvSetMmThreadCharacteristicsW", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
            scripted::SetResult("SetProcessInformation", HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
        }
        scripted::SetHorizon(100);
        const auto run = Mix();
        EXPECT_EQ(run.err, "READY mix 0\n") << "refused: " << refused;
        EXPECT_EQ(run.out.size(), 10 * 1920u) << "refused: " << refused;
        const auto calls = scripted::SchedulingCalls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].call, "AvSetMmThreadCharacteristicsW");
        EXPECT_EQ(calls[0].task, L"Audio");
        EXPECT_EQ(calls[1].call, "SetProcessInformation");
        EXPECT_TRUE(calls[1].current_process);
        EXPECT_EQ(calls[1].info_class, ProcessPowerThrottling);
        EXPECT_EQ(calls[1].size, sizeof(PROCESS_POWER_THROTTLING_STATE));
        EXPECT_EQ(calls[1].throttling.Version, static_cast<ULONG>(PROCESS_POWER_THROTTLING_CURRENT_VERSION));
        EXPECT_EQ(calls[1].throttling.ControlMask,
                  static_cast<ULONG>(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION));
        EXPECT_EQ(calls[1].throttling.StateMask, 0u);
        for (const auto& call : calls) EXPECT_EQ(call.thread, std::this_thread::get_id()) << call.call;
        const auto order = scripted::CallsMatching({"AvSetMm*", "SetProcessInformation", "timeBeginPeriod"});
        EXPECT_THAT(order, ElementsAre("AvSetMmThreadCharacteristicsW", "SetProcessInformation", "timeBeginPeriod"));
    }
}

}  // namespace
