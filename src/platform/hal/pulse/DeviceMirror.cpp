#include "platform/hal/pulse/DeviceMirror.h"

#include <algorithm>
#include <cmath>

namespace brimo::hal::pulse {

namespace {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector) {
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

constexpr AudioObjectPropertyAddress scopedAddress(AudioObjectPropertySelector selector,
                                                   AudioObjectPropertyScope scope) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

const SourceRecord* findSource(const ServerView& view, const std::string& name) {
    auto found = std::find_if(view.sources.begin(), view.sources.end(),
                              [&](const SourceRecord& source) { return source.name == name; });
    return found == view.sources.end() ? nullptr : &*found;
}

std::vector<AudioDeviceID> idsOf(const DeviceSnapshot& snapshot) {
    std::vector<AudioDeviceID> ids;
    ids.reserve(snapshot.devices.size());
    for (const auto& device : snapshot.devices) {
        ids.push_back(device.id);
    }
    return ids;
}

void addSideChanges(const DeviceRecord& before, const DeviceRecord& after,
                    std::vector<PropertyChange>& changes) {
    if (before.inputChannels != after.inputChannels || before.inputStream != after.inputStream) {
        changes.push_back(
            {after.id, scopedAddress(kAudioDevicePropertyStreams, kAudioObjectPropertyScopeInput)});
        changes.push_back({after.id, scopedAddress(kAudioDevicePropertyStreamConfiguration,
                                                   kAudioObjectPropertyScopeInput)});
    }
    if (before.outputChannels != after.outputChannels ||
        before.outputStream != after.outputStream) {
        changes.push_back({after.id, scopedAddress(kAudioDevicePropertyStreams,
                                                   kAudioObjectPropertyScopeOutput)});
        changes.push_back({after.id, scopedAddress(kAudioDevicePropertyStreamConfiguration,
                                                   kAudioObjectPropertyScopeOutput)});
    }
}

std::vector<PropertyChange> differences(const DeviceSnapshot& before, const DeviceSnapshot& after) {
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
        addSideChanges(old, *now, changes);
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

}  // namespace

const DeviceRecord* DeviceSnapshot::find(AudioDeviceID id) const {
    auto found = std::find_if(devices.begin(), devices.end(),
                              [id](const DeviceRecord& device) { return device.id == id; });
    return found == devices.end() ? nullptr : &*found;
}

UInt32 ioCycleFrames(Float64 sampleRate, double periodSeconds) {
    constexpr UInt32 fallback = 512;
    constexpr int smallestExponent = 6;  // 64 frames
    constexpr int largestExponent = 13;  // 8192 frames
    const double target = sampleRate * periodSeconds;
    if (!(target > 0.0)) {
        return fallback;
    }
    const int exponent = std::clamp(static_cast<int>(std::lround(std::log2(target))),
                                    smallestExponent, largestExponent);
    return UInt32{1} << static_cast<unsigned>(exponent);
}

DeviceMirror::DeviceMirror(double ioPeriodSeconds)
    : ioPeriodSeconds_(ioPeriodSeconds), snapshot_(std::make_shared<DeviceSnapshot>()) {}

DeviceRecord DeviceMirror::makeRecord(const Key& key, std::map<Key, Ids>& next) {
    auto known = ids_.find(key);
    Ids ids = known == ids_.end() ? Ids{} : known->second;
    if (ids.device == kAudioObjectUnknown) {
        ids.device = nextId();
    }
    next[key] = ids;
    DeviceRecord record;
    record.id = ids.device;
    return record;
}

std::vector<PropertyChange> DeviceMirror::apply(const ServerView& view) {
    auto next = std::make_shared<DeviceSnapshot>();
    std::map<Key, Ids> nextIds;
    next->connected = view.connected;

    // Stream IDs are kept while their side exists; a side that comes back gets a new one.
    auto attachStreams = [&](const Key& key, DeviceRecord& record) {
        Ids& ids = nextIds[key];
        if (record.inputChannels == 0) {
            ids.inputStream = kAudioObjectUnknown;
        } else if (ids.inputStream == kAudioObjectUnknown) {
            ids.inputStream = nextId();
        }
        if (record.outputChannels == 0) {
            ids.outputStream = kAudioObjectUnknown;
        } else if (ids.outputStream == kAudioObjectUnknown) {
            ids.outputStream = nextId();
        }
        record.inputStream = ids.inputStream;
        record.outputStream = ids.outputStream;
        record.bufferFrameSize = ioCycleFrames(record.sampleRate, ioPeriodSeconds_);
    };

    if (view.connected) {
        for (const auto& sink : view.sinks) {
            const Key key{true, sink.index};
            DeviceRecord record = makeRecord(key, nextIds);
            record.name = sink.description.empty() ? sink.name : sink.description;
            record.uid = sink.name;
            record.sampleRate = sink.sampleRate;
            record.outputChannels = sink.channels;
            record.playbackSink = sink.name;
            record.playbackChannelMap = sink.channelMap;
            if (sink.isNullSink) {
                if (const SourceRecord* monitor = findSource(view, sink.monitorSourceName)) {
                    record.inputChannels = monitor->channels;
                    record.captureSource = monitor->name;
                    record.captureChannelMap = monitor->channelMap;
                }
            }
            attachStreams(key, record);
            next->devices.push_back(std::move(record));
        }
        for (const auto& source : view.sources) {
            if (source.isMonitor) {
                continue;
            }
            const Key key{false, source.index};
            DeviceRecord record = makeRecord(key, nextIds);
            record.name = source.description.empty() ? source.name : source.description;
            record.uid = source.name;
            record.sampleRate = source.sampleRate;
            record.inputChannels = source.channels;
            record.captureSource = source.name;
            record.captureChannelMap = source.channelMap;
            attachStreams(key, record);
            next->devices.push_back(std::move(record));
        }
    }
    std::sort(next->devices.begin(), next->devices.end(),
              [](const DeviceRecord& a, const DeviceRecord& b) { return a.id < b.id; });

    for (const auto& device : next->devices) {
        if (!device.playbackSink.empty() && device.playbackSink == view.defaultSinkName) {
            next->defaultOutput = device.id;
        }
        if (!device.captureSource.empty() && device.captureSource == view.defaultSourceName) {
            next->defaultInput = device.id;
        }
    }

    ids_ = std::move(nextIds);
    auto changes = differences(*snapshot_, *next);
    snapshot_ = std::move(next);
    return changes;
}

}  // namespace brimo::hal::pulse
