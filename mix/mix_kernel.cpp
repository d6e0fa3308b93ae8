#include "mix/mix_kernel.h"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#define PCMTAP_MIX_SSE2
#include <emmintrin.h>
#endif

// GCC and Clang (mingw-w64 included) build the AVX2 path beside the SSE2 one
// and pick it at run time; other compilers keep to SSE2.
#if defined(PCMTAP_MIX_SSE2) && defined(__GNUC__) && defined(__x86_64__)
#define PCMTAP_MIX_AVX2
#include <immintrin.h>
#endif

namespace {

constexpr size_t kStep = 16;  // samples per step of the fast paths

#ifdef PCMTAP_MIX_SSE2

__m128i Load(const void* from) { return _mm_loadu_si128(static_cast<const __m128i*>(from)); }

void Store(void* to, __m128i value) { _mm_storeu_si128(static_cast<__m128i*>(to), value); }

// Each sample doubled into both halves of a 32-bit lane; the arithmetic
// shift then leaves it sign-extended.
__m128i WidenLow(__m128i samples) { return _mm_srai_epi32(_mm_unpacklo_epi16(samples, samples), 16); }
__m128i WidenHigh(__m128i samples) { return _mm_srai_epi32(_mm_unpackhi_epi16(samples, samples), 16); }

void AddInto(int32_t* mix, __m128i widened) { Store(mix, _mm_add_epi32(Load(mix), widened)); }

// Adds to part[0..16) the samples of a span that ends inside the block at i.
void AddPartial(int32_t* part, const MixSpan& span, size_t i) {
    for (size_t j = i; j < span.count; ++j) part[j - i] += span.samples[j];
}

// Blocks of 16 samples: every span's samples summed in registers, then the
// sums and their clamp stored once. Returns where the blocks stopped.
size_t MixBlocksSse2(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count) {
    size_t i = 0;
    for (; i + kStep <= count; i += kStep) {
        __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
        alignas(16) int32_t part[kStep];
        bool partial = false;
        for (size_t k = 0; k < span_count; ++k) {
            const MixSpan& span = spans[k];
            if (span.count >= i + kStep) {
                const __m128i first = Load(span.samples + i);
                const __m128i second = Load(span.samples + i + 8);
                a0 = _mm_add_epi32(a0, WidenLow(first));
                a1 = _mm_add_epi32(a1, WidenHigh(first));
                a2 = _mm_add_epi32(a2, WidenLow(second));
                a3 = _mm_add_epi32(a3, WidenHigh(second));
            } else if (span.count > i) {
                if (!partial) std::fill(part, part + kStep, 0);
                partial = true;
                AddPartial(part, span, i);
            }
        }
        if (partial) {
            a0 = _mm_add_epi32(a0, Load(part));
            a1 = _mm_add_epi32(a1, Load(part + 4));
            a2 = _mm_add_epi32(a2, Load(part + 8));
            a3 = _mm_add_epi32(a3, Load(part + 12));
        }
        Store(sums + i, a0);
        Store(sums + i + 4, a1);
        Store(sums + i + 8, a2);
        Store(sums + i + 12, a3);
        Store(out + i, _mm_packs_epi32(a0, a1));
        Store(out + i + 8, _mm_packs_epi32(a2, a3));
    }
    return i;
}

#endif

#ifdef PCMTAP_MIX_AVX2

#define PCMTAP_AVX2 __attribute__((target("avx2"), always_inline)) inline

PCMTAP_AVX2 __m256i Load256(const int32_t* from) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from)); }
PCMTAP_AVX2 __m256i LoadWidened(const int16_t* from) { return _mm256_cvtepi16_epi32(Load(from)); }
PCMTAP_AVX2 void Store256(void* to, __m256i value) { _mm256_storeu_si256(static_cast<__m256i*>(to), value); }

// The same with 8 lanes a register and 32 samples a block; the sign
// extension is one instruction, straight from memory.
__attribute__((target("avx2"))) size_t MixBlocksAvx2(int32_t* sums, int16_t* out, const MixSpan* spans,
                                                     size_t span_count, size_t count) {
    constexpr size_t kBlock = 2 * kStep;
    size_t i = 0;
    for (; i + kBlock <= count; i += kBlock) {
        __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
        alignas(32) int32_t part[kBlock];
        bool partial = false;
        for (size_t k = 0; k < span_count; ++k) {
            const MixSpan& span = spans[k];
            if (span.count >= i + kBlock) {
                const int16_t* from = span.samples + i;
                a0 = _mm256_add_epi32(a0, LoadWidened(from));
                a1 = _mm256_add_epi32(a1, LoadWidened(from + 8));
                a2 = _mm256_add_epi32(a2, LoadWidened(from + 16));
                a3 = _mm256_add_epi32(a3, LoadWidened(from + 24));
            } else if (span.count > i) {
                if (!partial) std::fill(part, part + kBlock, 0);
                partial = true;
                for (size_t j = i; j < span.count; ++j) part[j - i] += span.samples[j];
            }
        }
        if (partial) {
            a0 = _mm256_add_epi32(a0, Load256(part));
            a1 = _mm256_add_epi32(a1, Load256(part + 8));
            a2 = _mm256_add_epi32(a2, Load256(part + 16));
            a3 = _mm256_add_epi32(a3, Load256(part + 24));
        }
        Store256(sums + i, a0);
        Store256(sums + i + 8, a1);
        Store256(sums + i + 16, a2);
        Store256(sums + i + 24, a3);
        // packs works within each 128-bit half; the permute puts the halves back in order.
        Store256(out + i, _mm256_permute4x64_epi64(_mm256_packs_epi32(a0, a1), 0xD8));
        Store256(out + i + 16, _mm256_permute4x64_epi64(_mm256_packs_epi32(a2, a3), 0xD8));
    }
    return i;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif

// Samples [i, count) one at a time.
void MixRest(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t i, size_t count) {
    for (; i < count; ++i) {
        int32_t sum = 0;
        for (size_t k = 0; k < span_count; ++k)
            if (spans[k].count > i) sum += spans[k].samples[i];
        sums[i] = sum;
        out[i] = static_cast<int16_t>(std::clamp<int32_t>(sum, INT16_MIN, INT16_MAX));
    }
}

}  // namespace

void MixSpans(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count) {
    size_t i = 0;
#if defined(PCMTAP_MIX_AVX2)
    i = HasAvx2() ? MixBlocksAvx2(sums, out, spans, span_count, count)
                  : MixBlocksSse2(sums, out, spans, span_count, count);
#elif defined(PCMTAP_MIX_SSE2)
    i = MixBlocksSse2(sums, out, spans, span_count, count);
#endif
    MixRest(sums, out, spans, span_count, i, count);
}

void MixSpansSse2(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count) {
    size_t i = 0;
#ifdef PCMTAP_MIX_SSE2
    i = MixBlocksSse2(sums, out, spans, span_count, count);
#endif
    MixRest(sums, out, spans, span_count, i, count);
}

void MixSpansReference(int32_t* sums, int16_t* out, const MixSpan* spans, size_t span_count, size_t count) {
    std::fill(sums, sums + count, 0);
    for (size_t k = 0; k < span_count; ++k) MixIntoReference(sums, spans[k].samples, std::min(spans[k].count, count));
    ClampMixReference(out, sums, count);
}

void MixFloatSpans(int16_t* out, const MixSpan* spans, size_t span_count, size_t count) {
    std::fill(out, out + 2 * count, int16_t{0});  // 0.0f
    for (size_t k = 0; k < span_count; ++k) {
        const int16_t* samples = spans[k].samples;
        const size_t n = std::min(spans[k].count, count);
        // memcpy: the bytes are read as floats without breaking aliasing; compilers vectorise it.
        for (size_t i = 0; i < n; ++i) {
            float sum, sample;
            std::memcpy(&sum, out + 2 * i, sizeof sum);
            std::memcpy(&sample, samples + 2 * i, sizeof sample);
            sum += sample;
            std::memcpy(out + 2 * i, &sum, sizeof sum);
        }
    }
}

void MixInto(int32_t* mix, const int16_t* samples, size_t count) {
    size_t i = 0;
#ifdef PCMTAP_MIX_SSE2
    for (; i + kStep <= count; i += kStep) {
        const __m128i first = Load(samples + i);
        const __m128i second = Load(samples + i + 8);
        AddInto(mix + i, WidenLow(first));
        AddInto(mix + i + 4, WidenHigh(first));
        AddInto(mix + i + 8, WidenLow(second));
        AddInto(mix + i + 12, WidenHigh(second));
    }
#endif
    MixIntoReference(mix + i, samples + i, count - i);
}

void ClampMix(int16_t* out, const int32_t* mix, size_t count) {
    size_t i = 0;
#ifdef PCMTAP_MIX_SSE2
    for (; i + kStep <= count; i += kStep) {
        // packs saturates each 32-bit lane to 16 bits: exactly the clamp.
        Store(out + i, _mm_packs_epi32(Load(mix + i), Load(mix + i + 4)));
        Store(out + i + 8, _mm_packs_epi32(Load(mix + i + 8), Load(mix + i + 12)));
    }
#endif
    ClampMixReference(out + i, mix + i, count - i);
}

void MixIntoReference(int32_t* mix, const int16_t* samples, size_t count) {
    for (size_t i = 0; i < count; ++i) mix[i] += samples[i];
}

void ClampMixReference(int16_t* out, const int32_t* mix, size_t count) {
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<int16_t>(std::clamp<int32_t>(mix[i], INT16_MIN, INT16_MAX));
}
