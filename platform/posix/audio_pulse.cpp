// The PulseAudio connection behind the audio group.
#include "platform/posix/audio_pulse.h"

#include <cstdlib>
#include <cstring>

namespace {

// Wakes whoever waits in OpenPulseConnection or WaitForOperation: a state
// change may be the end of the connection.
void OnContextState(pa_context*, void* userdata) {
    pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(userdata), 0);
}

}  // namespace

bool IsConnectionLost(pa_context* context) {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

HRESULT OpenPulseConnection(PulseConnection* connection) {
    *connection = PulseConnection{nullptr, nullptr};
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    if (loop == nullptr) return E_OUTOFMEMORY;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "pcmtap");
    pa_context* context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop), "pcmtap", properties);
    pa_proplist_free(properties);
    if (context == nullptr) {
        pa_threaded_mainloop_free(loop);
        return E_OUTOFMEMORY;
    }
    pa_context_set_state_callback(context, OnContextState, loop);
    *connection = PulseConnection{loop, context};

    pa_threaded_mainloop_lock(loop);
    // Never start a server of our own: with none running, Windows' answer is
    // that the audio service is not running, and so is ours.
    bool ready = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 &&
                 pa_threaded_mainloop_start(loop) >= 0;
    while (ready) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state))
            ready = false;
        else
            pa_threaded_mainloop_wait(loop);
    }
    pa_threaded_mainloop_unlock(loop);
    if (!ready) {
        ClosePulseConnection(connection);
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    return S_OK;
}

void ClosePulseConnection(PulseConnection* connection) {
    if (connection->loop == nullptr) return;
    pa_threaded_mainloop_lock(connection->loop);
    pa_context_set_state_callback(connection->context, nullptr, nullptr);
    pa_context_disconnect(connection->context);
    pa_context_unref(connection->context);
    pa_threaded_mainloop_unlock(connection->loop);
    pa_threaded_mainloop_stop(connection->loop);  // joins the thread; harmless if it never started
    pa_threaded_mainloop_free(connection->loop);
    *connection = PulseConnection{nullptr, nullptr};
}

bool WaitForOperation(PulseConnection* connection, pa_operation* op) {
    if (op == nullptr) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !IsConnectionLost(connection->context))
        pa_threaded_mainloop_wait(connection->loop);
    const bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return done && !IsConnectionLost(connection->context);
}

DWORD ProcessIdOf(const pa_proplist* properties) {
    const char* text = pa_proplist_gets(properties, PA_PROP_APPLICATION_PROCESS_ID);
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = strtoul(text, &end, 10);
    if (*end != '\0' || value > 0xFFFFFFFFul) return 0;
    return static_cast<DWORD>(value);
}
