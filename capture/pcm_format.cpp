#include "capture/pcm_format.h"

WAVEFORMATEX WaveFormatOf(const PcmFormat& format) {
    WAVEFORMATEX wave = {};
    wave.wFormatTag = format.type == SampleType::kF32 ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    wave.nChannels = format.channels;
    wave.nSamplesPerSec = format.rate;
    wave.wBitsPerSample = static_cast<WORD>(8 * SampleBytes(format));
    wave.nBlockAlign = static_cast<WORD>(FrameBytes(format));
    wave.nAvgBytesPerSec = format.rate * wave.nBlockAlign;
    wave.cbSize = 0;
    return wave;
}
