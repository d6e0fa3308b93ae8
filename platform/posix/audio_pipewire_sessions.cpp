// Endpoints and sessions from PipeWire's graph: each sink is an endpoint,
// and each playback stream a session of the sink it is linked to (of the
// first sink while it is linked to none). A running stream is an active
// session.
#include "platform/posix/audio_pipewire.h"
#include "platform/posix/audio_sessions.h"

namespace {

constexpr char kSinkClass[] = "Audio/Sink";

EndpointRecord* EndpointOf(const PipeWireConnection& graph, uint32_t stream, Snapshot* endpoints) {
    for (const auto& [id, link] : graph.links) {
        if (link.output_node != stream) continue;
        for (EndpointRecord& endpoint : *endpoints)
            if (endpoint.sink == link.input_node) return &endpoint;
    }
    return endpoints->empty() ? nullptr : &endpoints->front();
}

}  // namespace

HRESULT ReadPipeWireSnapshot(Snapshot* endpoints) {
    PipeWireConnection* connection = nullptr;
    const HRESULT hr = AcquirePipeWireConnection(&connection);
    if (FAILED(hr)) return hr;
    pw_thread_loop_lock(connection->loop);
    const PipeWireConnection& graph = *connection;
    for (const auto& [id, node] : graph.nodes)
        if (node->media_class == kSinkClass) endpoints->push_back(EndpointRecord{id, {}});
    for (const auto& [id, node] : graph.nodes) {
        if (node->media_class != kPlaybackStreamClass || !node->described) continue;
        EndpointRecord* endpoint = EndpointOf(graph, id, endpoints);
        if (endpoint == nullptr) continue;
        endpoint->sessions.push_back(SessionRecord{node->running ? AudioSessionStateActive : AudioSessionStateInactive,
                                                   node->event_sound, NodeProcessId(graph, *node), node->client});
    }
    pw_thread_loop_unlock(connection->loop);
    ReleasePipeWireConnection(connection);
    return S_OK;
}
