#pragma once

#include <vector>

#include "platform/hal/AudioObject.h"

namespace brimo::hal::sim {

// Which side of a device a signal feeds: an application playing into it, or the sound that
// reaches its capture side (a microphone). A loopback device's capture side carries what is
// played into it, and signals on that side are added to it.
enum class Side { playback, capture };

using SignalID = UInt64;

// A source of sound at the device's nominal rate, the same on every channel unless given as
// samples.
class Signal {
  public:
    static Signal tone(double frequencyHz, float amplitude = 0.5F);
    static Signal silence();
    // Interleaved frames of `channels` channels (a device with other channel counts gets channel
    // c mod channels); played once, then silence, unless `loop`.
    static Signal samples(std::vector<float> interleaved, UInt32 channels, bool loop = false);

    enum class Kind { tone, silence, samples };
    [[nodiscard]] Kind kind() const { return kind_; }
    [[nodiscard]] double frequencyHz() const { return frequencyHz_; }
    [[nodiscard]] float amplitude() const { return amplitude_; }
    [[nodiscard]] const std::vector<float>& interleaved() const { return samples_; }
    [[nodiscard]] UInt32 channels() const { return channels_; }
    [[nodiscard]] bool loops() const { return loop_; }

  private:
    Kind kind_ = Kind::silence;
    double frequencyHz_ = 0.0;
    float amplitude_ = 0.0F;
    std::vector<float> samples_;
    UInt32 channels_ = 1;
    bool loop_ = false;
};

}  // namespace brimo::hal::sim
