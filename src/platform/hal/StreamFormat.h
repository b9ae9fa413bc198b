#pragma once

#include "platform/hal/AudioTypes.h"

namespace brimo::hal {

// Helpers for the one sample format the units here exchange: 32-bit native-endian float linear
// PCM, interleaved in one buffer or non-interleaved with one buffer per channel.

inline constexpr UInt32 kMaxUnitChannels = 8;

AudioStreamBasicDescription floatStreamFormat(Float64 sampleRate, UInt32 channels,
                                              bool interleaved);

[[nodiscard]] bool isNonInterleaved(const AudioStreamBasicDescription& format);

// 32-bit float, native endian, 1 … kMaxUnitChannels channels, one frame per packet, byte counts
// that agree with the layout, and a finite positive rate.
[[nodiscard]] bool isSupportedFloatFormat(const AudioStreamBasicDescription& format);

}  // namespace brimo::hal
