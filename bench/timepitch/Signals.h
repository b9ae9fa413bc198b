#pragma once

#include <vector>

#include "Shifters.h"

namespace brimo::bench {

constexpr double kRate = 48000.0;

// Both channels equal.
Stereo stereoOf(const std::vector<float>& mono);

std::vector<float> sine(double hz, double amplitude, double seconds);
// Equal-level partials with fixed, spread start phases; `scale` multiplies every frequency.
std::vector<float> chord(const std::vector<double>& hz, double amplitude, double seconds,
                         double scale = 1.0);
// Silence, a 20 ms 1 kHz burst at `onset` seconds, silence.
std::vector<float> burst(double onset, double seconds);
// One-sample clicks every 250 ms from 250 ms on.
std::vector<float> clicks(double seconds);
// Notes with harmonics, a new note every 0.5 s, each ringing on under the next ones; every
// partial frequency multiplied by `scale`, so scale 432/440 gives the exact ideal output.
std::vector<float> music(double seconds, double scale = 1.0);
// White noise at −12 dBFS RMS from a fixed seed: the densest input there is, the worst case for
// a shifter whose work grows with the number of spectral peaks.
std::vector<float> noise(double seconds);
// Onset times of music(), in samples.
std::vector<long> musicOnsets(double seconds);

}  // namespace brimo::bench
