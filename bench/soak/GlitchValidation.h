#pragma once

#include <nlohmann/json.hpp>
#include <vector>

namespace brimo::bench {

// Checks the detector on the music itself: a clean copy (drifting by the engine's largest rate
// trim) must show no dropout, and a copy with known gaps, dropped and repeated blocks must
// show each of them, near where it was made, and nothing else.
nlohmann::json validateGlitchDetector(const std::vector<float>& music, double sampleRate);

}  // namespace brimo::bench
