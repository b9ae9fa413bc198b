#include "platform/hal/ComponentRegistry.h"

#include <algorithm>
#include <deque>
#include <mutex>

#include "platform/hal/HalOutputUnit.h"

namespace brimo::hal {

// The registry's entries are what AudioComponent handles point at.
struct OpaqueAudioComponent {
    AudioComponentDescription description;
    std::string name;
    UInt32 version = 0;
    AudioUnitFactory factory;
    bool visible = true;
};

namespace {

bool fieldMatches(OSType wanted, OSType actual) {
    return wanted == 0 || wanted == actual;
}

bool matches(const AudioComponentDescription& wanted, const AudioComponentDescription& actual) {
    return fieldMatches(wanted.componentType, actual.componentType) &&
           fieldMatches(wanted.componentSubType, actual.componentSubType) &&
           fieldMatches(wanted.componentManufacturer, actual.componentManufacturer) &&
           (wanted.componentFlags & wanted.componentFlagsMask) ==
               (actual.componentFlags & wanted.componentFlagsMask);
}

// Entries are never freed, so a handle stays valid after its component is unregistered.
class Registry {
  public:
    static Registry& shared() {
        static Registry registry;
        return registry;
    }

    AudioComponent add(const AudioComponentDescription& description, std::string name,
                       UInt32 version, AudioUnitFactory factory) {
        const std::lock_guard guard(mutex_);
        auto& entry = entries_.emplace_back(
            OpaqueAudioComponent{description, std::move(name), version, std::move(factory), true});
        return &entry;
    }

    AudioComponent findNext(AudioComponent after, const AudioComponentDescription& wanted) {
        const std::lock_guard guard(mutex_);
        auto it = entries_.begin();
        if (after != nullptr) {
            it = std::find_if(entries_.begin(), entries_.end(),
                              [after](const OpaqueAudioComponent& e) { return &e == after; });
            if (it == entries_.end()) {
                return nullptr;
            }
            ++it;
        }
        for (; it != entries_.end(); ++it) {
            if (it->visible && matches(wanted, it->description)) {
                return &*it;
            }
        }
        return nullptr;
    }

    void setVisible(AudioComponent component, bool visible) {
        const std::lock_guard guard(mutex_);
        component->visible = visible;
    }

    std::optional<ComponentSnapshot> snapshot(AudioComponent component) {
        const std::lock_guard guard(mutex_);
        if (!component->visible) {
            return std::nullopt;
        }
        return ComponentSnapshot{component->description, component->factory};
    }

    std::string name(AudioComponent component) {
        const std::lock_guard guard(mutex_);
        return component->name;
    }

  private:
    Registry() {
        // The HAL output unit ships with the layer; the default-output variant is the same
        // unit, which runs on the default output device when no device is set.
        for (const OSType subType :
             {kAudioUnitSubType_HALOutput, kAudioUnitSubType_DefaultOutput}) {
            entries_.push_back(OpaqueAudioComponent{
                {kAudioUnitType_Output, subType, kAudioUnitManufacturer_Apple, 0, 0},
                subType == kAudioUnitSubType_HALOutput ? "HAL output" : "Default output",
                1,
                [] { return makeHalOutputUnit(); },
                true});
        }
    }

    std::mutex mutex_;
    std::deque<OpaqueAudioComponent> entries_;
};

}  // namespace

std::optional<ComponentSnapshot> snapshotComponent(AudioComponent component) {
    if (component == nullptr) {
        return std::nullopt;
    }
    return Registry::shared().snapshot(component);
}

AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                      const AudioComponentDescription* inDesc) {
    if (inDesc == nullptr) {
        return nullptr;
    }
    return Registry::shared().findNext(inComponent, *inDesc);
}

OSStatus AudioComponentGetDescription(AudioComponent inComponent,
                                      AudioComponentDescription* outDesc) {
    if (inComponent == nullptr || outDesc == nullptr) {
        return kAudio_ParamError;
    }
    *outDesc = inComponent->description;  // fixed at registration, read without the lock
    return noErr;
}

std::string AudioComponentCopyName(AudioComponent inComponent) {
    return inComponent == nullptr ? std::string() : Registry::shared().name(inComponent);
}

AudioComponent AudioComponentRegister(const AudioComponentDescription& description,
                                      std::string name, UInt32 version, AudioUnitFactory factory) {
    return Registry::shared().add(description, std::move(name), version, std::move(factory));
}

OSStatus AudioComponentUnregister(AudioComponent component) {
    if (component == nullptr) {
        return kAudio_ParamError;
    }
    Registry::shared().setVisible(component, false);
    return noErr;
}

ScopedComponentRemoval::ScopedComponentRemoval(const AudioComponentDescription& description) {
    for (AudioComponent c = AudioComponentFindNext(nullptr, &description); c != nullptr;
         c = AudioComponentFindNext(c, &description)) {
        hidden_.push_back(c);
    }
    for (const AudioComponent c : hidden_) {
        Registry::shared().setVisible(c, false);
    }
}

ScopedComponentRemoval::~ScopedComponentRemoval() {
    for (const AudioComponent c : hidden_) {
        Registry::shared().setVisible(c, true);
    }
}

}  // namespace brimo::hal
