#include <gtest/gtest.h>

#include <cstdint>

#include "mix/mix_clock.h"

namespace {

int64_t ExactFramesDue(int64_t elapsed, int64_t frequency) {
    return static_cast<int64_t>(static_cast<__int128>(elapsed) * 48000 / frequency);
}

constexpr int64_t kOverflowPoint = INT64_MAX / 48000;  // first elapsed count whose product would not fit

TEST(FramesDue, EqualsTheExactQuotientAcrossTheOverflowPoint) {
    const int64_t frequencies[] = {10000000, 3579545, 24000000, 1000000000, 2992865984LL, 48000, 1, kOverflowPoint};
    const int64_t elapsed_counts[] = {0,
                                      1,
                                      9999999,
                                      10000000,
                                      kOverflowPoint - 1,
                                      kOverflowPoint,
                                      kOverflowPoint + 1,
                                      kOverflowPoint * 2 + 12345,
                                      INT64_MAX / 2,
                                      INT64_MAX - 1,
                                      INT64_MAX};
    for (const int64_t frequency : frequencies) {
        for (const int64_t elapsed : elapsed_counts) {
            // Below 48000 Hz the answer itself outgrows 64 bits.
            if (static_cast<__int128>(elapsed) * 48000 / frequency > INT64_MAX) continue;
            EXPECT_EQ(FramesDue(elapsed, frequency), ExactFramesDue(elapsed, frequency))
                << "elapsed " << elapsed << " at " << frequency << " Hz";
        }
    }
}

struct ChunkCase {
    int64_t produced_before;
    int64_t elapsed_ticks;  // at 10 MHz: 208.33 ticks a frame
    int64_t chunk;
    int64_t produced_after;
};

TEST(TakeChunk, WritesFrom480UpTo9600AndSkipsTheRest) {
    const ChunkCase cases[] = {
        {0, 99999, 0, 0},                 // 479 due
        {0, 100000, 480, 480},            // 10 ms: the first chunk
        {0, 10000000, 9600, 48000},       // a second at once: 38400 skipped
        {480, 200000, 480, 960},          // 20 ms
        {480, 199999, 0, 480},            // 959 due: 479 pending
        {480, 1350000, 6000, 6480},       // a 6000-frame stall: caught up
        {480, 2100000, 9600, 10080},      // exactly 9600 pending
        {480, 2300000, 9600, 11040},      // a 10560-frame stall: 960 skipped
        {1000000, 208333333, 0, 1000000}, // 999999 due: none pending
    };
    for (const ChunkCase& c : cases) {
        MixClock clock{10000000, 5000, c.produced_before};
        EXPECT_EQ(TakeChunk(clock, 5000 + c.elapsed_ticks), c.chunk) << "elapsed " << c.elapsed_ticks;
        EXPECT_EQ(clock.frames_produced, c.produced_after) << "elapsed " << c.elapsed_ticks;
    }
}

}  // namespace
