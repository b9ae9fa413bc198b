#include "integration/hal_pulse/ToneTools.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>

namespace brimo::testing {

namespace {

void put16(std::ofstream& out, std::uint16_t value) {
    out.put(static_cast<char>(value & 0xFFU)).put(static_cast<char>(value >> 8U));
}

void put32(std::ofstream& out, std::uint32_t value) {
    put16(out, static_cast<std::uint16_t>(value & 0xFFFFU));
    put16(out, static_cast<std::uint16_t>(value >> 16U));
}

std::vector<double> risingCrossings(const std::vector<float>& samples, std::size_t begin,
                                    std::size_t length) {
    std::vector<double> crossings;
    const std::size_t end = std::min(samples.size(), begin + length);
    for (std::size_t i = begin + 1; i < end; ++i) {
        const float before = samples[i - 1];
        const float after = samples[i];
        if (before < 0.0F && after >= 0.0F) {
            crossings.push_back(static_cast<double>(i - 1) + before / (before - after));
        }
    }
    return crossings;
}

}  // namespace

void writeToneWav(const std::string& path, double frequencyHz, double seconds, int sampleRate,
                  double amplitude) {
    const auto frames = static_cast<std::uint32_t>(seconds * sampleRate);
    const std::uint32_t dataBytes = frames * 4;
    std::ofstream out(path, std::ios::binary);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);  // PCM
    put16(out, 2);
    put32(out, static_cast<std::uint32_t>(sampleRate));
    put32(out, static_cast<std::uint32_t>(sampleRate) * 4);
    put16(out, 4);
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double value =
            amplitude * std::sin(2.0 * std::numbers::pi * frequencyHz * i / sampleRate);
        const auto sample = static_cast<std::int16_t>(std::lround(value * 32767.0));
        put16(out, static_cast<std::uint16_t>(sample));
        put16(out, static_cast<std::uint16_t>(sample));
    }
}

std::size_t disturbedPeriods(const std::vector<float>& samples, std::size_t begin,
                             std::size_t length, double sampleRate, double frequencyHz) {
    const auto crossings = risingCrossings(samples, begin, length);
    const double expected = sampleRate / frequencyHz;
    std::size_t disturbed = 0;
    for (std::size_t i = 1; i < crossings.size(); ++i) {
        if (std::fabs(crossings[i] - crossings[i - 1] - expected) > 0.02 * expected) {
            ++disturbed;
        }
    }
    return disturbed;
}

}  // namespace brimo::testing
