#pragma once

#include <mutex>
#include <thread>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/TaskTimeline.h"

namespace brimo::dispatch {

// A main queue whose clock moves only when a test says so, making timers, fades and delayed
// checks exact and instant. The thread that creates it is its main thread. Other threads may
// post (as backend listeners do); their tasks run at the next drain on the main thread.
class VirtualTimeMainQueue final : public MainQueue {
  public:
    VirtualTimeMainQueue();

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    [[nodiscard]] Duration now() const override;
    [[nodiscard]] bool isMainThread() const override;

    // Runs every task due now, including tasks those tasks post for now. Returns how many ran.
    int runUntilIdle();

    // Moves the clock forward by `duration`, running each delayed task at its own due time, in
    // time order, then everything due at the end. Returns how many tasks ran.
    int advanceBy(Duration duration);

    // True when no task is waiting, due or delayed.
    [[nodiscard]] bool isEmpty() const;

  private:
    std::optional<Task> takeDueAt(Duration time);

    const std::thread::id mainThread_;
    mutable std::mutex mutex_;
    TaskTimeline timeline_;
    Duration now_{0};
};

}  // namespace brimo::dispatch
