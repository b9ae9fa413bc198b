#include "platform/hal/pulse/PulseAudioBackend.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

#include "platform/hal/pulse/DeviceProperties.h"

namespace brimo::hal::pulse {

std::shared_ptr<PulseAudioBackend> PulseAudioBackend::create(PulseAudioBackendOptions options) {
    const auto timeout = options.connectTimeout;
    std::shared_ptr<PulseAudioBackend> backend(new PulseAudioBackend(std::move(options)));
    backend->control_->start(timeout);
    return backend;
}

PulseAudioBackend::PulseAudioBackend(PulseAudioBackendOptions options)
    : options_(std::move(options)),
      mirror_(options_.ioPeriodSeconds),
      snapshot_(mirror_.snapshot()),
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
    auto changes = mirror_.apply(view);
    {
        std::lock_guard lock(snapshotMutex_);
        snapshot_ = mirror_.snapshot();
    }
    listeners_.post(changes);
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

std::shared_ptr<const DeviceSnapshot> PulseAudioBackend::snapshot() const {
    std::lock_guard lock(snapshotMutex_);
    return snapshot_;
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

void PulseAudioBackend::waitForNotifications() {
    listeners_.flush();
}

bool PulseAudioBackend::hasProperty(AudioObjectID object,
                                    const AudioObjectPropertyAddress& address) {
    return snapshotHasProperty(*snapshot(), object, address);
}

OSStatus PulseAudioBackend::getPropertyDataSize(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                                UInt32& dataSize) {
    return snapshotPropertyDataSize(*snapshot(), object, address, dataSize);
}

OSStatus PulseAudioBackend::getPropertyData(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                            UInt32& dataSize, void* data) {
    return snapshotPropertyData(*snapshot(), object, address, dataSize, data);
}

OSStatus PulseAudioBackend::setPropertyData(AudioObjectID /*object*/,
                                            const AudioObjectPropertyAddress& /*address*/,
                                            UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                            UInt32 /*dataSize*/, const void* data) {
    AudioDeviceID device = kAudioObjectUnknown;
    std::memcpy(&device, data, sizeof(device));
    std::string sink;
    {
        const auto current = snapshot();
        const DeviceRecord* record = current->find(device);
        if (record == nullptr || record->playbackSink.empty()) {
            return current->connected ? kAudioHardwareBadDeviceError
                                      : kAudioHardwareNotRunningError;
        }
        sink = record->playbackSink;
    }
    return control_->setDefaultSink(sink, options_.connectTimeout);
}

OSStatus PulseAudioBackend::addPropertyListener(AudioObjectID object,
                                                const AudioObjectPropertyAddress& address,
                                                AudioObjectPropertyListenerProc listener,
                                                void* clientData) {
    if (object != kAudioObjectSystemObject && snapshot()->find(object) == nullptr) {
        return kAudioHardwareBadObjectError;
    }
    return listeners_.add(object, address, listener, clientData);
}

OSStatus PulseAudioBackend::removePropertyListener(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   AudioObjectPropertyListenerProc listener,
                                                   void* clientData) {
    return listeners_.remove(object, address, listener, clientData);
}

OSStatus PulseAudioBackend::deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) {
    const auto current = snapshot();
    const DeviceRecord* record = current->find(device);
    if (record == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    format.sampleRate = record->sampleRate;
    format.inputChannels = record->inputChannels;
    format.outputChannels = record->outputChannels;
    format.bufferFrameSize = record->bufferFrameSize;
    return noErr;
}

OSStatus PulseAudioBackend::startDeviceIO(AudioDeviceID device, DeviceIOClient& client,
                                          bool capture, bool play) {
    const auto current = snapshot();
    const DeviceRecord* record = current->find(device);
    if (record == nullptr) {
        return kAudioHardwareBadDeviceError;
    }
    if ((!capture && !play) || (capture && record->captureSource.empty()) ||
        (play && record->playbackSink.empty())) {
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
        plan.captureSource = record->captureSource;
        plan.captureChannelMap = record->captureChannelMap;
        plan.captureChannels = record->inputChannels;
    }
    if (play) {
        plan.playbackSink = record->playbackSink;
        plan.playbackChannelMap = record->playbackChannelMap;
        plan.playbackChannels = record->outputChannels;
    }

    std::lock_guard lock(sessionsMutex_);
    const SessionKey key{device, &client};
    if (sessions_.count(key) != 0) {
        return kAudioHardwareIllegalOperationError;
    }
    std::unique_ptr<DeviceIOSession> session;
    const OSStatus status = DeviceIOSession::open(plan, client, counters_, session);
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
