#include "audio/engine/AudioRingBuffer.h"

#include <algorithm>
#include <cassert>

namespace brimo::audio {

AudioRingBuffer::AudioRingBuffer(std::int64_t capacity)
    : buffer_(static_cast<std::size_t>(std::max<std::int64_t>(capacity, 1)), 0.0F),
      capacity_(std::max<std::int64_t>(capacity, 1)) {
    assert(capacity >= 1);
}

void AudioRingBuffer::storeAt(std::int64_t at, const float* samples, std::int64_t n) {
    const std::int64_t first = std::min(n, capacity_ - at);
    std::copy_n(samples, first, buffer_.begin() + at);
    std::copy_n(samples + first, n - first, buffer_.begin());
}

// The same result as storing sample by sample and advancing the read index past each
// overwritten slot, done as at most two block copies to keep the lock short.
void AudioRingBuffer::write(std::span<const float> samples) {
    const auto m = static_cast<std::int64_t>(samples.size());
    if (m == 0) {
        return;
    }
    const std::lock_guard guard(lock_);
    // Of a write longer than the buffer only the last `capacity` samples survive, and they
    // land where a sample-by-sample write would have put them.
    const std::int64_t kept = std::min(m, capacity_);
    const std::int64_t start = (writeIdx_ + (m - kept)) % capacity_;
    storeAt(start, samples.data() + (m - kept), kept);

    writeIdx_ = (writeIdx_ + m) % capacity_;
    count_ = std::min(count_ + m, capacity_);
    readIdx_ = (writeIdx_ - count_ + capacity_) % capacity_;
}

std::int64_t AudioRingBuffer::read(float* destination, std::int64_t wanted) {
    if (wanted <= 0) {
        return 0;
    }
    const std::lock_guard guard(lock_);
    const std::int64_t k = std::min(count_, wanted);
    const std::int64_t first = std::min(k, capacity_ - readIdx_);
    std::copy_n(buffer_.begin() + readIdx_, first, destination);
    std::copy_n(buffer_.begin(), k - first, destination + first);
    readIdx_ = (readIdx_ + k) % capacity_;
    count_ -= k;
    return k;
}

void AudioRingBuffer::discardOldest(std::int64_t count) {
    const std::lock_guard guard(lock_);
    const std::int64_t dropped = std::clamp<std::int64_t>(count, 0, count_);
    readIdx_ = (readIdx_ + dropped) % capacity_;
    count_ -= dropped;
}

std::int64_t AudioRingBuffer::count() const {
    const std::lock_guard guard(lock_);
    return count_;
}

}  // namespace brimo::audio
