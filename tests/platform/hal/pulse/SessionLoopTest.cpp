#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/hal/pulse/SessionLoop.h"

namespace brimo::hal::pulse {
namespace {

constexpr unsigned kStop = 1U;
constexpr unsigned kPing = 2U;

// A loop with nothing else to wait for sleeps until a request wakes it. Each request here comes
// just as the loop has taken the one before, which is when a wake-up is easiest to lose; one
// lost would leave the loop asleep for good.
TEST(SessionLoop, EveryRequestWakesAnIdleLoop) {
    SessionLoop loop;
    std::atomic<unsigned> taken{0};
    loop.start([&] {
        while (loop.iterate()) {
            const unsigned requests = loop.takeRequests();
            if ((requests & kStop) != 0U) {
                return;
            }
            if ((requests & kPing) != 0U) {
                taken.fetch_add(1);
            }
        }
    });
    constexpr unsigned kPings = 2000;
    for (unsigned ping = 1; ping <= kPings; ++ping) {
        loop.request(kPing);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (taken.load() < ping && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (taken.load() < ping) {
            ADD_FAILURE() << "request " << ping << " did not wake the loop";
            break;
        }
    }
    loop.request(kStop);
    loop.join();
}

}  // namespace
}  // namespace brimo::hal::pulse
