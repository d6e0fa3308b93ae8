// The PipeWire connection behind the native audio group, and its picture of
// the graph: nodes, ports and links from the registry, playback streams and
// clients bound for their properties and state.
#include "platform/posix/audio_pipewire.h"

#include <spa/param/audio/format-utils.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/pipewire_library.h"
#include "platform/posix/shared_connection.h"

namespace {

constexpr int kAnswerSeconds = 5;  // how long a daemon may keep a round trip waiting

DWORD ParseProcessId(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    char* end = nullptr;
    const unsigned long value = strtoul(text, &end, 10);
    if (*end != '\0' || value > 0xFFFFFFFFul) return 0;
    return static_cast<DWORD>(value);
}

uint32_t ParseId(const char* text) {
    if (text == nullptr || *text == '\0') return SPA_ID_INVALID;
    char* end = nullptr;
    const unsigned long value = strtoul(text, &end, 10);
    return *end == '\0' && value < SPA_ID_INVALID ? static_cast<uint32_t>(value) : SPA_ID_INVALID;
}

void TellGraphChanged(PipeWireConnection* connection) {
    for (PipeWireListener* listener : connection->listeners) listener->on_graph_changed(listener->owner);
}

// ---- Bound objects ---------------------------------------------------------------

struct Binding {
    PipeWireConnection* connection;
    uint32_t id;
};

void OnNodeInfo(void* data, const pw_node_info* info) {
    auto* node = static_cast<GraphNode*>(data);
    if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0 && info->props != nullptr) {
        node->pid = ParseProcessId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
        const char* role = spa_dict_lookup(info->props, PW_KEY_MEDIA_ROLE);
        node->event_sound =
            (role != nullptr && strcmp(role, "event") == 0) || spa_dict_lookup(info->props, "event.id") != nullptr;
    }
    node->running = info->state == PW_NODE_STATE_RUNNING;
    node->described = true;
    TellGraphChanged(node->connection);
}

// The stream's format is what its client plays, before the graph converts
// it to the ports' layout (that of the sink it plays on).
void OnNodeParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
    auto* node = static_cast<GraphNode*>(data);
    spa_audio_info_raw format{};
    if (id != SPA_PARAM_Format || param == nullptr || spa_format_audio_raw_parse(param, &format) < 0 ||
        format.channels == node->channels)
        return;
    node->channels = format.channels;
    TellGraphChanged(node->connection);
}

constexpr pw_node_events kNodeEvents = {PW_VERSION_NODE_EVENTS, OnNodeInfo, OnNodeParam};

void OnClientInfo(void* data, const pw_client_info* info) {
    auto* connection = static_cast<PipeWireConnection*>(data);
    const auto found = connection->clients.find(info->id);
    if (found == connection->clients.end() || info->props == nullptr) return;
    const DWORD pid = ParseProcessId(spa_dict_lookup(info->props, PW_KEY_APP_PROCESS_ID));
    if (pid == found->second->pid) return;
    found->second->pid = pid;
    ++connection->processes_changed;
    TellGraphChanged(connection);
}

constexpr pw_client_events kClientEvents = {PW_VERSION_CLIENT_EVENTS, OnClientInfo, nullptr};

void Unbind(pw_proxy* proxy, spa_hook* listener) {
    if (proxy == nullptr) return;
    spa_hook_remove(listener);
    pw_proxy_destroy(proxy);
}

// ---- The registry ------------------------------------------------------------------

void OnGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
    auto* connection = static_cast<PipeWireConnection*>(data);
    if (props == nullptr) return;
    if (strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        const char* media_class = spa_dict_lookup(props, PW_KEY_MEDIA_CLASS);
        if (media_class == nullptr) return;
        auto node = std::make_unique<GraphNode>();
        node->media_class = media_class;
        node->client = ParseId(spa_dict_lookup(props, PW_KEY_CLIENT_ID));
        if (node->media_class == kPlaybackStreamClass) {
            node->proxy = static_cast<pw_proxy*>(
                pw_registry_bind(connection->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
            if (node->proxy != nullptr) {
                node->connection = connection;
                pw_node_add_listener(reinterpret_cast<pw_node*>(node->proxy), &node->listener, &kNodeEvents,
                                     node.get());
                uint32_t params[] = {SPA_PARAM_Format};
                pw_node_subscribe_params(reinterpret_cast<pw_node*>(node->proxy), params, 1);
            }
        } else {
            node->described = true;
        }
        connection->nodes[id] = std::move(node);
    } else if (strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        const char* direction = spa_dict_lookup(props, PW_KEY_PORT_DIRECTION);
        const char* channel = spa_dict_lookup(props, PW_KEY_AUDIO_CHANNEL);
        const char* monitor = spa_dict_lookup(props, PW_KEY_PORT_MONITOR);
        connection->ports[id] = GraphPort{
            ParseId(spa_dict_lookup(props, PW_KEY_NODE_ID)), direction != nullptr && strcmp(direction, "out") == 0,
            monitor != nullptr && strcmp(monitor, "true") == 0, channel != nullptr ? channel : ""};
    } else if (strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        connection->links[id] = GraphLink{ParseId(spa_dict_lookup(props, PW_KEY_LINK_OUTPUT_NODE)),
                                          ParseId(spa_dict_lookup(props, PW_KEY_LINK_INPUT_NODE))};
    } else if (strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
        auto client = std::make_unique<GraphClient>();
        client->pid = ParseProcessId(spa_dict_lookup(props, PW_KEY_APP_PROCESS_ID));
        client->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(connection->registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (client->proxy != nullptr)
            pw_client_add_listener(reinterpret_cast<pw_client*>(client->proxy), &client->listener, &kClientEvents,
                                   connection);
        connection->clients[id] = std::move(client);
    } else {
        return;
    }
    TellGraphChanged(connection);
}

void OnGlobalRemove(void* data, uint32_t id) {
    auto* connection = static_cast<PipeWireConnection*>(data);
    if (const auto node = connection->nodes.find(id); node != connection->nodes.end()) {
        Unbind(node->second->proxy, &node->second->listener);
        connection->nodes.erase(node);
    } else if (const auto client = connection->clients.find(id); client != connection->clients.end()) {
        Unbind(client->second->proxy, &client->second->listener);
        connection->clients.erase(client);
    } else if (connection->ports.erase(id) == 0 && connection->links.erase(id) == 0) {
        return;
    }
    TellGraphChanged(connection);
}

constexpr pw_registry_events kRegistryEvents = {PW_VERSION_REGISTRY_EVENTS, OnGlobal, OnGlobalRemove};

// ---- The core ------------------------------------------------------------------------

void OnCoreDone(void* data, uint32_t id, int seq) {
    auto* connection = static_cast<PipeWireConnection*>(data);
    if (id != PW_ID_CORE) return;
    connection->done = seq;
    pw_thread_loop_signal(connection->loop, false);
}

// The daemon gone (the socket closed) ends the connection. Other errors the
// core reports are of one request (an object already gone, say), not of it.
void OnCoreError(void* data, uint32_t id, int, int res, const char*) {
    auto* connection = static_cast<PipeWireConnection*>(data);
    if (id != PW_ID_CORE || res != -EPIPE || connection->lost) return;
    connection->lost = true;
    pw_thread_loop_signal(connection->loop, false);
    for (PipeWireListener* listener : connection->listeners) listener->on_lost(listener->owner);
}

pw_core_events CoreEvents() {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = OnCoreDone;
    events.error = OnCoreError;
    return events;
}
const pw_core_events kCoreEvents = CoreEvents();

// Ends the loop thread and frees everything; no callback runs after it.
void CloseConnection(PipeWireConnection* connection) {
    if (connection->core != nullptr) {
        pw_thread_loop_lock(connection->loop);
        for (auto& [id, node] : connection->nodes) Unbind(node->proxy, &node->listener);
        for (auto& [id, client] : connection->clients) Unbind(client->proxy, &client->listener);
        connection->nodes.clear();
        connection->clients.clear();
        if (connection->registry != nullptr) {
            spa_hook_remove(&connection->registry_listener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(connection->registry));
        }
        spa_hook_remove(&connection->core_listener);
        pw_core_disconnect(connection->core);
        pw_thread_loop_unlock(connection->loop);
    }
    pw_thread_loop_stop(connection->loop);
    if (connection->context != nullptr) pw_context_destroy(connection->context);
    pw_thread_loop_destroy(connection->loop);
    delete connection;
}

HRESULT OpenConnection(PipeWireConnection** opened) {
    if (!LoadPipeWireLibrary()) return AUDCLNT_E_SERVICE_NOT_RUNNING;
    pw_thread_loop* loop = pw_thread_loop_new("pcmtap-pipewire", nullptr);
    if (loop == nullptr) return E_OUTOFMEMORY;
    auto* connection = new PipeWireConnection();
    connection->loop = loop;
    // A real-time data thread, where the system allows one: capture nodes
    // that miss the graph's deadline lose that cycle.
    const spa_dict_item config[] = {{PW_KEY_CONFIG_NAME, "client-rt.conf"}};
    const spa_dict config_dict = SPA_DICT_INIT_ARRAY(config);
    connection->context = pw_context_new(pw_thread_loop_get_loop(loop), pw_properties_new_dict(&config_dict), 0);
    if (connection->context == nullptr || pw_thread_loop_start(loop) < 0) {
        CloseConnection(connection);
        return E_OUTOFMEMORY;
    }
    pw_thread_loop_lock(loop);
    const spa_dict_item items[] = {{PW_KEY_APP_NAME, "pcmtap"}};
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    // Never a daemon of our own: with none running the audio service is not.
    connection->core = pw_context_connect(connection->context, pw_properties_new_dict(&dict), 0);
    bool ready = connection->core != nullptr;
    if (ready) {
        pw_core_add_listener(connection->core, &connection->core_listener, &kCoreEvents, connection);
        connection->registry = pw_core_get_registry(connection->core, PW_VERSION_REGISTRY, 0);
        ready = connection->registry != nullptr;
    }
    if (ready) {
        pw_registry_add_listener(connection->registry, &connection->registry_listener, &kRegistryEvents, connection);
        ready = SyncPipeWire(connection);
    }
    pw_thread_loop_unlock(loop);
    if (!ready) {
        CloseConnection(connection);
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *opened = connection;
    return S_OK;
}

bool IsLost(PipeWireConnection* connection) {
    pw_thread_loop_lock(connection->loop);
    const bool lost = connection->lost;
    pw_thread_loop_unlock(connection->loop);
    return lost;
}

// What a caller reads of the graph is what the daemon has now.
HRESULT Refresh(PipeWireConnection* connection) {
    pw_thread_loop_lock(connection->loop);
    const bool answered = SyncPipeWire(connection);
    pw_thread_loop_unlock(connection->loop);
    return answered ? S_OK : AUDCLNT_E_SERVICE_NOT_RUNNING;
}

SharedConnection<PipeWireConnection> shared;
const ConnectionSteps<PipeWireConnection> kSteps = {OpenConnection, IsLost, Refresh, CloseConnection};

}  // namespace

HRESULT AcquirePipeWireConnection(PipeWireConnection** connection) { return AcquireShared(shared, kSteps, connection); }

void ReleasePipeWireConnection(PipeWireConnection* connection) { ReleaseShared(shared, kSteps, connection); }

void AddPipeWireListener(PipeWireConnection* connection, PipeWireListener* listener) {
    connection->listeners.push_back(listener);
}

void RemovePipeWireListener(PipeWireConnection* connection, PipeWireListener* listener) {
    RemoveListener(connection->listeners, listener);
}

bool SyncPipeWire(PipeWireConnection* connection) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    // Two round trips: the first brings every global, the second the info of
    // those the first had bound.
    for (int round = 0; round < 2 && !connection->lost; ++round) {
        const int seq = pw_core_sync(connection->core, PW_ID_CORE, 0);
        while (!connection->lost && connection->done - seq < 0) {
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec >= kAnswerSeconds) return false;
            pw_thread_loop_timed_wait(connection->loop, 1);
        }
    }
    return !connection->lost;
}

DWORD NodeProcessId(const PipeWireConnection& connection, const GraphNode& node) {
    if (node.pid != 0) return node.pid;
    const auto client = connection.clients.find(node.client);
    return client == connection.clients.end() ? 0 : client->second->pid;
}
