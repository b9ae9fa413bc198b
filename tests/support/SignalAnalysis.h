#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

namespace brimo::testing {

// The frequency of a steady tone from its rising zero crossings, each placed between samples
// by linear interpolation: precise to far better than 0.01 Hz over a second of a clean tone.
inline std::optional<double> zeroCrossingFrequency(const std::vector<float>& samples,
                                                   double sampleRate) {
    std::optional<double> first;
    double last = 0.0;
    std::size_t crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        const float a = samples[i - 1];
        const float b = samples[i];
        if (a < 0.0F && b >= 0.0F) {
            const double at = static_cast<double>(i - 1) + a / (a - b);
            if (!first) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    if (crossings < 3) {
        return std::nullopt;
    }
    return static_cast<double>(crossings - 1) * sampleRate / (last - *first);
}

inline double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

inline float peak(const std::vector<float>& samples) {
    float p = 0.0F;
    for (float s : samples) {
        p = std::max(p, std::fabs(s));
    }
    return p;
}

inline std::vector<float> slice(const std::vector<float>& samples, std::size_t from,
                                std::size_t count) {
    from = std::min(from, samples.size());
    count = std::min(count, samples.size() - from);
    return {samples.begin() + static_cast<std::ptrdiff_t>(from),
            samples.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// The first index whose magnitude reaches `threshold`, if any.
inline std::optional<std::size_t> onset(const std::vector<float>& samples, float threshold) {
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) >= threshold) {
            return i;
        }
    }
    return std::nullopt;
}

}  // namespace brimo::testing
