// How the audio manager keeps sound going when devices go away and come back: the output is
// followed by UID (IDs change with every replug and server restart), another real output
// stands in while it is gone, and a stream the server ended restarts the engine.
#include <algorithm>
#include <string>

#include "audio/manager/AudioManager.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatDeviceId;

namespace {

const AudioDevice* findByUID(const std::vector<AudioDevice>& devices, const std::string& uid) {
    const auto it = std::find_if(devices.begin(), devices.end(),
                                 [&uid](const AudioDevice& d) { return d.uid == uid; });
    return it == devices.end() ? nullptr : &*it;
}

}  // namespace

void AudioManager::handleDeviceIOLost(const AudioEngineService::DeviceIOLost& lost) {
    log(std::string("🔊 [DEVICE_CHANGE] ") + (lost.isOutput ? "Output" : "Input") + " device " +
        formatDeviceId(lost.deviceID) + " stopped - refreshing devices");
    // The engine has stopped itself; unless a restart of ours has already brought it back, the
    // refresh starts it again on whatever is there now.
    if (!audioEngine_->isRunning()) {
        isEngineRunning_ = false;
    }
    refreshDevices();
}

// A list change matters only while something is missing: the chosen output (the engine plays
// to a stand-in or waits). Otherwise the listeners and the periodic refresh see to it.
void AudioManager::handleDeviceListChanged() {
    const auto& selected = selectedOutputDevice_.value();
    if (!isWaitingForOutput_ && (!selected || selected->uid == preferredOutputUID_)) {
        return;
    }
    log("🔊 [DEVICE_CHANGE] Device list changed - refreshing devices");
    refreshDevices();
}

// The virtual device under a new ID (a server restart, a reloaded module) while it stayed the
// system output: the engine must capture the new one.
void AudioManager::followCaptureDevice() {
    const auto input = deviceService_->findBrimolavetrixDevice();
    const auto current = audioEngine_->inputDeviceID();
    if (!input || (current && *current == input->id)) {
        return;
    }
    log("🔄 [REFRESH] Brimola Vetrix input is now ID " + formatDeviceId(input->id) +
        " - setting it as input");
    audioEngine_->setInputDevice(*input);
}

void AudioManager::followSelectedOutput() {
    const auto& selected = selectedOutputDevice_.value();
    if (!selected) {
        return;
    }
    const std::vector<AudioDevice>& outputs = outputDevices_.value();
    if (selected->uid != preferredOutputUID_) {
        if (const AudioDevice* preferred = findByUID(outputs, preferredOutputUID_)) {
            log("🔄 [REFRESH] Output device '" + preferred->name +
                "' is back (ID: " + formatDeviceId(preferred->id) + ") - switching to it");
            switchOutput(*preferred);
            return;
        }
    }
    if (const AudioDevice* same = findByUID(outputs, selected->uid)) {
        if (same->id != selected->id) {
            log("🔄 [REFRESH] Output device '" + same->name + "' is back (ID: " +
                formatDeviceId(same->id) + ", was " + formatDeviceId(selected->id) + ")");
            switchOutput(*same);
        }
        return;
    }
    if (outputs.empty()) {
        // The selection stays, so that the device is recognised when it returns.
        if (!isWaitingForOutput_) {
            log("⚠️ [REFRESH] Output device '" + selected->name +
                "' is gone - waiting for an output device");
            isWaitingForOutput_ = true;
        }
        stopEngineForLostOutput();
        return;
    }
    // getOutputDevices() holds real outputs only, so the stand-in never feeds the virtual
    // device back into itself.
    const AudioDevice fallback = outputs.front();
    log("⚠️ [REFRESH] Output device '" + selected->name + "' is gone - falling back to '" +
        fallback.name + "'");
    switchOutput(fallback);
}

void AudioManager::switchOutput(const AudioDevice& device) {
    isWaitingForOutput_ = false;
    selectedOutputDevice_ = device;
    // A running engine restarts on it by itself; a stopped one is started by the refresh.
    audioEngine_->setOutputDevice(device);
}

void AudioManager::stopEngineForLostOutput() {
    if (isEngineRunning_) {
        audioEngine_->stop();
        isEngineRunning_ = false;
    }
}

void AudioManager::cancelPitchFade() {
    if (pitchFadeTask_) {
        pitchFadeTask_->isCancelled = true;
    }
}

}  // namespace brimo::audio
