#include "platform/hal/sim/SignalPlayer.h"

#include <cmath>
#include <numbers>

namespace brimo::hal::sim {

void SignalPlayer::addTo(float* destination, UInt32 frames, UInt32 channels, Float64 sampleRate) {
    switch (signal_.kind()) {
        case Signal::Kind::silence:
            break;
        case Signal::Kind::tone: {
            // The phase of the block's first frame comes from the frame index alone, wrapped in
            // whole cycles first, so hours of frames keep full precision and every run computes
            // the same samples; within the block a rotation steps it on, which is far cheaper
            // than a sine per frame and drifts by less than 1e-13 over a block.
            const double f = signal_.frequencyHz();
            const double amplitude = signal_.amplitude();
            const double start = 2.0 * std::numbers::pi *
                                 std::fmod(f * static_cast<double>(position_), sampleRate) /
                                 sampleRate;
            const double step = 2.0 * std::numbers::pi * f / sampleRate;
            const double stepCos = std::cos(step);
            const double stepSin = std::sin(step);
            double c = std::cos(start);
            double s = std::sin(start);
            for (UInt32 i = 0; i < frames; ++i) {
                const auto value = static_cast<float>(amplitude * s);
                for (UInt32 ch = 0; ch < channels; ++ch) {
                    destination[static_cast<std::size_t>(i) * channels + ch] += value;
                }
                const double nextC = c * stepCos - s * stepSin;
                s = s * stepCos + c * stepSin;
                c = nextC;
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
