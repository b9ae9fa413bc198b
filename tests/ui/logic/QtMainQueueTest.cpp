#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "ui/dispatch/QtMainQueue.h"
#include "ui/logic/CoreApplication.h"

namespace brimo::ui {
namespace {

using namespace std::chrono_literals;

class QtMainQueueTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { ensureCoreApplication(); }

    static bool runUntil(const std::function<bool()>& done) { return runEventsUntil(done, 5000); }
};

TEST_F(QtMainQueueTest, TasksPostedFromAnyThreadRunOnTheMainThreadInOrder) {
    QtMainQueue queue;
    EXPECT_TRUE(queue.isMainThread());
    std::vector<int> order;
    std::vector<bool> onMain;
    const auto record = [&](int n) {
        return [&, n] {
            order.push_back(n);
            onMain.push_back(QThread::currentThread() == QCoreApplication::instance()->thread());
        };
    };
    queue.post(record(1));
    bool workerSawMainThread = true;
    std::thread worker([&] {
        workerSawMainThread = queue.isMainThread();
        queue.post(record(2));
        queue.post(record(3));
    });
    worker.join();
    EXPECT_FALSE(workerSawMainThread);
    ASSERT_TRUE(runUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(onMain, (std::vector<bool>{true, true, true}));
}

TEST_F(QtMainQueueTest, DelayedTasksWaitTheirTimeEvenWhenPostedFromAnotherThread) {
    QtMainQueue queue;
    std::vector<int> order;
    const auto start = queue.now();
    dispatch::Duration ranAfter{};
    queue.postAfter(120ms, [&] {
        order.push_back(2);
        ranAfter = queue.now() - start;
    });
    std::thread worker([&] { queue.postAfter(40ms, [&] { order.push_back(1); }); });
    worker.join();
    queue.postAfter(0ms, [&] { order.push_back(0); });
    ASSERT_TRUE(runUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    // Qt's timers count whole milliseconds: at most one early.
    EXPECT_GE(ranAfter, 119ms);
}

TEST_F(QtMainQueueTest, TasksStillPendingWhenTheQueueGoesAreDroppedNotRun) {
    int runs = 0;
    {
        QtMainQueue queue;
        queue.post([&] { ++runs; });
        queue.postAfter(10ms, [&] { ++runs; });
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    QThread::msleep(30);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
    EXPECT_EQ(runs, 0);
}

TEST_F(QtMainQueueTest, FiredTimersAreLetGo) {
    QtMainQueue queue;
    int runs = 0;
    for (int i = 0; i < 50; ++i) {
        queue.postAfter(1ms, [&] { ++runs; });
    }
    ASSERT_TRUE(runUntil([&] { return runs == 50; }));
    // Each timer deletes itself once it has fired (a deferred deletion, run with the loop).
    EXPECT_TRUE(runUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return queue.pendingTimerCount() == 0;
    }));
}

}  // namespace
}  // namespace brimo::ui
