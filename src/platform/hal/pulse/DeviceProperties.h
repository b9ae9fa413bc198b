#pragma once

#include "platform/hal/AudioObject.h"
#include "platform/hal/pulse/DeviceMirror.h"

namespace brimo::hal::pulse {

// The property reads of the hardware layer, answered from one device snapshot. Objects: the
// system object and the devices (stream objects carry no properties here).

bool snapshotHasProperty(const DeviceSnapshot& snapshot, AudioObjectID object,
                         const AudioObjectPropertyAddress& address);

OSStatus snapshotPropertyDataSize(const DeviceSnapshot& snapshot, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address, UInt32& dataSize);

OSStatus snapshotPropertyData(const DeviceSnapshot& snapshot, AudioObjectID object,
                              const AudioObjectPropertyAddress& address, UInt32& dataSize,
                              void* data);

}  // namespace brimo::hal::pulse
