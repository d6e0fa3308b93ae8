// IAudioClient and IAudioCaptureClient of the virtual process-loopback
// device. The device accepts exactly what a process-loopback client asks of
// Windows: shared mode, event-driven loopback with the engine converting
// (AUTOCONVERTPCM), in a plain PCM or float format of one or two channels;
// the sound server converts to it.
#include "platform/posix/audio_loopback.h"

#include <mutex>

#include "platform/posix/audio_group.h"
#include "platform/posix/com_object.h"
#include "platform/posix/loopback_client_answers.h"

namespace {

constexpr DWORD kLoopbackFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                 AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;

// 16-bit PCM or 32-bit float, mono or stereo, at a rate the engine converts
// to (8 to 192 kHz), with its block and byte rate consistent; no extension.
bool IsDeviceFormat(const WAVEFORMATEX& format) {
    const bool sample = (format.wFormatTag == WAVE_FORMAT_PCM && format.wBitsPerSample == 16) ||
                        (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT && format.wBitsPerSample == 32);
    return sample && (format.nChannels == 1 || format.nChannels == 2) && format.nSamplesPerSec >= 8000 &&
           format.nSamplesPerSec <= 192000 && format.nBlockAlign == format.nChannels * format.wBitsPerSample / 8 &&
           format.nAvgBytesPerSec == format.nSamplesPerSec * format.nBlockAlign && format.cbSize == 0;
}

constexpr UINT32 kMeaninglessBufferSize = 0xBAADF00Du;

class LoopbackClient;

// GetService hands this out; it keeps the device alive while held.
class LoopbackCapture final : public ComObject<IAudioCaptureClient> {
public:
    explicit LoopbackCapture(LoopbackClient* client);
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                                        UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) override;
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 NumFramesRead) override;
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* pNumFramesInNextPacket) override;

private:
    ~LoopbackCapture();
    LoopbackClient* client_;  // one reference, held for the capture client's lifetime
    PacketQueue* queue_;
};

class LoopbackClient final : public UnimplementedByProcessLoopback<ComObject<IAudioClient>> {
public:
    LoopbackClient() = default;
    HRESULT Connect(DWORD target, bool exclude) {
        bool pipewire = false;
        const HRESULT hr = ChooseAudioGroup(&pipewire);
        if (FAILED(hr)) return hr;
        if (pipewire) return OpenPipeWireCapture(target, exclude, &queue_, &capture_);
        return OpenLoopbackMixer(target, exclude, &queue_, &mixer_);
    }
    PacketQueue* queue() { return &queue_; }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE ShareMode, DWORD StreamFlags,
                                         REFERENCE_TIME hnsBufferDuration, REFERENCE_TIME, const WAVEFORMATEX* pFormat,
                                         LPCGUID) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (pFormat == nullptr) return E_POINTER;
        if (hnsBufferDuration < 0) return E_INVALIDARG;
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED || StreamFlags != kLoopbackFlags || !IsDeviceFormat(*pFormat))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        // The server side makes its packets in this format from Start on.
        const uint64_t periods = static_cast<uint64_t>(hnsBufferDuration) * kPeriodsPerSecond / 10000000;
        SizePacketQueue(&queue_, periods, *pFormat);
        initialized_ = true;
        return S_OK;
    }

    // The process-loopback client of Windows has no buffer to report: it says
    // S_OK with a count that means nothing, so nothing may be sized by it.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* pNumBufferFrames) override {
        if (pNumBufferFrames == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        *pNumBufferFrames = kMeaninglessBufferSize;
        return S_OK;
    }

    // A stopped stream forgets what it had not handed out.
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (started_) return AUDCLNT_E_NOT_STOPPED;
        if (IsPacketHeld(&queue_)) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        ClearPackets(&queue_);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (eventHandle == nullptr || eventHandle == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        queue_.event.store(eventHandle);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        {
            std::lock_guard<std::mutex> hold(lock_);
            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (riid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
        *ppv = static_cast<IAudioCaptureClient*>(new LoopbackCapture(this));
        return S_OK;
    }

    // The producer may run from the moment the server side starts: packets
    // are made from then on.
    HRESULT STDMETHODCALLTYPE Start() override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (queue_.event.load() == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        if (started_) return AUDCLNT_E_NOT_STOPPED;
        if (queue_.lost.load()) return AUDCLNT_E_DEVICE_INVALIDATED;
        queue_.signalling.store(true);
        const HRESULT hr = capture_ != nullptr ? StartPipeWireCapture(capture_) : StartLoopbackMixer(mixer_);
        if (FAILED(hr)) {
            queue_.signalling.store(false);
            return hr;
        }
        started_ = true;
        return S_OK;
    }

    // Packets already mixed stay readable, as on Windows. Stopping the server
    // side waits for a producer inside a callback, so that once Stop returns
    // the event is never set again: the reader may close it.
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::mutex> hold(lock_);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (!started_) return S_FALSE;
        started_ = false;
        queue_.signalling.store(false);
        if (capture_ != nullptr)
            StopPipeWireCapture(capture_);
        else
            StopLoopbackMixer(mixer_);
        return S_OK;
    }

private:
    ~LoopbackClient() {
        if (mixer_ != nullptr) CloseLoopbackMixer(mixer_);
        if (capture_ != nullptr) ClosePipeWireCapture(capture_);
    }

    PacketQueue queue_;
    LoopbackMixer* mixer_ = nullptr;  // the device's sound server side: one of these two
    PipeWireCapture* capture_ = nullptr;
    std::mutex lock_;           // the audio client's calls; the capture client's and the producer's never take it
    bool initialized_ = false;  // guarded by lock_, as is started_
    bool started_ = false;
};

LoopbackCapture::LoopbackCapture(LoopbackClient* client) : client_(client), queue_(client->queue()) {
    client_->AddRef();
}

LoopbackCapture::~LoopbackCapture() { client_->Release(); }

// Once the server has gone the device is invalidated, as Windows' is when
// its audio service stops: what was still queued is not handed out.
HRESULT STDMETHODCALLTYPE LoopbackCapture::GetNextPacketSize(UINT32* pNumFramesInNextPacket) {
    if (pNumFramesInNextPacket == nullptr) return E_POINTER;
    if (queue_->lost.load(std::memory_order_acquire)) return AUDCLNT_E_DEVICE_INVALIDATED;
    *pNumFramesInNextPacket = NextPacketFrames(queue_);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE LoopbackCapture::GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                                                     UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) {
    if (ppData == nullptr || pNumFramesToRead == nullptr || pdwFlags == nullptr) return E_POINTER;
    *ppData = nullptr;
    *pNumFramesToRead = 0;
    *pdwFlags = 0;
    if (queue_->lost.load(std::memory_order_acquire)) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (IsPacketHeld(queue_)) return AUDCLNT_E_OUT_OF_ORDER;
    DWORD flags = 0;
    const Packet* packet = HoldPacket(queue_, &flags);
    if (packet == nullptr) return AUDCLNT_S_BUFFER_EMPTY;
    // The packet is the reader's until released; Windows' buffer is writable too.
    *ppData = packet->data;
    *pNumFramesToRead = packet->frames;
    *pdwFlags = flags;
    if (pu64DevicePosition != nullptr) *pu64DevicePosition = packet->position;
    if (pu64QPCPosition != nullptr) *pu64QPCPosition = packet->time;
    return S_OK;
}

// Releasing 0 frames leaves the packet for the next GetBuffer; any other
// count must be the whole packet.
HRESULT STDMETHODCALLTYPE LoopbackCapture::ReleaseBuffer(UINT32 NumFramesRead) {
    if (!IsPacketHeld(queue_)) return AUDCLNT_E_OUT_OF_ORDER;
    if (NumFramesRead != 0 && NumFramesRead != NextPacketFrames(queue_)) return AUDCLNT_E_INVALID_SIZE;
    ReleasePacket(queue_, NumFramesRead != 0);
    return S_OK;
}

}  // namespace

HRESULT CreateLoopbackClient(DWORD target, bool exclude, IAudioClient** client) {
    auto* created = new LoopbackClient();
    const HRESULT hr = created->Connect(target, exclude);
    if (FAILED(hr)) {
        created->Release();
        return hr;
    }
    *client = created;
    return S_OK;
}
