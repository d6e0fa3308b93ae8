// The format of what pcmtap writes, and of every stream it opens for it:
// 48 kHz stereo s16le unless the command line asks otherwise.
#pragma once

#include <cstddef>

#include "platform/win32.h"

enum class SampleType { kS16, kF32 };

struct PcmFormat {
    DWORD rate = 48000;  // frames per second
    WORD channels = 2;   // 1 (mono) or 2 (L R interleaved)
    SampleType type = SampleType::kS16;
};

constexpr bool operator==(const PcmFormat& a, const PcmFormat& b) {
    return a.rate == b.rate && a.channels == b.channels && a.type == b.type;
}

constexpr size_t SampleBytes(const PcmFormat& format) { return format.type == SampleType::kF32 ? 4 : 2; }
constexpr size_t FrameBytes(const PcmFormat& format) { return format.channels * SampleBytes(format); }

// The WAVEFORMATEX that asks the audio engine for format: WAVE_FORMAT_PCM
// for s16, WAVE_FORMAT_IEEE_FLOAT for f32, no extension (cbSize 0).
WAVEFORMATEX WaveFormatOf(const PcmFormat& format);
