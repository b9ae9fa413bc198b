#pragma once

#include <mutex>
#include <vector>

#include "platform/hal/AudioUnit.h"

namespace brimo::hal {

// The property listeners of one unit. Calls run under a lock that removal also takes, so a
// removal from another thread waits for a call in flight and the listener never runs after it;
// the lock is recursive so that a listener may remove itself (or another) from inside its call.
class UnitPropertyListeners {
  public:
    OSStatus add(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData);
    OSStatus remove(AudioUnitPropertyID id, AudioUnitPropertyListenerProc proc, void* userData);

    // Calls every listener of `id` registered now, in registration order.
    void announce(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                  AudioUnitElement element);

  private:
    struct Registration {
        AudioUnitPropertyID id = 0;
        AudioUnitPropertyListenerProc proc = nullptr;
        void* userData = nullptr;

        bool operator==(const Registration&) const = default;
    };

    std::recursive_mutex mutex_;
    std::vector<Registration> registrations_;
};

}  // namespace brimo::hal
