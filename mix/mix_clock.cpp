#include "mix/mix_clock.h"

#include <algorithm>

int64_t FramesDue(int64_t elapsed_ticks, int64_t frequency) {
    // elapsed = s * f + r, so elapsed * 48000 / f = s * 48000 + r * 48000 / f
    // with s * 48000 whole: truncating the second term alone is exact.
    const int64_t seconds = elapsed_ticks / frequency;
    const int64_t remainder = elapsed_ticks % frequency;
    return seconds * kMixRate + remainder * kMixRate / frequency;
}

int64_t TakeChunk(MixClock& clock, int64_t now) {
    const int64_t due = FramesDue(now - clock.counter_start, clock.frequency);
    const int64_t pending = due - clock.frames_produced;
    if (pending < kMinChunkFrames) return 0;
    const int64_t chunk = std::min(pending, kMaxChunkFrames);
    clock.frames_produced = due;
    return chunk;
}
