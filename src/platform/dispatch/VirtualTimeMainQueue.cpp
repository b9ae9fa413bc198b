#include "platform/dispatch/VirtualTimeMainQueue.h"

#include <algorithm>
#include <utility>

namespace brimo::dispatch {

VirtualTimeMainQueue::VirtualTimeMainQueue() : mainThread_(std::this_thread::get_id()) {}

void VirtualTimeMainQueue::post(Task task) {
    postAfter(Duration::zero(), std::move(task));
}

void VirtualTimeMainQueue::postAfter(Duration delay, Task task) {
    const std::lock_guard lock(mutex_);
    timeline_.add(now_ + std::max(delay, Duration::zero()), std::move(task));
}

Duration VirtualTimeMainQueue::now() const {
    const std::lock_guard lock(mutex_);
    return now_;
}

bool VirtualTimeMainQueue::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

std::optional<Task> VirtualTimeMainQueue::takeDueAt(Duration time) {
    const std::lock_guard lock(mutex_);
    auto due = timeline_.nextDue();
    if (!due || *due > time) {
        return std::nullopt;
    }
    now_ = std::max(now_, *due);
    return timeline_.takeDue(time);
}

int VirtualTimeMainQueue::runUntilIdle() {
    int ran = 0;
    const Duration time = now();
    while (auto task = takeDueAt(time)) {
        (*task)();
        ++ran;
    }
    return ran;
}

int VirtualTimeMainQueue::advanceBy(Duration duration) {
    const Duration end = now() + duration;
    int ran = 0;
    while (auto task = takeDueAt(end)) {
        (*task)();
        ++ran;
    }
    const std::lock_guard lock(mutex_);
    now_ = end;
    return ran;
}

bool VirtualTimeMainQueue::isEmpty() const {
    const std::lock_guard lock(mutex_);
    return timeline_.empty();
}

}  // namespace brimo::dispatch
