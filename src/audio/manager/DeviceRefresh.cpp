// How the audio manager follows the system's devices: the refresh, the automatic start in
// passthrough, the choice of output and the device dump.
#include <string>

#include "audio/manager/AudioManager.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatBool;
using text::formatDeviceId;

void AudioManager::refreshDevices() {
    if (isConfiguringDevices_) {
        log("🎛️ [REFRESH] Skipping - already configuring devices");
        return;
    }
    isConfiguringDevices_ = true;
    log("🎛️ [REFRESH] Refreshing devices...");

    outputDevices_ = deviceService_->getOutputDevices();
    log("🎛️ [REFRESH] Found " + std::to_string(outputDevices_.value().size()) +
        " output devices");

    const bool was = isBrimolavetrixSelectedAsOutput_.value();
    isBrimolavetrixSelectedAsOutput_ = deviceService_->isBrimolavetrixSelectedAsSystemOutput();
    const bool now = isBrimolavetrixSelectedAsOutput_.value();
    log("🎛️ [REFRESH] Brimola Vetrix selected as output: " + formatBool(now) +
        " (was: " + formatBool(was) + ")");

    if (was && !now) {
        // The user moved the system output away: the engine would only capture silence. A
        // glide still under way would carry on to 432 Hz behind the switched-off button.
        cancelPitchFade();
        if (isActive_.value()) {
            log("⚠️ [REFRESH] System audio device changed while active! Deactivating...");
            isActive_ = false;
        }
        if (isEngineRunning_) {
            log("⚠️ [REFRESH] Stopping engine due to audio device change...");
            audioEngine_->stop();
            isEngineRunning_ = false;
        }
        targetFrequency_ = kPassthroughFrequency;
        audioEngine_->setFrequency(kPassthroughFrequency);
        log("⚠️ [REFRESH] Deactivated and stopped. User must re-select Brimola Vetrix as "
            "system "
            "output.");
    }

    if (!was && now) {
        if (auto input = deviceService_->findBrimolavetrixDevice()) {
            log("🎛️ [REFRESH] Setting Brimola Vetrix as input: " + input->name);
            audioEngine_->setInputDevice(*input);
        }
    } else if (now) {
        followCaptureDevice();
    }

    followSelectedOutput();
    if (!selectedOutputDevice_.value() && !outputDevices_.value().empty()) {
        const AudioDevice first = outputDevices_.value().front();
        log("🎛️ [REFRESH] Auto-selecting output device: " + first.name);
        selectedOutputDevice_ = first;
        preferredOutputUID_ = first.uid;
        audioEngine_->setOutputDevice(first);
    }

    if (isDriverInstalled_.value() && isBrimolavetrixSelectedAsOutput_.value() &&
        !isEngineRunning_ && !isWaitingForOutput_) {
        log("🎛️ [REFRESH] Now ready to process - starting engine");
        checkAndStartEngine();
    }

    log("🎛️ [REFRESH] Refresh complete");
    isConfiguringDevices_ = false;
}

void AudioManager::checkAndStartEngine() {
    log("🎛️ [AUTO_START] Checking if engine should start...");
    log("🎛️ [AUTO_START] isReadyToProcess: " + formatBool(isReadyToProcess()));
    log("🎛️ [AUTO_START] isEngineRunning: " + formatBool(isEngineRunning_));

    if (!isReadyToProcess() || isEngineRunning_) {
        if (!isReadyToProcess()) {
            log("🎛️ [AUTO_START] Not ready - driver not installed or not selected as output");
        }
        if (isEngineRunning_) {
            log("🎛️ [AUTO_START] Engine already running");
        }
        return;
    }

    log("🎛️ [AUTO_START] ====== Starting Engine for Passthrough ======");
    const auto input = deviceService_->findBrimolavetrixDevice();
    if (!input) {
        log("❌ [AUTO_START] No Brimola Vetrix device found!");
        return;
    }
    log("🎛️ [AUTO_START] Found Brimola Vetrix input: '" + input->name +
        "' (ID: " + formatDeviceId(input->id) + ")");
    audioEngine_->setInputDevice(*input);

    if (isWaitingForOutput_) {
        // The selection is only remembered for its return; it cannot be played to.
        log("❌ [AUTO_START] No output devices available!");
        return;
    }
    if (const auto& selected = selectedOutputDevice_.value()) {
        const AudioDevice output = *selected;
        log("🎛️ [AUTO_START] Output device: '" + output.name +
            "' (ID: " + formatDeviceId(output.id) + ")");
        audioEngine_->setOutputDevice(output);
    } else if (outputDevices_.value().empty()) {
        log("❌ [AUTO_START] No output devices available!");
        return;
    } else {
        const AudioDevice first = outputDevices_.value().front();
        log("🎛️ [AUTO_START] Selecting first output: '" + first.name + "'");
        selectedOutputDevice_ = first;
        preferredOutputUID_ = first.uid;
        audioEngine_->setOutputDevice(first);
    }

    log("🎛️ [AUTO_START] Setting frequency to 440 Hz (passthrough)");
    setFrequency(kPassthroughFrequency);

    log("🎛️ [AUTO_START] Starting audio engine...");
    audioEngine_->start();
    isEngineRunning_ = true;
    log("✅ [AUTO_START] Engine started in passthrough mode (440 Hz)");
}

void AudioManager::selectOutputDevice(const AudioDevice& device) {
    if (const auto& selected = selectedOutputDevice_.value();
        selected && selected->id == device.id) {
        log("🎛️ [SELECT_OUTPUT] Skipping selection - Device '" + device.name +
            "' is already selected");
        return;
    }
    log("🎛️ [SELECT_OUTPUT] Selecting output device: " + device.name);
    preferredOutputUID_ = device.uid;
    switchOutput(device);
}

void AudioManager::logAllDevices() {
    log("🔍 [DEBUG] ========== ALL AUDIO DEVICES ==========");
    for (const auto& device : deviceService_->getAllDevices()) {
        log("🔍 [DEBUG] Device: '" + device.name + "'");
        log("🔍 [DEBUG]   - ID: " + formatDeviceId(device.id));
        log("🔍 [DEBUG]   - UID: '" + device.uid + "'");
        log("🔍 [DEBUG]   - isInput: " + formatBool(device.isInput) +
            ", isOutput: " + formatBool(device.isOutput));
        log("🔍 [DEBUG]   - isBrimolavetrix: " + formatBool(device.isBrimolavetrix()));
        log("🔍 [DEBUG]   - isBlackHole: " + formatBool(device.isBlackHole()));
        log("🔍 [DEBUG]   - isVirtualLoopback: " + formatBool(device.isVirtualLoopback()));
    }
    log("🔍 [DEBUG] ============================================");

    if (const auto input = deviceService_->findBrimolavetrixDevice()) {
        log("🔍 [DEBUG] findBrimolavetrixDevice() returned: '" + input->name +
            "' (ID: " + formatDeviceId(input->id) + ")");
    } else {
        log("🔍 [DEBUG] findBrimolavetrixDevice() returned: NIL");
    }

    if (const auto output = deviceService_->getDefaultOutputDevice()) {
        log("🔍 [DEBUG] Default system output: '" + output->name +
            "' (ID: " + formatDeviceId(output->id) + ")");
        log("🔍 [DEBUG]   - isBrimolavetrix: " + formatBool(output->isBrimolavetrix()));
    } else {
        log("🔍 [DEBUG] Default system output: NIL");
    }

    log("🔍 [DEBUG] isBrimolavetrixSelectedAsSystemOutput: " +
        formatBool(deviceService_->isBrimolavetrixSelectedAsSystemOutput()));
}

}  // namespace brimo::audio
