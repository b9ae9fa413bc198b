#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::testing {

using namespace brimo::hal;  // NOLINT(google-build-using-namespace): the layer's own vocabulary

// Reads through the hardware layer's object API, as the device service does.

inline AudioObjectPropertyAddress address(
    AudioObjectPropertySelector selector,
    AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

inline std::vector<AudioDeviceID> deviceIds() {
    const auto devices = address(kAudioHardwarePropertyDevices);
    UInt32 size = 0;
    if (AudioObjectGetPropertyDataSize(kAudioObjectSystemObject, &devices, 0, nullptr, &size) !=
        noErr) {
        return {};
    }
    std::vector<AudioDeviceID> ids(size / sizeof(AudioDeviceID));
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &devices, 0, nullptr, &size,
                                   ids.data()) != noErr) {
        return {};
    }
    ids.resize(size / sizeof(AudioDeviceID));
    return ids;
}

inline std::string text(AudioDeviceID device, AudioObjectPropertySelector selector) {
    AudioObjectPropertyString value;
    UInt32 size = sizeof(value);
    const auto where = address(selector);
    if (AudioObjectGetPropertyData(device, &where, 0, nullptr, &size, &value) != noErr) {
        return "<unreadable>";
    }
    return value.value_or("<absent>");
}

inline AudioDeviceID deviceWithUid(const std::string& uid) {
    for (AudioDeviceID id : deviceIds()) {
        if (text(id, kAudioDevicePropertyDeviceUID) == uid) {
            return id;
        }
    }
    return kAudioObjectUnknown;
}

inline AudioDeviceID defaultOutput() {
    AudioDeviceID id = kAudioObjectUnknown;
    UInt32 size = sizeof(id);
    const auto where = address(kAudioHardwarePropertyDefaultOutputDevice);
    AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, 0, nullptr, &size, &id);
    return id;
}

inline UInt32 streamCount(AudioDeviceID device, AudioObjectPropertyScope scope) {
    UInt32 size = 0;
    const auto where = address(kAudioDevicePropertyStreams, scope);
    if (AudioObjectGetPropertyDataSize(device, &where, 0, nullptr, &size) != noErr) {
        return 0;
    }
    return size / sizeof(AudioStreamID);
}

// A property listener that counts its calls, registered for its own lifetime.
class ListenerProbe {
  public:
    ListenerProbe(AudioObjectID object, AudioObjectPropertySelector selector)
        : object_(object), address_(address(selector)) {
        status = AudioObjectAddPropertyListener(object_, &address_, &heard, this);
    }
    ~ListenerProbe() { remove(); }
    OSStatus remove() {
        if (status != noErr || removed_) {
            return status;
        }
        removed_ = true;
        return AudioObjectRemovePropertyListener(object_, &address_, &heard, this);
    }
    ListenerProbe(const ListenerProbe&) = delete;
    ListenerProbe& operator=(const ListenerProbe&) = delete;
    ListenerProbe(ListenerProbe&&) = delete;
    ListenerProbe& operator=(ListenerProbe&&) = delete;

    OSStatus status = noErr;
    std::atomic<int> calls{0};

  private:
    static OSStatus heard(AudioObjectID, UInt32, const AudioObjectPropertyAddress*, void* self) {
        static_cast<ListenerProbe*>(self)->calls.fetch_add(1);
        return noErr;
    }

    AudioObjectID object_;
    AudioObjectPropertyAddress address_;
    bool removed_ = false;
};

}  // namespace brimo::testing
