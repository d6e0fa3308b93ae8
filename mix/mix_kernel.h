// The mixing kernel: sources summed in 32 bits, then clamped to 16.
#pragma once

#include <cstddef>
#include <cstdint>

// mix[i] += samples[i] for i < count, each sample sign-extended. Uses SSE2,
// 16 samples a step, where the target has it; the sums are those of the
// reference.
void MixInto(int32_t* mix, const int16_t* samples, size_t count);

// out[i] = mix[i] clamped to -32768..32767.
void ClampMix(int16_t* out, const int32_t* mix, size_t count);

// One sample at a time: the definition the fast paths must match.
void MixIntoReference(int32_t* mix, const int16_t* samples, size_t count);
void ClampMixReference(int16_t* out, const int32_t* mix, size_t count);
