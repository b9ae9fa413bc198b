#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/hal/AudioStatus.h"

namespace brimo::hal {

// The plain scalar names the audio interfaces are written in, so that calls read the same as
// in the design documents.
using UInt8 = std::uint8_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using SInt64 = std::int64_t;
using Float32 = float;
using Float64 = double;
using OSType = std::uint32_t;

// 'dev#' → 0x64657623: the first character is the most significant byte.
constexpr OSType fourCharCode(const char (&code)[5]) {
    return (static_cast<OSType>(static_cast<unsigned char>(code[0])) << 24U) |
           (static_cast<OSType>(static_cast<unsigned char>(code[1])) << 16U) |
           (static_cast<OSType>(static_cast<unsigned char>(code[2])) << 8U) |
           static_cast<OSType>(static_cast<unsigned char>(code[3]));
}

// ---- Stream formats -------------------------------------------------------------------------

using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCharCode("lpcm");

inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1U << 0U;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1U << 1U;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1U << 2U;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1U << 3U;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1U << 5U;
inline constexpr AudioFormatFlags kAudioFormatFlagsNativeFloatPacked =
    kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

// 40 bytes. For a non-interleaved format the byte counts are those of one channel's buffer.
struct AudioStreamBasicDescription {
    Float64 mSampleRate = 0.0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    UInt32 mBytesPerPacket = 0;
    UInt32 mFramesPerPacket = 0;
    UInt32 mBytesPerFrame = 0;
    UInt32 mChannelsPerFrame = 0;
    UInt32 mBitsPerChannel = 0;
    UInt32 mReserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// ---- Buffer lists ---------------------------------------------------------------------------

struct AudioBuffer {
    UInt32 mNumberChannels = 0;
    UInt32 mDataByteSize = 0;
    void* mData = nullptr;
};

// A variable-length record: mNumberBuffers buffers follow one another from mBuffers[0]. Build
// one on the stack with AudioBufferListStorage<N>, or in raw storage of
// audioBufferListSize(n) bytes (what a stream-configuration read fills).
struct AudioBufferList {
    UInt32 mNumberBuffers = 0;
    AudioBuffer mBuffers[1];
};

constexpr UInt32 audioBufferListSize(UInt32 numberBuffers) {
    return static_cast<UInt32>(offsetof(AudioBufferList, mBuffers) +
                               static_cast<std::size_t>(numberBuffers) * sizeof(AudioBuffer));
}

// A buffer list with room for N buffers, laid out exactly like AudioBufferList followed by
// N - 1 more buffers; pass list() wherever an AudioBufferList* is wanted.
template <UInt32 N>
struct AudioBufferListStorage {
    static_assert(N >= 1);
    UInt32 mNumberBuffers = N;
    AudioBuffer mBuffers[N] = {};

    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(this); }
    [[nodiscard]] const AudioBufferList* list() const {
        return reinterpret_cast<const AudioBufferList*>(this);
    }
};

// ---- Time stamps ----------------------------------------------------------------------------

using AudioTimeStampFlags = UInt32;
inline constexpr AudioTimeStampFlags kAudioTimeStampSampleTimeValid = 1U << 0U;
inline constexpr AudioTimeStampFlags kAudioTimeStampHostTimeValid = 1U << 1U;
inline constexpr AudioTimeStampFlags kAudioTimeStampRateScalarValid = 1U << 2U;
inline constexpr AudioTimeStampFlags kAudioTimeStampWordClockTimeValid = 1U << 3U;
inline constexpr AudioTimeStampFlags kAudioTimeStampSampleHostTimeValid =
    kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid;

// mSampleTime counts frames of the stream the callback serves; mHostTime is in nanoseconds of
// the backend's clock (the monotonic clock, or simulated time in stepped runs); mRateScalar is
// the device's actual rate over its nominal rate.
struct AudioTimeStamp {
    Float64 mSampleTime = 0.0;
    UInt64 mHostTime = 0;
    Float64 mRateScalar = 0.0;
    UInt64 mWordClockTime = 0;
    AudioTimeStampFlags mFlags = 0;
    UInt32 mReserved = 0;
};

}  // namespace brimo::hal
