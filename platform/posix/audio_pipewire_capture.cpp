// The native PipeWire side of the process-loopback device. One capture
// stream of ours, and a link from every output port of every playback
// stream of the captured process tree to its input port of that channel:
// the graph mixes what the links bring, on its own clock and at whatever
// quantum it runs (we ask for none). Each cycle's frames are cut into 10 ms
// packets stamped with the graph's time, on the graph's own data thread, so
// that nothing the loop thread does (the graph's events) can make them late.
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <utility>

#include "platform/posix/audio_loopback.h"
#include "platform/posix/audio_pipewire.h"
#include "platform/posix/audio_process_tree.h"

namespace {

constexpr size_t kPacketSamples = kPacketFrames * 2;
constexpr UINT64 kPacketTicks = 100000;  // 10 ms in 100 ns units

typedef std::pair<uint32_t, uint32_t> PortPair;  // (output port of a playback stream, input port of ours)

// A link of ours. One the daemon refused or removed while both ports are
// still wanted is made again at the next change of the graph.
struct OurLink {
    pw_proxy* proxy;
    spa_hook listener{};
    bool failed = false;
};

}  // namespace

struct PipeWireCapture {
    PipeWireConnection* connection;  // one reference, shared with the process's other devices
    PipeWireListener listener;
    DWORD target;
    bool exclude;
    PacketQueue* queue;  // the device's; outlives the capture
    // The rest belongs to the loop thread, or to whoever holds its lock,
    // except where it says otherwise.
    bool running = false;
    pw_stream* stream = nullptr;
    spa_hook stream_listener{};
    uint32_t node = SPA_ID_INVALID;          // our capture node, once the daemon has made it
    std::map<PortPair, std::unique_ptr<OurLink>> links;
    std::map<uint32_t, bool> captured;       // by playback stream: whether its process is one we capture
    uint64_t processes_seen = 0;             // the connection's processes_changed that captured is for
    std::atomic<bool> audible{false};        // a stream we are linked to is running; read on the data thread
    // The data thread's, while the stream exists:
    std::vector<int16_t> carry;  // the last cycles' frames short of a packet
    UINT64 carry_time = 0;       // graph time of carry's first frame, 100 ns units
};

namespace {

// The input channels of ours that an output channel feeds, as a stereo
// downmix takes them: mono and centre go to both sides, the surround
// channels to their side; the low-frequency channel to neither.
std::vector<const char*> InputChannels(const std::string& channel) {
    if (channel == "FL" || channel == "SL" || channel == "RL") return {"FL"};
    if (channel == "FR" || channel == "SR" || channel == "RR") return {"FR"};
    if (channel == "MONO" || channel == "FC") return {"FL", "FR"};
    return {};
}

void OnLinkFailed(void* data) { static_cast<OurLink*>(data)->failed = true; }
void OnLinkError(void* data, int, int, const char*) { OnLinkFailed(data); }

pw_proxy_events LinkEvents() {
    pw_proxy_events events{};
    events.version = PW_VERSION_PROXY_EVENTS;
    events.removed = OnLinkFailed;
    events.error = OnLinkError;
    return events;
}
const pw_proxy_events kLinkEvents = LinkEvents();

void DestroyLink(OurLink* link) {
    spa_hook_remove(&link->listener);
    pw_proxy_destroy(link->proxy);
}

std::unique_ptr<OurLink> CreateLink(PipeWireCapture* capture, const PortPair& ports, uint32_t output_node) {
    char output_node_text[16], output_port[16], input_node[16], input_port[16];
    snprintf(output_node_text, sizeof output_node_text, "%u", output_node);
    snprintf(output_port, sizeof output_port, "%u", ports.first);
    snprintf(input_node, sizeof input_node, "%u", capture->node);
    snprintf(input_port, sizeof input_port, "%u", ports.second);
    const spa_dict_item items[] = {
        {PW_KEY_LINK_OUTPUT_NODE, output_node_text}, {PW_KEY_LINK_OUTPUT_PORT, output_port},
        {PW_KEY_LINK_INPUT_NODE, input_node},        {PW_KEY_LINK_INPUT_PORT, input_port},
        {PW_KEY_OBJECT_LINGER, "false"},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(capture->connection->core, "link-factory",
                                                               PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy == nullptr) return nullptr;
    auto link = std::make_unique<OurLink>(OurLink{proxy});
    pw_proxy_add_listener(proxy, &link->listener, &kLinkEvents, link.get());
    return link;
}

// Links what should be linked and unlinks the rest: every output port of a
// playback stream whose process is in the tree (or, excluding, is not).
void Reconcile(PipeWireCapture* capture) {
    if (!capture->running || capture->node == SPA_ID_INVALID) return;
    const PipeWireConnection& graph = *capture->connection;
    std::map<std::string, uint32_t> inputs;  // our input port of each channel
    for (const auto& [id, port] : graph.ports)
        if (port.node == capture->node && !port.output && !port.monitor) inputs[port.channel] = id;

    // A stream's process is looked up once (the process tree is read from
    // /proc), again only when a client's process changed.
    if (capture->processes_seen != graph.processes_changed) {
        capture->captured.clear();
        capture->processes_seen = graph.processes_changed;
    }
    for (auto it = capture->captured.begin(); it != capture->captured.end();)
        it = graph.nodes.count(it->first) != 0 ? std::next(it) : capture->captured.erase(it);
    std::map<PortPair, uint32_t> linked;  // what should be, with the output node
    bool audible = false;
    for (const auto& [id, port] : graph.ports) {
        if (!port.output || port.monitor) continue;
        const auto node = graph.nodes.find(port.node);
        if (node == graph.nodes.end() || node->second->media_class != kPlaybackStreamClass ||
            !node->second->described)
            continue;
        auto [decided, fresh] = capture->captured.try_emplace(port.node, false);
        if (fresh)
            decided->second = IsInProcessTree(NodeProcessId(graph, *node->second), capture->target) != capture->exclude;
        if (!decided->second) continue;
        for (const char* channel : InputChannels(port.channel)) {
            const auto input = inputs.find(channel);
            if (input == inputs.end()) continue;
            linked[{id, input->second}] = port.node;
            audible = audible || node->second->running;
        }
    }
    for (auto it = capture->links.begin(); it != capture->links.end();) {
        if (linked.count(it->first) != 0 && !it->second->failed) {
            ++it;
            continue;
        }
        DestroyLink(it->second.get());
        it = capture->links.erase(it);
    }
    for (const auto& [ports, output_node] : linked) {
        if (capture->links.count(ports) != 0) continue;
        if (auto link = CreateLink(capture, ports, output_node)) capture->links[ports] = std::move(link);
    }
    capture->audible = audible;
}

void OnGraphChanged(void* owner) { Reconcile(static_cast<PipeWireCapture*>(owner)); }

// The daemon closes every stream as it goes; the reader hears of it through
// the packet queue.
void OnConnectionLost(void* owner) { ReportDeviceLost(static_cast<PipeWireCapture*>(owner)->queue); }

void OnStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    if (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) return;
    capture->node = pw_stream_get_node_id(capture->stream);
    Reconcile(capture);
}

// Data thread: the graph's cycles since the last call; their frames join the carry, and every whole 10 ms of it is a
// packet. While no linked stream runs, the graph's silence is not sound of
// the tree: nothing is delivered, as Windows delivers nothing while the
// captured processes play nothing.
void OnProcess(void* data) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream)) {
        const spa_data& block = buffer->buffer->datas[0];
        if (!capture->audible || block.data == nullptr || block.chunk == nullptr) {
            capture->carry.clear();
            pw_stream_queue_buffer(capture->stream, buffer);
            continue;
        }
        const uint32_t offset = std::min(block.chunk->offset, block.maxsize);
        const uint32_t bytes = std::min(block.chunk->size, block.maxsize - offset);
        const auto* samples = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(block.data) + offset);
        pw_time time{};
        if (capture->carry.empty() && pw_stream_get_time_n(capture->stream, &time, sizeof time) == 0)
            capture->carry_time = static_cast<UINT64>(time.now) / 100;
        capture->carry.insert(capture->carry.end(), samples, samples + bytes / 4 * 2);
        pw_stream_queue_buffer(capture->stream, buffer);
        size_t used = 0;
        for (; capture->carry.size() - used >= kPacketSamples; used += kPacketSamples) {
            auto packet = std::make_unique<Packet>();
            std::copy_n(capture->carry.begin() + static_cast<ptrdiff_t>(used), kPacketSamples, packet->samples);
            packet->time = capture->carry_time;
            capture->carry_time += kPacketTicks;
            DeliverPacket(capture->queue, std::move(packet));
        }
        capture->carry.erase(capture->carry.begin(), capture->carry.begin() + static_cast<ptrdiff_t>(used));
    }
}

pw_stream_events StreamEvents() {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = OnStreamState;
    events.process = OnProcess;
    return events;
}
const pw_stream_events kStreamEvents = StreamEvents();

// A capture node that nothing links but us: no session manager connects it
// anywhere. It wants a driver, like any stream: one that did not was never
// scheduled once it was linked later (PipeWire 0.3.65).
bool ConnectStream(PipeWireCapture* capture) {
    const spa_dict_item items[] = {
        {PW_KEY_MEDIA_TYPE, "Audio"},        {PW_KEY_MEDIA_CATEGORY, "Capture"},
        {PW_KEY_NODE_NAME, "pcmtap"},        {PW_KEY_NODE_AUTOCONNECT, "false"},
        {PW_KEY_NODE_DONT_RECONNECT, "true"},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    capture->stream = pw_stream_new(capture->connection->core, "process loopback", pw_properties_new_dict(&dict));
    if (capture->stream == nullptr) return false;
    pw_stream_add_listener(capture->stream, &capture->stream_listener, &kStreamEvents, capture);
    uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    spa_audio_info_raw format{};
    format.format = SPA_AUDIO_FORMAT_S16_LE;
    format.rate = 48000;
    format.channels = 2;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(capture->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) >= 0;
}

void DisconnectStream(PipeWireCapture* capture) {
    for (auto& [ports, link] : capture->links) DestroyLink(link.get());
    capture->links.clear();
    if (capture->stream != nullptr) {
        spa_hook_remove(&capture->stream_listener);
        pw_stream_destroy(capture->stream);
        capture->stream = nullptr;
    }
    capture->node = SPA_ID_INVALID;
    capture->audible = false;
    capture->carry.clear();
}

}  // namespace

HRESULT OpenPipeWireCapture(DWORD target, bool exclude, PacketQueue* queue, PipeWireCapture** capture) {
    auto opened = std::make_unique<PipeWireCapture>();
    opened->target = target;
    opened->exclude = exclude;
    opened->queue = queue;
    opened->listener = PipeWireListener{OnGraphChanged, OnConnectionLost, opened.get()};
    const HRESULT hr = AcquirePipeWireConnection(&opened->connection);
    if (FAILED(hr)) return hr;
    pw_thread_loop_lock(opened->connection->loop);
    const bool lost = opened->connection->lost;
    if (!lost) AddPipeWireListener(opened->connection, &opened->listener);
    pw_thread_loop_unlock(opened->connection->loop);
    if (lost) {
        ReleasePipeWireConnection(opened->connection);
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *capture = opened.release();
    return S_OK;
}

HRESULT StartPipeWireCapture(PipeWireCapture* capture) {
    pw_thread_loop_lock(capture->connection->loop);
    HRESULT hr = S_OK;
    if (capture->connection->lost) {
        hr = AUDCLNT_E_DEVICE_INVALIDATED;
    } else if (!capture->running) {
        capture->running = true;
        if (!ConnectStream(capture)) {
            DisconnectStream(capture);
            capture->running = false;
            hr = E_OUTOFMEMORY;
        }
    }
    pw_thread_loop_unlock(capture->connection->loop);
    return hr;
}

void StopPipeWireCapture(PipeWireCapture* capture) {
    pw_thread_loop_lock(capture->connection->loop);
    capture->running = false;
    DisconnectStream(capture);
    pw_thread_loop_unlock(capture->connection->loop);
}

void ClosePipeWireCapture(PipeWireCapture* capture) {
    StopPipeWireCapture(capture);
    pw_thread_loop_lock(capture->connection->loop);
    RemovePipeWireListener(capture->connection, &capture->listener);
    pw_thread_loop_unlock(capture->connection->loop);
    ReleasePipeWireConnection(capture->connection);
    delete capture;
}
