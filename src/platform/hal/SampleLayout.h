#pragma once

#include <algorithm>
#include <cmath>
#include <concepts>
#include <cstddef>

#include "platform/hal/AudioTypes.h"

namespace brimo::hal {

// The arithmetic of the one sample format units exchange (32-bit float, interleaved frames or
// one plane per channel), named once. Real-time safe: no allocation, no branches in the loops
// beyond their counters, so they run several samples at a time.

inline constexpr UInt32 kBytesPerFloatSample = sizeof(float);
inline constexpr UInt32 kStereoChannels = 2;
inline constexpr UInt32 kBytesPerStereoFrame = kStereoChannels * kBytesPerFloatSample;

// Bytes of `frames` frames of `channels` samples each.
[[nodiscard]] constexpr UInt32 floatBytes(UInt32 frames, UInt32 channels = 1) {
    return frames * channels * kBytesPerFloatSample;
}

// Whole frames of `channels` samples that `bytes` hold.
[[nodiscard]] constexpr UInt32 floatFrames(UInt32 bytes, UInt32 channels = 1) {
    return bytes / (channels * kBytesPerFloatSample);
}

// Samples in `frames` interleaved stereo frames, and the whole frames `samples` hold, in the
// caller's integer type.
template <std::integral N>
[[nodiscard]] constexpr N stereoSamples(N frames) {
    return frames * static_cast<N>(kStereoChannels);
}
template <std::integral N>
[[nodiscard]] constexpr N stereoFrames(N samples) {
    return samples / static_cast<N>(kStereoChannels);
}

// Samples in `frames` interleaved frames of `channels` samples each; also where frame `frames`
// starts among them.
[[nodiscard]] constexpr std::size_t interleavedSamples(std::size_t frames, UInt32 channels) {
    return frames * channels;
}

// Full scale at most either way; a NaN becomes silence rather than reaching the speakers.
// Without branches, so loops that call it stay vectorised.
[[nodiscard]] inline float clampSample(float x) {
    const float clamped = std::max(std::min(x, 1.0F), -1.0F);
    return std::isnan(x) ? 0.0F : clamped;
}

// Stereo planes into interleaved frames, each sample passed through `map` on the way.
template <typename Map>
void interleaveStereo(const float* left, const float* right, std::size_t frames, float* out,
                      Map map) {
    for (std::size_t j = 0; j < frames; ++j) {
        out[2 * j] = map(left[j]);
        out[2 * j + 1] = map(right[j]);
    }
}

// Interleaved stereo frames into two planes.
inline void deinterleaveStereo(const float* frames, std::size_t n, float* left, float* right) {
    for (std::size_t j = 0; j < n; ++j) {
        left[j] = frames[2 * j];
        right[j] = frames[2 * j + 1];
    }
}

// Interleaved frames of `channels` samples into one plane per channel, `stride` samples apart.
inline void deinterleave(const float* frames, UInt32 channels, UInt32 n, float* planes,
                         std::size_t stride) {
    for (UInt32 c = 0; c < channels; ++c) {
        for (UInt32 f = 0; f < n; ++f) {
            planes[c * stride + f] = frames[static_cast<std::size_t>(f) * channels + c];
        }
    }
}

// Planes `stride` samples apart into interleaved frames of `channels` samples.
inline void interleave(const float* planes, std::size_t stride, UInt32 channels, UInt32 n,
                       float* frames) {
    for (UInt32 c = 0; c < channels; ++c) {
        for (UInt32 f = 0; f < n; ++f) {
            frames[static_cast<std::size_t>(f) * channels + c] = planes[c * stride + f];
        }
    }
}

}  // namespace brimo::hal
