#include "mix/mix_chunk.h"

#include <algorithm>

#include "mix/growth.h"
#include "mix/mix_kernel.h"

namespace {

// Takes the source's share of a chunk of `frames` frames, if it plays in
// it: its span is added to `spans`, to be summed once every source has
// given its share. The queue is not touched until then.
void TakeShare(CaptureSource& source, size_t frames, MixBuffers& buffers) {
    const std::vector<int16_t>& queue = source.sample_queue;
    const size_t unread = (queue.size() - source.read_index) / 2;  // frames
    if (!Plays(source.drift, source.primed, source.leaving, unread, frames, kPrimingSamples / 2)) return;
    source.primed = true;
    const DriftShare share =
        TakeDriftShare(source.drift, queue.data() + source.read_index, unread, frames, buffers.resampling);
    if (share.frames != 0) buffers.spans.push_back(MixSpan{share.samples, share.frames * 2});
    source.read_index += share.consumed * 2;
    // Dry: gathers 960 frames (or its bursts' worth) again before it plays.
    // Passing through, that is when no frame is left; resampling, when the
    // chunk could not be filled and the last frames were played out.
    if (share.frames < frames || unread == share.consumed) source.primed = false;
}

}  // namespace

void MixChunk(SourceMap& sources, size_t frames, MixBuffers& buffers) {
    const size_t samples = frames * 2;
    buffers.spans.clear();
    for (auto& entry : sources) TakeShare(entry.second, frames, buffers);

    // Every entry of both is overwritten by the sums and their clamp.
    ReserveForGrowth(buffers.accumulator, samples);
    buffers.accumulator.resize(samples);
    ReserveForGrowth(buffers.output, samples);
    buffers.output.resize(samples);
    MixSpans(buffers.accumulator.data(), buffers.output.data(), buffers.spans.data(), buffers.spans.size(), samples);
}
