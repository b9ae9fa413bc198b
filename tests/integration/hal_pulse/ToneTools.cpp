#include "integration/hal_pulse/ToneTools.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "platform/process/ProcessRunner.h"

namespace brimo::testing {

namespace {

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
    const auto result =
        process::runProgram({"sox", "-D", "-n", "-r", std::to_string(sampleRate), "-c", "2", "-b",
                             "16", path, "synth", std::to_string(seconds), "sine",
                             std::to_string(frequencyHz), "vol", std::to_string(amplitude)});
    if (result.exitStatus != 0) {
        throw std::runtime_error("sox could not write " + path + ": " + result.errorText);
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
