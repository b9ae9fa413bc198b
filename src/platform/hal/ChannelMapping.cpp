#include "platform/hal/ChannelMapping.h"

#include <algorithm>
#include <cstddef>

#include "platform/hal/SampleLayout.h"

namespace brimo::hal {

void mapChannels(const float* source, UInt32 sourceChannels, float* destination,
                 UInt32 destinationChannels, UInt32 frames, bool monoFeedsAll) {
    const std::size_t sc = sourceChannels;
    const std::size_t dc = destinationChannels;
    if (sc == dc) {
        std::copy_n(source, interleavedSamples(frames, sourceChannels), destination);
        return;
    }
    for (std::size_t f = 0; f < frames; ++f) {
        const float* in = source + f * sc;
        float* out = destination + f * dc;
        if (sc == 1) {
            const std::size_t fed = monoFeedsAll ? dc : std::min<std::size_t>(dc, 2);
            std::fill_n(out, fed, in[0]);
            std::fill(out + fed, out + dc, 0.0F);
        } else if (dc == 1) {
            out[0] = 0.5F * (in[0] + in[1]);
        } else {
            const std::size_t shared = std::min(sc, dc);
            std::copy_n(in, shared, out);
            std::fill(out + shared, out + dc, 0.0F);
        }
    }
}

}  // namespace brimo::hal
