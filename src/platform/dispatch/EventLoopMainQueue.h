#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/TaskTimeline.h"

namespace brimo::dispatch {

// A plain event loop for headless tools: the thread that calls run() becomes the main thread
// and runs tasks on the steady clock until quit() is called.
class EventLoopMainQueue final : public MainQueue {
  public:
    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    [[nodiscard]] Duration now() const override;
    [[nodiscard]] bool isMainThread() const override;

    // Runs tasks until quit(); tasks still waiting then stay queued for a later run().
    void run();

    // Makes run() return after the task in progress; safe from any thread.
    void quit();

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    TaskTimeline timeline_;
    bool quitRequested_ = false;
    std::atomic<std::thread::id> mainThread_{};
};

}  // namespace brimo::dispatch
