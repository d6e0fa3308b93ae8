#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "mix/mix_chunk.h"

namespace {

// A source that holds `unread` samples of `value` after `read` samples already taken.
CaptureSource Holding(size_t read, size_t unread, int16_t value, bool primed) {
    CaptureSource source;
    source.sample_queue.assign(read, 99);
    source.sample_queue.insert(source.sample_queue.end(), unread, value);
    source.read_index = read;
    source.primed = primed;
    return source;
}

struct PrimingCase {
    const char* name;
    size_t read, unread;
    bool primed;
    size_t chunk_frames;
    size_t mixed_samples;  // leading output samples that carry the source
    bool primed_after;
};

TEST(MixChunk, JoinsAt1920UnreadAndLeavesWhenDry) {
    const PrimingCase cases[] = {
        {"1918 unread: waits", 0, 1918, false, 480, 0, false},
        {"1920 unread: joins in this chunk", 0, 1920, false, 480, 960, true},
        {"joins after earlier reads", 500, 1920, false, 480, 960, true},
        {"100 frames into 480", 0, 200, true, 480, 200, false},
        {"2 left over: stays", 0, 962, true, 480, 960, true},
        {"exactly a chunk: dry", 0, 960, true, 480, 960, false},
        {"more than a chunk", 40, 20000, true, 4800, 9600, true},
        {"primed source never waits for 1920", 0, 4, true, 480, 4, false},
    };
    for (const PrimingCase& c : cases) {
        SourceMap sources;
        sources[10] = Holding(c.read, c.unread, 1000, c.primed);
        MixBuffers buffers;
        MixChunk(sources, c.chunk_frames, buffers);

        ASSERT_EQ(buffers.output.size(), c.chunk_frames * 2) << c.name;
        for (size_t i = 0; i < buffers.output.size(); ++i)
            ASSERT_EQ(buffers.output[i], i < c.mixed_samples ? 1000 : 0) << c.name << ", sample " << i;
        EXPECT_EQ(sources[10].read_index, c.read + c.mixed_samples) << c.name;
        EXPECT_EQ(sources[10].primed, c.primed_after) << c.name;
        EXPECT_EQ(sources[10].sample_queue.size(), c.read + c.unread) << c.name << ": the mixer never trims";
    }
}

TEST(MixChunk, SumsEverySourceInOrderAndClamps) {
    SourceMap sources;
    sources[3] = Holding(0, 1920, 20000, false);
    sources[4] = Holding(0, 1920, 20000, true);
    sources[9] = Holding(0, 1920, -30000, true);
    sources[9].failed = true;  // still mixed until a reconciliation removes it
    sources[12] = Holding(0, 100, 5, false);  // not primed: left alone
    MixBuffers buffers;

    MixChunk(sources, 480, buffers);
    EXPECT_EQ(buffers.output, std::vector<int16_t>(960, 10000));
    EXPECT_EQ(sources[12].read_index, 0u);

    sources.erase(9);
    MixChunk(sources, 480, buffers);
    EXPECT_EQ(buffers.output, std::vector<int16_t>(960, 32767)) << "40000 clamps, without wrapping";

    sources[3] = Holding(0, 1920, -20000, true);
    sources[4] = Holding(0, 1920, -20000, true);
    MixChunk(sources, 480, buffers);
    EXPECT_EQ(buffers.output, std::vector<int16_t>(960, -32768));
}

TEST(MixChunk, TakesEachSourcesOldestSamplesInOrder) {
    SourceMap sources;
    CaptureSource& ramp = sources[7];
    for (int i = 0; i < 3000; ++i) ramp.sample_queue.push_back(static_cast<int16_t>(i));
    ramp.read_index = 100;
    MixBuffers buffers;

    MixChunk(sources, 500, buffers);
    ASSERT_EQ(buffers.output.size(), 1000u);
    for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(buffers.output[i], static_cast<int16_t>(100 + i)) << i;
    EXPECT_EQ(ramp.read_index, 1100u);
}

// A leaving source plays out at once; one short of its join, once nothing
// new has come for 100 ms.
TEST(MixChunk, TheEndOfASoundJoinsAsItIs) {
    SourceMap sources;
    sources[5] = Holding(0, 200, 700, false);
    sources[6] = Holding(0, 200, 50, false);
    sources[6].leaving = true;
    MixBuffers buffers;
    for (int chunk = 0; chunk <= 10; ++chunk) {
        MixChunk(sources, 480, buffers);
        const int16_t expected = chunk == 0 ? 50 : chunk == 10 ? 700 : 0;
        EXPECT_EQ(buffers.output[199], expected) << "chunk " << chunk;
        EXPECT_EQ(buffers.output[200], 0) << "chunk " << chunk;
    }
}

struct GrowthCase {
    size_t frames;
    size_t capacity;  // of the accumulator and of the output, after the chunk
};

TEST(MixChunk, BuffersGrowByHalfOrToTheNeedAndNeverShrink) {
    const GrowthCase steps[] = {{480, 960}, {481, 1440}, {720, 1440}, {1000, 2160}, {4800, 9600}, {480, 9600},
                                {4800, 9600}};
    SourceMap sources;
    MixBuffers buffers;
    for (const GrowthCase& step : steps) {
        MixChunk(sources, step.frames, buffers);
        EXPECT_EQ(buffers.output.size(), step.frames * 2);
        EXPECT_EQ(buffers.accumulator.capacity(), step.capacity) << step.frames << " frames";
        EXPECT_EQ(buffers.output.capacity(), step.capacity) << step.frames << " frames";
    }
}

struct FormatCase {
    PcmFormat format;
    float first, second, sum;  // every sample of two primed sources, and of the mix
};

// Mono or stereo: s16 sums clamp, f32 sums pass beyond 1 as they are.
TEST(MixChunk, SumsInTheOutputsSampleType) {
    const FormatCase cases[] = {{{48000, 2, SampleType::kF32}, 0.75f, 0.75f, 1.5f},
                                {{16000, 1, SampleType::kF32}, -0.75f, -0.5f, -1.25f},
                                {{16000, 1, SampleType::kS16}, 20000, 20000, 32767}};
    for (const FormatCase& c : cases) {
        const MixFrames mix = MixFramesOf(c.format);
        const size_t frames = static_cast<size_t>(mix.min_chunk), samples = frames * c.format.channels;
        const auto sample = [&c](const int16_t* units, size_t i) {
            float value = units[i];
            if (c.format.type == SampleType::kF32) std::memcpy(&value, units + 2 * i, sizeof value);
            return value;
        };
        SourceMap sources;
        for (const float value : {c.first, c.second}) {
            CaptureSource& source = sources[static_cast<DWORD>(sources.size() + 1)];
            source.primed = true;
            source.sample_queue.resize(frames * mix.units, static_cast<int16_t>(value));
            for (size_t i = 0; c.format.type == SampleType::kF32 && i < samples; ++i)
                std::memcpy(source.sample_queue.data() + 2 * i, &value, sizeof value);
        }
        MixBuffers buffers;
        MixChunk(sources, frames, buffers, mix);
        ASSERT_EQ(buffers.output.size(), frames * mix.units) << c.format.rate;
        for (size_t i = 0; i < samples; ++i) ASSERT_EQ(sample(buffers.output.data(), i), c.sum) << "sample " << i;
    }
}

}  // namespace
