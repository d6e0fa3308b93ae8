#include "mix/drift_corrector.h"

#include <algorithm>
#include <array>
#include <cmath>

#include "mix/growth.h"

#if defined(__SSE2__) || defined(_M_X64)
#define PCMTAP_DRIFT_SSE
#include <xmmintrin.h>
#endif

namespace {

constexpr size_t kTaps = 2 * kDriftHalfTaps;
constexpr size_t kHistory = kDriftHalfTaps - 1;  // input frames kept before the read position

// Controller, per window of kDriftWindow mix frames. With the backlog in
// frames and the correction in ppm, a 1 ppm difference moves the backlog by
// 0.048 frames a window; these gains close the loop in about half a minute,
// critically damped, slow enough to ride over the backlog's packet-sized
// steps (a 10 ms packet arriving just before or just after a chunk).
constexpr double kProportional = 2.0;    // ppm per frame of backlog off target
constexpr double kIntegral = 0.02;       // ppm per frame, per window
constexpr double kSmoothing = 0.25;      // weight of a new window in the smoothed backlog
constexpr double kDeadBand = 96;         // frames (2 ms) the smoothed backlog may move while passing through
constexpr double kReleasePpm = 10;       // a learned drift below this goes back to passing through...
constexpr double kReleaseFrames = 48;    // ...once the backlog is within 1 ms of the target...
constexpr int64_t kReleaseWindows = 20;  // ...and has stayed there this many windows
constexpr double kDangerFrames = 240;    // a chunk leaving less than 5 ms behind: build up at once...
constexpr double kCatchUpPpm = kDriftMaxPpm;  // ...as fast as steering goes, until the next window steers
constexpr double kLandingPpm = 100;      // the most a release bends the ratio to bring the phase to 0

// Kaiser-windowed sinc with its cut-off at half the sample rate, so that it
// is 1 at 0 and 0 at every other whole frame: at phase 0 it is the
// identity. Row r is the filter for phase r / kDriftPhases; row
// kDriftPhases is row 0 moved one frame on, so that every phase
// interpolates between two rows.
struct FilterTable {
    std::array<std::array<float, kTaps>, kDriftPhases + 1> rows;
};

double BesselI0(double x) {
    double sum = 1, term = 1;
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

FilterTable MakeTable() {
    constexpr double kBeta = 7.0;
    constexpr double kPi = 3.14159265358979323846;
    FilterTable table{};
    for (size_t r = 0; r <= kDriftPhases; ++r) {
        const double phase = static_cast<double>(r) / kDriftPhases;
        double row[kTaps];
        double sum = 0;
        for (size_t m = 0; m < kTaps; ++m) {
            // Tap m weighs input frame m - (kHalfTaps - 1) from the position.
            const double t = static_cast<double>(m) - static_cast<double>(kHistory) - phase;
            const double sinc = t == 0 ? 1 : std::sin(kPi * t) / (kPi * t);
            const double edge = t / kDriftHalfTaps;
            const double window =
                std::abs(edge) >= 1 ? 0 : BesselI0(kBeta * std::sqrt(1 - edge * edge)) / BesselI0(kBeta);
            row[m] = sinc * window;
            sum += row[m];
        }
        // Each row passes a constant unchanged; rows 0 and kDriftPhases are exact.
        for (size_t m = 0; m < kTaps; ++m) {
            table.rows[r][m] = static_cast<float>(row[m] / sum);
        }
    }
    table.rows[0].fill(0);
    table.rows[0][kHistory] = 1;
    table.rows[kDriftPhases].fill(0);
    table.rows[kDriftPhases][kHistory + 1] = 1;
    return table;
}

const FilterTable& Table() {
    static const FilterTable table = MakeTable();
    return table;
}

int16_t ToSample(float value) {
    const float clamped = std::min(32767.0f, std::max(-32768.0f, value));
    return static_cast<int16_t>(std::lrint(clamped));
}

#ifdef PCMTAP_DRIFT_SSE
float Sum(__m128 lanes) {
    const __m128 pairs = _mm_add_ps(lanes, _mm_movehl_ps(lanes, lanes));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}
#endif

// Frames k = 0, 1, ... at input positions `position` + k x `step` (32.32
// fixed point), each filtered from the kTaps frames around it, while the
// input lasts and up to `frames`. `left` and `right` hold `count` frames;
// position p reads frames floor(p) .. floor(p) + kTaps - 1. Returns the
// frames written.
size_t Interpolate(const float* left, const float* right, size_t count, uint64_t position, uint64_t step, int16_t* out,
                   size_t frames) {
    constexpr int kRowShift = 32 - 8;  // kDriftPhases = 2^8
    static_assert(kDriftPhases == 256);
    const FilterTable& table = Table();
    size_t k = 0;
    for (; k < frames; ++k, position += step) {
        const size_t base = static_cast<size_t>(position >> 32);
        if (base + kTaps > count) break;
        const size_t row = static_cast<size_t>(position >> kRowShift) & (kDriftPhases - 1);
        const float between = static_cast<float>(position & ((1u << kRowShift) - 1)) * (1.0f / (1u << kRowShift));
        const float* a = table.rows[row].data();
        const float* b = table.rows[row + 1].data();
        const float* l = left + base;
        const float* r = right + base;
#ifdef PCMTAP_DRIFT_SSE
        const __m128 t = _mm_set1_ps(between);
        __m128 sum_left = _mm_setzero_ps(), sum_right = _mm_setzero_ps();
        for (size_t m = 0; m < kTaps; m += 4) {
            const __m128 from = _mm_loadu_ps(a + m);
            const __m128 coefficient = _mm_add_ps(from, _mm_mul_ps(t, _mm_sub_ps(_mm_loadu_ps(b + m), from)));
            sum_left = _mm_add_ps(sum_left, _mm_mul_ps(coefficient, _mm_loadu_ps(l + m)));
            sum_right = _mm_add_ps(sum_right, _mm_mul_ps(coefficient, _mm_loadu_ps(r + m)));
        }
        out[2 * k] = ToSample(Sum(sum_left));
        out[2 * k + 1] = ToSample(Sum(sum_right));
#else
        float sum_left = 0, sum_right = 0;
        for (size_t m = 0; m < kTaps; ++m) {
            const float coefficient = a[m] + between * (b[m] - a[m]);
            sum_left += coefficient * l[m];
            sum_right += coefficient * r[m];
        }
        out[2 * k] = ToSample(sum_left);
        out[2 * k + 1] = ToSample(sum_right);
#endif
    }
    return k;
}

uint64_t Fixed(double value) { return static_cast<uint64_t>(std::llround(value * 4294967296.0)); }

// scratch = [left x count | right x count], from `first` frames of `a` then `b`.
void Deinterleave(const int16_t* a, size_t first, const int16_t* b, size_t count, std::vector<float>& scratch) {
    ReserveForGrowth(scratch, 2 * count);
    scratch.resize(2 * count);
    float* left = scratch.data();
    float* right = left + count;
    for (size_t i = 0; i < count; ++i) {
        const int16_t* frame = i < first ? a + 2 * i : b + 2 * (i - first);
        left[i] = frame[0];
        right[i] = frame[1];
    }
}

double Clamp(double ppm, double bound) { return std::min(bound, std::max(-bound, ppm)); }

void Steer(DriftCorrector& c) {
    const double error = c.level - kDriftTarget;
    c.integral = Clamp(c.integral + kIntegral * error, kDriftMaxPpm);
    c.ppm = Clamp(kProportional * error + c.integral, kDriftMaxPpm);
}

// Counts one chunk's backlog; at the end of a window, steers.
void Observe(DriftCorrector& c, size_t backlog, size_t frames) {
    // A chunk the source cannot fill is its last before it stops (or runs
    // dry): no measure of where its backlog is held.
    if (backlog < frames + kTaps) return;
    // About to run dry (primed on a thin backlog against late turns, or a
    // slow clock): no time to wait for the average.
    if (static_cast<double>(backlog) < static_cast<double>(frames) + kDangerFrames && c.ppm > -kCatchUpPpm) {
        if (c.mode != DriftMode::kCorrecting) c.integral = 0;
        c.mode = DriftMode::kCorrecting;
        c.ppm = -kCatchUpPpm;
        c.settled = 0;
    }
    c.window_frames += static_cast<int64_t>(frames);
    c.window_backlog += static_cast<int64_t>(backlog) * static_cast<int64_t>(frames);
    if (c.window_frames < kDriftWindow) return;
    c.level = static_cast<double>(c.window_backlog) / static_cast<double>(c.window_frames);
    c.window_frames = 0;
    c.window_backlog = 0;
    if (c.windows++ == 0) {
        c.anchor = c.smoothed = c.level;  // where it settled once it joined
    } else {
        c.smoothed += kSmoothing * (c.level - c.smoothed);
    }
    switch (c.mode) {
        case DriftMode::kPassThrough:
            if (std::abs(c.smoothed - c.anchor) > kDeadBand || c.smoothed > kDriftBandHigh) {
                c.mode = DriftMode::kCorrecting;
                c.integral = 0;
                Steer(c);
            }
            break;
        case DriftMode::kCorrecting:
            Steer(c);
            if (std::abs(c.integral) < kReleasePpm && std::abs(c.ppm) < kReleasePpm &&
                std::abs(c.smoothed - kDriftTarget) < kReleaseFrames) {
                if (++c.settled >= kReleaseWindows) c.mode = DriftMode::kReleasing;
            } else {
                c.settled = 0;
            }
            break;
        case DriftMode::kReleasing:
            break;
    }
}

// Passing through: the last frames taken stay as the filter's history, for
// a correction that may start at the next chunk.
void Remember(DriftCorrector& c, const int16_t* taken, size_t frames) {
    int16_t* history = c.history;
    if (frames >= kHistory) {
        std::copy(taken + 2 * (frames - kHistory), taken + 2 * frames, history);
        return;
    }
    std::copy(history + 2 * frames, history + 2 * kHistory, history);
    std::copy(taken, taken + 2 * frames, history + 2 * (kHistory - frames));
}

}  // namespace

void RestartDrift(DriftCorrector& c) {
    c.window_frames = c.window_backlog = c.windows = c.settled = 0;
    c.anchor = c.smoothed = c.level = 0;
}

DriftShare TakeDriftShare(DriftCorrector& c, const int16_t* unread, size_t unread_frames, size_t frames,
                          std::vector<float>& scratch) {
    Observe(c, unread_frames, frames);
    if (c.mode == DriftMode::kPassThrough || frames == 0) {
        const size_t taken = std::min(unread_frames, frames);
        Remember(c, unread, taken);
        // Run dry while passing through after a steady second: slow, or
        // primed with too thin a backlog. Either way it is steered up to the
        // target from now on.
        // (A source that stops after less than a second is just gone for now.)
        if (taken == unread_frames && frames != 0 && c.windows != 0) c.mode = DriftMode::kCorrecting;
        return DriftShare{unread, taken, taken};
    }

    double ppm = c.ppm;
    bool lands = false;
    if (c.mode == DriftMode::kReleasing) {
        // Bend the ratio so that the phase reaches a whole frame, at the end
        // of this chunk if it can.
        const double to_frame = c.phase < 0.5 ? -c.phase : 1 - c.phase;
        const double needed = to_frame * 1e6 / static_cast<double>(frames);
        lands = std::abs(needed) <= kLandingPpm;
        ppm = lands ? needed : std::copysign(kLandingPpm, to_frame);
    }
    const uint64_t step = Fixed(1 + ppm * 1e-6);
    const uint64_t start = Fixed(c.phase);
    // History, then as much of the queue as the chunk can read.
    const size_t wanted = static_cast<size_t>((start + (frames - 1) * step) >> 32) + kTaps;
    const size_t count = std::min(wanted, kHistory + unread_frames);
    Deinterleave(c.history, kHistory, unread, count, scratch);
    ReserveForGrowth(c.output, 2 * frames);
    c.output.resize(2 * frames);
    const size_t given =
        Interpolate(scratch.data(), scratch.data() + count, count, start, step, c.output.data(), frames);

    const uint64_t end = start + given * step;
    size_t advanced = static_cast<size_t>(end >> 32);
    c.phase = static_cast<double>(end & 0xFFFFFFFFu) / 4294967296.0;
    if (lands && given == frames) {
        advanced = static_cast<size_t>((end + 0x80000000u) >> 32);  // within a rounding error of a whole frame
        c.phase = 0;
        c.mode = DriftMode::kPassThrough;
        c.ppm = c.integral = 0;
        c.anchor = c.smoothed = c.level;
    }
    // The history is the kHistory frames before the new position.
    for (size_t i = 0; i < kHistory; ++i) {
        const size_t at = advanced + i;
        // at >= i: an old history frame is read before its place is written.
        const int16_t* frame = at < kHistory ? c.history + 2 * at : unread + 2 * (at - kHistory);
        c.history[2 * i] = frame[0];
        c.history[2 * i + 1] = frame[1];
    }
    // Run dry while resampling: the phase and the history stay, so that the
    // input goes on where it stopped once the source has primed again.
    if (given < frames && c.mode != DriftMode::kCorrecting) c.mode = DriftMode::kCorrecting;
    return DriftShare{c.output.data(), given, advanced};
}

size_t Resample(const int16_t* input, size_t input_frames, double ppm, double& phase, int16_t* output, size_t frames,
                std::vector<float>& scratch) {
    Deinterleave(input, 0, input, input_frames, scratch);
    const uint64_t step = Fixed(1 + ppm * 1e-6);
    const uint64_t start = Fixed(phase);
    const size_t given =
        Interpolate(scratch.data(), scratch.data() + input_frames, input_frames, start, step, output, frames);
    const uint64_t end = start + given * step;
    phase = static_cast<double>(end & 0xFFFFFFFFu) / 4294967296.0;
    return static_cast<size_t>(end >> 32);
}
