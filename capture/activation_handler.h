// Receives the completion of an asynchronous audio interface activation.
// The platform calls ActivateCompleted on one of its own threads.
#pragma once

#include "platform/win32.h"

class ActivationHandler final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    ActivationHandler();  // reference count 1: the opener's

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* operation) override;

    // Manual-reset; set by ActivateCompleted on every path. Null if it could
    // not be created.
    HANDLE completion_event;
    // Written on the platform's thread before completion_event is set; read
    // by the opener only after its wait returned.
    HRESULT result;
    // The opener takes it over, leaving null; one that was never taken (the
    // opener stopped waiting) is released with the handler.
    IAudioClient* audio_client;
    // What the activation is asked for, and the variant that carries it.
    // Windows does not say whether it copies them during the call, and an
    // activation given up on may still be running: they live as long as the
    // handler, which the platform holds until the completion.
    AUDIOCLIENT_ACTIVATION_PARAMS params;
    PROPVARIANT variant;

private:
    ~ActivationHandler();
    LONG volatile reference_count;
};
