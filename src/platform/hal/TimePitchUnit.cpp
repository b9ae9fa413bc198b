#include "platform/hal/TimePitchUnit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "dsp/timepitch/TimePitchShifter.h"

namespace brimo::timepitch {

namespace {

using namespace brimo::hal;

constexpr UInt32 kDefaultMaximumFrames = 512;
constexpr UInt32 kLargestMaximumFrames = 1U << 16U;
constexpr int kMaxChannels = PartialAnalyzer::kMaxChannels;

AudioStreamBasicDescription defaultFormat() {
    AudioStreamBasicDescription format;
    format.mSampleRate = 44100.0;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = 4;
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = 4;
    format.mChannelsPerFrame = 2;
    format.mBitsPerChannel = 32;
    return format;
}

// The unit processes 32-bit float, one buffer per channel, at the usual rates.
bool isSupported(const AudioStreamBasicDescription& f) {
    const AudioFormatFlags required = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & required) == required &&
           (f.mFormatFlags & (kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger)) ==
               0 &&
           f.mBitsPerChannel == 32 && f.mBytesPerFrame == 4 && f.mBytesPerPacket == 4 &&
           f.mFramesPerPacket == 1 && f.mChannelsPerFrame >= 1 &&
           f.mChannelsPerFrame <= static_cast<UInt32>(kMaxChannels) && f.mSampleRate >= 8000.0 &&
           f.mSampleRate <= 192000.0;
}

template <typename T>
OSStatus writeValue(const T& value, void* data, UInt32& dataSize) {
    if (data == nullptr || dataSize < sizeof(T)) {
        return kAudio_ParamError;
    }
    std::memcpy(data, &value, sizeof(T));
    dataSize = sizeof(T);
    return noErr;
}

template <typename T>
OSStatus readValue(const void* data, UInt32 dataSize, T& value) {
    if (data == nullptr || dataSize != sizeof(T)) {
        return kAudio_ParamError;
    }
    std::memcpy(&value, data, sizeof(T));
    return noErr;
}

class TimePitchUnit final : public AudioUnitImplementation {
  public:
    OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& dataSize, bool& writable) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
                dataSize = sizeof(AudioStreamBasicDescription);
                writable = true;
                return noErr;
            case kAudioUnitProperty_SampleRate:
            case kAudioUnitProperty_Latency:
                dataSize = sizeof(Float64);
                writable = false;
                return noErr;
            case kAudioUnitProperty_MaximumFramesPerSlice:
                dataSize = sizeof(UInt32);
                writable = true;
                return noErr;
            case kAudioUnitProperty_SetRenderCallback:
                dataSize = sizeof(AURenderCallbackStruct);
                writable = true;
                return noErr;
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32& dataSize) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
                return writeValue(formatAt(scope), data, dataSize);
            case kAudioUnitProperty_SampleRate:
                return writeValue(formatAt(scope).mSampleRate, data, dataSize);
            case kAudioUnitProperty_Latency:
                return writeValue(
                    static_cast<Float64>(shifter_.latencyFrames()) / input_.mSampleRate, data,
                    dataSize);
            case kAudioUnitProperty_MaximumFramesPerSlice:
                return writeValue(maximumFrames_, data, dataSize);
            case kAudioUnitProperty_SetRenderCallback:
                return writeValue(callback_, data, dataSize);
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 dataSize) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat: {
                AudioStreamBasicDescription format;
                if (const OSStatus status = readValue(data, dataSize, format); status != noErr) {
                    return status;
                }
                if (initialized_) {
                    return kAudioUnitErr_Initialized;
                }
                if (!isSupported(format)) {
                    return kAudioUnitErr_FormatNotSupported;
                }
                (scope == kAudioUnitScope_Input ? input_ : output_) = format;
                return noErr;
            }
            case kAudioUnitProperty_MaximumFramesPerSlice: {
                UInt32 value = 0;
                if (const OSStatus status = readValue(data, dataSize, value); status != noErr) {
                    return status;
                }
                if (initialized_) {
                    return kAudioUnitErr_Initialized;
                }
                if (value == 0 || value > kLargestMaximumFrames) {
                    return kAudioUnitErr_InvalidPropertyValue;
                }
                maximumFrames_ = value;
                return noErr;
            }
            case kAudioUnitProperty_SetRenderCallback: {
                AURenderCallbackStruct callback;
                if (const OSStatus status = readValue(data, dataSize, callback); status != noErr) {
                    return status;
                }
                // render reads the callback without a lock, so it only changes while idle.
                if (initialized_) {
                    return kAudioUnitErr_Initialized;
                }
                callback_ = callback;
                return noErr;
            }
            default:
                return kAudioUnitErr_PropertyNotWritable;
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
        const UInt32 bytes = frames * 4U;
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
        const UInt32 bytes = frames * 4U;
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
                std::fill(channels[c] + readable / 4U, channels[c] + frames, 0.0F);
            }
        }
    }

    static OSStatus checkAddress(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element) {
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
            case kAudioUnitProperty_SampleRate:
                if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) {
                    return kAudioUnitErr_InvalidScope;
                }
                break;
            case kAudioUnitProperty_SetRenderCallback:
                if (scope != kAudioUnitScope_Input) {
                    return kAudioUnitErr_InvalidScope;
                }
                break;
            case kAudioUnitProperty_MaximumFramesPerSlice:
            case kAudioUnitProperty_Latency:
                if (scope != kAudioUnitScope_Global) {
                    return kAudioUnitErr_InvalidScope;
                }
                break;
            default:
                return kAudioUnitErr_InvalidProperty;
        }
        return element == 0 ? noErr : kAudioUnitErr_InvalidElement;
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

}  // namespace brimo::timepitch
