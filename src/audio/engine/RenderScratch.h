#pragma once

#include <cstdint>
#include <vector>

#include "platform/hal/SampleLayout.h"

namespace brimo::audio {

// Storage the render callbacks work in, taken once per start and kept between calls so that
// the real-time threads never allocate: the capture thread's block (captured) and the playback
// thread's slices (the rest).
struct RenderScratch {
    // Most frames one time-pitch pull asks for, and the slice the playback side pulls in.
    static constexpr std::uint32_t kTimePitchSliceFrames = 512;

    std::vector<float> captured;       // interleaved capture block
    std::vector<float> timePitchFeed;  // interleaved frames read from the ring buffer
    std::vector<float> left;           // one time-pitch slice, left channel
    std::vector<float> right;          // one time-pitch slice, right channel

    void reserve(std::uint32_t maxCaptureFrames) {
        captured.assign(hal::stereoSamples<std::size_t>(maxCaptureFrames), 0.0F);
        timePitchFeed.assign(hal::stereoSamples<std::size_t>(kTimePitchSliceFrames), 0.0F);
        left.assign(kTimePitchSliceFrames, 0.0F);
        right.assign(kTimePitchSliceFrames, 0.0F);
    }
    [[nodiscard]] std::uint32_t maxCaptureFrames() const {
        return static_cast<std::uint32_t>(hal::stereoFrames(captured.size()));
    }
};

}  // namespace brimo::audio
