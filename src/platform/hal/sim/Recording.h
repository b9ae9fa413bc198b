#pragma once

#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::sim {

// What a device played, most recent last.
struct Recording {
    std::vector<float> samples;  // interleaved
    UInt32 channels = 0;
    Float64 sampleRate = 0.0;
    SInt64 firstFrame = 0;    // the device frame of samples[0]
    SInt64 framesPlayed = 0;  // every frame the device played, also those no longer kept

    [[nodiscard]] SInt64 frames() const {
        return channels == 0 ? 0 : static_cast<SInt64>(samples.size() / channels);
    }
    [[nodiscard]] std::vector<float> channel(UInt32 c) const;
};

}  // namespace brimo::hal::sim
