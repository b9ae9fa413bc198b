#include "platform/dispatch/EventLoopMainQueue.h"

#include <algorithm>
#include <utility>

namespace brimo::dispatch {

void EventLoopMainQueue::post(Task task) {
    postAfter(Duration::zero(), std::move(task));
}

void EventLoopMainQueue::postAfter(Duration delay, Task task) {
    {
        const std::lock_guard lock(mutex_);
        timeline_.add(now() + std::max(delay, Duration::zero()), std::move(task));
    }
    wake_.notify_one();
}

Duration EventLoopMainQueue::now() const {
    return std::chrono::steady_clock::now().time_since_epoch();
}

bool EventLoopMainQueue::isMainThread() const {
    return mainThread_.load() == std::this_thread::get_id();
}

void EventLoopMainQueue::run() {
    mainThread_.store(std::this_thread::get_id());
    std::unique_lock lock(mutex_);
    quitRequested_ = false;
    while (!quitRequested_) {
        if (auto task = timeline_.takeDue(now())) {
            lock.unlock();
            (*task)();
            lock.lock();
            continue;
        }
        if (auto due = timeline_.nextDue()) {
            wake_.wait_until(lock, std::chrono::steady_clock::time_point(*due));
        } else {
            wake_.wait(lock);
        }
    }
    mainThread_.store(std::thread::id{});
}

void EventLoopMainQueue::quit() {
    {
        const std::lock_guard lock(mutex_);
        quitRequested_ = true;
    }
    wake_.notify_one();
}

}  // namespace brimo::dispatch
