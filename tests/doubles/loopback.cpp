// The process-loopback device: asynchronous activation, the audio client and
// the capture client, with packets delivered on the virtual clock.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "tests/doubles/world.h"

namespace scripted::detail {

struct CaptureClient : Counted<IAudioCaptureClient> {
    explicit CaptureClient(Stream* owner) : Counted("IAudioCaptureClient"), stream(owner) {}
    Stream* stream;

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioCaptureClient::GetNextPacketSize");
        if (Dead(*this, "GetNextPacketSize")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (frames == nullptr) return E_POINTER;
        if (FAILED(outcome.result)) return outcome.result;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        *frames = stream->ready.empty() ? 0 : stream->ready.front().next_size.value_or(stream->ready.front().frames);
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                                        UINT64* counter_position) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioCaptureClient::GetBuffer");
        if (Dead(*this, "GetBuffer")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (data == nullptr || frames == nullptr || flags == nullptr) return E_POINTER;
        if (device_position != nullptr || counter_position != nullptr) Violation("GetBuffer asked for positions");
        if (FAILED(outcome.result)) return outcome.result;
        if (stream->lost) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (stream->buffer_out) return AUDCLNT_E_OUT_OF_ORDER;
        if (stream->ready.empty()) {
            *data = nullptr;
            *frames = 0;
            *flags = 0;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        const Packet& packet = stream->ready.front();
        // Frames of nBlockAlign bytes; f32 carries each scripted sample as sample / 32768.
        const bool f32 = stream->format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
        const size_t block = stream->format.nBlockAlign != 0 ? stream->format.nBlockAlign : 4;
        const size_t samples = size_t{packet.frames} * block / (f32 ? 4 : 2);
        int16_t* handed = nullptr;
        if (!f32 && !packet.silent && packet.samples.size() == samples && samples != 0) {
            // Handed out in place: it goes at ReleaseBuffer, as the device's own buffer does.
            handed = const_cast<int16_t*>(packet.samples.data());
        } else {
            stream->buffer.resize(size_t{packet.frames} * block / 2);
            handed = stream->buffer.data();
            if (packet.silent) {
                std::memset(stream->buffer.data(), 0x5A, stream->buffer.size() * sizeof(int16_t));  // never to be read
            } else {
                if (!packet.samples.empty() && packet.samples.size() != samples)
                    Violation("scripted packet has the wrong number of samples");
                for (size_t i = 0; i < samples; ++i) {
                    const int16_t v =
                        packet.samples.empty() ? packet.value : packet.samples[std::min(i, packet.samples.size() - 1)];
                    const float f = static_cast<float>(v) / 32768;
                    if (f32)
                        std::memcpy(stream->buffer.data() + 2 * i, &f, sizeof f);
                    else
                        stream->buffer[i] = v;
                }
            }
        }
        stream->buffer_out = true;
        stream->buffer_frames = packet.frames;
        *data = outcome.null_out ? nullptr : reinterpret_cast<BYTE*>(handed);
        *frames = packet.frames;
        *flags = (packet.silent ? AUDCLNT_BUFFERFLAGS_SILENT : 0) |
                 (packet.discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioCaptureClient::ReleaseBuffer");
        if (Dead(*this, "ReleaseBuffer")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->buffer_out) {
            Violation("ReleaseBuffer without GetBuffer");
            return AUDCLNT_E_OUT_OF_ORDER;
        }
        if (frames != stream->buffer_frames) {
            Violation("ReleaseBuffer(" + std::to_string(frames) + ") after GetBuffer gave " +
                      std::to_string(stream->buffer_frames) + " frames");
            return AUDCLNT_E_INVALID_SIZE;
        }
        stream->buffer_out = false;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        stream->ready.pop_front();
        ++stream->taken;
        return outcome.result;
    }
};

struct AudioClient : Counted<IAudioClient> {
    explicit AudioClient(Stream* owner) : Counted("IAudioClient"), stream(owner) {}
    Stream* stream;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        const Outcome outcome = Enter("IAudioClient::QueryInterface");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (FAILED(outcome.result)) return outcome.result;
        if (riid != __uuidof(IUnknown) && riid != __uuidof(IAudioClient)) return E_NOINTERFACE;
        if (outcome.null_out) return S_OK;
        AddRef();
        *out = static_cast<IAudioClient*>(this);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share_mode, DWORD flags, REFERENCE_TIME duration,
                                         REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                                         LPCGUID session) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::Initialize");
        if (Dead(*this, "Initialize")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (format == nullptr) return E_POINTER;
        if (stream->initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (share_mode != AUDCLNT_SHAREMODE_SHARED || periodicity != 0 || session != nullptr)
            Violation("Initialize with unexpected mode, periodicity or session");
        stream->format = *format;
        stream->stream_flags = flags;
        stream->buffer_duration = duration;
        if (SUCCEEDED(outcome.result)) stream->initialized = true;
        return outcome.result;
    }

    // As the process-loopback client of Windows: S_OK and a count that means nothing.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::GetBufferSize");
        if (Dead(*this, "GetBufferSize")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (frames == nullptr) return E_POINTER;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        *frames = 0xBAADF00Du;
        return outcome.result;
    }
    // None of these is implemented by the process-loopback client of Windows.
    HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME*) override { return NotImplemented("GetStreamLatency"); }
    HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32*) override { return NotImplemented("GetCurrentPadding"); }
    HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE, const WAVEFORMATEX*, WAVEFORMATEX**) override {
        return NotImplemented("IsFormatSupported");
    }
    HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX**) override { return NotImplemented("GetMixFormat"); }
    HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME*, REFERENCE_TIME*) override {
        return NotImplemented("GetDevicePeriod");
    }
    HRESULT NotImplemented(const char* method) {
        Enter(std::string("IAudioClient::") + method);
        Dead(*this, method);
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::Reset");
        if (Dead(*this, "Reset")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (stream->started && !stream->stopped) return AUDCLNT_E_NOT_STOPPED;
        if (stream->buffer_out) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        if (SUCCEEDED(outcome.result)) stream->ready.clear();
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::SetEventHandle");
        if (Dead(*this, "SetEventHandle")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr) return E_INVALIDARG;
        if (SUCCEEDED(outcome.result)) stream->event = event;
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** out) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::GetService");
        if (Dead(*this, "GetService")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (riid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        if (stream->capture == nullptr) {
            stream->capture = Make<CaptureClient>(stream);
        } else {
            stream->capture->AddRef();
        }
        *out = static_cast<IAudioCaptureClient*>(stream->capture);
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE Start() override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::Start");
        if (Dead(*this, "Start")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (stream->lost) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (stream->event == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        if (SUCCEEDED(outcome.result) && !stream->started) {
            stream->started = true;
            stream->start_ns = TheWorld().now_ns;
            AdvanceTo(TheWorld().now_ns);  // packets due at once
        }
        return outcome.result;
    }

    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IAudioClient::Stop");
        if (Dead(*this, "Stop")) return AUDCLNT_E_DEVICE_INVALIDATED;
        if (!stream->initialized) return AUDCLNT_E_NOT_INITIALIZED;
        const bool was_running = stream->started && !stream->stopped;
        stream->stopped = true;
        return FAILED(outcome.result) ? outcome.result : was_running ? S_OK : S_FALSE;
    }
};

struct Operation : Counted<IActivateAudioInterfaceAsyncOperation> {
    Operation(HRESULT activation_result, AudioClient* activated)
        : Counted("IActivateAudioInterfaceAsyncOperation"), result(activation_result), client(activated) {}
    HRESULT result;
    AudioClient* client;  // the operation's own reference, dropped with its last one

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activate_result, IUnknown** activated) override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter("IActivateAudioInterfaceAsyncOperation::GetActivateResult");
        if (Dead(*this, "GetActivateResult")) return E_UNEXPECTED;
        if (activate_result == nullptr || activated == nullptr) return E_POINTER;
        if (FAILED(outcome.result)) return outcome.result;
        *activate_result = result;
        *activated = nullptr;
        if (client != nullptr && !outcome.null_out) {
            client->AddRef();
            *activated = static_cast<IAudioClient*>(client);
        }
        return outcome.result;
    }

    ULONG STDMETHODCALLTYPE Release() override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const ULONG count = Counted::Release();
        if (count == 0 && refs == 0 && client != nullptr) {
            client->Release();
            client = nullptr;
        }
        return count;
    }
};

namespace {

std::optional<Packet> ScriptedPacket(Stream& stream) {
    if (stream.script.unseen_path) {
        Packet zeros;
        zeros.at_ms = stream.next_index * 10;
        return zeros;
    }
    if (stream.script.source) return stream.script.source(stream.next_index);
    if (stream.next_index < stream.script.packets.size()) return stream.script.packets[stream.next_index];
    return std::nullopt;
}

// The next packet this stream will deliver, fetched from its script.
const Packet* Upcoming(Stream& stream) {
    if (!stream.upcoming && !stream.exhausted) {
        stream.upcoming = ScriptedPacket(stream);
        if (stream.upcoming)
            ++stream.next_index;
        else
            stream.exhausted = true;
    }
    return stream.upcoming ? &*stream.upcoming : nullptr;
}

bool Running(const Stream& stream) { return stream.started && !stream.stopped && !stream.lost; }

uint64_t DueAt(const Stream& stream, const Packet& packet) {
    if (stream.script.rate_ppm == 0) return stream.start_ns + packet.at_ms * 1000000u;
    // A device clock of its own: fast devices deliver early, slow ones late.
    const double device_ns = static_cast<double>(packet.at_ms) * 1e6;
    return stream.start_ns + static_cast<uint64_t>(std::llround(device_ns / (1 + stream.script.rate_ppm * 1e-6)));
}

// Keeps the unread packets within the buffer asked for at Initialize, never
// fewer than the newest one, and never the one handed out by GetBuffer.
void BoundBuffer(Stream& stream) {
    const uint64_t rate = stream.format.nSamplesPerSec != 0 ? stream.format.nSamplesPerSec : 48000;
    const uint64_t capacity =
        static_cast<uint64_t>(std::max<REFERENCE_TIME>(stream.buffer_duration, 0)) * rate / 10000000;
    uint64_t queued = 0;
    for (const Packet& packet : stream.ready) queued += packet.frames;
    const size_t first = stream.buffer_out ? 1 : 0;
    while (queued > capacity && stream.ready.size() > first + 1) {
        const UINT32 frames = stream.ready[first].frames;
        stream.ready.erase(stream.ready.begin() + static_cast<ptrdiff_t>(first));
        queued -= frames;
        ++stream.dropped;
        stream.frames_dropped += frames;
        stream.gap = true;
    }
    if (stream.gap && stream.ready.size() > first) {
        stream.ready[first].discontinuity = true;
        stream.gap = false;
    }
}

// Windows may go on reading the activation's parameters until it completes
// it; this platform reads them once more there.
void ReadParamsAgain(const PendingActivation& pending) {
    if (pending.variant == nullptr) return;
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    AUDIOCLIENT_ACTIVATION_PARAMS now{};
    const bool blob = pending.variant->vt == VT_BLOB && pending.variant->blob.cbSize == sizeof(now) &&
                      pending.variant->blob.pBlobData != nullptr;
    if (blob) std::memcpy(&now, pending.variant->blob.pBlobData, sizeof(now));
    if (!blob || std::memcmp(&now, &pending.params, sizeof(now)) != 0)
        Violation("activation parameters gone or changed before the completion (pid " +
                  std::to_string(pending.params.ProcessLoopbackParams.TargetProcessId) + ", now " +
                  std::to_string(now.ProcessLoopbackParams.TargetProcessId) + ")");
}

void Complete(const PendingActivation& pending) {
    ReadParamsAgain(pending);
    pending.handler->ActivateCompleted(pending.operation);
    pending.handler->Release();
    pending.operation->Release();
}

// Completes an activation, on a thread of its own or in the caller's.
void Launch(const PendingActivation& pending) {
    World& world = TheWorld();
    if (!pending.on_thread) {
        Complete(pending);
        return;
    }
    {
        std::lock_guard<std::mutex> flight(world.flight_lock);
        ++world.in_flight;
    }
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    world.threads.emplace_back([pending, &world] {
        Complete(pending);
        std::lock_guard<std::mutex> flight(world.flight_lock);
        --world.in_flight;
        world.flight_done.notify_all();
    });
}

}  // namespace

void AdvanceTo(uint64_t ns) {
    World& world = TheWorld();
    std::vector<PendingActivation> due;
    {
        std::lock_guard<std::recursive_mutex> hold(world.lock);
        if (ns > world.now_ns) world.now_ns = ns;
        for (const auto& stream : world.streams) {
            if (Running(*stream) && stream->script.lost_at_ms &&
                stream->start_ns + *stream->script.lost_at_ms * 1000000u <= world.now_ns)
                stream->lost = true;
            if (!Running(*stream)) continue;
            bool delivered = false;
            for (const Packet* packet = Upcoming(*stream); packet != nullptr && DueAt(*stream, *packet) <= world.now_ns;
                 packet = Upcoming(*stream)) {
                stream->ready.push_back(std::move(*stream->upcoming));
                stream->upcoming.reset();
                delivered = true;
            }
            if (!delivered) continue;
            BoundBuffer(*stream);
            SignalEvent(stream->event);
        }
        auto& pending = world.pending_activations;
        for (auto it = pending.begin(); it != pending.end();) {
            if (it->due_ns > world.now_ns) {
                ++it;
                continue;
            }
            due.push_back(*it);
            it = pending.erase(it);
        }
    }
    for (const PendingActivation& activation : due) Launch(activation);
}

uint64_t NextDeliveryNanoseconds() {
    World& world = TheWorld();
    std::lock_guard<std::recursive_mutex> hold(world.lock);
    uint64_t next = UINT64_MAX;
    for (const auto& stream : world.streams) {
        if (!Running(*stream)) continue;
        if (const Packet* packet = Upcoming(*stream)) next = std::min(next, DueAt(*stream, *packet));
        if (stream->script.lost_at_ms) next = std::min(next, stream->start_ns + *stream->script.lost_at_ms * 1000000u);
    }
    for (const PendingActivation& activation : world.pending_activations) next = std::min(next, activation.due_ns);
    return next;
}

bool AwaitCompletions() {
    World& world = TheWorld();
    std::unique_lock<std::mutex> flight(world.flight_lock);
    if (world.in_flight == 0) return false;
    world.flight_done.wait(flight, [&world] { return world.in_flight == 0; });
    return true;
}

void AbandonActivations() {
    World& world = TheWorld();
    std::vector<PendingActivation> pending;
    {
        std::lock_guard<std::recursive_mutex> hold(world.lock);
        pending.swap(world.pending_activations);
    }
    for (const PendingActivation& activation : pending) {
        activation.handler->Release();
        activation.operation->Release();
    }
}

}  // namespace scripted::detail

using namespace scripted::detail;

HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid, PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation) {
    World& world = TheWorld();
    std::unique_lock<std::recursive_mutex> hold(world.lock);
    const Outcome outcome = Enter("ActivateAudioInterfaceAsync");
    if (deviceInterfacePath == nullptr || completionHandler == nullptr || activationOperation == nullptr)
        return E_POINTER;
    if (FAILED(outcome.result)) return outcome.result;

    scripted::Activation activation{deviceInterfacePath, riid, VT_EMPTY, 0, {}};
    if (activationParams != nullptr) {
        activation.vt = activationParams->vt;
        activation.blob_size = activationParams->blob.cbSize;
        if (activation.vt == VT_BLOB && activation.blob_size >= sizeof(AUDIOCLIENT_ACTIVATION_PARAMS))
            std::memcpy(&activation.params, activationParams->blob.pBlobData, sizeof(AUDIOCLIENT_ACTIVATION_PARAMS));
    }
    world.activations.push_back(activation);

    const DWORD pid = activation.params.ProcessLoopbackParams.TargetProcessId;
    auto stream = std::make_unique<Stream>();
    stream->pid = pid;
    stream->mode = activation.params.ProcessLoopbackParams.ProcessLoopbackMode;
    auto script = world.loopbacks.find(pid);
    if (script != world.loopbacks.end()) stream->script = script->second;

    HRESULT result = stream->script.activation_result;
    if (activation.vt != VT_BLOB || activation.blob_size != sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) ||
        riid != __uuidof(IAudioClient))
        result = E_INVALIDARG;
    AudioClient* client = nullptr;
    if (SUCCEEDED(result)) {
        client = Make<AudioClient>(stream.get());
        stream->client = client;
        world.streams.push_back(std::move(stream));
    }
    Operation* operation = Make<Operation>(result, client);  // the platform's own reference
    operation->AddRef();                                     // the caller's
    *activationOperation = operation;

    completionHandler->AddRef();
    static const scripted::Loopback kUnscripted;
    const scripted::Loopback& timing = script != world.loopbacks.end() ? script->second : kUnscripted;
    const bool well_formed = activation.vt == VT_BLOB && activation.blob_size == sizeof(AUDIOCLIENT_ACTIVATION_PARAMS);
    const uint64_t latency_ms = timing.activation_draw ? timing.activation_draw() : timing.activation_ms;
    // The variant is read again at the completion: it must still hold what the call found there.
    const PROPVARIANT* variant = well_formed ? activationParams : nullptr;
    const PendingActivation pending{world.now_ns + latency_ms * 1000000u,
                                    timing.complete_on_thread,
                                    completionHandler,
                                    operation,
                                    variant,
                                    activation.params};
    if (latency_ms != 0) {
        world.pending_activations.push_back(pending);  // completed when the clock gets there
        return outcome.result;
    }
    hold.unlock();
    Launch(pending);
    return outcome.result;
}

namespace scripted {

void SetLoopback(DWORD pid, Loopback script) { TheWorld().loopbacks[pid] = std::move(script); }

void InvalidateStreams() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    for (const auto& stream : TheWorld().streams) stream->lost = true;
}

std::vector<Activation> Activations() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    return TheWorld().activations;
}

std::vector<StreamState> Streams() {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    std::vector<StreamState> states;
    for (const auto& stream : TheWorld().streams) {
        bool event_closed = false;
        for (const auto& handle : TheWorld().handles)
            if (handle.get() == stream->event) event_closed = handle->closed;
        states.push_back(StreamState{stream->client, stream->pid, stream->mode, stream->initialized, stream->started,
                                     stream->stopped, stream->event != nullptr, event_closed, stream->client->refs,
                                     stream->capture != nullptr ? stream->capture->refs : 0, stream->taken,
                                     stream->format, stream->stream_flags, stream->buffer_duration, stream->dropped,
                                     stream->frames_dropped});
    }
    return states;
}

}  // namespace scripted
