// ActivateAudioInterfaceAsync on the process-loopback device: argument
// checks, completion on a thread of the library, and the activation result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/win32.h"
#include "tests/platform/activation.h"
#include "tests/platform/sound_server.h"

namespace {

struct ArgumentCase {
    const char* name;
    bool null_path, null_handler, null_operation;
    VARTYPE vt;
    ULONG size;
    bool null_data;
    DWORD type, pid, mode;
    HRESULT expected;
};

class ActivationArguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(ActivationArguments, AreRefusedBeforeAnythingStarts) {
    const ArgumentCase& c = GetParam();
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    params.ActivationType = static_cast<AUDIOCLIENT_ACTIVATION_TYPE>(c.type);
    params.ProcessLoopbackParams.TargetProcessId = c.pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = static_cast<PROCESS_LOOPBACK_MODE>(c.mode);
    PROPVARIANT variant = {};
    variant.vt = c.vt;
    variant.blob.cbSize = c.size;
    variant.blob.pBlobData = c.null_data ? nullptr : reinterpret_cast<BYTE*>(&params);
    auto* handler = new TestHandler();
    auto* sentinel = reinterpret_cast<IActivateAudioInterfaceAsyncOperation*>(0xdeadbeef);
    IActivateAudioInterfaceAsyncOperation* operation = sentinel;

    const HRESULT hr =
        ActivateAudioInterfaceAsync(c.null_path ? nullptr : L"VAD\\Process_Loopback", __uuidof(IAudioClient), &variant,
                                    c.null_handler ? nullptr : handler, c.null_operation ? nullptr : &operation);
    EXPECT_EQ(static_cast<uint32_t>(hr), static_cast<uint32_t>(c.expected)) << std::hex << hr;
    if (!c.null_operation) {
        EXPECT_EQ(operation, nullptr);
    }
    EXPECT_EQ(handler->Release(), 0u) << "the library kept a reference to a handler it refused";
}

constexpr DWORD kLoopback = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;

INSTANTIATE_TEST_SUITE_P(
    Cases, ActivationArguments,
    ::testing::Values(ArgumentCase{"NullPath", true, false, false, VT_BLOB, 12, false, kLoopback, 1, 0, E_POINTER},
                      ArgumentCase{"NullHandler", false, true, false, VT_BLOB, 12, false, kLoopback, 1, 0, E_POINTER},
                      ArgumentCase{"NullOperation", false, false, true, VT_BLOB, 12, false, kLoopback, 1, 0, E_POINTER},
                      ArgumentCase{"NotABlob", false, false, false, VT_EMPTY, 12, false, kLoopback, 1, 0, E_INVALIDARG},
                      ArgumentCase{"ShortBlob", false, false, false, VT_BLOB, 8, false, kLoopback, 1, 0, E_INVALIDARG},
                      ArgumentCase{"NoBlobData", false, false, false, VT_BLOB, 12, true, kLoopback, 1, 0, E_INVALIDARG},
                      ArgumentCase{"DefaultActivation", false, false, false, VT_BLOB, 12, false, 0, 1, 0, E_INVALIDARG},
                      ArgumentCase{"UnknownMode", false, false, false, VT_BLOB, 12, false, kLoopback, 1, 2,
                                   E_INVALIDARG}),
    [](const ::testing::TestParamInfo<ArgumentCase>& info) { return std::string(info.param.name); });

struct OutcomeCase {
    const char* name;
    const WCHAR* path;
    bool audio_client;  // ask for IAudioClient, or else for IAudioCaptureClient
    DWORD pid;
    HRESULT expected;
};

class ActivationOutcome : public ::testing::TestWithParam<OutcomeCase> {
protected:
    void SetUp() override { UseNoSoundServer(); }
};

// Failures found only once activating are the activation's result, delivered
// through the handler on another thread like any other.
TEST_P(ActivationOutcome, CompletesOnAnotherThreadWithTheResult) {
    const OutcomeCase& c = GetParam();
    Activation activation = Activate(c.path, c.audio_client ? __uuidof(IAudioClient) : __uuidof(IAudioCaptureClient),
                                     c.pid, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE);
    ASSERT_EQ(activation.call, S_OK);
    ASSERT_TRUE(activation.completed);
    EXPECT_NE(activation.completion_thread, std::this_thread::get_id());
    EXPECT_EQ(static_cast<uint32_t>(activation.query), 0u);
    EXPECT_EQ(static_cast<uint32_t>(activation.result), static_cast<uint32_t>(c.expected))
        << std::hex << activation.result;
    EXPECT_EQ(activation.object, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ActivationOutcome,
    ::testing::Values(OutcomeCase{"NoServer", L"VAD\\Process_Loopback", true, 1, AUDCLNT_E_SERVICE_NOT_RUNNING},
                      OutcomeCase{"UnknownDevice", L"VAD\\Nothing", true, 1, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
                      OutcomeCase{"OtherInterface", L"VAD\\Process_Loopback", false, 1, E_NOINTERFACE},
                      OutcomeCase{"NoTarget", L"VAD\\Process_Loopback", true, 0, E_INVALIDARG}),
    [](const ::testing::TestParamInfo<OutcomeCase>& info) { return std::string(info.param.name); });

TEST(ActivationOperation, HoldsTheHandlerOnlyWhilePending) {
    UseNoSoundServer();
    Activation activation = Activate(L"VAD\\Process_Loopback", __uuidof(IAudioClient), getpid(),
                                     PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, /*keep_handler=*/true);
    ASSERT_TRUE(activation.completed);
    // The completion thread lets go of the handler after ActivateCompleted.
    for (int i = 0; i < 200 && activation.handler->References() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(activation.handler->References(), 1u);
    EXPECT_EQ(activation.handler->Release(), 0u);
}

TEST(ActivationOperation, GetActivateResultChecksItsArguments) {
    UseNoSoundServer();
    Activation activation = Activate(L"VAD\\Process_Loopback", __uuidof(IAudioClient), getpid(),
                                     PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, false, /*keep_operation=*/true);
    ASSERT_NE(activation.operation, nullptr);
    HRESULT result = static_cast<HRESULT>(0xdeadbeef);
    IUnknown* object = nullptr;
    EXPECT_EQ(static_cast<uint32_t>(activation.operation->GetActivateResult(nullptr, &object)), uint32_t(E_POINTER));
    EXPECT_EQ(static_cast<uint32_t>(activation.operation->GetActivateResult(&result, nullptr)), uint32_t(E_POINTER));
    EXPECT_EQ(static_cast<uint32_t>(activation.operation->GetActivateResult(&result, &object)), uint32_t(S_OK));
    EXPECT_EQ(static_cast<uint32_t>(result), static_cast<uint32_t>(AUDCLNT_E_SERVICE_NOT_RUNNING));
    EXPECT_EQ(activation.operation->Release(), 0u);
}

}  // namespace
