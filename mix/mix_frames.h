// Mix mode's durations as frame counts at the run's rate, and the layout of
// its samples: built once per run from the output format. Sample queues and
// chunks hold int16_t entries, "units": an s16 sample is one, the bytes of an
// f32 sample two, so that queues copy and cut whole frames without looking
// at them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "capture/pcm_format.h"

constexpr int64_t FramesIn(int64_t rate, int64_t ms) { return rate * ms / 1000; }

struct MixFrames {
    PcmFormat format;
    size_t units;               // entries per frame: the channels, twice as many for f32
    int64_t min_chunk;          // 10 ms: nothing is written until this much is due
    int64_t max_chunk;          // 200 ms: what a source may hold; a late turn catches up to it, the rest is skipped
    int64_t priming;            // 20 ms: unread frames a source needs to join the mix
    int64_t trim_target;        // 20 ms: the newest frames that survive a trim
    int64_t queue_room;         // 512 ms: a queue's storage, the most it holds between trims and a turn's packets
    int64_t drift_window;       // 1 s: mix frames per window of a drift corrector's high edge
    int64_t stall_chunk;        // 100 ms: a chunk this large comes after a stall of the loop
    int64_t ordinary_chunk;     // 20 ms: arrivals around a larger (late) chunk are no burst
    int64_t join_left;          // 10 ms: frames a joining source keeps after its first chunk, at least...
    int64_t most_left;          // 50 ms: ...and at most, however large its bursts
    int64_t end_quiet;          // 100 ms: without arrivals, what a source has left plays
    double step;                // 1 ms off the edge's prediction in one window: a step, never drift
    double dead_band;           // 3 ms the edge may stand off its anchor before it is steered
    double release;             // 1 ms: a correction ends once the edge is this close to its anchor
    double frames_per_ppm;      // the edge's move in a window for a clock 1 ppm off
};

constexpr MixFrames MixFramesOf(const PcmFormat& format) {
    const int64_t rate = format.rate;
    const double ms = static_cast<double>(rate) / 1000;
    return MixFrames{format,
                     size_t{format.channels} * SampleBytes(format) / 2,
                     FramesIn(rate, 10),
                     FramesIn(rate, 200),
                     FramesIn(rate, 20),
                     FramesIn(rate, 20),
                     FramesIn(rate, 512),
                     rate,
                     FramesIn(rate, 100),
                     FramesIn(rate, 20),
                     FramesIn(rate, 10),
                     FramesIn(rate, 50),
                     FramesIn(rate, 100),
                     ms,
                     3 * ms,
                     ms,
                     static_cast<double>(rate) * 1e-6};
}

// 48 kHz stereo s16le: the tool's output when the parent asks for nothing else.
inline constexpr MixFrames kDefaultMixFrames = MixFramesOf(PcmFormat{});
