#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"

using namespace std::chrono_literals;
using brimo::dispatch::SerialQueue;

TEST(SerialQueue, RunsTasksOneAtATimeInCallOrderOnItsOwnThread) {
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    bool onQueueThread = true;
    {
        SerialQueue queue("com.brimolavetrix.audioengine");
        for (int i = 0; i < 20; ++i) {
            queue.async([&, i] {
                overlapped = overlapped || running.fetch_add(1) != 0;
                onQueueThread = onQueueThread && queue.isCurrent();
                if (i % 5 == 0) {
                    std::this_thread::sleep_for(1ms);
                }
                order.push_back(i);
                running.fetch_sub(1);
            });
        }
        queue.sync([&] { order.push_back(100); });
        EXPECT_FALSE(queue.isCurrent());
    }
    ASSERT_EQ(order.size(), 21U);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(order[static_cast<std::size_t>(i)], i);
    }
    EXPECT_EQ(order.back(), 100);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(onQueueThread);
}

TEST(SerialQueue, DestructionRunsWhatIsQueued) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("q");
        queue.async([&] { std::this_thread::sleep_for(5ms); });
        for (int i = 0; i < 5; ++i) {
            queue.async([&] { ran.fetch_add(1); });
        }
    }
    EXPECT_EQ(ran.load(), 5);
}

TEST(SerialQueue, SyncFromItsOwnThreadDoesNotDeadlockAndRethrows) {
    SerialQueue queue("q");
    int value = 0;
    queue.sync([&] { queue.sync([&] { value = 7; }); });
    EXPECT_EQ(value, 7);
    EXPECT_THROW(queue.sync([] { throw std::runtime_error("boom"); }), std::runtime_error);
    queue.sync([&] { value = 8; });  // still serving after a failed task
    EXPECT_EQ(value, 8);
}

TEST(SerialQueue, MayBeDestroyedByOneOfItsOwnTasks) {
    // The task holds the last reference to the queue's owner, as an engine sequence can.
    struct Owner {
        SerialQueue queue{"owner"};
    };
    auto owner = std::make_shared<Owner>();
    std::promise<void> released;
    owner->queue.async([keep = owner, &released]() mutable {
        keep.reset();  // not the last one yet
    });
    Owner* raw = owner.get();
    raw->queue.async([keep = std::move(owner), &released]() mutable {
        keep.reset();  // the last one: the queue is destroyed on its own thread
        released.set_value();
    });
    EXPECT_EQ(released.get_future().wait_for(5s), std::future_status::ready);
}
