#include "platform/hal/pulse/DeviceProperties.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace brimo::hal::pulse {

namespace {

bool isStreamScope(AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput || scope == kAudioObjectPropertyScopeOutput;
}

std::vector<AudioObjectID> streamsIn(const DeviceRecord& device, AudioObjectPropertyScope scope) {
    std::vector<AudioObjectID> streams;
    const bool input = scope != kAudioObjectPropertyScopeOutput;
    const bool output = scope != kAudioObjectPropertyScopeInput;
    if (input && device.inputStream != kAudioObjectUnknown) {
        streams.push_back(device.inputStream);
    }
    if (output && device.outputStream != kAudioObjectUnknown) {
        streams.push_back(device.outputStream);
    }
    return streams;
}

UInt32 channelsIn(const DeviceRecord& device, AudioObjectPropertyScope scope) {
    return scope == kAudioObjectPropertyScopeInput ? device.inputChannels : device.outputChannels;
}

// Arrays are cut to the whole elements that fit.
OSStatus copyIds(const std::vector<AudioObjectID>& ids, UInt32& dataSize, void* data) {
    const auto fitting = std::min<std::size_t>(ids.size(), dataSize / sizeof(AudioObjectID));
    std::memcpy(data, ids.data(), fitting * sizeof(AudioObjectID));
    dataSize = static_cast<UInt32>(fitting * sizeof(AudioObjectID));
    return noErr;
}

template <typename T>
OSStatus copyValue(const T& value, UInt32& dataSize, void* data) {
    if (dataSize < sizeof(T)) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memcpy(data, &value, sizeof(T));
    dataSize = sizeof(T);
    return noErr;
}

OSStatus copyString(const std::string& text, UInt32& dataSize, void* data) {
    if (dataSize < sizeof(AudioObjectPropertyString)) {
        return kAudioHardwareBadPropertySizeError;
    }
    *static_cast<AudioObjectPropertyString*>(data) = text;
    dataSize = sizeof(AudioObjectPropertyString);
    return noErr;
}

OSStatus copyStreamConfiguration(UInt32 channels, UInt32& dataSize, void* data) {
    const UInt32 buffers = channels == 0 ? 0 : 1;
    const UInt32 needed = audioBufferListSize(buffers);
    if (dataSize < needed) {
        return kAudioHardwareBadPropertySizeError;
    }
    std::memset(data, 0, needed);
    auto* list = static_cast<AudioBufferList*>(data);
    list->mNumberBuffers = buffers;
    if (buffers == 1) {
        list->mBuffers[0].mNumberChannels = channels;
    }
    dataSize = needed;
    return noErr;
}

OSStatus systemDataSize(const DeviceSnapshot& snapshot, AudioObjectPropertySelector selector,
                        UInt32& dataSize) {
    switch (selector) {
        case kAudioHardwarePropertyDevices:
            dataSize = static_cast<UInt32>(snapshot.devices.size() * sizeof(AudioObjectID));
            return noErr;
        case kAudioHardwarePropertyDefaultOutputDevice:
        case kAudioHardwarePropertyDefaultInputDevice:
            dataSize = sizeof(AudioObjectID);
            return noErr;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus systemData(const DeviceSnapshot& snapshot, AudioObjectPropertySelector selector,
                    UInt32& dataSize, void* data) {
    switch (selector) {
        case kAudioHardwarePropertyDevices: {
            std::vector<AudioObjectID> ids;
            ids.reserve(snapshot.devices.size());
            for (const auto& device : snapshot.devices) {
                ids.push_back(device.id);
            }
            return copyIds(ids, dataSize, data);
        }
        case kAudioHardwarePropertyDefaultOutputDevice:
            return copyValue(snapshot.defaultOutput, dataSize, data);
        case kAudioHardwarePropertyDefaultInputDevice:
            return copyValue(snapshot.defaultInput, dataSize, data);
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus deviceDataSize(const DeviceRecord& device, const AudioObjectPropertyAddress& address,
                        UInt32& dataSize) {
    switch (address.mSelector) {
        case kAudioObjectPropertyName:
        case kAudioDevicePropertyDeviceUID:
            dataSize = sizeof(AudioObjectPropertyString);
            return noErr;
        case kAudioDevicePropertyStreams:
            dataSize = static_cast<UInt32>(streamsIn(device, address.mScope).size() *
                                           sizeof(AudioObjectID));
            return noErr;
        case kAudioDevicePropertyNominalSampleRate:
            dataSize = sizeof(Float64);
            return noErr;
        case kAudioDevicePropertyStreamConfiguration:
            if (!isStreamScope(address.mScope)) {
                return kAudioHardwareUnknownPropertyError;
            }
            dataSize = audioBufferListSize(channelsIn(device, address.mScope) == 0 ? 0 : 1);
            return noErr;
        case kAudioDevicePropertyBufferFrameSize:
        case kAudioDevicePropertyDeviceIsAlive:
            dataSize = sizeof(UInt32);
            return noErr;
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

OSStatus deviceData(const DeviceRecord& device, const AudioObjectPropertyAddress& address,
                    UInt32& dataSize, void* data) {
    switch (address.mSelector) {
        case kAudioObjectPropertyName:
            return copyString(device.name, dataSize, data);
        case kAudioDevicePropertyDeviceUID:
            return copyString(device.uid, dataSize, data);
        case kAudioDevicePropertyStreams:
            return copyIds(streamsIn(device, address.mScope), dataSize, data);
        case kAudioDevicePropertyNominalSampleRate:
            return copyValue(device.sampleRate, dataSize, data);
        case kAudioDevicePropertyStreamConfiguration:
            if (!isStreamScope(address.mScope)) {
                return kAudioHardwareUnknownPropertyError;
            }
            return copyStreamConfiguration(channelsIn(device, address.mScope), dataSize, data);
        case kAudioDevicePropertyBufferFrameSize:
            return copyValue(device.bufferFrameSize, dataSize, data);
        case kAudioDevicePropertyDeviceIsAlive:
            return copyValue(UInt32{1}, dataSize, data);
        default:
            return kAudioHardwareUnknownPropertyError;
    }
}

}  // namespace

bool snapshotHasProperty(const DeviceSnapshot& snapshot, AudioObjectID object,
                         const AudioObjectPropertyAddress& address) {
    UInt32 ignored = 0;
    return snapshotPropertyDataSize(snapshot, object, address, ignored) == noErr;
}

OSStatus snapshotPropertyDataSize(const DeviceSnapshot& snapshot, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address, UInt32& dataSize) {
    if (object == kAudioObjectSystemObject) {
        return systemDataSize(snapshot, address.mSelector, dataSize);
    }
    const DeviceRecord* device = snapshot.find(object);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return deviceDataSize(*device, address, dataSize);
}

OSStatus snapshotPropertyData(const DeviceSnapshot& snapshot, AudioObjectID object,
                              const AudioObjectPropertyAddress& address, UInt32& dataSize,
                              void* data) {
    if (object == kAudioObjectSystemObject) {
        return systemData(snapshot, address.mSelector, dataSize, data);
    }
    const DeviceRecord* device = snapshot.find(object);
    if (device == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return deviceData(*device, address, dataSize, data);
}

}  // namespace brimo::hal::pulse
