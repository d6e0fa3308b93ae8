#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "capture/loopback_stream.h"
#include "tests/doubles/scripted_test.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string Hex(HRESULT hr) {
    char text[16];
    snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(hr));
    return text;
}

// A record the caller filled with sentinels: a failed open must leave it so.
CaptureStream Sentinel() {
    CaptureStream stream;
    stream.audio_client = reinterpret_cast<IAudioClient*>(uintptr_t{0xdeadbeef});
    stream.capture_client = reinterpret_cast<IAudioCaptureClient*>(uintptr_t{0xdeadbee1});
    stream.event = reinterpret_cast<HANDLE>(uintptr_t{0xdeadbee2});
    return stream;
}

bool IsSentinel(const CaptureStream& stream) {
    const CaptureStream sentinel = Sentinel();
    return stream.audio_client == sentinel.audio_client && stream.capture_client == sentinel.capture_client &&
           stream.event == sentinel.event;
}

// The releases and closes that happened after the named call.
std::vector<std::string> UnwindAfter(const std::string& call) {
    const auto& calls = scripted::Calls();
    std::vector<std::string> unwind;
    bool seen = false;
    for (const std::string& name : calls) {
        if (name == call) seen = true;
        if (seen && (name == "IAudioClient::Stop" || name.find("::Release") != std::string::npos ||
                     name.rfind("CloseHandle", 0) == 0))
            unwind.push_back(name);
    }
    return unwind;
}

class OpenTest : public ScriptedTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OpenTest, OpensAStartedStreamInTheFixedFormat) {
    scripted::Loopback script;
    script.complete_on_thread = GetParam();
    scripted::SetLoopback(1234, script);
    CaptureStream stream;
    StageLabel label = "untouched";

    ASSERT_EQ(OpenLoopbackStream(1234, kExcludeTargetTree, PcmFormat{}, &stream, &label), S_OK);
    scripted::Settle();
    EXPECT_NE(stream.audio_client, nullptr);
    EXPECT_NE(stream.capture_client, nullptr);
    EXPECT_NE(stream.event, nullptr);

    const auto activations = scripted::Activations();
    ASSERT_EQ(activations.size(), 1u);
    EXPECT_EQ(activations[0].path, L"VAD\\Process_Loopback");
    EXPECT_TRUE(activations[0].iid == __uuidof(IAudioClient));
    EXPECT_EQ(activations[0].vt, VT_BLOB);
    EXPECT_EQ(activations[0].blob_size, 12u);
    EXPECT_EQ(activations[0].params.ActivationType, AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK);
    EXPECT_EQ(activations[0].params.ProcessLoopbackParams.TargetProcessId, 1234u);
    EXPECT_EQ(activations[0].params.ProcessLoopbackParams.ProcessLoopbackMode,
              PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE);

    const auto streams = scripted::Streams();
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_TRUE(streams[0].started);
    EXPECT_EQ(streams[0].stream_flags, 0x88060000u);
    EXPECT_EQ(streams[0].buffer_duration, 10000000) << "1 s of room for the reader";
    const WAVEFORMATEX& format = streams[0].format;
    EXPECT_EQ(format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(format.nChannels, 2);
    EXPECT_EQ(format.nSamplesPerSec, 48000u);
    EXPECT_EQ(format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(format.nBlockAlign, 4);
    EXPECT_EQ(format.wBitsPerSample, 16);
    EXPECT_EQ(format.cbSize, 0);

    // The caller now holds exactly one reference to each client and the
    // stream's event; the handler, its completion event and the operation
    // are gone.
    EXPECT_EQ(streams[0].audio_client_refs, 1);
    EXPECT_EQ(streams[0].capture_client_refs, 1);
    EXPECT_THAT(scripted::OpenObjects(), UnorderedElementsAre("IAudioClient", "IAudioCaptureClient"));
    EXPECT_THAT(scripted::OpenHandles(), ElementsAre("auto-reset event"));

    scripted::ClearCalls();
    CloseLoopbackStream(&stream);
    EXPECT_THAT(scripted::Calls(), ElementsAre("IAudioClient::Stop", "IAudioCaptureClient::Release",
                            "IAudioClient::Release", "CloseHandle(auto-reset event)"));
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
    EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
    EXPECT_EQ(stream.audio_client, nullptr);
}

INSTANTIATE_TEST_SUITE_P(CompletionThread, OpenTest, ::testing::Bool());

TEST_F(ScriptedTest, StartSuccessCodeOtherThanZeroStillOpens) {
    scripted::SetResult("IAudioClient::Start", S_FALSE);
    CaptureStream stream;
    StageLabel label = "";
    EXPECT_EQ(OpenLoopbackStream(1, kIncludeTargetTree, PcmFormat{}, &stream, &label), S_OK);
    CloseLoopbackStream(&stream);
}

// With AUTOCONVERTPCM the engine converts to 16-bit or float, 8 to 192 kHz;
// the tool asks for one or two channels.
TEST_F(ScriptedTest, TheEngineRefusesAFormatItCannotConvertTo) {
    const HRESULT kRefused = AUDCLNT_E_UNSUPPORTED_FORMAT;
    const std::pair<PcmFormat, HRESULT> cases[] = {
        {{8000, 1, SampleType::kS16}, S_OK},        {{192000, 2, SampleType::kF32}, S_OK},
        {{7999, 1, SampleType::kS16}, kRefused},    {{192001, 2, SampleType::kF32}, kRefused},
        {{48000, 3, SampleType::kS16}, kRefused},   {{48000, 0, SampleType::kF32}, kRefused},
    };
    for (const auto& [format, result] : cases) {
        CaptureStream stream;
        StageLabel label = "";
        EXPECT_EQ(Hex(OpenLoopbackStream(1, kIncludeTargetTree, format, &stream, &label)), Hex(result))
            << format.rate << " Hz, " << format.channels << " channels";
        EXPECT_STREQ(label, SUCCEEDED(result) ? "start" : "initialize") << format.rate;
        CloseLoopbackStream(&stream);
    }
}

struct FailureCase {
    const char* name;
    std::function<void()> script;
    const char* label;
    HRESULT result;
    std::vector<std::string> unwind;  // releases and closes after the failing call
    const char* failing_call;
};

class OpenFailureTest : public ScriptedTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(OpenFailureTest, ReportsTheStepAndReleasesEverything) {
    const FailureCase& c = GetParam();
    scripted::Loopback synchronous;  // completion inside the call: a fixed order of releases
    synchronous.complete_on_thread = false;
    scripted::SetLoopback(77, synchronous);
    c.script();
    CaptureStream stream = Sentinel();
    StageLabel label = "sentinel";

    const HRESULT result = OpenLoopbackStream(77, kIncludeTargetTree, PcmFormat{}, &stream, &label);
    EXPECT_EQ(Hex(result), Hex(c.result));
    EXPECT_STREQ(label, c.label);
    EXPECT_TRUE(IsSentinel(stream)) << "the caller's record was written";
    EXPECT_THAT(scripted::OpenObjects(), IsEmpty());
    EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
    EXPECT_THAT(UnwindAfter(c.failing_call), ElementsAreArray(c.unwind));
}

const HRESULT kCode = static_cast<HRESULT>(0x88890123u);

INSTANTIATE_TEST_SUITE_P(
    Steps, OpenFailureTest,
    ::testing::Values(
        FailureCase{"CompletionEventWin32", [] { scripted::SetResult("CreateEventW", HRESULT_FROM_WIN32(8), 1); },
                    "activate", static_cast<HRESULT>(0x80070008u), {}, "CreateEventW"},
        FailureCase{"CompletionEventNoCode", [] { scripted::SetResult("CreateEventW", E_FAIL, 1); }, "activate",
                    E_OUTOFMEMORY, {}, "CreateEventW"},
        FailureCase{"Activate", [] { scripted::SetResult("ActivateAudioInterfaceAsync", kCode); }, "activate", kCode,
                    {"CloseHandle(manual-reset event)"}, "ActivateAudioInterfaceAsync"},
        FailureCase{"GetActivateResult",
                    [] { scripted::SetResult("IActivateAudioInterfaceAsyncOperation::GetActivateResult", kCode); },
                    "activate-result",
                    kCode,
                    {"IActivateAudioInterfaceAsyncOperation::Release", "IActivateAudioInterfaceAsyncOperation::Release",
                     "IAudioClient::Release", "CloseHandle(manual-reset event)"},
                    "IActivateAudioInterfaceAsyncOperation::GetActivateResult"},
        FailureCase{"ActivationResult",
                    [] {
                        scripted::Loopback script;
                        script.activation_result = static_cast<HRESULT>(0x80070002u);
                        script.complete_on_thread = false;
                        scripted::SetLoopback(77, script);
                    },
                    "activate-result",
                    static_cast<HRESULT>(0x80070002u),
                    {"IActivateAudioInterfaceAsyncOperation::Release", "IActivateAudioInterfaceAsyncOperation::Release",
                     "CloseHandle(manual-reset event)"},
                    "IActivateAudioInterfaceAsyncOperation::GetActivateResult"},
        FailureCase{"QueryForAudioClient", [] { scripted::SetResult("IAudioClient::QueryInterface", E_NOINTERFACE); },
                    "activate-result",
                    E_NOINTERFACE,
                    {"IAudioClient::Release", "IActivateAudioInterfaceAsyncOperation::Release",
                     "IActivateAudioInterfaceAsyncOperation::Release", "IAudioClient::Release",
                     "CloseHandle(manual-reset event)"},
                    "IAudioClient::QueryInterface"},
        // A platform that reports success but hands back no object.
        FailureCase{"ActivatedObjectMissing",
                    [] { scripted::SetNullOut("IActivateAudioInterfaceAsyncOperation::GetActivateResult"); },
                    "activate-result",
                    E_POINTER,
                    {"IActivateAudioInterfaceAsyncOperation::Release", "IActivateAudioInterfaceAsyncOperation::Release",
                     "IAudioClient::Release", "CloseHandle(manual-reset event)"},
                    "IActivateAudioInterfaceAsyncOperation::GetActivateResult"},
        FailureCase{"Initialize", [] { scripted::SetResult("IAudioClient::Initialize", kCode); }, "initialize", kCode,
                    {"IAudioClient::Stop", "IAudioClient::Release"}, "IAudioClient::Initialize"},
        FailureCase{"SetEventHandle", [] { scripted::SetResult("IAudioClient::SetEventHandle", kCode); }, "event",
                    kCode, {"IAudioClient::Stop", "IAudioClient::Release", "CloseHandle(auto-reset event)"},
                    "IAudioClient::SetEventHandle"},
        // The stream's event is not checked: the null handle goes to
        // SetEventHandle, which refuses it.
        FailureCase{"StreamEventMissing", [] { scripted::SetResult("CreateEventW", HRESULT_FROM_WIN32(8), 2); },
                    "event", E_INVALIDARG, {"IAudioClient::Stop", "IAudioClient::Release"},
                    "IAudioClient::SetEventHandle"},
        FailureCase{"GetService", [] { scripted::SetResult("IAudioClient::GetService", kCode); }, "service", kCode,
                    {"IAudioClient::Stop", "IAudioClient::Release", "CloseHandle(auto-reset event)"},
                    "IAudioClient::GetService"},
        FailureCase{"GetServiceGivesNothing", [] { scripted::SetNullOut("IAudioClient::GetService"); }, "service",
                    E_POINTER, {"IAudioClient::Stop", "IAudioClient::Release", "CloseHandle(auto-reset event)"},
                    "IAudioClient::GetService"},
        FailureCase{"Start", [] { scripted::SetResult("IAudioClient::Start", kCode); }, "start", kCode,
                    {"IAudioClient::Stop", "IAudioCaptureClient::Release", "IAudioClient::Release",
                     "CloseHandle(auto-reset event)"},
                    "IAudioClient::Start"}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST_F(ScriptedTest, FailedCompletionEventStartsNoActivation) {
    scripted::SetResult("CreateEventW", HRESULT_FROM_WIN32(8), 1);
    CaptureStream stream;
    StageLabel label = "";
    EXPECT_EQ(Hex(OpenLoopbackStream(77, kIncludeTargetTree, PcmFormat{}, &stream, &label)), Hex(HRESULT_FROM_WIN32(8)));
    EXPECT_EQ(scripted::CallCount("ActivateAudioInterfaceAsync"), 0);
}

// An activation is waited for 10 s at most. One that completes later still
// finds its handler and its parameters alive, and the audio client it brings
// is released with it.
TEST_F(ScriptedTest, ActivationWaitEndsAfterTenSecondsAndALateCompletionIsSafe) {
    struct Case {
        uint64_t activation_ms;
        bool on_thread;
        HRESULT expected;
    };
    const HRESULT kTimeout = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    for (const Case& c : {Case{9990, false, S_OK}, Case{15000, false, kTimeout}, Case{15000, true, kTimeout}}) {
        scripted::Reset();
        scripted::Loopback script;
        script.activation_ms = c.activation_ms;
        script.complete_on_thread = c.on_thread;
        scripted::SetLoopback(77, script);
        CaptureStream stream = Sentinel();
        StageLabel label = "sentinel";
        const HRESULT result = OpenLoopbackStream(77, kIncludeTargetTree, PcmFormat{}, &stream, &label);
        EXPECT_EQ(Hex(result), Hex(c.expected)) << c.activation_ms;
        if (SUCCEEDED(result)) {
            CloseLoopbackStream(&stream);
            continue;
        }
        EXPECT_EQ(Hex(result), "0x800705b4");
        EXPECT_STREQ(label, "activate-result");
        EXPECT_TRUE(IsSentinel(stream));
        EXPECT_EQ(scripted::NowNanoseconds(), 10000000000u) << "gave up at 10 s";
        EXPECT_THAT(scripted::OpenObjects(),
                    UnorderedElementsAre("IActivateAudioInterfaceAsyncOperation", "IAudioClient"))
            << "the platform still holds the pending operation";

        // Another opening in the meantime, where the last one's stack was.
        CaptureStream other;
        ASSERT_EQ(Hex(OpenLoopbackStream(78, kExcludeTargetTree, PcmFormat{}, &other, &label)), Hex(S_OK));
        CloseLoopbackStream(&other);

        scripted::AdvanceTime(6000000000u);  // the completion comes after all, and reads its parameters
        scripted::Settle();
        EXPECT_THAT(scripted::OpenObjects(), IsEmpty()) << "the late audio client went with the handler";
        EXPECT_THAT(scripted::OpenHandles(), IsEmpty());
        EXPECT_THAT(scripted::Violations(), IsEmpty()) << "on thread: " << c.on_thread;
    }
}

TEST_F(ScriptedTest, CloseSkipsWhatIsMissing) {
    CaptureStream empty;
    CloseLoopbackStream(&empty);
    EXPECT_THAT(scripted::Calls(), IsEmpty());
}

}  // namespace
