// Renders one benchmark input through our shifter as the engine sets it (overlap 32, 512-frame
// slices, the tempo trimmed by 20 ppm) and nothing else, for instruction counts:
//
//   valgrind --tool=callgrind bench_timepitch_render "real music" 4
//
// Arguments: the input's name (as bench_timepitch prints it), seconds, cents (432 Hz by
// default) and tempo.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Inputs.h"
#include "Signals.h"
#include "dsp/timepitch/TimePitchShifter.h"

namespace {

struct Source {
    const brimo::bench::Stereo* audio;
    long position;

    static void pull(void* context, float* const* channels, std::uint32_t frames) {
        auto* self = static_cast<Source*>(context);
        for (std::size_t c = 0; c < 2; ++c) {
            const auto& from = (*self->audio)[c];
            for (std::uint32_t i = 0; i < frames; ++i) {
                const auto at = static_cast<std::size_t>(self->position + i);
                channels[c][i] = at < from.size() ? from[at] : 0.0F;
            }
        }
        self->position += frames;
    }
};

}  // namespace

int main(int argc, char** argv) {
    using namespace brimo::bench;
    const std::string name = argc > 1 ? argv[1] : "real music";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 4.0;
    const double cents = argc > 3 ? std::atof(argv[3]) : 1200.0 * std::log2(432.0 / 440.0);
    const double rate = argc > 4 ? std::atof(argv[4]) : 1.00002;
    Stereo audio;
    if (name == "real music") {
        audio = realMusic(40.0, seconds).audio;
    } else {
        for (auto& input : cpuInputs(seconds)) {
            if (input.name == name) {
                audio = std::move(input.audio);
            }
        }
    }
    if (audio.size() != 2) {
        std::fprintf(stderr, "no input named \"%s\"\n", name.c_str());
        return 1;
    }
    brimo::timepitch::TimePitchShifter shifter;
    shifter.prepare(kRate, 2, kBlock);
    shifter.setOverlap(32.0F);
    shifter.setRate(static_cast<float>(rate));
    shifter.setPitchCents(static_cast<float>(cents));
    Source source{&audio, 0};
    std::vector<float> left(kBlock);
    std::vector<float> right(kBlock);
    double sum = 0.0;
    for (std::size_t at = 0; at + kBlock <= audio[0].size(); at += kBlock) {
        float* out[2] = {left.data(), right.data()};
        shifter.render(kBlock, out, {&Source::pull, &source});
        sum += left[0];
    }
    // Printed so that nothing of the rendering can be optimised away.
    std::printf("%g\n", sum);
    return 0;
}
