#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace brimo::testing {

// A 16-bit stereo WAV file of a sine tone, for an ordinary client to play.
void writeToneWav(const std::string& path, double frequencyHz, double seconds, int sampleRate,
                  double amplitude);

// The first frame whose magnitude reaches `threshold`.
std::optional<std::size_t> firstSound(const std::vector<float>& samples, float threshold);

// The frequency of a sine from its rising zero crossings (linearly interpolated) in
// [begin, begin + length).
double zeroCrossingFrequency(const std::vector<float>& samples, std::size_t begin,
                             std::size_t length, double sampleRate);

// Periods in [begin, begin + length) that differ from the expected one by more than 2 %: each
// gap, repeat or jump in the signal disturbs at least one.
std::size_t disturbedPeriods(const std::vector<float>& samples, std::size_t begin,
                             std::size_t length, double sampleRate, double frequencyHz);

float peak(const std::vector<float>& samples);

}  // namespace brimo::testing
