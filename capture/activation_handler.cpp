#include "capture/activation_handler.h"

ActivationHandler::ActivationHandler()
    : completion_event(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      result(E_FAIL),
      audio_client(nullptr),
      params(),
      variant(),
      reference_count(1) {}

ActivationHandler::~ActivationHandler() {
    if (audio_client != nullptr) audio_client->Release();
    if (completion_event != nullptr) CloseHandle(completion_event);
}

HRESULT STDMETHODCALLTYPE ActivationHandler::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
        *ppvObject = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (riid == __uuidof(IAgileObject)) {
        *ppvObject = static_cast<IAgileObject*>(this);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE ActivationHandler::AddRef() {
    return static_cast<ULONG>(InterlockedIncrement(&reference_count));
}

ULONG STDMETHODCALLTYPE ActivationHandler::Release() {
    const LONG count = InterlockedDecrement(&reference_count);
    if (count == 0) delete this;
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE ActivationHandler::ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) {
    HRESULT activate_result = E_FAIL;
    IUnknown* activated = nullptr;
    HRESULT hr = operation->GetActivateResult(&activate_result, &activated);
    if (SUCCEEDED(hr)) hr = activate_result;
    if (SUCCEEDED(hr)) {
        // A success that hands back no object is taken as the failure it is.
        IAudioClient* client = nullptr;
        hr = activated != nullptr ? activated->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client))
                                  : E_POINTER;
        if (SUCCEEDED(hr) && client == nullptr) hr = E_POINTER;
        if (SUCCEEDED(hr)) audio_client = client;
    }
    result = hr;
    if (activated != nullptr) activated->Release();
    SetEvent(completion_event);
    return S_OK;
}
