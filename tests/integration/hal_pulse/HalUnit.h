#pragma once

#include "integration/hal_pulse/AudioClients.h"
#include "platform/hal/AudioUnit.h"
#include "platform/hal/StreamFormat.h"

namespace brimo::testing {

// A HAL output unit on one device, set up as the engine sets up its capture unit (input side
// only, frames pulled with AudioUnitRender in the input callback) or its playback unit (output
// side only, frames asked for by the render callback): two-channel 32-bit float at `rate`.
class HalUnit {
  public:
    HalUnit(hal::AudioDeviceID device, FrameConsumer& consumer, Float64 rate)
        : device_(device), consumer_(&consumer), rate_(rate) {}
    HalUnit(hal::AudioDeviceID device, FrameProducer& producer, Float64 rate)
        : device_(device), producer_(&producer), rate_(rate) {}
    ~HalUnit() {
        if (unit_ != nullptr) {
            hal::AudioComponentInstanceDispose(unit_);
        }
    }
    HalUnit(const HalUnit&) = delete;
    HalUnit& operator=(const HalUnit&) = delete;
    HalUnit(HalUnit&&) = delete;
    HalUnit& operator=(HalUnit&&) = delete;

    // Creates, configures, initializes and starts the unit; the first failing status.
    hal::OSStatus start() {
        using namespace hal;  // NOLINT(google-build-using-namespace)
        const AudioComponentDescription description{
            kAudioUnitType_Output, kAudioUnitSubType_HALOutput, kAudioUnitManufacturer_Apple, 0, 0};
        AudioComponent component = AudioComponentFindNext(nullptr, &description);
        if (component == nullptr) {
            return kAudioUnitErr_FailedInitialization;
        }
        OSStatus status = AudioComponentInstanceNew(component, &unit_);
        const bool capturing = consumer_ != nullptr;
        const UInt32 captureOn = capturing ? 1 : 0;
        const UInt32 playbackOn = capturing ? 0 : 1;
        const AudioStreamBasicDescription format = floatStreamFormat(rate_, 2, true);
        const AURenderCallbackStruct callback{capturing ? &captured : &render, this};
        auto set = [&](AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                       const void* data, UInt32 size) {
            if (status == noErr) {
                status = AudioUnitSetProperty(unit_, id, scope, element, data, size);
            }
        };
        set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, &captureOn, 4);
        set(kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, &playbackOn, 4);
        set(kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, &device_, 4);
        if (capturing) {
            set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, &format,
                sizeof(format));
            set(kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, &callback,
                sizeof(callback));
        } else {
            set(kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, &format, sizeof(format));
            set(kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, &callback,
                sizeof(callback));
        }
        if (status == noErr) {
            status = AudioUnitInitialize(unit_);
        }
        if (status == noErr) {
            status = AudioOutputUnitStart(unit_);
        }
        return status;
    }

    [[nodiscard]] hal::AudioUnit unit() const { return unit_; }

    void stop() {
        if (unit_ != nullptr) {
            hal::AudioOutputUnitStop(unit_);
        }
    }

  private:
    static hal::OSStatus captured(void* self, hal::AudioUnitRenderActionFlags* flags,
                                  const hal::AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                                  hal::AudioBufferList* /*data*/) {
        auto& unit = *static_cast<HalUnit*>(self);
        hal::AudioBufferListStorage<1> buffers;
        buffers.mBuffers[0] = {2, 0, nullptr};  // null data: the unit lends its own buffer
        const hal::OSStatus status =
            hal::AudioUnitRender(unit.unit_, flags, time, bus, frames, buffers.list());
        if (status == hal::noErr) {
            unit.consumer_->consume(static_cast<const float*>(buffers.mBuffers[0].mData), frames,
                                    2);
        }
        return status;
    }

    static hal::OSStatus render(void* self, hal::AudioUnitRenderActionFlags* /*flags*/,
                                const hal::AudioTimeStamp* /*time*/, UInt32 /*bus*/, UInt32 frames,
                                hal::AudioBufferList* data) {
        auto& unit = *static_cast<HalUnit*>(self);
        unit.producer_->produce(static_cast<float*>(data->mBuffers[0].mData), frames, 2,
                                unit.rate_);
        return hal::noErr;
    }

    hal::AudioDeviceID device_;
    FrameConsumer* consumer_ = nullptr;
    FrameProducer* producer_ = nullptr;
    Float64 rate_;
    hal::AudioUnit unit_ = nullptr;
};

}  // namespace brimo::testing
