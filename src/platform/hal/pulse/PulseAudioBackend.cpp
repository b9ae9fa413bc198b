#include "platform/hal/pulse/PulseAudioBackend.h"

#include <algorithm>
#include <iterator>
#include <set>

namespace brimo::hal::pulse {

std::shared_ptr<PulseAudioBackend> PulseAudioBackend::create(PulseAudioBackendOptions options) {
    const auto timeout = options.connectTimeout;
    std::shared_ptr<PulseAudioBackend> backend(new PulseAudioBackend(std::move(options)));
    backend->control_->start(timeout);
    return backend;
}

PulseAudioBackend::PulseAudioBackend(PulseAudioBackendOptions options)
    : SnapshotBackend(std::make_shared<const DeviceSnapshot>()),
      options_(std::move(options)),
      mirror_(options_.ioPeriodSeconds),
      control_(std::make_unique<ControlConnection>(
          options_.applicationName, options_.reconnectInterval, options_.defaultsCheckInterval,
          options_.defaultsCheckIntervalMax,
          [this](const ServerView& view) { viewArrived(view); })) {}

PulseAudioBackend::~PulseAudioBackend() {
    control_.reset();  // no view arrives after this
    std::map<SessionKey, std::unique_ptr<DeviceIOSession>> sessions;
    {
        std::lock_guard lock(sessionsMutex_);
        sessions.swap(sessions_);
    }
    sessions.clear();
}

void PulseAudioBackend::viewArrived(const ServerView& view) {
    onPipeWire_.store(view.onPipeWire, std::memory_order_relaxed);
    if (view.onPipeWire) {
        reconnectResumedCaptures(view);
    }
    mirror_.apply(view);
    announce(publish(mirror_.snapshot()));
}

void PulseAudioBackend::reconnectResumedCaptures(const ServerView& view) {
    std::set<std::string> suspended;
    for (const auto& sink : view.sinks) {
        if (sink.suspended) {
            suspended.insert(sink.monitorSourceName);
        }
    }
    for (const auto& source : view.sources) {
        if (source.suspended) {
            suspended.insert(source.name);
        }
    }
    std::set<std::string> resumed;
    std::set_difference(suspendedSources_.begin(), suspendedSources_.end(), suspended.begin(),
                        suspended.end(), std::inserter(resumed, resumed.end()));
    suspendedSources_ = std::move(suspended);
    if (resumed.empty()) {
        return;
    }
    std::lock_guard lock(sessionsMutex_);
    for (auto& [key, session] : sessions_) {
        if (session->captures() && resumed.count(session->captureSource()) != 0) {
            session->captureSourceResumed();
        }
    }
}

bool PulseAudioBackend::isConnected() const {
    return control_->isConnected();
}

unsigned PulseAudioBackend::staleViewsReplaced() const {
    return control_->staleViewsReplaced();
}

IOStatistics PulseAudioBackend::statistics() const {
    return counters_.snapshot();
}

StreamLatency PulseAudioBackend::latency(AudioDeviceID device) {
    std::lock_guard lock(sessionsMutex_);
    StreamLatency merged;
    for (auto& [key, session] : sessions_) {
        if (key.first != device) {
            continue;
        }
        const StreamLatency one = session->latency();
        merged.valid = one.valid;
        if (session->captures()) {
            merged.captureSeconds = one.captureSeconds;
        }
        if (session->plays()) {
            merged.playbackSeconds = one.playbackSeconds;
            merged.playbackTargetSeconds = one.playbackTargetSeconds;
        }
    }
    return merged;
}

OSStatus PulseAudioBackend::makeDefaultOutput(AudioDeviceID device) {
    std::string sink;
    {
        const auto current = published();
        const DeviceRecord* record = current->find(device);
        if (record == nullptr || record->outputStreams.empty()) {
            return current->connected ? kAudioHardwareBadDeviceError
                                      : kAudioHardwareNotRunningError;
        }
        sink = record->outputStreams.front().serverName;
    }
    return control_->setDefaultSink(sink, options_.connectTimeout);
}

OSStatus PulseAudioBackend::deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) {
    const auto current = published();
    const DeviceRecord* record = current->find(device);
    if (record == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    format.sampleRate = record->sampleRate;
    format.inputChannels = record->inputChannels();
    format.outputChannels = record->outputChannels();
    format.bufferFrameSize = record->bufferFrameSize;
    return noErr;
}

OSStatus PulseAudioBackend::startDeviceIO(AudioDeviceID device, DeviceIOClient& client,
                                          bool capture, bool play) {
    const auto current = published();
    const DeviceRecord* record = current->find(device);
    if (record == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    if ((!capture && !play) || (capture && record->inputStreams.empty()) ||
        (play && record->outputStreams.empty())) {
        return kAudioHardwareIllegalOperationError;
    }
    DeviceIOPlan plan;
    plan.applicationName = options_.applicationName;
    plan.sampleRate = record->sampleRate;
    plan.cycleFrames = record->bufferFrameSize;
    const bool onPipeWire = onPipeWire_.load(std::memory_order_relaxed);
    plan.playbackCycles = onPipeWire ? options_.playbackCyclesOnPipeWire : options_.playbackCycles;
    plan.playbackCyclesMax = onPipeWire ? plan.playbackCycles : options_.playbackCyclesMax;
    plan.playbackShrinkAfterSeconds = options_.playbackShrinkAfterSeconds;
    plan.connectTimeout = options_.connectTimeout;
    plan.realtimePriority = options_.realtimePriority;
    if (capture) {
        const StreamRecord& stream = record->inputStreams.front();
        plan.captureSource = stream.serverName;
        plan.captureChannelMap = stream.channelMap;
        plan.captureChannels = stream.channels;
    }
    if (play) {
        const StreamRecord& stream = record->outputStreams.front();
        plan.playbackSink = stream.serverName;
        plan.playbackChannelMap = stream.channelMap;
        plan.playbackChannels = stream.channels;
    }

    std::lock_guard lock(sessionsMutex_);
    const SessionKey key{device, &client};
    if (sessions_.count(key) != 0) {
        return kAudioHardwareIllegalOperationError;
    }
    std::unique_ptr<DeviceIOSession> session;
    const OSStatus status =
        DeviceIOSession::open(plan, client, counters_, listenerThread(), session);
    if (status == noErr) {
        sessions_.emplace(key, std::move(session));
    }
    return status;
}

void PulseAudioBackend::stopDeviceIO(AudioDeviceID device, DeviceIOClient& client) {
    std::unique_ptr<DeviceIOSession> session;
    {
        std::lock_guard lock(sessionsMutex_);
        auto found = sessions_.find({device, &client});
        if (found == sessions_.end()) {
            return;
        }
        session = std::move(found->second);
        sessions_.erase(found);
    }
    session.reset();
}

}  // namespace brimo::hal::pulse
