#include "platform/hal/sim/SignalPlayer.h"

#include <cmath>
#include <numbers>

namespace brimo::hal::sim {

void SignalPlayer::addTo(float* destination, UInt32 frames, UInt32 channels, Float64 sampleRate) {
    switch (signal_.kind()) {
        case Signal::Kind::silence:
            break;
        case Signal::Kind::tone: {
            const double f = signal_.frequencyHz();
            const float amplitude = signal_.amplitude();
            for (UInt32 i = 0; i < frames; ++i) {
                // The phase from the frame index alone, wrapped in whole cycles first, so that
                // hours of frames keep full precision and every run computes the same samples.
                const double cycles =
                    std::fmod(f * static_cast<double>(position_ + i), sampleRate) / sampleRate;
                const auto value =
                    amplitude * static_cast<float>(std::sin(2.0 * std::numbers::pi * cycles));
                for (UInt32 c = 0; c < channels; ++c) {
                    destination[static_cast<std::size_t>(i) * channels + c] += value;
                }
            }
            break;
        }
        case Signal::Kind::samples: {
            const auto& samples = signal_.interleaved();
            const UInt32 sourceChannels = signal_.channels();
            const auto length = static_cast<SInt64>(samples.size() / sourceChannels);
            if (length == 0) {
                break;
            }
            for (UInt32 i = 0; i < frames; ++i) {
                SInt64 frame = position_ + i;
                if (signal_.loops()) {
                    frame %= length;
                } else if (frame >= length) {
                    break;
                }
                for (UInt32 c = 0; c < channels; ++c) {
                    destination[static_cast<std::size_t>(i) * channels + c] +=
                        samples[static_cast<std::size_t>(frame) * sourceChannels +
                                c % sourceChannels];
                }
            }
            break;
        }
    }
    position_ += frames;
}

}  // namespace brimo::hal::sim
