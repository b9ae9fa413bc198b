#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <optional>

namespace brimo::audio {

// Raw input levels from the capture thread to the main thread without allocating or locking:
// a single-producer single-consumer queue of fixed size. When the main thread falls far
// behind, the newest levels are dropped rather than blocking the capture thread.
class LevelHandOff {
  public:
    static constexpr std::size_t kCapacity = 1024;

    // Capture thread.
    bool push(float level) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t next = (head + 1) % kCapacity;
        if (next == tail_.load(std::memory_order_acquire)) {
            return false;
        }
        levels_[head] = level;
        head_.store(next, std::memory_order_release);
        return true;
    }

    // Main thread.
    std::optional<float> pop() {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        if (tail == head_.load(std::memory_order_acquire)) {
            return std::nullopt;
        }
        const float level = levels_[tail];
        tail_.store((tail + 1) % kCapacity, std::memory_order_release);
        return level;
    }

    [[nodiscard]] bool isEmpty() const {
        return tail_.load(std::memory_order_acquire) == head_.load(std::memory_order_acquire);
    }

  private:
    std::array<float, kCapacity> levels_{};
    alignas(64) std::atomic<std::size_t> head_{0};
    alignas(64) std::atomic<std::size_t> tail_{0};
};

}  // namespace brimo::audio
