#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>

#include "platform/hal/CounterSnapshot.h"
#include "platform/hal/pulse/IOCounters.h"

namespace brimo::hal {
namespace {

// Counters of mixed widths and signs, as the render path and the backend keep them; values
// past 32 bits and below zero show a field narrowed or loaded into another's place.
template <template <typename> class Cell>
struct MixedCounts {
    Cell<std::uint64_t> blocks{};
    Cell<std::uint32_t> largest{};
    Cell<std::int64_t> fill{};

    static constexpr auto fields() {
        return std::tuple{&MixedCounts::blocks, &MixedCounts::largest, &MixedCounts::fill};
    }
};

TEST(CounterSnapshot, CopiesEveryCounterIntoItsOwnField) {
    MixedCounts<std::atomic> counts;
    counts.blocks.store((1ULL << 40U) + 3);
    counts.largest.store(4096);
    counts.fill.store(-7);
    const auto plain = snapshotOf<MixedCounts>(counts);
    EXPECT_EQ(plain.blocks, (1ULL << 40U) + 3);
    EXPECT_EQ(plain.largest, 4096U);
    EXPECT_EQ(plain.fill, -7);
}

// The first, a 32-bit and the last field of the backend's list.
TEST(CounterSnapshot, TheBackendsStatisticsHoldWhatItsCountersCounted) {
    pulse::IOCounters counters;
    counters.framesCaptured.fetch_add(48000);
    counters.largestCallbackFrames.store(4096);
    counters.lateCaptureCalls.fetch_add(2);
    const pulse::IOStatistics statistics = counters.snapshot();
    EXPECT_EQ(statistics.framesCaptured, 48000U);
    EXPECT_EQ(statistics.largestCallbackFrames, 4096U);
    EXPECT_EQ(statistics.lateCaptureCalls, 2U);
    EXPECT_EQ(statistics.framesPlayed, 0U);
}

}  // namespace
}  // namespace brimo::hal
