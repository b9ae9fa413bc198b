#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/AudioUnit.h"
#include "platform/hal/UnitProperty.h"

namespace brimo::hal::test {

inline AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

template <typename T>
OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& where, T& value) {
    UInt32 size = sizeof(T);
    return AudioObjectGetPropertyData(object, &where, 0, nullptr, &size, &value);
}

// A property's value, nothing when it cannot be read.
template <typename T>
std::optional<T> valueOf(AudioObjectID object, const AudioObjectPropertyAddress& where) {
    T value{};
    return read(object, where, value) == noErr ? std::optional<T>(value) : std::nullopt;
}

inline AudioDeviceID defaultOutputDevice() {
    AudioDeviceID device = kAudioObjectUnknown;
    read(kAudioObjectSystemObject, address(kAudioHardwarePropertyDefaultOutputDevice), device);
    return device;
}

// The device's UID, empty when it cannot be read.
inline std::string deviceUID(AudioDeviceID device) {
    AudioObjectPropertyString uid;
    read(device, address(kAudioDevicePropertyDeviceUID), uid);
    return uid.value_or("");
}

inline std::vector<AudioObjectID> deviceList() {
    const auto where = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &where, 0, nullptr, &size) !=
        noErr) {
        return {};
    }
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioObjectID));
    return ids;
}

// A unit property of a fixed-size type, its size taken from the type.
using hal::getUnitProperty;
using hal::setUnitProperty;
// Sets a property that the unit must take.
template <typename T>
void expectSet(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
               AudioUnitElement element, const T& value) {
    EXPECT_EQ(setUnitProperty(unit, id, scope, element, value), noErr) << "property " << id;
}

inline AudioComponent halOutputComponent() {
    const AudioComponentDescription d{kAudioUnitType_Output, kAudioUnitSubType_HALOutput,
                                      kAudioUnitManufacturer_Apple, 0, 0};
    return AudioComponentFindNext(nullptr, &d);
}

}  // namespace brimo::hal::test
