#pragma once

#include <optional>

#include "platform/hal/AudioUnitImplementation.h"

namespace brimo::hal {

// What an instance needs of its component, copied out of the registry so that the factory
// runs without the registry's lock.
struct ComponentSnapshot {
    AudioComponentDescription description;
    AudioUnitFactory factory;
};

// Nothing when the component is null or unregistered.
std::optional<ComponentSnapshot> snapshotComponent(AudioComponent component);

}  // namespace brimo::hal
