#include "mix/mix_chunk.h"

#include <algorithm>

#include "mix/growth.h"
#include "mix/mix_kernel.h"

namespace {

// Takes the source's share of a chunk of `frames` frames, if it plays in
// it: its span is added to `spans`, to be summed once every source has
// given its share. The queue is not touched until then.
void TakeShare(CaptureSource& source, size_t frames, MixBuffers& buffers, const MixFrames& mix) {
    const std::vector<int16_t>& queue = source.sample_queue;
    const size_t unread = (queue.size() - source.read_index) / mix.units;  // frames
    if (!Plays(source.drift, source.primed, source.leaving, unread, frames, mix)) return;
    source.primed = true;
    const DriftShare share =
        TakeDriftShare(source.drift, queue.data() + source.read_index, unread, frames, buffers.resampling, mix);
    if (share.frames != 0) buffers.spans.push_back(MixSpan{share.samples, share.frames * mix.format.channels});
    source.read_index += share.consumed * mix.units;
    // Dry: gathers 20 ms (or its bursts' worth) again before it plays.
    // Passing through, that is when no frame is left; resampling, when the
    // chunk could not be filled and the last frames were played out.
    if (share.frames < frames || unread == share.consumed) source.primed = false;
}

}  // namespace

void MixChunk(SourceMap& sources, size_t frames, MixBuffers& buffers, const MixFrames& mix) {
    const size_t samples = frames * mix.format.channels;
    buffers.spans.clear();
    for (auto& entry : sources) TakeShare(entry.second, frames, buffers, mix);

    if (mix.format.type == SampleType::kF32) {
        ReserveForGrowth(buffers.output, frames * mix.units);
        buffers.output.resize(frames * mix.units);
        MixFloatSpans(buffers.output.data(), buffers.spans.data(), buffers.spans.size(), samples);
        return;
    }
    // Every entry of both is overwritten by the sums and their clamp.
    ReserveForGrowth(buffers.accumulator, samples);
    buffers.accumulator.resize(samples);
    ReserveForGrowth(buffers.output, samples);
    buffers.output.resize(samples);
    MixSpans(buffers.accumulator.data(), buffers.output.data(), buffers.spans.data(), buffers.spans.size(), samples);
}
