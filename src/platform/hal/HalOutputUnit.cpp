#include "platform/hal/HalOutputUnit.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/ChannelMapping.h"
#include "platform/hal/SampleLayout.h"
#include "platform/hal/SampleRateConverter.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/UnitProperty.h"

namespace brimo::hal {

namespace {

constexpr AudioUnitElement kPlaybackElement = 0;
constexpr AudioUnitElement kCaptureElement = 1;
constexpr UInt32 kDefaultMaximumFramesPerSlice = 4096;
constexpr UInt32 kDefaultClientChannels = 2;

// Scopes are global, input, output. The client sides (the only writable formats) are the
// capture side's output and the playback side's input; callbacks may change while the unit
// is initialized, only not while it runs.
constexpr ScopeElements kBothSides{0, kElement0 | kElement1, kElement0 | kElement1};
constexpr ScopeElements kClientSides{0, kElement0, kElement1};
constexpr ScopeElements kDeviceSides{0, kElement1, kElement0};
constexpr auto kProperties = std::to_array<UnitPropertyRow>({
    {kAudioUnitProperty_StreamFormat, kBothSides, kClientSides, sizeof(AudioStreamBasicDescription),
     false},
    {kAudioUnitProperty_SampleRate, kBothSides, kNowhere, sizeof(Float64), false},
    {kAudioUnitProperty_SetRenderCallback, kInputElement0, kInputElement0,
     sizeof(AURenderCallbackStruct), true},
    {kAudioOutputUnitProperty_SetInputCallback, kGlobalElement0, kGlobalElement0,
     sizeof(AURenderCallbackStruct), true},
    {kAudioOutputUnitProperty_EnableIO, kDeviceSides, kDeviceSides, sizeof(UInt32), false},
    {kAudioOutputUnitProperty_HasIO, kDeviceSides, kNowhere, sizeof(UInt32), false},
    {kAudioOutputUnitProperty_CurrentDevice, kGlobalElement0, kGlobalElement0,
     sizeof(AudioDeviceID), false},
    {kAudioOutputUnitProperty_IsRunning, kGlobalElement0, kNowhere, sizeof(UInt32), false},
    {kAudioUnitProperty_MaximumFramesPerSlice, kGlobalElement0, kGlobalElement0, sizeof(UInt32),
     false},
});
constexpr UnitPropertyTable kPropertyTable{kProperties};

// The buffers and converter of one direction, sized at initialize.
struct Direction {
    AudioStreamBasicDescription client;
    UInt32 channels = 0;
    bool planar = false;
    std::vector<float> frames;     // interleaved client frames of one chunk
    std::vector<float> planes;     // the same split per channel, for non-interleaved clients
    std::vector<float> converted;  // playback: converter output at the device rate
    std::vector<float> fifo;       // frames waiting between the converter and the client
    UInt32 fifoCapacity = 0;       // in frames
    UInt32 fifoStart = 0;
    UInt32 fifoCount = 0;
    SampleRateConverter converter;
    double clientTime = 0.0;
    bool hasTimeBase = false;
    AudioBufferListStorage<kMaxUnitChannels> list;

    void allocate(const AudioStreamBasicDescription& format, UInt32 chunk) {
        client = format;
        channels = format.mChannelsPerFrame;
        planar = isNonInterleaved(format);
        const std::size_t samples = interleavedSamples(chunk, channels);
        frames.assign(samples, 0.0F);
        planes.assign(samples, 0.0F);
        converted.assign(samples, 0.0F);
        fifoCapacity = 2 * chunk + 64;
        fifo.assign(interleavedSamples(fifoCapacity, channels), 0.0F);
        converter.prepare(channels);
    }

    void rewind() {
        fifoStart = 0;
        fifoCount = 0;
        converter.reset();
        hasTimeBase = false;
    }

    // The client's view of frames [0, n) of `source` (interleaved): one buffer, or one per
    // channel taken from `planes`. Buffers point into this direction's own storage.
    AudioBufferList* describe(float* source, UInt32 n) {
        if (!planar) {
            list.mNumberBuffers = 1;
            list.mBuffers[0] = {channels, floatBytes(n, channels), source};
            return list.list();
        }
        list.mNumberBuffers = channels;
        const std::size_t stride = planes.size() / channels;
        for (UInt32 c = 0; c < channels; ++c) {
            list.mBuffers[c] = {1, floatBytes(n), planes.data() + c * stride};
        }
        return list.list();
    }

    void split(const float* source, UInt32 n) {
        deinterleave(source, channels, n, planes.data(), planes.size() / channels);
    }

    void join(float* destination, UInt32 n) const {
        interleave(planes.data(), planes.size() / channels, channels, n, destination);
    }

    AudioTimeStamp clientStamp(const AudioTimeStamp& device, double deviceFrameOffset,
                               double deviceRate, bool converting) {
        AudioTimeStamp stamp = device;
        if (!converting) {
            stamp.mSampleTime = device.mSampleTime + deviceFrameOffset;
            return stamp;
        }
        if (!hasTimeBase) {
            clientTime = device.mSampleTime * client.mSampleRate / deviceRate;
            hasTimeBase = true;
        }
        stamp.mSampleTime = clientTime;
        return stamp;
    }
};

class HalOutputUnit final : public AudioUnitImplementation, private DeviceIOClient {
  public:
    explicit HalOutputUnit(std::shared_ptr<AudioHardwareBackend> backend)
        : backend_(std::move(backend)) {}

    ~HalOutputUnit() override {
        if (started_) {
            backend_->stopDeviceIO(device_, *this);
        }
    }

    HalOutputUnit(const HalOutputUnit&) = delete;
    HalOutputUnit& operator=(const HalOutputUnit&) = delete;
    HalOutputUnit(HalOutputUnit&&) = delete;
    HalOutputUnit& operator=(HalOutputUnit&&) = delete;

    OSStatus getPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& dataSize, bool& writable) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        return kPropertyTable.info(id, scope, element, dataSize, writable);
    }

    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* data, UInt32& dataSize) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
            case kAudioUnitProperty_SampleRate: {
                AudioStreamBasicDescription format;
                if (const OSStatus status = formatAt(scope, element, format); status != noErr) {
                    return status;
                }
                return id == kAudioUnitProperty_StreamFormat
                           ? writePropertyValue(format, data, dataSize)
                           : writePropertyValue(format.mSampleRate, data, dataSize);
            }
            case kAudioUnitProperty_SetRenderCallback:
                return writePropertyValue(renderCallback_, data, dataSize);
            case kAudioOutputUnitProperty_SetInputCallback:
                return writePropertyValue(inputCallback_, data, dataSize);
            case kAudioOutputUnitProperty_CurrentDevice:
                return writePropertyValue(initialized_ ? device_ : resolvedDevice(), data,
                                          dataSize);
            case kAudioOutputUnitProperty_EnableIO:
                return writePropertyValue(
                    static_cast<UInt32>(element == kCaptureElement ? captureEnabled_
                                                                   : playbackEnabled_),
                    data, dataSize);
            case kAudioUnitProperty_MaximumFramesPerSlice:
                return writePropertyValue(maximumFrames_, data, dataSize);
            case kAudioOutputUnitProperty_IsRunning:
                return writePropertyValue(static_cast<UInt32>(started_ && !ioEnded_.load()), data,
                                          dataSize);
            case kAudioOutputUnitProperty_HasIO: {
                DeviceIOFormat format;
                if (const OSStatus status = deviceFormat(format); status != noErr) {
                    return status;
                }
                const UInt32 channels =
                    element == kCaptureElement ? format.inputChannels : format.outputChannels;
                return writePropertyValue(static_cast<UInt32>(channels > 0), data, dataSize);
            }
            default:
                return kAudioUnitErr_InvalidProperty;
        }
    }

    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* data, UInt32 dataSize) override {
        if (const OSStatus status = checkAddress(id, scope, element); status != noErr) {
            return status;
        }
        if (const OSStatus status =
                kPropertyTable.checkWrite(id, scope, element, data, dataSize, initialized_);
            status != noErr) {
            return status;
        }
        switch (id) {
            case kAudioUnitProperty_StreamFormat:
                return setClientFormat(element, data);
            case kAudioUnitProperty_SetRenderCallback:
            case kAudioOutputUnitProperty_SetInputCallback:
                return setCallback(id, data);
            case kAudioOutputUnitProperty_CurrentDevice:
                return setCurrentDevice(data);
            case kAudioOutputUnitProperty_EnableIO:
                (element == kCaptureElement ? captureEnabled_ : playbackEnabled_) =
                    checkedPropertyValue<UInt32>(data) != 0;
                return noErr;
            default:  // the table lets no other property through
                return setMaximumFrames(data);
        }
    }

    OSStatus setParameter(AudioUnitParameterID /*id*/, AudioUnitScope /*scope*/,
                          AudioUnitElement /*element*/, AudioUnitParameterValue /*value*/,
                          UInt32 /*bufferOffsetInFrames*/) override {
        return kAudioUnitErr_InvalidParameter;
    }

    OSStatus initialize() override {
        if (!captureEnabled_ && !playbackEnabled_) {
            return kAudioUnitErr_FailedInitialization;
        }
        const AudioDeviceID device = resolvedDevice();
        if (device == kAudioObjectUnknown) {
            return kAudioUnitErr_NoConnection;
        }
        DeviceIOFormat format;
        if (const OSStatus status = backend_->deviceIOFormat(device, format); status != noErr) {
            return status;
        }
        if (!supportsEnabledSides(format)) {
            return kAudioUnitErr_FailedInitialization;
        }
        const auto captureClient = clientFormatOrDefault(captureFormat_, format.sampleRate);
        const auto playbackClient = clientFormatOrDefault(playbackFormat_, format.sampleRate);
        if ((captureEnabled_ &&
             !SampleRateConverter::supportsRatio(captureClient.mSampleRate / format.sampleRate)) ||
            (playbackEnabled_ &&
             !SampleRateConverter::supportsRatio(format.sampleRate / playbackClient.mSampleRate))) {
            return kAudioUnitErr_FormatNotSupported;
        }
        if (captureEnabled_) {
            capture_.allocate(captureClient, maximumFrames_);
        }
        if (playbackEnabled_) {
            playback_.allocate(playbackClient, maximumFrames_);
        }
        device_ = device;
        initialized_ = true;
        return noErr;
    }

    OSStatus uninitialize() override {
        if (started_) {
            stop();
        }
        initialized_ = false;
        return noErr;
    }

    OSStatus start() override {
        if (!initialized_) {
            return kAudioUnitErr_Uninitialized;
        }
        capture_.rewind();
        playback_.rewind();
        ioEnded_.store(false);
        const OSStatus status =
            backend_->startDeviceIO(device_, *this, captureEnabled_, playbackEnabled_);
        started_ = status == noErr;
        return status;
    }

    OSStatus stop() override {
        if (started_) {
            backend_->stopDeviceIO(device_, *this);
            started_ = false;
        }
        return noErr;
    }

    // Only inside the input callback, on bus 1: hands over the frames being delivered.
    OSStatus render(AudioUnitRenderActionFlags& /*actionFlags*/,
                    const AudioTimeStamp& /*timeStamp*/, UInt32 bus, UInt32 frames,
                    AudioBufferList& data) override {
        if (bus != kCaptureElement) {
            return kAudioUnitErr_InvalidElement;
        }
        if (pending_ == nullptr) {
            return kAudioUnitErr_CannotDoInCurrentContext;
        }
        if (frames > pendingFrames_) {
            return kAudioUnitErr_TooManyFramesToProcess;
        }
        Direction& d = capture_;
        if (!d.planar) {
            if (data.mNumberBuffers < 1) {
                return kAudio_ParamError;
            }
            AudioBuffer& buffer = data.mBuffers[0];
            const UInt32 bytes = floatBytes(frames, d.channels);
            if (buffer.mData == nullptr) {
                buffer.mData = const_cast<float*>(pending_);
            } else if (buffer.mDataByteSize < bytes) {
                return kAudio_ParamError;
            } else {
                std::memcpy(buffer.mData, pending_, bytes);
            }
            buffer.mNumberChannels = d.channels;
            buffer.mDataByteSize = bytes;
            return noErr;
        }
        if (data.mNumberBuffers < d.channels) {
            return kAudio_ParamError;
        }
        d.split(pending_, frames);
        const std::size_t stride = d.planes.size() / d.channels;
        for (UInt32 c = 0; c < d.channels; ++c) {
            AudioBuffer& buffer = data.mBuffers[c];
            const float* plane = d.planes.data() + c * stride;
            if (buffer.mData == nullptr) {
                buffer.mData = const_cast<float*>(plane);
            } else if (buffer.mDataByteSize < floatBytes(frames)) {
                return kAudio_ParamError;
            } else {
                std::memcpy(buffer.mData, plane, floatBytes(frames));
            }
            buffer.mNumberChannels = 1;
            buffer.mDataByteSize = floatBytes(frames);
        }
        return noErr;
    }

  private:
    // ---- Device I/O, on the device's thread.

    // The device went away or the server ended the stream: the unit reads as not running
    // from now on, and says so; stopDeviceIO is still due at the next stop. On the real
    // backend this comes on its listener thread, not the device's: the announcement locks and
    // its listeners may do anything.
    void deviceIODidStop(OSStatus /*reason*/) override {
        if (!ioEnded_.exchange(true)) {
            announcePropertyChange(kAudioOutputUnitProperty_IsRunning, kAudioUnitScope_Global, 0);
        }
    }

    void deviceDidCapture(const float* samples, UInt32 frames, UInt32 channels, Float64 sampleRate,
                          const AudioTimeStamp& time) override {
        Direction& d = capture_;
        const bool converting = d.client.mSampleRate != sampleRate;
        const UInt32 delivery = std::min(maximumFrames_, frames);
        for (UInt32 done = 0; done < frames;) {
            const UInt32 n = std::min(frames - done, maximumFrames_);
            mapChannels(samples + interleavedSamples(done, channels), channels, d.frames.data(),
                        d.channels, n, true);
            if (!converting) {
                deliver(d.frames.data(), n, d.clientStamp(time, done, sampleRate, false));
            } else {
                convertAndDeliver(n, d.client.mSampleRate / sampleRate, delivery, time, sampleRate);
            }
            done += n;
        }
    }

    // Feeds n mapped frames through the converter into the FIFO and hands the client every
    // whole delivery-sized block it holds.
    void convertAndDeliver(UInt32 n, double ratio, UInt32 delivery, const AudioTimeStamp& time,
                           Float64 deviceRate) {
        Direction& d = capture_;
        for (UInt32 used = 0; used < n;) {
            if (d.fifoStart > 0) {
                std::copy_n(d.fifo.data() + interleavedSamples(d.fifoStart, d.channels),
                            interleavedSamples(d.fifoCount, d.channels), d.fifo.data());
                d.fifoStart = 0;
            }
            const auto result = d.converter.process(
                d.frames.data() + interleavedSamples(used, d.channels), n - used,
                d.fifo.data() + interleavedSamples(d.fifoCount, d.channels),
                d.fifoCapacity - d.fifoCount, ratio);
            used += result.framesUsed;
            d.fifoCount += result.framesMade;
            while (d.fifoCount >= delivery) {
                deliver(d.fifo.data() + interleavedSamples(d.fifoStart, d.channels), delivery,
                        d.clientStamp(time, 0, deviceRate, true));
                d.clientTime += delivery;
                d.fifoStart += delivery;
                d.fifoCount -= delivery;
            }
            if (result.framesUsed == 0 && result.framesMade == 0) {
                return;  // the converter refuses this ratio: the rest is dropped
            }
        }
    }

    void deliver(const float* frames, UInt32 n, const AudioTimeStamp& stamp) {
        if (inputCallback_.inputProc == nullptr) {
            return;
        }
        pending_ = frames;
        pendingFrames_ = n;
        AudioUnitRenderActionFlags flags = 0;
        inputCallback_.inputProc(inputCallback_.inputProcRefCon, &flags, &stamp, kCaptureElement, n,
                                 nullptr);
        pending_ = nullptr;
        pendingFrames_ = 0;
    }

    void deviceWillPlay(float* samples, UInt32 frames, UInt32 channels, Float64 sampleRate,
                        const AudioTimeStamp& time) override {
        Direction& d = playback_;
        const bool converting = d.client.mSampleRate != sampleRate;
        const double ratio = sampleRate / d.client.mSampleRate;
        const UInt32 pullSize = std::min(maximumFrames_, frames);
        for (UInt32 done = 0; done < frames;) {
            const UInt32 n = std::min(frames - done, maximumFrames_);
            float* out = samples + interleavedSamples(done, channels);
            if (!converting) {
                pull(d.frames.data(), n, d.clientStamp(time, done, sampleRate, false));
                mapChannels(d.frames.data(), d.channels, out, channels, n, false);
            } else {
                convertForPlayback(n, ratio, pullSize, time, sampleRate);
                mapChannels(d.converted.data(), d.channels, out, channels, n, false);
            }
            done += n;
        }
    }

    // Fills `converted` with n frames at the device rate, pulling the client as needed.
    void convertForPlayback(UInt32 n, double ratio, UInt32 pullSize, const AudioTimeStamp& time,
                            Float64 deviceRate) {
        Direction& d = playback_;
        for (UInt32 made = 0; made < n;) {
            if (d.fifoCount == 0) {
                pull(d.fifo.data(), pullSize, d.clientStamp(time, 0, deviceRate, true));
                d.clientTime += pullSize;
                d.fifoStart = 0;
                d.fifoCount = pullSize;
            }
            const auto result = d.converter.process(
                d.fifo.data() + interleavedSamples(d.fifoStart, d.channels), d.fifoCount,
                d.converted.data() + interleavedSamples(made, d.channels), n - made, ratio);
            d.fifoStart += result.framesUsed;
            d.fifoCount -= result.framesUsed;
            made += result.framesMade;
            if (result.framesUsed == 0 && result.framesMade == 0) {
                std::fill(d.converted.data() + interleavedSamples(made, d.channels),
                          d.converted.data() + interleavedSamples(n, d.channels), 0.0F);
                return;
            }
        }
    }

    // Asks the render callback for n frames into `destination` (interleaved). Whatever the
    // callback leaves unwritten, or a failed render, plays as silence rather than stale data.
    void pull(float* destination, UInt32 n, const AudioTimeStamp& stamp) {
        Direction& d = playback_;
        const std::size_t samples = interleavedSamples(n, d.channels);
        std::fill_n(destination, samples, 0.0F);
        if (renderCallback_.inputProc == nullptr) {
            return;
        }
        AudioBufferList* list = d.describe(destination, n);
        if (d.planar) {
            for (UInt32 c = 0; c < d.channels; ++c) {
                std::fill_n(static_cast<float*>(list->mBuffers[c].mData), n, 0.0F);
            }
        }
        AudioUnitRenderActionFlags flags = 0;
        const OSStatus status = renderCallback_.inputProc(renderCallback_.inputProcRefCon, &flags,
                                                          &stamp, kPlaybackElement, n, list);
        if (status != noErr) {
            std::fill_n(destination, samples, 0.0F);
        } else if (d.planar) {
            d.join(destination, n);
        }
    }

    // ---- Configuration, on the control thread.

    // Where the address names no property of the unit, why. A scope past output is refused
    // before the property is looked at.
    static OSStatus checkAddress(AudioUnitPropertyID id, AudioUnitScope scope,
                                 AudioUnitElement element) {
        if (scope > kAudioUnitScope_Output) {
            return kAudioUnitErr_InvalidScope;
        }
        const UnitPropertyRow* row = nullptr;
        return kPropertyTable.find(id, scope, element, row);
    }

    // The unit's client sides are the capture side's output and the playback side's input.
    static bool isClientSide(AudioUnitScope scope, AudioUnitElement element) {
        return (scope == kAudioUnitScope_Output && element == kCaptureElement) ||
               (scope == kAudioUnitScope_Input && element == kPlaybackElement);
    }

    AudioDeviceID resolvedDevice() const {
        if (chosenDevice_ != kAudioObjectUnknown) {
            return chosenDevice_;
        }
        const AudioObjectPropertyAddress address{
            playbackEnabled_ ? kAudioHardwarePropertyDefaultOutputDevice
                             : kAudioHardwarePropertyDefaultInputDevice,
            kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
        AudioDeviceID device = kAudioObjectUnknown;
        UInt32 size = sizeof device;
        if (backend_->getPropertyData(kAudioObjectSystemObject, address, 0, nullptr, size,
                                      &device) != noErr) {
            return kAudioObjectUnknown;
        }
        return device;
    }

    OSStatus deviceFormat(DeviceIOFormat& format) const {
        const AudioDeviceID device = initialized_ ? device_ : resolvedDevice();
        if (device == kAudioObjectUnknown) {
            return kAudioUnitErr_NoConnection;
        }
        return backend_->deviceIOFormat(device, format);
    }

    bool supportsEnabledSides(const DeviceIOFormat& format) const {
        return (!captureEnabled_ || format.inputChannels > 0) &&
               (!playbackEnabled_ || format.outputChannels > 0);
    }

    static AudioStreamBasicDescription clientFormatOrDefault(
        const std::optional<AudioStreamBasicDescription>& chosen, Float64 deviceRate) {
        return chosen ? *chosen : floatStreamFormat(deviceRate, kDefaultClientChannels, false);
    }

    OSStatus formatAt(AudioUnitScope scope, AudioUnitElement element,
                      AudioStreamBasicDescription& format) const {
        DeviceIOFormat device;
        const bool hasDevice = deviceFormat(device) == noErr;
        if (isClientSide(scope, element)) {
            const auto& chosen = element == kCaptureElement ? captureFormat_ : playbackFormat_;
            if (!chosen && !hasDevice) {
                return kAudioUnitErr_NoConnection;
            }
            format = clientFormatOrDefault(chosen, device.sampleRate);
            return noErr;
        }
        if (!hasDevice) {
            return kAudioUnitErr_NoConnection;
        }
        const UInt32 channels =
            element == kCaptureElement ? device.inputChannels : device.outputChannels;
        format = floatStreamFormat(device.sampleRate, std::max<UInt32>(channels, 1), true);
        format.mChannelsPerFrame = channels;
        return noErr;
    }

    OSStatus setClientFormat(AudioUnitElement element, const void* data) {
        const auto format = checkedPropertyValue<AudioStreamBasicDescription>(data);
        if (!isSupportedFloatFormat(format)) {
            return kAudioUnitErr_FormatNotSupported;
        }
        (element == kCaptureElement ? captureFormat_ : playbackFormat_) = format;
        return noErr;
    }

    OSStatus setCallback(AudioUnitPropertyID id, const void* data) {
        // The device thread reads the callbacks without a lock, so they only change while it
        // does not run them.
        if (started_) {
            return kAudioUnitErr_CannotDoInCurrentContext;
        }
        (id == kAudioOutputUnitProperty_SetInputCallback ? inputCallback_ : renderCallback_) =
            checkedPropertyValue<AURenderCallbackStruct>(data);
        return noErr;
    }

    OSStatus setCurrentDevice(const void* data) {
        const auto device = checkedPropertyValue<AudioDeviceID>(data);
        DeviceIOFormat format;
        if (const OSStatus status = backend_->deviceIOFormat(device, format); status != noErr) {
            return status;
        }
        // A device without the side the unit is enabled for cannot serve it.
        if (!supportsEnabledSides(format)) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        chosenDevice_ = device;
        return noErr;
    }

    OSStatus setMaximumFrames(const void* data) {
        const auto value = checkedPropertyValue<UInt32>(data);
        if (!isValidMaximumFrames(value)) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        maximumFrames_ = value;
        return noErr;
    }

    const std::shared_ptr<AudioHardwareBackend> backend_;
    bool captureEnabled_ = false;
    bool playbackEnabled_ = true;
    AudioDeviceID chosenDevice_ = kAudioObjectUnknown;
    std::optional<AudioStreamBasicDescription> captureFormat_;
    std::optional<AudioStreamBasicDescription> playbackFormat_;
    AURenderCallbackStruct inputCallback_;
    AURenderCallbackStruct renderCallback_;
    UInt32 maximumFrames_ = kDefaultMaximumFramesPerSlice;
    bool initialized_ = false;
    bool started_ = false;
    // Set on the device's thread when its I/O ends by itself, read on the control thread.
    std::atomic<bool> ioEnded_{false};

    AudioDeviceID device_ = kAudioObjectUnknown;
    Direction capture_;
    Direction playback_;
    const float* pending_ = nullptr;  // frames the input callback may render, during it only
    UInt32 pendingFrames_ = 0;
};

}  // namespace

std::unique_ptr<AudioUnitImplementation> makeHalOutputUnit() {
    auto backend = currentAudioHardwareBackend();
    if (backend == nullptr) {
        return nullptr;
    }
    return std::make_unique<HalOutputUnit>(std::move(backend));
}

}  // namespace brimo::hal
