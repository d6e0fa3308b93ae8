// The native PipeWire side of the process-loopback device. A capture node
// of ours for every playback stream of the captured process tree, linked to
// that stream's output ports only (and one spare while nothing plays): a
// stream that corks, ends or starts changes the links of its own
// node and of no other (one node fed by every stream lost whole graph cycles
// whenever a sibling's links were deactivated). The graph converts what the
// links bring to the device's rate and sample type, on its own clock and at
// whatever quantum it runs (we ask for none). Stereo and mono players feed
// the node's FL and FR; players with more channels feed a second set of
// inputs, mixed down to stereo (or mono) on the data thread, where the
// nodes' frames of each cycle are summed and cut into 10 ms packets stamped
// with the graph's time, straight into the device's ring, so that nothing
// the loop thread does (the graph's events) can make them late.
#include <spa/param/audio/format-utils.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <utility>

#include "platform/posix/audio_loopback.h"
#include "platform/posix/audio_pipewire.h"
#include "platform/posix/audio_pipewire_cycle.h"
#include "platform/posix/audio_process_tree.h"

struct PipeWireCapture;

namespace {

// Our inputs: FL and FR take stereo and mono players as they are; the
// surround set takes the channels of players with more than two, and is mixed
// down on the data thread. Its inputs take positions of their own, which no
// player's channel is linked to as such, and the graph passes each through
// as it is. (Inputs at AUX positions, which the graph cannot place, came out
// silent.)
struct SurroundInput {
    const char* player;  // the player's channel
    const char* ours;    // our input's channel name
    uint32_t position;   // and position
};
constexpr SurroundInput kSurround[] = {
    {"FL", "FLC", SPA_AUDIO_CHANNEL_FLC}, {"FR", "FRC", SPA_AUDIO_CHANNEL_FRC}, {"FC", "RC", SPA_AUDIO_CHANNEL_RC},
    {"SL", "TFL", SPA_AUDIO_CHANNEL_TFL}, {"SR", "TFR", SPA_AUDIO_CHANNEL_TFR}, {"RL", "TRL", SPA_AUDIO_CHANNEL_TRL},
    {"RR", "TRR", SPA_AUDIO_CHANNEL_TRR},
};
static_assert(kNodeChannels == kSurroundFirst + sizeof kSurround / sizeof kSurround[0]);

constexpr int kRetryMs = 300;  // a refused link is asked for again this often
constexpr int kRemakeMs = 50;  // a capture node that failed is made again (a spare too many goes) this soon
// A capture node is made again, and refused links are asked for again, at
// most kMaxRetries times in any kRetryWindowMs, whatever the node reached in
// between; one more failure loses the device, as a lost stream does on
// Windows: a capture that cannot keep its place in the graph ends with a
// word instead of going silent.
constexpr size_t kMaxRetries = 3;
constexpr int64_t kRetryWindowMs = 10000;

// When the last kMaxRetries retries of one kind were made, oldest first from next.
struct RetryBudget {
    int64_t at_ms[kMaxRetries] = {INT64_MIN, INT64_MIN, INT64_MIN};
    size_t next = 0;
};

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Spends one retry; false once kMaxRetries were spent within the window.
bool TakeRetry(RetryBudget* budget) {
    const int64_t now = NowMs();
    int64_t& oldest = budget->at_ms[budget->next];
    if (oldest != INT64_MIN && now - oldest < kRetryWindowMs) return false;
    oldest = now;
    budget->next = (budget->next + 1) % kMaxRetries;
    return true;
}

typedef std::pair<uint32_t, uint32_t> PortPair;  // (output port of a playback stream, input port of ours)

// A link of ours. One the daemon refused or removed while both ports are
// still wanted is asked for again kRetryMs later.
struct OurLink {
    PipeWireCapture* capture;
    pw_proxy* proxy;
    spa_hook listener{};
    bool failed = false;
    bool refused = false;  // failed with an error, not removed
};

// A capture node of ours: taking one playback stream, or spare.
struct CaptureNode {
    PipeWireCapture* capture;
    // The loop thread's, except where it says otherwise.
    uint32_t playback = SPA_ID_INVALID;  // the playback stream it takes; none while spare
    pw_stream* stream = nullptr;
    spa_hook listener{};
    uint32_t id = SPA_ID_INVALID;  // our node, once the daemon has made it
    bool remake = false;           // it failed or went; made again at the timer
    std::map<PortPair, std::unique_ptr<OurLink>> links;
    // How many of centre, side and rear the surround set has linked on the
    // side that has most (0 to 3): the downmix's scale, read by the data
    // thread. Written before links are made, so that their first cycle is
    // already mixed with it.
    std::atomic<int> surround_weight{0};
    // The data thread's: where in the cycle of this serial its next frames go.
    uint64_t serial = 0;
    uint32_t at = 0;
};

}  // namespace

struct PipeWireCapture {
    PipeWireConnection* connection;  // one reference, shared with the process's other devices
    PipeWireListener listener;
    DWORD target;
    bool exclude;
    PacketQueue* queue;  // the device's; outlives the capture
    std::string group;   // node.group of our nodes: one driver schedules them all
    // The rest belongs to the loop thread, or to whoever holds its lock,
    // except where it says otherwise.
    bool running = false;
    std::vector<std::unique_ptr<CaptureNode>> nodes;
    std::map<uint32_t, bool> captured;  // by playback stream: whether its process is one we capture
    uint64_t processes_seen = 0;        // the connection's processes_changed that captured is for
    spa_source* retry = nullptr;        // timer: links refused, nodes to be made again, spares to go
    bool relinks_spent = false;         // links refused once too often: the device is lost at the timer
    RetryBudget remakes;                // of capture nodes, whichever failed
    RetryBudget relinks;                // of refused links, however many each time
    PipeWireCycle cycle;                // the data thread's, while a node exists
};

namespace {

// The input channel of ours that an output port feeds, where Windows'
// downmix takes it. A stream's ports have the layout of the sink it plays on;
// what it plays itself is its format. A player of one or two channels is
// taken from its FL and FR (or MONO, to both sides): on a surround sink the
// graph's upmix of it is left out. A player of more goes to the surround set,
// but its low-frequency channel and those outside the set go nowhere. (On a
// stereo sink the graph has mixed such a player down before its ports, as
// the sink plays it.)
std::vector<std::string> InputChannels(const std::string& channel, bool surround) {
    if (!surround) {
        if (channel == "FL" || channel == "FR") return {channel};
        if (channel == "MONO") return {"FL", "FR"};
        return {};
    }
    for (const SurroundInput& input : kSurround)
        if (channel == input.player) return {input.ours};
    return {};
}

// How many of centre, side and rear a side of the surround set takes.
int SurroundWeight(const std::set<std::string>& linked) {
    const auto has = [&linked](size_t input) { return linked.count(kSurround[input].ours) != 0 ? 1 : 0; };
    const int centre = has(2);
    const int left = centre + has(3) + has(5);
    const int right = centre + has(4) + has(6);
    return std::max(left, right);
}

void ArmRetry(PipeWireCapture* capture, int ms);

void OnLinkFailed(void* data) {
    auto* link = static_cast<OurLink*>(data);
    link->failed = true;
    ArmRetry(link->capture, kRetryMs);
}
void OnLinkError(void* data, int, int, const char*) {
    static_cast<OurLink*>(data)->refused = true;
    OnLinkFailed(data);
}

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

std::unique_ptr<OurLink> CreateLink(CaptureNode* node, const PortPair& ports) {
    char output_node[16], output_port[16], input_node[16], input_port[16];
    snprintf(output_node, sizeof output_node, "%u", node->playback);
    snprintf(output_port, sizeof output_port, "%u", ports.first);
    snprintf(input_node, sizeof input_node, "%u", node->id);
    snprintf(input_port, sizeof input_port, "%u", ports.second);
    const spa_dict_item items[] = {
        {PW_KEY_LINK_OUTPUT_NODE, output_node}, {PW_KEY_LINK_OUTPUT_PORT, output_port},
        {PW_KEY_LINK_INPUT_NODE, input_node},   {PW_KEY_LINK_INPUT_PORT, input_port},
        {PW_KEY_OBJECT_LINGER, "false"},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(node->capture->connection->core, "link-factory",
                                                               PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy == nullptr) return nullptr;
    auto link = std::make_unique<OurLink>(OurLink{node->capture, proxy});
    pw_proxy_add_listener(proxy, &link->listener, &kLinkEvents, link.get());
    return link;
}

// The links a node should have: every output port of its playback stream
// to our input of that port's channel.
std::set<PortPair> WantedLinks(const PipeWireConnection& graph, const CaptureNode& node, int* weight) {
    std::set<PortPair> wanted;
    *weight = 0;
    const auto playback = graph.nodes.find(node.playback);
    if (node.id == SPA_ID_INVALID || playback == graph.nodes.end()) return wanted;
    std::map<std::string, uint32_t> inputs;  // our input port of each channel
    for (const auto& [id, port] : graph.ports)
        if (port.node == node.id && !port.output && !port.monitor) inputs[port.channel] = id;
    std::set<std::string> linked;
    for (const auto& [id, port] : graph.ports) {
        if (port.node != node.playback || !port.output || port.monitor) continue;
        for (const std::string& channel : InputChannels(port.channel, playback->second->channels > 2)) {
            const auto input = inputs.find(channel);
            if (input == inputs.end()) continue;
            wanted.insert({id, input->second});
            linked.insert(channel);
        }
    }
    *weight = SurroundWeight(linked);
    return wanted;
}

void AddNode(PipeWireCapture* capture, uint32_t playback);

// Gives every playback stream whose process is in the tree (or, excluding,
// is not) a node of its own, linked to it alone. The node of a stream that
// went is unlinked and becomes a spare, for the next stream; one is kept
// while nothing plays, so that the first stream joins at once, and spares
// beside other nodes go at the timer (each node is a wake-up a cycle). A link
// refused while still wanted spends a retry; once they are spent the device
// is lost from the timer, outside the callbacks this runs in. Nodes are
// made here but never destroyed: this runs in their own callbacks too.
void Reconcile(PipeWireCapture* capture) {
    if (!capture->running || capture->relinks_spent) return;
    const PipeWireConnection& graph = *capture->connection;

    // A stream's process is looked up once (the process tree is read from
    // /proc), again only when a client's process changed.
    if (capture->processes_seen != graph.processes_changed) {
        capture->captured.clear();
        capture->processes_seen = graph.processes_changed;
    }
    for (auto it = capture->captured.begin(); it != capture->captured.end();)
        it = graph.nodes.count(it->first) != 0 ? std::next(it) : capture->captured.erase(it);
    std::set<uint32_t> playing;
    for (const auto& [id, node] : graph.nodes) {
        if (node->media_class != kPlaybackStreamClass || !node->described) continue;
        auto [decided, fresh] = capture->captured.try_emplace(id, false);
        if (fresh) decided->second = IsInProcessTree(NodeProcessId(graph, *node), capture->target) != capture->exclude;
        if (decided->second) playing.insert(id);
    }
    for (auto& node : capture->nodes)
        if (playing.erase(node->playback) == 0) node->playback = SPA_ID_INVALID;
    for (const uint32_t playback : playing) {
        const auto spare = std::find_if(capture->nodes.begin(), capture->nodes.end(), [](const auto& node) {
            return node->playback == SPA_ID_INVALID && !node->remake;
        });
        if (spare != capture->nodes.end())
            (*spare)->playback = playback;
        else
            AddNode(capture, playback);
    }
    const auto spares = std::count_if(capture->nodes.begin(), capture->nodes.end(),
                                      [](const auto& node) { return node->playback == SPA_ID_INVALID; });
    if (spares != 0 && capture->nodes.size() > 1) ArmRetry(capture, kRemakeMs);

    std::vector<std::set<PortPair>> wanted;
    bool refused = false;  // a link still wanted was refused
    for (auto& node : capture->nodes) {
        int weight = 0;
        wanted.push_back(WantedLinks(graph, *node, &weight));
        // A larger scale before the links that need it, a smaller once those
        // that needed it are unlinked.
        if (weight > node->surround_weight.load()) node->surround_weight.store(weight);
        for (auto it = node->links.begin(); it != node->links.end();) {
            const bool still = wanted.back().count(it->first) != 0;
            if (still && !it->second->failed) {
                ++it;
                continue;
            }
            refused |= still && it->second->refused;
            DestroyLink(it->second.get());
            it = node->links.erase(it);
        }
        node->surround_weight.store(weight);
    }
    if (refused && !TakeRetry(&capture->relinks)) {
        capture->relinks_spent = true;
        ArmRetry(capture, 1);
        return;
    }
    for (size_t i = 0; i < wanted.size(); ++i) {
        CaptureNode* node = capture->nodes[i].get();
        for (const PortPair& ports : wanted[i]) {
            if (node->links.count(ports) != 0) continue;
            if (auto link = CreateLink(node, ports)) node->links[ports] = std::move(link);
        }
    }
}

void OnGraphChanged(void* owner) { Reconcile(static_cast<PipeWireCapture*>(owner)); }

// The daemon closes every stream as it goes; the reader hears of it through
// the packet queue.
void OnConnectionLost(void* owner) { ReportDeviceLost(static_cast<PipeWireCapture*>(owner)->queue); }

// A capture node that fails, or that the daemon (or anyone) destroys, is
// made again from the timer, outside the stream's own callback.
void OnStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* node = static_cast<CaptureNode*>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        node->remake = true;
        ArmRetry(node->capture, kRemakeMs);
        return;
    }
    if (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) return;
    node->id = pw_stream_get_node_id(node->stream);
    Reconcile(node->capture);
}

// ---- The data thread ----------------------------------------------------------------

// Whether a delivery carries sound of the tree. The graph marks a buffer
// that no running link fed as empty; that is the silence of a stream that
// plays nothing (or of a spare). Decided here, from the cycle itself, so
// that a sound's first cycle is delivered however late the loop thread
// hears that its stream runs.
bool IsSound(const spa_chunk& chunk) { return (chunk.flags & SPA_CHUNK_FLAG_EMPTY) == 0; }

// A node's cycles since its last call, into the cycle being gathered.
void OnProcess(void* data) {
    auto* node = static_cast<CaptureNode*>(data);
    PipeWireCycle* cycle = &node->capture->cycle;
    const bool f32 = cycle->queue->format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    const uint32_t in_frame = kNodeChannels * (f32 ? sizeof(float) : sizeof(int16_t));
    pw_time time{};
    const bool timed = pw_stream_get_time_n(node->stream, &time, sizeof time) == 0;
    JoinPipeWireCycle(cycle, timed, time.now);
    const int weight = node->surround_weight.load(std::memory_order_relaxed);
    uint32_t at = node->serial == cycle->serial ? node->at : 0;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(node->stream)) {
        const spa_data& block = buffer->buffer->datas[0];
        if (block.data != nullptr && block.chunk != nullptr && IsSound(*block.chunk)) {
            const uint32_t offset = std::min(block.chunk->offset, block.maxsize);
            const uint32_t frames = std::min(block.chunk->size, block.maxsize - offset) / in_frame;
            AddToPipeWireCycle(cycle, static_cast<const uint8_t*>(block.data) + offset, at, frames, weight);
            at += frames;
        }
        pw_stream_queue_buffer(node->stream, buffer);
    }
    node->serial = cycle->serial;
    node->at = at;
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
// scheduled once it was linked later (PipeWire 0.3.65). All of a device's
// nodes are one group, which one driver schedules, so that their cycles are
// one even when its streams play on different sinks.
bool ConnectNode(CaptureNode* node) {
    PipeWireCapture* capture = node->capture;
    const spa_dict_item items[] = {
        {PW_KEY_MEDIA_TYPE, "Audio"},         {PW_KEY_MEDIA_CATEGORY, "Capture"},
        {PW_KEY_NODE_NAME, "pcmtap"},         {PW_KEY_NODE_AUTOCONNECT, "false"},
        {PW_KEY_NODE_DONT_RECONNECT, "true"}, {PW_KEY_NODE_GROUP, capture->group.c_str()},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    node->stream = pw_stream_new(capture->connection->core, "process loopback", pw_properties_new_dict(&dict));
    if (node->stream == nullptr) return false;
    pw_stream_add_listener(node->stream, &node->listener, &kStreamEvents, node);
    uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    // The graph's adapter converts to the device's rate and sample type.
    const WAVEFORMATEX& device = capture->queue->format;
    spa_audio_info_raw format{};
    format.format = device.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? SPA_AUDIO_FORMAT_F32_LE : SPA_AUDIO_FORMAT_S16_LE;
    format.rate = device.nSamplesPerSec;
    format.channels = kNodeChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    for (uint32_t i = kSurroundFirst; i < kNodeChannels; ++i)
        format.position[i] = kSurround[i - kSurroundFirst].position;
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &format)};
    const auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    return pw_stream_connect(node->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) >= 0;
}

// Once this returns the node's process callback runs no more: the stream's
// destruction takes it off the data thread first.
void DisconnectNode(CaptureNode* node) {
    for (auto& [ports, link] : node->links) DestroyLink(link.get());
    node->links.clear();
    if (node->stream != nullptr) {
        spa_hook_remove(&node->listener);
        pw_stream_destroy(node->stream);
        node->stream = nullptr;
    }
    node->id = SPA_ID_INVALID;
    node->surround_weight.store(0);
    node->serial = 0;
}

// A node that cannot be made now is made again at the timer, within the budget.
void AddNode(PipeWireCapture* capture, uint32_t playback) {
    capture->nodes.push_back(std::make_unique<CaptureNode>());
    CaptureNode* node = capture->nodes.back().get();
    node->capture = capture;
    node->playback = playback;
    if (ConnectNode(node)) return;
    node->remake = true;
    ArmRetry(capture, kRemakeMs);
}

void DisconnectNodes(PipeWireCapture* capture) {
    for (auto& node : capture->nodes) DisconnectNode(node.get());
    capture->nodes.clear();
    ResetPipeWireCycle(&capture->cycle);  // no node runs now
}

void LoseDevice(PipeWireCapture* capture) {
    DisconnectNodes(capture);
    ReportDeviceLost(capture->queue);
}

// Loop thread: makes failed capture nodes again within their budget, lets
// spares go while another node is left, and asks again for links that were
// refused.
void OnRetry(void* data, uint64_t) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    if (!capture->running || capture->connection->lost) return;
    if (capture->relinks_spent) {
        LoseDevice(capture);
        return;
    }
    for (auto it = capture->nodes.begin(); it != capture->nodes.end();) {
        CaptureNode* node = it->get();
        if (node->remake) {
            node->remake = false;
            DisconnectNode(node);
            // What the graph played to the old node until the new one runs is lost.
            capture->cycle.remade.store(true, std::memory_order_release);
            if (!TakeRetry(&capture->remakes) || !ConnectNode(node)) {
                LoseDevice(capture);
                return;
            }
        } else if (node->playback == SPA_ID_INVALID && capture->nodes.size() > 1) {
            DisconnectNode(node);
            it = capture->nodes.erase(it);
            continue;
        }
        ++it;
    }
    Reconcile(capture);
}

void DropRetry(PipeWireCapture* capture) {
    if (capture->retry == nullptr) return;
    pw_loop_destroy_source(pw_thread_loop_get_loop(capture->connection->loop), capture->retry);
    capture->retry = nullptr;
}

void ArmRetry(PipeWireCapture* capture, int ms) {
    if (capture->retry == nullptr) return;
    timespec due = {0, ms * 1000000L};
    timespec once = {0, 0};
    pw_loop_update_timer(pw_thread_loop_get_loop(capture->connection->loop), capture->retry, &due, &once, false);
}

}  // namespace

HRESULT OpenPipeWireCapture(DWORD target, bool exclude, PacketQueue* queue, PipeWireCapture** capture) {
    auto opened = std::make_unique<PipeWireCapture>();
    opened->target = target;
    opened->exclude = exclude;
    opened->queue = queue;
    char group[48];
    snprintf(group, sizeof group, "pcmtap-%d-%p", static_cast<int>(getpid()), static_cast<void*>(opened.get()));
    opened->group = group;
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
        capture->relinks_spent = false;
        SizePipeWireCycle(&capture->cycle, capture->queue);
        capture->retry = pw_loop_add_timer(pw_thread_loop_get_loop(capture->connection->loop), OnRetry, capture);
        if (capture->retry != nullptr) AddNode(capture, SPA_ID_INVALID);
        if (capture->retry == nullptr || capture->nodes.back()->remake) {
            DisconnectNodes(capture);
            DropRetry(capture);
            capture->running = false;
            hr = E_OUTOFMEMORY;
        } else {
            Reconcile(capture);
        }
    }
    pw_thread_loop_unlock(capture->connection->loop);
    return hr;
}

void StopPipeWireCapture(PipeWireCapture* capture) {
    pw_thread_loop_lock(capture->connection->loop);
    capture->running = false;
    DisconnectNodes(capture);
    DropRetry(capture);
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
