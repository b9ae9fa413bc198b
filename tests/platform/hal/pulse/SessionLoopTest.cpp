#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/hal/pulse/SessionLoop.h"

namespace brimo::hal::pulse {
namespace {

// A loop with nothing else to wait for sleeps until a request wakes it. Each request here comes
// just as the loop has taken the one before, when a wake-up is easiest to lose; one lost would
// leave the loop asleep for good.
TEST(SessionLoop, EveryRequestWakesAnIdleLoop) {
    constexpr unsigned kStop = 1U;
    constexpr unsigned kPing = 2U;
    SessionLoop loop;
    std::atomic<unsigned> taken{0};
    loop.start([&] {
        for (unsigned requests = 0; (requests & kStop) == 0U && loop.iterate();) {
            requests = loop.takeRequests();
            taken.fetch_add((requests & kPing) != 0U ? 1U : 0U);
        }
    });
    for (unsigned ping = 1; ping <= 2000 && taken.load() == ping - 1; ++ping) {
        loop.request(kPing);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (taken.load() < ping && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        EXPECT_EQ(taken.load(), ping) << "request " << ping << " did not wake the loop";
    }
    loop.request(kStop);
    loop.join();
}

}  // namespace
}  // namespace brimo::hal::pulse
