// Activating the process-loopback device from a test: a completion handler
// that records what it was told and on which thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/win32.h"

class TestHandler final : public IActivateAudioInterfaceCompletionHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (riid != __uuidof(IUnknown) && riid != __uuidof(IActivateAudioInterfaceCompletionHandler)) {
            *ppvObject = nullptr;
            return E_NOINTERFACE;
        }
        *ppvObject = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&references_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override {
        std::lock_guard<std::mutex> hold(lock_);
        thread_ = std::this_thread::get_id();
        query_ = operation->GetActivateResult(&result_, &object_);
        ++completions_;
        done_.notify_all();
        return S_OK;
    }
    ULONG References() const { return static_cast<ULONG>(__atomic_load_n(&references_, __ATOMIC_SEQ_CST)); }

    // Waits up to 10 s for the completion; false if it never came.
    bool Wait() {
        std::unique_lock<std::mutex> hold(lock_);
        return done_.wait_for(hold, std::chrono::seconds(10), [this] { return completions_ != 0; });
    }

    std::mutex lock_;
    std::condition_variable done_;
    int completions_ = 0;
    std::thread::id thread_;
    HRESULT query_ = E_FAIL;
    HRESULT result_ = static_cast<HRESULT>(0xdeadbeef);
    IUnknown* object_ = nullptr;  // the reference GetActivateResult handed out

private:
    ~TestHandler() = default;
    LONG volatile references_ = 1;
};

struct Activation {
    HRESULT call = E_FAIL;  // of ActivateAudioInterfaceAsync itself
    bool completed = false;
    std::thread::id completion_thread;
    HRESULT query = E_FAIL;  // of GetActivateResult
    HRESULT result = E_FAIL;
    IUnknown* object = nullptr;                                  // the caller's to release
    TestHandler* handler = nullptr;                              // when kept
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;  // when kept
};

inline Activation Activate(const WCHAR* path, REFIID riid, DWORD pid, DWORD mode, bool keep_handler = false,
                           bool keep_operation = false) {
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = static_cast<PROCESS_LOOPBACK_MODE>(mode);
    PROPVARIANT variant = {};
    variant.vt = VT_BLOB;
    variant.blob.cbSize = sizeof(params);
    variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    auto* handler = new TestHandler();
    Activation activation;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    activation.call = ActivateAudioInterfaceAsync(path, riid, &variant, handler, &operation);
    if (SUCCEEDED(activation.call)) {
        activation.completed = handler->Wait();
        std::lock_guard<std::mutex> hold(handler->lock_);
        activation.completion_thread = handler->thread_;
        activation.query = handler->query_;
        activation.result = handler->result_;
        activation.object = handler->object_;
    }
    // The completion thread lets go of the operation, then of the handler.
    for (int i = 0; i < 1000 && activation.completed && handler->References() != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (keep_operation)
        activation.operation = operation;
    else if (operation != nullptr)
        operation->Release();
    if (keep_handler)
        activation.handler = handler;
    else
        handler->Release();
    return activation;
}

// The activated audio client of a process-loopback device, or null.
inline IAudioClient* ActivateClient(DWORD pid, DWORD mode) {
    Activation activation = Activate(L"VAD\\Process_Loopback", __uuidof(IAudioClient), pid, mode);
    if (activation.object == nullptr) return nullptr;
    IAudioClient* client = nullptr;
    activation.object->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client));
    activation.object->Release();
    return client;
}
