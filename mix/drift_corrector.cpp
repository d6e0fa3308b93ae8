#include "mix/drift_corrector.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>

#include "mix/growth.h"

#if defined(__SSE2__) || defined(_M_X64)
#define PCMTAP_DRIFT_SSE
#include <xmmintrin.h>
#endif

namespace {

constexpr size_t kTaps = 2 * kDriftHalfTaps;
constexpr size_t kHistory = kDriftHalfTaps - 1;  // input frames kept before the read position

// The edge moves once a window by mix.frames_per_ppm for a clock 1 ppm
// off: 1 ms for 0.1 %, the most there is. A surprise of mix.step (1 ms) is a
// step, never drift: beyond any clock, and short of a lost cycle of the
// smallest quantum (64 frames at 48 kHz).
constexpr double kSmoothing = 0.25;  // weight of a window's surprise in the edge
constexpr double kLearning = 0.004;  // ... and in the drift: learned in about a minute
constexpr double kSteering = 0.1;    // of the edge's offset, taken back each window while correcting
constexpr double kReleasePpm = 5;    // a learned drift below this goes back to passing through (mix.release)
constexpr double kLandingPpm = 100;  // the most a release bends the ratio to bring the phase to 0
constexpr int64_t kForgetting = 32;  // mix frames of ordinary chunks per frame a burst is forgotten by

// Kaiser-windowed sinc cut off at half the sample rate: 1 at 0 and 0 at every
// other whole frame, so that phase 0 is the identity. Row r is the filter for
// phase r / kDriftPhases; row kDriftPhases is row 0 one frame on, so that
// every phase interpolates between two rows.
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

// Sample i of a run of units (mix/mix_frames.h), as T.
template <typename T>
float Load(const int16_t* units, size_t i) {
    T value;
    std::memcpy(&value, units + i * sizeof(T) / 2, sizeof(T));
    return static_cast<float>(value);
}

// s16 rounds to the nearest and saturates; f32 is stored as it is.
template <typename T>
void Store(int16_t* units, size_t i, float value) {
    if constexpr (std::is_same_v<T, int16_t>) {
        units[i] = ToSample(value);
    } else {
        std::memcpy(units + 2 * i, &value, sizeof value);
    }
}

#ifdef PCMTAP_DRIFT_SSE
float Sum(__m128 lanes) {
    const __m128 pairs = _mm_add_ps(lanes, _mm_movehl_ps(lanes, lanes));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 1)));
}
#endif

// Frames k = 0, 1, ... at input positions `position` + k x `step` (32.32
// fixed point), each filtered from the kTaps frames around it, while the
// input lasts and up to `frames`. `left` and `right` hold `count` frames
// (mono: the same twice); position p reads frames floor(p) .. floor(p) +
// kTaps - 1. Returns the frames written.
template <typename T>
size_t Interpolate(const float* left, const float* right, size_t count, uint64_t position, uint64_t step, int16_t* out,
                   size_t frames, size_t channels) {
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
        Store<T>(out, channels * k, Sum(sum_left));
        if (channels == 2) Store<T>(out, 2 * k + 1, Sum(sum_right));
#else
        float sum_left = 0, sum_right = 0;
        for (size_t m = 0; m < kTaps; ++m) {
            const float coefficient = a[m] + between * (b[m] - a[m]);
            sum_left += coefficient * l[m];
            sum_right += coefficient * r[m];
        }
        Store<T>(out, channels * k, sum_left);
        if (channels == 2) Store<T>(out, 2 * k + 1, sum_right);
#endif
    }
    return k;
}

uint64_t Fixed(double value) { return static_cast<uint64_t>(std::llround(value * 4294967296.0)); }

// scratch = [left x count | right x count], from `first` frames of `a`,
// then `b` up to frame `real`, then silence; mono fills both alike.
template <typename T>
void Deinterleave(const int16_t* a, size_t first, const int16_t* b, size_t real, size_t count, size_t channels,
                  std::vector<float>& scratch) {
    ReserveForGrowth(scratch, 2 * count);
    scratch.resize(2 * count);
    float* left = scratch.data();
    float* right = left + count;
    const size_t units = channels * sizeof(T) / 2;
    for (size_t i = 0; i < count; ++i) {
        if (i >= real) {
            left[i] = right[i] = 0;
            continue;
        }
        const int16_t* frame = i < first ? a + units * i : b + units * (i - first);
        left[i] = Load<T>(frame, 0);
        right[i] = Load<T>(frame, channels - 1);
    }
}

// Interpolate over Deinterleave's planes, in the sample type of `format`.
template <typename T>
size_t FilterAs(const int16_t* a, size_t first, const int16_t* b, size_t real, size_t count, uint64_t position,
                uint64_t step, int16_t* out, size_t frames, size_t channels, std::vector<float>& scratch) {
    Deinterleave<T>(a, first, b, real, count, channels, scratch);
    return Interpolate<T>(scratch.data(), scratch.data() + count, count, position, step, out, frames, channels);
}

size_t Filter(const PcmFormat& format, const int16_t* a, size_t first, const int16_t* b, size_t real, size_t count,
              uint64_t position, uint64_t step, int16_t* out, size_t frames, std::vector<float>& scratch) {
    return format.type == SampleType::kF32
               ? FilterAs<float>(a, first, b, real, count, position, step, out, frames, format.channels, scratch)
               : FilterAs<int16_t>(a, first, b, real, count, position, step, out, frames, format.channels, scratch);
}

double Clamp(double ppm, double bound) { return std::min(bound, std::max(-bound, ppm)); }

// A window is complete. The edge moves as the drift and the ratio make it.
// After a join or a stall the next windows only measure the new level, the
// edge is held to it, and nothing is learned from them. A surprise beyond
// any drift's reach is a step of its own (a lost cycle, a server's latency
// that moved): edge and level move with it at once, and nothing is learned,
// so that steps never add up to drift. A smaller one is noise or creep,
// learned slowly.
void Track(DriftCorrector& c, double high, const MixFrames& mix) {
    const double frames_per_ppm = mix.frames_per_ppm;
    c.edge += (c.integral - c.ppm) * frames_per_ppm;
    const double surprise = high - c.edge;
    const bool jumps = std::abs(surprise) > mix.step;
    if (c.settling > 0) {  // the edge is the mean of the windows since the step
        c.edge += surprise / static_cast<double>(kDriftSettling - --c.settling);
        c.anchor = c.edge;
        c.suspect = 0;
    } else if (jumps && c.suspect != 0 && std::abs(surprise - c.suspect) <= mix.step) {
        c.edge = high;  // it stayed where it went: a step
        c.anchor += surprise;
        c.suspect = 0;
    } else if (jumps) {
        c.suspect = surprise;  // a window's grace: a step stays where it went, a stray window does not
    } else {
        c.suspect = 0;
        c.edge += kSmoothing * surprise;
        c.integral = Clamp(c.integral + kLearning * surprise / frames_per_ppm, kDriftMaxPpm);
    }
    const double offset = c.edge - c.anchor;
    if (c.mode == DriftMode::kPassThrough && std::abs(offset) > mix.dead_band) c.mode = DriftMode::kCorrecting;
    if (c.mode == DriftMode::kCorrecting && std::abs(c.integral) < kReleasePpm && std::abs(offset) < mix.release)
        c.mode = DriftMode::kReleasing;
    c.ppm = c.mode == DriftMode::kCorrecting ? Clamp(c.integral + kSteering * offset / frames_per_ppm, kDriftMaxPpm) : 0;
}

// The backlog stepped: the window starts again, on the new level.
void Restep(DriftCorrector& c) {
    c.settling = kDriftSettling;
    c.window_frames = 0;
    c.last_high = -1;
}

// Counts one chunk's backlog; at the end of a window, tracks its edge.
void Observe(DriftCorrector& c, size_t backlog, size_t frames, const MixFrames& mix) {
    // A chunk the source cannot fill is its last before it runs dry and joins again.
    if (backlog < frames || frames == 0) return;
    // Frames beyond the cap were skipped: the backlog may have stepped up.
    if (static_cast<int64_t>(frames) >= mix.stall_chunk) return Restep(c);
    const int64_t left = static_cast<int64_t>(backlog - frames);
    c.window_high = c.window_frames == 0 ? left : std::max(c.window_high, left);
    c.window_frames += static_cast<int64_t>(frames);
    if (c.window_frames < mix.drift_window) return;
    c.window_frames = 0;
    // A window may miss the top of the cycle of fragments and turns; two in a row seldom do.
    Track(c, static_cast<double>(std::max(c.window_high, std::exchange(c.last_high, c.window_high))), mix);
}

// Back from running dry on a new level, a step; the drift learned holds. The
// filter starts on silence (no old samples blended into new ones), landed.
void Afresh(DriftCorrector& c) {
    Restep(c);
    c.phase = 0;
    std::fill(std::begin(c.history), std::end(c.history), int16_t{0});
    if (c.mode == DriftMode::kReleasing) c.mode = DriftMode::kPassThrough;
}

// The filter's history becomes the kHistory frames before the position
// `advanced` frames on, for a correction that goes on (or starts) next chunk.
void KeepHistory(DriftCorrector& c, const int16_t* unread, size_t advanced, size_t units) {
    for (size_t i = 0; i < kHistory; ++i) {
        const size_t at = advanced + i;
        // at >= i: an old history frame is read before its place is written.
        const int16_t* frame = at < kHistory ? c.history + units * at : unread + units * (at - kHistory);
        std::copy_n(frame, units, c.history + units * i);
    }
}

}  // namespace

bool Plays(DriftCorrector& c, bool primed, bool leaving, size_t unread_frames, size_t frames, const MixFrames& mix) {
    const int64_t unread = static_cast<int64_t>(unread_frames), chunk = static_cast<int64_t>(frames);
    const size_t after = static_cast<size_t>(std::clamp<int64_t>(c.burst, mix.join_left, mix.most_left));
    c.quiet = unread == c.left ? c.quiet + chunk : 0;
    const bool ends = unread != 0 && (leaving || c.quiet >= mix.end_quiet);
    const size_t first = static_cast<size_t>(mix.priming);
    const bool joins = !primed && (ends || unread_frames >= std::max(first, frames + after));
    // What was there when the source was first seen is a backlog, not a
    // burst, and what piled up over a stall of the loop is none either.
    if (c.left >= 0 && chunk <= mix.ordinary_chunk)
        c.burst = std::max({int64_t{0}, c.burst - chunk / kForgetting, unread - c.left});
    c.left = unread;
    if (joins) Afresh(c);
    return primed || joins;
}

DriftShare TakeDriftShare(DriftCorrector& c, const int16_t* unread, size_t unread_frames, size_t frames,
                          std::vector<float>& scratch, const MixFrames& mix) {
    Observe(c, unread_frames, frames, mix);
    if (c.mode == DriftMode::kPassThrough || frames == 0) {
        const size_t taken = std::min(unread_frames, frames);
        KeepHistory(c, unread, taken, mix.units);
        c.left -= static_cast<int64_t>(taken);
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
    const size_t real = kHistory + unread_frames;
    ReserveForGrowth(c.output, mix.units * frames);
    c.output.resize(mix.units * frames);
    if (wanted > real) {
        // The source runs short: it has stopped, or runs dry. Its last
        // frames are played out against silence for look-ahead, up to the
        // last frame it delivered, and it starts afresh when it comes back.
        const size_t count = real + kDriftHalfTaps;
        const uint64_t end = static_cast<uint64_t>(unread_frames) << 32;
        const size_t reach = end > start ? static_cast<size_t>((end - start + step - 1) / step) : 0;
        const size_t given = Filter(mix.format, c.history, kHistory, unread, real, count, start, step, c.output.data(),
                                    std::min(frames, reach), scratch);
        Afresh(c);
        c.left -= static_cast<int64_t>(unread_frames);
        return DriftShare{c.output.data(), given, unread_frames};
    }
    const size_t given =
        Filter(mix.format, c.history, kHistory, unread, wanted, wanted, start, step, c.output.data(), frames, scratch);
    const uint64_t end = start + given * step;
    size_t advanced = static_cast<size_t>(end >> 32);
    c.phase = static_cast<double>(end & 0xFFFFFFFFu) / 4294967296.0;
    if (lands) {
        advanced = static_cast<size_t>((end + 0x80000000u) >> 32);  // within a rounding error of a whole frame
        c.phase = 0;
        c.mode = DriftMode::kPassThrough;
    }
    KeepHistory(c, unread, advanced, mix.units);
    c.left -= static_cast<int64_t>(advanced);
    return DriftShare{c.output.data(), given, advanced};
}

size_t Resample(const int16_t* input, size_t input_frames, double ppm, double& phase, int16_t* output, size_t frames,
                std::vector<float>& scratch, const PcmFormat& format) {
    const uint64_t step = Fixed(1 + ppm * 1e-6);
    const uint64_t start = Fixed(phase);
    const size_t given =
        Filter(format, input, 0, input, input_frames, input_frames, start, step, output, frames, scratch);
    const uint64_t end = start + given * step;
    phase = static_cast<double>(end & 0xFFFFFFFFu) / 4294967296.0;
    return static_cast<size_t>(end >> 32);
}
