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
    std::uint64_t tripled = 0;
};

// A reader racing the writer gets whole values only, never an older one than it already had.
TEST(SeqlockValue, ReadsRacingTheWriterAreWholeAndInOrder) {
    constexpr std::uint64_t kWrites = 200'000;
    SeqlockValue<Reading> value;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (std::uint64_t i = 1; i <= kWrites; ++i) {
            value.store({i, static_cast<double>(i), 3 * i});
        }
        done = true;
    });
    std::uint64_t faults = 0;
    for (std::uint64_t last = 0; !done.load();) {
        const Reading r = value.load();
        faults +=
            static_cast<double>(r.count) != r.seconds || r.tripled != 3 * r.count || r.count < last
                ? 1
                : 0;
        last = r.count;
    }
    writer.join();
    EXPECT_EQ(faults, 0U);
    EXPECT_EQ(value.load().count, kWrites);
}

}  // namespace
}  // namespace brimo::hal
