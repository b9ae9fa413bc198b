#pragma once

#include "platform/hal/AudioUnitImplementation.h"

namespace brimo::hal {

// Registers the time-pitch format converter ('aufc' / 'nutp' / 'appl') with the unit API's
// component registry, once per process; later calls return the same component. The audio
// engine calls it before it looks the component up.
AudioComponent registerTimePitchComponent();

// A fresh, uninitialized time-pitch unit, as the registered component's factory makes them.
// Parameters (global scope, element 0): pitch (1) in cents, −2400 … 2400; rate (0), the tempo,
// accepted and read back within 1/32 … 32 but acting up to 8 (above 1.03 the band narrows to
// half the sample rate over 0.97 × rate; clock trims of ±0.2 % are exact and pitch-neutral, see
// TimePitchShifter); overlap (4), 3 … 32; peak locking (6), 0 or 1. Latency (property 12) is
// half an analysis frame, the shortest hop and the tempo resampler's reach.
std::unique_ptr<AudioUnitImplementation> makeTimePitchUnit();

}  // namespace brimo::hal
