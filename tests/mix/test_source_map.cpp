#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mix/mix_chunk.h"
#include "mix/source_map.h"
#include "tests/doubles/scripted_test.h"
#include "tests/mix/mix_world.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kTarget = 7;

std::vector<DWORD> Keys(const SourceMap& sources) {
    std::vector<DWORD> keys;
    for (const auto& entry : sources) keys.push_back(entry.first);
    return keys;
}

// Pids of the scripted streams whose references are all given back, and of those still held.
std::vector<DWORD> ClosedStreams() {
    std::vector<DWORD> pids;
    for (const scripted::StreamState& s : scripted::Streams())
        if (s.audio_client_refs == 0 && s.capture_client_refs == 0 && s.event_closed && s.stopped)
            pids.push_back(s.pid);
    return pids;
}

std::vector<DWORD> OpenStreams() {
    std::vector<DWORD> pids;
    for (const scripted::StreamState& s : scripted::Streams())
        if (s.audio_client_refs == 1 && s.capture_client_refs == 1 && !s.event_closed && !s.stopped)
            pids.push_back(s.pid);
    return pids;
}

class SourceMapTest : public ScriptedTest {
protected:
    void SetUp() override {
        ScriptedTest::SetUp();
        for (const DWORD pid : {20u, 30u, 40u, 50u}) scripted::SetLoopback(pid, mixworld::Script());
    }
};

TEST_F(SourceMapTest, OpensOneIncludeStreamPerSelectedPid) {
    mixworld::MakeAudible({40, 20, 30, kTarget});
    SourceMap sources;

    ReconcileSources(kTarget, sources);
    EXPECT_THAT(Keys(sources), ElementsAre(20u, 30u, 40u));
    EXPECT_THAT(OpenStreams(), ElementsAre(20u, 30u, 40u));
    for (const scripted::StreamState& s : scripted::Streams()) EXPECT_EQ(s.mode, 0u) << "include mode";
    for (auto& [pid, source] : sources) {
        EXPECT_NE(source.stream.audio_client, nullptr) << pid;
        EXPECT_NE(source.stream.capture_client, nullptr) << pid;
        EXPECT_NE(source.stream.event, nullptr) << pid;
        EXPECT_TRUE(source.sample_queue.empty()) << pid;
        EXPECT_EQ(source.read_index, 0u) << pid;
        EXPECT_FALSE(source.primed) << pid;
        EXPECT_FALSE(source.failed) << pid;
    }
    EXPECT_EQ(scripted::OpenHandles().size(), 3u) << "one event per source";
}

TEST_F(SourceMapTest, AFailedOpenIsSkippedSilentlyAndTriedAtEveryReconciliation) {
    mixworld::MakeAudible({20, 30, 40});
    scripted::SetLoopback(30, mixworld::Script({}, HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)));
    SourceMap sources;

    for (int round = 1; round <= 3; ++round) {
        ReconcileSources(kTarget, sources);
        EXPECT_THAT(Keys(sources), ElementsAre(20u, 40u));
        EXPECT_EQ(scripted::Activations().size(), 2u + static_cast<size_t>(round)) << "round " << round;
    }
    scripted::SetLoopback(30, mixworld::Script());
    ReconcileSources(kTarget, sources);
    EXPECT_THAT(Keys(sources), ElementsAre(20u, 30u, 40u));
}

TEST_F(SourceMapTest, AHealthySelectedSourceIsLeftUntouched) {
    mixworld::MakeAudible({20, 30});
    SourceMap sources;
    ReconcileSources(kTarget, sources);
    CaptureSource& kept = sources.at(20);
    kept.sample_queue.assign(4000, 9);
    kept.read_index = 1000;
    kept.primed = true;
    const CaptureStream stream = kept.stream;
    const int16_t* storage = kept.sample_queue.data();
    scripted::ClearCalls();

    ReconcileSources(kTarget, sources);
    const CaptureSource& after = sources.at(20);
    EXPECT_EQ(after.stream.audio_client, stream.audio_client);
    EXPECT_EQ(after.stream.capture_client, stream.capture_client);
    EXPECT_EQ(after.stream.event, stream.event);
    EXPECT_EQ(after.sample_queue.data(), storage);
    EXPECT_EQ(after.sample_queue.size(), 4000u);
    EXPECT_EQ(after.read_index, 1000u);
    EXPECT_TRUE(after.primed);
    EXPECT_EQ(scripted::Activations().size(), 2u);
    EXPECT_THAT(scripted::CallsMatching({"IAudioClient::*", "IAudioCaptureClient::*", "CloseHandle(auto*"}), IsEmpty());
}

TEST_F(SourceMapTest, RemovesUnselectedAndFailedSourcesInOrderAndReopensFailedOnes) {
    mixworld::MakeAudible({20, 30, 40});
    SourceMap sources;
    ReconcileSources(kTarget, sources);
    sources.at(20).failed = true;  // still selected: comes back fresh
    sources.at(20).sample_queue.assign(3000, 1);
    sources.at(20).primed = true;
    sources.at(30).sample_queue.assign(3000, 1);  // unread samples: played out before its stream goes
    const IAudioClient* old_client = sources.at(20).stream.audio_client;
    mixworld::MakeAudible({20, 40, 50});
    scripted::ClearCalls();

    ReconcileSources(kTarget, sources);
    EXPECT_THAT(Keys(sources), ElementsAre(20u, 30u, 40u, 50u));
    EXPECT_TRUE(sources.at(30).leaving);
    const CaptureSource& fresh = sources.at(20);
    EXPECT_NE(fresh.stream.audio_client, old_client);
    EXPECT_EQ(fresh.sample_queue.size(), 3000u) << "what the failed stream delivered plays first";
    EXPECT_FALSE(fresh.failed || fresh.leaving);
    EXPECT_THAT(ClosedStreams(), ElementsAre(20u));
    EXPECT_THAT(OpenStreams(), ElementsAre(30u, 40u, 20u, 50u));
    MixBuffers buffers;
    MixChunk(sources, 1500, buffers);
    ReconcileSources(kTarget, sources);
    EXPECT_THAT(Keys(sources), ElementsAre(20u, 40u, 50u)) << "30 has played out";
    EXPECT_THAT(ClosedStreams(), ElementsAre(20u, 30u));
    // The opens first (the mixing thread hands the removed streams back after
    // them), then both removals, each Stop, the two releases, the event.
    const std::vector<std::string> calls = scripted::CallsMatching(
        {"IAudioClient::Stop", "IAudioCaptureClient::Release", "IAudioClient::Release", "CloseHandle(auto*"});
    const auto first_stop = std::find(calls.begin(), calls.end(), "IAudioClient::Stop");
    EXPECT_THAT(std::vector<std::string>(first_stop, calls.end()),
                ElementsAre("IAudioClient::Stop", "IAudioCaptureClient::Release", "IAudioClient::Release",
                            "CloseHandle(auto-reset event)", "IAudioClient::Stop", "IAudioCaptureClient::Release",
                            "IAudioClient::Release", "CloseHandle(auto-reset event)"));
    EXPECT_EQ(scripted::CallsMatching({"ActivateAudioInterfaceAsync", "IAudioClient::Stop"}).back(),
              "IAudioClient::Stop");
    EXPECT_EQ(scripted::CallCount("ActivateAudioInterfaceAsync"), 5);
}

TEST_F(SourceMapTest, AnEmptySelectionRemovesEverySource) {
    mixworld::MakeAudible({20, 30});
    SourceMap sources;
    ReconcileSources(kTarget, sources);
    mixworld::MakeAudible({});

    ReconcileSources(kTarget, sources);
    EXPECT_THAT(Keys(sources), IsEmpty());
    EXPECT_THAT(ClosedStreams(), ElementsAre(20u, 30u));
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
    EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
}

// A process is held from the snapshot through its activation: one that is
// not, by then, the process the snapshot saw, or that ends during its
// activation, gets no source, and nothing of it stays open.
TEST_F(SourceMapTest, APidReusedOrEndedBeforeItsStreamIsOpenGetsNoSource) {
    const scripted::Process shell = {1, 0, L"explorer.exe", 100}, player = {20, 1, L"player.exe", 200},
                            other = {30, 1, L"player.exe", 300};
    struct Case {
        const char* label;
        std::string at_call;
        std::vector<scripted::Process> then;
        std::vector<DWORD> kept;
    };
    const Case cases[] = {
        {"nothing changes", "", {}, {20, 30}},
        {"20 reused between the snapshot and the open", "OpenProcess",
         {shell, {20, 1, L"player.exe", 400}, other}, {30}},
        {"20 ended before the open", "OpenProcess", {shell, other}, {30}},
        {"20 ended during its activation", "ActivateAudioInterfaceAsync", {shell, other}, {30}},
        {"20 reused during its activation", "ActivateAudioInterfaceAsync",
         {shell, {20, 1, L"player.exe", 400}, other}, {30}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        scripted::Reset();
        for (const DWORD pid : {20u, 30u}) scripted::SetLoopback(pid, mixworld::Script());
        scripted::SetProcesses({shell, player, other});
        scripted::SetEndpoints({{{{AudioSessionStateActive, false, 20}, {AudioSessionStateActive, false, 30}}}});
        if (!c.at_call.empty()) scripted::SetProcessesAt(c.at_call, c.then);
        SourceMap sources;

        ReconcileSources(kTarget, sources);
        EXPECT_EQ(Keys(sources), c.kept);
        EXPECT_EQ(OpenStreams(), c.kept);
        EXPECT_EQ(scripted::OpenHandles(), std::vector<std::string>(c.kept.size(), "auto-reset event"))
            << "every process handle closed";
    }
}

}  // namespace
