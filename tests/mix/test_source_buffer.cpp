#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "mix/source_buffer.h"
#include "tests/doubles/scripted_test.h"

namespace {

constexpr DWORD kPid = 31;

scripted::Packet Samples(std::vector<int16_t> samples) {
    scripted::Packet packet;
    packet.frames = static_cast<UINT32>(samples.size() / 2);
    packet.samples = std::move(samples);
    return packet;
}

scripted::Packet Filled(UINT32 frames, int16_t value, bool silent = false) {
    scripted::Packet packet;
    packet.frames = frames;
    packet.value = value;
    packet.silent = silent;
    return packet;
}

std::vector<int16_t> Ramp(size_t count, int start = 0) {
    std::vector<int16_t> ramp(count);
    for (size_t i = 0; i < count; ++i) ramp[i] = static_cast<int16_t>((start + static_cast<int>(i)) % 30000);
    return ramp;
}

class SourceBufferTest : public ScriptedTest {
protected:
    // A started stream on kPid whose packets are all waiting, and a queue
    // holding `queued` with `read` of them taken.
    CaptureSource Source(std::vector<scripted::Packet> packets, std::vector<int16_t> queued = {}, uint64_t read = 0) {
        scripted::Loopback script;
        script.complete_on_thread = false;
        script.packets = std::move(packets);
        scripted::SetLoopback(kPid, script);
        CaptureSource source;
        StageLabel label = "";
        const HRESULT hr = OpenLoopbackStream(kPid, kIncludeTargetTree, PcmFormat{}, &source.stream, &label);
        EXPECT_EQ(hr, S_OK) << std::hex << hr;
        source.sample_queue = std::move(queued);
        source.read_index = read;
        return source;
    }
};

TEST_F(SourceBufferTest, AppendsEveryPacketSilentOnesAsZeros) {
    const std::vector<int16_t> odd = Ramp(882, 5);  // 441 frames
    CaptureSource source = Source({Filled(480, 77, true), Samples(odd), Filled(2, -3)}, {1, 2}, 0);

    PumpSource(source);
    std::vector<int16_t> expected{1, 2};
    expected.insert(expected.end(), 960, 0);
    expected.insert(expected.end(), odd.begin(), odd.end());
    expected.insert(expected.end(), {-3, -3, -3, -3});
    EXPECT_EQ(source.sample_queue, expected);
    EXPECT_FALSE(source.failed);
    EXPECT_EQ(scripted::Streams().at(0).packets_taken, 3u);
    EXPECT_EQ(scripted::CallCount("IAudioCaptureClient::ReleaseBuffer"), 3);
}

struct KeepCase {
    const char* name;
    size_t stored;  // queued before the pump: a ramp 0, 1, 2, ...
    uint64_t read;
    UINT32 packet_frames;  // one packet of -5s, or none
    size_t stored_after;
    uint64_t read_after;
    int16_t first_unread_after;
};

TEST_F(SourceBufferTest, TrimsPast19200UnreadAndCompactsPastHalfRead) {
    const KeepCase cases[] = {
        {"half read: kept", 3000, 1500, 0, 3000, 1500, 1500},
        {"more than half read: compacted", 3000, 1502, 0, 1498, 0, 1502},
        {"all read: emptied", 3000, 3000, 0, 0, 0, 0},
        {"19200 unread: kept", 19200, 0, 0, 19200, 0, 0},
        {"19202 unread: newest 1920 kept", 19202, 0, 0, 1920, 0, 17282},
        {"a packet reaching 19200: kept", 18240, 0, 480, 19200, 0, 0},
        {"a packet passing 19200: trimmed", 18242, 0, 480, 1920, 0, 17282},
        {"trim counts only unread", 21000, 1800, 0, 21000, 1800, 1800},
        {"trim after reads", 21000, 1798, 0, 1920, 0, 19080},
    };
    for (const KeepCase& c : cases) {
        scripted::Reset();
        std::vector<scripted::Packet> packets;
        if (c.packet_frames != 0) packets.push_back(Filled(c.packet_frames, -5));
        CaptureSource source = Source(packets, Ramp(c.stored), c.read);
        const size_t capacity = source.sample_queue.capacity();

        PumpSource(source);
        TrimSource(source);
        EXPECT_EQ(source.sample_queue.size(), c.stored_after) << c.name;
        EXPECT_EQ(source.read_index, c.read_after) << c.name;
        if (source.read_index < source.sample_queue.size()) {
            EXPECT_EQ(source.sample_queue[source.read_index], c.first_unread_after) << c.name;
        }
        if (c.packet_frames == 0) {
            EXPECT_EQ(source.sample_queue.capacity(), capacity) << c.name << ": never shrinks";
        }
        EXPECT_FALSE(source.failed) << c.name;
    }
}

struct FailureCase {
    const char* call;
    int nth;
    size_t packets_kept;  // of the two waiting
};

TEST_F(SourceBufferTest, AFailingCaptureCallMarksTheSourceAndSkipsTrimAndCompaction) {
    const FailureCase cases[] = {
        {"IAudioCaptureClient::GetNextPacketSize", 1, 0},
        {"IAudioCaptureClient::GetNextPacketSize", 2, 1},
        {"IAudioCaptureClient::GetNextPacketSize", 3, 2},
        {"IAudioCaptureClient::GetBuffer", 1, 0},
        {"IAudioCaptureClient::GetBuffer", 2, 1},
    };
    for (const FailureCase& c : cases) {
        scripted::Reset();
        // Compaction would move the unread samples if it ran.
        CaptureSource source = Source({Filled(480, 6), Filled(480, 7)}, Ramp(3000), 2500);
        source.primed = true;
        scripted::SetResult(c.call, AUDCLNT_E_DEVICE_INVALIDATED, c.nth);

        PumpSource(source);
        std::vector<int16_t> expected = Ramp(3000);
        if (c.packets_kept >= 1) expected.insert(expected.end(), 960, 6);
        if (c.packets_kept >= 2) expected.insert(expected.end(), 960, 7);
        EXPECT_EQ(source.sample_queue, expected) << c.call << " #" << c.nth;
        EXPECT_EQ(source.read_index, 2500u) << c.call << " #" << c.nth;
        EXPECT_TRUE(source.failed) << c.call << " #" << c.nth;
        EXPECT_TRUE(source.primed) << c.call << " #" << c.nth;

        // Still pumped while it waits for removal; the flag stays.
        PumpSource(source);
        TrimSource(source);
        EXPECT_TRUE(source.failed) << c.call << " #" << c.nth;
        EXPECT_EQ(source.sample_queue.size(), 3000u - 2500u + 1920u) << c.call << " #" << c.nth;
        EXPECT_EQ(source.read_index, 0u) << c.call << " #" << c.nth;
    }
}

struct GrowthCase {
    size_t capacity;  // reserved before
    size_t stored;
    UINT32 packet_frames;
    size_t capacity_after;
};

TEST_F(SourceBufferTest, QueueGrowsByHalfOrToTheNeed) {
    const GrowthCase cases[] = {
        {0, 0, 480, 960},        {1000, 0, 480, 1000},     {1000, 500, 480, 1500}, {1000, 500, 1000, 2500},
        {1300, 960, 480, 1950},  {40000, 38000, 480, 40000},
    };
    for (const GrowthCase& c : cases) {
        scripted::Reset();
        std::vector<int16_t> queued;
        queued.reserve(c.capacity);
        queued.assign(c.stored, 1);
        CaptureSource source = Source({Filled(c.packet_frames, 2)}, std::move(queued), 0);
        ASSERT_EQ(source.sample_queue.capacity(), c.capacity);

        PumpSource(source);
        EXPECT_EQ(source.sample_queue.capacity(), c.capacity_after)
            << c.capacity << " holding " << c.stored << " + " << c.packet_frames * 2;
    }
}

}  // namespace
