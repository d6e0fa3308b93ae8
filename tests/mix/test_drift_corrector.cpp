// The drift corrector alone: what its interpolator does to a tone, that it
// is the identity when passing through, and where its controller steers a
// source whose clock drifts.
#include <gtest/gtest.h>

#include <cmath>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <random>
#include <vector>

#include "mix/drift_corrector.h"
#include "mix/mix_chunk.h"
#include "tests/mix/mix_world.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr size_t kSteadyBacklog = 1680;  // frames: a backlog inside the band, held

// A tone at `hz` on the source's own clock, -1 dBFS, 16 bits; the right
// channel a quarter period behind.
std::vector<int16_t> Tone(double hz, size_t frames) {
    const double amplitude = 32767 * std::pow(10.0, -1.0 / 20);
    std::vector<int16_t> samples(2 * frames);
    for (size_t n = 0; n < frames; ++n) {
        const double angle = 2 * kPi * hz * static_cast<double>(n) / 48000;
        samples[2 * n] = static_cast<int16_t>(std::lrint(amplitude * std::sin(angle)));
        samples[2 * n + 1] = static_cast<int16_t>(std::lrint(amplitude * std::cos(angle)));
    }
    return samples;
}

// THD+N in dB of one channel: the least-squares fit of a sine at `hz` (and
// an offset) is removed, the rest is noise and distortion.
double ThdPlusNoise(const std::vector<int16_t>& samples, size_t channel, double hz) {
    const size_t frames = samples.size() / 2;
    double m[3][3] = {}, v[3] = {};
    for (size_t n = 0; n < frames; ++n) {
        const double w = 2 * kPi * hz * static_cast<double>(n) / 48000;
        const double basis[3] = {std::sin(w), std::cos(w), 1};
        for (int i = 0; i < 3; ++i) {
            v[i] += basis[i] * samples[2 * n + channel];
            for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
        }
    }
    // Gaussian elimination on the 3 x 3 normal equations.
    for (int i = 0; i < 3; ++i)
        for (int r = i + 1; r < 3; ++r) {
            const double f = m[r][i] / m[i][i];
            for (int j = i; j < 3; ++j) m[r][j] -= f * m[i][j];
            v[r] -= f * v[i];
        }
    double x[3];
    for (int i = 2; i >= 0; --i) {
        x[i] = v[i];
        for (int j = i + 1; j < 3; ++j) x[i] -= m[i][j] * x[j];
        x[i] /= m[i][i];
    }
    double signal = 0, residue = 0;
    for (size_t n = 0; n < frames; ++n) {
        const double w = 2 * kPi * hz * static_cast<double>(n) / 48000;
        const double fit = x[0] * std::sin(w) + x[1] * std::cos(w);
        signal += fit * fit;
        const double rest = samples[2 * n + channel] - fit - x[2];
        residue += rest * rest;
    }
    return 10 * std::log10(residue / signal);
}

// Runs a tone through a corrector held at `ppm` the way the mix uses it:
// chunks of 480 frames, a steady backlog at the target, history carried from
// chunk to chunk. Returns a second of output after the first chunk.
std::vector<int16_t> Corrected(double hz, double ppm) {
    const std::vector<int16_t> tone = Tone(hz, 60000);
    DriftCorrector corrector;
    corrector.mode = DriftMode::kCorrecting;
    corrector.integral = corrector.ppm = ppm;  // learned: the backlog at target keeps it
    std::vector<float> scratch;
    std::vector<int16_t> out;
    size_t position = 0;
    while (out.size() < 2 * (48000 + 480)) {
        const DriftShare share = TakeDriftShare(corrector, tone.data() + 2 * position, kSteadyBacklog, 480, scratch);
        EXPECT_EQ(share.frames, 480u);
        out.insert(out.end(), share.samples, share.samples + 2 * share.frames);
        position += share.consumed;
    }
    EXPECT_DOUBLE_EQ(corrector.ppm, ppm);
    return std::vector<int16_t>(out.begin() + 960, out.begin() + 960 + 2 * 48000);
}

struct Quality {
    double hz;
    double ppm;
    double worst_db;  // 0: measured for the record only
};

TEST(DriftCorrector, TonesComeOutCleanAtTheCorrectedFrequency) {
    const Quality cases[] = {{1000, 200, -80}, {1000, -200, -80}, {10000, 200, -60},  {10000, -200, -60},
                             {16000, 200, 0},  {440, 1000, -80},  {10000, -1000, -60}};
    for (const Quality& q : cases) {
        const std::vector<int16_t> out = Corrected(q.hz, q.ppm);
        // The source's clock is ppm fast: its tone, taken faster, plays higher.
        const double heard = q.hz * (1 + q.ppm * 1e-6);
        for (size_t channel = 0; channel < 2; ++channel) {
            const double db = ThdPlusNoise(out, channel, heard);
            printf("%6.0f Hz at %+5.0f ppm, channel %zu: THD+N %.1f dB\n", q.hz, q.ppm, channel, db);
            if (q.worst_db != 0) {
                EXPECT_LT(db, q.worst_db) << q.hz << " Hz at " << q.ppm << " ppm";
            }
            // Fitting at the uncorrected frequency must fail: the pitch did move.
            if (q.hz >= 1000) {
                EXPECT_GT(ThdPlusNoise(out, channel, q.hz), -40) << q.hz << " Hz at " << q.ppm;
            }
        }
    }
}

TEST(DriftCorrector, AtRatioOneAndPhaseZeroTheFilterIsTheIdentity) {
    std::mt19937 random(11);
    std::vector<int16_t> input(2 * 2000);
    for (int16_t& sample : input) sample = static_cast<int16_t>(random());
    input[100] = -32768;
    input[101] = 32767;
    std::vector<int16_t> out(2 * 1000, 0x5A5A);
    std::vector<float> scratch;
    double phase = 0;
    const size_t advanced = Resample(input.data(), input.size() / 2, 0, phase, out.data(), 1000, scratch);
    EXPECT_EQ(advanced, 1000u);
    EXPECT_EQ(phase, 0);
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], input[i + 2 * (kDriftHalfTaps - 1)]) << "sample " << i;
}

// A source whose backlog stays put is handed over as it is: the mix reads
// its queue itself, every frame of the chunk, and the corrector never bends it.
TEST(DriftCorrector, ASteadySourcePassesThroughItsOwnSamples) {
    std::vector<int16_t> queue(2 * 1440);
    DriftCorrector corrector;
    std::vector<float> scratch;
    for (int chunk = 0; chunk < 1000; ++chunk) {
        const DriftShare share = TakeDriftShare(corrector, queue.data(), 1000 + chunk % 2 * 480, 480, scratch);
        ASSERT_EQ(share.samples, queue.data());
        ASSERT_EQ(share.frames, 480u);
        ASSERT_EQ(share.consumed, 480u);
    }
    EXPECT_EQ(corrector.mode, DriftMode::kPassThrough);
    EXPECT_TRUE(corrector.output.empty()) << "no storage for a source that needs none";
}

// A resampled source that stops: every frame it delivered reaches the
// output, the filter's look-ahead included, and nothing is left unread.
TEST(DriftCorrector, AStoppingSourceIsPlayedToItsLastFrame) {
    for (const double ppm : {300.0, -300.0, 1000.0}) {
        for (const size_t length : {1030u, 1017u, 1500u}) {
            std::vector<int16_t> queue(2 * length, 5000);
            DriftCorrector corrector;
            corrector.mode = DriftMode::kCorrecting;
            corrector.integral = corrector.ppm = ppm;
            std::vector<float> scratch;
            size_t position = 0, played = 0;
            for (;;) {
                const DriftShare share =
                    TakeDriftShare(corrector, queue.data() + 2 * position, length - position, 480, scratch);
                played += share.frames;
                position += share.consumed;
                if (share.frames < 480 || position == length) break;
            }
            SCOPED_TRACE(std::to_string(ppm) + " ppm, " + std::to_string(length) + " frames");
            EXPECT_EQ(position, length);
            EXPECT_NEAR(static_cast<double>(played), length / (1 + ppm * 1e-6), 1.5);
        }
    }
}

// One source through MixChunk the way the loop drives it: turns 5 to 9 ms
// apart, a chunk whenever 480 frames are due, the source's fragments
// arriving on its own clock `ppm` off the mix. Its frames are numbered: the
// left channel a ramp of 16 a frame over 2048 frames, the right channel
// counts the ramps (never 0). Every output frame passed through says which
// input frame it is; a resampled one lies on the ramp, where a jump of a
// fraction of a frame shows.
struct Delivery {
    double ppm;
    size_t fragment;                                // frames per delivery
    double (*ppm_later)(double seconds) = nullptr;  // a clock that changes
    DWORD rate = 48000;
    bool steps = false;  // a lost cycle, a shift of its latency or a pause every 3 to 15 s
};

using mixworld::kRampFrames;
using mixworld::kRampSlope;

struct Outcome {
    size_t frames = 0, exact = 0;  // after the first second
    size_t explained = 0;          // ... the first after a lost cycle
    int steps = 0;                 // lost cycles, shifts later and pauses: each may run it dry
    int dries = 0, joins = 0;
    double lowest = 1e9, highest = 0;  // frames left after a chunk, after 3 minutes
    double worst_step = 0;             // the left channel's step off the ramp's, in frames
    DriftCorrector last;
};

Outcome Deliver(const Delivery& d, double seconds, uint64_t seed) {
    std::mt19937_64 random(seed);
    const MixFrames mix = MixFramesOf(PcmFormat{d.rate, 2, SampleType::kS16});
    const double rate = d.rate;
    SourceMap sources;
    CaptureSource& source = sources[1];
    MixBuffers buffers;
    Outcome outcome;
    double now = 0, delivered_at = 0;  // mix frames
    double ppm = d.ppm;
    size_t next = 0;  // frames delivered
    int64_t produced = 0;
    double expect = -1;          // the number the next output frame must carry
    int previous_left = -30000;  // the last output frame's left sample
    std::map<double, double> lost;  // the first frame after a lost cycle: frames lost before it
    std::deque<double> steps;       // the left channel's last steps off the ramp's, not yet known clear of a gap
    size_t ringing = 0;             // frames still ringing after a lost cycle
    double next_step = d.steps ? 2 * rate : HUGE_VAL, shifted = 0;  // mix frames; ms of latency added
    while (now < seconds * rate) {
        now += rate / 1000 * (5 + static_cast<double>(random() % 4001) / 1000);
        if (d.ppm_later != nullptr) ppm = d.ppm_later(now / rate);
        for (; now >= next_step; next_step += rate * (3 + static_cast<double>(random() % 12001) / 1000)) {
            const double ratio = 1 + ppm * 1e-6;
            if (random() % 2 == 0) {  // a graph's cycle lost: its frames' time passes, they never come
                const size_t frames = std::array<size_t, 4>{64, 80, 128, 256}[random() % 4] * d.rate / 48000;
                next += frames;
                delivered_at += static_cast<double>(frames) / ratio;
                lost[static_cast<double>(next)] = static_cast<double>(frames);
                outcome.steps++;
                continue;
            }
            // Its latency shifts for good by 2.5 to 25 ms either way, at most 40 ms early; or it pauses.
            double ms = (random() % 4 == 0 ? 300 + random() % 1201 : 2.5 + static_cast<double>(random() % 226) / 10);
            if (ms < 300 && (random() % 2 == 0) && shifted - ms >= -40) ms = -ms;
            shifted += ms;
            outcome.steps += ms > 0;
            delivered_at += rate / 1000 * ms;
        }
        // Fragments due by now on the device's clock.
        while (delivered_at + static_cast<double>(d.fragment) / (1 + ppm * 1e-6) <= now) {
            delivered_at += static_cast<double>(d.fragment) / (1 + ppm * 1e-6);
            for (size_t i = 0; i < d.fragment; ++i, ++next)
                for (size_t ch = 0; ch < 2; ++ch) source.sample_queue.push_back(mixworld::Numbered(next, ch));
        }
        const int64_t due = static_cast<int64_t>(now);
        if (due - produced < mix.min_chunk) continue;
        const size_t frames = static_cast<size_t>(std::min<int64_t>(due - produced, mix.stall_chunk));
        produced = due;
        const bool was = source.primed;
        MixChunk(sources, frames, buffers, mix);
        outcome.joins += !was && source.primed;
        outcome.dries += was && !source.primed;
        const bool ran_dry = was && !source.primed;  // its last frames played out against silence
        if (now > rate) {
            for (size_t k = 0; k < frames; ++k) {
                const int16_t* frame = buffers.output.data() + 2 * k;
                if (frame[0] == 0 && frame[1] == 0) {  // a gap: the frames before it played out against silence
                    previous_left = -30000;
                    steps.clear();
                    continue;
                }
                const double n = mixworld::FrameNumber(frame);
                outcome.frames++;
                outcome.exact += n == expect;
                const auto hole = lost.find(n);
                outcome.explained += hole != lost.end() && n - hole->second == expect;
                // The filter rings around a lost cycle's junction: kDriftHalfTaps frames either side.
                const auto junction = lost.lower_bound(expect - 2 * kDriftHalfTaps);
                if (std::abs(n - expect) > 2 && junction != lost.end() && junction->first <= n + 2 * kDriftHalfTaps) {
                    steps.clear();
                    ringing = 2 * kDriftHalfTaps;
                }
                expect = n + 1;
                // Away from the ramp's ends, where the filter rings too.
                const auto inside = [](int left) { return std::abs(left) < (kRampFrames / 2 - 12) * kRampSlope; };
                if (ringing > 0) {
                    --ringing;
                } else if (inside(previous_left) && inside(frame[0])) {
                    steps.push_back(std::abs(frame[0] - previous_left - kRampSlope) / static_cast<double>(kRampSlope));
                }
                if (steps.size() > kDriftHalfTaps) {
                    outcome.worst_step = std::max(outcome.worst_step, steps.front());
                    steps.pop_front();
                }
                previous_left = frame[0];
            }
        }
        if (ran_dry) {
            previous_left = -30000;
            steps.clear();
        }
        if (now > rate * 180) {
            const double left = static_cast<double>(source.sample_queue.size() - source.read_index) / 2;
            outcome.lowest = std::min(outcome.lowest, left);
            outcome.highest = std::max(outcome.highest, left);
        }
        if (2 * source.read_index > source.sample_queue.size()) {
            source.sample_queue.erase(source.sample_queue.begin(),
                                      source.sample_queue.begin() + static_cast<ptrdiff_t>(source.read_index));
            source.read_index = 0;
        }
    }
    outcome.last = source.drift;
    return outcome;
}

// A source on the mix's clock passes through exactly, whatever its
// fragments; one that drifts is steered, learns its drift and holds its
// backlog without running dry.
TEST(DriftCorrector, SameClockPassesExactlyAndDriftIsSteered) {
    const Delivery cases[] = {{0, 480},
                              {0, 1024},
                              {0, 2048},
                              {0, 441},
                              {300, 480},
                              {-300, 480},
                              {-300, 2048},
                              {120, 1024},
                              {-40, 480},
                              // Drifts for two minutes, then keeps time: it goes back to passing through.
                              {200, 480, [](double t) { return t < 60 ? 200.0 : 0.0; }},
                              {300, 160, nullptr, 16000},
                              {-300, 683, nullptr, 16000},
                              // Steps of its backlog, several a minute.
                              {0, 480, nullptr, 48000, true},
                              {0, 1024, nullptr, 48000, true},
                              {250, 480, nullptr, 48000, true},
                              {-170, 1024, nullptr, 48000, true},
                              {300, 1024, nullptr, 48000, true}};
// A sanitizer build runs the interpolator many times slower: the same-clock cases and one drift there.
#if defined(__SANITIZE_ADDRESS__)
    const size_t count = 5, seeds = 1;
#else
    const size_t count = std::size(cases), seeds = 2;
#endif
    for (const Delivery& d : std::vector<Delivery>(cases, cases + count)) {
        for (uint64_t seed = 1; seed <= seeds; ++seed) {
            SCOPED_TRACE(std::to_string(d.ppm) + " ppm, fragments of " + std::to_string(d.fragment) + ", seed " +
                         std::to_string(seed) + ", " + std::to_string(d.rate) + " Hz");
            const double scale = d.rate / 48000.0;  // the backlog's bounds are durations
            const Outcome o = Deliver(d, d.steps ? 600 : 300, seed);  // learned at ten minutes, as in the drift world
            printf(
                "%+5.0f ppm, fragments of %4zu, seed %llu: learned %+6.1f ppm, backlog %.0f..%.0f, %d joins, "
                "%zu of %zu frames exact, %zu after a lost cycle\n",
                d.ppm, d.fragment, static_cast<unsigned long long>(seed), o.last.integral, o.lowest, o.highest, o.joins,
                o.exact, o.frames, o.explained);
            EXPECT_EQ(o.dries, o.joins - 1) << "still playing";
            EXPECT_LE(o.joins, 2 + o.steps) << "runs dry at most once, on a thin first join, and after a step down";
            EXPECT_LT(o.worst_step, d.steps ? 0.15 : 0.1) << "a jump of a fraction of a frame";
            if (d.ppm_later != nullptr) {
                EXPECT_EQ(o.last.mode, DriftMode::kPassThrough);
                EXPECT_GT(o.exact, o.frames - 48000 * 200) << "passes through once it keeps time";
            } else if (d.ppm == 0) {
                EXPECT_EQ(o.exact + o.explained + 1, o.frames) << "every frame after the first second as it came";
                EXPECT_EQ(o.last.mode, DriftMode::kPassThrough);
                EXPECT_LT(std::abs(o.last.integral), 15) << "steps never add up to drift";
            } else {
                EXPECT_NEAR(o.last.integral, d.ppm, 30);
                if (d.steps) continue;  // its steps move its backlog for good
                EXPECT_GE(o.lowest, 240 * scale) << "never near running dry";
                EXPECT_LE(o.highest, static_cast<double>(d.fragment) + 1920 * scale) << "nor piling up";
            }
        }
    }
}

}  // namespace
