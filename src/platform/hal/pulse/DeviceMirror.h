#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/DeviceSnapshot.h"
#include "platform/hal/pulse/ServerView.h"

namespace brimo::hal::pulse {

// The frames of one I/O cycle at a rate: the power of two nearest to `periodSeconds`.
UInt32 ioCycleFrames(Float64 sampleRate, double periodSeconds);

// Turns successive server views into device snapshots with stable IDs; what changed between two
// is their diff (SnapshotDiff.h), worked out where the backend publishes. A sink is an output
// device; a null sink has an input side too, its monitor; a source that is no monitor is an
// input device. A side's stream names the source or sink a unit connects to for it. An ID lives as
// long as the server object behind it and is never given out again, also not after a reconnect.
class DeviceMirror {
  public:
    explicit DeviceMirror(double ioPeriodSeconds);

    void apply(const ServerView& view);
    [[nodiscard]] std::shared_ptr<const DeviceSnapshot> snapshot() const { return snapshot_; }

  private:
    struct Ids {
        AudioDeviceID device = kAudioObjectUnknown;
        AudioStreamID inputStream = kAudioObjectUnknown;
        AudioStreamID outputStream = kAudioObjectUnknown;
    };
    // (is a sink, server index): sinks and sources are numbered separately by the server.
    using Key = std::pair<bool, UInt32>;

    DeviceRecord makeRecord(const Key& key, std::map<Key, Ids>& next);
    AudioObjectID nextId() { return nextId_++; }

    double ioPeriodSeconds_;
    AudioObjectID nextId_ = kAudioObjectSystemObject + 1;
    std::map<Key, Ids> ids_;
    std::shared_ptr<const DeviceSnapshot> snapshot_;
};

}  // namespace brimo::hal::pulse
