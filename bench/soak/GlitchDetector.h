#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace brimo::bench {

// Finds the dropouts in a recording of music that was played through the engine, by comparing
// it with the music itself. Two kinds of evidence:
// - the timeline: the recording's loudness envelope (1 ms steps, each the loudness of the
//   20 ms around it, which a pitch shift and the shifter's phase changes leave alone) is
//   matched against the music's; a block played twice, a run of silence pushed in,
//   or audio skipped moves the match by a step, where the engine's rate trim only drifts it;
// - holes: runs of digital silence where the music is loud (a stream that ran dry plays
//   zeros, also when the timeline then catches up).
// Events closer than `mergeSeconds` count as one dropout.
struct Glitch {
    double atSeconds = 0.0;  // in the recording
    std::string kind;        // "skipped", "delayed" (repeated or silence pushed in), "hole"
    double sizeMs = 0.0;     // the step of the timeline, or the hole's length
};

struct GlitchReport {
    bool aligned = false;  // the recording was found in the music
    double offsetSeconds = 0.0;
    double judgedSeconds = 0.0;
    double judgedFraction = 0.0;   // of the timeline's windows, those that matched well enough
    std::vector<Glitch> glitches;  // merged, in time order
};

struct GlitchDetectorOptions {
    double blockSeconds = 0.001;
    double smoothingMs = 20.0;  // a 1 ms loudness follows the waveform's phase, not the music
    double windowSeconds = 0.5;
    double hopSeconds = 0.25;
    double stepMs = 4.0;      // a smaller move of the timeline is drift
    double maxDrift = 0.002;  // the rate trim's limit: across quiet passages drift adds up
    double searchMs = 150.0;  // how far one hop may move it
    double minHoleMs = 1.0;
    double loudRms = 0.01;        // where the music is at least this loud, silence is a hole
    double mergeSeconds = 1.5;    // a step is placed within a window and a hop of its cause
    double minCorrelation = 0.6;  // windows that match worse (quiet passages) are skipped
    // A step is judged between windows that match at least this well: in a passage whose
    // loudness barely moves, the match wanders by itself.
    double stepCorrelation = 0.9;
};

// `music`: the mono reference, played in a loop from its start; `recording`: mono, same rate.
GlitchReport detectGlitches(const std::vector<float>& music, const std::vector<float>& recording,
                            double sampleRate, const GlitchDetectorOptions& options = {});

}  // namespace brimo::bench
