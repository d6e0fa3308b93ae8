// Mix mode's own 48 kHz clock, counted on the performance counter: it sets
// how many frames each turn writes, whatever the turns' real cadence.
#pragma once

#include <cstdint>

constexpr int64_t kMixRate = 48000;        // frames per second
constexpr int64_t kMinChunkFrames = 480;   // 10 ms: nothing is written until this much is due
// 200 ms, what a source may hold: a late turn catches up from every source's
// backlog, and only frames due beyond this are skipped.
constexpr int64_t kMaxChunkFrames = 9600;

// (elapsed_ticks x 48000) / frequency, truncated, without forming the
// product, which would overflow 64 bits after 2^63 / 48000 ticks (222 days
// at 10 MHz). Exact for every elapsed count while frequency <= 2^63 / 48000.
int64_t FramesDue(int64_t elapsed_ticks, int64_t frequency);

struct MixClock {
    int64_t frequency = 1;        // counter ticks per second
    int64_t counter_start = 0;    // counter reading at frame 0
    int64_t frames_produced = 0;  // frames written or skipped since frame 0
};

// The frames to mix at counter reading `now`: 0 while fewer than 480 are due,
// at most 9600. Counts them as produced, and skips the ones beyond 9600, so
// that frames_produced equals the frames due whenever a chunk is returned.
int64_t TakeChunk(MixClock& clock, int64_t now);
