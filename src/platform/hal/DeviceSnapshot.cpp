#include "platform/hal/DeviceSnapshot.h"

#include <algorithm>

namespace brimo::hal {

const DeviceRecord* DeviceSnapshot::find(AudioDeviceID id) const {
    if (id == kAudioObjectUnknown) {
        return nullptr;
    }
    auto found = std::find_if(devices.begin(), devices.end(),
                              [id](const DeviceRecord& device) { return device.id == id; });
    return found == devices.end() ? nullptr : &*found;
}

const DeviceRecord* DeviceSnapshot::deviceOfStream(AudioStreamID id) const {
    const auto hasStream = [id](const std::vector<StreamRecord>& streams) {
        return std::any_of(streams.begin(), streams.end(),
                           [id](const StreamRecord& stream) { return stream.id == id; });
    };
    if (id == kAudioObjectUnknown) {
        return nullptr;
    }
    auto found = std::find_if(devices.begin(), devices.end(), [&](const DeviceRecord& device) {
        return hasStream(device.inputStreams) || hasStream(device.outputStreams);
    });
    return found == devices.end() ? nullptr : &*found;
}

}  // namespace brimo::hal
