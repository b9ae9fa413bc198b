#pragma once

#include <vector>

namespace brimo::bench {

// The music as the engine's shifter would play it with nothing going wrong: `seconds` of the
// looped mono music through the time-pitch shifter at `cents`, with the tempo trim wandering
// across its whole ±0.2 % range (both limits held for a while, as after a lag). Any dropout the
// detector finds in it is the detector's own false alarm at that pitch.
std::vector<float> shiftedCleanCopy(const std::vector<float>& music, double sampleRate,
                                    double seconds, float cents);

}  // namespace brimo::bench
