#include <gtest/gtest.h>

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

}  // namespace
