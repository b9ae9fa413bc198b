#pragma once

#include <string>
#include <vector>

#include "platform/hal/AudioTypes.h"

namespace brimo::hal::pulse {

// What the audio server reported in one refresh, as plain values: the backend's device model
// is built from this alone, so it can be tested without a server.

struct SinkRecord {
    UInt32 index = 0;
    std::string name;  // the server's object name, e.g. "brimola_vetrix"
    std::string description;
    Float64 sampleRate = 0.0;
    UInt32 channels = 0;
    std::string channelMap;  // as the server prints it, e.g. "front-left,front-right"
    // A virtual sink whose monitor carries back what is played into it.
    bool isNullSink = false;
    std::string monitorSourceName;
    bool suspended = false;
};

struct SourceRecord {
    UInt32 index = 0;
    std::string name;
    std::string description;
    Float64 sampleRate = 0.0;
    UInt32 channels = 0;
    std::string channelMap;
    bool isMonitor = false;
    bool suspended = false;
};

struct ServerView {
    bool connected = false;
    bool onPipeWire = false;  // PipeWire's PulseAudio server rather than PulseAudio
    std::string defaultSinkName;
    std::string defaultSourceName;
    std::vector<SinkRecord> sinks;
    std::vector<SourceRecord> sources;
};

}  // namespace brimo::hal::pulse
