// Mix mode's own clock at the output's rate, counted on the performance
// counter: it sets how many frames each turn writes, whatever the turns' real
// cadence.
#pragma once

#include <cstdint>

#include "mix/mix_frames.h"

// 200 ms at 48 kHz: the largest chunk at the default rate.
constexpr int64_t kMaxChunkFrames = FramesIn(48000, 200);

// (elapsed_ticks x rate) / frequency, truncated, without forming the
// product, which would overflow 64 bits after 2^63 / rate ticks (222 days
// at 10 MHz and 48 kHz). Exact for every elapsed count while frequency <=
// 2^63 / rate.
int64_t FramesDue(int64_t elapsed_ticks, int64_t frequency, int64_t rate = 48000);

struct MixClock {
    int64_t frequency = 1;        // counter ticks per second
    int64_t counter_start = 0;    // counter reading at frame 0
    int64_t frames_produced = 0;  // frames written or skipped since frame 0
};

// The frames to mix at counter reading `now`: 0 while fewer than 10 ms are
// due, at most 200 ms. Counts them as produced, and skips the ones beyond,
// so that frames_produced equals the frames due whenever a chunk is returned.
int64_t TakeChunk(MixClock& clock, int64_t now, const MixFrames& frames = kDefaultMixFrames);
