#pragma once

#include <algorithm>
#include <atomic>
#include <cmath>
#include <numbers>
#include <thread>
#include <vector>

#include "platform/hal/AudioTypes.h"

namespace brimo::testing {

using hal::Float64;
using hal::UInt32;

// What a capture unit's input callback hands over, and what a playback unit's render
// callback asks for: interleaved frames, on the unit's real-time thread.
class FrameConsumer {
  public:
    virtual ~FrameConsumer() = default;
    virtual void consume(const float* samples, UInt32 frames, UInt32 channels) = 0;
};

class FrameProducer {
  public:
    virtual ~FrameProducer() = default;
    virtual void produce(float* samples, UInt32 frames, UInt32 channels, Float64 sampleRate) = 0;
};

// Keeps the first channel of what a device captured, in storage taken up front.
class Recorder : public FrameConsumer {
  public:
    explicit Recorder(std::size_t capacityFrames) : samples_(capacityFrames) {}

    void consume(const float* samples, UInt32 frames, UInt32 channels) override {
        std::size_t at = recorded_.load(std::memory_order_relaxed);
        for (UInt32 i = 0; i < frames && at < samples_.size(); ++i, ++at) {
            samples_[at] = samples[static_cast<std::size_t>(i) * channels];
        }
        recorded_.store(at, std::memory_order_release);
        largestCall_.store(std::max(largestCall_.load(std::memory_order_relaxed), frames),
                           std::memory_order_relaxed);
    }

    [[nodiscard]] std::size_t recordedFrames() const {
        return recorded_.load(std::memory_order_acquire);
    }
    // What was recorded so far; a copy, safe while recording goes on.
    [[nodiscard]] std::vector<float> samples() const {
        const std::size_t count = recordedFrames();
        return {samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(count)};
    }
    [[nodiscard]] bool heardAnything(float threshold) const {
        const std::size_t count = recordedFrames();
        return std::any_of(samples_.begin(), samples_.begin() + static_cast<std::ptrdiff_t>(count),
                           [&](float sample) { return std::fabs(sample) >= threshold; });
    }
    [[nodiscard]] UInt32 largestCall() const { return largestCall_.load(); }

  private:
    std::vector<float> samples_;
    std::atomic<std::size_t> recorded_{0};
    std::atomic<UInt32> largestCall_{0};
};

// A sine on every channel.
class ToneSource : public FrameProducer {
  public:
    explicit ToneSource(double frequencyHz) : frequencyHz_(frequencyHz) {}

    void produce(float* samples, UInt32 frames, UInt32 channels, Float64 sampleRate) override {
        const double step = 2.0 * std::numbers::pi * frequencyHz_ / sampleRate;
        for (UInt32 i = 0; i < frames; ++i) {
            const auto value = static_cast<float>(0.5 * std::sin(phase_));
            phase_ = std::fmod(phase_ + step, 2.0 * std::numbers::pi);
            std::fill_n(samples + static_cast<std::size_t>(i) * channels, channels, value);
        }
    }

  private:
    double frequencyHz_;
    double phase_ = 0.0;
};

// Interleaved samples handed from one thread to another, without locks or allocation.
class SampleFifo {
  public:
    explicit SampleFifo(std::size_t capacity) : samples_(capacity) {}

    void write(const float* samples, std::size_t count) {
        const std::size_t head = head_.load(std::memory_order_relaxed);
        const std::size_t tail = tail_.load(std::memory_order_acquire);
        count = std::min(count, samples_.size() - (head - tail));
        for (std::size_t i = 0; i < count; ++i) {
            samples_[(head + i) % samples_.size()] = samples[i];
        }
        head_.store(head + count, std::memory_order_release);
    }
    std::size_t read(float* samples, std::size_t count) {
        const std::size_t tail = tail_.load(std::memory_order_relaxed);
        const std::size_t head = head_.load(std::memory_order_acquire);
        count = std::min(count, head - tail);
        for (std::size_t i = 0; i < count; ++i) {
            samples[i] = samples_[(tail + i) % samples_.size()];
        }
        tail_.store(tail + count, std::memory_order_release);
        return count;
    }
    [[nodiscard]] std::size_t size() const {
        return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire);
    }

  private:
    std::vector<float> samples_;
    std::atomic<std::size_t> head_{0};
    std::atomic<std::size_t> tail_{0};
};

// Capture of one device feeding playback on another, as the engine's passthrough does: the
// playback side waits for `prefillSamples` before it starts, then counts what it lacked.
class CaptureIntoFifo : public FrameConsumer {
  public:
    explicit CaptureIntoFifo(SampleFifo& fifo) : fifo_(fifo) {}
    void consume(const float* samples, UInt32 frames, UInt32 channels) override {
        fifo_.write(samples, static_cast<std::size_t>(frames) * channels);
    }

  private:
    SampleFifo& fifo_;
};

class PlayFromFifo : public FrameProducer {
  public:
    PlayFromFifo(SampleFifo& fifo, std::size_t prefillSamples)
        : fifo_(fifo), prefillSamples_(prefillSamples) {}
    void produce(float* samples, UInt32 frames, UInt32 channels, Float64) override {
        thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
        const std::size_t wanted = static_cast<std::size_t>(frames) * channels;
        std::size_t got = 0;
        if (started_ || fifo_.size() >= prefillSamples_) {
            started_ = true;
            got = fifo_.read(samples, wanted);
            if (got < wanted) {
                shortfalls.fetch_add(1, std::memory_order_relaxed);
            }
        }
        std::fill(samples + got, samples + wanted, 0.0F);
    }

    std::atomic<std::size_t> shortfalls{0};
    std::atomic<std::thread::id> thread{};  // the one that renders

  private:
    SampleFifo& fifo_;
    std::size_t prefillSamples_;
    bool started_ = false;
};

}  // namespace brimo::testing
