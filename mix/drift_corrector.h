// Clock drift correction for one mix source. Each source arrives at its own
// device's clock, the mix runs on the performance counter: a source a few
// hundred ppm off would pile up to the trim or run dry within minutes. The
// corrector watches the high edge of the source's backlog, the most it holds
// just after a chunk over a window of a second: where it stands just after
// a packet arrived. A late turn does not move it, nor do the size of the
// fragments or a server that holds packets back and hands them over at once.
// Only a difference of clocks makes it creep, 1 ms a window at most;
// a larger move is a step (a join, a stall that skipped output, a trim, a
// loss), and the level after it is held, however long ago the last step
// was. Drift is learned only between steps: a source on the mix's clock
// learns none and passes through sample for sample. One whose edge creeps
// off its level is resampled at its drift and steered back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "mix/mix_frames.h"

constexpr size_t kDriftHalfTaps = 8;   // the interpolator reads 8 frames either side
constexpr size_t kDriftPhases = 256;   // filter phases per frame, interpolated between
constexpr int64_t kDriftSettling = 4;  // windows after a step that only measure the new level
constexpr double kDriftMaxPpm = 1000;  // the ratio stays within 1 +- 0.001
// Its durations (the window, the step, the dead band, a join's backlog...)
// are those of the run's MixFrames.

enum class DriftMode : uint8_t {
    kPassThrough,  // ratio 1, phase 0: the source's samples as they are
    kCorrecting,   // resampled at 1 + ppm / 10^6
    kReleasing,    // steering the phase to a whole frame, then passing through
};

// One source's corrector. Touched only by the mix, on the mixing thread.
struct DriftCorrector {
    // Moved once a window (an edge off its anchor starts a correction, a
    // drift that is gone releases it) and by landing on a whole frame.
    DriftMode mode = DriftMode::kPassThrough;
    // Arrivals, counted at every chunk whether the source plays or not.
    int64_t left = -1;  // frames unread after the last chunk took its share; -1: none yet
    int64_t burst = 0;  // most frames that arrived between two ordinary chunks, forgotten slowly
    int64_t quiet = 0;  // mix frames since anything arrived
    // The window being measured, at every chunk the source fills; a step starts it again.
    int64_t window_frames = 0;          // mix frames counted in it
    int64_t window_high = 0;            // most frames left unread after a chunk in it
    int64_t last_high = -1;             // the same, in the window before; -1: none since a step
    int64_t settling = kDriftSettling;  // windows left that only measure a new level: set by a step
    // Moved once a window, by the window's edge.
    double edge = 0;      // frames: the high edge, predicted from the drift and the ratio, then smoothed
    double anchor = 0;    // frames: the level the edge is held to, the edge's own until a step settles
    double integral = 0;  // ppm the clock runs off the mix's: the edge's surprises between steps, integrated
    double suspect = 0;   // frames the edge jumped by in the last window, if it did: a step if it stays
    double ppm = 0;       // applied while correcting: input frames per output frame = 1 + ppm / 10^6
    double phase = 0;     // [0, 1): where the last resampled share left the interpolator, between frames
    int16_t history[4 * (kDriftHalfTaps - 1)] = {};  // the last input frames taken, in units (two f32 channels fit)
    std::vector<int16_t> output;                     // this chunk's resampled share, in units
};

// What a source gives to one chunk.
struct DriftShare {
    const int16_t* samples;  // `frames` frames, in units; valid until the next call
    size_t frames;           // given to the chunk: all of it unless the source runs short
    size_t consumed;         // input frames taken from the queue
};

// Counts arrivals, at every chunk for every source, and says whether it
// plays in this one of `frames` frames: a primed source does; another joins
// with mix.priming unread frames and its largest recent burst (10 to 50 ms)
// left after the chunk, or, at the end of a sound (`leaving` the mix, or
// nothing new for 100 ms), with what it has. A join is a step; the filter
// restarts.
bool Plays(DriftCorrector& corrector, bool primed, bool leaving, size_t unread_frames, size_t frames,
           const MixFrames& mix);

// The source's share of a chunk of `frames` frames from its `unread_frames`
// at `unread`, once the backlog is measured: passing through, the queue's own
// samples (the smaller of unread and chunk); resampling, corrector.output,
// with the last kDriftHalfTaps frames left as look-ahead until the source runs
// short and the rest plays out against silence. `scratch`: shared storage.
DriftShare TakeDriftShare(DriftCorrector& corrector, const int16_t* unread, size_t unread_frames, size_t frames,
                          std::vector<float>& scratch, const MixFrames& mix = kDefaultMixFrames);

// The interpolator alone, for tests and benchmarks: `frames` frames at ratio
// 1 + ppm / 10^6 from `input`, the first at input frame kDriftHalfTaps - 1 +
// phase (history and look-ahead included); returns the input frames advanced.
size_t Resample(const int16_t* input, size_t input_frames, double ppm, double& phase, int16_t* output, size_t frames,
                std::vector<float>& scratch, const PcmFormat& format = PcmFormat{});
