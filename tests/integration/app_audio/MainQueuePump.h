#pragma once

#include <chrono>
#include <functional>

#include "platform/dispatch/EventLoopMainQueue.h"

namespace brimo::testing {

// Runs the main queue on the calling thread, which is the main thread while it does, until
// `done` holds (checked every 10 ms) or `timeout` has passed; true if it held.
inline bool pumpUntil(dispatch::EventLoopMainQueue& queue, const std::function<bool()>& done,
                      std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool met = false;
    std::function<void()> check;
    check = [&] {
        if (done()) {
            met = true;
            queue.quit();
        } else if (std::chrono::steady_clock::now() >= deadline) {
            queue.quit();
        } else {
            queue.postAfter(std::chrono::milliseconds(10), check);
        }
    };
    queue.post(check);
    queue.run();
    return met;
}

}  // namespace brimo::testing
