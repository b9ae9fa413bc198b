#include "platform/hal/TimePitchUnit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "dsp/timepitch/TimePitchShifter.h"
#include "platform/hal/SampleLayout.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/UnitProperty.h"

namespace brimo::hal {

namespace {

using timepitch::TimePitchShifter;

constexpr UInt32 kDefaultMaximumFrames = 512;
constexpr int kMaxChannels = timepitch::PartialAnalyzer::kMaxChannels;

AudioStreamBasicDescription defaultFormat() {
    return floatStreamFormat(44100.0, 2, false);
}

// The unit processes 32-bit float, one buffer per channel, at the usual rates.
bool isSupported(const AudioStreamBasicDescription& f) {
    return isSupportedFloatFormat(f) && isNonInterleaved(f) &&
           f.mChannelsPerFrame <= static_cast<UInt32>(kMaxChannels) && f.mSampleRate >= 8000.0 &&
           f.mSampleRate <= 192000.0;
}

// Scopes are global, input, output; every property lives on element 0, and none may change
// while the unit is initialized (render reads them without a lock).
constexpr ScopeElements kBothSides{0, kElement0, kElement0};
constexpr auto kProperties = std::to_array<UnitPropertyRow>({
    {kAudioUnitProperty_StreamFormat, kBothSides, kBothSides, sizeof(AudioStreamBasicDescription),
     false},
    {kAudioUnitProperty_SampleRate, kBothSides, kNowhere, sizeof(Float64), false},
    {kAudioUnitProperty_Latency, kGlobalElement0, kNowhere, sizeof(Float64), false},
    {kAudioUnitProperty_MaximumFramesPerSlice, kGlobalElement0, kGlobalElement0, sizeof(UInt32),
     false},
    {kAudioUnitProperty_SetRenderCallback, kInputElement0, kInputElement0,
     sizeof(AURenderCallbackStruct), false},
});
constexpr UnitPropertyTable kPropertyTable{kProperties};

class TimePitchUnit final : public AudioUnitImplementation {
  public:
    OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& dataSize, bool& writable) override {
        return kPropertyTable.info(id, scope, element, dataSize, writable);
    }

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32& dataSize) override {
        const UnitPropertyRow* row = nullptr;
        if (const OSStatus status = kPropertyTable.find(id, scope, element, row); status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
                return writePropertyValue(formatAt(scope), data, dataSize);
            case kAudioUnitProperty_SampleRate:
                return writePropertyValue(formatAt(scope).mSampleRate, data, dataSize);
            case kAudioUnitProperty_Latency:
                return writePropertyValue(
                    static_cast<Float64>(shifter_.latencyFrames()) / input_.mSampleRate, data,
                    dataSize);
            case kAudioUnitProperty_MaximumFramesPerSlice:
                return writePropertyValue(maximumFrames_, data, dataSize);
            default:
                return writePropertyValue(callback_, data, dataSize);
        }
    }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 dataSize) override {
        if (const OSStatus status =
                kPropertyTable.checkWrite(id, scope, element, data, dataSize, initialized_);
            status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat: {
                const auto format = checkedPropertyValue<AudioStreamBasicDescription>(data);
                if (!isSupported(format)) {
                    return kAudioUnitErr_FormatNotSupported;
                }
                (scope == kAudioUnitScope_Input ? input_ : output_) = format;
                return noErr;
            }
            case kAudioUnitProperty_MaximumFramesPerSlice: {
                const auto value = checkedPropertyValue<UInt32>(data);
                if (!isValidMaximumFrames(value)) {
                    return kAudioUnitErr_InvalidPropertyValue;
                }
                maximumFrames_ = value;
                return noErr;
            }
            default:  // the render callback, the only other writable property
                callback_ = checkedPropertyValue<AURenderCallbackStruct>(data);
                return noErr;
        }
    }

    OSStatus getParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                          AudioUnitParameterValue& value) override {
        if (const OSStatus status = checkParameter(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kNewTimePitchParam_Rate:
                value = shifter_.rate();
                break;
            case kNewTimePitchParam_Pitch:
                value = shifter_.pitchCents();
                break;
            case kNewTimePitchParam_Overlap:
                value = shifter_.overlap();
                break;
            default:
                value = shifter_.peakLocking() ? 1.0F : 0.0F;
                break;
        }
        return noErr;
    }

    OSStatus setParameter(AudioUnitParameterID id, AudioUnitScope scope, AudioUnitElement element,
                          AudioUnitParameterValue value, UInt32 /*bufferOffsetInFrames*/) override {
        if (const OSStatus status = checkParameter(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kNewTimePitchParam_Rate:
                shifter_.setRate(value);
                break;
            case kNewTimePitchParam_Pitch:
                shifter_.setPitchCents(value);
                break;
            case kNewTimePitchParam_Overlap:
                shifter_.setOverlap(value);
                break;
            default:
                if (!std::isnan(value)) {
                    shifter_.setPeakLocking(value >= 0.5F);
                }
                break;
        }
        return noErr;
    }

    OSStatus initialize() override {
        if (input_.mSampleRate != output_.mSampleRate ||
            input_.mChannelsPerFrame != output_.mChannelsPerFrame) {
            return kAudioUnitErr_FormatNotSupported;
        }
        channels_ = static_cast<int>(input_.mChannelsPerFrame);
        shifter_.prepare(input_.mSampleRate, channels_, maximumFrames_);
        ownOutput_.assign(static_cast<std::size_t>(channels_) * maximumFrames_, 0.0F);
        sourceFrames_ = 0.0;
        initialized_ = true;
        return noErr;
    }

    OSStatus uninitialize() override {
        initialized_ = false;
        return noErr;
    }

    OSStatus render(AudioUnitRenderActionFlags& /*actionFlags*/, const AudioTimeStamp& timeStamp,
                    UInt32 bus, UInt32 frames, AudioBufferList& data) override {
        if (bus != 0) {
            return kAudioUnitErr_InvalidElement;
        }
        if (frames > maximumFrames_) {
            return kAudioUnitErr_TooManyFramesToProcess;
        }
        if (callback_.inputProc == nullptr) {
            return kAudioUnitErr_NoConnection;
        }
        if (data.mNumberBuffers < static_cast<UInt32>(channels_)) {
            return kAudio_ParamError;
        }
        const UInt32 bytes = floatBytes(frames);
        float* out[kMaxChannels];
        for (int c = 0; c < channels_; ++c) {
            AudioBuffer& buffer = data.mBuffers[c];
            if (buffer.mData == nullptr) {
                // The caller asked for the unit's own memory.
                buffer.mData = ownOutput_.data() + static_cast<std::ptrdiff_t>(c) * maximumFrames_;
            } else if (buffer.mDataByteSize < bytes) {
                return kAudio_ParamError;
            }
            buffer.mDataByteSize = bytes;
            out[c] = static_cast<float*>(buffer.mData);
        }
        pullStatus_ = noErr;
        pullTime_ = timeStamp;
        shifter_.render(frames, out, {&TimePitchUnit::pull, this});
        return pullStatus_;
    }

  private:
    // One slice from the input procedure into the shifter's zeroed channel buffers. The
    // procedure may leave them alone (silence), fill only part (the rest stays silent) or point
    // a buffer at memory of its own, which is read only as far as its byte size says.
    static void pull(void* context, float* const* channels, std::uint32_t frames) {
        auto* self = static_cast<TimePitchUnit*>(context);
        AudioBufferListStorage<kMaxChannels> storage;
        storage.mNumberBuffers = static_cast<UInt32>(self->channels_);
        const UInt32 bytes = floatBytes(frames);
        for (int c = 0; c < self->channels_; ++c) {
            storage.mBuffers[c] = {1, bytes, channels[c]};
        }
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp time = self->pullTime_;
        time.mSampleTime = self->sourceFrames_;
        time.mFlags = kAudioTimeStampSampleTimeValid |
                      (self->pullTime_.mFlags & kAudioTimeStampHostTimeValid);
        const OSStatus status = self->callback_.inputProc(self->callback_.inputProcRefCon, &flags,
                                                          &time, 0, frames, storage.list());
        self->sourceFrames_ += frames;
        if (status != noErr) {
            if (self->pullStatus_ == noErr) {
                self->pullStatus_ = status;
            }
            for (int c = 0; c < self->channels_; ++c) {
                std::fill(channels[c], channels[c] + frames, 0.0F);
            }
            return;
        }
        for (int c = 0; c < self->channels_; ++c) {
            const AudioBuffer& buffer = storage.mBuffers[c];
            if (buffer.mData != channels[c]) {
                const UInt32 readable =
                    buffer.mData == nullptr ? 0 : std::min(bytes, buffer.mDataByteSize);
                if (readable > 0) {
                    std::memcpy(channels[c], buffer.mData, readable);
                }
                std::fill(channels[c] + floatFrames(readable), channels[c] + frames, 0.0F);
            }
        }
    }

    static OSStatus checkParameter(AudioUnitParameterID id, AudioUnitScope scope,
                                   AudioUnitElement element) {
        if (id != kNewTimePitchParam_Rate && id != kNewTimePitchParam_Pitch &&
            id != kNewTimePitchParam_Overlap && id != kNewTimePitchParam_EnablePeakLocking) {
            return kAudioUnitErr_InvalidParameter;
        }
        if (scope != kAudioUnitScope_Global) {
            return kAudioUnitErr_InvalidScope;
        }
        return element == 0 ? noErr : kAudioUnitErr_InvalidElement;
    }

    [[nodiscard]] const AudioStreamBasicDescription& formatAt(AudioUnitScope scope) const {
        return scope == kAudioUnitScope_Input ? input_ : output_;
    }

    TimePitchShifter shifter_;
    AudioStreamBasicDescription input_ = defaultFormat();
    AudioStreamBasicDescription output_ = defaultFormat();
    AURenderCallbackStruct callback_;
    UInt32 maximumFrames_ = kDefaultMaximumFrames;
    bool initialized_ = false;
    int channels_ = 0;
    std::vector<float> ownOutput_;
    OSStatus pullStatus_ = noErr;
    AudioTimeStamp pullTime_;
    Float64 sourceFrames_ = 0.0;
};

}  // namespace

std::unique_ptr<AudioUnitImplementation> makeTimePitchUnit() {
    return std::make_unique<TimePitchUnit>();
}

AudioComponent registerTimePitchComponent() {
    static std::once_flag once;
    static AudioComponent component = nullptr;
    std::call_once(once, [] {
        component =
            AudioComponentRegister({kAudioUnitType_FormatConverter, kAudioUnitSubType_NewTimePitch,
                                    kAudioUnitManufacturer_Apple, 0, 0},
                                   "Time pitch", 1, [] { return makeTimePitchUnit(); });
    });
    return component;
}

}  // namespace brimo::hal
