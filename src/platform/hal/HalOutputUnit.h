#pragma once

#include <memory>

#include "platform/hal/AudioUnitImplementation.h"

namespace brimo::hal {

// The HAL output unit: an output unit bound to one device of the installed backend, with a
// capture side (input scope element 1 enabled through kAudioOutputUnitProperty_EnableIO; its
// input callback pulls frames with AudioUnitRender on bus 1) and a playback side (output scope
// element 0, on by default; it pulls frames from its render callback). Its client formats are
// 32-bit float at any rate; where a rate differs from the device's nominal rate the unit
// converts. Every callback is asked for at most min(maximum frames per slice, the device's
// frames per cycle) frames. Null when no backend is installed.
std::unique_ptr<AudioUnitImplementation> makeHalOutputUnit();

}  // namespace brimo::hal
