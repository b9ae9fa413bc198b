#include "audio/engine/AudioEngineService.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>

#include "platform/hal/TimePitchUnit.h"
#include "platform/hal/UnitProperty.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatDeviceId;
using text::formatDouble;
using text::formatFloat;

namespace {

// Level updates reach the main thread about as often as 512-frame blocks arrive.
constexpr auto kLevelDrainInterval = std::chrono::milliseconds(10);

// Sizes below follow from the rate; one that is not a real rate would make no sense of them.
bool isUsableSampleRate(double rate) {
    return std::isfinite(rate) && rate >= 2.0;
}

}  // namespace

std::shared_ptr<AudioEngineService> AudioEngineService::create(Options options) {
    // Our own time-pitch unit is the one the engine finds; registering is once per process.
    hal::registerTimePitchComponent();
    return std::shared_ptr<AudioEngineService>(new AudioEngineService(std::move(options)));
}

AudioEngineService::AudioEngineService(Options options)
    : mainQueue_(*options.mainQueue),
      debugLog_("AudioEngine", std::move(options.logDirectory)),
      sleep_(std::move(options.sleep)) {
    if (!sleep_) {
        sleep_ = [](std::chrono::duration<double> span) { std::this_thread::sleep_for(span); };
    }
}

AudioEngineService::~AudioEngineService() {
    audioQueue_.sync([this] { stopSequence(); });
}

void AudioEngineService::pause(double seconds) {
    sleep_(std::chrono::duration<double>(seconds));
}

void AudioEngineService::setup() {
    log("🎵 [SETUP] Complete");
}

std::optional<std::uint32_t> AudioEngineService::inputDeviceID() const {
    return hasInputDevice_ ? std::optional(inputDeviceID_.load()) : std::nullopt;
}

std::optional<std::uint32_t> AudioEngineService::outputDeviceID() const {
    return hasOutputDevice_ ? std::optional(outputDeviceID_.load()) : std::nullopt;
}

void AudioEngineService::setVolume(float volume) {
    float clamped = std::min(volume, 2.0F);
    if (clamped < 0.0F || std::isnan(clamped)) {
        clamped = 0.0F;
    }
    renderPath_.setVolume(clamped);
    log("🎵 [VOL] Set volume to " + formatFloat(clamped) +
        " (active: " + formatFloat(renderPath_.volume()) + ")");
}

void AudioEngineService::setFrequency(double frequency) {
    const double cents = 1200.0 * std::log2(frequency / 440.0);
    pitchCents_ = static_cast<float>(cents);
    const std::string prefix =
        "🎵 [FREQ] " + formatDouble(frequency) + " Hz = " + formatFloat(pitchCents_) + " cents";
    // The handle must stay alive while the parameter changes: a stop on the engine's queue
    // disposes units only under unitLock.
    std::unique_lock guard(unitLock_);
    if (hal::AudioUnit unit = timePitchUnit_.load()) {
        hal::AudioUnitSetParameter(unit, hal::kNewTimePitchParam_Pitch, hal::kAudioUnitScope_Global,
                                   0, pitchCents_, 0);
        guard.unlock();
        log(prefix + " (updated live)");
    } else {
        guard.unlock();
        log(prefix);
    }
}

void AudioEngineService::setInputDevice(const AudioDevice& device) {
    log("🎵 [INPUT] " + device.name + " (ID: " + formatDeviceId(device.id) + ")");
    inputDeviceID_ = device.id;
    hasInputDevice_ = true;
    if (auto rate = nominalSampleRate(device.id)) {
        sampleRate_ = *rate;
    }
    if (isRunning_) {
        restart();
    }
}

void AudioEngineService::setOutputDevice(const AudioDevice& device) {
    log("🎵 [OUTPUT] Setting: " + device.name + " (ID: " + formatDeviceId(device.id) + ")");
    if (auto rate = nominalSampleRate(device.id)) {
        log("🎵 [OUTPUT] Device sample rate: " + formatDouble(*rate) + " Hz");
        if (*rate != sampleRate_) {
            log("🔄 [OUTPUT] Switching Engine Sample Rate from " + formatDouble(sampleRate_) +
                " to " + formatDouble(*rate) + " Hz to match Output Device");
            sampleRate_ = *rate;
        }
    } else {
        log("⚠️ [OUTPUT] Could not get device sample rate!");
    }
    if (auto channels = outputChannelCount(device.id)) {
        log("🎵 [OUTPUT] Device channels: " + std::to_string(*channels));
    }
    outputDeviceID_ = device.id;
    hasOutputDevice_ = true;
    if (isRunning_) {
        restart();
    }
}

void AudioEngineService::start() {
    log("🎵 [START] ======");
    audioQueue_.async([weak = weak_from_this()] {
        if (auto engine = weak.lock()) {
            engine->startSequence();
        }
    });
}

void AudioEngineService::stop() {
    log("🎵 [STOP]");
    audioQueue_.async([weak = weak_from_this()] {
        if (auto engine = weak.lock()) {
            engine->stopSequence();
        }
    });
}

void AudioEngineService::restart() {
    log("🔄 [RESTART] Requested...");
    audioQueue_.async([weak = weak_from_this()] {
        auto engine = weak.lock();
        if (!engine) {
            return;
        }
        if (engine->hasInputDevice_ && engine->hasOutputDevice_) {
            engine->stopSequence();
            engine->pause(0.2);
            engine->startSequence();
        } else {
            engine->log("⚠️ [RESTART] Aborting - Missing input or output device");
        }
    });
}

void AudioEngineService::waitUntilIdle() {
    audioQueue_.sync([] {});
}

void AudioEngineService::startSequence() {
    if (isRunning_) {
        stopSequence();
        pause(0.1);
    }
    if (!hasInputDevice_ || !hasOutputDevice_) {
        log("❌ [START] No devices");
        return;
    }
    const std::uint32_t input = inputDeviceID_;
    const std::uint32_t output = outputDeviceID_;
    if (input == output) {
        log("❌ [START] Feedback Loop Detected! Input Device == Output Device (ID: " +
            formatDeviceId(input) + "). Aborting.");
        return;
    }
    log("🎵 [START] In:" + formatDeviceId(input) + " Out:" + formatDeviceId(output) +
        " SR:" + formatDouble(sampleRate_));

    if (auto rate = nominalSampleRate(input); rate && *rate != sampleRate_) {
        log("🎵 [START] Updating internal sample rate from " + formatDouble(sampleRate_) + " to " +
            formatDouble(*rate) + " match Input Device");
        sampleRate_ = *rate;
    }
    const double rate = sampleRate_;
    if (!isUsableSampleRate(rate)) {
        log("❌ [START] Unusable sample rate " + formatDouble(rate) + " Hz. Aborting.");
        return;
    }

    // Leftovers of a failed start go before anything new is made over them.
    disposeUnits();

    const std::int64_t prefill = renderPath_.prepare(rate);
    log("🎵 [START] Pre-filled " + std::to_string(prefill) + " frames (100ms lookahead)");

    if (!createTimePitchUnit()) {
        log("❌ [START] TimePitch failed");
        return;
    }
    // The time-pitch unit reads ahead of what it plays; that part of the lookahead lives in
    // the unit, so the ring buffer is held at the rest and the total stays at 100 ms.
    renderPath_.aim(timePitchLookaheadFrames(rate));
    if (!createInputUnit(input)) {
        log("❌ [START] Input failed");
        return;
    }
    if (!createOutputUnit(output)) {
        log("❌ [START] Output failed");
        return;
    }
    watchRunState(inputUnit_);
    watchRunState(outputUnit_);
    if (const auto status = hal::AudioOutputUnitStart(inputUnit_); status != hal::noErr) {
        log("❌ Input start: " + text::formatStatus(status));
        return;
    }
    if (const auto status = hal::AudioOutputUnitStart(outputUnit_); status != hal::noErr) {
        log("❌ Output start: " + text::formatStatus(status));
        return;
    }
    renderPath_.open(inputUnit_.load(), timePitchUnit_.load());
    isRunning_ = true;
    scheduleLevelDrain();
    log("✅ [START] Running with TimePitch! Pitch: " + formatFloat(pitchCents_) +
        " cents, Latency: ~100ms, Gain: " + formatFloat(renderPath_.volume()) + "x");
}

void AudioEngineService::stopSequence() {
    if (isStopping_) {
        log("⚠️ [STOP] Already stopping, skipping");
        return;
    }
    isStopping_ = true;
    renderPath_.close();
    log("🎵 [STOP] Beginning cleanup...");
    isRunning_ = false;
    pause(0.05);
    disposeUnits();
    isStopping_ = false;
    log("✅ [STOP] Done");
}

void AudioEngineService::disposeUnits() {
    {
        const std::lock_guard guard(unitLock_);
        if (hal::AudioUnit unit = inputUnit_.exchange(nullptr)) {
            log("🎵 [STOP] Stopping input unit...");
            unwatchRunState(unit);
            hal::AudioOutputUnitStop(unit);
            hal::AudioUnitUninitialize(unit);
            hal::AudioComponentInstanceDispose(unit);
        }
        if (hal::AudioUnit unit = outputUnit_.exchange(nullptr)) {
            log("🎵 [STOP] Stopping output unit...");
            unwatchRunState(unit);
            hal::AudioOutputUnitStop(unit);
            hal::AudioUnitUninitialize(unit);
            hal::AudioComponentInstanceDispose(unit);
        }
        if (hal::AudioUnit unit = timePitchUnit_.exchange(nullptr)) {
            log("🎵 [STOP] Stopping TimePitch unit...");
            hal::AudioUnitUninitialize(unit);
            hal::AudioComponentInstanceDispose(unit);
        }
    }
    // Both devices' callbacks have ended with their units, so nothing reads the render path's
    // buffer or handles now.
    renderPath_.release();
}

void AudioEngineService::watchRunState(hal::AudioUnit unit) {
    hal::AudioUnitAddPropertyListener(unit, hal::kAudioOutputUnitProperty_IsRunning,
                                      &AudioEngineService::unitRunStateChanged, this);
}

void AudioEngineService::unwatchRunState(hal::AudioUnit unit) {
    // Returns only once a call in flight on a backend thread is over, so none outlives us.
    hal::AudioUnitRemovePropertyListenerWithUserData(unit, hal::kAudioOutputUnitProperty_IsRunning,
                                                     &AudioEngineService::unitRunStateChanged,
                                                     this);
}

// On whatever thread changed the state. Our own starts and stops run on the engine's queue and
// are no news; anything else is the device's I/O ending, judged on the queue.
void AudioEngineService::unitRunStateChanged(void* engine, hal::AudioUnit unit,
                                             hal::AudioUnitPropertyID /*id*/,
                                             hal::AudioUnitScope /*scope*/,
                                             hal::AudioUnitElement /*element*/) {
    auto* self = static_cast<AudioEngineService*>(engine);
    if (self->audioQueue_.isCurrent()) {
        return;
    }
    self->audioQueue_.async([weak = self->weak_from_this(), unit] {
        if (auto live = weak.lock()) {
            live->handleUnitStopped(unit);
        }
    });
}

void AudioEngineService::handleUnitStopped(hal::AudioUnit unit) {
    // A unit of an earlier start, or one our own stop already took down, is no news.
    const bool isOutput = unit == outputUnit_.load();
    if ((!isOutput && unit != inputUnit_.load()) || !isRunning_ || isStopping_) {
        return;
    }
    hal::UInt32 running = 0;
    if (hal::getUnitProperty(unit, hal::kAudioOutputUnitProperty_IsRunning,
                             hal::kAudioUnitScope_Global, 0, running) == hal::noErr &&
        running != 0) {
        return;
    }
    hal::AudioDeviceID device = hal::kAudioObjectUnknown;
    hal::getUnitProperty(unit, hal::kAudioOutputUnitProperty_CurrentDevice,
                         hal::kAudioUnitScope_Global, 0, device);
    log(std::string("⚠️ [STOP] ") + (isOutput ? "Output" : "Input") + " device " +
        formatDeviceId(device) + " stopped by the audio server");
    // Honest state first: nothing is left running on a dead stream.
    stopSequence();
    mainQueue_.post([weak = weak_from_this(), lost = DeviceIOLost{isOutput, device}] {
        if (auto engine = weak.lock()) {
            engine->deviceIOLost_.send(lost);
        }
    });
}

std::optional<double> AudioEngineService::nominalSampleRate(std::uint32_t deviceID) const {
    const hal::AudioObjectPropertyAddress address{hal::kAudioDevicePropertyNominalSampleRate,
                                                  hal::kAudioObjectPropertyScopeGlobal,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::Float64 rate = 0.0;
    hal::UInt32 size = sizeof(rate);
    if (hal::AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, &rate) !=
        hal::noErr) {
        return std::nullopt;
    }
    return rate;
}

std::int64_t AudioEngineService::timePitchLookaheadFrames(double rate) const {
    hal::Float64 seconds = 0.0;
    if (hal::getUnitProperty(timePitchUnit_.load(), hal::kAudioUnitProperty_Latency,
                             hal::kAudioUnitScope_Global, 0, seconds) != hal::noErr ||
        !std::isfinite(seconds) || seconds < 0.0) {
        return 0;
    }
    return static_cast<std::int64_t>(std::lround(seconds * rate));
}

void AudioEngineService::scheduleLevelDrain() {
    if (levelDrainScheduled_.exchange(true)) {
        return;
    }
    mainQueue_.postAfter(kLevelDrainInterval, [weak = weak_from_this()] {
        if (auto engine = weak.lock()) {
            engine->drainLevels();
        }
    });
}

// Each raw level moves the published value once, in order, exactly as if every block had
// posted its own update.
void AudioEngineService::drainLevels() {
    while (auto raw = renderPath_.popLevel()) {
        // The capture side never hands over a non-finite level; a value that is no number
        // would still stay in the smoothing for good, so it counts as silence.
        const float target = std::isnan(*raw) ? 0.0F : std::min(3.0F * *raw, 1.0F);
        audioLevel_ = 0.85F * audioLevel_.value() + 0.15F * target;
    }
    levelDrainScheduled_ = false;
    if (isRunning_ || renderPath_.hasLevels()) {
        scheduleLevelDrain();
    }
}

}  // namespace brimo::audio
