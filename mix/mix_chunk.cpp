#include "mix/mix_chunk.h"

#include <algorithm>

#include "mix/growth.h"
#include "mix/mix_kernel.h"

namespace {

// Takes the source's share of a chunk of `samples` samples, if it plays in
// it: its span is added to `spans`, to be summed once every source has
// given its share. The queue is not touched until then.
void TakeShare(CaptureSource& source, size_t samples, std::vector<MixSpan>& spans) {
    const std::vector<int16_t>& queue = source.sample_queue;
    const size_t unread = queue.size() - source.read_index;
    if (!source.primed) {
        if (unread < kPrimingSamples) return;
        source.primed = true;
    }
    const size_t taken = std::min(unread / 2 * 2, samples);
    if (taken != 0) spans.push_back(MixSpan{queue.data() + source.read_index, taken});
    source.read_index += taken;
    if (unread - taken < 2) source.primed = false;  // dry: gathers 1920 again before it plays
}

}  // namespace

void MixChunk(SourceMap& sources, size_t frames, MixBuffers& buffers) {
    const size_t samples = frames * 2;
    buffers.spans.clear();
    for (auto& entry : sources) TakeShare(entry.second, samples, buffers.spans);

    // Every entry of both is overwritten by the sums and their clamp.
    ReserveForGrowth(buffers.accumulator, samples);
    buffers.accumulator.resize(samples);
    ReserveForGrowth(buffers.output, samples);
    buffers.output.resize(samples);
    MixSpans(buffers.accumulator.data(), buffers.output.data(), buffers.spans.data(), buffers.spans.size(), samples);
}
