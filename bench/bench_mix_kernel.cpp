// The mixing kernel's throughput: samples added into the 32-bit accumulator
// per second, plain loop and fast path, next to a memcpy of the same bytes,
// and the clamp to 16 bits. One chunk is 4800 frames (9600 samples).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

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

void BM_MixInto(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<int16_t> samples = Samples(count);
    std::vector<int32_t> mix(count, 0);
    for (auto _ : state) {
        MixInto(mix.data(), samples.data(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

void BM_MixIntoReference(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    const std::vector<int16_t> samples = Samples(count);
    std::vector<int32_t> mix(count, 0);
    for (auto _ : state) {
        MixIntoReference(mix.data(), samples.data(), count);
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

void BM_ClampMix(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<int32_t> mix(count);
    const std::vector<int16_t> samples = Samples(count);
    for (size_t i = 0; i < count; ++i) mix[i] = samples[i] * 3;
    std::vector<int16_t> out(count, 0);
    for (auto _ : state) {
        ClampMix(out.data(), mix.data(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

void BM_ClampMixReference(benchmark::State& state) {
    const size_t count = static_cast<size_t>(state.range(0));
    std::vector<int32_t> mix(count);
    const std::vector<int16_t> samples = Samples(count);
    for (size_t i = 0; i < count; ++i) mix[i] = samples[i] * 3;
    std::vector<int16_t> out(count, 0);
    for (auto _ : state) {
        ClampMixReference(out.data(), mix.data(), count);
        benchmark::ClobberMemory();
    }
    Report(state, count, sizeof(int16_t));
}

// 960: the smallest chunk; 9600: the largest.
BENCHMARK(BM_MixInto)->Arg(960)->Arg(9600);
BENCHMARK(BM_MixIntoReference)->Arg(960)->Arg(9600);
BENCHMARK(BM_Memcpy)->Arg(960)->Arg(9600);
BENCHMARK(BM_ClampMix)->Arg(960)->Arg(9600);
BENCHMARK(BM_ClampMixReference)->Arg(960)->Arg(9600);

}  // namespace
