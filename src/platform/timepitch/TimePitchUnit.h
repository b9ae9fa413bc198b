#pragma once

#include "platform/hal/AudioUnitImplementation.h"

namespace brimo::timepitch {

// Registers the time-pitch format converter ('aufc' / 'nutp' / 'appl') with the unit API's
// component registry, once per process; later calls return the same component. The audio
// engine calls it before it looks the component up.
hal::AudioComponent registerTimePitchComponent();

// A fresh, uninitialized time-pitch unit, as the registered component's factory makes them.
std::unique_ptr<hal::AudioUnitImplementation> makeTimePitchUnit();

}  // namespace brimo::timepitch
