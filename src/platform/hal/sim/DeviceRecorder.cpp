#include "platform/hal/sim/DeviceRecorder.h"

#include <algorithm>

namespace brimo::hal::sim {

DeviceRecorder::DeviceRecorder(UInt32 capacityFrames, UInt32 channels)
    : capacity_(std::max<UInt32>(capacityFrames, 1)), channels_(channels) {
    reset(channels);
}

void DeviceRecorder::reset(UInt32 channels) {
    channels_ = channels;
    ring_.assign(static_cast<std::size_t>(capacity_) * channels_, 0.0F);
    next_ = 0;
    kept_ = 0;
}

void DeviceRecorder::append(const float* samples, UInt32 frames) {
    played_ += frames;
    if (channels_ == 0) {
        return;
    }
    // Of a block longer than the ring only its tail survives.
    const UInt32 skipped = frames > capacity_ ? frames - capacity_ : 0;
    const float* from = samples + static_cast<std::size_t>(skipped) * channels_;
    UInt32 left = frames - skipped;
    while (left > 0) {
        const UInt32 n = std::min(left, capacity_ - next_);
        std::copy_n(from, static_cast<std::size_t>(n) * channels_,
                    ring_.begin() + static_cast<std::ptrdiff_t>(next_) * channels_);
        from += static_cast<std::size_t>(n) * channels_;
        next_ = (next_ + n) % capacity_;
        left -= n;
    }
    kept_ = std::min<SInt64>(kept_ + frames, capacity_);
}

Recording DeviceRecorder::snapshot(Float64 sampleRate) const {
    Recording r;
    r.channels = channels_;
    r.sampleRate = sampleRate;
    r.framesPlayed = played_;
    r.firstFrame = played_ - kept_;
    r.samples.resize(static_cast<std::size_t>(kept_) * channels_);
    const auto start = static_cast<UInt32>((next_ + capacity_ - kept_) % capacity_);
    for (SInt64 i = 0; i < kept_; ++i) {
        const auto slot = static_cast<std::size_t>((start + i) % capacity_);
        std::copy_n(ring_.begin() + static_cast<std::ptrdiff_t>(slot * channels_), channels_,
                    r.samples.begin() + static_cast<std::ptrdiff_t>(i * channels_));
    }
    return r;
}

}  // namespace brimo::hal::sim
