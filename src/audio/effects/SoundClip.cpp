#include "audio/effects/SoundClip.h"

#include <sndfile.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>

#include "platform/hal/AudioObject.h"
#include "platform/hal/SampleLayout.h"
#include "platform/hal/StreamFormat.h"
#include "platform/hal/UnitProperty.h"

namespace brimo::audio {
namespace {

// A click lasts a fraction of a second; a minute is far beyond any sound this plays.
constexpr double kLongestSeconds = 60.0;
// How long after its expected end a clip's unit is released, so a device's last cycles can
// still take the tail; a device that has not taken it by then is stalled, and the clip stops.
constexpr auto kReleaseMargin = std::chrono::milliseconds(250);

constexpr hal::AudioComponentDescription kHalOutputDescription{
    hal::kAudioUnitType_Output, hal::kAudioUnitSubType_HALOutput, hal::kAudioUnitManufacturer_Apple,
    0, 0};

struct SndfileClose {
    void operator()(SNDFILE* file) const { sf_close(file); }
};

std::optional<hal::AudioDeviceID> defaultOutputDevice() {
    const hal::AudioObjectPropertyAddress address{hal::kAudioHardwarePropertyDefaultOutputDevice,
                                                  hal::kAudioObjectPropertyScopeGlobal,
                                                  hal::kAudioObjectPropertyElementMain};
    hal::AudioDeviceID device = hal::kAudioObjectUnknown;
    hal::UInt32 size = sizeof(device);
    if (hal::AudioObjectGetPropertyData(hal::kAudioObjectSystemObject, &address, 0, nullptr, &size,
                                        &device) != hal::noErr ||
        device == hal::kAudioObjectUnknown) {
        return std::nullopt;
    }
    return device;
}

}  // namespace

std::unique_ptr<SoundClip> SoundClip::load(const std::filesystem::path& file,
                                           dispatch::MainQueue& mainQueue) {
    SF_INFO info{};
    const std::unique_ptr<SNDFILE, SndfileClose> sound(sf_open(file.c_str(), SFM_READ, &info));
    if (!sound || info.channels <= 0 || info.samplerate <= 0 || info.frames <= 0 ||
        static_cast<double>(info.frames) > kLongestSeconds * info.samplerate) {
        return nullptr;
    }
    std::vector<float> samples(static_cast<std::size_t>(info.frames) *
                               static_cast<std::size_t>(info.channels));
    const sf_count_t read = sf_readf_float(sound.get(), samples.data(), info.frames);
    if (read <= 0) {
        return nullptr;
    }
    samples.resize(static_cast<std::size_t>(read) * static_cast<std::size_t>(info.channels));
    return std::unique_ptr<SoundClip>(
        new SoundClip(std::move(samples), static_cast<std::uint32_t>(info.channels),
                      static_cast<double>(info.samplerate), mainQueue));
}

SoundClip::SoundClip(std::vector<float> samples, std::uint32_t channels, double sampleRate,
                     dispatch::MainQueue& mainQueue)
    : samples_(std::move(samples)),
      channels_(channels),
      frames_(static_cast<std::uint32_t>(samples_.size() / channels)),
      sampleRate_(sampleRate),
      mainQueue_(mainQueue),
      self_(std::make_shared<SoundClip*>(this)) {}

SoundClip::~SoundClip() {
    stop();
}

void SoundClip::setVolume(float volume) {
    volume_ = std::isnan(volume) ? 0.0F : std::clamp(volume, 0.0F, 1.0F);
}

bool SoundClip::isPlaying() const {
    return unit_ != nullptr && position_.load() < frames_;
}

void SoundClip::stop() {
    if (unit_ == nullptr) {
        return;
    }
    // Disposing stops the unit first; once it returns no render callback runs.
    hal::AudioComponentInstanceDispose(unit_);
    unit_ = nullptr;
}

bool SoundClip::play() {
    stop();
    ++playCount_;
    const auto device = defaultOutputDevice();
    if (!device || !startUnit(*device)) {
        stop();
        return false;
    }
    scheduleRelease();
    return true;
}

bool SoundClip::startUnit(hal::AudioDeviceID device) {
    hal::AudioComponent component = hal::AudioComponentFindNext(nullptr, &kHalOutputDescription);
    if (component == nullptr || hal::AudioComponentInstanceNew(component, &unit_) != hal::noErr ||
        unit_ == nullptr) {
        unit_ = nullptr;
        return false;
    }
    const auto format = hal::floatStreamFormat(sampleRate_, channels_, true);
    const hal::AURenderCallbackStruct callback{&SoundClip::render, this};
    position_ = 0;
    return hal::setUnitProperty(unit_, hal::kAudioOutputUnitProperty_CurrentDevice,
                                hal::kAudioUnitScope_Global, 0, device) == hal::noErr &&
           hal::setUnitProperty(unit_, hal::kAudioUnitProperty_StreamFormat,
                                hal::kAudioUnitScope_Input, 0, format) == hal::noErr &&
           hal::setUnitProperty(unit_, hal::kAudioUnitProperty_SetRenderCallback,
                                hal::kAudioUnitScope_Input, 0, callback) == hal::noErr &&
           hal::AudioUnitInitialize(unit_) == hal::noErr &&
           hal::AudioOutputUnitStart(unit_) == hal::noErr;
}

void SoundClip::scheduleRelease() {
    const auto length = std::chrono::duration_cast<dispatch::Duration>(
        std::chrono::duration<double>(static_cast<double>(frames_) / sampleRate_));
    mainQueue_.postAfter(length + kReleaseMargin,
                         [weak = std::weak_ptr<SoundClip*>(self_), play = playCount_] {
                             const auto self = weak.lock();
                             if (self && (*self)->playCount_ == play) {
                                 (*self)->stop();
                             }
                         });
}

hal::OSStatus SoundClip::render(void* clip, hal::AudioUnitRenderActionFlags* flags,
                                const hal::AudioTimeStamp* /*time*/, hal::UInt32 /*bus*/,
                                hal::UInt32 frames, hal::AudioBufferList* data) {
    if (data == nullptr || data->mNumberBuffers == 0 || data->mBuffers[0].mData == nullptr) {
        return hal::kAudio_ParamError;
    }
    auto& self = *static_cast<SoundClip*>(clip);
    auto* out = static_cast<float*>(data->mBuffers[0].mData);
    const std::uint32_t position = self.position_.load(std::memory_order_relaxed);
    const std::uint32_t available = self.frames_ - std::min(position, self.frames_);
    const std::uint32_t taken = std::min(frames, available);
    const float gain = self.volume_.load(std::memory_order_relaxed);
    const float* source = self.samples_.data() + hal::interleavedSamples(position, self.channels_);
    const std::size_t takenSamples = hal::interleavedSamples(taken, self.channels_);
    for (std::size_t i = 0; i < takenSamples; ++i) {
        out[i] = source[i] * gain;
    }
    std::fill(out + takenSamples, out + hal::interleavedSamples(frames, self.channels_), 0.0F);
    if (taken == 0 && flags != nullptr) {
        *flags |= hal::kAudioUnitRenderAction_OutputIsSilence;
    }
    self.position_.store(position + taken, std::memory_order_release);
    return hal::noErr;
}

}  // namespace brimo::audio
