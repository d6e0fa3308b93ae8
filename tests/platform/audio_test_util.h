// Shared by the tests of the process-loopback device.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "platform/win32.h"

// Amplitude (0..32768) of one frequency in the left channel of interleaved
// stereo samples, by the Goertzel algorithm.
inline double ToneLevel(const std::vector<int16_t>& samples, double frequency) {
    const double k = 2 * std::cos(2 * M_PI * frequency / 48000);
    double s1 = 0, s2 = 0;
    const size_t frames = samples.size() / 2;
    for (size_t i = 0; i < frames; ++i) {
        const double s0 = samples[2 * i] + k * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    if (frames == 0) return 0;
    return 2 * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - k * s1 * s2)) / static_cast<double>(frames);
}

inline constexpr WAVEFORMATEX kDeviceFormat = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
inline constexpr DWORD kDeviceFlags = 0x88060000u;
