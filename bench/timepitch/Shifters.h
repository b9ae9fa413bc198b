#pragma once

#include <memory>
#include <string>
#include <vector>

#include "CpuClocks.h"

namespace brimo::bench {

// Stereo audio, one vector per channel.
using Stereo = std::vector<std::vector<float>>;

// What a shifter made of one input: the output exactly as a live chain would play it, where
// input arrives and output leaves in 512-frame blocks, so it starts with the priming silence
// that keeps the output from running dry.
struct Rendered {
    Stereo output;
    long primingFrames = 0;
    long reportedLatencyFrames = 0;
    double cpuSeconds = 0.0;  // process CPU time of the processing loop alone
    // Thread CPU time of each 512-frame block: pushing it in and taking out what is ready.
    std::vector<double> sliceSeconds;
};

// One pitch shifter under test, run at a fixed pitch and tempo 1.0.
class Shifter {
  public:
    virtual ~Shifter() = default;
    [[nodiscard]] virtual std::string name() const = 0;
    // Processes `input` (stereo) through a freshly created instance.
    virtual Rendered run(const Stereo& input, double sampleRate, double cents) = 0;
};

// Ours at a tempo other than 1 only for CPU: its output then runs ahead of the input.
std::unique_ptr<Shifter> makeOurShifter(float overlap, float rate = 1.0F);
// Ours as the engine runs it while the shift is off: 0 cents whatever is asked, overlap 32 and
// a clock-drift trim of the tempo.
std::unique_ptr<Shifter> makeOurPassthrough(float rate);
// Real-time mode, R3 (finer) engine, OptionPitchHighQuality.
std::unique_ptr<Shifter> makeRubberBandR3();
// Real-time mode with every option at its default, or tuned for a fixed shift of steady
// material: OptionPitchHighQuality (recommended for fixed shifts where quality matters) and
// OptionTransientsSmooth (without it R2 resets phases so often in real-time mode that low
// partials come out unshifted).
std::unique_ptr<Shifter> makeRubberBandR2(bool tuned);
std::unique_ptr<Shifter> makeSoundTouch();

constexpr int kBlock = 512;

}  // namespace brimo::bench
