#pragma once

#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/DeviceSnapshot.h"

namespace brimo::hal {

// The property reads of AudioObject.h, answered from one device snapshot for every backend.
//
// Objects: the system object, each device and each of its streams; any other ID is
// kAudioHardwareBadObjectError. A stream is an object (it may be listened to) without
// properties of its own. Addresses: the global, input or output scope, and the main element,
// which holds every property; anything else is kAudioHardwareUnknownPropertyError. A property
// without a direction reads the same in all three scopes; the streams of the global scope are
// the input streams, then the output ones; a stream configuration needs a direction.

// One property's value, in the shape its reader receives it.
struct PropertyValue {
    enum class Kind { objectList, scalar32, float64, text, bufferList };
    Kind kind = Kind::scalar32;
    std::vector<UInt32> list;  // objectList: IDs; bufferList: channels per buffer
    UInt32 scalar = 0;
    Float64 real = 0.0;
    AudioObjectPropertyString text;

    [[nodiscard]] UInt32 size() const;
    // Fills `data`, which has room for `room` bytes, and sets `room` to the bytes written.
    // Arrays are cut to the whole elements that fit; any other value that does not fit is
    // kAudioHardwareBadPropertySizeError.
    OSStatus write(UInt32& room, void* data) const;
};

[[nodiscard]] bool snapshotHasObject(const DeviceSnapshot& snapshot, AudioObjectID object);

OSStatus snapshotPropertyValue(const DeviceSnapshot& snapshot, AudioObjectID object,
                               const AudioObjectPropertyAddress& address, PropertyValue& value);

bool snapshotHasProperty(const DeviceSnapshot& snapshot, AudioObjectID object,
                         const AudioObjectPropertyAddress& address);

OSStatus snapshotPropertyDataSize(const DeviceSnapshot& snapshot, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address, UInt32& dataSize);

OSStatus snapshotPropertyData(const DeviceSnapshot& snapshot, AudioObjectID object,
                              const AudioObjectPropertyAddress& address, UInt32& dataSize,
                              void* data);

}  // namespace brimo::hal
