#pragma once

#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace brimo::audio {

// The hand-over point between the capture callback (the one writer) and the time-pitch input
// procedure (the one reader): interleaved stereo float samples, counted in samples. A full
// buffer drops its oldest samples to make room, so the writer never blocks or fails. Shared
// through std::shared_ptr so that a callback in flight keeps its buffer alive across a stop.
class AudioRingBuffer {
  public:
    // `capacity` samples, all silent; it must be at least 1.
    explicit AudioRingBuffer(std::int64_t capacity);

    // Appends every sample; when full, the oldest unread samples are discarded one for one.
    void write(std::span<const float> samples);

    // Copies up to `wanted` of the oldest unread samples to the start of `destination` and
    // returns how many it copied. Positions after that are left as the caller filled them.
    std::int64_t read(float* destination, std::int64_t wanted);

    // Drops up to `count` of the oldest unread samples.
    void discardOldest(std::int64_t count);

    [[nodiscard]] std::int64_t capacity() const { return capacity_; }
    [[nodiscard]] std::int64_t count() const;

  private:
    // Copies `n` samples into the storage starting at slot `at`, wrapping at the end.
    void storeAt(std::int64_t at, const float* samples, std::int64_t n);

    std::vector<float> buffer_;
    const std::int64_t capacity_;
    std::int64_t writeIdx_ = 0;
    std::int64_t readIdx_ = 0;
    std::int64_t count_ = 0;
    mutable std::mutex lock_;
};

}  // namespace brimo::audio
