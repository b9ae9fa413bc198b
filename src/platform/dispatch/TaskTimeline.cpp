#include "platform/dispatch/TaskTimeline.h"

#include <utility>

namespace brimo::dispatch {

void TaskTimeline::add(Duration due, Task task) {
    entries_.push(Entry{due, nextSequence_++, std::move(task)});
}

std::optional<Duration> TaskTimeline::nextDue() const {
    if (entries_.empty()) {
        return std::nullopt;
    }
    return entries_.top().due;
}

std::optional<Task> TaskTimeline::takeDue(Duration time) {
    if (entries_.empty() || entries_.top().due > time) {
        return std::nullopt;
    }
    // priority_queue only exposes a const top; the entry is popped right after the move.
    Task task = std::move(const_cast<Entry&>(entries_.top()).task);  // NOLINT
    entries_.pop();
    return task;
}

}  // namespace brimo::dispatch
