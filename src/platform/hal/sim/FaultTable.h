#pragma once

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/hal/sim/PropertyFault.h"
#include "platform/hal/sim/UnitFault.h"

namespace brimo::hal::sim {

// The failures a test asked the simulated backend for, and the question every call asks it.
class FaultTable {
  public:
    void addProperty(const PropertyFault& fault);
    void addAbsentString(AudioObjectID object, AudioObjectPropertySelector selector);
    void addEmptyConfiguration(AudioDeviceID device, AudioObjectPropertyScope scope);
    void addUnit(const UnitFault& fault);
    void clear();

    // The status a property call on that address fails with, or noErr.
    [[nodiscard]] OSStatus propertyStatus(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          PropertyFault::Call call) const;
    [[nodiscard]] bool isStringAbsent(AudioObjectID object,
                                      AudioObjectPropertySelector selector) const;
    [[nodiscard]] bool isConfigurationEmpty(AudioDeviceID device,
                                            AudioObjectPropertyScope scope) const;

    // The status a unit call fails with, or noErr; without unit faults it takes no lock, so
    // renders stay real-time safe.
    OSStatus unitStatus(const UnitCall& call);

  private:
    struct UnitFaultState {
        UnitFault fault;
        int skipLeft = 0;
        int timesLeft = -1;
    };
    struct Address {
        AudioObjectID object = kAudioObjectUnknown;
        UInt32 selectorOrScope = 0;
        bool operator==(const Address&) const = default;
    };

    static bool matches(const UnitFault& fault, const UnitCall& call);

    mutable std::mutex mutex_;
    std::vector<PropertyFault> properties_;
    std::vector<Address> absentStrings_;
    std::vector<Address> emptyConfigurations_;
    std::vector<UnitFaultState> units_;
    std::atomic<bool> hasUnitFaults_{false};
};

}  // namespace brimo::hal::sim
