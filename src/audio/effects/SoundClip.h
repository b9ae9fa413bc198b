#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "platform/dispatch/MainQueue.h"
#include "platform/hal/AudioUnit.h"

namespace brimo::audio {

// A short sound decoded into memory once and played on the system's current default output
// device through a HAL output unit of its own, like a desktop's notification sound. Its
// operations belong to the main thread; playback itself runs on the device's thread, and the
// unit is released shortly after the sound has ended.
class SoundClip {
  public:
    // Decodes the whole file (any format libsndfile reads); null when it cannot be read, holds
    // no frames or is longer than a click has any reason to be.
    static std::unique_ptr<SoundClip> load(const std::filesystem::path& file,
                                           dispatch::MainQueue& mainQueue);
    ~SoundClip();

    SoundClip(const SoundClip&) = delete;
    SoundClip& operator=(const SoundClip&) = delete;

    // Gain applied to every sample, 0.0 to 1.0.
    void setVolume(float volume);
    [[nodiscard]] float volume() const { return volume_.load(); }

    // From the start of play() until the device has taken the last frame.
    [[nodiscard]] bool isPlaying() const;
    // Ends playback at once; a later play() starts from the beginning.
    void stop();
    // Starts from the beginning on the current default output; false when there is no default
    // output or its unit cannot be made or started.
    bool play();

    // The decoded sound, interleaved, before the volume is applied.
    [[nodiscard]] const std::vector<float>& samples() const { return samples_; }
    [[nodiscard]] std::uint32_t frames() const { return frames_; }
    [[nodiscard]] std::uint32_t channels() const { return channels_; }
    [[nodiscard]] double sampleRate() const { return sampleRate_; }

  private:
    SoundClip(std::vector<float> samples, std::uint32_t channels, double sampleRate,
              dispatch::MainQueue& mainQueue);

    bool startUnit(hal::AudioDeviceID device);
    void scheduleRelease();
    static hal::OSStatus render(void* clip, hal::AudioUnitRenderActionFlags* flags,
                                const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                hal::UInt32 frames, hal::AudioBufferList* data);

    const std::vector<float> samples_;
    const std::uint32_t channels_;
    const std::uint32_t frames_;
    const double sampleRate_;
    dispatch::MainQueue& mainQueue_;

    std::atomic<std::uint32_t> position_{0};
    std::atomic<float> volume_{1.0F};
    hal::AudioUnit unit_ = nullptr;
    // Which play() a scheduled release belongs to.
    std::uint64_t playCount_ = 0;
    // Scheduled releases hold it weakly, so none touches a clip that is gone.
    std::shared_ptr<SoundClip*> self_;
};

}  // namespace brimo::audio
