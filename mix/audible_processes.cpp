// Processes with a live audio session, from every active playback endpoint.
#include "mix/audible_processes.h"

namespace {

// The session's owner, or 0 when the session is dropped: the tests run in
// order and the first one that fails ends the session's examination.
DWORD SessionOwner(IAudioSessionEnumerator* sessions, int index, bool& active) {
    IAudioSessionControl* control = nullptr;
    if (FAILED(sessions->GetSession(index, &control)) || control == nullptr) return 0;
    IAudioSessionControl2* control2 = nullptr;
    if (FAILED(control->QueryInterface(__uuidof(IAudioSessionControl2), reinterpret_cast<void**>(&control2))))
        control2 = nullptr;
    DWORD pid = 0;
    if (control2 != nullptr) {
        AudioSessionState state = AudioSessionStateExpired;
        // Only S_OK marks the system-sounds session; S_FALSE and failures let it pass.
        if (SUCCEEDED(control2->GetState(&state)) && state != AudioSessionStateExpired &&
            control2->IsSystemSoundsSession() != S_OK && FAILED(control2->GetProcessId(&pid)))
            pid = 0;
        active = state == AudioSessionStateActive;
        control2->Release();
    }
    control->Release();
    return pid;
}

void AddSessionOwners(IMMDevice* device, std::map<DWORD, bool>& owners) {
    IAudioSessionManager2* manager = nullptr;
    if (FAILED(device->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr, reinterpret_cast<void**>(&manager))))
        manager = nullptr;
    IAudioSessionEnumerator* sessions = nullptr;
    if (manager != nullptr && FAILED(manager->GetSessionEnumerator(&sessions))) sessions = nullptr;
    if (sessions != nullptr) {
        int count = 0;  // a failing GetCount writes nothing: no sessions
        sessions->GetCount(&count);
        for (int index = 0; index < count; ++index) {
            bool active = false;
            if (const DWORD pid = SessionOwner(sessions, index, active); pid != 0) owners[pid] |= active;
        }
        sessions->Release();
    }
    if (manager != nullptr) manager->Release();
}

}  // namespace

std::set<DWORD> FindAudibleProcesses() {
    std::set<DWORD> pids;
    for (const auto& owner : FindSessionOwners()) pids.insert(pids.end(), owner.first);
    return pids;
}

std::map<DWORD, bool> FindSessionOwners(HRESULT* failure) {
    std::map<DWORD, bool> owners;
    IMMDeviceEnumerator* enumerator = nullptr;
    HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                  reinterpret_cast<void**>(&enumerator));
    if (FAILED(hr) || enumerator == nullptr) {
        if (failure != nullptr) *failure = FAILED(hr) ? hr : E_POINTER;
        return owners;
    }
    IMMDeviceCollection* devices = nullptr;
    hr = enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices);
    if (FAILED(hr) || devices == nullptr) {
        if (failure != nullptr) *failure = FAILED(hr) ? hr : E_POINTER;
        enumerator->Release();
        return owners;
    }
    UINT count = 0;  // a failing GetCount writes nothing: no devices
    devices->GetCount(&count);
    for (UINT index = 0; index < count; ++index) {
        IMMDevice* device = nullptr;
        if (FAILED(devices->Item(index, &device)) || device == nullptr) continue;
        AddSessionOwners(device, owners);
        device->Release();
    }
    devices->Release();
    enumerator->Release();
    return owners;
}
