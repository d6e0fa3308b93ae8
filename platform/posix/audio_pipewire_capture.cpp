// The native PipeWire side of the process-loopback device. One capture
// stream of ours, and a link from every output port of every playback
// stream of the captured process tree to its input port of that channel:
// the graph mixes what the links bring, on its own clock and at whatever
// quantum it runs (we ask for none). Each cycle's frames are cut into 10 ms
// packets stamped with the graph's time.
#include <spa/param/audio/format-utils.h>

#include <algorithm>
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

}  // namespace

struct PipeWireCapture {
    PipeWireConnection* connection;  // one reference, shared with the process's other devices
    PipeWireListener listener;
    DWORD target;
    bool exclude;
    PacketQueue* queue;  // the device's; outlives the capture
    // The rest belongs to the loop thread, or to whoever holds its lock.
    bool running = false;
    pw_stream* stream = nullptr;
    spa_hook stream_listener{};
    uint32_t node = SPA_ID_INVALID;          // our capture node, once the daemon has made it
    std::map<PortPair, pw_proxy*> links;     // ours, one reference each
    bool audible = false;                    // a stream we are linked to is running
    std::vector<int16_t> carry;              // the last cycles' frames short of a packet
    UINT64 carry_time = 0;                   // graph time of carry's first frame, 100 ns units
};

namespace {

// The input channels of ours that an output channel feeds: mono goes to both.
std::vector<const char*> InputChannels(const std::string& channel) {
    if (channel == "FL" || channel == "FR") return {channel == "FL" ? "FL" : "FR"};
    if (channel == "MONO") return {"FL", "FR"};
    return {};
}

pw_proxy* CreateLink(PipeWireCapture* capture, const PortPair& ports, uint32_t output_node) {
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
    return static_cast<pw_proxy*>(pw_core_create_object(capture->connection->core, "link-factory",
                                                        PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
}

// Links what should be linked and unlinks the rest: every output port of a
// playback stream whose process is in the tree (or, excluding, is not).
void Reconcile(PipeWireCapture* capture) {
    if (!capture->running || capture->node == SPA_ID_INVALID) return;
    const PipeWireConnection& graph = *capture->connection;
    std::map<std::string, uint32_t> inputs;  // our input port of each channel
    for (const auto& [id, port] : graph.ports)
        if (port.node == capture->node && !port.output && !port.monitor) inputs[port.channel] = id;

    std::map<uint32_t, bool> wanted;  // by playback stream, decided once a pass
    std::map<PortPair, uint32_t> linked;  // what should be, with the output node
    bool audible = false;
    for (const auto& [id, port] : graph.ports) {
        if (!port.output || port.monitor) continue;
        const auto node = graph.nodes.find(port.node);
        if (node == graph.nodes.end() || node->second->media_class != kPlaybackStreamClass ||
            !node->second->described)
            continue;
        auto [decided, fresh] = wanted.try_emplace(port.node, false);
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
        if (linked.count(it->first) != 0) {
            ++it;
            continue;
        }
        pw_proxy_destroy(it->second);
        it = capture->links.erase(it);
    }
    for (const auto& [ports, output_node] : linked) {
        if (capture->links.count(ports) != 0) continue;
        if (pw_proxy* link = CreateLink(capture, ports, output_node)) capture->links[ports] = link;
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

// One cycle of the graph: its frames join the carry, and every whole 10 ms
// of it is a packet. While no linked stream runs, the graph's silence is not
// sound of the tree: nothing is delivered, as Windows delivers nothing
// while the captured processes play nothing.
void OnProcess(void* data) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream);
    if (buffer == nullptr) return;
    const spa_data& block = buffer->buffer->datas[0];
    if (!capture->audible || block.data == nullptr || block.chunk == nullptr) {
        capture->carry.clear();
    } else {
        const uint32_t offset = std::min(block.chunk->offset, block.maxsize);
        const uint32_t bytes = std::min(block.chunk->size, block.maxsize - offset);
        const auto* samples = reinterpret_cast<const int16_t*>(static_cast<const uint8_t*>(block.data) + offset);
        pw_time time{};
        if (capture->carry.empty() && pw_stream_get_time_n(capture->stream, &time, sizeof time) == 0)
            capture->carry_time = static_cast<UINT64>(time.now) / 100;
        capture->carry.insert(capture->carry.end(), samples, samples + bytes / 4 * 2);
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
    pw_stream_queue_buffer(capture->stream, buffer);
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
// anywhere, and unlinked it wakes no driver.
bool ConnectStream(PipeWireCapture* capture) {
    const spa_dict_item items[] = {
        {PW_KEY_MEDIA_TYPE, "Audio"},        {PW_KEY_MEDIA_CATEGORY, "Capture"},
        {PW_KEY_NODE_NAME, "pcmtap"},        {PW_KEY_NODE_AUTOCONNECT, "false"},
        {PW_KEY_NODE_DONT_RECONNECT, "true"}, {PW_KEY_NODE_WANT_DRIVER, "false"},
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
    return pw_stream_connect(capture->stream, PW_DIRECTION_INPUT, PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS, params,
                             1) >= 0;
}

void DisconnectStream(PipeWireCapture* capture) {
    for (auto& [ports, link] : capture->links) pw_proxy_destroy(link);
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
