#include "platform/hal/sim/Recording.h"

namespace brimo::hal::sim {

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
