#pragma once

#include <nlohmann/json.hpp>
#include <vector>

#include "GlitchDetector.h"

namespace brimo::bench {

// Checks the detector on the music itself: a clean copy (drifting by the engine's largest rate
// trim) must show no dropout, and a copy with known gaps, dropped and repeated blocks must
// show each of them, near where it was made, and nothing else.
nlohmann::json validateGlitchDetector(const std::vector<float>& music, double sampleRate);

// The same faults made in a real recording of the music, from `fromSeconds` on (where the
// sound has arrived): each must be found, and anything else found must be a dropout the
// untouched recording shows too. This proves the detector on what the servers and the
// shifter really deliver, at either pitch.
nlohmann::json validateOnRecording(const std::vector<float>& music,
                                   const std::vector<float>& recording, double fromSeconds,
                                   double sampleRate, const GlitchDetectorOptions& options = {});

}  // namespace brimo::bench
