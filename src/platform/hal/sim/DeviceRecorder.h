#pragma once

#include <vector>

#include "platform/hal/sim/Recording.h"

namespace brimo::hal::sim {

// The most recent frames a device played, in a ring of fixed size, and how many it played in
// all. append() is real-time safe.
class DeviceRecorder {
  public:
    DeviceRecorder(UInt32 capacityFrames, UInt32 channels);

    // Starts over with another channel count, keeping the capacity in frames.
    void reset(UInt32 channels);
    void append(const float* samples, UInt32 frames);
    [[nodiscard]] Recording snapshot(Float64 sampleRate) const;

  private:
    std::vector<float> ring_;
    UInt32 capacity_;
    UInt32 channels_;
    UInt32 next_ = 0;  // frame slot the next frame goes to
    SInt64 kept_ = 0;
    SInt64 played_ = 0;
};

}  // namespace brimo::hal::sim
