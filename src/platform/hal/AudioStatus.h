#pragma once

#include <cstdint>

namespace brimo::hal {

// Every call of the audio hardware layer reports a signed 32-bit status; 0 is success. All the
// values live here so that a status printed in a log line means one thing everywhere. Hardware
// statuses are four-character codes, unit statuses small negative numbers, as callers of this
// kind of interface expect to see them.
using OSStatus = std::int32_t;

namespace detail {
constexpr OSStatus statusCode(const char (&code)[5]) {
    return static_cast<OSStatus>(
        (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24U) |
        (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16U) |
        (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8U) |
        static_cast<std::uint32_t>(static_cast<unsigned char>(code[3])));
}
}  // namespace detail

inline constexpr OSStatus noErr = 0;
// A null pointer or an out-of-range argument.
inline constexpr OSStatus kAudio_ParamError = -50;

// Objects and properties.
inline constexpr OSStatus kAudioHardwareNoError = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = detail::statusCode("stop");
inline constexpr OSStatus kAudioHardwareUnspecifiedError = detail::statusCode("what");
inline constexpr OSStatus kAudioHardwareUnknownPropertyError = detail::statusCode("who?");
inline constexpr OSStatus kAudioHardwareBadPropertySizeError = detail::statusCode("!siz");
inline constexpr OSStatus kAudioHardwareIllegalOperationError = detail::statusCode("nope");
inline constexpr OSStatus kAudioHardwareBadObjectError = detail::statusCode("!obj");
inline constexpr OSStatus kAudioHardwareBadDeviceError = detail::statusCode("!dev");
inline constexpr OSStatus kAudioHardwareBadStreamError = detail::statusCode("!str");
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError = detail::statusCode("unop");
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError = detail::statusCode("!dat");

// Audio units and components.
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_PropertyNotWritable = -10865;
inline constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioUnitErr_InvalidPropertyValue = -10851;
inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;
inline constexpr OSStatus kAudioComponentErr_InstanceInvalidated = -66749;

}  // namespace brimo::hal
