#include "platform/hal/SnapshotDiff.h"

#include <algorithm>

namespace brimo::hal {

namespace {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

std::vector<AudioDeviceID> idsOf(const DeviceSnapshot& snapshot) {
    std::vector<AudioDeviceID> ids;
    ids.reserve(snapshot.devices.size());
    for (const auto& device : snapshot.devices) {
        ids.push_back(device.id);
    }
    return ids;
}

// Streams differ when their IDs or channel counts do; what they connect to is no property.
bool sameStreams(const std::vector<StreamRecord>& a, const std::vector<StreamRecord>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const StreamRecord& x, const StreamRecord& y) {
                          return x.id == y.id && x.channels == y.channels;
                      });
}

void addSideChanges(const std::vector<StreamRecord>& before, const std::vector<StreamRecord>& after,
                    AudioDeviceID device, AudioObjectPropertyScope scope,
                    std::vector<PropertyChange>& changes) {
    if (!sameStreams(before, after)) {
        changes.push_back(
            {device, {kAudioDevicePropertyStreams, scope, kAudioObjectPropertyElementMain}});
        changes.push_back(
            {device,
             {kAudioDevicePropertyStreamConfiguration, scope, kAudioObjectPropertyElementMain}});
    }
}

}  // namespace

std::vector<PropertyChange> snapshotChanges(const DeviceSnapshot& before,
                                            const DeviceSnapshot& after) {
    std::vector<PropertyChange> changes;
    for (const auto& old : before.devices) {
        const DeviceRecord* now = after.find(old.id);
        if (now == nullptr) {
            changes.push_back({old.id, globalAddress(kAudioDevicePropertyDeviceIsAlive)});
            continue;
        }
        if (old.name != now->name) {
            changes.push_back({old.id, globalAddress(kAudioObjectPropertyName)});
        }
        if (old.uid != now->uid) {
            changes.push_back({old.id, globalAddress(kAudioDevicePropertyDeviceUID)});
        }
        if (old.sampleRate != now->sampleRate) {
            changes.push_back({old.id, globalAddress(kAudioDevicePropertyNominalSampleRate)});
        }
        if (old.bufferFrameSize != now->bufferFrameSize) {
            changes.push_back({old.id, globalAddress(kAudioDevicePropertyBufferFrameSize)});
        }
        addSideChanges(old.inputStreams, now->inputStreams, old.id, kAudioObjectPropertyScopeInput,
                       changes);
        addSideChanges(old.outputStreams, now->outputStreams, old.id,
                       kAudioObjectPropertyScopeOutput, changes);
    }
    if (idsOf(before) != idsOf(after)) {
        changes.push_back({kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDevices)});
    }
    if (before.defaultOutput != after.defaultOutput) {
        changes.push_back(
            {kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultOutputDevice)});
    }
    if (before.defaultInput != after.defaultInput) {
        changes.push_back(
            {kAudioObjectSystemObject, globalAddress(kAudioHardwarePropertyDefaultInputDevice)});
    }
    return changes;
}

}  // namespace brimo::hal
