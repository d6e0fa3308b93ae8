// Clock drift correction for one mix source. Each source arrives at its own
// device's clock, the mix runs on the performance counter: a source a few
// hundred ppm fast or slow would pile up to the trim or run dry within
// minutes. The corrector holds the source's backlog in a target band by
// resampling it at a ratio within 0.1 % of 1, steered slowly from the
// averaged backlog. A source whose backlog stays put passes through
// untouched, sample for sample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kDriftHalfTaps = 8;      // the interpolator reads 8 frames either side
constexpr size_t kDriftPhases = 256;      // filter phases per frame, interpolated between
constexpr int64_t kDriftWindow = 48000;   // mix frames averaged per controller step (1 s)
constexpr int64_t kDriftBandLow = 960;    // frames (20 ms): the target band of the averaged backlog
constexpr int64_t kDriftBandHigh = 1920;  // frames (40 ms)
constexpr int64_t kDriftTarget = 1680;    // frames (35 ms): where a correction steers to; late turns
                                          // and packets make the backlog at a chunk 15-20 ms lower
constexpr double kDriftMaxPpm = 1000;     // steering keeps the ratio within 1 +- 0.001

enum class DriftMode : uint8_t {
    kPassThrough,  // ratio 1, phase 0: the source's samples as they are
    kCorrecting,   // resampled at 1 + ppm / 10^6
    kReleasing,    // steering the phase back to 0, then passing through
};

// One source's corrector. Touched only by the mix, on the main thread.
struct DriftCorrector {
    DriftMode mode = DriftMode::kPassThrough;
    // Backlog, measured at every chunk before the source gives its share.
    int64_t window_frames = 0;   // mix frames counted in the current window
    int64_t window_backlog = 0;  // sum of backlog (frames) x chunk frames
    int64_t windows = 0;         // windows completed since the source joined the mix
    double anchor = 0;           // frames: the backlog it settled at when it joined
    double smoothed = 0;         // frames: the window averages, smoothed over a few seconds
    double level = 0;            // frames: the last window's average
    // Controller, in ppm of the source's rate.
    double integral = 0;  // the drift learned so far
    double ppm = 0;       // applied: input frames taken per output frame = 1 + ppm / 10^6
    int64_t settled = 0;  // windows in a row near the target with no drift learned
    // Interpolator.
    double phase = 0;                                // [0, 1): position between input frames
    int16_t history[2 * (kDriftHalfTaps - 1)] = {};  // the last input frames taken, L R interleaved
    std::vector<int16_t> output;                     // this chunk's resampled share
};

// What a source gives to one chunk.
struct DriftShare {
    const int16_t* samples;  // `frames` frames, interleaved; valid until the next call
    size_t frames;           // given to the chunk: all of it unless the source runs short
    size_t consumed;         // input frames taken from the queue
};

// A fresh measurement of the backlog: the source has just (re)joined the
// mix. What was learned of its drift stays; a source that ran dry comes back
// being steered to the target.
void RestartDrift(DriftCorrector& corrector);

// The source's share of a chunk of `frames` frames, from its `unread_frames`
// unread frames at `unread`. Passing through, the share is the queue's own
// samples (the smaller of unread and chunk); resampling, it is written to
// corrector.output and the last kDriftHalfTaps frames stay unread as the
// filter's look-ahead. `scratch` is working storage shared by all sources.
// Counts the backlog first, and steers once a window is complete.
DriftShare TakeDriftShare(DriftCorrector& corrector, const int16_t* unread, size_t unread_frames, size_t frames,
                          std::vector<float>& scratch);

// The interpolator alone, for tests and benchmarks: `frames` output frames
// at ratio 1 + ppm / 10^6 from `input` (history and look-ahead included: the
// first output frame is at input frame kDriftHalfTaps - 1 + phase). Returns
// the input frames advanced; phase is carried over.
size_t Resample(const int16_t* input, size_t input_frames, double ppm, double& phase, int16_t* output, size_t frames,
                std::vector<float>& scratch);
