#include "platform/posix/audio_pipewire_cycle.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

namespace {

// The graph's quantum is at most 8192 frames (PipeWire's quantum limit), at
// its own rate; the device's may be higher: room for 200 ms of it, at least.
constexpr uint32_t kLargestQuantum = 8192;

template <typename Sample>
void Put(Sample sample, uint8_t** out) {
    memcpy(*out, &sample, sizeof sample);
    *out += sizeof sample;
}

// 16-bit samples clamp; float ones go as they are, as the engine's do.
void PutSample(float sample, int16_t, uint8_t** out) {
    Put(static_cast<int16_t>(std::clamp(std::lrint(sample), -32768l, 32767l)), out);
}
void PutSample(float sample, float, uint8_t** out) { Put(sample, out); }

// Mixes frames of a node's channels down to stereo, summed into out: FL and
// FR as they are, the surround set with the standard gains (front 1, centre
// and each side's side and rear channel -3 dB, the low-frequency channel
// left out), scaled so that a side's gains add up to 1: a player that does
// not clip does not clip here. Without a surround player the set is silent
// and stereo passes sample for sample.
template <typename Sample>
void MixDown(const Sample* in, uint32_t frames, int weight, float* out) {
    constexpr float kMinus3dB = 0.70710678f;
    const float front = 1.0f / (1.0f + kMinus3dB * static_cast<float>(weight));
    const float other = kMinus3dB * front;
    for (uint32_t i = 0; i < frames; ++i, in += kNodeChannels, out += 2) {
        const Sample* set = in + kSurroundFirst;  // FL FR FC SL SR RL RR
        const float centre = other * set[2];
        out[0] += in[0] + (front * set[0] + centre + other * (set[3] + set[5]));
        out[1] += in[1] + (front * set[1] + centre + other * (set[4] + set[6]));
    }
}

// The cycle's stereo frames in the device's format. Mono is the mean of left
// and right, as Windows' engine mixes stereo down.
template <typename Sample>
void PutFrames(const float* from, uint32_t frames, WORD channels, uint8_t* to) {
    for (uint32_t i = 0; i < frames; ++i, from += 2) {
        if (channels == 1) {
            PutSample(0.5f * (from[0] + from[1]), Sample{}, &to);
            continue;
        }
        PutSample(from[0], Sample{}, &to);
        PutSample(from[1], Sample{}, &to);
    }
}

// The packet being filled goes out as it is, the rest of it zeros: the last
// milliseconds of a sound are not kept back for a next one.
void FlushPacket(PipeWireCycle* cycle) {
    if (cycle->packet == nullptr) return;
    const WORD block = cycle->queue->format.nBlockAlign;
    std::fill(cycle->packet->data + size_t{cycle->filled} * block,
              cycle->packet->data + size_t{cycle->packet->frames} * block, 0);
    CommitPacket(cycle->queue);
    cycle->packet = nullptr;
}

// Every frame of a cycle of sound goes into the device's ring, 10 ms a
// packet, each stamped with the graph's time of its first frame. A cycle
// that no node had sound in is the silence of a tree that plays nothing,
// which Windows does not deliver.
void HandOver(PipeWireCycle* cycle) {
    cycle->open = false;
    if (cycle->remade.exchange(false, std::memory_order_acquire) || cycle->cut) MarkPacketLost(cycle->queue);
    if (!cycle->sound) {
        FlushPacket(cycle);
        return;
    }
    const WAVEFORMATEX& format = cycle->queue->format;
    const bool f32 = format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    for (uint32_t done = 0; done < cycle->length;) {
        if (cycle->packet == nullptr) {
            cycle->packet = NextPacket(cycle->queue);
            if (cycle->packet == nullptr) return;  // stopped
            cycle->filled = 0;
            cycle->packet->time =
                cycle->timed ? static_cast<UINT64>(cycle->time) / 100 + UINT64{done} * 10000000 / format.nSamplesPerSec
                             : 0;
        }
        const uint32_t count = std::min(cycle->length - done, cycle->packet->frames - cycle->filled);
        const float* from = cycle->frames.get() + size_t{done} * 2;
        uint8_t* to = cycle->packet->data + size_t{cycle->filled} * format.nBlockAlign;
        if (f32)
            PutFrames<float>(from, count, format.nChannels, to);
        else
            PutFrames<int16_t>(from, count, format.nChannels, to);
        cycle->filled += count;
        done += count;
        if (cycle->filled == cycle->packet->frames) {
            CommitPacket(cycle->queue);
            cycle->packet = nullptr;
        }
    }
}

}  // namespace

void SizePipeWireCycle(PipeWireCycle* cycle, PacketQueue* queue) {
    cycle->queue = queue;
    const uint32_t capacity = std::max<uint32_t>(kLargestQuantum, queue->format.nSamplesPerSec / 5);
    if (capacity != cycle->capacity) cycle->frames = std::make_unique<float[]>(size_t{capacity} * 2);
    cycle->capacity = capacity;
    ResetPipeWireCycle(cycle);
}

void ResetPipeWireCycle(PipeWireCycle* cycle) {
    cycle->remade.store(false);
    cycle->open = false;
    cycle->packet = nullptr;
    cycle->filled = 0;
}

void JoinPipeWireCycle(PipeWireCycle* cycle, bool timed, int64_t time) {
    if (cycle->open && timed && cycle->timed && time == cycle->time) return;
    if (cycle->open) HandOver(cycle);
    cycle->open = true;
    ++cycle->serial;
    cycle->timed = timed;
    cycle->time = time;
    cycle->length = 0;
    cycle->sound = false;
    cycle->cut = false;
}

void AddToPipeWireCycle(PipeWireCycle* cycle, const void* in, uint32_t at, uint32_t frames, int weight) {
    cycle->sound = true;
    if (frames > cycle->capacity - std::min(at, cycle->capacity)) {
        frames = cycle->capacity - std::min(at, cycle->capacity);
        cycle->cut = true;
    }
    if (at + frames > cycle->length) {
        std::fill(cycle->frames.get() + size_t{cycle->length} * 2, cycle->frames.get() + size_t{at + frames} * 2, 0.0f);
        cycle->length = at + frames;
    }
    float* out = cycle->frames.get() + size_t{at} * 2;
    if (cycle->queue->format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        MixDown(static_cast<const float*>(in), frames, weight, out);
    else
        MixDown(static_cast<const int16_t*>(in), frames, weight, out);
}
