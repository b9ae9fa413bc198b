// How the engine finds, creates and configures its three units.
#include <atomic>
#include <string>
#include <vector>

#include "audio/engine/AudioEngineService.h"
#include "platform/hal/SampleLayout.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/UnitProperty.h"
#include "platform/text/LogFormat.h"

namespace brimo::audio {

using text::formatDeviceId;
using text::formatDouble;
using text::formatStatus;

namespace {

constexpr hal::AudioComponentDescription kTimePitchDescription{
    hal::kAudioUnitType_FormatConverter, hal::kAudioUnitSubType_NewTimePitch,
    hal::kAudioUnitManufacturer_Apple, 0, 0};
constexpr hal::AudioComponentDescription kHalOutputDescription{
    hal::kAudioUnitType_Output, hal::kAudioUnitSubType_HALOutput, hal::kAudioUnitManufacturer_Apple,
    0, 0};

// The time-pitch unit is pulled one render-path slice at a time.
constexpr hal::UInt32 kTimePitchMaxFrames = RenderScratch::kTimePitchSliceFrames;

// Interleaved stereo floats in one buffer: what the devices exchange.
hal::AudioStreamBasicDescription deviceSideFormat(double sampleRate) {
    return hal::floatStreamFormat(sampleRate, hal::kStereoChannels, true);
}

// The same samples with one buffer per channel: what the time-pitch unit works on.
hal::AudioStreamBasicDescription timePitchFormat(double sampleRate) {
    return hal::floatStreamFormat(sampleRate, hal::kStereoChannels, false);
}

// A new instance of the component `description` names, kept in `slot` at once (null when
// there is none), so that what a failed start leaves is disposed with the rest.
struct NewUnit {
    bool found = false;
    hal::OSStatus status = hal::noErr;
    hal::AudioUnit unit = nullptr;

    [[nodiscard]] bool made() const { return status == hal::noErr && unit != nullptr; }
};

NewUnit newUnit(const hal::AudioComponentDescription& description,
                std::atomic<hal::AudioUnit>& slot) {
    hal::AudioComponent component = hal::AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) {
        return {};
    }
    NewUnit result{true};
    result.status = hal::AudioComponentInstanceNew(component, &result.unit);
    slot = result.unit;
    return result;
}

}  // namespace

bool AudioEngineService::createTimePitchUnit() {
    const NewUnit created = newUnit(kTimePitchDescription, timePitchUnit_);
    if (!created.found) {
        log("❌ [TIMEPITCH] No component found");
        return false;
    }
    if (!created.made()) {
        log("❌ [TIMEPITCH] Create failed: " + formatStatus(created.status));
        return false;
    }
    hal::AudioUnit unit = created.unit;
    const auto format = timePitchFormat(sampleRate_);
    if (auto status = hal::setUnitProperty(unit, hal::kAudioUnitProperty_StreamFormat,
                                           hal::kAudioUnitScope_Input, 0, format);
        status != hal::noErr) {
        log("⚠️ [TIMEPITCH] Input format: " + formatStatus(status));
    }
    if (auto status = hal::setUnitProperty(unit, hal::kAudioUnitProperty_StreamFormat,
                                           hal::kAudioUnitScope_Output, 0, format);
        status != hal::noErr) {
        log("⚠️ [TIMEPITCH] Output format: " + formatStatus(status));
    }
    const hal::AURenderCallbackStruct feed{&RenderPath::feedTimePitch, &renderPath_};
    if (auto status = hal::setUnitProperty(unit, hal::kAudioUnitProperty_SetRenderCallback,
                                           hal::kAudioUnitScope_Input, 0, feed);
        status != hal::noErr) {
        log("❌ [TIMEPITCH] Callback failed: " + formatStatus(status));
        return false;
    }
    hal::setUnitProperty(unit, hal::kAudioUnitProperty_MaximumFramesPerSlice,
                         hal::kAudioUnitScope_Global, 0, kTimePitchMaxFrames);
    hal::AudioUnitSetParameter(unit, hal::kNewTimePitchParam_Pitch, hal::kAudioUnitScope_Global, 0,
                               pitchCents_, 0);
    hal::AudioUnitSetParameter(unit, hal::kNewTimePitchParam_Rate, hal::kAudioUnitScope_Global, 0,
                               1.0F, 0);
    hal::AudioUnitSetParameter(unit, hal::kNewTimePitchParam_Overlap, hal::kAudioUnitScope_Global,
                               0, 32.0F, 0);
    hal::AudioUnitSetParameter(unit, hal::kNewTimePitchParam_EnablePeakLocking,
                               hal::kAudioUnitScope_Global, 0, 1.0F, 0);
    if (auto status = hal::AudioUnitInitialize(unit); status != hal::noErr) {
        log("❌ [TIMEPITCH] Init failed: " + formatStatus(status));
        return false;
    }
    log("✅ [TIMEPITCH] Created with pitch " + text::formatFloat(pitchCents_) +
        " cents, overlap=32 (max quality)");
    return true;
}

bool AudioEngineService::createInputUnit(std::uint32_t deviceID) {
    const NewUnit created = newUnit(kHalOutputDescription, inputUnit_);
    if (!created.made()) {
        return false;
    }
    hal::AudioUnit unit = created.unit;
    hal::setUnitProperty(unit, hal::kAudioOutputUnitProperty_EnableIO, hal::kAudioUnitScope_Input,
                         1, hal::UInt32{1});
    hal::setUnitProperty(unit, hal::kAudioOutputUnitProperty_EnableIO, hal::kAudioUnitScope_Output,
                         0, hal::UInt32{0});
    if (hal::setUnitProperty(unit, hal::kAudioOutputUnitProperty_CurrentDevice,
                             hal::kAudioUnitScope_Global, 0,
                             hal::AudioDeviceID{deviceID}) != hal::noErr) {
        return false;
    }
    hal::setUnitProperty(unit, hal::kAudioUnitProperty_StreamFormat, hal::kAudioUnitScope_Output, 1,
                         deviceSideFormat(sampleRate_));
    const hal::AURenderCallbackStruct capture{&RenderPath::capture, &renderPath_};
    hal::setUnitProperty(unit, hal::kAudioOutputUnitProperty_SetInputCallback,
                         hal::kAudioUnitScope_Global, 0, capture);
    if (hal::AudioUnitInitialize(unit) != hal::noErr) {
        return false;
    }
    log("✅ [INPUT] Created");
    return true;
}

bool AudioEngineService::createOutputUnit(std::uint32_t deviceID) {
    log("🎵 [OUTPUT_CREATE] Creating for DeviceID: " + formatDeviceId(deviceID));
    const double engineRate = sampleRate_;
    if (auto deviceRate = nominalSampleRate(deviceID)) {
        log("🎵 [OUTPUT_CREATE] Device native sample rate: " + formatDouble(*deviceRate) + " Hz");
        log("🎵 [OUTPUT_CREATE] Engine sample rate: " + formatDouble(engineRate) + " Hz");
        if (*deviceRate != engineRate) {
            log("⚠️ [OUTPUT_CREATE] Rate mismatch - CoreAudio will convert " +
                formatDouble(engineRate) + " -> " + formatDouble(*deviceRate));
        }
    }
    if (auto channels = outputChannelCount(deviceID)) {
        log("🎵 [OUTPUT_CREATE] Device output channels: " + std::to_string(*channels));
    }

    const NewUnit created = newUnit(kHalOutputDescription, outputUnit_);
    if (!created.found) {
        log("❌ [OUTPUT_CREATE] Component not found");
        return false;
    }
    if (!created.made()) {
        log("❌ [OUTPUT_CREATE] Instance creation failed: " + formatStatus(created.status));
        return false;
    }
    hal::AudioUnit unit = created.unit;
    if (auto status =
            hal::setUnitProperty(unit, hal::kAudioOutputUnitProperty_CurrentDevice,
                                 hal::kAudioUnitScope_Global, 0, hal::AudioDeviceID{deviceID});
        status != hal::noErr) {
        log("❌ [OUTPUT_CREATE] Failed setting device ID: " + formatStatus(status) +
            " - Device may not support output");
        return false;
    }
    log("✅ [OUTPUT_CREATE] Device ID set successfully");
    log("🎵 [OUTPUT_CREATE] Setting format: " + formatDouble(engineRate) +
        " Hz, 2ch, 32-bit float interleaved");
    if (auto status =
            hal::setUnitProperty(unit, hal::kAudioUnitProperty_StreamFormat,
                                 hal::kAudioUnitScope_Input, 0, deviceSideFormat(engineRate));
        status != hal::noErr) {
        log("❌ [OUTPUT_CREATE] Failed setting StreamFormat (Input Scope): " + formatStatus(status) +
            " - Format not supported by device");
        return false;
    }
    log("✅ [OUTPUT_CREATE] StreamFormat set successfully");
    const hal::AURenderCallbackStruct play{&RenderPath::play, &renderPath_};
    if (auto status = hal::setUnitProperty(unit, hal::kAudioUnitProperty_SetRenderCallback,
                                           hal::kAudioUnitScope_Input, 0, play);
        status != hal::noErr) {
        log("❌ [OUTPUT_CREATE] Failed setting RenderCallback: " + formatStatus(status));
        return false;
    }
    if (auto status = hal::AudioUnitInitialize(unit); status != hal::noErr) {
        log("❌ [OUTPUT_CREATE] Initialize failed: " + formatStatus(status));
        return false;
    }
    log("✅ [OUTPUT] Created successfully");
    return true;
}

std::optional<std::uint32_t> AudioEngineService::outputChannelCount(std::uint32_t deviceID) const {
    const hal::AudioObjectPropertyAddress address{hal::kAudioDevicePropertyStreamConfiguration,
                                                  hal::kAudioObjectPropertyScopeOutput,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::UInt32 size = 0;
    if (hal::AudioObjectGetPropertyDataSize(deviceID, &address, 0, nullptr, &size) != hal::noErr ||
        size == 0) {
        return std::nullopt;
    }
    // Storage aligned for the list's fields, of at least the size the layer asked for.
    std::vector<hal::AudioBuffer> storage(size / sizeof(hal::AudioBuffer) + 1);
    auto* list = reinterpret_cast<hal::AudioBufferList*>(storage.data());
    if (hal::AudioObjectGetPropertyData(deviceID, &address, 0, nullptr, &size, list) !=
        hal::noErr) {
        return std::nullopt;
    }
    return list->mNumberBuffers == 0 ? 0U : list->mBuffers[0].mNumberChannels;
}

}  // namespace brimo::audio
