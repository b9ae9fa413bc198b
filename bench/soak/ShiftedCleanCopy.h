#pragma once

#include <vector>

namespace brimo::bench {

// The music as the engine's shifter would play it with nothing going wrong: `seconds` of the
// looped mono music through the time-pitch shifter at `cents`, with the tempo trim wandering
// across its whole ±0.2 % range (both limits held for a while, as after a lag). Any dropout the
// detector finds in it is the detector's own false alarm at that pitch.
std::vector<float> shiftedCleanCopy(const std::vector<float>& music, double sampleRate,
                                    double seconds, float cents);

// One loop of the looped mono music as the shifter plays it at `cents` once started up (tempo
// 1): the reference a shifted recording is matched against. Matched against the music itself,
// a shifted recording's loudness differs in its fine shape (partials beat at other rates), and
// its timeline wanders by milliseconds where nothing is wrong.
std::vector<float> shiftedLoop(const std::vector<float>& music, double sampleRate, float cents);

}  // namespace brimo::bench
