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

// A playback stream of this process, as a player would open one.
class TestStream {
public:
    TestStream(const char* role, bool corked) {
        loop_ = pa_threaded_mainloop_new();
        pa_threaded_mainloop_start(loop_);
        pa_threaded_mainloop_lock(loop_);
        context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "session test");
        pa_context_set_state_callback(context_, Signal, loop_);
        pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
        while (PA_CONTEXT_IS_GOOD(pa_context_get_state(context_)) && pa_context_get_state(context_) != PA_CONTEXT_READY)
            pa_threaded_mainloop_wait(loop_);
        pa_proplist* properties = pa_proplist_new();
        if (role != nullptr) pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, role);
        static const pa_sample_spec kSpec = {PA_SAMPLE_S16LE, 48000, 2};
        stream_ = pa_stream_new_with_proplist(context_, "test", &kSpec, nullptr, properties);
        pa_proplist_free(properties);
        pa_stream_set_state_callback(
            stream_, [](pa_stream*, void* loop) { Signal(nullptr, loop); }, loop_);
        pa_stream_connect_playback(stream_, nullptr, nullptr, corked ? PA_STREAM_START_CORKED : PA_STREAM_NOFLAGS,
                                   nullptr, nullptr);
        while (PA_STREAM_IS_GOOD(pa_stream_get_state(stream_)) && pa_stream_get_state(stream_) != PA_STREAM_READY)
            pa_threaded_mainloop_wait(loop_);
        ready_ = pa_stream_get_state(stream_) == PA_STREAM_READY;
        pa_threaded_mainloop_unlock(loop_);
    }
    ~TestStream() {
        pa_threaded_mainloop_lock(loop_);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        pa_threaded_mainloop_unlock(loop_);
        pa_threaded_mainloop_stop(loop_);
        pa_threaded_mainloop_free(loop_);
    }
    bool ready() const { return ready_; }

private:
    static void Signal(pa_context*, void* loop) {
        pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }
    pa_threaded_mainloop* loop_;
    pa_context* context_;
    pa_stream* stream_;
    bool ready_ = false;
};

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

}  // namespace
