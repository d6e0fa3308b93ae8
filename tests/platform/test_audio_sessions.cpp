// Endpoints and sessions: CoCreateInstance(MMDeviceEnumerator) and what it
// reports of a private sound server's sinks and playback streams.
#include <gtest/gtest.h>
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "tests/platform/sound_server.h"

namespace {

#define EXPECT_HR(expected, actual) \
    EXPECT_EQ(static_cast<uint32_t>(expected), static_cast<uint32_t>(actual)) << std::hex << "0x" << (actual)

struct CreateCase {
    const char* name;
    bool other_class, outer, other_interface, null_out;
    HRESULT expected;
};

class CreateInstance : public ::testing::TestWithParam<CreateCase> {};

TEST_P(CreateInstance, RefusesWhatWindowsRefuses) {
    const CreateCase& c = GetParam();
    static constexpr GUID kOtherClass = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    IUnknown* outer = reinterpret_cast<IUnknown*>(0x1);
    const HRESULT hr = CoCreateInstance(
        c.other_class ? kOtherClass : __uuidof(MMDeviceEnumerator), c.outer ? outer : nullptr, CLSCTX_ALL,
        c.other_interface ? __uuidof(IAudioClient) : __uuidof(IMMDeviceEnumerator), c.null_out ? nullptr : &out);
    EXPECT_HR(c.expected, hr);
    if (!c.null_out) {
        EXPECT_EQ(out, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, CreateInstance,
                         ::testing::Values(CreateCase{"NullOut", false, false, false, true, E_POINTER},
                                           CreateCase{"Aggregation", false, true, false, false, CLASS_E_NOAGGREGATION},
                                           CreateCase{"OtherClass", true, false, false, false, REGDB_E_CLASSNOTREG},
                                           CreateCase{"OtherInterface", false, false, true, false, E_NOINTERFACE}),
                         [](const ::testing::TestParamInfo<CreateCase>& info) { return std::string(info.param.name); });

IMMDeviceEnumerator* CreateEnumerator() {
    IMMDeviceEnumerator* enumerator = nullptr;
    EXPECT_HR(S_OK, CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                     reinterpret_cast<void**>(&enumerator)));
    return enumerator;
}

TEST(Endpoints, WithoutAServerCannotBeEnumerated) {
    UseNoSoundServer();
    IMMDeviceEnumerator* enumerator = CreateEnumerator();
    ASSERT_NE(enumerator, nullptr);
    auto* devices = reinterpret_cast<IMMDeviceCollection*>(0xdeadbeef);
    EXPECT_HR(AUDCLNT_E_SERVICE_NOT_RUNNING, enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices));
    EXPECT_EQ(devices, nullptr);
    EXPECT_EQ(enumerator->Release(), 0u);
}

struct Session {
    AudioSessionState state;
    HRESULT system_sounds;
    DWORD pid;
};

// Every session of every active render endpoint, through the interfaces the
// tool uses, each reference released as soon as it is done with.
std::vector<Session> ListSessions(UINT* endpoint_count) {
    std::vector<Session> sessions;
    IMMDeviceEnumerator* enumerator = CreateEnumerator();
    IMMDeviceCollection* devices = nullptr;
    EXPECT_HR(S_OK, enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices));
    EXPECT_EQ(enumerator->Release(), 0u) << "the collection must not need the enumerator";
    if (devices == nullptr) return sessions;
    UINT count = 0;
    EXPECT_HR(S_OK, devices->GetCount(&count));
    *endpoint_count = count;
    IMMDevice* device = reinterpret_cast<IMMDevice*>(0xdeadbeef);
    EXPECT_HR(E_INVALIDARG, devices->Item(count, &device));
    EXPECT_EQ(device, nullptr);
    for (UINT i = 0; i < count; ++i) {
        EXPECT_HR(S_OK, devices->Item(i, &device));
        void* other = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_HR(E_NOINTERFACE, device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, &other));
        EXPECT_EQ(other, nullptr);
        IAudioSessionManager2* manager = nullptr;
        EXPECT_HR(S_OK, device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                         reinterpret_cast<void**>(&manager)));
        EXPECT_EQ(device->Release(), 0u);
        IAudioSessionEnumerator* list = nullptr;
        EXPECT_HR(S_OK, manager->GetSessionEnumerator(&list));
        EXPECT_EQ(manager->Release(), 0u);
        int sessions_on_device = 0;
        EXPECT_HR(S_OK, list->GetCount(&sessions_on_device));
        for (int s = 0; s < sessions_on_device; ++s) {
            IAudioSessionControl* control = nullptr;
            EXPECT_HR(S_OK, list->GetSession(s, &control));
            IAudioSessionControl2* control2 = nullptr;
            EXPECT_HR(S_OK,
                      control->QueryInterface(__uuidof(IAudioSessionControl2), reinterpret_cast<void**>(&control2)));
            Session session{AudioSessionStateExpired, E_FAIL, 0xdeadbeef};
            EXPECT_HR(S_OK, control2->GetState(&session.state));
            session.system_sounds = control2->IsSystemSoundsSession();
            EXPECT_HR(S_OK, control2->GetProcessId(&session.pid));
            sessions.push_back(session);
            EXPECT_EQ(control2->Release(), 1u);
            EXPECT_EQ(control->Release(), 0u);
        }
        IAudioSessionControl* beyond = reinterpret_cast<IAudioSessionControl*>(0xdeadbeef);
        EXPECT_HR(E_INVALIDARG, list->GetSession(sessions_on_device, &beyond));
        EXPECT_EQ(beyond, nullptr);
        EXPECT_EQ(list->Release(), 0u);
    }
    EXPECT_EQ(devices->Release(), 0u);
    return sessions;
}

class SessionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!server_.Start()) GTEST_SKIP() << "no sound server: " << server_.why();
    }
    PrivateSoundServer server_;
};

TEST_F(SessionsTest, AnIdleServerHasOneEndpointAndNoSessions) {
    UINT endpoints = 0;
    EXPECT_TRUE(ListSessions(&endpoints).empty());
    EXPECT_EQ(endpoints, 1u);
}

TEST_F(SessionsTest, EachPlaybackStreamIsASessionWithItsStateRoleAndProcess) {
    TestStream playing(nullptr, false);
    TestStream paused("music", true);
    TestStream event("event", false);
    ASSERT_TRUE(playing.ready() && paused.ready() && event.ready());
    const pid_t player = PlayTone(440, 5);
    ASSERT_GT(player, 0);

    UINT endpoints = 0;
    std::vector<Session> sessions = ListSessions(&endpoints);
    for (int i = 0; i < 150 && sessions.size() < 4; ++i) {  // until the player has connected
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        sessions = ListSessions(&endpoints);
    }
    StopChild(player);
    ASSERT_EQ(sessions.size(), 4u);
    const DWORD self = static_cast<DWORD>(getpid());
    int active = 0, inactive = 0, system = 0, from_player = 0;
    for (const Session& session : sessions) {
        EXPECT_TRUE(session.pid == self || session.pid == static_cast<DWORD>(player)) << session.pid;
        from_player += session.pid == static_cast<DWORD>(player);
        active += session.state == AudioSessionStateActive;
        inactive += session.state == AudioSessionStateInactive;
        EXPECT_TRUE(session.system_sounds == S_OK || session.system_sounds == S_FALSE) << session.system_sounds;
        system += session.system_sounds == S_OK;
    }
    EXPECT_EQ(from_player, 1);
    EXPECT_EQ(active, 3);
    EXPECT_EQ(inactive, 1);
    EXPECT_EQ(system, 1);
}

// PipeWire's native clients name their process on the connection alone: such
// a stream's session belongs to its client's process.
TEST_F(SessionsTest, AStreamThatNamesNoProcessBelongsToItsClients) {
    const pid_t idle = fork();
    if (idle == 0) {
        pause();
        _exit(0);
    }
    std::vector<Session> sessions;
    {
        TestStream stream(nullptr, false, idle);
        UINT endpoints = 0;
        if (stream.ready()) sessions = ListSessions(&endpoints);
    }
    StopChild(idle);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].pid, static_cast<DWORD>(idle));
}

}  // namespace
