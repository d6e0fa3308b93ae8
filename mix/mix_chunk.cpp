#include "mix/mix_chunk.h"

#include <algorithm>

#include "mix/growth.h"
#include "mix/mix_kernel.h"

namespace {

void MixSource(CaptureSource& source, std::vector<int32_t>& accumulator) {
    const std::vector<int16_t>& queue = source.sample_queue;
    const size_t unread = queue.size() - source.read_index;
    if (!source.primed) {
        if (unread < kPrimingSamples) return;
        source.primed = true;
    }
    const size_t taken = std::min(unread / 2 * 2, accumulator.size());
    MixInto(accumulator.data(), queue.data() + source.read_index, taken);
    source.read_index += taken;
    if (unread - taken < 2) source.primed = false;  // dry: gathers 1920 again before it plays
}

}  // namespace

void MixChunk(SourceMap& sources, size_t frames, MixBuffers& buffers) {
    const size_t samples = frames * 2;
    ReserveForGrowth(buffers.accumulator, samples);
    buffers.accumulator.assign(samples, 0);
    for (auto& entry : sources) MixSource(entry.second, buffers.accumulator);

    ReserveForGrowth(buffers.output, samples);
    buffers.output.resize(samples);
    ClampMix(buffers.output.data(), buffers.accumulator.data(), samples);
}
