// A stream's start as an engine meets it: a process that has never run the shifter prepares one
// and renders its first 512-frame slices (432 Hz, the tempo trimmed by 100 ppm). The first
// render is the one that pulls the whole look-ahead; it is also where code and data pages not
// yet touched would fault on the real-time thread. Each stream runs in a process of its own
// (this program started again), so nothing of an earlier stream is warm. Prints JSON per input:
// the first slice's and the steady slices' median thread CPU time, their ratio, and the page
// faults the first render took, each as the median and the worst over the processes.
//
//   bench_timepitch_start [processes=10] [input...]   (default: every synthetic input)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Inputs.h"
#include "Shifters.h"
#include "Signals.h"
#include "StereoPull.h"
#include "dsp/timepitch/TimePitchShifter.h"

namespace {

using brimo::bench::Stereo;
using brimo::bench::StereoPull;
using brimo::bench::threadCpuSeconds;

constexpr int kSlices = 48;

long pageFaults() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

// One stream in this process: "first-ms steady-median-ms faults prepare-ms".
int runOnce(const std::string& name) {
    const Stereo audio = brimo::bench::cpuInput(name, 1.0).audio;
    if (audio.size() != 2) {
        std::fprintf(stderr, "no input named \"%s\"\n", name.c_str());
        return 1;
    }
    std::vector<float> left(brimo::bench::kBlock);
    std::vector<float> right(brimo::bench::kBlock);
    std::vector<double> slices;
    slices.reserve(kSlices);
    brimo::timepitch::TimePitchShifter shifter;
    const double prepareStart = threadCpuSeconds();
    shifter.prepare(brimo::bench::kRate, 2, brimo::bench::kBlock);
    const double prepareSeconds = threadCpuSeconds() - prepareStart;
    shifter.setOverlap(32.0F);
    shifter.setRate(1.0001F);
    shifter.setPitchCents(static_cast<float>(1200.0 * std::log2(432.0 / 440.0)));
    StereoPull source{&audio, 0};
    long firstFaults = 0;
    for (int k = 0; k < kSlices; ++k) {
        float* out[2] = {left.data(), right.data()};
        const long faults = pageFaults();
        const double before = threadCpuSeconds();
        shifter.render(brimo::bench::kBlock, out, source.source());
        slices.push_back(threadCpuSeconds() - before);
        if (k == 0) {
            firstFaults = pageFaults() - faults;
        }
    }
    std::vector<double> steady(slices.begin() + 1, slices.end());
    std::sort(steady.begin(), steady.end());
    std::printf("%.6f %.6f %ld %.6f\n", 1e3 * slices[0], 1e3 * steady[steady.size() / 2],
                firstFaults, 1e3 * prepareSeconds);
    return 0;
}

struct Figures {
    double median;
    double worst;
};

Figures figuresOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return {values[values.size() / 2], values.back()};
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "once") {
        return runOnce(argv[2]);
    }
    const int processes = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    std::vector<std::string> names;
    for (int i = 2; i < argc; ++i) {
        names.emplace_back(argv[i]);
    }
    if (names.empty()) {
        for (const auto& name : brimo::bench::cpuInputNames()) {
            if (name != "real music") {
                names.push_back(name);
            }
        }
    }
    std::vector<char> self(4096, '\0');
    if (readlink("/proc/self/exe", self.data(), self.size() - 1) <= 0) {
        std::perror("readlink /proc/self/exe");
        return 1;
    }
    std::string json = "{\"processes\": " + std::to_string(processes) + ", \"inputs\": [";
    for (std::size_t n = 0; n < names.size(); ++n) {
        if (names[n].find('\'') != std::string::npos) {
            std::fprintf(stderr, "input names with quotes are not taken: %s\n", names[n].c_str());
            return 1;
        }
        std::vector<double> first;
        std::vector<double> ratio;
        std::vector<double> faults;
        std::vector<double> prepare;
        for (int p = 0; p < processes; ++p) {
            const std::string command =
                std::string("'") + self.data() + "' once '" + names[n] + "'";
            FILE* child = popen(command.c_str(), "r");
            double firstMs = 0.0;
            double steadyMs = 0.0;
            long childFaults = 0;
            double prepareMs = 0.0;
            const bool read =
                child != nullptr && std::fscanf(child, "%lf %lf %ld %lf", &firstMs, &steadyMs,
                                                &childFaults, &prepareMs) == 4;
            if (child == nullptr || pclose(child) != 0 || !read) {
                std::fprintf(stderr, "a stream on \"%s\" failed\n", names[n].c_str());
                return 1;
            }
            first.push_back(firstMs);
            ratio.push_back(firstMs / steadyMs);
            faults.push_back(static_cast<double>(childFaults));
            prepare.push_back(prepareMs);
        }
        const Figures f = figuresOf(first);
        const Figures r = figuresOf(ratio);
        const Figures pf = figuresOf(faults);
        const Figures pr = figuresOf(prepare);
        char entry[512];
        std::snprintf(entry, sizeof entry,
                      "%s{\"input\": \"%s\", \"first_slice_ms\": [%.4f, %.4f], "
                      "\"first_over_steady_median\": [%.2f, %.2f], \"first_render_page_faults\": "
                      "[%.0f, %.0f], \"prepare_ms\": [%.2f, %.2f]}",
                      n > 0 ? ", " : "", names[n].c_str(), f.median, f.worst, r.median, r.worst,
                      pf.median, pf.worst, pr.median, pr.worst);
        json += entry;
    }
    json += "], \"pairs\": \"[median, worst] over the processes\"}";
    std::printf("%s\n", json.c_str());
    return 0;
}
