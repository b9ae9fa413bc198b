#include "platform/hal/sim/SimulatedAudioBackend.h"

namespace brimo::hal::sim {

DeviceConfig DeviceConfig::speakers(std::string name, std::string uid) {
    DeviceConfig config;
    config.name = std::move(name);
    config.uid = std::move(uid);
    config.outputStreams = {2};
    return config;
}

DeviceConfig DeviceConfig::microphone(std::string name, std::string uid) {
    DeviceConfig config;
    config.name = std::move(name);
    config.uid = std::move(uid);
    config.inputStreams = {2};
    return config;
}

DeviceConfig DeviceConfig::loopbackDevice(std::string name, std::string uid) {
    DeviceConfig config;
    config.name = std::move(name);
    config.uid = std::move(uid);
    config.inputStreams = {2};
    config.outputStreams = {2};
    config.loopback = true;
    return config;
}

Signal Signal::tone(double frequencyHz, float amplitude) {
    Signal s;
    s.kind_ = Kind::tone;
    s.frequencyHz_ = frequencyHz;
    s.amplitude_ = amplitude;
    return s;
}

Signal Signal::silence() {
    return Signal{};
}

Signal Signal::samples(std::vector<float> interleaved, UInt32 channels, bool loop) {
    Signal s;
    s.kind_ = Kind::samples;
    s.samples_ = std::move(interleaved);
    s.channels_ = channels == 0 ? 1 : channels;
    s.loop_ = loop;
    return s;
}

std::vector<float> Recording::channel(UInt32 c) const {
    std::vector<float> out;
    if (c >= channels) {
        return out;
    }
    out.reserve(samples.size() / channels);
    for (std::size_t i = c; i < samples.size(); i += channels) {
        out.push_back(samples[i]);
    }
    return out;
}

}  // namespace brimo::hal::sim
