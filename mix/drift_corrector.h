// Clock drift correction for one mix source. Each source arrives at its own
// device's clock, the mix runs on the performance counter: a source a few
// hundred ppm fast or slow would pile up to the trim or run dry within
// minutes. The corrector watches the low edge of the source's backlog: the
// least it holds just after a chunk, over a window of a second. That edge
// is where the backlog stands just before the next packet or fragment
// arrives, so the size of the fragments and the lateness of the turns do
// not move it; only a difference of clocks makes it creep. A source whose
// edge stays put passes through untouched, sample for sample. One whose
// edge creeps is resampled at a ratio within 0.1 % of 1, steered back to
// where its edge stood. A jump of the edge (a stall of the loop, a trim) is
// no drift, nor is the gap a source leaves when it runs dry and primes
// again: the anchor moves with it and nothing is learned from it. A window
// of late packets, a dip the next window undoes, is not seen at all.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t kDriftHalfTaps = 8;       // the interpolator reads 8 frames either side
constexpr size_t kDriftPhases = 256;       // filter phases per frame, interpolated between
constexpr int64_t kDriftWindow = 48000;    // mix frames per window of the low edge (1 s)
constexpr int64_t kDriftBandLow = 960;     // frames (20 ms): the band the averaged backlog is held in
constexpr int64_t kDriftBandHigh = 1920;   // frames (40 ms)
constexpr double kDriftMaxPpm = 1000;      // steering keeps the ratio within 1 +- 0.001
constexpr size_t kDriftStallChunk = 4800;  // frames: a chunk this large comes after a stall of the loop

enum class DriftMode : uint8_t {
    kPassThrough,  // ratio 1, phase 0: the source's samples as they are
    kCorrecting,   // resampled at 1 + ppm / 10^6
    kReleasing,    // steering the phase back to 0, then passing through
};

// One source's corrector. Touched only by the mix, on the mixing thread.
struct DriftCorrector {
    DriftMode mode = DriftMode::kPassThrough;
    // Arrivals, counted at every chunk whether the source plays or not.
    int64_t left = -1;         // frames unread after the last chunk took its share; -1: none yet
    int64_t burst = 0;         // most frames seen arriving between two ordinary chunks, lately
    int64_t burst_recent = 0;  // the same, in the current stretch
    int64_t burst_frames = 0;  // mix frames counted in the current stretch
    // Backlog, measured at every chunk the source plays in.
    int64_t window_frames = 0;    // mix frames counted in the current window
    int64_t window_backlog = 0;   // sum of backlog (frames) x chunk frames
    int64_t window_low = 0;       // least backlog left after a chunk in the current window
    bool stepping = false;        // the last window had a stall: this one measures its step
    bool window_stalled = false;  // a chunk of the cap in it: the loop stalled and may have skipped
    double raw[2] = {};           // frames: the two windows' lows before the last, most recent first
    int64_t windows = 0;          // windows completed since the source (re)joined the mix
    double level = 0;             // frames: the last window's average backlog
    double low = 0;               // frames: the low edge, the median of the last three windows'
    double anchor = 0;            // frames: the low edge it holds to, set at the last jump
    double edge = 0;              // frames: the low edges since, smoothed over a few windows
    int64_t since_anchor = 0;     // windows since the anchor was set
    // Controller, in ppm of the source's rate.
    double integral = 0;  // the drift learned so far
    double ppm = 0;       // applied: input frames taken per output frame = 1 + ppm / 10^6
    int64_t settled = 0;  // windows in a row on the anchor with no drift learned
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

// Counts what arrived since the last chunk; called at every chunk for every
// source, once it is known whether it plays, before it gives its share.
void CountArrivals(DriftCorrector& corrector, size_t unread_frames, size_t frames);

// Unread frames a source needs to join the mix: at least `first`, and
// enough to outlast the largest burst it delivered lately by 10 ms (at most
// 100 ms in all), since a source fed in fragments of 40 ms that joins on
// one fragment runs dry before every next one.
size_t JoinBacklog(const DriftCorrector& corrector, size_t first);

// The source (re)joins the mix: its backlog has stepped, and the filter
// history starts afresh. What was learned of its drift stays.
void RestartDrift(DriftCorrector& corrector);

// The source's share of a chunk of `frames` frames, from its `unread_frames`
// unread frames at `unread`. Passing through, the share is the queue's own
// samples (the smaller of unread and chunk). Resampling, it is written to
// corrector.output and the last kDriftHalfTaps frames stay unread as the
// filter's look-ahead, until the source runs short: then the rest is played
// out against silence and every frame is consumed. `scratch` is working
// storage shared by all sources. Counts the backlog first, and steers once a
// window is complete.
DriftShare TakeDriftShare(DriftCorrector& corrector, const int16_t* unread, size_t unread_frames, size_t frames,
                          std::vector<float>& scratch);

// The interpolator alone, for tests and benchmarks: `frames` output frames
// at ratio 1 + ppm / 10^6 from `input` (history and look-ahead included: the
// first output frame is at input frame kDriftHalfTaps - 1 + phase). Returns
// the input frames advanced; phase is carried over.
size_t Resample(const int16_t* input, size_t input_frames, double ppm, double& phase, int16_t* output, size_t frames,
                std::vector<float>& scratch);
