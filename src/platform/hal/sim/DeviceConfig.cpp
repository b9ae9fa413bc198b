#include "platform/hal/sim/DeviceConfig.h"

#include <utility>

namespace brimo::hal::sim {

namespace {

// A named device with one two-channel stream on each side asked for.
DeviceConfig stereo(std::string name, std::string uid, bool capture, bool playback) {
    DeviceConfig config;
    config.name = std::move(name);
    config.uid = std::move(uid);
    if (capture) {
        config.inputStreams = {2};
    }
    if (playback) {
        config.outputStreams = {2};
    }
    return config;
}

}  // namespace

DeviceConfig DeviceConfig::speakers(std::string name, std::string uid) {
    return stereo(std::move(name), std::move(uid), false, true);
}

DeviceConfig DeviceConfig::microphone(std::string name, std::string uid) {
    return stereo(std::move(name), std::move(uid), true, false);
}

DeviceConfig DeviceConfig::loopbackDevice(std::string name, std::string uid) {
    DeviceConfig config = stereo(std::move(name), std::move(uid), true, true);
    config.loopback = true;
    return config;
}

}  // namespace brimo::hal::sim
