#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "mix/mix_kernel.h"

namespace {

// Random samples with the extremes over-represented, so that sign extension
// and saturation are exercised in every lane.
std::vector<int16_t> RandomSamples(std::mt19937& random, size_t count) {
    std::uniform_int_distribution<int> pick(-32768, 32767);
    std::uniform_int_distribution<int> edge(0, 7);
    std::vector<int16_t> samples(count);
    for (int16_t& sample : samples) {
        const int which = edge(random);
        sample = static_cast<int16_t>(which == 0 ? -32768 : which == 1 ? 32767 : which == 2 ? -1 : pick(random));
    }
    return samples;
}

TEST(MixKernel, FastMixEqualsTheReferenceForEveryLengthAndOffset) {
    std::mt19937 random(1);
    std::uniform_int_distribution<int32_t> start(-200000, 200000);
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t count = 0; count <= 70; ++count) {
            const std::vector<int16_t> samples = RandomSamples(random, offset + count);
            std::vector<int32_t> fast(offset + count + 1);
            for (int32_t& value : fast) value = start(random);
            std::vector<int32_t> reference = fast;

            MixInto(fast.data() + offset, samples.data() + offset, count);
            MixIntoReference(reference.data() + offset, samples.data() + offset, count);
            ASSERT_EQ(fast, reference) << "offset " << offset << ", count " << count;
        }
    }
}

TEST(MixKernel, FastClampEqualsTheReferenceForEveryLengthAndOffset) {
    std::mt19937 random(2);
    std::uniform_int_distribution<int32_t> wide(-70000, 70000);
    const int32_t edges[] = {-32769, -32768, -32767, 32766, 32767, 32768, INT32_MIN, INT32_MAX, 0, -1};
    for (size_t offset = 0; offset < 8; ++offset) {
        for (size_t count = 0; count <= 70; ++count) {
            std::vector<int32_t> mix(offset + count);
            for (size_t i = 0; i < mix.size(); ++i) mix[i] = i % 3 == 0 ? edges[i % 10] : wide(random);
            std::vector<int16_t> fast(offset + count + 1, 0x1234);
            std::vector<int16_t> reference = fast;

            ClampMix(fast.data() + offset, mix.data() + offset, count);
            ClampMixReference(reference.data() + offset, mix.data() + offset, count);
            ASSERT_EQ(fast, reference) << "offset " << offset << ", count " << count;
        }
    }
}

typedef void (*SpansKernel)(int32_t*, int16_t*, const MixSpan*, size_t, size_t);

// Chunks of every length up to 70 samples (so every block and tail size),
// from 0 to 20 sources each ending anywhere in the chunk: most as long as the
// chunk, some shorter or empty, as when a source runs dry.
void ExpectSpansEqualTheReference(SpansKernel kernel, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> sources(0, 20);
    std::uniform_int_distribution<int> shape(0, 3);
    for (int round = 0; round < 40; ++round) {
        for (size_t count = 0; count <= 70; ++count) {
            std::vector<std::vector<int16_t>> data;
            std::vector<MixSpan> spans;
            const int n = sources(random);
            for (int k = 0; k < n; ++k) {
                const size_t length =
                    shape(random) == 0 ? std::uniform_int_distribution<size_t>(0, count)(random) : count;
                data.push_back(RandomSamples(random, length + 1));
            }
            for (auto& samples : data) spans.push_back({samples.data(), samples.size() - 1});
            std::vector<int32_t> sums(count + 1, 0x5EED), reference_sums = sums;
            std::vector<int16_t> out(count + 1, 0x1234), reference_out = out;

            kernel(sums.data(), out.data(), spans.data(), spans.size(), count);
            MixSpansReference(reference_sums.data(), reference_out.data(), spans.data(), spans.size(), count);
            ASSERT_EQ(sums, reference_sums) << n << " sources, count " << count;
            ASSERT_EQ(out, reference_out) << n << " sources, count " << count;
        }
    }
}

TEST(MixKernel, SpansEqualTheReference) { ExpectSpansEqualTheReference(MixSpans, 3); }

TEST(MixKernel, SpansWithoutAvx2EqualTheReference) { ExpectSpansEqualTheReference(MixSpansSse2, 4); }

// 16 sources at full scale, one chunk of 4800 frames: the sums reach
// 16 x 32767 and must neither wrap nor be clamped before the end.
TEST(MixKernel, SpansOfSixteenFullScaleSourcesEqualTheReference) {
    std::mt19937 random(5);
    std::vector<std::vector<int16_t>> data;
    std::vector<MixSpan> spans;
    for (int k = 0; k < 16; ++k) {
        data.push_back(std::vector<int16_t>(9600, 32767));
        std::fill(data.back().begin() + 4800, data.back().end(), -32768);
    }
    data.push_back(RandomSamples(random, 9600));
    for (auto& samples : data) spans.push_back({samples.data(), samples.size()});
    std::vector<int32_t> sums(9600), reference_sums(9600);
    std::vector<int16_t> out(9600), reference_out(9600);
    MixSpans(sums.data(), out.data(), spans.data(), spans.size(), 9600);
    MixSpansReference(reference_sums.data(), reference_out.data(), spans.data(), spans.size(), 9600);
    EXPECT_EQ(sums, reference_sums);
    EXPECT_EQ(out, reference_out);
}

}  // namespace
