#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "platform/dispatch/EventLoopMainQueue.h"

using namespace std::chrono_literals;
using brimo::dispatch::EventLoopMainQueue;

TEST(EventLoopMainQueue, RunsPostedAndDelayedTasksInDueOrderUntilQuit) {
    EventLoopMainQueue queue;
    std::vector<int> order;
    bool allOnMain = true;
    const auto record = [&](int n) {
        allOnMain = allOnMain && queue.isMainThread();
        order.push_back(n);
    };
    std::thread other([&] { queue.post([&] { record(1); }); });
    other.join();
    queue.postAfter(20ms, [&] {
        record(3);
        queue.quit();
    });
    queue.postAfter(5ms, [&] { record(2); });
    queue.post([&] { record(1); });

    queue.run();
    EXPECT_EQ(order, (std::vector<int>{1, 1, 2, 3}));
    EXPECT_TRUE(allOnMain);
    EXPECT_FALSE(queue.isMainThread());

    // A quit from another thread wakes a loop that waits for nothing: run() returns. It comes
    // once the loop runs (run() forgets an earlier quit).
    std::promise<void> running;
    queue.post([&] { running.set_value(); });
    std::thread stopper([&] {
        running.get_future().wait();
        std::this_thread::sleep_for(10ms);
        queue.quit();
    });
    queue.run();
    stopper.join();
}
