#pragma once

#include <vector>

#include "platform/hal/DeviceSnapshot.h"
#include "platform/hal/PropertyChange.h"

namespace brimo::hal {

// What listeners hear when a backend publishes `after` in place of `before`: for each device
// that went, its liveness; for each that stayed, the properties whose values differ (the
// streams and the stream configuration of a side whose streams differ, in that side's scope);
// then the device list and the default devices of the system object. In that order, each
// once: a backend that publishes an unchanged snapshot tells nobody anything.
std::vector<PropertyChange> snapshotChanges(const DeviceSnapshot& before,
                                            const DeviceSnapshot& after);

}  // namespace brimo::hal
