#include "platform/hal/SnapshotProperties.h"

#include <algorithm>
#include <cstring>

namespace brimo::hal {

namespace {

bool isDirectionScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

void appendIds(const std::vector<StreamRecord>& streams, std::vector<UInt32>& ids) {
    for (const auto& stream : streams) {
        ids.push_back(stream.id);
    }
}

OSStatus systemValue(const DeviceSnapshot& snapshot, AudioObjectPropertySelector selector,
                     PropertyValue& value) {
    switch (selector) {
        case kAudioHardwarePropertyDevices:
            value.kind = PropertyValue::Kind::objectList;
            for (const auto& device : snapshot.devices) {
                value.list.push_back(device.id);
            }
            return noErr;
        case kAudioHardwarePropertyDefaultOutputDevice:
            value.scalar = snapshot.defaultOutput;
            return noErr;
        case kAudioHardwarePropertyDefaultInputDevice:
            value.scalar = snapshot.defaultInput;
            return noErr;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus deviceValue(const DeviceRecord& device, const AudioObjectPropertyAddress& address,
                     PropertyValue& value) {
    using Kind = PropertyValue::Kind;
    const AudioObjectPropertyScope scope = address.mScope;
    switch (address.mSelector) {
        case kAudioObjectPropertyName:
        case kAudioDevicePropertyDeviceUID:
            value.kind = Kind::text;
            value.text = address.mSelector == kAudioObjectPropertyName ? device.name : device.uid;
            return noErr;
        case kAudioDevicePropertyStreams:
            value.kind = Kind::objectList;
            if (scope != kAudioObjectPropertyScopeOutput) {
                appendIds(device.inputStreams, value.list);
            }
            if (scope != kAudioObjectPropertyScopeInput) {
                appendIds(device.outputStreams, value.list);
            }
            return noErr;
        case kAudioDevicePropertyStreamConfiguration:
            if (!isDirectionScope(scope)) {
                return kAudioHardwareUnknownPropertyError;
            }
            value.kind = Kind::bufferList;
            for (const auto& stream : scope == kAudioObjectPropertyScopeInput
                                          ? device.inputStreams
                                          : device.outputStreams) {
                value.list.push_back(stream.channels);
            }
            return noErr;
        case kAudioDevicePropertyNominalSampleRate:
            value.kind = Kind::float64;
            value.real = device.sampleRate;
            return noErr;
        case kAudioDevicePropertyBufferFrameSize:
            value.scalar = device.bufferFrameSize;
            return noErr;
        case kAudioDevicePropertyDeviceIsAlive:
            value.scalar = 1;
            return noErr;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

}  // namespace

UInt32 PropertyValue::size() const {
    switch (kind) {
        case Kind::objectList:
            return static_cast<UInt32>(list.size() * sizeof(UInt32));
        case Kind::scalar32:
            return sizeof(UInt32);
        case Kind::float64:
            return sizeof(Float64);
        case Kind::text:
            return sizeof(AudioObjectPropertyString);
        case Kind::bufferList:
            return audioBufferListSize(static_cast<UInt32>(list.size()));
    }
    return 0;
}

OSStatus PropertyValue::write(UInt32& room, void* data) const {
    if (kind == Kind::objectList) {
        const std::size_t n = std::min<std::size_t>(list.size(), room / sizeof(UInt32));
        std::memcpy(data, list.data(), n * sizeof(UInt32));
        room = static_cast<UInt32>(n * sizeof(UInt32));
        return noErr;
    }
    if (room < size()) {
        return kAudioHardwareBadPropertySizeError;
    }
    switch (kind) {
        case Kind::scalar32:
            std::memcpy(data, &scalar, sizeof scalar);
            break;
        case Kind::float64:
            std::memcpy(data, &real, sizeof real);
            break;
        case Kind::text:
            *static_cast<AudioObjectPropertyString*>(data) = text;
            break;
        case Kind::bufferList: {
            auto* bytes = static_cast<unsigned char*>(data);
            const auto count = static_cast<UInt32>(list.size());
            std::memset(bytes, 0, size());
            std::memcpy(bytes, &count, sizeof count);
            for (UInt32 i = 0; i < count; ++i) {
                const AudioBuffer buffer{list[i], 0, nullptr};
                std::memcpy(bytes + audioBufferListSize(i), &buffer, sizeof buffer);
            }
            break;
        }
        case Kind::objectList:
            break;
    }
    room = size();
    return noErr;
}

bool snapshotHasObject(const DeviceSnapshot& snapshot, AudioObjectID object) {
    return object == kAudioObjectSystemObject || snapshot.find(object) != nullptr ||
           snapshot.deviceOfStream(object) != nullptr;
}

OSStatus snapshotPropertyValue(const DeviceSnapshot& snapshot, AudioObjectID object,
                               const AudioObjectPropertyAddress& address, PropertyValue& value) {
    if (!snapshotHasObject(snapshot, object)) {
        return kAudioHardwareBadObjectError;
    }
    if (address.mElement != kAudioObjectPropertyElementMain ||
        (address.mScope != kAudioObjectPropertyScopeGlobal && !isDirectionScope(address.mScope))) {
        return kAudioHardwareUnknownPropertyError;
    }
    if (object == kAudioObjectSystemObject) {
        return systemValue(snapshot, address.mSelector, value);
    }
    const DeviceRecord* device = snapshot.find(object);
    if (device == nullptr) {
        return kAudioHardwareUnknownPropertyError;  // a stream: no properties of its own
    }
    return deviceValue(*device, address, value);
}

bool snapshotHasProperty(const DeviceSnapshot& snapshot, AudioObjectID object,
                         const AudioObjectPropertyAddress& address) {
    PropertyValue value;
    return snapshotPropertyValue(snapshot, object, address, value) == noErr;
}

OSStatus snapshotPropertyDataSize(const DeviceSnapshot& snapshot, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address, UInt32& dataSize) {
    PropertyValue value;
    const OSStatus status = snapshotPropertyValue(snapshot, object, address, value);
    if (status == noErr) {
        dataSize = value.size();
    }
    return status;
}

OSStatus snapshotPropertyData(const DeviceSnapshot& snapshot, AudioObjectID object,
                              const AudioObjectPropertyAddress& address, UInt32& dataSize,
                              void* data) {
    PropertyValue value;
    const OSStatus status = snapshotPropertyValue(snapshot, object, address, value);
    return status != noErr ? status : value.write(dataSize, data);
}

}  // namespace brimo::hal
