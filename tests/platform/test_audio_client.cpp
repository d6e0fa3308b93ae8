// The audio client and capture client of the process-loopback device, against
// a private sound server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>

#include "platform/posix/packet_queue.h"
#include "tests/platform/activation.h"
#include "tests/platform/sound_server.h"

// Every allocation of this program, counted on the threads that ask for it.
namespace {
thread_local bool counting_allocations = false;
std::atomic<int> allocations{0};
}  // namespace

void* operator new(size_t size, const std::nothrow_t&) noexcept {
    allocations += counting_allocations ? 1 : 0;
    return malloc(size == 0 ? 1 : size);
}
void* operator new(size_t size) {
    if (void* p = operator new(size, std::nothrow)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return operator new(size); }
// Every unaligned form is malloc and free, whatever the compiler sees.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

constexpr WAVEFORMATEX kDeviceFormat = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

// ---- The device's packet ring, without a server ---------------------------------

// Packets stamped with their sequence number, as a producer makes them.
void Produce(PacketQueue* queue, uint32_t sequence) {
    Packet* packet = NextPacket(queue);
    ASSERT_NE(packet, nullptr);
    memcpy(packet->data + (packet->frames - 1) * 4, &sequence, sizeof sequence);  // its last frame
    CommitPacket(queue);
}

uint32_t SequenceOf(const Packet* packet) {
    uint32_t sequence;
    memcpy(&sequence, packet->data + (packet->frames - 1) * 4, sizeof sequence);
    return sequence;
}

// A producer as fast as the ring lets it (it only yields while the ring is
// full) and a reader, each on a thread of its own: every packet arrives
// once, in order, unflagged, and neither side allocates once started.
TEST(PacketRing, AProducerAndAReaderPassMillionsOfPacketsInOrderWithoutAllocating) {
    constexpr uint32_t kPackets = 2000000;
    PacketQueue queue;
    SizePacketQueue(&queue, 8, kDeviceFormat);
    const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    queue.event.store(event);
    queue.signalling.store(true);
    std::atomic<int> producer_allocations{-1};
    std::atomic<bool> reader_gone{false};
    std::thread producer([&] {
        counting_allocations = true;
        for (uint32_t i = 0; i < kPackets && !reader_gone; ++i) {
            while (queue.written.load() - (queue.read.load() >> 2) >= queue.capacity && !reader_gone)
                std::this_thread::yield();
            Produce(&queue, i);
        }
        producer_allocations = allocations.load();
    });
    counting_allocations = true;
    uint32_t next = 0, out_of_order = 0, flagged = 0, stalls = 0;
    while (next < kPackets && stalls < 3) {
        DWORD flags = 0;
        if (const Packet* packet = HoldPacket(&queue, &flags)) {
            out_of_order += SequenceOf(packet) != next || packet->position != UINT64{next} * 480;
            flagged += flags != 0;
            ReleasePacket(&queue, true);
            ++next;
        } else {
            // A wake-up lost leaves the reader waiting for the packet that came.
            const auto asleep = std::chrono::steady_clock::now();
            WaitForSingleObject(event, 1000);
            stalls += std::chrono::steady_clock::now() - asleep > std::chrono::milliseconds(500);
        }
    }
    counting_allocations = false;
    const int reader_allocations = allocations.load();
    reader_gone = true;
    producer.join();
    EXPECT_EQ(next, kPackets);
    EXPECT_EQ(out_of_order + flagged + stalls, 0u) << out_of_order << " out of order, " << flagged << " flagged";
    EXPECT_EQ(queue.dropped.load(), 0u);
    EXPECT_EQ(producer_allocations.load() + reader_allocations, 0);
    CloseHandle(event);
}

// A reader that falls behind loses packets, never the producer's time: the
// oldest go while none is held, the newest while the reader holds the
// oldest. Each loss is counted, and flagged on the first packet after it.
TEST(PacketRing, AFullRingCountsItsLossAndFlagsTheNextPacket) {
    struct Case {
        const char* name;
        const char* steps;  // p: produce, h: hold, r: release it consumed, k: release it kept
        uint64_t dropped;
        std::vector<std::pair<uint32_t, bool>> read;  // what the reader then gets: sequence, flagged
    };
    const Case cases[] = {
        {"oldest dropped", "ppppp", 3, {{3, true}, {4, false}}},
        {"one more while held, the next lost", "phppp", 1, {{0, false}, {1, false}, {2, false}}},
        {"newest dropped while held, then oldest", "phpppprp", 3, {{2, true}, {5, true}}},
        {"a packet kept is read again, flag and all", "ppphk", 1, {{1, true}, {2, false}}},
        {"no loss", "pphrp", 0, {{1, false}, {2, false}}},
    };
    for (const Case& c : cases) {
        PacketQueue queue;
        SizePacketQueue(&queue, 2, kDeviceFormat);
        queue.signalling.store(true);  // with no event to set
        uint32_t sequence = 0;
        DWORD flags = 0;
        for (const char* step = c.steps; *step != '\0'; ++step) {
            if (*step == 'p') Produce(&queue, sequence++);
            if (*step == 'h' && HoldPacket(&queue, &flags) == nullptr) ADD_FAILURE() << c.name;
            if (*step == 'r' || *step == 'k') ReleasePacket(&queue, *step == 'r');
        }
        if (IsPacketHeld(&queue)) ReleasePacket(&queue, false);
        EXPECT_EQ(queue.dropped.load(), c.dropped) << c.name;
        for (const auto& [expected, flagged] : c.read) {
            const Packet* packet = HoldPacket(&queue, &flags);
            ASSERT_NE(packet, nullptr) << c.name;
            EXPECT_EQ(SequenceOf(packet), expected) << c.name;
            EXPECT_EQ(packet->position, UINT64{expected} * 480) << c.name << ": lost ones keep their place";
            EXPECT_EQ(flags == AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY, flagged) << c.name << ", packet " << expected;
            ReleasePacket(&queue, true);
        }
        EXPECT_EQ(NextPacketFrames(&queue), 0u) << c.name;
    }
}

constexpr DWORD kDeviceFlags = 0x88060000u;  // loopback, event callback, default SRC, auto-convert PCM

#define EXPECT_HR(expected, actual) \
    EXPECT_EQ(static_cast<uint32_t>(expected), static_cast<uint32_t>(actual)) << std::hex << "0x" << (actual)
#define ASSERT_HR(expected, actual) \
    ASSERT_EQ(static_cast<uint32_t>(expected), static_cast<uint32_t>(actual)) << std::hex << "0x" << (actual)

class LoopbackClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server_.Start()) GTEST_SKIP() << "no sound server: " << server_.why();
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    void TearDown() override {
        for (pid_t player : players_) StopChild(player);
        if (event_ != nullptr) CloseHandle(event_);
    }

    pid_t Play(double frequency) {
        const pid_t pid = PlayTone(frequency, 20);
        players_.push_back(pid);
        return pid;
    }

    // Activated, initialised, event attached, started; null on any failure.
    IAudioClient* OpenStarted(DWORD pid, DWORD mode, IAudioCaptureClient** capture) {
        IAudioClient* client = ActivateClient(pid, mode);
        if (client == nullptr) return nullptr;
        if (FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, 200000, 0, &kDeviceFormat, nullptr)) ||
            FAILED(client->SetEventHandle(event_)) ||
            FAILED(client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(capture))) ||
            FAILED(client->Start())) {
            ADD_FAILURE() << "could not start the device";
            return nullptr;
        }
        return client;
    }

    // Reads packets for up to timeout; stops once frames have been read.
    std::vector<int16_t> Capture(IAudioCaptureClient* capture, std::chrono::milliseconds timeout, size_t frames) {
        std::vector<int16_t> samples;
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end && samples.size() < frames * 2) {
            WaitForSingleObject(event_, 100);
            UINT32 size = 0;
            while (SUCCEEDED(capture->GetNextPacketSize(&size)) && size != 0) {
                BYTE* data = nullptr;
                UINT32 got = 0;
                DWORD flags = 0xdeadbeef;
                if (FAILED(capture->GetBuffer(&data, &got, &flags, nullptr, nullptr))) return samples;
                EXPECT_EQ(got, 480u);
                EXPECT_EQ(flags & AUDCLNT_BUFFERFLAGS_SILENT, 0u);
                const auto* packet = reinterpret_cast<const int16_t*>(data);
                samples.insert(samples.end(), packet, packet + got * 2);
                EXPECT_HR(S_OK, capture->ReleaseBuffer(got));
            }
        }
        return samples;
    }

    PrivateSoundServer server_;
    HANDLE event_ = nullptr;
    std::vector<pid_t> players_;
};

struct FormatCase {
    const char* name;
    AUDCLNT_SHAREMODE mode;
    DWORD flags;
    WAVEFORMATEX format;
};

class InitializeFormat : public LoopbackClientTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(InitializeFormat, IsRefusedAndLeavesTheClientUninitialised) {
    IAudioClient* client = ActivateClient(getpid(), PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    ASSERT_NE(client, nullptr);
    const FormatCase& c = GetParam();
    EXPECT_HR(AUDCLNT_E_UNSUPPORTED_FORMAT, client->Initialize(c.mode, c.flags, 200000, 0, &c.format, nullptr));
    EXPECT_HR(S_OK, client->Initialize(AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, 200000, 0, &kDeviceFormat, nullptr));
    EXPECT_EQ(client->Release(), 0u);
}

constexpr WAVEFORMATEX kThree = {WAVE_FORMAT_PCM, 3, 48000, 288000, 6, 16, 0};
constexpr WAVEFORMATEX kBelowRange = {WAVE_FORMAT_PCM, 2, 7999, 31996, 4, 16, 0};
constexpr WAVEFORMATEX kFloat16 = {3, 2, 48000, 192000, 4, 16, 0};
constexpr WAVEFORMATEX kExtensible = {0xFFFE, 2, 48000, 192000, 4, 16, 22};
constexpr WAVEFORMATEX kBadAverage = {WAVE_FORMAT_PCM, 2, 48000, 96000, 4, 16, 0};

INSTANTIATE_TEST_SUITE_P(
    Cases, InitializeFormat,
    ::testing::Values(FormatCase{"Exclusive", AUDCLNT_SHAREMODE_EXCLUSIVE, kDeviceFlags, kDeviceFormat},
                      FormatCase{"NoEventCallback", AUDCLNT_SHAREMODE_SHARED, 0x88020000u, kDeviceFormat},
                      FormatCase{"NotLoopback", AUDCLNT_SHAREMODE_SHARED, 0x88040000u, kDeviceFormat},
                      FormatCase{"ThreeChannels", AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, kThree},
                      FormatCase{"RateBelow8000", AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, kBelowRange},
                      FormatCase{"Float16Bits", AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, kFloat16},
                      FormatCase{"Extensible", AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, kExtensible},
                      FormatCase{"WrongByteRate", AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, kBadAverage}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.name); });

TEST_F(LoopbackClientTest, CallsOutOfOrderAreRefusedAsWindowsRefusesThem) {
    IAudioClient* client = ActivateClient(getpid(), PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    ASSERT_NE(client, nullptr);
    auto* capture = reinterpret_cast<IAudioCaptureClient*>(0xdeadbeef);
    EXPECT_HR(AUDCLNT_E_NOT_INITIALIZED, client->SetEventHandle(event_));
    EXPECT_HR(AUDCLNT_E_NOT_INITIALIZED,
              client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture)));
    EXPECT_EQ(capture, nullptr);
    EXPECT_HR(AUDCLNT_E_NOT_INITIALIZED, client->Start());
    EXPECT_HR(AUDCLNT_E_NOT_INITIALIZED, client->Stop());

    EXPECT_HR(E_POINTER, client->Initialize(AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, 200000, 0, nullptr, nullptr));
    EXPECT_HR(S_OK, client->Initialize(AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, 200000, 0, &kDeviceFormat, nullptr));
    EXPECT_HR(AUDCLNT_E_ALREADY_INITIALIZED,
              client->Initialize(AUDCLNT_SHAREMODE_SHARED, kDeviceFlags, 200000, 0, &kDeviceFormat, nullptr));
    EXPECT_HR(AUDCLNT_E_EVENTHANDLE_NOT_SET, client->Start());
    EXPECT_HR(E_INVALIDARG, client->SetEventHandle(nullptr));
    IUnknown* other = reinterpret_cast<IUnknown*>(0xdeadbeef);
    EXPECT_HR(E_NOINTERFACE, client->GetService(__uuidof(IAudioClient), reinterpret_cast<void**>(&other)));
    EXPECT_EQ(other, nullptr);
    EXPECT_HR(S_OK, client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture)));
    ASSERT_NE(capture, nullptr);

    BYTE* data = reinterpret_cast<BYTE*>(0xdeadbeef);
    UINT32 frames = 0xdeadbeef;
    DWORD flags = 0xdeadbeef;
    EXPECT_HR(AUDCLNT_E_OUT_OF_ORDER, capture->ReleaseBuffer(480));
    EXPECT_HR(E_POINTER, capture->GetBuffer(nullptr, &frames, &flags, nullptr, nullptr));
    EXPECT_HR(AUDCLNT_S_BUFFER_EMPTY, capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 0u);
    EXPECT_HR(E_POINTER, capture->GetNextPacketSize(nullptr));

    EXPECT_HR(S_OK, client->SetEventHandle(event_));
    EXPECT_HR(S_FALSE, client->Stop());
    EXPECT_HR(S_OK, client->Start());
    EXPECT_HR(AUDCLNT_E_NOT_STOPPED, client->Start());
    EXPECT_HR(S_OK, client->Stop());
    EXPECT_HR(S_FALSE, client->Stop());
    // The capture client keeps the device alive after the audio client goes.
    EXPECT_EQ(client->Release(), 1u);
    UINT32 size = 0xdeadbeef;
    EXPECT_HR(S_OK, capture->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(capture->Release(), 0u);
}

TEST_F(LoopbackClientTest, DeliversNothingWhileNoMatchingStreamPlays) {
    const pid_t player = Play(440);
    ASSERT_GT(player, 0);
    // A process of its own, outside the player's tree, that plays nothing.
    const pid_t quiet = fork();
    if (quiet == 0) {
        pause();
        _exit(0);
    }
    players_.push_back(quiet);
    IAudioCaptureClient* silent = nullptr;
    IAudioCaptureClient* playing = nullptr;
    IAudioClient* nobody = OpenStarted(quiet, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &silent);
    IAudioClient* someone = OpenStarted(player, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &playing);
    ASSERT_NE(nobody, nullptr);
    ASSERT_NE(someone, nullptr);
    ASSERT_GE(Capture(playing, std::chrono::seconds(6), 24000).size(), 48000u) << "the player never got going";
    UINT32 size = 0xdeadbeef;
    EXPECT_HR(S_OK, silent->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(silent->Release(), 0u);
    EXPECT_EQ(playing->Release(), 0u);
    EXPECT_EQ(nobody->Release(), 0u);
    EXPECT_EQ(someone->Release(), 0u);
}

// PipeWire's native clients name their process on the connection alone. The
// device follows a stream to its client's process, and follows the client
// when it names another.
TEST_F(LoopbackClientTest, AStreamThatNamesNoProcessIsCapturedWithItsClientsProcess) {
    pid_t idle[2];
    for (pid_t& pid : idle) {
        pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        players_.push_back(pid);
    }
    TestStream stream(nullptr, false, idle[0]);
    ASSERT_TRUE(stream.ready());
    IAudioCaptureClient* first = nullptr;
    IAudioCaptureClient* second = nullptr;
    IAudioClient* first_client = OpenStarted(idle[0], PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &first);
    IAudioClient* second_client = OpenStarted(idle[1], PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &second);
    ASSERT_NE(first_client, nullptr);
    ASSERT_NE(second_client, nullptr);
    EXPECT_GE(Capture(first, std::chrono::seconds(6), 24000).size(), 48000u) << "not captured with its client";
    UINT32 size = 0xdeadbeef;
    EXPECT_HR(S_OK, second->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u);

    stream.ClaimProcess(idle[1]);
    EXPECT_GE(Capture(second, std::chrono::seconds(6), 24000).size(), 48000u)
        << "the client's new process not followed";
    Capture(first, std::chrono::milliseconds(300), 1000000);  // drains what was mixed before the change
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_HR(S_OK, first->GetNextPacketSize(&size));
    EXPECT_EQ(size, 0u) << "still captured with the client's old process";
    for (IAudioClient* client : {first_client, second_client}) client->Stop();
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(second->Release(), 0u);
    EXPECT_EQ(first_client->Release(), 0u);
    EXPECT_EQ(second_client->Release(), 0u);
}

// Mix mode opens and closes devices as processes come and go; a device torn
// down while its monitors are busy must leave nothing running behind it.
TEST_F(LoopbackClientTest, StopAndReleaseWhileStreamingTearDownCleanly) {
    const pid_t player = Play(440);
    IAudioCaptureClient* warm = nullptr;
    IAudioClient* warmup = OpenStarted(player, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &warm);
    ASSERT_NE(warmup, nullptr);
    ASSERT_FALSE(Capture(warm, std::chrono::seconds(6), 4800).empty());
    for (int round = 0; round < 20; ++round) {
        IAudioCaptureClient* capture = nullptr;
        IAudioClient* client = OpenStarted(player, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &capture);
        ASSERT_NE(client, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 4 * 15));
        client->Stop();
        EXPECT_EQ(capture->Release(), 0u);
        EXPECT_EQ(client->Release(), 0u);
    }
    warmup->Stop();
    EXPECT_EQ(warm->Release(), 0u);
    EXPECT_EQ(warmup->Release(), 0u);
}

// Every device and every enumeration of a process speaks to the server over
// one connection: a connection each costs a main loop thread and a memory pool.
TEST_F(LoopbackClientTest, DevicesAndEnumerationsShareOneConnection) {
    const pid_t player = Play(440);
    IAudioCaptureClient* captures[3] = {};
    IAudioClient* clients[3] = {};
    for (int i = 0; i < 3; ++i) {
        clients[i] = OpenStarted(player, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &captures[i]);
        ASSERT_NE(clients[i], nullptr);
    }
    IMMDeviceEnumerator* enumerator = nullptr;
    ASSERT_HR(S_OK, CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                     reinterpret_cast<void**>(&enumerator)));
    IMMDeviceCollection* devices = nullptr;
    EXPECT_HR(S_OK, enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices));
    EXPECT_EQ(CountClients("pcmtap"), 1);
    if (devices != nullptr) devices->Release();
    enumerator->Release();
    for (int i = 0; i < 3; ++i) {
        clients[i]->Stop();
        EXPECT_EQ(captures[i]->Release(), 0u);
        EXPECT_EQ(clients[i]->Release(), 0u);
    }
}

// A lost server invalidates the open device; once the server is back a new
// activation connects afresh instead of reusing the dead connection.
TEST_F(LoopbackClientTest, AfterTheServerIsLostANewActivationReconnects) {
    IAudioCaptureClient* capture = nullptr;
    IAudioClient* client =
        OpenStarted(static_cast<DWORD>(getpid()), PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &capture);
    ASSERT_NE(client, nullptr);
    server_.Stop();
    UINT32 size = 0;
    HRESULT hr = S_OK;
    for (int i = 0; i < 50 && SUCCEEDED(hr); ++i) {
        WaitForSingleObject(event_, 100);
        hr = capture->GetNextPacketSize(&size);
    }
    EXPECT_HR(AUDCLNT_E_DEVICE_INVALIDATED, hr);

    ASSERT_TRUE(server_.Start()) << server_.why();
    IAudioCaptureClient* again_capture = nullptr;
    IAudioClient* again =
        OpenStarted(static_cast<DWORD>(getpid()), PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, &again_capture);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(CountClients("pcmtap"), 1);
    again->Stop();
    EXPECT_EQ(again_capture->Release(), 0u);
    EXPECT_EQ(again->Release(), 0u);
    client->Stop();
    EXPECT_EQ(capture->Release(), 0u);
    EXPECT_EQ(client->Release(), 0u);
}

}  // namespace
