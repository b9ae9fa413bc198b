#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/DeviceSnapshot.h"
#include "platform/hal/ListenerThread.h"
#include "platform/hal/PropertyChange.h"
#include "platform/hal/SnapshotProperties.h"

namespace brimo::hal {

// A property call as a backend may see it before it happens (see propertyCallStatus).
enum class PropertyCallKind { dataSize, data, setData, addListener };

// The objects-and-properties half of a backend, the same for every backend: reads are answered
// from the device snapshot it last published (SnapshotProperties.h), and listeners hear the
// difference of each snapshot from the one before (SnapshotDiff.h), on the backend's
// ListenerThread. What is left to a backend is to publish snapshots as its hardware changes,
// to make a device the default output, and to move audio frames.
class SnapshotBackend : public AudioHardwareBackend {
  public:
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) final;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier,
                                 UInt32& dataSize) final;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32& dataSize,
                             void* data) final;
    // The default output, the one settable property (AudioObject.h checks that): the device
    // given goes to makeDefaultOutput.
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                             const void* data) final;
    // Objects of the published snapshot only (unknown: kAudioHardwareBadObjectError).
    OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 AudioObjectPropertyListenerProc listener, void* clientData) final;
    OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                    AudioObjectPropertyListenerProc listener,
                                    void* clientData) final;

    // Returns when every listener call for the changes published so far has returned.
    void waitForNotifications();

  protected:
    explicit SnapshotBackend(std::shared_ptr<const DeviceSnapshot> initial);

    // Makes `next` what reads answer from and returns what changed since the last snapshot.
    // Listeners hear it once it is announced, which a backend that publishes under a lock of
    // its own does after letting go of that lock.
    std::vector<PropertyChange> publish(std::shared_ptr<const DeviceSnapshot> next);
    void announce(const std::vector<PropertyChange>& changes) { listeners_.post(changes); }
    // Where a backend's real-time threads hand over news that must not be told on them.
    [[nodiscard]] ListenerThread& listenerThread() { return listeners_; }
    [[nodiscard]] std::shared_ptr<const DeviceSnapshot> published() const;
    // No listener is called after this: for a backend whose hooks below need what its
    // destructor takes down.
    void stopListeners() { listeners_.stop(); }

    // Makes `device` the default output: kAudioHardwareBadDeviceError for one that is unknown
    // or cannot play (kAudioHardwareNotRunningError while the server is away). Listeners hear
    // of it once a snapshot that shows it is published.
    virtual OSStatus makeDefaultOutput(AudioDeviceID device) = 0;

    // A status other than noErr fails the call with it before the snapshot is asked; the
    // simulated backend injects failures here.
    virtual OSStatus propertyCallStatus(AudioObjectID /*object*/,
                                        const AudioObjectPropertyAddress& /*address*/,
                                        PropertyCallKind /*call*/) {
        return noErr;
    }
    // Called with each value read before its reader sees it, for a backend that bends it.
    virtual void adjustValue(AudioObjectID /*object*/,
                             const AudioObjectPropertyAddress& /*address*/,
                             PropertyValue& /*value*/) {}

  private:
    OSStatus valueOf(AudioObjectID object, const AudioObjectPropertyAddress& address,
                     PropertyValue& value);

    mutable std::mutex mutex_;
    std::shared_ptr<const DeviceSnapshot> snapshot_;
    ListenerThread listeners_;
};

}  // namespace brimo::hal
