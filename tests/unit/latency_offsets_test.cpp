// The output lead arithmetic: the worked values, the boundaries between its three cases,
// and inputs that would divide by zero or index past the level tables.
#include "asio_ours.h"
#include "latency_tables.h"

#include <gtest/gtest.h>

namespace {

struct Worked {
    LONG level;
    DWORD rate;
    DWORD frames;
    DWORD latencyPart;
    DWORD outputLead;
};

class WorkedValues : public ::testing::TestWithParam<Worked> {};

TEST_P(WorkedValues, MatchTheTable)
{
    const Worked& w = GetParam();
    const LatencyOffsets result = ComputeLatencyOffsets(w.frames, w.rate, w.level);
    EXPECT_EQ(result.latencyPart, w.latencyPart);
    EXPECT_EQ(result.outputLead, w.outputLead);
}

// Buffer above the margin (levels 5, 1, 9), equal to it (level 0: c = 48), below it (level 4: c = 192),
// and level 3 at 44100 Hz (c = 44, N = 128).
INSTANTIATE_TEST_SUITE_P(Levels, WorkedValues,
                         ::testing::Values(Worked{5, 48000, 256, 228, 179}, Worked{0, 48000, 48, 46, 101},
                                           Worked{1, 48000, 64, 35, 94}, Worked{3, 44100, 128, 126, 65},
                                           Worked{4, 96000, 32, 33, 217}, Worked{9, 48000, 2048, 1702, 838}));

TEST(LatencyOffsets, ZeroSizeOrRateGivesZero)
{
    for (LONG level = 0; level < kLatencyLevels; ++level) {
        const LatencyOffsets noSize = ComputeLatencyOffsets(0, 48000, level);
        const LatencyOffsets noRate = ComputeLatencyOffsets(256, 0, level);
        EXPECT_EQ(noSize.latencyPart, 0u);
        EXPECT_EQ(noSize.outputLead, 0u);
        EXPECT_EQ(noRate.latencyPart, 0u);
        EXPECT_EQ(noRate.outputLead, 0u);
    }
}

// Below 2000 Hz the safety margin is under 2 frames and the arithmetic would divide by
// c - 1 = 0 (or wrap c - 1 to 2^32 - 1 for c = 0); it is taken as 2 frames instead.
TEST(LatencyOffsets, RatesBelowTwoKilohertzStayDefinedAndLeadCoversTheMargin)
{
    const DWORD frames[] = {1, 2, 3, 32, 256, 16384};
    for (DWORD rate : {1000u, 1u}) {
        for (LONG level = 0; level < kLatencyLevels; ++level) {
            const DWORD margin = static_cast<DWORD>(safetyMs[level]) * rate / 1000;
            for (DWORD n : frames) {
                SCOPED_TRACE(testing::Message() << "rate " << rate << " level " << level << " frames " << n);
                const LatencyOffsets result = ComputeLatencyOffsets(n, rate, level);
                EXPECT_GT(result.outputLead, margin < 2 ? 2u : margin);
                EXPECT_LE(result.latencyPart, n + 2);
                if (margin < 2) {
                    // The same as a margin of exactly 2 frames (2000 Hz at level 0).
                    const LatencyOffsets asTwo = ComputeLatencyOffsets(n, 2000, 0);
                    EXPECT_EQ(result.latencyPart, asTwo.latencyPart);
                    EXPECT_EQ(result.outputLead, asTwo.outputLead);
                }
            }
        }
    }
    // Concretely, at 1 Hz and 256 frames: v = 0 + 1 + 255 = 256 >= N, so d = 1.
    const LatencyOffsets oneHz = ComputeLatencyOffsets(256, 1, 5);
    EXPECT_EQ(oneHz.latencyPart, 255u);
    EXPECT_EQ(oneHz.outputLead, 256u * 3 - 256 + 2 + 1 + 1);
}

// A level read from the kernel driver outside 0 to 9 is taken as the default level.
TEST(LatencyOffsets, LevelOutsideTheTablesUsesTheDefault)
{
    const LatencyOffsets expected = ComputeLatencyOffsets(256, 48000, kDefaultLatencyLevel);
    for (LONG level : {-1, 10, 0x7FFFFFFF, static_cast<LONG>(0x80000000)}) {
        const LatencyOffsets result = ComputeLatencyOffsets(256, 48000, level);
        EXPECT_EQ(result.latencyPart, expected.latencyPart) << level;
        EXPECT_EQ(result.outputLead, expected.outputLead) << level;
    }
}

// Around N = c, where the three formulas meet, the lead never falls below the margin and
// the driver's part stays within the buffer once the buffer exceeds the margin.
TEST(LatencyOffsets, AroundTheMarginTheLeadCoversIt)
{
    for (LONG level = 0; level < kLatencyLevels; ++level) {
        const DWORD c = static_cast<DWORD>(safetyMs[level]) * 48000 / 1000;
        for (DWORD n = c - 2; n <= c + 2; ++n) {
            const LatencyOffsets result = ComputeLatencyOffsets(n, 48000, level);
            EXPECT_GT(result.outputLead, c) << "level " << level << " frames " << n;
            if (n >= c) {
                EXPECT_LT(result.latencyPart, n) << "level " << level << " frames " << n;
            }
        }
    }
}

// Frequencies and sizes far beyond any device keep to 32-bit results without wrapping
// half-way (the products are formed in 64 bits).
TEST(LatencyOffsets, HugeFiguresDoNotWrapIntermediates)
{
    const LatencyOffsets result = ComputeLatencyOffsets(16384, 0xFFFFFFFFu, 9);
    // c = 10 * (2^32 - 1) / 1000 is about 42.9 million frames: N < c.
    const std::uint64_t c = 10ull * 0xFFFFFFFFull / 1000;
    EXPECT_EQ(result.latencyPart, static_cast<DWORD>(16384 * ((c + 16384) / 16384) - c + 1));
    EXPECT_EQ(result.outputLead, static_cast<DWORD>(2 * c + 2 - 16384 * ((c + 1) / 16384)));
}

}  // namespace
