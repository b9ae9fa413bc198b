#pragma once

#include <string>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"

namespace brimo::testing {

using namespace brimo::hal;  // NOLINT(google-build-using-namespace): the layer's own vocabulary

inline AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

inline std::vector<AudioDeviceID> deviceIds(AudioHardwareBackend& backend) {
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (backend.getPropertyDataSize(kAudioObjectSystemObject, devices, 0, nullptr, size) != noErr) {
        return {};
    }
    std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
    if (backend.getPropertyData(kAudioObjectSystemObject, devices, 0, nullptr, size, ids.data()) !=
        noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioDeviceID));
    return ids;
}

inline std::string text(AudioHardwareBackend& backend, AudioDeviceID device,
                        AudioObjectPropertySelector selector) {
    AudioObjectPropertyString value;
    UInt32 size = sizeof(value);
    if (backend.getPropertyData(device, address(selector), 0, nullptr, size, &value) != noErr) {
        return "<unreadable>";
    }
    return value.value_or("<absent>");
}

inline AudioDeviceID deviceWithUid(AudioHardwareBackend& backend, const std::string& uid) {
    for (AudioDeviceID id : deviceIds(backend)) {
        if (text(backend, id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

inline AudioDeviceID defaultOutput(AudioHardwareBackend& backend) {
    AudioDeviceID id = kAudioObjectUnknown;
    UInt32 size = sizeof(id);
    backend.getPropertyData(kAudioObjectSystemObject,
                            address(kAudioHardwarePropertyDefaultOutputDevice), 0, nullptr, size,
                            &id);
    return id;
}

inline UInt32 streamCount(AudioHardwareBackend& backend, AudioDeviceID device,
                          AudioObjectPropertyScope scope) {
    UInt32 size = 0;
    if (backend.getPropertyDataSize(device, address(kAudioDevicePropertyStreams, scope), 0, nullptr,
                                    size) != noErr) {
        return 0;
    }
    return size / sizeof(AudioStreamID);
}

// Counts the calls of a property listener.
struct ListenerProbe {
    std::atomic<int> calls{0};
    static OSStatus heard(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* probe) {
        static_cast<ListenerProbe*>(probe)->calls.fetch_add(1);
        return noErr;
    }
};

}  // namespace brimo::testing
