#pragma once

#include "platform/hal/sim/Signal.h"

namespace brimo::hal::sim {

// One signal playing on a device: renders its next frames at the device's rate and adds them
// to a buffer. Real-time safe.
class SignalPlayer {
  public:
    SignalPlayer(SignalID id, Signal signal, Side side)
        : id_(id), signal_(std::move(signal)), side_(side) {}

    [[nodiscard]] SignalID id() const { return id_; }
    [[nodiscard]] Side side() const { return side_; }

    // Adds the next `frames` frames to the interleaved `destination`.
    void addTo(float* destination, UInt32 frames, UInt32 channels, Float64 sampleRate);

  private:
    SignalID id_;
    Signal signal_;
    Side side_;
    SInt64 position_ = 0;  // frames rendered so far
};

}  // namespace brimo::hal::sim
