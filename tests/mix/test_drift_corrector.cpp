// The drift corrector alone: what its interpolator does to a tone, that it
// is the identity when passing through, and where its controller steers a
// source whose clock drifts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "mix/drift_corrector.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

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
        const DriftShare share = TakeDriftShare(corrector, tone.data() + 2 * position, kDriftTarget, 480, scratch);
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

// The controller in a loop of its own: a source delivering 480-frame packets
// every 10 ms of its clock, `ppm` off the mix, chunks of 480 frames every
// 10 ms, joining the mix at 960 unread frames and leaving it when it runs
// dry, as the mix does. It must learn the drift and keep the backlog in the
// band, and a source that keeps time must end up passing through.
struct Drifting {
    double ppm;
    size_t start_backlog;   // frames delivered before the first chunk
    unsigned jitter;        // packets arrive up to this many frames' time late
    int dries;              // times it may run dry
    double tolerance = 30;  // ppm between the drift and what it learned in 10 minutes
};

TEST(DriftCorrector, TheControllerHoldsTheBacklogOfADriftingSource) {
    const Drifting cases[] = {{300, 960, 480, 0},
                              {-300, 960, 480, 2},
                              {120, 1000, 480, 0},
                              {-40, 1100, 480, 0},
                              {0, 700, 480, 0},
                              {0, 960, 0, 0},
                              {300, 960, 0, 0},
                              // Primed at the very threshold and in lockstep with the chunks, a slow
                              // source cannot be told from one that keeps time until it runs dry:
                              // once, then it is steered up.
                              {-300, 960, 0, 1},
                              // In lockstep the backlog is seen only in packet steps: at 20 ppm one
                              // step every 500 s, so what is learned in 10 minutes is rough.
                              {-20, 960, 0, 1, 60}};
// A sanitizer build runs the interpolator many times slower: the first cases only.
#if defined(__SANITIZE_ADDRESS__)
    const size_t count = 3;
#else
    const size_t count = std::size(cases);
#endif
    for (const Drifting& d : std::vector<Drifting>(cases, cases + count)) {
        SCOPED_TRACE(std::to_string(d.ppm) + " ppm from " + std::to_string(d.start_backlog) + ", jitter " +
                     std::to_string(d.jitter));
        std::mt19937 random(5);
        DriftCorrector corrector;
        std::vector<float> scratch;
        std::vector<int16_t> queue(2 * 40000);
        double delivered = static_cast<double>(d.start_backlog);  // frames, on the device's clock
        size_t available = d.start_backlog, taken = 0;
        bool primed = false;
        int dries = 0;
        double lowest = 1e9, highest = 0;
        for (int chunk = 0; chunk < 100 * 600; ++chunk) {  // 10 minutes
            delivered += 480 * (1 + d.ppm * 1e-6);
            const double late = d.jitter == 0 ? 0 : static_cast<double>(random() % d.jitter);
            while (static_cast<double>(available) + 480 <= delivered - late) available += 480;
            const size_t unread = available - taken;
            if (!primed) {
                if (unread < 960) continue;
                primed = true;
                RestartDrift(corrector);
            }
            const DriftShare share = TakeDriftShare(corrector, queue.data(), unread, 480, scratch);
            taken += share.consumed;
            if (share.frames < 480 || share.consumed == unread) {
                primed = false;
                ++dries;
            }
            if (chunk >= 100 * 180 && corrector.windows > 0) {  // after 3 minutes
                lowest = std::min(lowest, corrector.level);
                highest = std::max(highest, corrector.level);
            }
        }
        printf("%+5.0f ppm from %zu frames, jitter %u: learned %+6.1f ppm, backlog %.0f..%.0f frames, %d dry, %s\n",
               d.ppm, d.start_backlog, d.jitter, corrector.integral, lowest, highest, dries,
               corrector.mode == DriftMode::kPassThrough ? "passing through" : "resampling");
        EXPECT_LE(dries, d.dries);
        EXPECT_GE(lowest, kDriftBandLow - 480);
        EXPECT_LE(highest, kDriftBandHigh + 480);
        if (d.ppm == 0) {
            EXPECT_EQ(corrector.mode, DriftMode::kPassThrough);
        } else {
            EXPECT_NEAR(corrector.integral, d.ppm, d.tolerance);
        }
    }
}

}  // namespace
