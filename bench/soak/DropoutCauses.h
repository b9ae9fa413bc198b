#pragma once

#include <string>
#include <vector>

#include "GlitchDetector.h"
#include "StallWatch.h"

namespace brimo::bench {

// A moment the engine or its streams reported trouble: one of our playback streams ran dry
// ("playback_underrun"), the capture side lost data ("capture_overrun", "capture_hole"), or the
// engine's ring ran dry, was lapped or dropped lag ("ring_underrun", "ring_overrun",
// "lag_drop"). In seconds on the recordings' clock.
struct EngineEvent {
    double atSeconds = 0.0;
    std::string kind;
};

// Where a dropout heard on the speakers came from: already in what reached "Brimola Vetrix"
// (the player's or the server's way in), ours (a counter of ours moved just before it), or
// the server's way out (the audio left us whole and still arrived broken), or the machine (every
// core was held at once, longer than any buffer on the way holds, just before it was heard).
enum class DropoutCause { input, ours, server, machine };

const char* causeName(DropoutCause cause);

// The events that may explain a dropout heard at `heardAt`: from `maxDelay` before (the way
// through the engine and the server) to `maxEarly` after. A server tells a stream of its
// underrun when its main thread gets to it: PulseAudio's notices came 0.4-0.7 s after the hole
// reached the recording, so a second after still counts as ours.
std::vector<EngineEvent> eventsNear(const std::vector<EngineEvent>& events, double heardAt,
                                    double maxDelay = 1.0, double maxEarly = 1.0);

// `machineHoldMs`: the shortest stall of every core that counts as the machine's: longer than
// the buffers between the engine and the speakers hold.
DropoutCause dropoutCause(const Glitch& heard, const std::vector<Glitch>& input,
                          const std::vector<EngineEvent>& events,
                          const std::vector<MachineStall>& stalls, double machineHoldMs);

}  // namespace brimo::bench
