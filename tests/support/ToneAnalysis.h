#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <vector>

namespace brimo::testing {

// The frequency of a steady tone from its rising zero crossings, interpolated between samples;
// exact to a few millihertz over a second of a clean tone. 0 with fewer than two crossings.
inline double toneFrequency(const std::vector<float>& samples, double sampleRate) {
    double first = 0.0;
    double last = 0.0;
    int crossings = 0;
    for (std::size_t i = 1; i < samples.size(); ++i) {
        if (samples[i - 1] < 0.0F && samples[i] >= 0.0F) {
            const double fraction = samples[i - 1] / (samples[i - 1] - samples[i]);
            const double at = static_cast<double>(i - 1) + fraction;
            if (crossings == 0) {
                first = at;
            }
            last = at;
            ++crossings;
        }
    }
    return crossings < 2 ? 0.0 : (crossings - 1) * sampleRate / (last - first);
}

inline double rms(const std::vector<float>& samples) {
    double sum = 0.0;
    for (const float s : samples) {
        sum += static_cast<double>(s) * s;
    }
    return samples.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(samples.size()));
}

// `count` samples from `from`.
inline std::vector<float> slice(const std::vector<float>& samples, std::size_t from,
                                std::size_t count) {
    return {samples.begin() + static_cast<std::ptrdiff_t>(from),
            samples.begin() + static_cast<std::ptrdiff_t>(from + count)};
}

// Every `stride`-th sample from `offset`: one channel of interleaved frames.
inline std::vector<float> channel(const std::vector<float>& interleaved, std::size_t offset,
                                  std::size_t stride) {
    std::vector<float> out;
    for (std::size_t i = offset; i < interleaved.size(); i += stride) {
        out.push_back(interleaved[i]);
    }
    return out;
}

// The largest magnitude.
inline float peak(const std::vector<float>& samples) {
    float p = 0.0F;
    for (const float s : samples) {
        p = std::max(p, std::fabs(s));
    }
    return p;
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
