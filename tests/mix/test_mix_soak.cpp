// A simulated hour of mix mode: players start, stop and fail at random, turns
// come late and sometimes stall, and after every turn the loop's invariants
// are checked against the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "mix/mix_loop.h"
#include "tests/doubles/scripted_test.h"
#include "tests/mix/mix_world.h"

namespace {

constexpr DWORD kTarget = 7;
constexpr int64_t kFrequency = 10000000;
constexpr uint64_t kRunNs = 3600ull * 1000000000;
constexpr uint64_t kLongestStallMs = 300;

constexpr size_t kQueueBound = 38400;  // samples, after any complete drain
// Most samples one drain can find: a stall's worth of the fastest player.
constexpr size_t kLongestDrain = (kLongestStallMs / 10 + 2) * 528 * 2;
// A failed drain skips the trim once, so two drains may pile up before the next.
constexpr size_t kQueueCapacityBound = (kQueueBound + 2 * kLongestDrain) * 3 / 2;
constexpr size_t kMixCapacityBound = 4800 * 2 * 3 / 2;

struct Player {
    DWORD pid;
    UINT32 frames;  // every 10 ms: 432 runs dry now and then, 528 piles up and gets trimmed
    size_t silent_every;
};

const Player kPlayers[] = {{100, 480, 0}, {101, 432, 0}, {102, 528, 0}, {103, 441, 5},
                           {104, 480, 3}, {105, 528, 7}, {106, 500, 0}, {107, 460, 0}};
constexpr DWORD kNeverOpens = 120;

scripted::Loopback Playing(const Player& player) {
    scripted::Loopback script = mixworld::Script();
    script.source = [player](size_t index) -> std::optional<scripted::Packet> {
        scripted::Packet packet = mixworld::Tone(index * 10, player.frames, static_cast<int16_t>(player.pid * 37));
        packet.silent = player.silent_every != 0 && index % player.silent_every == 0;
        return packet;
    };
    return script;
}

int64_t ExactFramesDue(int64_t elapsed) { return static_cast<int64_t>(static_cast<__int128>(elapsed) * 48000 / kFrequency); }

int64_t Counter() {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

class MixSoak : public ScriptedTest {
protected:
    std::mt19937 random{20240611};
    std::set<DWORD> audible;
    size_t turns = 0, chunks = 0, skips = 0, faults = 0, changes = 0;

    void SetUp() override {
        ScriptedTest::SetUp();
        scripted::SetCallLog(false);
        scripted::KeepStdout(false);
        scripted::SetPerformanceFrequency(kFrequency);
        scripted::SetPerformanceCounterStart(123456789);
        scripted::SetTickCountStart(0xFFFFFFFFu - 1800000);  // wraps half way
        for (const Player& player : kPlayers) scripted::SetLoopback(player.pid, Playing(player));
        scripted::SetLoopback(kNeverOpens, mixworld::Script({}, E_FAIL));
        scripted::SetSleepDuration([this](DWORD ms) -> uint64_t {
            if (random() % 2000 == 0) return (50 + random() % (kLongestStallMs - 49)) * 1000000;
            return ms * 1000000ull + random() % 3000000;
        });
    }

    void Publish() {
        std::vector<DWORD> pids(audible.begin(), audible.end());
        pids.push_back(kTarget);  // heard, but never mixed
        mixworld::MakeAudible(pids);
    }

    // A player starts or stops, or the next call of some capture or open step fails.
    void ChangeTheWorld() {
        if (random() % 1000 == 0) {
            const DWORD pid = random() % 3 == 0 ? kNeverOpens : kPlayers[random() % std::size(kPlayers)].pid;
            // At most three at a time keeps the hour quick; which three keeps changing.
            if (!audible.erase(pid) && audible.size() < 3) audible.insert(pid);
            Publish();
            ++changes;
        }
        if (random() % 3000 == 0) {
            static const char* const calls[] = {"IAudioCaptureClient::GetNextPacketSize",
                                                "IAudioCaptureClient::GetBuffer", "ActivateAudioInterfaceAsync",
                                                "IAudioClient::Initialize", "IAudioClient::Start"};
            const std::string call = calls[random() % std::size(calls)];
            scripted::ClearResults();
            scripted::SetResult(call, AUDCLNT_E_DEVICE_INVALIDATED,
                                scripted::CallCount(call) + 1 + static_cast<int>(random() % 4));
            ++faults;
        }
    }

    void CheckStreams(const SourceMap& sources) {
        std::multiset<DWORD> open;
        for (const scripted::StreamState& s : scripted::Streams()) {
            const bool closed = s.audio_client_refs == 0 && s.capture_client_refs == 0 && (!s.event_set || s.event_closed);
            const bool running = s.audio_client_refs == 1 && s.capture_client_refs == 1 && !s.event_closed && !s.stopped;
            ASSERT_TRUE(closed || running) << "stream on " << s.pid << ": refs " << s.audio_client_refs << "/"
                                           << s.capture_client_refs << ", event closed " << s.event_closed;
            if (running) open.insert(s.pid);
        }
        std::multiset<DWORD> held;
        for (const auto& entry : sources) held.insert(entry.first);
        EXPECT_EQ(open, held) << "every stream still open belongs to a source";
    }

    void Soak() {
        audible = {100, 101, 102};
        Publish();
        MixLoop loop;
        loop.target_pid = kTarget;
        ReconcileSources(kTarget, loop.sources);
        const int64_t start = Counter();
        StartMixLoop(loop);
        ASSERT_EQ(loop.clock.counter_start, start);

        int64_t written = 0;
        while (scripted::NowNanoseconds() < kRunNs) {
            ChangeTheWorld();
            const int64_t before = loop.clock.frames_produced;
            ASSERT_TRUE(MixTurn(loop));
            ++turns;
            const int64_t due = ExactFramesDue(Counter() - start);
            if (loop.clock.frames_produced != before) {
                ASSERT_EQ(loop.clock.frames_produced, due) << "turn " << turns;
                const int64_t chunk = std::min<int64_t>(due - before, 4800);
                written += chunk;
                ++chunks;
                if (chunk != due - before) ++skips;
            } else {
                ASSERT_LT(due - before, 480) << "turn " << turns;
            }
            ASSERT_EQ(scripted::StdoutBytes(), static_cast<size_t>(written) * 4) << "turn " << turns;

            ASSERT_LE(loop.sources.size(), std::size(kPlayers));
            for (const auto& [pid, source] : loop.sources) {
                if (!source.failed) {
                    ASSERT_LE(source.sample_queue.size(), kQueueBound) << pid << ", turn " << turns;
                }
                ASSERT_LE(source.sample_queue.capacity(), kQueueCapacityBound) << pid << ", turn " << turns;
            }
            ASSERT_LE(loop.buffers.accumulator.capacity(), kMixCapacityBound);
            ASSERT_LE(loop.buffers.output.capacity(), kMixCapacityBound);
        }
        CheckStreams(loop.sources);
        // Enough happened for the hour to mean something.
        EXPECT_GT(changes, 300u);
        EXPECT_GT(faults, 100u);
        EXPECT_GT(skips, 50u);
        EXPECT_GT(scripted::Streams().size(), 150u);
        RecordProperty("turns", static_cast<int>(turns));
    }
};

TEST_F(MixSoak, AnHourOfSourcesComingGoingAndFailing) {
    const auto run = scripted::Run([this] {
        Soak();
        return 0;
    });
    EXPECT_EQ(run.exit_code, 0);
    printf("%zu turns, %zu chunks (%zu skipping), %zu changes, %zu faults, %zu streams\n", turns, chunks, skips,
           changes, faults, scripted::Streams().size());
}

}  // namespace
