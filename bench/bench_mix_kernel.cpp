// The mixing kernel's throughput: samples added into the 32-bit accumulator
// per second, plain loop and fast path, next to a memcpy of the same bytes,
// and the clamp to 16 bits. One chunk is 4800 frames (9600 samples).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "mix/drift_corrector.h"
#include "mix/mix_kernel.h"

namespace {

std::vector<int16_t> Samples(size_t count) {
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(-32768, 32767);
    std::vector<int16_t> samples(count);
    for (int16_t& sample : samples) sample = static_cast<int16_t>(pick(random));
    return samples;
}

void Report(benchmark::State& state, size_t count, size_t bytes_per_sample) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * count * bytes_per_sample));
}

// One source added into the accumulator, by the fast path or the plain loop.
void BM_MixInto(benchmark::State& state, void (*mix_into)(int32_t*, const int16_t*, size_t)) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<int16_t> samples = Samples(count);
    std::vector<int32_t> mix(count, 0);
    for (auto _ : state) {
        mix_into(mix.data(), samples.data(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

// The same source bytes, copied instead of added.
void BM_Memcpy(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<int16_t> samples = Samples(count);
    std::vector<int16_t> copy(count, 0);
    for (auto _ : state) {
        std::memcpy(copy.data(), samples.data(), count * sizeof(int16_t));
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

// Sums clamped to 16 bits, by the fast path or the plain loop.
void BM_ClampMix(benchmark::State& state, void (*clamp)(int16_t*, const int32_t*, size_t)) {
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<int32_t> mix(count);
    const std::vector<int16_t> samples = Samples(count);
    for (size_t i = 0; i < count; ++i) mix[i] = samples[i] * 3;
    std::vector<int16_t> out(count, 0);
    for (auto _ : state) {
        clamp(out.data(), mix.data(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

// The kernel mix mode runs: a chunk of 9600 samples summed from `sources`
// sources and clamped. Items are source samples mixed.
void BM_MixSpans(benchmark::State& state) {
    const size_t sources = static_cast<size_t>(state.range(0));
    const size_t count = 9600;
    const std::vector<int16_t> samples = Samples(count * sources);
    std::vector<MixSpan> spans;
    for (size_t k = 0; k < sources; ++k) spans.push_back({samples.data() + k * count, count});
    std::vector<int32_t> sums(count);
    std::vector<int16_t> out(count);
    for (auto _ : state) {
        MixSpans(sums.data(), out.data(), spans.data(), spans.size(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count * sources, sizeof(int16_t));
}

// memcpy of the bytes that BM_MixSpans reads: each source's chunk in turn.
void BM_MemcpySources(benchmark::State& state) {
    const size_t sources = static_cast<size_t>(state.range(0));
    const size_t count = 9600;
    const std::vector<int16_t> samples = Samples(count * sources);
    std::vector<int16_t> copy(count);
    for (auto _ : state) {
        for (size_t k = 0; k < sources; ++k)
            std::memcpy(copy.data(), samples.data() + k * count, count * sizeof(int16_t));
        benchmark::ClobberMemory();
    }
    Report(state, count * sources, sizeof(int16_t));
}

// One source's drift corrector over chunks of 480 frames, resampling at
// `ppm` (0: passing through), its backlog held at the target. Items are
// frames: 48000 of them are one second of one source, to set beside
// BM_MixSpans' samples (96000 per source-second).
void BM_DriftCorrector(benchmark::State& state) {
    constexpr size_t kBacklog = 1680;  // frames: a steady backlog inside the band
    const double ppm = static_cast<double>(state.range(0));
    const size_t frames = 480;
    const std::vector<int16_t> samples = Samples(2 * 48000 * 2);
    DriftCorrector corrector;
    if (ppm != 0) {
        corrector.mode = DriftMode::kCorrecting;
        corrector.integral = corrector.ppm = ppm;
    }
    std::vector<float> scratch;
    size_t position = 0;
    for (auto _ : state) {
        if (position > 48000) position = 0;
        const DriftShare share = TakeDriftShare(corrector, samples.data() + 2 * position, kBacklog, frames, scratch);
        position += share.consumed;
        benchmark::DoNotOptimize(share.samples);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}

// 960: the smallest chunk; 9600: the largest.
BENCHMARK_CAPTURE(BM_MixInto, fast, MixInto)->Arg(960)->Arg(9600);
BENCHMARK_CAPTURE(BM_MixInto, reference, MixIntoReference)->Arg(960)->Arg(9600);
BENCHMARK(BM_Memcpy)->Arg(960)->Arg(9600);
BENCHMARK_CAPTURE(BM_ClampMix, fast, ClampMix)->Arg(960)->Arg(9600);
BENCHMARK_CAPTURE(BM_ClampMix, reference, ClampMixReference)->Arg(960)->Arg(9600);
BENCHMARK(BM_MixSpans)->Arg(1)->Arg(2)->Arg(16);
BENCHMARK(BM_MemcpySources)->Arg(1)->Arg(2)->Arg(16);
BENCHMARK(BM_DriftCorrector)->Arg(0)->Arg(200)->Arg(-300);

}  // namespace
