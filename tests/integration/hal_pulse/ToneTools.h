#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brimo::testing {

// A 16-bit stereo WAV file of a sine tone (made by sox), for an ordinary client to play.
void writeToneWav(const std::string& path, double frequencyHz, double seconds, int sampleRate,
                  double amplitude);

// Periods in [begin, begin + length) that differ from the expected one by more than 2 %: each
// gap, repeat or jump in the signal disturbs at least one.
std::size_t disturbedPeriods(const std::vector<float>& samples, std::size_t begin,
                             std::size_t length, double sampleRate, double frequencyHz);

}  // namespace brimo::testing
