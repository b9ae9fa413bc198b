#pragma once

#include <cstddef>
#include <cstdint>

#include "Shifters.h"
#include "dsp/timepitch/SourcePull.h"

namespace brimo::bench {

// Our shifter's source over a stereo input held in memory: the frames in order, zeros past its
// end, as a live chain's ring buffer would give them.
struct StereoPull {
    const Stereo* audio = nullptr;
    long position = 0;

    static void pull(void* context, float* const* channels, std::uint32_t frames) {
        auto* self = static_cast<StereoPull*>(context);
        for (std::size_t c = 0; c < 2; ++c) {
            const auto& from = (*self->audio)[c];
            for (std::uint32_t i = 0; i < frames; ++i) {
                const auto at = static_cast<std::size_t>(self->position + i);
                channels[c][i] = at < from.size() ? from[at] : 0.0F;
            }
        }
        self->position += frames;
    }
    timepitch::SourcePull source() { return {&StereoPull::pull, this}; }
};

}  // namespace brimo::bench
