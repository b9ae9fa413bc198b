#pragma once

#include <optional>

#include "platform/hal/AudioHardwareBackend.h"

namespace brimo::hal::sim {

// A unit call that fails without reaching the unit. Unset fields match anything.
struct UnitFault {
    std::optional<OSType> componentType;
    std::optional<OSType> componentSubType;
    UnitCallKind kind = UnitCallKind::initialize;
    std::optional<AudioDeviceID> device;  // as in UnitCall::device
    std::optional<UInt32> propertyOrParameter;
    std::optional<AudioUnitScope> scope;
    std::optional<AudioUnitElement> element;
    OSStatus status = kAudioUnitErr_FailedInitialization;
    int skip = 0;    // matching calls let through before the first failure
    int times = -1;  // failures before the fault is spent; -1: never spent
};

}  // namespace brimo::hal::sim
