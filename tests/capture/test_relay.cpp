#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "capture/relay.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr DWORD kPid = 5;

scripted::Packet At(uint64_t ms, UINT32 frames, int16_t value, bool silent = false) {
    scripted::Packet packet;
    packet.at_ms = ms;
    packet.frames = frames;
    packet.value = value;
    packet.silent = silent;
    return packet;
}

// Compares PCM without printing it: sizes and the first byte that differs.
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
    if (actual == expected) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected " << expected.size()
                                         << "; first difference at byte " << at;
}

std::string Pcm(UINT32 frames, int16_t value) {
    std::string bytes;
    for (UINT32 i = 0; i < frames * 2; ++i) {
        bytes.push_back(static_cast<char>(value & 0xFF));
        bytes.push_back(static_cast<char>((value >> 8) & 0xFF));
    }
    return bytes;
}

class RelayTest : public ScriptedTest {
protected:
    scripted::RunResult Relay(std::vector<scripted::Packet> packets, uint64_t horizon_ms) {
        scripted::Loopback script;
        script.packets = std::move(packets);
        scripted::SetLoopback(kPid, script);
        scripted::SetHorizon(horizon_ms);
        return scripted::Run([] { return RelaySingleStream(kPid, false); });
    }
    size_t PacketsTaken() { return scripted::Streams().at(0).packets_taken; }
};

TEST_F(RelayTest, WritesPacketsInOrderSilentOnesAsZeros) {
    scripted::Packet empty = At(30, 0, 1);
    empty.next_size = 480;  // announced, then delivered without frames
    const auto run = Relay({At(10, 480, 0x1234), At(20, 480, 0x7F7F, true), empty, At(40, 441, -2)}, 500);
    EXPECT_FALSE(run.exit_code.has_value());
    EXPECT_EQ(run.err, "READY 5\n");
    EXPECT_TRUE(SameBytes(run.out, Pcm(480, 0x1234) + Pcm(480, 0) + Pcm(441, -2)));
    EXPECT_EQ(PacketsTaken(), 4u) << "the empty packet is released too";
}

TEST_F(RelayTest, DrainsEveryWaitingPacketBeforeOneFlush) {
    // Three packets at the first wake, one at a later wake: two writes.
    const auto run = Relay({At(0, 480, 1), At(0, 480, 2), At(0, 480, 3), At(300, 480, 4)}, 900);
    EXPECT_TRUE(SameBytes(run.out, Pcm(480, 1) + Pcm(480, 2) + Pcm(480, 3) + Pcm(480, 4)));
    EXPECT_EQ(scripted::StdoutWrites(), 2u);
}

TEST_F(RelayTest, WithoutEventsWakesOnceASecondAndStaysQuiet) {
    const auto run = Relay({}, 5500);
    EXPECT_FALSE(run.exit_code.has_value());
    EXPECT_EQ(run.err, "READY 5\n");
    EXPECT_EQ(run.out, "");
    // The activation's wait, then one a second at 0, 1, ... 5 s; the last one passes the horizon.
    EXPECT_EQ(scripted::CallCount("WaitForSingleObject"), 1 + 6);
    EXPECT_EQ(scripted::CallCount("IAudioCaptureClient::GetNextPacketSize"), 5);
}

TEST_F(RelayTest, GetBufferFailureAfterReadyIsTheOnlyErrorLine) {
    scripted::SetResult("IAudioCaptureClient::GetBuffer", AUDCLNT_E_DEVICE_INVALIDATED, 2);
    const auto run = Relay({At(0, 480, 1), At(100, 480, 2)}, 5000);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "READY 5\nERROR buffer 0x88890004\n");
    EXPECT_TRUE(SameBytes(run.out, Pcm(480, 1)));
    EXPECT_EQ(PacketsTaken(), 1u) << "the failed packet is not released";
    EXPECT_EQ(scripted::CallCount("IAudioCaptureClient::ReleaseBuffer"), 1);
}

TEST_F(RelayTest, PersistentPacketSizeFailureNeverEndsTheRelay) {
    scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", E_FAIL);
    const auto run = Relay({At(0, 480, 1)}, 3000);
    EXPECT_FALSE(run.exit_code.has_value());
    EXPECT_EQ(run.err, "READY 5\n");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(scripted::CallCount("IAudioCaptureClient::GetBuffer"), 0);
}

TEST_F(RelayTest, PacketSizeFailureMidDrainFlushesWhatWasWritten) {
    scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", E_FAIL, 2);
    const auto run = Relay({At(0, 480, 1), At(0, 480, 2)}, 1500);
    EXPECT_TRUE(SameBytes(run.out, Pcm(480, 1) + Pcm(480, 2))) << "the second packet waits for the next wake";
    EXPECT_EQ(scripted::StdoutWrites(), 2u);
}

TEST_F(RelayTest, FailedFlushEndsWithZeroAndNoMessage) {
    scripted::CloseStdoutAfter(0);
    const auto run = Relay({At(0, 480, 1)}, 5000);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "READY 5\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(RelayTest, ShortWriteEndsWithoutReleasingThePacket) {
    // Larger than stdout's buffer, so the write itself reaches the reader.
    scripted::CloseStdoutAfter(100);
    const auto run = Relay({At(0, 480, 1), At(0, 4800, 2)}, 5000);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_EQ(run.err, "READY 5\n");
    EXPECT_EQ(run.out.size(), 100u);
    EXPECT_EQ(PacketsTaken(), 1u);
    EXPECT_THAT(scripted::CallsMatching({"IAudioCaptureClient::ReleaseBuffer"}),
                ElementsAre("IAudioCaptureClient::ReleaseBuffer"));
}

TEST_F(RelayTest, ReaderLeavingLaterEndsAtTheNextWrite) {
    scripted::CloseStdoutAt(250);
    const auto run = Relay({At(0, 480, 1), At(100, 480, 2), At(300, 480, 3)}, 5000);
    EXPECT_EQ(run.exit_code, 0);
    EXPECT_TRUE(SameBytes(run.out, Pcm(480, 1) + Pcm(480, 2)));
}

TEST_F(RelayTest, OpenFailureIsReportedWithItsLabel) {
    scripted::SetResult("IAudioClient::Initialize", AUDCLNT_E_UNSUPPORTED_FORMAT);
    const auto run = Relay({}, 1000);
    EXPECT_EQ(run.exit_code, 1);
    EXPECT_EQ(run.err, "ERROR initialize 0x88890008\n");
    EXPECT_EQ(run.out, "");
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
}

TEST_F(RelayTest, ExcludeFlagOpensModeOne) {
    scripted::SetHorizon(10);
    scripted::Run([] { return RelaySingleStream(kPid, true); });
    ASSERT_EQ(scripted::Activations().size(), 1u);
    EXPECT_EQ(scripted::Activations()[0].params.ProcessLoopbackParams.ProcessLoopbackMode,
              PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE);
}

TEST_F(RelayTest, LeavesItsStreamOpen) {
    const auto run = Relay({At(0, 480, 1)}, 100);
    scripted::Settle();
    const auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_FALSE(streams[0].stopped);
    EXPECT_EQ(streams[0].audio_client_refs, 1);
    EXPECT_EQ(streams[0].capture_client_refs, 1);
    EXPECT_FALSE(streams[0].event_closed);
}

}  // namespace
