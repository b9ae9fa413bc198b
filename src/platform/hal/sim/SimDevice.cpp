#include "platform/hal/sim/SimDevice.h"

#include <algorithm>
#include <cmath>

#include "platform/hal/ChannelMapping.h"

namespace brimo::hal::sim {

SimDevice::SimDevice(const SimClock& clock, Format format, bool loopback, UInt32 recordingFrames)
    : clock_(clock),
      loopback_(loopback),
      format_(format),
      recorder_(recordingFrames, format.outputChannels) {
    allocateLocked();
}

SimDevice::~SimDevice() {
    shutDown();
}

void SimDevice::shutDown() {
    {
        const std::lock_guard guard(mutex_);
        shutDown_ = true;
        clients_.clear();
        signals_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SimDevice::endIO(OSStatus reason) {
    const std::lock_guard guard(mutex_);
    const std::vector<Client> ended = std::move(clients_);
    clients_.clear();
    for (const Client& c : ended) {
        c.client->deviceIODidStop(reason);
    }
}

void SimDevice::stallUntil(UInt64 until) {
    {
        const std::lock_guard guard(mutex_);
        anchor_ = std::max(until, cycleTimeLocked(index_));
        index_ = 0;
        rescheduled_ = true;
    }
    wake_.notify_all();
}

void SimDevice::setFormat(const Format& format) {
    {
        const std::lock_guard guard(mutex_);
        // The new clock takes over from the cycle that was due next, so no cycle is skipped
        // or repeated.
        anchor_ = cycleTimeLocked(index_);
        index_ = 0;
        const bool channelsChanged = format.outputChannels != format_.outputChannels;
        format_ = format;
        allocateLocked();
        if (channelsChanged) {
            recorder_.reset(format_.outputChannels);
        }
        rescheduled_ = true;
    }
    wake_.notify_all();
}

SimDevice::Format SimDevice::format() const {
    const std::lock_guard guard(mutex_);
    return format_;
}

void SimDevice::addClient(DeviceIOClient& client, bool capture, bool play) {
    {
        const std::lock_guard guard(mutex_);
        const bool wasRunning = runningLocked();
        clients_.push_back({&client, capture, play});
        startRunningLocked(wasRunning);
    }
    wake_.notify_all();
}

void SimDevice::removeClient(DeviceIOClient& client) {
    const std::lock_guard guard(mutex_);
    std::erase_if(clients_, [&client](const Client& c) { return c.client == &client; });
}

void SimDevice::addSignal(SignalID id, Signal signal, Side side) {
    {
        const std::lock_guard guard(mutex_);
        const bool wasRunning = runningLocked();
        signals_.emplace_back(id, std::move(signal), side);
        startRunningLocked(wasRunning);
    }
    wake_.notify_all();
}

bool SimDevice::removeSignal(SignalID id) {
    const std::lock_guard guard(mutex_);
    return std::erase_if(signals_, [id](const SignalPlayer& s) { return s.id() == id; }) > 0;
}

bool SimDevice::isRunning() const {
    const std::lock_guard guard(mutex_);
    return runningLocked();
}

UInt64 SimDevice::cycleCount() const {
    const std::lock_guard guard(mutex_);
    return cycles_;
}

Recording SimDevice::recording() const {
    const std::lock_guard guard(mutex_);
    return recorder_.snapshot(format_.sampleRate);
}

void SimDevice::clearRecording() {
    const std::lock_guard guard(mutex_);
    recorder_.reset(format_.outputChannels);
}

std::optional<UInt64> SimDevice::nextCycleTime() const {
    const std::lock_guard guard(mutex_);
    if (!runningLocked() || shutDown_) {
        return std::nullopt;
    }
    return cycleTimeLocked(index_);
}

void SimDevice::runCycleDueAt(UInt64 time) {
    const std::lock_guard guard(mutex_);
    if (runningLocked() && !shutDown_ && cycleTimeLocked(index_) == time) {
        cycleLocked();
    }
}

UInt64 SimDevice::cycleTimeLocked(UInt64 index) const {
    // Long double keeps the nanosecond exact over days of cycles.
    const long double actualRate = static_cast<long double>(format_.sampleRate) *
                                   (1.0L + static_cast<long double>(format_.driftPpm) * 1e-6L);
    const long double seconds =
        static_cast<long double>(index) * format_.bufferFrameSize / actualRate;
    return anchor_ + static_cast<UInt64>(std::llround(seconds * 1e9L));
}

void SimDevice::startRunningLocked(bool wasRunning) {
    if (wasRunning) {
        return;
    }
    anchor_ = clock_.now();
    index_ = 0;
    rescheduled_ = true;
    if (clock_.mode() == ClockMode::realTime && !thread_.joinable() && !shutDown_) {
        thread_ = std::thread([this] { realTimeLoop(); });
    }
}

void SimDevice::allocateLocked() {
    const std::size_t frames = format_.bufferFrameSize;
    mix_.assign(frames * format_.outputChannels, 0.0F);
    unitOut_.assign(frames * format_.outputChannels, 0.0F);
    capture_.assign(frames * format_.inputChannels, 0.0F);
}

// One I/O cycle: everything played into the device is mixed and recorded; then the capture
// side (for a loopback device, that same mix) goes to the capturing units.
void SimDevice::cycleLocked() {
    const UInt32 frames = format_.bufferFrameSize;
    const UInt32 out = format_.outputChannels;
    const UInt32 in = format_.inputChannels;
    AudioTimeStamp time;
    time.mSampleTime = static_cast<Float64>(sampleTime_);
    time.mHostTime = cycleTimeLocked(index_);
    time.mRateScalar = 1.0 + format_.driftPpm * 1e-6;
    time.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;

    if (out > 0) {
        std::fill(mix_.begin(), mix_.end(), 0.0F);
        for (auto& s : signals_) {
            if (s.side() == Side::playback) {
                s.addTo(mix_.data(), frames, out, format_.sampleRate);
            }
        }
        for (const auto& c : clients_) {
            if (c.play) {
                std::fill(unitOut_.begin(), unitOut_.end(), 0.0F);
                c.client->deviceWillPlay(unitOut_.data(), frames, out, format_.sampleRate, time);
                float* mix = mix_.data();
                const float* unit = unitOut_.data();
                for (std::size_t i = 0, n = mix_.size(); i < n; ++i) {
                    mix[i] += unit[i];
                }
            }
        }
        recorder_.append(mix_.data(), frames);
    }
    if (in > 0) {
        if (loopback_ && out > 0) {
            mapChannels(mix_.data(), out, capture_.data(), in, frames, true);
        } else {
            std::fill(capture_.begin(), capture_.end(), 0.0F);
        }
        for (auto& s : signals_) {
            if (s.side() == Side::capture) {
                s.addTo(capture_.data(), frames, in, format_.sampleRate);
            }
        }
        for (const auto& c : clients_) {
            if (c.capture) {
                c.client->deviceDidCapture(capture_.data(), frames, in, format_.sampleRate, time);
            }
        }
    }
    sampleTime_ += frames;
    ++index_;
    ++cycles_;
}

void SimDevice::realTimeLoop() {
    std::unique_lock lock(mutex_);
    while (!shutDown_) {
        if (!runningLocked()) {
            wake_.wait(lock, [this] { return shutDown_ || runningLocked(); });
            continue;
        }
        rescheduled_ = false;
        const auto deadline = clock_.toSteady(cycleTimeLocked(index_));
        if (wake_.wait_until(lock, deadline, [this] { return shutDown_ || rescheduled_; })) {
            continue;
        }
        if (runningLocked()) {
            cycleLocked();
        }
    }
}

}  // namespace brimo::hal::sim
