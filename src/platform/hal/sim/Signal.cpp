#include "platform/hal/sim/Signal.h"

#include <utility>

namespace brimo::hal::sim {

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

}  // namespace brimo::hal::sim
