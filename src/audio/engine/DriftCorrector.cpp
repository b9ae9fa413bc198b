#include "audio/engine/DriftCorrector.h"

#include <algorithm>

namespace brimo::audio {
namespace {

// A proportional-integral loop on the smoothed fill error. 20 ms of error asks for the full
// 0.2 % trim; the integral removes the steady error that a constant drift would leave; the
// pair is critically damped with a settling time of about a minute, slow enough that block
// jitter and the time-pitch unit's hop-sized pulls never reach the rate.
constexpr double kProportional = 0.1;  // per second
constexpr double kIntegral = 0.0025;   // per second squared
constexpr double kSmoothingSeconds = 1.0;

}  // namespace

void DriftCorrector::reset(double sampleRate, std::int64_t targetFillFrames) {
    sampleRate_ = sampleRate;
    targetFillFrames_ = targetFillFrames;
    smoothedError_ = 0.0;
    integral_ = 0.0;
    primed_ = false;
    rate_.store(1.0);
    reportedError_.store(0.0);
    minError_.store(0.0);
    maxError_.store(0.0);
    blocks_.store(0);
}

double DriftCorrector::update(std::int64_t fillFrames, std::uint32_t blockFrames) {
    const double error = static_cast<double>(fillFrames - targetFillFrames_) / sampleRate_;
    const double dt = static_cast<double>(blockFrames) / sampleRate_;
    if (!primed_) {
        smoothedError_ = error;
        primed_ = true;
    } else {
        const double alpha = std::min(1.0, dt / kSmoothingSeconds);
        smoothedError_ += alpha * (error - smoothedError_);
    }

    const double proportional = kProportional * smoothedError_;
    // The integral only grows while the trim is not at its limit, so it cannot wind up.
    const double unclamped = proportional + kIntegral * (integral_ + smoothedError_ * dt);
    if (unclamped > -kMaxTrim && unclamped < kMaxTrim) {
        integral_ += smoothedError_ * dt;
    }
    const double trim = std::clamp(proportional + kIntegral * integral_, -kMaxTrim, kMaxTrim);
    const double rate = 1.0 + trim;

    rate_.store(rate, std::memory_order_relaxed);
    reportedError_.store(smoothedError_, std::memory_order_relaxed);
    const std::uint64_t blocks = blocks_.load(std::memory_order_relaxed) + 1;
    // Extremes are judged once the loop has settled past the start's transient.
    if (blocks * blockFrames > static_cast<std::uint64_t>(sampleRate_ * 5.0)) {
        minError_.store(std::min(minError_.load(std::memory_order_relaxed), smoothedError_),
                        std::memory_order_relaxed);
        maxError_.store(std::max(maxError_.load(std::memory_order_relaxed), smoothedError_),
                        std::memory_order_relaxed);
    }
    blocks_.store(blocks, std::memory_order_relaxed);
    return rate;
}

DriftCorrector::Snapshot DriftCorrector::snapshot() const {
    return Snapshot{rate_.load(), reportedError_.load(), minError_.load(), maxError_.load()};
}

}  // namespace brimo::audio
