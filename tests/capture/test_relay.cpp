#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>

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
    scripted::RunResult Relay(std::vector<scripted::Packet> packets, uint64_t horizon_ms, PcmFormat format = {}) {
        scripted::Loopback script;
        script.packets = std::move(packets);
        scripted::SetLoopback(kPid, script);
        scripted::SetHorizon(horizon_ms);
        return scripted::Run([format] { return RelaySingleStream(kPid, false, format); });
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

// The engine converts to the format asked for; the relay copies its frames.
TEST_F(RelayTest, RelaysTheAskedFormatByteForByte) {
    const std::pair<PcmFormat, WAVEFORMATEX> cases[] = {
        {{16000, 1, SampleType::kS16}, {WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0}},
        {{48000, 2, SampleType::kF32}, {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0}},
    };
    for (const auto& [format, wave] : cases) {
        scripted::Reset();
        std::vector<scripted::Packet> packets = {At(0, 160, 0), At(20, 161, 0, true), At(30, 3, 0)};
        std::string expected;
        for (scripted::Packet& packet : packets) {
            for (size_t i = 0; i < packet.frames * wave.nBlockAlign; ++i)
                packet.bytes.push_back(static_cast<BYTE>(expected.size() + i * 7 + 1));
            expected += packet.silent ? std::string(packet.bytes.size(), '\0')
                                      : std::string(packet.bytes.begin(), packet.bytes.end());
        }
        const auto run = Relay(packets, 500, format);
        EXPECT_EQ(std::memcmp(&scripted::Streams().at(0).format, &wave, sizeof wave), 0) << wave.nBlockAlign;
        EXPECT_TRUE(SameBytes(run.out, expected)) << wave.nBlockAlign;
    }
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

// A failing GetNextPacketSize is how Windows tells of a lost stream; no event
// comes after it, so the relay ends as on a failing GetBuffer.
struct PacketSizeFailureCase {
    const char* name;
    std::function<void(scripted::Loopback&)> script;
    const char* err;
    std::string out;  // written before the failure, and still delivered
};

TEST_F(RelayTest, FailingPacketSizeEndsWithABufferError) {
    const PacketSizeFailureCase cases[] = {
        {"FirstCall",
         [](scripted::Loopback&) { scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", E_FAIL); },
         "READY 5\nERROR buffer 0x80004005\n", ""},
        {"MidDrain",
         [](scripted::Loopback&) { scripted::SetResult("IAudioCaptureClient::GetNextPacketSize", E_FAIL, 2); },
         "READY 5\nERROR buffer 0x80004005\n", Pcm(480, 1)},
        // The audio service restarts 250 ms in: packets of 0, 100 and 200 ms got through.
        {"StreamLost", [](scripted::Loopback& script) { script.lost_at_ms = 250; },
         "READY 5\nERROR buffer 0x88890004\n", Pcm(480, 1) + Pcm(480, 2) + Pcm(480, 3)},
    };
    for (const PacketSizeFailureCase& c : cases) {
        scripted::Reset();
        scripted::Loopback script;
        script.packets = {At(0, 480, 1), At(100, 480, 2), At(200, 480, 3), At(300, 480, 4)};
        c.script(script);
        scripted::SetLoopback(kPid, script);
        scripted::SetHorizon(5000);
        const auto run = scripted::Run([] { return RelaySingleStream(kPid, false, PcmFormat{}); });
        EXPECT_EQ(run.exit_code, 1) << c.name;
        EXPECT_EQ(run.err, c.err) << c.name;
        EXPECT_TRUE(SameBytes(run.out, c.out)) << c.name;
        EXPECT_LT(scripted::NowNanoseconds(), 1500000000u) << c.name << ": ended at once, not after waiting";
    }
}

// A stream that plays 480 frames every 10 ms, each packet its own value.
scripted::Loopback Steady() {
    scripted::Loopback script;
    script.source = [](size_t index) -> std::optional<scripted::Packet> {
        return At(index * 10, 480, static_cast<int16_t>(index + 1));
    };
    return script;
}

// The packets' values in the order they reached stdout.
std::vector<int16_t> PacketValues(const std::string& out) {
    std::vector<int16_t> values;
    for (size_t at = 0; at + 1920 <= out.size(); at += 1920) {
        int16_t value;
        memcpy(&value, out.data() + at, sizeof value);
        values.push_back(value);
    }
    return values;
}

// The writer blocks while stdout's reader looks away; the stream keeps the
// audio of a second, so a stall shorter than that costs nothing.
TEST_F(RelayTest, AReaderStallWithinTheBufferLosesNothing) {
    struct Case {
        uint64_t stall_ms;
        size_t dropped;  // packets, all of them of the stall's first part
    };
    for (const Case& c : {Case{500, 0}, Case{990, 0}, Case{1500, 50}}) {
        scripted::Reset();
        scripted::SetLoopback(kPid, Steady());
        scripted::StallStdoutAt(200, c.stall_ms);
        scripted::SetHorizon(200 + c.stall_ms + 300);
        const auto run = scripted::Run([] { return RelaySingleStream(kPid, false, PcmFormat{}); });
        const std::vector<int16_t> values = PacketValues(run.out);
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(scripted::Streams().at(0).packets_dropped, c.dropped) << c.stall_ms << " ms";
        size_t missing = 0;
        for (size_t i = 1; i < values.size(); ++i) {
            ASSERT_GT(values[i], values[i - 1]) << "in order, " << c.stall_ms << " ms";
            missing += static_cast<size_t>(values[i] - values[i - 1] - 1);
        }
        EXPECT_EQ(values.front(), 1);
        EXPECT_EQ(missing, c.dropped) << c.stall_ms << " ms: only what the device dropped is missing";
        EXPECT_EQ(values.size() + missing, static_cast<size_t>(values.back())) << c.stall_ms << " ms";
    }
}

// The relaying thread joins the audio scheduling class once, after READY;
// whether Windows grants it or not, the run looks the same.
TEST_F(RelayTest, JoinsTheAudioSchedulingClassOnceWhateverItAnswers) {
    std::string reference;
    for (const bool refused : {false, true}) {
        scripted::Reset();
        if (refused) scripted::SetResult("AvSetMmThreadCharacteristicsW", HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        const auto run = Relay({At(0, 480, 1), At(10, 480, 2)}, 100);
        EXPECT_EQ(run.err, "READY 5\n");
        if (!refused) reference = run.out;
        EXPECT_TRUE(SameBytes(run.out, reference));
        const auto calls = scripted::SchedulingCalls();
        ASSERT_EQ(calls.size(), 1u) << "refused: " << refused;
        EXPECT_EQ(calls[0].call, "AvSetMmThreadCharacteristicsW");
        EXPECT_EQ(calls[0].task, L"Audio");
        EXPECT_EQ(calls[0].thread, std::this_thread::get_id()) << "the thread that relays";
    }
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

// Only a pipe whose reader has gone ends the run quietly; any other failed
// write loses audio and says so. A packet of 4800 frames outgrows stdout's
// buffer and fails at the write, one of 480 at the flush.
TEST_F(RelayTest, AFailedWriteIsAnErrorUnlessTheReaderWentAway) {
    struct Case {
        size_t after;
        UINT32 frames;
        DWORD error;
        int errno_value;
        int exit_code;
        const char* err;
    };
    const Case cases[] = {
        {0, 480, ERROR_BROKEN_PIPE, EPIPE, 0, "READY 5\n"},
        {100, 4800, ERROR_NO_DATA, EPIPE, 0, "READY 5\n"},
        {0, 480, ERROR_PIPE_NOT_CONNECTED, EPIPE, 0, "READY 5\n"},
        {0, 480, ERROR_DISK_FULL, ENOSPC, 1, "READY 5\nERROR output 0x80070070\n"},
        {100, 4800, 0, ENOSPC, 1, "READY 5\nERROR output 0x80070070\n"},  // no OS error: the device took nothing
        {0, 480, ERROR_IO_DEVICE, EIO, 1, "READY 5\nERROR output 0x8007045d\n"},
        {100, 4800, 0, EBADF, 1, "READY 5\nERROR output 0x80070006\n"},
        {0, 480, ERROR_ACCESS_DENIED, EACCES, 1, "READY 5\nERROR output 0x80070005\n"},
    };
    for (const Case& c : cases) {
        scripted::Reset();
        scripted::FailStdoutAfter(c.after, c.error, c.errno_value);
        const auto run = Relay({At(0, c.frames, 1), At(0, c.frames, 2)}, 5000);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.error << "/" << c.errno_value;
        EXPECT_EQ(run.err, c.err) << c.error << "/" << c.errno_value;
        EXPECT_EQ(run.out.size(), c.after);
        EXPECT_EQ(PacketsTaken(), c.after == 0 ? 2u : 0u) << "a packet that failed to go out is not released";
    }
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
    scripted::Run([] { return RelaySingleStream(kPid, true, PcmFormat{}); });
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
