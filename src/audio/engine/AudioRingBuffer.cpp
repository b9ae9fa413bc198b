#include "audio/engine/AudioRingBuffer.h"

#include <algorithm>
#include <cassert>

namespace brimo::audio {

namespace {

// A writer that laps the reader again and again while it copies leaves it these many tries;
// each one is a copy of one block, so the reader's time stays bounded. Two blocks arriving
// during one copy already takes a stalled reader; more than that ends in a silent block.
constexpr int kReadAttempts = 4;

}  // namespace

AudioRingBuffer::AudioRingBuffer(std::int64_t capacity)
    : capacity_(std::max<std::int64_t>(capacity, 1)) {
    assert(capacity >= 1);
    slots_ = std::make_unique<std::atomic<float>[]>(static_cast<std::size_t>(capacity_));
    for (std::int64_t i = 0; i < capacity_; ++i) {
        slots_[static_cast<std::size_t>(i)].store(0.0F, std::memory_order_relaxed);
    }
}

// Positions are the writer's to advance, so it reads its own without ordering. Of a write
// longer than the buffer only the last `capacity` samples are stored: the others would be
// overwritten by the same write anyway.
void AudioRingBuffer::write(std::span<const float> samples) {
    const auto m = static_cast<std::int64_t>(samples.size());
    if (m == 0) {
        return;
    }
    const std::int64_t end = writePosition_.load(std::memory_order_relaxed) + m;
    const std::int64_t kept = std::min(m, capacity_);

    // The claim goes out before any slot changes. The slot stores below are releases: a
    // reader whose acquire load sees any of them also sees this claim, and so knows that what
    // it copied may be newer audio than it asked for. (On x86-64 both are plain moves.)
    claimedPosition_.store(end, std::memory_order_relaxed);

    const float* source = samples.data() + (m - kept);
    const std::int64_t start = (end - kept) % capacity_;
    const std::int64_t first = std::min(kept, capacity_ - start);
    std::atomic<float>* slots = slots_.get();
    for (std::int64_t i = 0; i < first; ++i) {
        slots[start + i].store(source[i], std::memory_order_release);
    }
    for (std::int64_t i = first; i < kept; ++i) {
        slots[i - first].store(source[i], std::memory_order_release);
    }

    // Release: a reader that acquires this position sees every slot stored above.
    writePosition_.store(end, std::memory_order_release);
}

void AudioRingBuffer::copyOut(std::int64_t from, float* destination, std::int64_t n) const {
    const std::int64_t start = from % capacity_;
    const std::int64_t first = std::min(n, capacity_ - start);
    const std::atomic<float>* slots = slots_.get();
    for (std::int64_t i = 0; i < first; ++i) {
        destination[i] = slots[start + i].load(std::memory_order_acquire);
    }
    for (std::int64_t i = first; i < n; ++i) {
        destination[i] = slots[i - first].load(std::memory_order_acquire);
    }
}

// The reader owns its position, so it reads it without ordering. Lapped, it starts at the
// oldest sample that can still be there: exactly what discarding the oldest sample for every
// sample written into a full buffer leaves.
std::int64_t AudioRingBuffer::resyncedReadPosition(std::int64_t written) {
    const std::int64_t position = readPosition_.load(std::memory_order_relaxed);
    if (written - position <= capacity_) {
        return position;
    }
    overruns_.store(overruns_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    return written - capacity_;
}

std::int64_t AudioRingBuffer::read(float* destination, std::int64_t wanted) {
    if (wanted <= 0) {
        return 0;
    }
    std::int64_t touched = 0;
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        // Acquire: pairs with the writer's release store, so the slots up to here hold at
        // least the samples of these positions.
        const std::int64_t written = writePosition_.load(std::memory_order_acquire);
        const std::int64_t from = resyncedReadPosition(written);
        // A write longer than the buffer may claim past what it has published: nothing is
        // readable until it has.
        const std::int64_t k = std::clamp<std::int64_t>(written - from, 0, wanted);
        copyOut(from, destination, k);
        touched = std::max(touched, k);

        // The slots were acquired (see write): a slot copied from a later write shows here as
        // a claim that reaches into what was copied.
        const std::int64_t oldestIntact =
            claimedPosition_.load(std::memory_order_relaxed) - capacity_;
        if (oldestIntact <= from) {
            // Release: count() on another thread sees the samples it no longer counts as read.
            readPosition_.store(from + k, std::memory_order_release);
            // What an earlier, lapped attempt put beyond k is not the caller's any more; it
            // becomes the silence a short read leaves behind.
            std::fill(destination + k, destination + touched, 0.0F);
            return k;
        }
        // The writer lapped us while we copied: skip the audio it overwrote and copy again.
        overruns_.store(overruns_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        readPosition_.store(oldestIntact, std::memory_order_relaxed);
    }
    std::fill(destination, destination + touched, 0.0F);
    return 0;
}

void AudioRingBuffer::discardOldest(std::int64_t count) {
    const std::int64_t written = writePosition_.load(std::memory_order_acquire);
    const std::int64_t from = resyncedReadPosition(written);
    const std::int64_t to =
        std::max(from, std::min(from + std::max<std::int64_t>(count, 0), written));
    readPosition_.store(to, std::memory_order_release);
}

// Acquire on both: a snapshot no older than the last stores either side made.
std::int64_t AudioRingBuffer::count() const {
    const std::int64_t written = writePosition_.load(std::memory_order_acquire);
    const std::int64_t read = readPosition_.load(std::memory_order_acquire);
    return std::clamp<std::int64_t>(written - read, 0, capacity_);
}

}  // namespace brimo::audio
