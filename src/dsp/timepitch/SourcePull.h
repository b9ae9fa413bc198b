#pragma once

#include <cstdint>

namespace brimo::timepitch {

// Where the shifter gets its source frames. `pull` fills `frames` frames of every channel
// (one buffer per channel, zeroed beforehand, so frames it leaves alone count as silence).
struct SourcePull {
    void (*pull)(void* context, float* const* channels, std::uint32_t frames) = nullptr;
    void* context = nullptr;
};

}  // namespace brimo::timepitch
