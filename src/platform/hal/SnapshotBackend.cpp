#include "platform/hal/SnapshotBackend.h"

#include <cstring>
#include <utility>

#include "platform/hal/SnapshotDiff.h"

namespace brimo::hal {

SnapshotBackend::SnapshotBackend(std::shared_ptr<const DeviceSnapshot> initial)
    : snapshot_(std::move(initial)) {}

std::vector<PropertyChange> SnapshotBackend::publish(std::shared_ptr<const DeviceSnapshot> next) {
    const std::lock_guard lock(mutex_);
    auto changes = snapshotChanges(*snapshot_, *next);
    snapshot_ = std::move(next);
    return changes;
}

std::shared_ptr<const DeviceSnapshot> SnapshotBackend::published() const {
    const std::lock_guard lock(mutex_);
    return snapshot_;
}

void SnapshotBackend::waitForNotifications() {
    listeners_.flush();
}

OSStatus SnapshotBackend::valueOf(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  PropertyValue& value) {
    const OSStatus status = snapshotPropertyValue(*published(), object, address, value);
    if (status == noErr) {
        adjustValue(object, address, value);
    }
    return status;
}

bool SnapshotBackend::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) {
    return snapshotHasProperty(*published(), object, address);
}

OSStatus SnapshotBackend::getPropertyDataSize(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                              UInt32& dataSize) {
    if (const OSStatus status = propertyCallStatus(object, address, PropertyCallKind::dataSize);
        status != noErr) {
        return status;
    }
    PropertyValue value;
    const OSStatus status = valueOf(object, address, value);
    if (status == noErr) {
        dataSize = value.size();
    }
    return status;
}

OSStatus SnapshotBackend::getPropertyData(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                          UInt32& dataSize, void* data) {
    if (const OSStatus status = propertyCallStatus(object, address, PropertyCallKind::data);
        status != noErr) {
        return status;
    }
    PropertyValue value;
    const OSStatus status = valueOf(object, address, value);
    return status != noErr ? status : value.write(dataSize, data);
}

OSStatus SnapshotBackend::setPropertyData(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                          UInt32 /*dataSize*/, const void* data) {
    if (const OSStatus status = propertyCallStatus(object, address, PropertyCallKind::setData);
        status != noErr) {
        return status;
    }
    AudioDeviceID device = kAudioObjectUnknown;
    std::memcpy(&device, data, sizeof(device));
    return makeDefaultOutput(device);
}

OSStatus SnapshotBackend::addPropertyListener(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              AudioObjectPropertyListenerProc listener,
                                              void* clientData) {
    if (const OSStatus status = propertyCallStatus(object, address, PropertyCallKind::addListener);
        status != noErr) {
        return status;
    }
    if (!snapshotHasObject(*published(), object)) {
        return kAudioHardwareBadObjectError;
    }
    return listeners_.add(object, address, listener, clientData);
}

OSStatus SnapshotBackend::removePropertyListener(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 AudioObjectPropertyListenerProc listener,
                                                 void* clientData) {
    return listeners_.remove(object, address, listener, clientData);
}

}  // namespace brimo::hal
