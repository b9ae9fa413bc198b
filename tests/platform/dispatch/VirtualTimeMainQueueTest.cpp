#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/VirtualTimeMainQueue.h"

using namespace std::chrono_literals;
using brimo::dispatch::VirtualTimeMainQueue;

TEST(VirtualTimeMainQueue, RunsDelayedTasksInTimeOrderAtTheirOwnTime) {
    VirtualTimeMainQueue queue;
    std::vector<std::string> ran;
    queue.postAfter(300ms, [&] { ran.push_back("c@" + std::to_string(queue.now() / 1ms)); });
    queue.postAfter(100ms, [&] { ran.push_back("a@" + std::to_string(queue.now() / 1ms)); });
    queue.postAfter(100ms, [&] { ran.push_back("b@" + std::to_string(queue.now() / 1ms)); });
    queue.post([&] { ran.push_back("now@" + std::to_string(queue.now() / 1ms)); });

    EXPECT_EQ(queue.advanceBy(250ms), 3);
    EXPECT_EQ(ran, (std::vector<std::string>{"now@0", "a@100", "b@100"}));
    EXPECT_EQ(queue.now(), 250ms);
    EXPECT_EQ(queue.advanceBy(50ms), 1);
    EXPECT_EQ(ran.back(), "c@300");
    EXPECT_TRUE(queue.isEmpty());
}

TEST(VirtualTimeMainQueue, TasksPostedWhileRunningAreScheduledFromTheirOwnTime) {
    // A chain of 100 ms steps, as a fade does: ten steps land exactly one second later.
    VirtualTimeMainQueue queue;
    std::vector<long> times;
    std::function<void()> step = [&] {
        times.push_back(queue.now() / 1ms);
        if (times.size() < 10) {
            queue.postAfter(100ms, step);
        }
    };
    queue.postAfter(100ms, step);
    queue.advanceBy(1s);
    ASSERT_EQ(times.size(), 10U);
    EXPECT_EQ(times.front(), 100);
    EXPECT_EQ(times.back(), 1000);
}

// Only what is due now runs, tasks posted from other threads among them, on the main thread.
TEST(VirtualTimeMainQueue, RunUntilIdleRunsOnlyWhatIsDueNowOnTheMainThread) {
    VirtualTimeMainQueue queue;
    int immediate = 0;
    int later = 0;
    queue.post([&] {
        ++immediate;
        queue.post([&] { ++immediate; });  // due now as well
    });
    queue.postAfter(1ms, [&] { ++later; });
    bool ranOnMain = false;
    std::thread backend([&] {
        EXPECT_FALSE(queue.isMainThread());
        queue.post([&] { ranOnMain = queue.isMainThread(); });
    });
    backend.join();
    EXPECT_EQ(queue.runUntilIdle(), 3);
    EXPECT_EQ(immediate, 2);
    EXPECT_TRUE(ranOnMain);
    EXPECT_EQ(later, 0);
    EXPECT_FALSE(queue.isEmpty());
}
