// The native PipeWire side of the process-loopback device. One capture
// stream of ours, and a link from every output port of every playback
// stream of the captured process tree to an input port of ours: the graph
// mixes what the links bring, on its own clock and at whatever quantum it
// runs (we ask for none), and converts it to the device's rate and sample
// type. Stereo and mono players feed our FL and FR; players with more
// channels feed a second set of inputs, which we mix down to stereo (or
// mono) ourselves. Each cycle's frames are cut into 10 ms packets stamped with the
// graph's time on the graph's own data thread, straight into the device's
// ring, so that nothing the loop thread does (the graph's events) can make
// them late; that thread allocates nothing, takes no lock and never waits.
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>
#include <type_traits>
#include <utility>

#include "platform/posix/audio_loopback.h"
#include "platform/posix/audio_pipewire.h"
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
constexpr uint32_t kSurroundFirst = 2;  // our channel of the surround set's FL
constexpr uint32_t kChannels = kSurroundFirst + sizeof kSurround / sizeof kSurround[0];

constexpr int kRetryMs = 300;  // a refused link is asked for again this often
constexpr int kRemakeMs = 50;  // a capture node that failed is made again this soon
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
    uint32_t node = SPA_ID_INVALID;  // our capture node, once the daemon has made it
    std::map<PortPair, std::unique_ptr<OurLink>> links;
    std::map<uint32_t, bool> captured;  // by playback stream: whether its process is one we capture
    uint64_t processes_seen = 0;        // the connection's processes_changed that captured is for
    spa_source* retry = nullptr;        // timer: links refused, or the stream to be made again
    bool remake = false;                // the capture node failed or went; made again at the timer
    bool relinks_spent = false;         // links refused once too often: the device is lost at the timer
    RetryBudget remakes;                // of the capture node
    RetryBudget relinks;                // of refused links, however many each time
    // How many of centre, side and rear the surround set has linked on the
    // side that has most (0 to 3): the downmix's scale. Written before links
    // are made, so that their first cycle is already mixed with it.
    std::atomic<int> surround_weight{0};
    // The data thread's, while the stream exists:
    Packet* packet = nullptr;  // being filled, in the device's ring
    uint32_t filled = 0;       // frames of it so far
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

std::unique_ptr<OurLink> CreateLink(PipeWireCapture* capture, const PortPair& ports, uint32_t output_node) {
    char output_node_text[16], output_port[16], input_node[16], input_port[16];
    snprintf(output_node_text, sizeof output_node_text, "%u", output_node);
    snprintf(output_port, sizeof output_port, "%u", ports.first);
    snprintf(input_node, sizeof input_node, "%u", capture->node);
    snprintf(input_port, sizeof input_port, "%u", ports.second);
    const spa_dict_item items[] = {
        {PW_KEY_LINK_OUTPUT_NODE, output_node_text},
        {PW_KEY_LINK_OUTPUT_PORT, output_port},
        {PW_KEY_LINK_INPUT_NODE, input_node},
        {PW_KEY_LINK_INPUT_PORT, input_port},
        {PW_KEY_OBJECT_LINGER, "false"},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(capture->connection->core, "link-factory",
                                                               PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &dict, 0));
    if (proxy == nullptr) return nullptr;
    auto link = std::make_unique<OurLink>(OurLink{capture, proxy});
    pw_proxy_add_listener(proxy, &link->listener, &kLinkEvents, link.get());
    return link;
}

// Links what should be linked and unlinks the rest: every output port of a
// playback stream whose process is in the tree (or, excluding, is not). A
// link refused while still wanted spends a retry; once they are spent the
// device is lost from the timer, outside the callbacks this runs in.
void Reconcile(PipeWireCapture* capture) {
    if (!capture->running || capture->node == SPA_ID_INVALID || capture->relinks_spent) return;
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
    std::set<std::string> surround_linked;
    for (const auto& [id, port] : graph.ports) {
        if (!port.output || port.monitor) continue;
        const auto node = graph.nodes.find(port.node);
        if (node == graph.nodes.end() || node->second->media_class != kPlaybackStreamClass || !node->second->described)
            continue;
        auto [decided, fresh] = capture->captured.try_emplace(port.node, false);
        if (fresh)
            decided->second = IsInProcessTree(NodeProcessId(graph, *node->second), capture->target) != capture->exclude;
        if (!decided->second) continue;
        for (const std::string& channel : InputChannels(port.channel, node->second->channels > 2)) {
            const auto input = inputs.find(channel);
            if (input == inputs.end()) continue;
            linked[{id, input->second}] = port.node;
            surround_linked.insert(channel);
        }
    }
    // A larger scale before the links that need it, a smaller once those
    // that needed it are unlinked.
    const int weight = SurroundWeight(surround_linked);
    if (weight > capture->surround_weight.load()) capture->surround_weight.store(weight);
    bool refused = false;  // a link still wanted was refused
    for (auto it = capture->links.begin(); it != capture->links.end();) {
        const bool wanted = linked.count(it->first) != 0;
        if (wanted && !it->second->failed) {
            ++it;
            continue;
        }
        refused |= wanted && it->second->refused;
        DestroyLink(it->second.get());
        it = capture->links.erase(it);
    }
    capture->surround_weight.store(weight);
    if (refused && !TakeRetry(&capture->relinks)) {
        capture->relinks_spent = true;
        ArmRetry(capture, 1);
        return;
    }
    for (const auto& [ports, output_node] : linked) {
        if (capture->links.count(ports) != 0) continue;
        if (auto link = CreateLink(capture, ports, output_node)) capture->links[ports] = std::move(link);
    }
}

void OnGraphChanged(void* owner) { Reconcile(static_cast<PipeWireCapture*>(owner)); }

// The daemon closes every stream as it goes; the reader hears of it through
// the packet queue.
void OnConnectionLost(void* owner) { ReportDeviceLost(static_cast<PipeWireCapture*>(owner)->queue); }

// A capture node that fails, or that the daemon (or anyone) destroys, is
// made again from the timer, outside the stream's own callback.
void OnStreamState(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        capture->remake = true;
        ArmRetry(capture, kRemakeMs);
        return;
    }
    if (state != PW_STREAM_STATE_PAUSED && state != PW_STREAM_STATE_STREAMING) return;
    capture->node = pw_stream_get_node_id(capture->stream);
    Reconcile(capture);
}

// ---- The data thread ----------------------------------------------------------------

template <typename Sample>
void Put(Sample sample, uint8_t** out) {
    memcpy(*out, &sample, sizeof sample);
    *out += sizeof sample;
}

// 16-bit samples clamp; float ones go as they are, as the engine's do.
void PutSample(long sample, uint8_t** out) { Put(static_cast<int16_t>(std::clamp(sample, -32768l, 32767l)), out); }
void PutSample(float sample, uint8_t** out) { Put(sample, out); }

// Mixes frames of our inputs down to the device's stereo: FL and FR as they
// are, the surround set with the standard gains (front 1, centre and each
// side's side and rear channel -3 dB, the low-frequency channel left out),
// scaled so that a side's gains add up to 1: a player that does not clip
// does not clip here. Without a surround player the set is silent and
// stereo passes sample for sample. Mono is the mean of that left and right,
// as Windows' engine mixes stereo down.
template <typename Sample>
void MixDown(const Sample* in, uint32_t frames, int weight, WORD channels, uint8_t* out) {
    constexpr float kMinus3dB = 0.70710678f;
    const float front = 1.0f / (1.0f + kMinus3dB * static_cast<float>(weight));
    const float other = kMinus3dB * front;
    for (uint32_t i = 0; i < frames; ++i, in += kChannels) {
        const Sample* set = in + kSurroundFirst;  // FL FR FC SL SR RL RR
        const float centre = other * set[2];
        const float left = front * set[0] + centre + other * (set[3] + set[5]);
        const float right = front * set[1] + centre + other * (set[4] + set[6]);
        if constexpr (std::is_same_v<Sample, int16_t>) {
            const long l = in[0] + std::lrint(left);
            const long r = in[1] + std::lrint(right);
            if (channels == 1) {
                PutSample(std::lrint(0.5 * static_cast<double>(l + r)), &out);
                continue;
            }
            PutSample(l, &out);
            PutSample(r, &out);
        } else {
            const float l = in[0] + left;
            const float r = in[1] + right;
            if (channels == 1) {
                PutSample(0.5f * (l + r), &out);
                continue;
            }
            PutSample(l, &out);
            PutSample(r, &out);
        }
    }
}

// Whether a cycle carries sound of the tree. The graph marks a buffer that
// no running link fed as empty; that is the silence of a tree that plays
// nothing, which Windows does not deliver. Decided here, from the cycle
// itself, so that a sound's first cycle is delivered however late the loop
// thread hears that its stream runs.
bool IsSound(const spa_chunk& chunk) { return (chunk.flags & SPA_CHUNK_FLAG_EMPTY) == 0; }

// The packet being filled goes out as it is, the rest of it zeros: the last
// milliseconds of a sound are not kept back for a next one.
void FlushPacket(PipeWireCapture* capture) {
    if (capture->packet == nullptr) return;
    const WORD block = capture->queue->format.nBlockAlign;
    std::fill(capture->packet->data + size_t{capture->filled} * block,
              capture->packet->data + size_t{capture->packet->frames} * block, 0);
    CommitPacket(capture->queue);
    capture->packet = nullptr;
}

// The graph's cycles since the last call: every frame of sound goes into the
// device's ring, 10 ms a packet, each stamped with the graph's time of its
// first frame.
void OnProcess(void* data) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    const WAVEFORMATEX& format = capture->queue->format;
    const bool f32 = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    const uint32_t in_frame = kChannels * (f32 ? sizeof(float) : sizeof(int16_t));
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream)) {
        const spa_data& block = buffer->buffer->datas[0];
        if (block.data == nullptr || block.chunk == nullptr || !IsSound(*block.chunk)) {
            FlushPacket(capture);
            pw_stream_queue_buffer(capture->stream, buffer);
            continue;
        }
        const uint32_t offset = std::min(block.chunk->offset, block.maxsize);
        const uint32_t frames = std::min(block.chunk->size, block.maxsize - offset) / in_frame;
        const auto* in = static_cast<const uint8_t*>(block.data) + offset;
        pw_time time{};
        const bool timed = pw_stream_get_time_n(capture->stream, &time, sizeof time) == 0;
        const int weight = capture->surround_weight.load(std::memory_order_relaxed);
        for (uint32_t done = 0; done < frames;) {
            if (capture->packet == nullptr) {
                capture->packet = NextPacket(capture->queue);
                if (capture->packet == nullptr) break;  // stopped
                capture->filled = 0;
                capture->packet->time =
                    timed ? static_cast<UINT64>(time.now) / 100 + UINT64{done} * 10000000 / format.nSamplesPerSec : 0;
            }
            const uint32_t count = std::min(frames - done, capture->packet->frames - capture->filled);
            const uint8_t* from = in + size_t{done} * in_frame;
            uint8_t* to = capture->packet->data + size_t{capture->filled} * format.nBlockAlign;
            if (f32)
                MixDown(reinterpret_cast<const float*>(from), count, weight, format.nChannels, to);
            else
                MixDown(reinterpret_cast<const int16_t*>(from), count, weight, format.nChannels, to);
            capture->filled += count;
            done += count;
            if (capture->filled == capture->packet->frames) {
                CommitPacket(capture->queue);
                capture->packet = nullptr;
            }
        }
        pw_stream_queue_buffer(capture->stream, buffer);
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
        {PW_KEY_MEDIA_TYPE, "Audio"},       {PW_KEY_MEDIA_CATEGORY, "Capture"},   {PW_KEY_NODE_NAME, "pcmtap"},
        {PW_KEY_NODE_AUTOCONNECT, "false"}, {PW_KEY_NODE_DONT_RECONNECT, "true"},
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    capture->stream = pw_stream_new(capture->connection->core, "process loopback", pw_properties_new_dict(&dict));
    if (capture->stream == nullptr) return false;
    pw_stream_add_listener(capture->stream, &capture->stream_listener, &kStreamEvents, capture);
    uint8_t storage[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    // The graph's adapter converts to the device's rate and sample type.
    const WAVEFORMATEX& device = capture->queue->format;
    spa_audio_info_raw format{};
    format.format = device.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? SPA_AUDIO_FORMAT_F32_LE : SPA_AUDIO_FORMAT_S16_LE;
    format.rate = device.nSamplesPerSec;
    format.channels = kChannels;
    format.position[0] = SPA_AUDIO_CHANNEL_FL;
    format.position[1] = SPA_AUDIO_CHANNEL_FR;
    for (uint32_t i = kSurroundFirst; i < kChannels; ++i) format.position[i] = kSurround[i - kSurroundFirst].position;
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
    capture->surround_weight.store(0);
    capture->packet = nullptr;  // the data thread is done with it: the stream is gone
    capture->filled = 0;
}

void LoseDevice(PipeWireCapture* capture) {
    DisconnectStream(capture);
    ReportDeviceLost(capture->queue);
}

// Loop thread: makes a failed capture node again, or asks again for links
// that were refused, within their budgets.
void OnRetry(void* data, uint64_t) {
    auto* capture = static_cast<PipeWireCapture*>(data);
    if (!capture->running || capture->connection->lost) return;
    if (capture->relinks_spent) {
        LoseDevice(capture);
        return;
    }
    if (!capture->remake) {
        Reconcile(capture);
        return;
    }
    capture->remake = false;
    DisconnectStream(capture);
    // The packet the old node was filling is gone with it, and so is what
    // the graph played until the new one runs.
    MarkPacketLost(capture->queue);
    if (!TakeRetry(&capture->remakes) || !ConnectStream(capture)) LoseDevice(capture);
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
        capture->remake = false;
        capture->relinks_spent = false;
        capture->retry = pw_loop_add_timer(pw_thread_loop_get_loop(capture->connection->loop), OnRetry, capture);
        if (capture->retry == nullptr || !ConnectStream(capture)) {
            DisconnectStream(capture);
            DropRetry(capture);
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
