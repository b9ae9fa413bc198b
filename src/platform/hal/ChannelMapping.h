#pragma once

#include "platform/hal/AudioTypes.h"

namespace brimo::hal {

// Moves interleaved frames between a unit's channel count and a device's. Equal counts copy;
// a mono source feeds the first two channels (capture: every channel); a mono destination gets
// the mean of the first two source channels; otherwise channel c goes to channel c and extra
// destination channels are silent. Real-time safe.
void mapChannels(const float* source, UInt32 sourceChannels, float* destination,
                 UInt32 destinationChannels, UInt32 frames, bool monoFeedsAll);

}  // namespace brimo::hal
