#pragma once

#include <optional>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::sim {

// A property read, or listener registration, that fails. Unset fields match anything.
struct PropertyFault {
    enum class Call { dataSize, data, anyRead, addListener, setData };
    AudioObjectID object = kAudioObjectUnknown;
    AudioObjectPropertySelector selector = 0;
    std::optional<AudioObjectPropertyScope> scope;
    Call call = Call::anyRead;
    OSStatus status = kAudioHardwareUnspecifiedError;
};

}  // namespace brimo::hal::sim
