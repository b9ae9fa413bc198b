#include "platform/hal/sim/FaultTable.h"

#include <algorithm>

namespace brimo::hal::sim {

void FaultTable::addProperty(const PropertyFault& fault) {
    const std::lock_guard guard(mutex_);
    properties_.push_back(fault);
}

void FaultTable::addAbsentString(AudioObjectID object, AudioObjectPropertySelector selector) {
    const std::lock_guard guard(mutex_);
    absentStrings_.push_back({object, selector});
}

void FaultTable::addEmptyConfiguration(AudioDeviceID device, AudioObjectPropertyScope scope) {
    const std::lock_guard guard(mutex_);
    emptyConfigurations_.push_back({device, scope});
}

void FaultTable::addUnit(const UnitFault& fault) {
    const std::lock_guard guard(mutex_);
    units_.push_back({fault, fault.skip, fault.times});
    hasUnitFaults_.store(true, std::memory_order_release);
}

void FaultTable::clear() {
    const std::lock_guard guard(mutex_);
    properties_.clear();
    absentStrings_.clear();
    emptyConfigurations_.clear();
    units_.clear();
    hasUnitFaults_.store(false, std::memory_order_release);
}

OSStatus FaultTable::propertyStatus(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    PropertyFault::Call call) const {
    const std::lock_guard guard(mutex_);
    for (const auto& f : properties_) {
        const bool callMatches =
            f.call == call ||
            (f.call == PropertyFault::Call::anyRead &&
             (call == PropertyFault::Call::dataSize || call == PropertyFault::Call::data));
        if (f.object == object && f.selector == address.mSelector &&
            (!f.scope || *f.scope == address.mScope) && callMatches) {
            return f.status;
        }
    }
    return noErr;
}

bool FaultTable::isStringAbsent(AudioObjectID object, AudioObjectPropertySelector selector) const {
    const std::lock_guard guard(mutex_);
    return std::find(absentStrings_.begin(), absentStrings_.end(), Address{object, selector}) !=
           absentStrings_.end();
}

bool FaultTable::isConfigurationEmpty(AudioDeviceID device, AudioObjectPropertyScope scope) const {
    const std::lock_guard guard(mutex_);
    return std::find(emptyConfigurations_.begin(), emptyConfigurations_.end(),
                     Address{device, scope}) != emptyConfigurations_.end();
}

bool FaultTable::matches(const UnitFault& f, const UnitCall& c) {
    return f.kind == c.kind &&
           (!f.componentType || *f.componentType == c.component.componentType) &&
           (!f.componentSubType || *f.componentSubType == c.component.componentSubType) &&
           (!f.device || *f.device == c.device) &&
           (!f.propertyOrParameter || *f.propertyOrParameter == c.propertyOrParameter) &&
           (!f.scope || *f.scope == c.scope) && (!f.element || *f.element == c.element);
}

OSStatus FaultTable::unitStatus(const UnitCall& call) {
    if (!hasUnitFaults_.load(std::memory_order_acquire)) {
        return noErr;
    }
    const std::lock_guard guard(mutex_);
    for (auto& s : units_) {
        if (s.timesLeft == 0 || !matches(s.fault, call)) {
            continue;
        }
        if (s.skipLeft > 0) {
            --s.skipLeft;
            continue;
        }
        if (s.timesLeft > 0) {
            --s.timesLeft;
        }
        return s.fault.status;
    }
    return noErr;
}

}  // namespace brimo::hal::sim
