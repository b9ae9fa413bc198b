// Renders one benchmark input through our shifter as the engine sets it (overlap 32, 512-frame
// slices, the tempo trimmed by 100 ppm) and nothing else, for instruction counts:
//
//   valgrind --tool=callgrind bench_timepitch_render "real music" 4
//
// Arguments: the input's name (as bench_timepitch prints it), seconds, cents (432 Hz by
// default), tempo and runs. One run prints the output's sum and a hash of its bits. With more than
// one run it prints the 512-frame slices' thread CPU time as JSON (median, p99, worst, and apart
// the first slice and the worst of the steady slices after it), each slice the least over the
// runs: the input and the shifter are deterministic, so what a slice costs above its least is the
// shared machine's (preemption, interrupts, another build's cache misses), not the shifter's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Inputs.h"
#include "Measures.h"
#include "Signals.h"
#include "StereoPull.h"
#include "dsp/timepitch/TimePitchShifter.h"

int main(int argc, char** argv) {
    using namespace brimo::bench;
    const std::string name = argc > 1 ? argv[1] : "real music";
    const double seconds = argc > 2 ? std::atof(argv[2]) : 4.0;
    const double cents = argc > 3 ? std::atof(argv[3]) : 1200.0 * std::log2(432.0 / 440.0);
    const double rate = argc > 4 ? std::atof(argv[4]) : 1.0001;
    const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 1;
    Stereo audio = cpuInput(name, seconds).audio;
    if (audio.size() != 2) {
        std::fprintf(stderr, "no input named \"%s\"\n", name.c_str());
        return 1;
    }
    const std::size_t count = audio[0].size() / kBlock;
    std::vector<double> least(count, 1e9);
    double sum = 0.0;
    // FNV-1a over the output's bits: whether a change kept the output exactly.
    std::uint64_t bits = 14695981039346656037ULL;
    for (int run = 0; run < runs; ++run) {
        brimo::timepitch::TimePitchShifter shifter;
        shifter.prepare(kRate, 2, kBlock);
        shifter.setOverlap(32.0F);
        shifter.setRate(static_cast<float>(rate));
        shifter.setPitchCents(static_cast<float>(cents));
        StereoPull source{&audio, 0};
        std::vector<float> left(kBlock);
        std::vector<float> right(kBlock);
        for (std::size_t k = 0; k < count; ++k) {
            float* out[2] = {left.data(), right.data()};
            const double before = threadCpuSeconds();
            shifter.render(kBlock, out, source.source());
            least[k] = std::min(least[k], threadCpuSeconds() - before);
            for (std::size_t i = 0; i < kBlock; ++i) {
                sum += std::abs(left[i]) + std::abs(right[i]);
                for (const float v : {left[i], right[i]}) {
                    std::uint32_t word = 0;
                    std::memcpy(&word, &v, sizeof word);
                    bits = (bits ^ word) * 1099511628211ULL;
                }
            }
        }
    }
    // The sum is printed so that nothing of the rendering can be optimised away.
    if (runs == 1 || count == 0) {
        std::printf("%.9g bits %016llx\n", sum, static_cast<unsigned long long>(bits));
        return 0;
    }
    double total = 0.0;
    for (const double t : least) {
        total += t;
    }
    const SliceFigures slices = sliceFigures(least);
    std::printf(
        "{\"input\": \"%s\", \"cents\": %g, \"rate\": %g, \"runs\": %d, "
        "\"checksum\": %g, \"cpu percent\": %.3f, \"slice ms\": {\"median\": %.3f, "
        "\"p99\": %.3f, \"worst\": %.3f, \"worst / median\": %.2f}, \"first slice ms\": %.3f, "
        "\"steady worst ms\": %.3f, \"steady worst / median\": %.2f}\n",
        name.c_str(), cents, rate, runs, sum, 100.0 * total / (count * kBlock / kRate),
        1e3 * slices.median, 1e3 * slices.p99, 1e3 * slices.worst, slices.spread(),
        1e3 * slices.first, 1e3 * slices.steadyWorst, slices.steadySpread());
    return 0;
}
