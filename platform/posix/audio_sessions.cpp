// Endpoints and audio sessions: CoCreateInstance(MMDeviceEnumerator) and the
// interfaces under it. The render endpoints are the server's sinks and the
// sessions of an endpoint are the playback streams (sink inputs) on it; this
// file reads them through libpulse, audio_pipewire_sessions.cpp from
// PipeWire's graph. An
// enumeration reads one snapshot from the server; the objects under it answer
// from that snapshot, which is all a caller enumerating sessions sees of
// Windows' live objects between two calls.
#include "platform/posix/audio_sessions.h"

#include <cstring>
#include <memory>
#include <vector>

#include "platform/posix/audio_group.h"
#include "platform/posix/audio_pulse.h"
#include "platform/posix/com_object.h"

namespace {

// ---- Reading the server ------------------------------------------------------

struct SnapshotReader {
    PulseLoop* loop;
    Snapshot* endpoints;
    ClientProcesses clients;
};

void OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* reader = static_cast<SnapshotReader*>(userdata);
    if (eol != 0)
        SignalPulseLoop(reader->loop);
    else
        reader->endpoints->push_back(EndpointRecord{info->index, {}});
}

// Event sounds are what Windows plays in its system-sounds session: streams
// that say so, and what the server plays from its sample cache (bells, too).
bool IsEventSound(const pa_sink_input_info* info) {
    const char* role = pa_proplist_gets(info->proplist, PA_PROP_MEDIA_ROLE);
    if (role != nullptr && strcmp(role, "event") == 0) return true;
    if (pa_proplist_contains(info->proplist, PA_PROP_EVENT_ID) == 1) return true;
    return info->client == PA_INVALID_INDEX && info->driver != nullptr &&
           strstr(info->driver, "play-memblockq") != nullptr;
}

void OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* reader = static_cast<SnapshotReader*>(userdata);
    if (eol != 0) {
        SignalPulseLoop(reader->loop);
        return;
    }
    for (EndpointRecord& endpoint : *reader->endpoints) {
        if (endpoint.sink != info->sink) continue;
        endpoint.sessions.push_back(SessionRecord{info->corked ? AudioSessionStateInactive : AudioSessionStateActive,
                                                  IsEventSound(info), ProcessIdOf(info->proplist), info->client});
    }
}

void OnClientInfo(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* reader = static_cast<SnapshotReader*>(userdata);
    if (eol != 0)
        SignalPulseLoop(reader->loop);
    else
        reader->clients[info->index] = ProcessIdOf(info->proplist);
}

// A stream that names no process belongs to its client's. The clients are
// read after the streams, so every stream's client is still there unless it
// has gone with its streams.
void ResolveClientProcesses(SnapshotReader* reader) {
    for (EndpointRecord& endpoint : *reader->endpoints) {
        for (SessionRecord& session : endpoint.sessions) {
            if (session.pid != 0) continue;
            const auto client = reader->clients.find(session.client);
            if (client != reader->clients.end()) session.pid = client->second;
        }
    }
}

HRESULT ReadPulseSnapshot(Snapshot* endpoints) {
    PulseConnection* connection = nullptr;
    const HRESULT hr = AcquirePulseConnection(&connection);
    if (FAILED(hr)) return hr;
    SnapshotReader reader{connection->loop, endpoints, {}};
    LockPulseLoop(connection->loop);
    const bool read =
        WaitForOperation(connection, pa_context_get_sink_info_list(connection->context, OnSinkInfo, &reader)) &&
        WaitForOperation(connection,
                         pa_context_get_sink_input_info_list(connection->context, OnSinkInputInfo, &reader)) &&
        WaitForOperation(connection, pa_context_get_client_info_list(connection->context, OnClientInfo, &reader));
    UnlockPulseLoop(connection->loop);
    ResolveClientProcesses(&reader);
    ReleasePulseConnection(connection);
    return read ? S_OK : AUDCLNT_E_SERVICE_NOT_RUNNING;
}

// ---- COM objects ----------------------------------------------------------------

class SessionControl final : public ComObject<IAudioSessionControl2> {
public:
    explicit SessionControl(const SessionRecord& record) : record_(record) {}
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* pRetVal) override {
        if (pRetVal == nullptr) return E_POINTER;
        *pRetVal = record_.state;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pRetVal) override {
        if (pRetVal == nullptr) return E_POINTER;
        *pRetVal = record_.pid;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override { return record_.system_sounds ? S_OK : S_FALSE; }

private:
    bool Answers(REFIID riid) const override {
        return riid == __uuidof(IAudioSessionControl) || riid == __uuidof(IAudioSessionControl2);
    }
    const SessionRecord record_;
};

class SessionEnumerator final : public ComObject<IAudioSessionEnumerator> {
public:
    SessionEnumerator(std::shared_ptr<const Snapshot> snapshot, size_t endpoint)
        : snapshot_(std::move(snapshot)), sessions_((*snapshot_)[endpoint].sessions) {}
    HRESULT STDMETHODCALLTYPE GetCount(int* SessionCount) override {
        if (SessionCount == nullptr) return E_POINTER;
        *SessionCount = static_cast<int>(sessions_.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSession(int SessionCount, IAudioSessionControl** Session) override {
        if (Session == nullptr) return E_POINTER;
        *Session = nullptr;
        if (SessionCount < 0 || static_cast<size_t>(SessionCount) >= sessions_.size()) return E_INVALIDARG;
        *Session = new SessionControl(sessions_[static_cast<size_t>(SessionCount)]);
        return S_OK;
    }

private:
    const std::shared_ptr<const Snapshot> snapshot_;
    const std::vector<SessionRecord>& sessions_;  // inside *snapshot_
};

class SessionManager final : public ComObject<IAudioSessionManager2> {
public:
    SessionManager(std::shared_ptr<const Snapshot> snapshot, size_t endpoint)
        : snapshot_(std::move(snapshot)), endpoint_(endpoint) {}
    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** SessionEnum) override {
        if (SessionEnum == nullptr) return E_POINTER;
        *SessionEnum = new SessionEnumerator(snapshot_, endpoint_);
        return S_OK;
    }

private:
    const std::shared_ptr<const Snapshot> snapshot_;
    const size_t endpoint_;
};

class Device final : public ComObject<IMMDevice> {
public:
    Device(std::shared_ptr<const Snapshot> snapshot, size_t endpoint)
        : snapshot_(std::move(snapshot)), endpoint_(endpoint) {}
    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD, PROPVARIANT*, void** ppInterface) override {
        if (ppInterface == nullptr) return E_POINTER;
        *ppInterface = nullptr;
        if (iid != __uuidof(IAudioSessionManager2)) return E_NOINTERFACE;
        *ppInterface = static_cast<IAudioSessionManager2*>(new SessionManager(snapshot_, endpoint_));
        return S_OK;
    }

private:
    const std::shared_ptr<const Snapshot> snapshot_;
    const size_t endpoint_;
};

class DeviceCollection final : public ComObject<IMMDeviceCollection> {
public:
    explicit DeviceCollection(std::shared_ptr<const Snapshot> snapshot) : snapshot_(std::move(snapshot)) {}
    HRESULT STDMETHODCALLTYPE GetCount(UINT* pcDevices) override {
        if (pcDevices == nullptr) return E_POINTER;
        *pcDevices = static_cast<UINT>(snapshot_->size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Item(UINT nDevice, IMMDevice** ppDevice) override {
        if (ppDevice == nullptr) return E_POINTER;
        *ppDevice = nullptr;
        if (nDevice >= snapshot_->size()) return E_INVALIDARG;
        *ppDevice = new Device(snapshot_, nDevice);
        return S_OK;
    }

private:
    const std::shared_ptr<const Snapshot> snapshot_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
public:
    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow dataFlow, DWORD dwStateMask,
                                                 IMMDeviceCollection** ppDevices) override {
        if (ppDevices == nullptr) return E_POINTER;
        *ppDevices = nullptr;
        if (dataFlow != eRender && dataFlow != eCapture && dataFlow != eAll) return E_INVALIDARG;
        if ((dwStateMask & ~0xFu) != 0) return E_INVALIDARG;  // active, disabled, not present, unplugged
        auto snapshot = std::make_shared<Snapshot>();
        // Sinks are always active; capture endpoints are not modelled.
        if (dataFlow != eCapture && (dwStateMask & DEVICE_STATE_ACTIVE) != 0) {
            bool pipewire = false;
            HRESULT hr = ChooseAudioGroup(&pipewire);
            if (SUCCEEDED(hr)) hr = pipewire ? ReadPipeWireSnapshot(snapshot.get()) : ReadPulseSnapshot(snapshot.get());
            if (FAILED(hr)) return hr;
        }
        *ppDevices = new DeviceCollection(std::move(snapshot));
        return S_OK;
    }
};

}  // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    if (rclsid != __uuidof(MMDeviceEnumerator) || (dwClsContext & 0x17u) == 0) return REGDB_E_CLASSNOTREG;
    auto* enumerator = new DeviceEnumerator();
    const HRESULT hr = enumerator->QueryInterface(riid, ppv);
    enumerator->Release();
    return hr;
}
