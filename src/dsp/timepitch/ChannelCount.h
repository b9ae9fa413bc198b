#pragma once

#include <type_traits>

namespace brimo::timepitch {

// Runs `body` with the channel count: for stereo, the engine's case, as a compile-time constant,
// so that the per-bin loops over channels unroll and keep their sums in registers; any other
// count as a plain int. Both give the same results, operation for operation.
template <typename Body>
inline void withChannels(int channels, Body&& body) {
    if (channels == 2) {
        body(std::integral_constant<int, 2>{});
    } else {
        body(channels);
    }
}

}  // namespace brimo::timepitch
