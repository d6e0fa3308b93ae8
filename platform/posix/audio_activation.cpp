// ActivateAudioInterfaceAsync for the process-loopback device. As on Windows
// the activation completes on a thread of ours, which calls the handler's
// ActivateCompleted with the operation object; the caller's thread is never
// blocked by the connection to the sound server.
#include <cstring>
#include <cwchar>
#include <thread>

#include "platform/posix/audio_loopback.h"
#include "platform/posix/com_object.h"

namespace {

constexpr WCHAR kProcessLoopbackPath[] = L"VAD\\Process_Loopback";
#ifndef E_ILLEGAL_METHOD_CALL
constexpr HRESULT E_ILLEGAL_METHOD_CALL = static_cast<HRESULT>(0x8000000Eu);
#endif

class ActivationOperation final : public ComObject<IActivateAudioInterfaceAsyncOperation> {
public:
    // Each call hands out a reference of its own to the activated object.
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activateResult, IUnknown** activatedInterface) override {
        if (activateResult == nullptr || activatedInterface == nullptr) return E_POINTER;
        *activatedInterface = nullptr;
        if (__atomic_load_n(&completed_, __ATOMIC_ACQUIRE) == 0) return E_ILLEGAL_METHOD_CALL;
        *activateResult = result_;
        if (activated_ != nullptr) {
            activated_->AddRef();
            *activatedInterface = activated_;
        }
        return S_OK;
    }

    // Completion thread, once, before the handler hears of it.
    void Complete(HRESULT result, IUnknown* activated) {
        result_ = result;
        activated_ = activated;
        __atomic_store_n(&completed_, 1, __ATOMIC_RELEASE);
    }

private:
    bool Answers(REFIID riid) const override {
        return riid == __uuidof(IActivateAudioInterfaceAsyncOperation) || riid == __uuidof(IAgileObject);
    }
    ~ActivationOperation() {
        if (activated_ != nullptr) activated_->Release();
    }

    HRESULT result_ = E_FAIL;        // written before completed_ is set
    IUnknown* activated_ = nullptr;  // one reference, the operation's own
    int completed_ = 0;
};

// The completion thread: connects, then tells the handler. It holds one
// reference to the handler and one to the operation, taken by the caller.
void Complete(ActivationOperation* operation, IActivateAudioInterfaceCompletionHandler* handler, HRESULT early,
              DWORD target, bool exclude) {
    IAudioClient* client = nullptr;
    HRESULT hr = early;
    if (SUCCEEDED(hr)) hr = CreateLoopbackClient(target, exclude, &client);
    operation->Complete(hr, client);
    handler->ActivateCompleted(operation);
    operation->Release();
    handler->Release();
}

}  // namespace

HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid, PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation) {
    if (activationOperation == nullptr) return E_POINTER;
    *activationOperation = nullptr;
    if (deviceInterfacePath == nullptr || completionHandler == nullptr) return E_POINTER;

    // Only the process-loopback device exists here; it wants its parameters.
    HRESULT early = S_OK;
    // Read as three plain 32-bit fields: the caller may have put anything in them.
    DWORD fields[3] = {};
    if (wcscmp(deviceInterfacePath, kProcessLoopbackPath) != 0) {
        early = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    } else {
        if (activationParams == nullptr || activationParams->vt != VT_BLOB ||
            activationParams->blob.cbSize != sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) ||
            activationParams->blob.pBlobData == nullptr)
            return E_INVALIDARG;
        memcpy(fields, activationParams->blob.pBlobData, sizeof(fields));
        if (fields[0] != AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK ||
            (fields[2] != PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE &&
             fields[2] != PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE))
            return E_INVALIDARG;
        // The device serves IAudioClient alone, and only for a real process.
        if (riid != __uuidof(IAudioClient))
            early = E_NOINTERFACE;
        else if (fields[1] == 0)
            early = E_INVALIDARG;
    }
    const DWORD target = fields[1];
    const bool exclude = fields[2] == PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;

    auto* operation = new ActivationOperation();
    operation->AddRef();  // the completion thread's
    completionHandler->AddRef();
    try {
        std::thread(Complete, operation, completionHandler, early, target, exclude).detach();
    } catch (const std::system_error&) {
        completionHandler->Release();
        operation->Release();
        operation->Release();
        return E_OUTOFMEMORY;
    }
    *activationOperation = operation;
    return S_OK;
}
