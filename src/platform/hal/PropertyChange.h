#pragma once

#include "platform/hal/AudioObject.h"

namespace brimo::hal {

// One property of one object that changed: what a listener is called with.
struct PropertyChange {
    AudioObjectID object = kAudioObjectUnknown;
    AudioObjectPropertyAddress address;

    friend bool operator==(const PropertyChange&, const PropertyChange&) = default;
};

}  // namespace brimo::hal
