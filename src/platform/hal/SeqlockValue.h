#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <thread>
#include <type_traits>

namespace brimo::hal {

// A value that one thread publishes and any thread reads whole, without a lock: the writer
// never waits (a real-time thread may be the writer), and a reader that met a write under way
// reads again. The value lives in atomic words, so a read that races a write is a defined race,
// detected by the sequence count and discarded.
template <typename T>
class SeqlockValue {
    static_assert(std::is_trivially_copyable_v<T>, "the value is copied word by word");

  public:
    explicit SeqlockValue(const T& initial = T{}) { store(initial); }

    // The one writer only.
    void store(const T& value) {
        const std::uint64_t sequence = sequence_.load(std::memory_order_relaxed);
        sequence_.store(sequence + 1, std::memory_order_relaxed);  // odd: a write is under way
        Words words{};
        std::memcpy(words.data(), &value, sizeof(T));
        // Each word released: a reader that sees one sees the odd count before it. (No fences,
        // which the thread sanitizer cannot follow.)
        for (std::size_t i = 0; i < kWords; ++i) {
            words_[i].store(words[i], std::memory_order_release);
        }
        sequence_.store(sequence + 2, std::memory_order_release);
    }

    // Any thread.
    [[nodiscard]] T load() const {
        Words words{};
        while (true) {
            const std::uint64_t before = sequence_.load(std::memory_order_acquire);
            for (std::size_t i = 0; i < kWords; ++i) {
                words[i] = words_[i].load(std::memory_order_acquire);
            }
            if ((before & 1U) == 0 && sequence_.load(std::memory_order_relaxed) == before) {
                break;
            }
            std::this_thread::yield();  // the writer is in the middle of a store
        }
        T value{};
        std::memcpy(static_cast<void*>(&value), words.data(), sizeof(T));  // trivially copyable
        return value;
    }

  private:
    static constexpr std::size_t kWords =
        (sizeof(T) + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t);
    using Words = std::array<std::uint64_t, kWords>;

    std::atomic<std::uint64_t> sequence_{0};
    std::array<std::atomic<std::uint64_t>, kWords> words_{};
};

}  // namespace brimo::hal
