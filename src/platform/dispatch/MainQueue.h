#pragma once

#include <chrono>
#include <functional>

namespace brimo::dispatch {

using Task = std::function<void()>;
using Duration = std::chrono::nanoseconds;

// The queue of the main thread, where controllers, services, timers and every published change
// run. Posting is safe from any thread; tasks run one at a time on the main thread, in the
// order they became due (posting order for tasks due at the same moment).
class MainQueue {
  public:
    virtual ~MainQueue() = default;

    // Runs the task on the main thread as soon as possible, never inside this call.
    virtual void post(Task task) = 0;

    // Runs the task on the main thread once the delay has passed.
    virtual void postAfter(Duration delay, Task task) = 0;

    // Time as this queue sees it: monotonic, starting wherever the queue likes.
    [[nodiscard]] virtual Duration now() const = 0;

    [[nodiscard]] virtual bool isMainThread() const = 0;
};

}  // namespace brimo::dispatch
