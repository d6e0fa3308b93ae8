// IAudioClient and IAudioCaptureClient of the virtual process-loopback
// device. The device accepts exactly what a process-loopback client asks of
// Windows: shared mode, event-driven loopback, 48 kHz stereo 16-bit PCM.
#include "platform/posix/audio_loopback.h"

#include <algorithm>

#include "platform/posix/audio_group.h"
#include "platform/posix/com_object.h"
#include "platform/posix/loopback_client_answers.h"

namespace {

constexpr DWORD kLoopbackFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK |
                                 AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM;

bool IsDeviceFormat(const WAVEFORMATEX& format) {
    return format.wFormatTag == WAVE_FORMAT_PCM && format.nChannels == 2 && format.nSamplesPerSec == 48000 &&
           format.nAvgBytesPerSec == 192000 && format.nBlockAlign == 4 && format.wBitsPerSample == 16 &&
           format.cbSize == 0;
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
        std::lock_guard<std::mutex> hold(queue_.lock);
        if (initialized_) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (pFormat == nullptr) return E_POINTER;
        if (hnsBufferDuration < 0) return E_INVALIDARG;
        if (ShareMode != AUDCLNT_SHAREMODE_SHARED || StreamFlags != kLoopbackFlags || !IsDeviceFormat(*pFormat))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        const uint64_t frames = static_cast<uint64_t>(hnsBufferDuration) * pFormat->nSamplesPerSec / 10000000;
        queue_.capacity = std::max<uint64_t>(frames / kPacketFrames, 1);
        initialized_ = true;
        return S_OK;
    }

    // The process-loopback client of Windows has no buffer to report: it says
    // S_OK with a count that means nothing, so nothing may be sized by it.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* pNumBufferFrames) override {
        if (pNumBufferFrames == nullptr) return E_POINTER;
        std::lock_guard<std::mutex> hold(queue_.lock);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        *pNumBufferFrames = kMeaninglessBufferSize;
        return S_OK;
    }

    // A stopped stream forgets what it had not handed out.
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::mutex> hold(queue_.lock);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (started_) return AUDCLNT_E_NOT_STOPPED;
        if (queue_.front_held) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        queue_.packets.clear();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE eventHandle) override {
        std::lock_guard<std::mutex> hold(queue_.lock);
        if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        if (eventHandle == nullptr || eventHandle == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        queue_.event = eventHandle;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        *ppv = nullptr;
        {
            std::lock_guard<std::mutex> hold(queue_.lock);
            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
        }
        if (riid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
        *ppv = static_cast<IAudioCaptureClient*>(new LoopbackCapture(this));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Start() override {
        {
            std::lock_guard<std::mutex> hold(queue_.lock);
            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
            if (queue_.event == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
            if (started_) return AUDCLNT_E_NOT_STOPPED;
            if (queue_.lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        const HRESULT hr = capture_ != nullptr ? StartPipeWireCapture(capture_) : StartLoopbackMixer(mixer_);
        if (FAILED(hr)) return hr;
        std::lock_guard<std::mutex> hold(queue_.lock);
        started_ = true;
        queue_.signalling = true;
        return S_OK;
    }

    // Packets already mixed stay readable, as on Windows.
    HRESULT STDMETHODCALLTYPE Stop() override {
        {
            std::lock_guard<std::mutex> hold(queue_.lock);
            if (!initialized_) return AUDCLNT_E_NOT_INITIALIZED;
            if (!started_) return S_FALSE;
            started_ = false;
            queue_.signalling = false;  // from here on the event is never set: the reader may close it
        }
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
    LoopbackMixer* mixer_ = nullptr;      // the device's sound server side: one of these two
    PipeWireCapture* capture_ = nullptr;
    bool initialized_ = false;  // guarded by queue_.lock, as is started_
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
    std::lock_guard<std::mutex> hold(queue_->lock);
    if (queue_->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
    *pNumFramesInNextPacket = queue_->packets.empty() ? 0 : kPacketFrames;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE LoopbackCapture::GetBuffer(BYTE** ppData, UINT32* pNumFramesToRead, DWORD* pdwFlags,
                                                     UINT64* pu64DevicePosition, UINT64* pu64QPCPosition) {
    if (ppData == nullptr || pNumFramesToRead == nullptr || pdwFlags == nullptr) return E_POINTER;
    *ppData = nullptr;
    *pNumFramesToRead = 0;
    *pdwFlags = 0;
    std::lock_guard<std::mutex> hold(queue_->lock);
    if (queue_->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
    if (queue_->front_held) return AUDCLNT_E_OUT_OF_ORDER;
    if (queue_->packets.empty()) return AUDCLNT_S_BUFFER_EMPTY;
    queue_->front_held = true;
    *ppData = reinterpret_cast<BYTE*>(queue_->packets.front()->samples);
    *pNumFramesToRead = kPacketFrames;
    *pdwFlags = queue_->packets.front()->flags;
    if (pu64DevicePosition != nullptr) *pu64DevicePosition = queue_->packets.front()->position;
    if (pu64QPCPosition != nullptr) *pu64QPCPosition = queue_->packets.front()->time;
    return S_OK;
}

// Releasing 0 frames leaves the packet for the next GetBuffer; any other
// count must be the whole packet.
HRESULT STDMETHODCALLTYPE LoopbackCapture::ReleaseBuffer(UINT32 NumFramesRead) {
    std::lock_guard<std::mutex> hold(queue_->lock);
    if (!queue_->front_held) return AUDCLNT_E_OUT_OF_ORDER;
    if (NumFramesRead != 0 && NumFramesRead != kPacketFrames) return AUDCLNT_E_INVALID_SIZE;
    queue_->front_held = false;
    if (NumFramesRead != 0) queue_->packets.pop_front();
    return S_OK;
}

}  // namespace

void DeliverPacket(PacketQueue* queue, std::unique_ptr<Packet> packet) {
    std::lock_guard<std::mutex> hold(queue->lock);
    if (!queue->signalling) return;
    packet->position = queue->mixed;
    queue->mixed += kPacketFrames;
    queue->packets.push_back(std::move(packet));
    // Drop the oldest ones the reader is not looking at; the next one left says so.
    const size_t first = queue->front_held ? 1 : 0;
    while (queue->packets.size() > queue->capacity && queue->packets.size() > first + 1) {
        queue->packets.erase(queue->packets.begin() + first);
        queue->gap = true;
    }
    if (queue->gap) {
        queue->packets[first]->flags |= AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
        queue->gap = false;
    }
    SetEvent(queue->event);
}

void ReportDeviceLost(PacketQueue* queue) {
    std::lock_guard<std::mutex> hold(queue->lock);
    queue->lost = true;
    if (queue->signalling) SetEvent(queue->event);
}

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
