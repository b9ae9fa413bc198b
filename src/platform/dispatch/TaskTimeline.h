#pragma once

#include <cstdint>
#include <optional>
#include <queue>
#include <vector>

#include "platform/dispatch/MainQueue.h"

namespace brimo::dispatch {

// Tasks ordered by due time, ties broken by posting order. Not thread-safe: the queues that
// use it guard it themselves.
class TaskTimeline {
  public:
    void add(Duration due, Task task);

    // The due time of the earliest task, if any.
    [[nodiscard]] std::optional<Duration> nextDue() const;

    // Removes and returns the earliest task if it is due at or before `time`.
    std::optional<Task> takeDue(Duration time);

    [[nodiscard]] bool empty() const { return entries_.empty(); }

  private:
    struct Entry {
        Duration due;
        std::uint64_t sequence;
        Task task;
    };
    struct Later {
        bool operator()(const Entry& a, const Entry& b) const {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };
    std::priority_queue<Entry, std::vector<Entry>, Later> entries_;
    std::uint64_t nextSequence_ = 0;
};

}  // namespace brimo::dispatch
