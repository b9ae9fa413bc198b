#include "Signals.h"

#include <cmath>
#include <cstdint>
#include <numbers>

namespace brimo::bench {

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;
std::size_t framesOf(double seconds) {
    return static_cast<std::size_t>(seconds * kRate);
}
}  // namespace

Stereo stereoOf(const std::vector<float>& mono) {
    return {mono, mono};
}

std::vector<float> sine(double hz, double amplitude, double seconds) {
    return chord({hz}, amplitude, seconds);
}

std::vector<float> chord(const std::vector<double>& hz, double amplitude, double seconds,
                         double scale) {
    std::vector<float> out(framesOf(seconds), 0.0F);
    for (std::size_t p = 0; p < hz.size(); ++p) {
        const double w = kTwoPi * hz[p] * scale / kRate;
        const double phase = 0.7 + 2.1 * static_cast<double>(p);
        for (std::size_t i = 0; i < out.size(); ++i) {
            out[i] += static_cast<float>(amplitude * std::sin(w * static_cast<double>(i) + phase));
        }
    }
    return out;
}

std::vector<float> burst(double onset, double seconds) {
    std::vector<float> out(framesOf(seconds), 0.0F);
    const auto start = framesOf(onset);
    for (std::size_t i = 0; i < framesOf(0.020); ++i) {
        out[start + i] =
            static_cast<float>(0.5 * std::sin(kTwoPi * 1000.0 * static_cast<double>(i) / kRate));
    }
    return out;
}

std::vector<float> clicks(double seconds) {
    std::vector<float> out(framesOf(seconds), 0.0F);
    for (std::size_t at = framesOf(0.25); at < out.size(); at += framesOf(0.25)) {
        out[at] = 0.9F;
    }
    return out;
}

std::vector<float> noise(double seconds) {
    std::vector<float> out(framesOf(seconds));
    std::uint32_t seed = 12345;
    for (float& v : out) {
        seed = seed * 1664525U + 1013904223U;
        // Uniform in ±0.433: RMS 0.25.
        v = static_cast<float>((static_cast<double>(seed >> 8U) / 16777216.0 - 0.5) * 0.866);
    }
    return out;
}

std::vector<long> musicOnsets(double seconds) {
    std::vector<long> onsets;
    for (double t = 0.25; t + 0.5 < seconds; t += 0.5) {
        onsets.push_back(static_cast<long>(framesOf(t)));
    }
    return onsets;
}

std::vector<float> music(double seconds, double scale) {
    // A fixed melody over two octaves of a major scale, with a bass note every other beat.
    static const double kMelody[] = {261.63, 329.63, 392.00, 523.25, 440.00, 349.23,
                                     293.66, 246.94, 329.63, 493.88, 587.33, 392.00,
                                     220.00, 659.25, 523.25, 293.66};
    std::vector<float> out(framesOf(seconds), 0.0F);
    const auto onsets = musicOnsets(seconds);
    for (std::size_t n = 0; n < onsets.size(); ++n) {
        const double f0 = kMelody[n % 16] * (n % 2 == 1 ? 0.5 : 1.0);
        const auto start = static_cast<std::size_t>(onsets[n]);
        const std::size_t length = std::min(out.size() - start, framesOf(1.6));
        for (int h = 1; h <= 12; ++h) {
            const double hz = f0 * h * scale;
            if (hz > 16000.0) {
                break;
            }
            const double amplitude = 0.12 / h;
            const double w = kTwoPi * hz / kRate;
            const double phase = 0.3 * h + 1.7 * static_cast<double>(n);
            const double decay = 0.35 + 0.4 / h;  // seconds
            for (std::size_t i = 0; i < length; ++i) {
                const double t = static_cast<double>(i) / kRate;
                double envelope = std::exp(-t / decay);
                envelope *= std::min(1.0, t / 0.005);  // attack
                envelope *=
                    std::min(1.0, (static_cast<double>(length - i)) / (0.05 * kRate));  // release
                out[start + i] += static_cast<float>(amplitude * envelope *
                                                     std::sin(w * static_cast<double>(i) + phase));
            }
        }
    }
    return out;
}

}  // namespace brimo::bench
