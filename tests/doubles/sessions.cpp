// Endpoints and their audio sessions, as the test wrote them.
#include "tests/doubles/world.h"

namespace scripted::detail {
namespace {

// Each method logs its call, refuses work on a released object and returns
// the scripted outcome; the macro keeps that preamble to one line.
#define SCRIPTED_CALL(method)                                      \
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);   \
    const Outcome outcome = Enter(name + "::" + method);           \
    if (Dead(*this, method)) return E_UNEXPECTED

// A value-returning call: E_POINTER without a place for the value, the
// scripted failure, or the value written and the scripted success code.
template <typename T>
HRESULT Answer(const Outcome& outcome, T* out, T value) {
    if (out == nullptr) return E_POINTER;
    if (FAILED(outcome.result)) return outcome.result;
    *out = value;
    return outcome.result;
}

struct SessionControl2 : Counted<IAudioSessionControl2> {
    explicit SessionControl2(Session s) : Counted("IAudioSessionControl2"), session(s) {}
    Session session;

    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
        SCRIPTED_CALL("GetState");
        return Answer(outcome, state, session.state);
    }
    HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) override {
        SCRIPTED_CALL("GetProcessId");
        return Answer(outcome, pid, session.pid);
    }
    HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() override {
        std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
        const Outcome outcome = Enter(name + "::IsSystemSoundsSession", session.system_sounds ? S_OK : S_FALSE);
        if (Dead(*this, "IsSystemSoundsSession")) return E_UNEXPECTED;
        return outcome.result;
    }
};

struct SessionControl : Counted<IAudioSessionControl> {
    explicit SessionControl(Session s) : Counted("IAudioSessionControl"), session(s) {}
    Session session;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        SCRIPTED_CALL("QueryInterface");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (FAILED(outcome.result)) return outcome.result;
        if (outcome.null_out) return S_OK;
        if (riid == __uuidof(IAudioSessionControl2)) {
            *out = static_cast<IAudioSessionControl2*>(Make<SessionControl2>(session));
        } else if (riid == __uuidof(IUnknown) || riid == __uuidof(IAudioSessionControl)) {
            AddRef();
            *out = static_cast<IAudioSessionControl*>(this);
        } else {
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) override {
        SCRIPTED_CALL("GetState");
        return Answer(outcome, state, session.state);
    }
};

struct SessionEnumerator : Counted<IAudioSessionEnumerator> {
    explicit SessionEnumerator(std::vector<Session> s) : Counted("IAudioSessionEnumerator"), sessions(std::move(s)) {}
    std::vector<Session> sessions;

    HRESULT STDMETHODCALLTYPE GetCount(int* count) override {
        SCRIPTED_CALL("GetCount");
        return Answer(outcome, count, static_cast<int>(sessions.size()));
    }
    HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** out) override {
        SCRIPTED_CALL("GetSession");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (index < 0 || static_cast<size_t>(index) >= sessions.size()) return E_INVALIDARG;
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        *out = Make<SessionControl>(sessions[static_cast<size_t>(index)]);
        return outcome.result;
    }
};

struct SessionManager : Counted<IAudioSessionManager2> {
    explicit SessionManager(std::vector<Session> s) : Counted("IAudioSessionManager2"), sessions(std::move(s)) {}
    std::vector<Session> sessions;

    HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** out) override {
        SCRIPTED_CALL("GetSessionEnumerator");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        *out = Make<SessionEnumerator>(sessions);
        return outcome.result;
    }
};

struct Device : Counted<IMMDevice> {
    explicit Device(Endpoint e) : Counted("IMMDevice"), endpoint(std::move(e)) {}
    Endpoint endpoint;

    HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* params, void** out) override {
        SCRIPTED_CALL("Activate");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (iid != __uuidof(IAudioSessionManager2)) return E_NOINTERFACE;
        if (context != CLSCTX_ALL || params != nullptr) Violation("IMMDevice::Activate with context or parameters");
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        *out = static_cast<IAudioSessionManager2*>(Make<SessionManager>(endpoint.sessions));
        return outcome.result;
    }
};

struct DeviceCollection : Counted<IMMDeviceCollection> {
    explicit DeviceCollection(std::vector<Endpoint> e) : Counted("IMMDeviceCollection"), endpoints(std::move(e)) {}
    std::vector<Endpoint> endpoints;

    HRESULT STDMETHODCALLTYPE GetCount(UINT* count) override {
        SCRIPTED_CALL("GetCount");
        return Answer(outcome, count, static_cast<UINT>(endpoints.size()));
    }
    HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** out) override {
        SCRIPTED_CALL("Item");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (index >= endpoints.size()) return E_INVALIDARG;
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        *out = Make<Device>(endpoints[index]);
        return outcome.result;
    }
};

struct DeviceEnumerator : Counted<IMMDeviceEnumerator> {
    DeviceEnumerator() : Counted("IMMDeviceEnumerator") {}

    HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD mask, IMMDeviceCollection** out) override {
        SCRIPTED_CALL("EnumAudioEndpoints");
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (flow != eRender || mask != DEVICE_STATE_ACTIVE) Violation("endpoints asked for other than active render");
        if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
        *out = Make<DeviceCollection>(TheWorld().endpoints);
        return outcome.result;
    }
};

#undef SCRIPTED_CALL

}  // namespace
}  // namespace scripted::detail

using namespace scripted::detail;

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv) {
    std::lock_guard<std::recursive_mutex> hold(TheWorld().lock);
    const Outcome outcome = Enter("CoCreateInstance");
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (rclsid != __uuidof(MMDeviceEnumerator)) return REGDB_E_CLASSNOTREG;
    if (pUnkOuter != nullptr) return CLASS_E_NOAGGREGATION;
    if (riid != __uuidof(IMMDeviceEnumerator)) return E_NOINTERFACE;
    if (dwClsContext != CLSCTX_ALL) Violation("CoCreateInstance with a context other than CLSCTX_ALL");
    if (FAILED(outcome.result) || outcome.null_out) return outcome.result;
    *ppv = static_cast<IMMDeviceEnumerator*>(Make<DeviceEnumerator>());
    return outcome.result;
}

namespace scripted {

void SetEndpoints(std::vector<Endpoint> endpoints) { TheWorld().endpoints = std::move(endpoints); }

}  // namespace scripted
