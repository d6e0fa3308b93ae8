// One chunk of mix mode's output, mixed from every source that is primed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mix/mix_frames.h"
#include "mix/mix_kernel.h"
#include "mix/source_map.h"

// Both keep their storage from chunk to chunk.
struct MixBuffers {
    std::vector<int32_t> accumulator;  // s16: frames x channels sums, interleaved
    std::vector<int16_t> output;       // what is written, in units: s16 the sums clamped, f32 the sums
    std::vector<MixSpan> spans;        // this chunk's share of each source playing in it
    std::vector<float> resampling;     // the drift correctors' working storage
};

// Sums `frames` frames from the sources, in ascending pid order, into
// buffers.output. Each primed source gives its oldest unread samples, as many
// as it has up to the chunk, and leaves the mix when it runs dry; a source
// joins once it holds 20 ms unread and a 10 ms packet beyond the chunk
// (and, once its bursts are known, a burst's worth beyond it). Failed
// sources are mixed too. A source whose clock drifts is resampled by its
// drift corrector.
void MixChunk(SourceMap& sources, size_t frames, MixBuffers& buffers, const MixFrames& mix = kDefaultMixFrames);
