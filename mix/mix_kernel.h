// The mixing kernels: s16 sources summed in 32 bits, then clamped to 16;
// f32 ones summed in float.
#pragma once

#include <cstddef>
#include <cstdint>

// mix[i] += samples[i] for i < count, each sample sign-extended. Uses SSE2,
// 16 samples a step, where the target has it; the sums are those of the
// reference.
void MixInto(int32_t* mix, const int16_t* samples, size_t count);

// out[i] = mix[i] clamped to -32768..32767.
void ClampMix(int16_t* out, const int32_t* mix, size_t count);

// One source's part of a chunk: its oldest unread samples, `count` of them,
// landing in the chunk's first `count` samples.
struct MixSpan {
    const int16_t* samples;
    size_t count;
};

// The whole chunk at once: sums[i] = the sum of every span's sample i (0 for
// spans shorter than i + 1), out[i] = sums[i] clamped, for i < count. Equal
// to zeroing sums, MixInto for each span, then ClampMix; but each sum stays
// in a register across all spans, so the sums are stored once rather than
// read and written back once per source. Uses AVX2 where the processor has
// it, SSE2 otherwise.
void MixSpans(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count);
// What MixSpans runs on a processor without AVX2.
void MixSpansSse2(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count);

// f32: out[i] = the sum of every span's sample i, unclamped, for i < count;
// spans and out hold each float's bytes in two int16_t entries.
void MixFloatSpans(int16_t* out, const MixSpan* spans, size_t span_count, size_t count);

// One sample at a time: the definition the fast paths must match.
void MixIntoReference(int32_t* mix, const int16_t* samples, size_t count);
void ClampMixReference(int16_t* out, const int32_t* mix, size_t count);
void MixSpansReference(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count);
