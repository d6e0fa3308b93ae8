// The audio group for the replay: one endpoint whose sessions are the
// players, and process-loopback streams that hand out each player's
// recording in place, 480 frames per 10 ms of the virtual clock.
#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "bench/replay_platform.h"
#include "platform/posix/loopback_client_answers.h"

namespace {

constexpr UINT32 kPacketFrames = 480;  // 10 ms, the shared-mode period of a Windows endpoint
constexpr uint64_t kPacketNanoseconds = 10000000;

struct Recording {
    const int16_t* samples = nullptr;
    size_t frames = 0;
};

std::map<DWORD, Recording> recordings;  // by player pid
std::vector<DWORD> players;             // in the order they were added

// Reference counting and QueryInterface for an object with one interface
// beyond IUnknown.
template <typename Interface>
struct Object : Interface {
    ULONG refs = 1;

    virtual ~Object() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (riid != __uuidof(IUnknown) && riid != __uuidof(Interface)) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        ++refs;
        *out = static_cast<Interface*>(this);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --refs;
        if (left == 0) delete this;
        return left;
    }
};

// ---- Sessions ----

struct SessionControl : Object<IAudioSessionControl2> {
    explicit SessionControl(DWORD owner) : pid(owner) {}
    DWORD pid;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (out != nullptr && riid == __uuidof(IAudioSessionControl)) {
            ++refs;
            *out = static_cast<IAudioSessionControl*>(this);
            return S_OK;
        }
        return Object::QueryInterface(riid, out);
    }
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
        *state = AudioSessionStateActive;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* out) override {
        *out = pid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override { return S_FALSE; }
};

struct SessionEnumerator : Object<IAudioSessionEnumerator> {
    HRESULT STDMETHODCALLTYPE GetCount(int* count) override {
        *count = static_cast<int>(players.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** out) override {
        if (index < 0 || static_cast<size_t>(index) >= players.size()) return E_INVALIDARG;
        *out = new SessionControl(players[static_cast<size_t>(index)]);
        return S_OK;
    }
};

struct SessionManager : Object<IAudioSessionManager2> {
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** out) override {
        *out = new SessionEnumerator;
        return S_OK;
    }
};

struct Device : Object<IMMDevice> {
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** out) override {
        *out = nullptr;
        if (iid != __uuidof(IAudioSessionManager2)) return E_NOINTERFACE;
        *out = static_cast<IAudioSessionManager2*>(new SessionManager);
        return S_OK;
    }
};

struct DeviceCollection : Object<IMMDeviceCollection> {
    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** out) override {
        if (index != 0) return E_INVALIDARG;
        *out = new Device;
        return S_OK;
    }
};

struct DeviceEnumerator : Object<IMMDeviceEnumerator> {
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow, DWORD, IMMDeviceCollection** out) override {
        *out = new DeviceCollection;
        return S_OK;
    }
};

// ---- Process loopback ----

struct CaptureClient : Object<IAudioCaptureClient> {
    explicit CaptureClient(Recording played) : recording(played) {}
    Recording recording;
    uint64_t start_ns = 0;         // virtual clock at Start: packet i is due 10 i ms later
    size_t taken = 0;              // packets released so far
    uint64_t due_ns = UINT64_MAX;  // when the next packet is due; never while stopped or at the end
    UINT32 due_frames = 0;         // the next packet's size
    bool out = false;              // a packet is out between GetBuffer and ReleaseBuffer

    // Works out the next packet once per packet, not once per call.
    void Schedule(bool running) {
        const size_t first = taken * kPacketFrames;
        const bool more = running && first < recording.frames;
        due_ns = more ? start_ns + taken * kPacketNanoseconds : UINT64_MAX;
        due_frames = more ? static_cast<UINT32>(std::min<size_t>(kPacketFrames, recording.frames - first)) : 0;
    }
    UINT32 DueFrames() const { return due_ns <= replay::detail::now_ns ? due_frames : 0; }

    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        *frames = DueFrames();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*, UINT64*) override {
        if (out) return AUDCLNT_E_OUT_OF_ORDER;
        *flags = 0;
        *frames = DueFrames();
        if (*frames == 0) {
            *data = nullptr;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        // The recording itself, as a device hands out its own buffer.
        const int16_t* first = recording.samples + taken * kPacketFrames * 2;
        *data = reinterpret_cast<BYTE*>(const_cast<int16_t*>(first));
        out = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        if (!out) return AUDCLNT_E_OUT_OF_ORDER;
        if (frames != due_frames) return AUDCLNT_E_INVALID_SIZE;
        out = false;
        ++taken;
        Schedule(true);
        return S_OK;
    }
};

struct AudioClient : UnimplementedByProcessLoopback<Object<IAudioClient>> {
    explicit AudioClient(Recording played) : capture(new CaptureClient(played)) {}
    ~AudioClient() override { capture->Release(); }
    CaptureClient* capture;  // the client's own reference
    bool initialized = false;
    bool started = false;
    HANDLE event = nullptr;

    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE, DWORD, REFERENCE_TIME, REFERENCE_TIME,
                                         const WAVEFORMATEX* format, LPCGUID) override {
        if (format == nullptr) return E_POINTER;
        if (initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format->nChannels != 2 || format->nSamplesPerSec != 48000 || format->wBitsPerSample != 16)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        initialized = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE handle) override {
        if (!initialized) return AUDCLNT_E_NOT_INITIALIZED;
        event = handle;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** out) override {
        *out = nullptr;
        if (!initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (riid != __uuidof(IAudioCaptureClient)) return E_NOINTERFACE;
        capture->AddRef();
        *out = static_cast<IAudioCaptureClient*>(capture);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        if (!initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        if (started) return AUDCLNT_E_NOT_STOPPED;
        started = true;
        capture->start_ns = replay::detail::now_ns;
        capture->Schedule(true);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        if (!initialized) return AUDCLNT_E_NOT_INITIALIZED;
        const bool was_running = started;
        started = false;
        capture->Schedule(false);
        return was_running ? S_OK : S_FALSE;
    }
    // What the process-loopback client of Windows answers (the rest are E_NOTIMPL); the tool calls none.
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (!initialized) return AUDCLNT_E_NOT_INITIALIZED;
        *frames = 0xBAADF00Du;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Reset() override { return started ? AUDCLNT_E_NOT_STOPPED : S_OK; }
};

struct Operation : Object<IActivateAudioInterfaceAsyncOperation> {
    Operation(HRESULT outcome, AudioClient* activated) : result(outcome), client(activated) {}
    ~Operation() override {
        if (client != nullptr) client->Release();
    }
    HRESULT result;
    AudioClient* client;  // the operation's own reference

    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* activate_result, IUnknown** activated) override {
        *activate_result = result;
        *activated = nullptr;
        if (client != nullptr) {
            client->AddRef();
            *activated = static_cast<IAudioClient*>(client);
        }
        return S_OK;
    }
};

}  // namespace

void replay::AddPlayer(DWORD pid, const int16_t* samples, size_t frames) {
    recordings[pid] = Recording{samples, frames};
    players.push_back(pid);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN, DWORD, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != __uuidof(MMDeviceEnumerator)) return REGDB_E_CLASSNOTREG;
    if (riid != __uuidof(IMMDeviceEnumerator)) return E_NOINTERFACE;
    *ppv = static_cast<IMMDeviceEnumerator*>(new DeviceEnumerator);
    return S_OK;
}

// Completes on the caller's thread, before returning: the opener's wait then
// finds its event already set. A pid that plays nothing gets a silent stream.
HRESULT ActivateAudioInterfaceAsync(LPCWSTR deviceInterfacePath, REFIID riid, PROPVARIANT* activationParams,
                                    IActivateAudioInterfaceCompletionHandler* completionHandler,
                                    IActivateAudioInterfaceAsyncOperation** activationOperation) {
    if (deviceInterfacePath == nullptr || completionHandler == nullptr || activationOperation == nullptr)
        return E_POINTER;
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    HRESULT result = E_INVALIDARG;
    if (activationParams != nullptr && activationParams->vt == VT_BLOB &&
        activationParams->blob.cbSize == sizeof(params) && riid == __uuidof(IAudioClient)) {
        std::memcpy(&params, activationParams->blob.pBlobData, sizeof(params));
        result = S_OK;
    }
    AudioClient* client = nullptr;
    if (SUCCEEDED(result)) {
        const auto found = recordings.find(params.ProcessLoopbackParams.TargetProcessId);
        client = new AudioClient(found != recordings.end() ? found->second : Recording{});
    }
    auto* operation = new Operation(result, client);
    completionHandler->ActivateCompleted(operation);
    *activationOperation = operation;  // the caller's reference
    return S_OK;
}
