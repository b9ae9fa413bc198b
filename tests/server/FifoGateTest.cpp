// The hash gate lets waiters in in the order they came, so none is overtaken indefinitely.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "accounts/FifoGate.h"

namespace brimo::server::testing {
namespace {

TEST(FifoGateTest, WaitersEnterInTheOrderTheyCameAndNoMoreThanThePlacesAtOnce) {
    // One place, so the order they enter in is the order they note it in.
    constexpr unsigned kPlaces = 1;
    constexpr int kWaiters = 8;
    FifoGate gate(kPlaces);
    gate.enter();
    std::mutex mutex;
    std::vector<int> order;
    int inside = 0;
    int mostInside = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i) {
        waiters.emplace_back([&, i] {
            const FifoGate::Place place(gate);
            {
                std::lock_guard lock(mutex);
                order.push_back(i);
                mostInside = std::max(mostInside, ++inside);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard lock(mutex);
            --inside;
        });
        // The next one comes only once this one waits.
        while (gate.waiting() < static_cast<unsigned>(i + 1)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    gate.leave();
    for (auto& waiter : waiters) {
        waiter.join();
    }
    std::vector<int> arrival(kWaiters);
    std::iota(arrival.begin(), arrival.end(), 0);
    EXPECT_EQ(order, arrival);
    EXPECT_LE(mostInside, static_cast<int>(kPlaces));
    EXPECT_EQ(gate.waiting(), 0U);
}

}  // namespace
}  // namespace brimo::server::testing
