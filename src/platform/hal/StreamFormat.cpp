#include "platform/hal/StreamFormat.h"

#include <cmath>

namespace brimo::hal {

namespace {
constexpr UInt32 kBytesPerSample = 4;
}

AudioStreamBasicDescription floatStreamFormat(Float64 sampleRate, UInt32 channels,
                                              bool interleaved) {
    AudioStreamBasicDescription format;
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = interleaved ? kAudioFormatFlagsNativeFloatPacked
                                      : kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerFrame = interleaved ? kBytesPerSample * channels : kBytesPerSample;
    format.mBytesPerPacket = format.mBytesPerFrame;
    format.mFramesPerPacket = 1;
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 8 * kBytesPerSample;
    return format;
}

bool isNonInterleaved(const AudioStreamBasicDescription& format) {
    return (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

bool isSupportedFloatFormat(const AudioStreamBasicDescription& format) {
    const AudioFormatFlags flags = format.mFormatFlags;
    if (format.mFormatID != kAudioFormatLinearPCM || (flags & kAudioFormatFlagIsFloat) == 0 ||
        (flags & (kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger)) != 0) {
        return false;
    }
    if (format.mBitsPerChannel != 8 * kBytesPerSample || format.mFramesPerPacket != 1 ||
        format.mChannelsPerFrame < 1 || format.mChannelsPerFrame > kMaxUnitChannels) {
        return false;
    }
    const UInt32 frameBytes =
        isNonInterleaved(format) ? kBytesPerSample : kBytesPerSample * format.mChannelsPerFrame;
    return format.mBytesPerFrame == frameBytes && format.mBytesPerPacket == frameBytes &&
           std::isfinite(format.mSampleRate) && format.mSampleRate > 0.0;
}

}  // namespace brimo::hal
