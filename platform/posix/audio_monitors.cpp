// The sound server side of the process-loopback device. Every playback stream
// (sink input) of the captured process tree is recorded through a monitor
// stream of its own, which carries that stream alone at its own volume, in
// the device's rate and sample type, always stereo: the server resamples
// and mixes surround down, and a mono device takes the mean of left and
// right here (PipeWire's pulse server would take each at -3 dB). The
// connection's clock mixes what the monitors have delivered into one 10 ms
// packet per period, as the Windows device does from its engine.
//
// Each monitor's shortfall is its own. A stream that pauses (corks), ends or
// underruns stops delivering while its siblings go on: it gives what it has
// and leaves the mix, and the device never waits for it. The device waits
// only for a server that is late for all of its streams at once (PipeWire's
// pulse server holds every monitor back for a few hundred milliseconds when
// a stream of the graph corks or uncorks, then delivers what it held in one
// burst): the periods wait for the data, then follow at once.
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>
#include <type_traits>
#include <vector>

#include "platform/posix/audio_loopback.h"
#include "platform/posix/audio_process_tree.h"
#include "platform/posix/audio_pulse.h"

namespace {

constexpr pa_usec_t kPeriod = kClockPeriod;  // µs per packet
// What a monitor holds beyond one fragment before it joins the mix: the
// server's and our thread's lateness, 20 ms of it.
constexpr uint32_t kJitterPeriods = 2;
// A monitor whose stream is not known to be corked, and that has had nothing
// for this much longer than the freshest of its device, has been passed over
// by the server: its stream ended or ran dry. PipeWire's pulse server holds a
// client's monitors back for up to a few hundred milliseconds at a time while
// its graph changes, and that is the server being late, not a quiet stream.
constexpr pa_usec_t kPassedOver = 250000;  // µs
// Beyond its prime and one more fragment, a monitor holds at most this much
// before the oldest go (the server's clock drifting from ours, a clock that
// started afresh): 40 ms, and what it may gather while the device waits for
// a sibling the server may have passed over.
constexpr uint32_t kSlackPeriods = 4;
// The most samples of one period: 192 kHz stereo.
constexpr size_t kMaxPeriodSamples = 192000 / kPeriodsPerSecond * 2;
// How long a period may wait for a server that delivers nothing to any of
// the device's streams: the server running late delays the packets instead of
// breaking them. The reader's buffer (a second, for our own) takes the burst
// that follows.
constexpr pa_usec_t kMaxWait = 500000;  // µs
// A clock further behind than this (a machine that was suspended) starts afresh.
constexpr pa_usec_t kMaxLag = 1000000;  // µs

// What each monitor asks the server for: the latency of its data, and so the
// least a sound server may lower its own pace (PipeWire's graph quantum, a
// PulseAudio sink's latency) to serve it. 1024 frames at 48 kHz never takes
// a desktop graph below its usual quantum. PCMTAP_FRAGMENT_MS asks for
// another, from 2 to 200 ms, for lower latency at the cost of waking every
// client of the server more often.
constexpr uint32_t kDefaultFragmentFrames = 1024;  // 21.3 ms at 48 kHz
constexpr uint32_t kDefaultFragmentRate = 48000;

// Frames of the fragment at the device's rate.
uint32_t FragmentFrames(DWORD rate) {
    static const double ms = [] {
        const char* text = getenv("PCMTAP_FRAGMENT_MS");
        if (text == nullptr || *text == '\0') return 0.0;
        char* end = nullptr;
        const double asked = strtod(text, &end);
        return *end == '\0' && asked >= 2 && asked <= 200 ? asked : 0.0;
    }();
    if (ms == 0) return static_cast<uint32_t>(uint64_t{kDefaultFragmentFrames} * rate / kDefaultFragmentRate);
    return static_cast<uint32_t>(ms * rate / 1000 + 0.5);
}

}  // namespace

struct Monitor {
    LoopbackMixer* mixer;
    uint32_t sink_input;
    uint32_t sink;               // where the monitored stream plays; it moving ends the monitor
    pa_stream* stream;           // main loop thread, as is all of this record; null once closed
    std::vector<uint8_t> bytes;  // delivered in the device's format, not yet mixed
    pa_usec_t arrival = 0;       // when the server last delivered to it
    bool paused = false;         // its stream is corked, as the server last told
    bool corked = false;         // the monitor stream, while its stream is corked (PipeWire's pulse server)
    bool primed = false;         // holds enough to join the mix
    bool ended = false;          // failed or terminated by the server; mixed out, then reaped
};

// What a monitor holds, in bytes of its stereo frames, fixed when the
// device starts.
struct MonitorBounds {
    size_t fragment;  // what each delivery of the server may bring
    size_t prime;     // what it holds before it joins the mix
    size_t most;      // before the oldest go
};

namespace {

// The server delivers a fragment at a time (a PipeWire graph's quantum is
// never longer than what we ask for, nor a PulseAudio sink's latency), while
// the device's clock takes 10 ms a period: a monitor joins the mix holding a
// fragment and the jitter allowance.
// Bytes of a monitor's frame: two samples of the device's type.
size_t MonitorFrameBytes(const WAVEFORMATEX& format) { return size_t{format.wBitsPerSample} / 8 * 2; }

MonitorBounds BoundsOf(const PacketQueue& queue) {
    const WAVEFORMATEX& format = queue.format;
    const size_t frame = MonitorFrameBytes(format);
    const size_t period = size_t{queue.packet_frames} * frame;
    MonitorBounds bounds;
    bounds.fragment = size_t{FragmentFrames(format.nSamplesPerSec)} * frame;
    bounds.prime = std::max(bounds.fragment, period) + kJitterPeriods * period;
    const size_t passed_over = size_t{kPassedOver * format.nSamplesPerSec / 1000000} * frame;
    bounds.most = bounds.prime + bounds.fragment + kSlackPeriods * period + passed_over;
    return bounds;
}

}  // namespace

// What the server said of a playback stream, for the device's chooser.
struct StreamNews {
    uint32_t sink_input;
    uint32_t sink;
    DWORD pid;
    bool corked;
};

// The loop thread runs in the real-time class and only moves audio: it hands
// what it hears of playback streams to the device's chooser thread, which
// walks /proc to see whose they are and opens and closes their monitors
// (with the loop locked). A single-producer single-consumer ring, posted
// with a semaphore: the loop thread neither allocates nor waits for it.
constexpr uint32_t kNewsSlots = 256;

struct StreamChooser {
    std::thread thread;
    sem_t wake;
    StreamNews news[kNewsSlots];
    std::atomic<uint32_t> written{0};     // only the loop thread writes it
    std::atomic<uint32_t> read{0};        // only the chooser writes it
    std::atomic<bool> overflowed{false};  // news was lost: look at every stream again
    std::atomic<bool> stopping{false};
};

struct LoopbackMixer {
    PulseConnection* connection;  // one reference, shared with the process's other devices
    StreamChooser chooser;
    PulseListener listener;
    DWORD target;
    bool exclude;
    PacketQueue* queue;  // the device's; outlives the mixer
    // The rest belongs to the main loop thread, or to whoever holds its lock.
    bool running = false;
    MonitorBounds bounds{};                                 // in the queue's format, set at start
    uint64_t period = 0;                                    // periods of the clock so far: the next one's length
    pa_defer_event* reaper = nullptr;                       // pending while an ended monitor waits to be reaped
    pa_usec_t next_tick = 0;                                // CLOCK_MONOTONIC, µs, on the connection's grid
    std::vector<pa_operation*> queries;                     // sink input queries; cancelled when it stops
    std::map<uint32_t, std::unique_ptr<Monitor>> monitors;  // by sink input index
};

namespace {

void CloseMonitor(Monitor* monitor) {
    if (monitor->stream == nullptr) return;
    pa_stream_set_read_callback(monitor->stream, nullptr, nullptr);
    pa_stream_set_state_callback(monitor->stream, nullptr, nullptr);
    pa_stream_disconnect(monitor->stream);
    pa_stream_unref(monitor->stream);
    monitor->stream = nullptr;
}

bool MixDuePackets(LoopbackMixer* mixer, pa_usec_t now);

void OnMonitorData(pa_stream* stream, size_t readable, void* userdata) {
    auto* monitor = static_cast<Monitor*>(userdata);
    const void* data = nullptr;
    size_t count = 0;
    std::vector<uint8_t>& bytes = monitor->bytes;
    // Takes what the server said is there, and asks no more: each call of
    // the stream's API costs a getpid() (libpulse's check for a fork).
    for (size_t taken = 0; taken < readable && pa_stream_peek(stream, &data, &count) == 0 && count != 0;
         taken += count) {
        if (data == nullptr) {
            bytes.insert(bytes.end(), count, 0);  // a hole in the stream (0.0f is all zero bytes too)
        } else {
            const auto* delivered = static_cast<const uint8_t*>(data);
            bytes.insert(bytes.end(), delivered, delivered + count);
        }
        pa_stream_drop(stream);
    }
    LoopbackMixer* mixer = monitor->mixer;
    // Only a clock slower than the server's, or a burst beyond any the server
    // makes, gets here: what is cut is a loss, and the next packet says so.
    if (bytes.size() > mixer->bounds.most) {
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(bytes.size() - mixer->bounds.prime));
        mixer->queue->gap = true;
    }
    monitor->arrival = pa_rtclock_now();
    if (!mixer->running) return;
    // A device that waited for this may mix at once; one that was idle starts the clock.
    MixDuePackets(mixer, monitor->arrival);
    StartPulseClock(mixer->connection);
}

void OnReaperDue(pa_mainloop_api* api, pa_defer_event* event, void* userdata);

// Corks or uncorks the monitor stream as its stream is (PipeWire's pulse
// server only). The server takes a cork only once the monitor is ready: a
// stream that starts corked and plays a moment later is uncorked then, or
// its monitor would stay corked for good.
void MatchCork(Monitor* monitor) {
    if (!monitor->mixer->connection->corked_monitor_holds_back || monitor->corked == monitor->paused ||
        pa_stream_get_state(monitor->stream) != PA_STREAM_READY)
        return;
    pa_operation* op = pa_stream_cork(monitor->stream, monitor->paused, nullptr, nullptr);
    if (op == nullptr) return;
    pa_operation_unref(op);
    monitor->corked = monitor->paused;
}

// A monitor ends when its stream does ("Entity killed") or moves to another
// sink. It is reaped, and the stream looked at again, from the main loop
// itself rather than from inside the stream's own callback.
void OnMonitorState(pa_stream* stream, void* userdata) {
    const pa_stream_state_t state = pa_stream_get_state(stream);
    auto* monitor = static_cast<Monitor*>(userdata);
    if (state == PA_STREAM_READY) MatchCork(monitor);
    if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
    monitor->ended = true;
    LoopbackMixer* mixer = monitor->mixer;
    if (mixer->reaper == nullptr) {
        pa_mainloop_api* api = PulseLoopApi(mixer->connection->loop);
        mixer->reaper = api->defer_new(api, OnReaperDue, mixer);
    }
}

// A monitor's format as the server spells it: the device's rate and type, stereo.
pa_sample_spec SampleSpecOf(const WAVEFORMATEX& format) {
    pa_sample_spec sample;
    sample.format = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT ? PA_SAMPLE_FLOAT32LE : PA_SAMPLE_S16LE;
    sample.rate = format.nSamplesPerSec;
    sample.channels = 2;
    return sample;
}

void OpenMonitor(LoopbackMixer* mixer, uint32_t sink_input, uint32_t sink, bool corked) {
    const pa_sample_spec sample = SampleSpecOf(mixer->queue->format);
    pa_stream* stream = pa_stream_new(mixer->connection->context, "process loopback", &sample, nullptr);
    if (stream == nullptr) return;
    auto monitor = std::make_unique<Monitor>(Monitor{mixer, sink_input, sink, stream, {}});
    monitor->paused = corked;
    monitor->corked = corked && mixer->connection->corked_monitor_holds_back;
    // Room for all it may hold, so that the loop thread never grows it.
    monitor->bytes.reserve(mixer->bounds.most + mixer->bounds.fragment);
    pa_stream_set_read_callback(stream, OnMonitorData, monitor.get());
    pa_stream_set_state_callback(stream, OnMonitorState, monitor.get());
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(mixer->bounds.fragment);
    // With no source named, the server records from the monitor of the sink
    // that the stream plays on.
    if (pa_stream_set_monitor_stream(stream, sink_input) < 0 ||
        pa_stream_connect_record(stream, nullptr, &attr,
                                 static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                                (monitor->corked ? PA_STREAM_START_CORKED : 0))) < 0) {
        CloseMonitor(monitor.get());
        return;
    }
    mixer->monitors[sink_input] = std::move(monitor);
}

void DropMonitor(LoopbackMixer* mixer, uint32_t sink_input) {
    const auto found = mixer->monitors.find(sink_input);
    if (found == mixer->monitors.end()) return;
    CloseMonitor(found->second.get());
    mixer->monitors.erase(found);
}

// A corked stream is quiet: the device does not wait for it. Where a monitor
// of a corked stream would hold back the device's others, the monitor pauses
// with its stream: a corked stream delivers nothing anyway.
void FollowCork(Monitor* monitor, bool corked) {
    monitor->paused = corked;
    MatchCork(monitor);
}

// On the chooser thread, with the loop locked: starts, keeps or ends the
// monitor of one playback stream.
void Choose(LoopbackMixer* mixer, const StreamNews& news, bool in_tree) {
    const bool wanted = mixer->exclude ? !in_tree : in_tree;
    const auto found = mixer->monitors.find(news.sink_input);
    const bool monitored = found != mixer->monitors.end() && !found->second->ended;
    if (monitored && wanted && found->second->sink == news.sink) {
        FollowCork(found->second.get(), news.corked);
        return;
    }
    DropMonitor(mixer, news.sink_input);
    if (wanted) OpenMonitor(mixer, news.sink_input, news.sink, news.corked);
}

// On the loop thread: hands the news to the chooser.
void OnSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* mixer = static_cast<LoopbackMixer*>(userdata);
    if (eol != 0 || info == nullptr || !mixer->running) return;
    StreamChooser& chooser = mixer->chooser;
    const uint32_t written = chooser.written.load(std::memory_order_relaxed);
    if (written - chooser.read.load(std::memory_order_acquire) == kNewsSlots) {
        chooser.overflowed.store(true, std::memory_order_release);
    } else {
        chooser.news[written % kNewsSlots] =
            StreamNews{info->index, info->sink, StreamProcessId(info, mixer->connection->clients), info->corked != 0};
        chooser.written.store(written + 1, std::memory_order_release);
    }
    sem_post(&chooser.wake);
}

void RunChooser(LoopbackMixer* mixer) {
    StreamChooser& chooser = mixer->chooser;
    while (true) {
        while (sem_wait(&chooser.wake) != 0) {
        }
        if (chooser.stopping.load(std::memory_order_acquire)) return;
        const uint32_t read = chooser.read.load(std::memory_order_relaxed);
        if (read != chooser.written.load(std::memory_order_acquire)) {
            const StreamNews news = chooser.news[read % kNewsSlots];
            chooser.read.store(read + 1, std::memory_order_release);
            const bool in_tree = IsInProcessTree(news.pid, mixer->target);
            LockPulseLoop(mixer->connection->loop);
            if (mixer->running) Choose(mixer, news, in_tree);
            UnlockPulseLoop(mixer->connection->loop);
        }
        if (chooser.overflowed.exchange(false, std::memory_order_acq_rel)) {
            LockPulseLoop(mixer->connection->loop);
            if (mixer->running)
                TrackOperation(&mixer->queries,
                               pa_context_get_sink_input_info_list(mixer->connection->context, OnSinkInputInfo, mixer));
            UnlockPulseLoop(mixer->connection->loop);
        }
    }
}

void OnSinkInputEvent(void* owner, pa_subscription_event_type_t type, uint32_t index) {
    auto* mixer = static_cast<LoopbackMixer*>(owner);
    if (!mixer->running) return;
    // A stream that went away: its monitor is killed by the server once the
    // last of its sound has been delivered (on PipeWire's pulse server that
    // comes after this event), and ends then.
    if ((type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) == PA_SUBSCRIPTION_EVENT_REMOVE) return;
    TrackOperation(&mixer->queries,
                   pa_context_get_sink_input_info(mixer->connection->context, index, OnSinkInputInfo, mixer));
}

// A stream that names no process of its own may belong to another process
// now: every stream is looked at again.
void OnClientChanged(void* owner) {
    auto* mixer = static_cast<LoopbackMixer*>(owner);
    if (!mixer->running) return;
    TrackOperation(&mixer->queries,
                   pa_context_get_sink_input_info_list(mixer->connection->context, OnSinkInputInfo, mixer));
}

// The server closes every stream as it goes; the reader hears of it through
// the packet queue.
void OnConnectionLost(void* owner) { ReportDeviceLost(static_cast<LoopbackMixer*>(owner)->queue); }

// Closes the streams of ended monitors, and looks at their streams again: one
// that merely moved to another sink is monitored there.
void OnReaperDue(pa_mainloop_api* api, pa_defer_event* event, void* userdata) {
    auto* mixer = static_cast<LoopbackMixer*>(userdata);
    api->defer_free(event);
    mixer->reaper = nullptr;
    for (auto& [sink_input, monitor] : mixer->monitors) {
        if (!monitor->ended || monitor->stream == nullptr) continue;
        CloseMonitor(monitor.get());
        TrackOperation(&mixer->queries,
                       pa_context_get_sink_input_info(mixer->connection->context, sink_input, OnSinkInputInfo, mixer));
    }
}

// Bytes of the next period in a monitor.
size_t NextPeriodBytes(const LoopbackMixer* mixer) {
    const WAVEFORMATEX& format = mixer->queue->format;
    return size_t{PeriodFrames(format.nSamplesPerSec, mixer->period)} * MonitorFrameBytes(format);
}

// Adds a monitor's samples into the period's sums.
template <typename Sample, typename Sum>
void AddSamples(const uint8_t* bytes, size_t count, Sum* sum) {
    for (size_t i = 0; i < count; ++i) {
        Sample sample;
        memcpy(&sample, bytes + i * sizeof sample, sizeof sample);
        sum[i] += sample;
    }
}

// The period's stereo sums as the device's samples, mono ones the mean of
// left and right: 16-bit ones clamp, float ones go as they are, above full
// scale too, as the engine's float mix does.
template <typename Sample, typename Sum>
void WriteSamples(const Sum* sum, size_t frames, WORD channels, uint8_t* out) {
    for (size_t i = 0; i < frames * channels; ++i) {
        const Sum value = channels == 2 ? sum[i] : (sum[2 * i] + sum[2 * i + 1]) / 2;
        Sample sample;
        if constexpr (std::is_same_v<Sample, int16_t>)
            sample = static_cast<int16_t>(std::clamp(value, -32768, 32767));
        else
            sample = value;
        memcpy(out + i * sizeof sample, &sample, sizeof sample);
    }
}

// One period of the device: sum every primed monitor's next 10 ms.
// A monitor joins once it holds its prime (an ended one with whatever it
// holds), with all it holds: a sound's first frames are kept, and a delivery
// that came with them adds at most its own length to the latency. It leaves
// when it runs dry; with none taking part nothing is delivered, as Windows
// delivers nothing while the captured processes are silent. An ended
// monitor that has run dry is reaped.
template <typename Sample, typename Sum>
void MixOnePacket(LoopbackMixer* mixer) {
    const size_t period = NextPeriodBytes(mixer);
    Sum sum[kMaxPeriodSamples] = {};
    bool any = false;
    for (auto it = mixer->monitors.begin(); it != mixer->monitors.end();) {
        Monitor* monitor = it->second.get();
        std::vector<uint8_t>& bytes = monitor->bytes;
        if (monitor->ended && bytes.empty()) {
            CloseMonitor(monitor);
            it = mixer->monitors.erase(it);
            continue;
        }
        ++it;
        if (!monitor->primed && (monitor->ended || bytes.size() >= mixer->bounds.prime)) monitor->primed = true;
        if (!monitor->primed) continue;
        const size_t taken = std::min(bytes.size(), period);
        AddSamples<Sample>(bytes.data(), taken / sizeof(Sample), sum);
        bytes.erase(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(taken));
        // Short of a period only when the server passed it over: it leaves.
        // One that gave a whole period and holds nothing more stays, at the
        // edge: the next period waits for it if the server is late.
        if (taken < period) monitor->primed = false;
        any |= taken > 0;
    }
    ++mixer->period;
    Packet* packet = any ? NextPacket(mixer->queue) : nullptr;
    if (packet == nullptr) return;
    packet->time = mixer->next_tick * 10;  // the period's tick on the device clock (CLOCK_MONOTONIC)
    const WAVEFORMATEX& format = mixer->queue->format;
    packet->frames = static_cast<UINT32>(period / MonitorFrameBytes(format));
    WriteSamples<Sample>(sum, packet->frames, format.nChannels, packet->data);
    CommitPacket(mixer->queue);
}

// A period waits while a monitor in the mix holds less than a period and its
// stream is not known to be quiet: the server is late. One whose stream is
// corked, or that the server has passed over, is quiet, and gives what it
// has. Returns when the server last delivered to a monitor the period waits
// for, or 0 if it waits for none.
pa_usec_t LateDelivery(const LoopbackMixer* mixer) {
    pa_usec_t freshest = 0;
    for (const auto& [index, monitor] : mixer->monitors) freshest = std::max(freshest, monitor->arrival);
    pa_usec_t late = 0;
    for (const auto& [index, monitor] : mixer->monitors)
        if (monitor->primed && !monitor->ended && !monitor->paused && monitor->bytes.size() < NextPeriodBytes(mixer) &&
            monitor->arrival + kPassedOver >= freshest)
            late = std::max(late, monitor->arrival);
    return late;
}

bool HoldsSound(const LoopbackMixer* mixer) {
    for (const auto& [index, monitor] : mixer->monitors)
        if (monitor->primed || !monitor->bytes.empty()) return true;
    return false;
}

// Mixes every period that has come due on the device clock, at its tick, as
// Windows' engine does: a packet mixed only when the next fragment arrives
// would reach the reader up to a fragment late, and the reader would have
// to hold that much more to never run dry. A period the server is late for
// waits, up to kMaxWait; then it and the periods behind it follow at once,
// or the clock skips them if the server delivered all the while. Returns
// whether the device still needs the clock: while no monitor holds sound
// it does not.
bool MixDuePackets(LoopbackMixer* mixer, pa_usec_t now) {
    if (!mixer->running) return false;
    if (now > mixer->next_tick + kMaxLag) mixer->next_tick = NextClockTick(now) - kPeriod;
    while (mixer->next_tick <= now) {
        const pa_usec_t late = LateDelivery(mixer);
        if (late != 0 && now < mixer->next_tick + kMaxWait) break;
        if (late > mixer->next_tick) {
            // The server delivered all the while and never caught up: its
            // stream runs behind the clock for good (PipeWire's graph resumes
            // a stream it stalled where it stopped, and loses nothing). The
            // clock drops the time it waited, not the sound, and says so.
            mixer->next_tick = NextClockTick(now) - kPeriod;
            mixer->queue->gap = true;
            continue;
        }
        if (mixer->queue->format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
            MixOnePacket<float, float>(mixer);
        else
            MixOnePacket<int16_t, int32_t>(mixer);
        mixer->next_tick += kPeriod;
    }
    return HoldsSound(mixer);
}

bool OnClockTick(void* owner, pa_usec_t now) { return MixDuePackets(static_cast<LoopbackMixer*>(owner), now); }

}  // namespace

HRESULT OpenLoopbackMixer(DWORD target, bool exclude, PacketQueue* queue, LoopbackMixer** mixer) {
    auto opened = std::make_unique<LoopbackMixer>();
    opened->target = target;
    opened->exclude = exclude;
    opened->queue = queue;
    sem_init(&opened->chooser.wake, 0, 0);
    opened->listener = PulseListener{OnSinkInputEvent, OnClientChanged, OnConnectionLost, OnClockTick, opened.get()};
    const HRESULT hr = AcquirePulseConnection(&opened->connection);
    if (FAILED(hr)) return hr;
    LockPulseLoop(opened->connection->loop);
    const bool lost = IsConnectionLost(opened->connection->context);
    if (!lost) AddPulseListener(opened->connection, &opened->listener);
    UnlockPulseLoop(opened->connection->loop);
    if (lost) {
        ReleasePulseConnection(opened->connection);
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    *mixer = opened.release();
    return S_OK;
}

HRESULT StartLoopbackMixer(LoopbackMixer* mixer) {
    pa_context* context = mixer->connection->context;
    LockPulseLoop(mixer->connection->loop);
    HRESULT hr = S_OK;
    if (IsConnectionLost(context)) {
        hr = AUDCLNT_E_DEVICE_INVALIDATED;
    } else if (!mixer->running) {
        mixer->running = true;
        SubscribeSinkInputs(mixer->connection);
        TrackOperation(&mixer->queries, pa_context_get_sink_input_info_list(context, OnSinkInputInfo, mixer));
        mixer->next_tick = NextClockTick(pa_rtclock_now());
        mixer->bounds = BoundsOf(*mixer->queue);
        mixer->chooser.stopping.store(false);
        mixer->chooser.thread = std::thread(RunChooser, mixer);
    }
    UnlockPulseLoop(mixer->connection->loop);
    return hr;
}

void StopLoopbackMixer(LoopbackMixer* mixer) {
    LockPulseLoop(mixer->connection->loop);
    mixer->running = false;
    UnlockPulseLoop(mixer->connection->loop);
    // The chooser may be waiting for the loop's lock.
    if (mixer->chooser.thread.joinable()) {
        mixer->chooser.stopping.store(true, std::memory_order_release);
        sem_post(&mixer->chooser.wake);
        mixer->chooser.thread.join();
    }
    mixer->chooser.read.store(mixer->chooser.written.load());
    LockPulseLoop(mixer->connection->loop);
    pa_mainloop_api* api = PulseLoopApi(mixer->connection->loop);
    if (mixer->reaper != nullptr) {
        api->defer_free(mixer->reaper);
        mixer->reaper = nullptr;
    }
    CancelOperations(&mixer->queries);
    for (auto& [index, monitor] : mixer->monitors) CloseMonitor(monitor.get());
    mixer->monitors.clear();
    UnlockPulseLoop(mixer->connection->loop);
}

void CloseLoopbackMixer(LoopbackMixer* mixer) {
    StopLoopbackMixer(mixer);
    LockPulseLoop(mixer->connection->loop);
    RemovePulseListener(mixer->connection, &mixer->listener);
    UnlockPulseLoop(mixer->connection->loop);
    ReleasePulseConnection(mixer->connection);
    sem_destroy(&mixer->chooser.wake);
    delete mixer;
}
