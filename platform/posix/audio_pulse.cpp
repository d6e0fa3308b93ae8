// The PulseAudio connection behind the audio group.
#include "platform/posix/audio_pulse.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/shared_connection.h"

namespace {

// Wakes whoever waits in OpenConnection or WaitForOperation (a state change
// may be the end of the connection) and tells the devices of a loss.
void OnContextState(pa_context* context, void* userdata) {
    auto* connection = static_cast<PulseConnection*>(userdata);
    SignalPulseLoop(connection->loop);
    if (!IsConnectionLost(context)) return;
    for (PulseListener* listener : connection->listeners) listener->on_lost(listener->owner);
}

// A client seen for the first time is recorded quietly: the server announces
// a client before its streams, so the streams' queries come after. One whose
// process changed later (PipeWire's clients may name theirs once connected)
// is told to every listener.
void OnClientInfo(pa_context*, const pa_client_info* info, int eol, void* userdata) {
    auto* connection = static_cast<PulseConnection*>(userdata);
    if (eol != 0 || info == nullptr) return;
    const DWORD pid = ProcessIdOf(info->proplist);
    const auto [known, added] = connection->clients.try_emplace(info->index, pid);
    if (added || known->second == pid) return;
    known->second = pid;
    for (PulseListener* listener : connection->listeners) listener->on_client_changed(listener->owner);
}

void OnClientEvent(PulseConnection* connection, pa_subscription_event_type_t type, uint32_t index) {
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) {
        connection->clients.erase(index);
        return;
    }
    // Not kept: the context cancels it when it goes, before the connection does.
    pa_operation* op = pa_context_get_client_info(connection->context, index, OnClientInfo, connection);
    if (op != nullptr) pa_operation_unref(op);
}

void OnSubscriptionEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
    auto* connection = static_cast<PulseConnection*>(userdata);
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
        case PA_SUBSCRIPTION_EVENT_CLIENT:
            OnClientEvent(connection, type, index);
            break;
        case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
            for (PulseListener* listener : connection->listeners)
                listener->on_sink_input_event(listener->owner, type, index);
            break;
        default:
            break;
    }
}

void ArmClock(PulseConnection* connection, pa_usec_t first) {
    itimerspec when{};
    if (first != 0) {
        when.it_value = {static_cast<time_t>(first / 1000000), static_cast<long>(first % 1000000) * 1000};
        when.it_interval = {0, static_cast<long>(kClockPeriod) * 1000};
    }
    timerfd_settime(connection->clock, TFD_TIMER_ABSTIME, &when, nullptr);
    connection->ticking = first != 0;
}

// Every device mixes what has come due; the clock stops when none needs it.
// A periodic timer is never re-armed, so a tick costs one wake-up and one read.
void OnClockTick(pa_mainloop_api*, pa_io_event*, int fd, pa_io_event_flags_t, void* userdata) {
    auto* connection = static_cast<PulseConnection*>(userdata);
    uint64_t expirations = 0;
    if (read(fd, &expirations, sizeof(expirations)) != sizeof(expirations)) return;
    const pa_usec_t now = pa_rtclock_now();
    bool needed = false;
    for (PulseListener* listener : connection->listeners) needed |= listener->on_tick(listener->owner, now);
    if (!needed) ArmClock(connection, 0);
}

void OnServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* connection = static_cast<PulseConnection*>(userdata);
    if (info != nullptr && info->server_name != nullptr)
        connection->corked_monitor_holds_back = strstr(info->server_name, "PipeWire") != nullptr;
    SignalPulseLoop(connection->loop);
}

// Disconnects, stops the main loop thread and frees both; after it returns
// no callback of the connection runs any more.
void CloseConnection(PulseConnection* connection) {
    LockPulseLoop(connection->loop);
    if (connection->clock_event != nullptr) {
        pa_mainloop_api* api = PulseLoopApi(connection->loop);
        api->io_free(connection->clock_event);
    }
    if (connection->clock >= 0) close(connection->clock);
    pa_context_set_state_callback(connection->context, nullptr, nullptr);
    pa_context_set_subscribe_callback(connection->context, nullptr, nullptr);
    pa_context_disconnect(connection->context);
    pa_context_unref(connection->context);
    UnlockPulseLoop(connection->loop);
    FreePulseLoop(connection->loop);  // joins the thread; harmless if it never started
    delete connection;
}

// While the devices' clock runs, a wake-up for the server's messages
// gathers the rest of them: PulseAudio posts each monitor's fragment on its
// own. One for the clock's tick alone does not wait.
bool GathersMonitorData(void* owner, const pollfd* fds, unsigned long count) {
    const auto* connection = static_cast<const PulseConnection*>(owner);
    if (!connection->ticking) return false;
    for (unsigned long i = 0; i < count; ++i)
        if (fds[i].revents != 0 && fds[i].fd != connection->clock) return true;
    return false;
}

// Connects and waits until the context is ready.
HRESULT OpenConnection(PulseConnection** opened) {
    PulseLoop* loop = NewPulseLoop();
    if (loop == nullptr) return E_OUTOFMEMORY;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "pcmtap");
    pa_context* context = pa_context_new_with_proplist(PulseLoopApi(loop), "pcmtap", properties);
    pa_proplist_free(properties);
    if (context == nullptr) {
        FreePulseLoop(loop);
        return E_OUTOFMEMORY;
    }
    auto* connection = new PulseConnection();
    connection->loop = loop;
    loop->gathers = GathersMonitorData;
    loop->owner = connection;
    connection->context = context;
    pa_context_set_state_callback(context, OnContextState, connection);
    pa_context_set_subscribe_callback(context, OnSubscriptionEvent, connection);

    LockPulseLoop(loop);
    // Never start a server of our own: with none running, Windows' answer is
    // that the audio service is not running, and so is ours.
    bool ready = pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0 && StartPulseLoop(loop);
    while (ready) {
        const pa_context_state_t state = pa_context_get_state(context);
        if (state == PA_CONTEXT_READY) break;
        if (!PA_CONTEXT_IS_GOOD(state))
            ready = false;
        else
            WaitPulseLoop(loop);
    }
    if (ready) ready = WaitForOperation(connection, pa_context_get_server_info(context, OnServerInfo, connection));
    UnlockPulseLoop(loop);
    if (!ready) {
        CloseConnection(connection);
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *opened = connection;
    return S_OK;
}

bool IsLost(PulseConnection* connection) {
    LockPulseLoop(connection->loop);
    const bool lost = IsConnectionLost(connection->context);
    UnlockPulseLoop(connection->loop);
    return lost;
}

// A kept context hears of every change as it comes: nothing to bring up to date.
HRESULT KeepAsItIs(PulseConnection*) { return S_OK; }

SharedConnection<PulseConnection> shared;
const ConnectionSteps<PulseConnection> kSteps = {OpenConnection, IsLost, KeepAsItIs, CloseConnection};

}  // namespace

bool IsConnectionLost(pa_context* context) {
    const pa_context_state_t state = pa_context_get_state(context);
    return state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED;
}

HRESULT AcquirePulseConnection(PulseConnection** connection) { return AcquireShared(shared, kSteps, connection); }

void ReleasePulseConnection(PulseConnection* connection) { ReleaseShared(shared, kSteps, connection); }

void AddPulseListener(PulseConnection* connection, PulseListener* listener) {
    connection->listeners.push_back(listener);
}

void RemovePulseListener(PulseConnection* connection, PulseListener* listener) {
    RemoveListener(connection->listeners, listener);
}

void SubscribeSinkInputs(PulseConnection* connection) {
    if (connection->subscribed) return;
    const auto mask =
        static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_CLIENT);
    pa_operation* op = pa_context_subscribe(connection->context, mask, nullptr, nullptr);
    if (op != nullptr) pa_operation_unref(op);
    op = pa_context_get_client_info_list(connection->context, OnClientInfo, connection);
    if (op != nullptr) pa_operation_unref(op);
    connection->subscribed = true;
}

void StartPulseClock(PulseConnection* connection) {
    if (connection->ticking) return;
    if (connection->clock < 0) {
        connection->clock = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (connection->clock < 0) return;
        pa_mainloop_api* api = PulseLoopApi(connection->loop);
        connection->clock_event = api->io_new(api, connection->clock, PA_IO_EVENT_INPUT, OnClockTick, connection);
    }
    ArmClock(connection, NextClockTick(pa_rtclock_now()));
}

void TrackOperation(std::vector<pa_operation*>* pending, pa_operation* op) {
    if (op == nullptr) return;
    const auto finished = std::remove_if(pending->begin(), pending->end(), [](pa_operation* kept) {
        if (pa_operation_get_state(kept) == PA_OPERATION_RUNNING) return false;
        pa_operation_unref(kept);
        return true;
    });
    pending->erase(finished, pending->end());
    pending->push_back(op);
}

void CancelOperations(std::vector<pa_operation*>* pending) {
    for (pa_operation* op : *pending) {
        pa_operation_cancel(op);
        pa_operation_unref(op);
    }
    pending->clear();
}

bool WaitForOperation(PulseConnection* connection, pa_operation* op) {
    if (op == nullptr) return false;
    while (pa_operation_get_state(op) == PA_OPERATION_RUNNING && !IsConnectionLost(connection->context))
        WaitPulseLoop(connection->loop);
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

DWORD StreamProcessId(const pa_sink_input_info* info, const ClientProcesses& clients) {
    const DWORD own = ProcessIdOf(info->proplist);
    if (own != 0 || info->client == PA_INVALID_INDEX) return own;
    const auto client = clients.find(info->client);
    return client == clients.end() ? 0 : client->second;
}
