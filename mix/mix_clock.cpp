#include "mix/mix_clock.h"

#include <algorithm>

int64_t FramesDue(int64_t elapsed_ticks, int64_t frequency, int64_t rate) {
    // elapsed = s * f + r, so elapsed * rate / f = s * rate + r * rate / f
    // with s * rate whole: truncating the second term alone is exact.
    const int64_t seconds = elapsed_ticks / frequency;
    const int64_t remainder = elapsed_ticks % frequency;
    return seconds * rate + remainder * rate / frequency;
}

int64_t TakeChunk(MixClock& clock, int64_t now, const MixFrames& frames) {
    const int64_t due = FramesDue(now - clock.counter_start, clock.frequency, frames.format.rate);
    const int64_t pending = due - clock.frames_produced;
    if (pending < frames.min_chunk) return 0;
    const int64_t chunk = std::min(pending, frames.max_chunk);
    clock.frames_produced = due;
    return chunk;
}
