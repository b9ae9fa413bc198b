#include "platform/hal/UnitPropertyListeners.h"

#include <algorithm>

namespace brimo::hal {

OSStatus UnitPropertyListeners::add(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                    void* userData) {
    if (proc == nullptr) {
        return kAudio_ParamError;
    }
    const std::lock_guard guard(mutex_);
    const Registration registration{id, proc, userData};
    if (std::find(registrations_.begin(), registrations_.end(), registration) ==
        registrations_.end()) {
        registrations_.push_back(registration);
    }
    return noErr;
}

OSStatus UnitPropertyListeners::remove(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc,
                                       void* userData) {
    if (proc == nullptr) {
        return kAudio_ParamError;
    }
    const std::lock_guard guard(mutex_);
    std::erase(registrations_, Registration{id, proc, userData});
    return noErr;
}

void UnitPropertyListeners::announce(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                     AudioUnitElement element) {
    const std::lock_guard guard(mutex_);
    // A copy, because a listener may change the list; each one is called only while it is
    // still registered.
    const std::vector<Registration> hearers = registrations_;
    for (const Registration& r : hearers) {
        if (r.id == id &&
            std::find(registrations_.begin(), registrations_.end(), r) != registrations_.end()) {
            r.proc(r.userData, unit, id, scope, element);
        }
    }
}

}  // namespace brimo::hal
