#include "platform/hal/pulse/DeviceMirror.h"

#include <algorithm>
#include <cmath>

namespace brimo::hal::pulse {

namespace {

const SourceRecord* findSource(const ServerView& view, const std::string& name) {
    auto found = std::find_if(view.sources.begin(), view.sources.end(),
                              [&](const SourceRecord& source) { return source.name == name; });
    return found == view.sources.end() ? nullptr : &*found;
}

// What one side of a device connects to; no channels: the device has no such side.
struct Side {
    UInt32 channels = 0;
    std::string serverName;
    std::string channelMap;
};

bool sideNamed(const std::vector<StreamRecord>& streams, const std::string& name) {
    return !streams.empty() && streams.front().serverName == name;
}

}  // namespace

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

void DeviceMirror::apply(const ServerView& view) {
    auto next = std::make_shared<DeviceSnapshot>();
    std::map<Key, Ids> nextIds;
    next->connected = view.connected;

    // Stream IDs are kept while their side exists; a side that comes back gets a new one.
    auto addDevice = [&](const Key& key, const std::string& name, const std::string& description,
                         Float64 sampleRate, const Side& input, const Side& output) {
        DeviceRecord record = makeRecord(key, nextIds);
        record.name = description.empty() ? name : description;
        record.uid = name;
        record.sampleRate = sampleRate;
        record.bufferFrameSize = ioCycleFrames(sampleRate, ioPeriodSeconds_);
        Ids& ids = nextIds[key];
        const auto attach = [&](const Side& side, AudioStreamID& id,
                                std::vector<StreamRecord>& streams) {
            if (side.channels == 0) {
                id = kAudioObjectUnknown;
                return;
            }
            if (id == kAudioObjectUnknown) {
                id = nextId();
            }
            streams.push_back({id, side.channels, side.serverName, side.channelMap});
        };
        attach(input, ids.inputStream, record.inputStreams);
        attach(output, ids.outputStream, record.outputStreams);
        next->devices.push_back(std::move(record));
    };

    if (view.connected) {
        for (const auto& sink : view.sinks) {
            Side monitor;
            if (sink.isNullSink) {
                if (const SourceRecord* source = findSource(view, sink.monitorSourceName)) {
                    monitor = {source->channels, source->name, source->channelMap};
                }
            }
            addDevice({true, sink.index}, sink.name, sink.description, sink.sampleRate, monitor,
                      {sink.channels, sink.name, sink.channelMap});
        }
        for (const auto& source : view.sources) {
            if (!source.isMonitor) {
                addDevice({false, source.index}, source.name, source.description, source.sampleRate,
                          {source.channels, source.name, source.channelMap}, {});
            }
        }
    }
    std::sort(next->devices.begin(), next->devices.end(),
              [](const DeviceRecord& a, const DeviceRecord& b) { return a.id < b.id; });

    for (const auto& device : next->devices) {
        if (sideNamed(device.outputStreams, view.defaultSinkName)) {
            next->defaultOutput = device.id;
        }
        if (sideNamed(device.inputStreams, view.defaultSourceName)) {
            next->defaultInput = device.id;
        }
    }

    ids_ = std::move(nextIds);
    snapshot_ = std::move(next);
}

}  // namespace brimo::hal::pulse
