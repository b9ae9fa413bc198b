#pragma once

#include <atomic>
#include <cstring>

#include "platform/hal/AudioUnitImplementation.h"

namespace brimo::hal::test {

// A format converter that hands its input procedure's frames straight through, standing in
// for components that other code registers (the time-pitch unit among them).
class StandInConverter final : public AudioUnitImplementation {
  public:
    static inline std::atomic<int> live{0};

    StandInConverter() { ++live; }
    ~StandInConverter() override { --live; }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope, AudioUnitElement, const void* data,
                         UInt32 size) override {
        switch (id) {
            case kAudioUnitProperty_SetRenderCallback:
                if (size != sizeof input_) {
                    return kAudio_ParamError;
                }
                std::memcpy(&input_, data, sizeof input_);
                return noErr;
            case kAudioUnitProperty_StreamFormat:
                return size == sizeof(AudioStreamBasicDescription) ? noErr : kAudio_ParamError;
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    }
    OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope, AudioUnitElement,
                          AudioUnitParameterValue value, UInt32) override {
        if (id != kNewTimePitchParam_Pitch) {
            return kAudioUnitErr_InvalidParameter;
        }
        pitch_.store(value);
        return noErr;
    }
    OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope, AudioUnitElement,
                          AudioUnitParameterValue& value) override {
        if (id != kNewTimePitchParam_Pitch) {
            return kAudioUnitErr_InvalidParameter;
        }
        value = pitch_.load();
        return noErr;
    }
    OSStatus initialize() override { return noErr; }
    OSStatus uninitialize() override { return noErr; }
    OSStatus render(AudioUnitRenderActionFlags& flags, const AudioTimeStamp& time, UInt32,
                    UInt32 frames, AudioBufferList& data) override {
        if (input_.inputProc == nullptr) {
            return kAudioUnitErr_NoConnection;
        }
        return input_.inputProc(input_.inputProcRefCon, &flags, &time, 0, frames, &data);
    }

  private:
    AURenderCallbackStruct input_;
    std::atomic<float> pitch_{0.0F};
};

}  // namespace brimo::hal::test
