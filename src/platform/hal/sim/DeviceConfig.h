#pragma once

#include <string>
#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::sim {

// A device as the simulated backend adds it.
struct DeviceConfig {
    // kAudioObjectUnknown: the next free ID. A chosen ID must be free and above the system
    // object's.
    AudioDeviceID id = kAudioObjectUnknown;
    std::string name;
    std::string uid;
    std::vector<UInt32> inputStreams;   // channels of each capture stream; empty: no capture
    std::vector<UInt32> outputStreams;  // channels of each playback stream; empty: no playback
    Float64 nominalSampleRate = 48000.0;
    UInt32 bufferFrameSize = 512;
    // How far the device's clock runs fast (positive) or slow against the host clock.
    double driftPpm = 0.0;
    // Whatever is played into the device comes back on its capture side in the same cycle.
    bool loopback = false;
    // The most recent output the device keeps, in seconds at its nominal rate when added.
    double recordingSeconds = 4.0;

    // Two-channel output only.
    static DeviceConfig speakers(std::string name, std::string uid);
    // Two-channel capture only.
    static DeviceConfig microphone(std::string name, std::string uid);
    // Two channels each way, loopback, like the virtual device the user plays into.
    static DeviceConfig loopbackDevice(std::string name, std::string uid);
};

}  // namespace brimo::hal::sim
