#include <gtest/gtest.h>

#include "capture/activation_handler.h"
#include "tests/doubles/scripted_test.h"

namespace {

// An audio client that only counts references: the handler must not touch it.
struct CountingClient : IAudioClient {
    LONG refs = 1;
    HRESULT query_result = S_OK;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        *out = nullptr;
        if (FAILED(query_result)) return query_result;
        if (riid != __uuidof(IAudioClient)) return E_NOINTERFACE;
        ++refs;
        *out = static_cast<IAudioClient*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX*, LPCGUID) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Start() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Stop() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Reset() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetService(REFIID, void**) override { return E_NOTIMPL; }
};

struct Operation : IActivateAudioInterfaceAsyncOperation {
    HRESULT call_result = S_OK;
    HRESULT activation_result = S_OK;
    IUnknown* object = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** activated) override {
        if (FAILED(call_result)) return call_result;
        *result = activation_result;
        *activated = object;
        if (object != nullptr) object->AddRef();
        return S_OK;
    }
};

bool IsSet(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

TEST_F(ScriptedTest, HandlerAnswersForItsThreeInterfacesOnly) {
    auto* handler = new ActivationHandler();
    struct Case {
        IID iid;
        void* expected;
    };
    const Case cases[] = {
        {__uuidof(IUnknown), static_cast<IActivateAudioInterfaceCompletionHandler*>(handler)},
        {__uuidof(IActivateAudioInterfaceCompletionHandler),
         static_cast<IActivateAudioInterfaceCompletionHandler*>(handler)},
        {__uuidof(IAgileObject), static_cast<IAgileObject*>(handler)},
    };
    ULONG count = 1;
    for (const Case& c : cases) {
        void* out = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});
        EXPECT_EQ(handler->QueryInterface(c.iid, &out), S_OK);
        EXPECT_EQ(out, c.expected);
        EXPECT_EQ(handler->AddRef(), count + 2) << "QueryInterface takes a reference";
        count += 2;
    }
    for (const IID& other : {__uuidof(IAudioClient), __uuidof(IMMDeviceEnumerator), __uuidof(IAudioCaptureClient)}) {
        void* out = reinterpret_cast<void*>(uintptr_t{0xdeadbeef});
        EXPECT_EQ(handler->QueryInterface(other, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(handler->AddRef(), count + 1) << "a refused query takes no reference";
    // Through the IAgileObject base the same count is shared.
    EXPECT_EQ(static_cast<IAgileObject*>(handler)->Release(), count);
    while (handler->Release() != 0) {
    }
    EXPECT_TRUE(scripted::OpenHandles().empty()) << "the completion event is closed with the handler";
}

// The opener takes the client over by clearing the field; a client left in
// place (the opener stopped waiting before a late completion) goes with the
// handler, so that it is released once either way.
TEST_F(ScriptedTest, HandlerReleasesOnlyAnAudioClientThatWasNotTakenOver) {
    for (const bool taken : {true, false}) {
        CountingClient client;
        client.refs = 2;  // the opener's, or the handler's, and the test's own
        auto* handler = new ActivationHandler();
        handler->audio_client = &client;
        if (taken) handler->audio_client = nullptr;
        EXPECT_EQ(handler->Release(), 0u);
        EXPECT_EQ(client.refs, taken ? 2 : 1) << (taken ? "taken over" : "left with the handler");
    }
}

struct CompletionCase {
    const char* name;
    HRESULT call_result;
    HRESULT activation_result;
    bool object;
    HRESULT query_result;
    HRESULT expected;
};

class CompletionTest : public ScriptedTest, public ::testing::WithParamInterface<CompletionCase> {};

TEST_P(CompletionTest, RecordsTheOutcomeAndAlwaysSignals) {
    const CompletionCase& c = GetParam();
    CountingClient client;
    client.query_result = c.query_result;
    Operation operation;
    operation.call_result = c.call_result;
    operation.activation_result = c.activation_result;
    operation.object = c.object ? &client : nullptr;
    auto* handler = new ActivationHandler();

    EXPECT_EQ(handler->ActivateCompleted(&operation), S_OK);
    EXPECT_TRUE(IsSet(handler->completion_event));
    EXPECT_EQ(handler->result, c.expected);
    if (SUCCEEDED(c.expected)) {
        EXPECT_EQ(handler->audio_client, &client);
        EXPECT_EQ(client.refs, 2) << "the activated object is released, the queried client kept";
    } else {
        EXPECT_EQ(handler->audio_client, nullptr);
        EXPECT_EQ(client.refs, 1) << "every reference taken was given back";
    }
    handler->Release();
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, CompletionTest,
    ::testing::Values(CompletionCase{"Success", S_OK, S_OK, true, S_OK, S_OK},
                      CompletionCase{"GetActivateResultFails", E_UNEXPECTED, S_OK, true, S_OK, E_UNEXPECTED},
                      CompletionCase{"ActivationFailed", S_OK, static_cast<HRESULT>(0x80070002u), false, S_OK,
                                     static_cast<HRESULT>(0x80070002u)},
                      CompletionCase{"ActivationFailedWithObject", S_OK, static_cast<HRESULT>(0x80070005u), true, S_OK,
                                     static_cast<HRESULT>(0x80070005u)},
                      CompletionCase{"QueryFails", S_OK, S_OK, true, E_NOINTERFACE, E_NOINTERFACE},
                      CompletionCase{"NoObject", S_OK, S_OK, false, S_OK, E_POINTER}),
    [](const ::testing::TestParamInfo<CompletionCase>& info) { return info.param.name; });

}  // namespace
