#pragma once

#include <atomic>
#include <chrono>

#include "platform/hal/AudioObject.h"
#include "platform/hal/sim/ClockMode.h"

namespace brimo::hal::sim {

// The backend's host clock in nanoseconds: simulated time moved on by advance(), or the
// monotonic clock since the backend was made.
class SimClock {
  public:
    explicit SimClock(ClockMode mode) : mode_(mode) {}

    [[nodiscard]] ClockMode mode() const { return mode_; }

    [[nodiscard]] UInt64 now() const {
        if (mode_ == ClockMode::stepped) {
            return stepped_.load(std::memory_order_acquire);
        }
        return static_cast<UInt64>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                       std::chrono::steady_clock::now() - epoch_)
                                       .count());
    }

    [[nodiscard]] std::chrono::steady_clock::time_point toSteady(UInt64 ns) const {
        return epoch_ + std::chrono::nanoseconds(ns);
    }

    // Stepped mode only.
    void set(UInt64 ns) { stepped_.store(ns, std::memory_order_release); }

  private:
    const ClockMode mode_;
    const std::chrono::steady_clock::time_point epoch_ = std::chrono::steady_clock::now();
    std::atomic<UInt64> stepped_{0};
};

}  // namespace brimo::hal::sim
