#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/hal/AudioUnit.h"

namespace brimo::hal {

// What a component implements. The unit functions of AudioUnit.h check their arguments and the
// initialized state, then call these, so an implementation sees:
// - setProperty, getProperty, getPropertyInfo, setParameter, getParameter, initialize and
//   uninitialize from the control thread (one at a time);
// - render from one real-time thread at a time, only while initialized, with non-null flags,
//   time stamp and buffer list, and never concurrently with initialize or uninitialize;
// - setParameter (and getParameter) from any thread, also while render runs on another one, so
//   parameters must be stored atomically and read once per render;
// - start and stop (output units) from the control thread, only while initialized.
// render must not allocate, lock, log or wait; take every buffer in initialize.
class AudioUnitImplementation {
  public:
    AudioUnitImplementation() = default;
    virtual ~AudioUnitImplementation() = default;
    AudioUnitImplementation(const AudioUnitImplementation&) = delete;
    AudioUnitImplementation& operator=(const AudioUnitImplementation&) = delete;
    AudioUnitImplementation(AudioUnitImplementation&&) = delete;
    AudioUnitImplementation& operator=(AudioUnitImplementation&&) = delete;

    // Size and writability of a property; kAudioUnitErr_InvalidProperty when unknown,
    // kAudioUnitErr_InvalidScope / kAudioUnitErr_InvalidElement for a known one elsewhere.
    virtual OSStatus getPropertyInfo(AudioUnitPropertyID /*id*/, AudioUnitScope /*scope*/,
                                     AudioUnitElement /*element*/, UInt32& /*dataSize*/,
                                     bool& /*writable*/) {
        return kAudioUnitErr_InvalidProperty;
    }
    // dataSize: the room at data on entry, the bytes written on success; too little room for a
    // fixed-size value fails with kAudio_ParamError.
    virtual OSStatus getProperty(AudioUnitPropertyID /*id*/, AudioUnitScope /*scope*/,
                                 AudioUnitElement /*element*/, void* /*data*/,
                                 UInt32& /*dataSize*/) {
        return kAudioUnitErr_InvalidProperty;
    }
    // A wrong dataSize fails with kAudio_ParamError; an unacceptable value with
    // kAudioUnitErr_InvalidPropertyValue or kAudioUnitErr_FormatNotSupported; a property that
    // can only change while uninitialized fails with kAudioUnitErr_Initialized.
    virtual OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element, const void* data, UInt32 dataSize) = 0;

    virtual OSStatus getParameter(AudioUnitParameterID /*id*/, AudioUnitScope /*scope*/,
                                  AudioUnitElement /*element*/,
                                  AudioUnitParameterValue& /*value*/) {
        return kAudioUnitErr_InvalidParameter;
    }
    // Out-of-range values are clamped, not refused; unknown parameters fail with
    // kAudioUnitErr_InvalidParameter.
    virtual OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope,
                                  AudioUnitElement element, AudioUnitParameterValue value,
                                  UInt32 bufferOffsetInFrames) = 0;

    // Takes every resource render needs. On failure the unit stays uninitialized.
    virtual OSStatus initialize() = 0;
    virtual OSStatus uninitialize() = 0;

    virtual OSStatus render(AudioUnitRenderActionFlags& actionFlags,
                            const AudioTimeStamp& timeStamp, UInt32 bus, UInt32 frames,
                            AudioBufferList& data) = 0;

    // Output units override both; other units cannot be started.
    virtual OSStatus start() { return kAudioUnitErr_InvalidProperty; }
    virtual OSStatus stop() { return kAudioUnitErr_InvalidProperty; }

    using PropertyChangeHandler =
        std::function<void(AudioUnitPropertyID, AudioUnitScope, AudioUnitElement)>;
    // Set once by AudioComponentInstanceNew, before any other call: where the unit reports a
    // change that no call made (an output unit's device I/O ending by itself).
    void setPropertyChangeHandler(PropertyChangeHandler handler) {
        propertyChanged_ = std::move(handler);
    }

  protected:
    void announcePropertyChange(AudioUnitPropertyID id, AudioUnitScope scope,
                                AudioUnitElement element) const {
        if (propertyChanged_) {
            propertyChanged_(id, scope, element);
        }
    }

  private:
    PropertyChangeHandler propertyChanged_;
};

using AudioUnitFactory = std::function<std::unique_ptr<AudioUnitImplementation>()>;

// Adds a component that AudioComponentFindNext can find, after those already registered.
// Each AudioComponentInstanceNew calls the factory once; a null result fails the creation with
// kAudioUnitErr_FailedInitialization. Safe from any thread.
AudioComponent AudioComponentRegister(const AudioComponentDescription& description,
                                      std::string name, UInt32 version, AudioUnitFactory factory);

// Makes the component invisible to AudioComponentFindNext and refuses new instances of it
// (kAudioHardwareBadObjectError). Instances already made go on working.
OSStatus AudioComponentUnregister(AudioComponent component);

// Hides every registered component matching the description until it goes out of scope, then
// makes exactly those visible again: a test's way to run without a component.
class ScopedComponentRemoval {
  public:
    explicit ScopedComponentRemoval(const AudioComponentDescription& description);
    ~ScopedComponentRemoval();
    ScopedComponentRemoval(const ScopedComponentRemoval&) = delete;
    ScopedComponentRemoval& operator=(const ScopedComponentRemoval&) = delete;
    ScopedComponentRemoval(ScopedComponentRemoval&&) = delete;
    ScopedComponentRemoval& operator=(ScopedComponentRemoval&&) = delete;

  private:
    std::vector<AudioComponent> hidden_;
};

}  // namespace brimo::hal
