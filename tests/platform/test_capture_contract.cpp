// The capture client as Windows documents it, and as process-loopback
// clients on real machines are reported to behave: what a lost stream
// returns, how much unread audio the device keeps, what it delivers for a
// silent target, a target it cannot hear and a target that exits, and which
// of the audio client's calls it answers. The same cases run on every implementation of ours (see
// capture_contract.h); times are on the implementation's own clock (Sleep,
// GetTickCount).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

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
    IAudioCaptureClient* Open(DWORD pid, REFERENCE_TIME buffer, const WAVEFORMATEX& format = kFormat) {
        OpenStream stream;
        stream.client = ActivateClient(pid, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
        if (stream.client == nullptr) return nullptr;
        if (FAILED(stream.client->Initialize(AUDCLNT_SHAREMODE_SHARED, kFlags, buffer, 0, &format, nullptr)) ||
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

// A stream that breaks under the device and is made again has lost what it
// was making: the first packet after says so, once, and audio flows again.
TEST_F(CaptureContract, AStreamMadeAgainFlagsItsLossOnTheNextPacket) {
    const DWORD player = world_->Player();
    ASSERT_NE(player, 0u);
    IAudioCaptureClient* capture = Open(player, kOneSecond);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(AwaitAudio(capture)) << "the player never got going";
    std::string why;
    if (!world_->BreakStream(&why)) GTEST_SKIP() << why;
    std::vector<Read> after;
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 3000; Sleep(10))
        for (const Read& packet : Drain(capture)) after.push_back(packet);
    const auto flagged = std::count_if(after.begin(), after.end(), [](const Read& packet) {
        return (packet.flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
    });
    EXPECT_EQ(flagged, 1);
    EXPECT_GT(after.size(), 100u) << "no audio once the stream was made again";
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

// The engine converts to the format asked for: frames at its rate, in
// packets of 10 ms, none lost.
TEST_F(CaptureContract, AudioComesAtTheRateAsked) {
    const DWORD player = world_->Player();
    ASSERT_NE(player, 0u);
    for (const WAVEFORMATEX& format : {WAVEFORMATEX{WAVE_FORMAT_PCM, 1, 16000, 32000, 2, 16, 0},
                                       WAVEFORMATEX{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0}}) {
        IAudioCaptureClient* capture = Open(player, kOneSecond, format);
        ASSERT_TRUE(capture != nullptr && AwaitAudio(capture)) << format.nSamplesPerSec << ": no audio";
        Sleep(500);  // a server settles its new stream's latency first
        Drain(capture);
        const DWORD start = GetTickCount();
        Sleep(500);
        const UINT32 period = format.nSamplesPerSec / 100;
        UINT32 frames = 0, odd = 0;
        for (const Read& packet : Drain(capture)) {
            frames += packet.frames;
            odd += packet.frames > period || (packet.flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0;
        }
        EXPECT_NEAR(frames, period / 10.0 * (GetTickCount() - start), (world_->Slack() + 1) * period) << period;
        EXPECT_EQ(odd, 0u) << period << " frames a period: packets longer, or flagged";
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

// The process-loopback client is no endpoint's client: it reports no mix
// format, latency, period or padding, no buffer size that means anything,
// and hands out neither the newer client interfaces nor any service but
// the capture client.
TEST_F(CaptureContract, TheClientAnswersOnlyWhatProcessLoopbackGives) {
    const DWORD quiet = world_->Quiet();
    ASSERT_NE(quiet, 0u);
    IAudioClient* client = ActivateClient(quiet, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kFlags, kOneSecond, 0, &kFormat, nullptr), S_OK);
    struct Case {
        const char* call;
        std::function<HRESULT()> make;
        HRESULT expected;
    };
    UINT32 frames = 0xdeadbeef;
    REFERENCE_TIME period = 0, least = 0;
    WAVEFORMATEX* format = nullptr;
    const auto query = [client](const IID& iid) {
        void* out = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});
        const HRESULT hr = client->QueryInterface(iid, &out);
        return out == nullptr ? hr : E_UNEXPECTED;  // nothing may come back with a refusal
    };
    const auto service = [client](const IID& iid) {
        void* out = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});
        const HRESULT hr = client->GetService(iid, &out);
        return out == nullptr ? hr : E_UNEXPECTED;
    };
    const Case cases[] = {
        {"GetMixFormat", [&] { return client->GetMixFormat(&format); }, E_NOTIMPL},
        {"IsFormatSupported", [&] { return client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &kFormat, &format); },
         E_NOTIMPL},
        {"GetStreamLatency", [&] { return client->GetStreamLatency(&period); }, E_NOTIMPL},
        {"GetDevicePeriod", [&] { return client->GetDevicePeriod(&period, &least); }, E_NOTIMPL},
        {"GetCurrentPadding", [&] { return client->GetCurrentPadding(&frames); }, E_NOTIMPL},
        {"GetBufferSize", [&] { return client->GetBufferSize(&frames); }, S_OK},
        {"QueryInterface(IAudioClient2)", [&] { return query(__uuidof(IAudioClient2)); }, E_NOINTERFACE},
        {"QueryInterface(IAudioClient3)", [&] { return query(__uuidof(IAudioClient3)); }, E_NOINTERFACE},
        {"GetService(IAudioClock)", [&] { return service(__uuidof(IAudioClock)); }, E_NOINTERFACE},
        {"GetService(IAudioRenderClient)", [&] { return service(__uuidof(IAudioRenderClient)); }, E_NOINTERFACE},
        {"GetService(ISimpleAudioVolume)", [&] { return service(__uuidof(ISimpleAudioVolume)); }, E_NOINTERFACE},
        {"GetService(IAudioStreamVolume)", [&] { return service(__uuidof(IAudioStreamVolume)); }, E_NOINTERFACE},
        {"GetService(IAudioSessionControl)", [&] { return service(__uuidof(IAudioSessionControl)); }, E_NOINTERFACE},
    };
    for (const Case& c : cases) EXPECT_HR(c.expected, c.make()) << c.call;
    EXPECT_NE(frames, 0xdeadbeefu) << "GetBufferSize gave a count, whatever it means";
    EXPECT_EQ(client->Release(), 0u);
}

// Audio that the loopback cannot see still makes the device run: packets of
// zeros at the real-time rate, not silence flags and not nothing.
TEST_F(CaptureContract, ATargetOnAPathTheLoopbackCannotSeeGetsZerosInRealTime) {
    std::string why;
    const DWORD unseen = world_->UnseenPlayer(&why);
    if (unseen == 0) GTEST_SKIP() << why;
    IAudioCaptureClient* capture = Open(unseen, kOneSecond);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(AwaitAudio(capture)) << "nothing came at all";
    Sleep(1000);
    UINT32 frames = 0, size = 0, nonzero = 0;
    while (SUCCEEDED(capture->GetNextPacketSize(&size)) && size != 0) {
        BYTE* data = nullptr;
        UINT32 got = 0;
        DWORD flags = 0;
        ASSERT_EQ(capture->GetBuffer(&data, &got, &flags, nullptr, nullptr), S_OK);
        if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) {
            const auto* samples = reinterpret_cast<const int16_t*>(data);
            for (UINT32 i = 0; i < got * 2; ++i) nonzero += samples[i] != 0 ? 1 : 0;
        }
        capture->ReleaseBuffer(got);
        frames += got;
    }
    EXPECT_EQ(nonzero, 0u);
    const UINT32 slack = (world_->Slack() + 1) * 480;
    EXPECT_GE(frames + slack, 48000u) << "a second of zeros";
    EXPECT_LE(frames, 48000u + slack);
}

// A target that exits leaves the stream open: the capture calls go on
// succeeding, and nothing more comes.
TEST_F(CaptureContract, ATargetThatExitsLeavesItsStreamOpenAndQuiet) {
    const DWORD player = world_->Player();
    ASSERT_NE(player, 0u);
    IAudioCaptureClient* capture = Open(player, kOneSecond);
    ASSERT_NE(capture, nullptr);
    ASSERT_TRUE(AwaitAudio(capture)) << "the player never got going";
    world_->EndPlayer(player);
    Sleep(500);
    Drain(capture);  // what it played last
    Sleep(500);
    EXPECT_TRUE(Drain(capture).empty());
    UINT32 size = 0xdeadbeef;
    EXPECT_HR(S_OK, capture->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u);
    BYTE* data = nullptr;
    UINT32 frames = 0xdeadbeef;
    DWORD flags = 0xdeadbeef;
    EXPECT_HR(AUDCLNT_S_BUFFER_EMPTY, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
}

}  // namespace
