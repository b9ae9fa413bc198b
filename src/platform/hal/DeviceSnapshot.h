#pragma once

#include <string>
#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::hal {

// The hardware as a backend publishes it: every property read is answered from one snapshot
// (SnapshotProperties.h), and what listeners hear is the difference of two (SnapshotDiff.h).

// One stream of a device side. On a desktop audio server a side has one stream, named after
// the server object a unit connects to for it; a simulated device may have several.
struct StreamRecord {
    AudioStreamID id = kAudioObjectUnknown;
    UInt32 channels = 0;
    std::string serverName;  // the source or sink behind the side; empty when simulated
    std::string channelMap;  // as the server prints it, e.g. "front-left,front-right"

    friend bool operator==(const StreamRecord&, const StreamRecord&) = default;
};

// The channels of a side: those of all its streams.
inline UInt32 channelCount(const std::vector<StreamRecord>& streams) {
    UInt32 sum = 0;
    for (const auto& stream : streams) {
        sum += stream.channels;
    }
    return sum;
}

struct DeviceRecord {
    AudioDeviceID id = kAudioObjectUnknown;
    std::string name;
    std::string uid;
    Float64 sampleRate = 0.0;
    UInt32 bufferFrameSize = 0;
    std::vector<StreamRecord> inputStreams;   // empty: the device cannot capture
    std::vector<StreamRecord> outputStreams;  // empty: the device cannot play

    [[nodiscard]] UInt32 inputChannels() const { return channelCount(inputStreams); }
    [[nodiscard]] UInt32 outputChannels() const { return channelCount(outputStreams); }
};

struct DeviceSnapshot {
    bool connected = false;             // the backend reaches its audio server
    std::vector<DeviceRecord> devices;  // in the order the backend lists them
    AudioDeviceID defaultOutput = kAudioObjectUnknown;
    AudioDeviceID defaultInput = kAudioObjectUnknown;

    [[nodiscard]] const DeviceRecord* find(AudioDeviceID id) const;
    // The device a stream belongs to, null when `id` is no stream.
    [[nodiscard]] const DeviceRecord* deviceOfStream(AudioStreamID id) const;
};

}  // namespace brimo::hal
