#pragma once

#include <string>
#include <vector>

#include "Shifters.h"

namespace brimo::bench {

// One input of the CPU measurements: 48 kHz stereo, or why it could not be made.
struct Input {
    std::string name;
    Stereo audio;
    std::string missing;  // empty when `audio` holds the input
};

// Every kind of material the render thread meets, `seconds` long each: a steady tone, white
// noise, the music-like mixture with onsets, dense orchestral-like material, drums, speech-like
// sound, silence, a sweep, and real recorded music decoded from the Debian package's file.
std::vector<Input> cpuInputs(double seconds);

// The names of those inputs, in the order cpuInputs gives them.
const std::vector<std::string>& cpuInputNames();

// One of them alone, by name (`missing` says so for a name that is none of them).
Input cpuInput(const std::string& name, double seconds);

// The real music alone: `seconds` from `offset` seconds into the recording.
Input realMusic(double offset, double seconds);

}  // namespace brimo::bench
