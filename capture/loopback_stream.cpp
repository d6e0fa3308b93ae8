#include "capture/loopback_stream.h"

#include "capture/activation_handler.h"

namespace {

constexpr WCHAR kProcessLoopbackDevice[] = L"VAD\\Process_Loopback";

constexpr DWORD kStreamFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                               AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;
// 1 s in 100 ns units. In event-driven shared mode packets still come every
// device period, so a larger buffer adds no latency; it is the room the
// reader has. A reader further behind than this loses audio (which of it,
// Windows does not say), and a blocked pipe or a slow reconciliation easily
// takes 20 ms.
constexpr REFERENCE_TIME kBufferDuration = 10000000;
// An activation that has not completed by then never will, as far as we are
// concerned; the handler outlives the wait if it comes later after all.
constexpr DWORD kActivationTimeout = 10000;  // ms

// Activates the device and waits for the handler; on success *client holds
// the activated audio client.
HRESULT Activate(DWORD pid, DWORD mode, IAudioClient** client, StageLabel* label) {
    auto* handler = new ActivationHandler();
    AUDIOCLIENT_ACTIVATION_PARAMS& params = handler->params;
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pid;
    params.ProcessLoopbackParams.ProcessLoopbackMode = static_cast<PROCESS_LOOPBACK_MODE>(mode);
    handler->variant.vt = VT_BLOB;
    handler->variant.blob.cbSize = sizeof(params);
    handler->variant.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    *label = "activate";
    if (handler->completion_event == nullptr) {
        // Without the event there is no telling when the platform thread is
        // done with the handler, so the activation is not started at all.
        const DWORD error = GetLastError();
        handler->Release();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_OUTOFMEMORY;
    }
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    HRESULT hr = ActivateAudioInterfaceAsync(kProcessLoopbackDevice, __uuidof(IAudioClient), &handler->variant, handler,
                                             &operation);
    if (FAILED(hr)) {
        handler->Release();
        return hr;
    }
    const DWORD waited = WaitForSingleObject(handler->completion_event, kActivationTimeout);
    if (operation != nullptr) operation->Release();
    *label = "activate-result";
    if (waited != WAIT_OBJECT_0) {
        // Not completed: the platform still holds the handler, and a late
        // completion releases the audio client with it. Nothing of it is read.
        const DWORD error = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : GetLastError();
        handler->Release();
        return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
    }
    hr = handler->result;
    *client = handler->audio_client;
    handler->audio_client = nullptr;  // taken over
    handler->Release();
    return hr;
}

}  // namespace

HRESULT OpenLoopbackStream(DWORD pid, DWORD mode, const PcmFormat& format, CaptureStream* stream, StageLabel* label) {
    CaptureStream opened;
    HRESULT hr = Activate(pid, mode, &opened.audio_client, label);
    if (FAILED(hr)) return hr;

    *label = "initialize";
    const WAVEFORMATEX wave = WaveFormatOf(format);
    hr = opened.audio_client->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags, kBufferDuration, 0, &wave, nullptr);
    if (SUCCEEDED(hr)) {
        *label = "event";
        opened.event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        hr = opened.audio_client->SetEventHandle(opened.event);
    }
    if (SUCCEEDED(hr)) {
        *label = "service";
        hr = opened.audio_client->GetService(__uuidof(IAudioCaptureClient),
                                             reinterpret_cast<void**>(&opened.capture_client));
        if (SUCCEEDED(hr) && opened.capture_client == nullptr) hr = E_POINTER;
    }
    if (SUCCEEDED(hr)) {
        *label = "start";
        hr = opened.audio_client->Start();
    }
    if (FAILED(hr)) {
        CloseLoopbackStream(&opened);
        return hr;
    }
    *stream = opened;
    return S_OK;
}

void CloseLoopbackStream(CaptureStream* stream) {
    if (stream->audio_client != nullptr) stream->audio_client->Stop();
    if (stream->capture_client != nullptr) stream->capture_client->Release();
    if (stream->audio_client != nullptr) stream->audio_client->Release();
    if (stream->event != nullptr) CloseHandle(stream->event);
    *stream = CaptureStream{};
}
