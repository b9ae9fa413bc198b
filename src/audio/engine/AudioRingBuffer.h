#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

namespace brimo::audio {

// The hand-over point between the capture callback (the one writer) and the time-pitch input
// procedure (the one reader): interleaved stereo float samples, counted in samples. Neither
// side ever waits for the other: there is no lock, only two positions that each side advances
// alone. A full buffer drops its oldest samples, never the newest: the writer always writes,
// and the reader, finding that the writer has lapped it, skips to the oldest sample still
// there (the resync). Read results are exactly those of a queue that discards its oldest
// sample for each one written when full.
class AudioRingBuffer {
  public:
    // `capacity` samples, all silent; it must be at least 1.
    explicit AudioRingBuffer(std::int64_t capacity);

    // Writer only. Appends every sample; of a write longer than the buffer only the last
    // `capacity` samples stay.
    void write(std::span<const float> samples);

    // Reader only. Copies up to `wanted` of the oldest unread samples to the start of
    // `destination` and returns how many it copied. Positions after that are left as the
    // caller filled them.
    std::int64_t read(float* destination, std::int64_t wanted);

    // Reader only. Drops up to `count` of the oldest unread samples.
    void discardOldest(std::int64_t count);

    [[nodiscard]] std::int64_t capacity() const { return capacity_; }
    // Unread samples, at most `capacity`. Exact on the reader's thread (and whenever the writer
    // is idle); from elsewhere a snapshot that may already be out of date.
    [[nodiscard]] std::int64_t count() const;
    // Reader's count of the times it found itself lapped and skipped the oldest audio.
    [[nodiscard]] std::uint64_t overruns() const {
        return overruns_.load(std::memory_order_relaxed);
    }

  private:
    // Copies positions [from, from + n) into `destination`.
    void copyOut(std::int64_t from, float* destination, std::int64_t n) const;
    // Where the reader starts: its own position, or the oldest sample still intact when the
    // writer has lapped it.
    std::int64_t resyncedReadPosition(std::int64_t written);

    // Slots are atomics only so that a reader racing a writer that laps it is a defined race
    // (detected and discarded, see read()) rather than undefined behaviour; their accesses
    // to them compile to plain loads and stores.
    std::unique_ptr<std::atomic<float>[]> slots_;
    const std::int64_t capacity_;
    // Positions count every sample since creation (they never wrap in practice: 2^63 samples
    // is millions of years of audio); slot = position mod capacity.
    std::atomic<std::int64_t> writePosition_{0};    // end of the published samples
    std::atomic<std::int64_t> claimedPosition_{0};  // end of the write in progress
    std::atomic<std::int64_t> readPosition_{0};
    std::atomic<std::uint64_t> overruns_{0};
};

}  // namespace brimo::audio
