#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/hal/SeqlockValue.h"

namespace brimo::hal {
namespace {

struct Reading {
    std::uint64_t count = 0;
    double seconds = 0.0;
    bool valid = false;
    std::uint64_t tripled = 0;
};

// A reader racing the writer gets whole values only, never parts of two, and never an older
// one than it already had.
TEST(SeqlockValue, ReadsRacingTheWriterAreWholeAndInOrder) {
    constexpr std::uint64_t kWrites = 200'000;
    SeqlockValue<Reading> value;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 1; i <= kWrites; ++i) {
            value.store({i, static_cast<double>(i), (i % 2) == 0, 3 * i});
        }
        done = true;
    });
    std::uint64_t reads = 0;
    std::uint64_t torn = 0;
    std::uint64_t backwards = 0;
    std::uint64_t last = 0;
    while (!done.load()) {
        const Reading r = value.load();
        const bool whole = static_cast<double>(r.count) == r.seconds &&
                           r.valid == (r.count % 2 == 0 && r.count > 0) && r.tripled == 3 * r.count;
        torn += whole ? 0 : 1;
        backwards += r.count < last ? 1 : 0;
        last = r.count;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0U) << "of " << reads << " reads";
    EXPECT_EQ(backwards, 0U);
    EXPECT_EQ(value.load().count, kWrites);
}

}  // namespace
}  // namespace brimo::hal
