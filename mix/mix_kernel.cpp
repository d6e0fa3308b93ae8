#include "mix/mix_kernel.h"

#include <algorithm>

#if defined(__SSE2__) || defined(_M_X64)
#define PCMTAP_MIX_SSE2
#include <emmintrin.h>
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

#endif

}  // namespace

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
