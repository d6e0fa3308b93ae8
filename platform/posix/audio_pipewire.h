// The process's one connection to a PipeWire daemon, shared by every
// process-loopback device and every endpoint enumeration of the native
// group: one core on one thread loop, and what the group keeps of the graph.
#pragma once

#include <pipewire/pipewire.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32.h"

struct PipeWireConnection;

// A node of the graph, from the registry; playback streams are also bound
// for their info (full properties and state).
struct GraphNode {
    std::string media_class;           // "Stream/Output/Audio" for a playback stream, "Audio/Sink", ...
    uint32_t client = SPA_ID_INVALID;  // client.id
    bool described = false;            // its info has come: pid, event_sound and running are known
    DWORD pid = 0;                     // application.process.id of its own properties, 0 when absent
    bool event_sound = false;          // media.role "event", or an event.id
    bool running = false;              // in the running state
    uint32_t channels = 0;             // of the stream's own format (what it plays), 0 until known
    pw_proxy* proxy = nullptr;         // bound playback stream; null for other nodes
    spa_hook listener{};
    PipeWireConnection* connection = nullptr;  // a bound one's, for its events
};

struct GraphPort {
    uint32_t node;
    bool output;
    bool monitor;         // a sink's or source's monitor port
    std::string channel;  // audio.channel: "FL", "FR", "MONO", ...
};

struct GraphLink {
    uint32_t output_node;
    uint32_t input_node;
};

struct GraphClient {
    DWORD pid = 0;  // application.process.id of the client, 0 when absent
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

// A device on the connection: hears of any change of the graph (a node,
// port, link or client coming, going or described) and of the connection's
// loss. Called on the loop thread.
struct PipeWireListener {
    void (*on_graph_changed)(void* owner);
    void (*on_lost)(void* owner);
    void* owner;
};

struct PipeWireConnection {
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook core_listener{};
    spa_hook registry_listener{};
    // The rest belongs to whoever holds the loop lock.
    bool lost = false;  // the daemon went away, or refused us
    int done = -1;      // the last round trip's sequence number that came back
    std::map<uint32_t, std::unique_ptr<GraphNode>> nodes;
    std::map<uint32_t, GraphPort> ports;
    std::map<uint32_t, GraphLink> links;
    std::map<uint32_t, std::unique_ptr<GraphClient>> clients;
    uint64_t processes_changed = 0;            // counts clients whose process changed once known
    std::vector<PipeWireListener*> listeners;  // not owned
    LONG references = 0;                       // guarded by the process-wide connection lock, not the loop's
};

// A reference to the process's connection, made on first use and made again
// once the daemon has been lost; when it returns, the graph as the daemon
// had it at the call is known, with every playback stream and client
// described. No daemon (or no libpipewire) is AUDCLNT_E_SERVICE_NOT_RUNNING.
HRESULT AcquirePipeWireConnection(PipeWireConnection** connection);
// Drops a reference; a lost connection is closed with its last one. Must not
// be called on the loop thread.
void ReleasePipeWireConnection(PipeWireConnection* connection);

// With the loop locked.
void AddPipeWireListener(PipeWireConnection* connection, PipeWireListener* listener);
void RemovePipeWireListener(PipeWireConnection* connection, PipeWireListener* listener);
// Waits until the daemon has answered everything asked of it so far, and
// what that brought was answered too. False once the connection is lost or
// the daemon keeps us waiting 5 s.
bool SyncPipeWire(PipeWireConnection* connection);

// The process a node belongs to: its own application.process.id, or its
// client's. 0 when neither names one.
DWORD NodeProcessId(const PipeWireConnection& connection, const GraphNode& node);

constexpr char kPlaybackStreamClass[] = "Stream/Output/Audio";
