// The capture client as Windows documents it: what a lost stream returns, how
// much unread audio the device keeps, and what it delivers for a silent
// target. The same cases run on every implementation of ours (see
// capture_contract.h); times are on the implementation's own clock (Sleep,
// GetTickCount).
#include <gtest/gtest.h>

#include "tests/platform/activation.h"
#include "tests/platform/capture_contract.h"

namespace {

constexpr WAVEFORMATEX kFormat = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
constexpr DWORD kFlags = 0x88060000u;  // loopback, event callback, default SRC, auto-convert PCM
constexpr REFERENCE_TIME kOneSecond = 10000000;

#define EXPECT_HR(expected, actual) \
    EXPECT_EQ(static_cast<uint32_t>(expected), static_cast<uint32_t>(actual)) << std::hex << "0x" << (actual)

struct Read {
    UINT32 frames;
    DWORD flags;
};

struct OpenStream {
    IAudioClient* client = nullptr;
    IAudioCaptureClient* capture = nullptr;
};

class CaptureContract : public ::testing::Test {
protected:
    void SetUp() override {
        world_ = MakeCaptureContractWorld();
        const std::string why = world_->Start();
        if (!why.empty()) GTEST_SKIP() << why;
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        for (OpenStream& stream : streams_) {
            stream.client->Stop();
            EXPECT_EQ(stream.capture->Release(), 0u);
            EXPECT_EQ(stream.client->Release(), 0u);
        }
        if (event_ != nullptr) CloseHandle(event_);
        for (const std::string& misuse : world_->Finish()) ADD_FAILURE() << "platform misuse: " << misuse;
    }

    // Activated, initialised with that buffer, started; null on any failure.
    IAudioCaptureClient* Open(DWORD pid, REFERENCE_TIME buffer) {
        OpenStream stream;
        stream.client = ActivateClient(pid, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
        if (stream.client == nullptr) return nullptr;
        if (FAILED(stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, kFlags, buffer, 0, &kFormat, nullptr)) ||
            FAILED(stream.client->SetEventHandle(event_)) ||
            FAILED(
                stream.client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&stream.capture))) ||
            FAILED(stream.client->Start())) {
            ADD_FAILURE() << "could not start the stream";
            return nullptr;
        }
        streams_.push_back(stream);
        return stream.capture;
    }

    // Reads every packet waiting now.
    static std::vector<Read> Drain(IAudioCaptureClient* capture) {
        std::vector<Read> packets;
        UINT32 size = 0;
        while (SUCCEEDED(capture->GetNextPacketSize(&size)) && size != 0) {
            BYTE* data = nullptr;
            Read packet{0, 0};
            if (FAILED(capture->GetBuffer(&data, &packet.frames, &packet.flags, nullptr, nullptr))) break;
            capture->ReleaseBuffer(packet.frames);
            packets.push_back(packet);
        }
        return packets;
    }

    // Reads until audio flows; false if none came within 6 s.
    static bool AwaitAudio(IAudioCaptureClient* capture) {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < 6000) {
            if (!Drain(capture).empty()) return true;
            Sleep(10);
        }
        return false;
    }

    std::unique_ptr<CaptureContractWorld> world_;
    HANDLE event_ = nullptr;
    std::vector<OpenStream> streams_;
};

// Windows fails GetNextPacketSize itself once the audio service has gone,
// and GetBuffer too; the stream never comes back.
TEST_F(CaptureContract, ALostStreamFailsGetNextPacketSizeAndGetBuffer) {
    const DWORD player = world_->Player();
    ASSERT_NE(player, 0u);
    IAudioCaptureClient* capture = Open(player, kOneSecond);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(AwaitAudio(capture)) << "the player never got going";

    world_->LoseServer();
    UINT32 size = 0xdeadbeef;
    HRESULT hr = S_OK;
    const DWORD start = GetTickCount();
    while (SUCCEEDED(hr = capture->GetNextPacketSize(&size)) && GetTickCount() - start < 5000) {
        Drain(capture);  // the loss may take a moment to be noticed
        Sleep(10);
    }
    EXPECT_HR(AUDCLNT_E_DEVICE_INVALIDATED, hr);
    BYTE* data = reinterpret_cast<BYTE*>(uintptr_t{0xdeadbeef});
    UINT32 frames = 0xdeadbeef;
    DWORD flags = 0xdeadbeef;
    EXPECT_HR(AUDCLNT_E_DEVICE_INVALIDATED, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 0u);
    Sleep(100);
    EXPECT_HR(AUDCLNT_E_DEVICE_INVALIDATED, capture->GetNextPacketSize(&size)) << "for good";
}

// The device keeps about the buffer duration given to Initialize (at least
// one packet) of unread audio. A reader further behind loses the oldest, and
// the first packet after the loss is flagged as a discontinuity.
TEST_F(CaptureContract, TheBufferHoldsWhatInitializeAskedForAndFlagsALoss) {
    struct Case {
        REFERENCE_TIME buffer;
        UINT32 capacity;  // frames
    };
    const DWORD player = world_->Player();
    ASSERT_NE(player, 0u);
    const UINT32 slack = world_->Slack() * 480;
    for (const Case& c : {Case{0, 480}, Case{200000, 960}, Case{kOneSecond, 48000}}) {
        IAudioCaptureClient* capture = Open(player, c.buffer);
        ASSERT_NE(capture, nullptr);
        ASSERT_TRUE(AwaitAudio(capture)) << "the player never got going";
        Drain(capture);
        Sleep(300);  // the reader looks away
        const std::vector<Read> packets = Drain(capture);
        ASSERT_FALSE(packets.empty()) << c.buffer;
        UINT32 frames = 0;
        for (const Read& packet : packets) frames += packet.frames;
        const bool lost = c.capacity < 300 * 48;
        if (lost) {
            EXPECT_LE(frames, c.capacity + slack) << "buffer " << c.buffer;
            EXPECT_GE(frames, std::min<UINT32>(c.capacity, 480)) << "buffer " << c.buffer;
            EXPECT_EQ(packets[0].flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY,
                      static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY))
                << "buffer " << c.buffer << ": the first packet after the loss says so";
        } else {
            EXPECT_GE(frames + slack, 300u * 48) << "all of the stall is kept";
            EXPECT_EQ(packets[0].flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0u);
        }
        for (size_t i = 1; i < packets.size(); ++i)
            EXPECT_EQ(packets[i].flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, 0u) << "packet " << i;
    }
}

// A target that renders nothing gets nothing at all, not silence.
TEST_F(CaptureContract, NothingIsDeliveredWhileTheTargetIsSilent) {
    const DWORD player = world_->Player();
    const DWORD quiet = world_->Quiet();
    ASSERT_NE(player, 0u);
    ASSERT_NE(quiet, 0u);
    IAudioCaptureClient* silent = Open(quiet, kOneSecond);
    IAudioCaptureClient* playing = Open(player, kOneSecond);
    ASSERT_NE(silent, nullptr);
    ASSERT_NE(playing, nullptr);
    ASSERT_TRUE(AwaitAudio(playing)) << "the player never got going";
    Sleep(200);
    UINT32 size = 0xdeadbeef;
    EXPECT_HR(S_OK, silent->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u);
    BYTE* data = reinterpret_cast<BYTE*>(uintptr_t{0xdeadbeef});
    UINT32 frames = 0xdeadbeef;
    DWORD flags = 0xdeadbeef;
    EXPECT_HR(AUDCLNT_S_BUFFER_EMPTY, silent->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
    EXPECT_EQ(frames, 0u);
}

}  // namespace
