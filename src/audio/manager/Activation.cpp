// Switching the 432 Hz shift on and off, and the ten-step glide between the two tunings.
#include <chrono>
#include <cmath>

#include "audio/manager/AudioManager.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatBool;
using text::formatDouble;

namespace {

constexpr int kFadeSteps = 10;
constexpr auto kFadeStepDelay = std::chrono::milliseconds(100);

}  // namespace

void AudioManager::toggle() {
    log("🎛️ [TOGGLE] Toggle called, current isActive: " + formatBool(isActive_.value()));
    if (!isActive_.value()) {
        log("🎛️ [TOGGLE] Activating...");
        activate();
    } else {
        log("🎛️ [TOGGLE] Deactivating...");
        deactivate();
    }
    log("🎛️ [TOGGLE] Toggle complete, new isActive: " + formatBool(isActive_.value()));
}

void AudioManager::activate() {
    log("🎛️ [ACTIVATE] ====== Activating (fade to 432 Hz) ======");
    if (!isEngineRunning_) {
        checkAndStartEngine();
        if (!isEngineRunning_) {
            log("❌ [ACTIVATE] Cannot activate - engine not running");
            return;
        }
    }
    log("🎛️ [ACTIVATE] Setting isActive = true");
    isActive_ = true;
    soundEffects().playActivationSound();
    startPitchFade(kPassthroughFrequency, kActiveFrequency);
    log("✅ [ACTIVATE] Pitch fade started to 432 Hz");
}

void AudioManager::deactivate() {
    log("🎛️ [DEACTIVATE] ====== Deactivating (fade to 440 Hz) ======");
    log("🎛️ [DEACTIVATE] Setting isActive = false");
    isActive_ = false;
    soundEffects().playDeactivationSound();
    startPitchFade(kActiveFrequency, kPassthroughFrequency);
    log("✅ [DEACTIVATE] Pitch fade started to 440 Hz");
}

void AudioManager::setFrequency(double hz) {
    log("🎛️ [FREQ] Setting frequency to: " + formatDouble(hz));
    // A value that is no number has no place in the range; passthrough is the safe reading.
    const double frequency = std::isnan(hz)           ? kPassthroughFrequency
                             : hz < kLowestFrequency  ? kLowestFrequency
                             : hz > kHighestFrequency ? kHighestFrequency
                                                      : hz;
    targetFrequency_ = frequency;
    audioEngine_->setFrequency(frequency);
}

void AudioManager::startPitchFade(double from, double to) {
    if (pitchFadeTask_) {
        pitchFadeTask_->isCancelled = true;
    }
    log("🎵 [PITCH_FADE] Starting fade from " + formatDouble(from) + " to " + formatDouble(to) +
        " Hz");
    pitchFadeTask_ = std::make_shared<FadeTask>();
    scheduleFadeStep(pitchFadeTask_, from, to, 1, from);
}

void AudioManager::scheduleFadeStep(const std::shared_ptr<FadeTask>& task, double from, double to,
                                    int step, double current) {
    // The step holds the manager weakly: a glide never keeps it alive, and one that outlives it
    // ends quietly at its next step.
    mainQueue_.postAfter(kFadeStepDelay, [weak = weak_from_this(), task, from, to, step, current] {
        if (task->isCancelled) {
            return;
        }
        auto self = weak.lock();
        if (!self) {
            return;
        }
        // A running sum, as the glide has always sounded; the last step lands exactly on `to`.
        const double next = current + (to - from) / static_cast<double>(kFadeSteps);
        self->setFrequency(step == kFadeSteps ? to : next);
        if (step == kFadeSteps) {
            self->log("🎵 [PITCH_FADE] Fade complete at " + formatDouble(to) + " Hz");
            return;
        }
        self->scheduleFadeStep(task, from, to, step + 1, next);
    });
}

}  // namespace brimo::audio
