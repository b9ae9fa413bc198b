// The whole render path on the simulated backend: CPU per second of 48 kHz stereo audio and the
// device cycles' timing, on every kind of input, shifting to 432 Hz and with the shift off
// (440 Hz), and long runs with drifting device clocks. Prints one JSON object.
//
//   bench_engine [seconds-of-audio-per-input=20] [drift-seconds-each-way=3600]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Inputs.h"
#include "audio/engine/AudioEngineService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/TemporaryDirectory.h"
#include "support/ToneAnalysis.h"

namespace {

using brimo::audio::AudioEngineService;
namespace sim = brimo::hal::sim;

constexpr std::uint32_t kVirtual = 62;
constexpr std::uint32_t kSpeakers = 57;
constexpr double kRate = 48000.0;
constexpr double kCycle = 512.0 / kRate;

double threadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Rig {
    brimo::testing::TemporaryDirectory logs;
    brimo::dispatch::VirtualTimeMainQueue main;
    sim::ScopedSimulatedBackend backend;
    std::shared_ptr<AudioEngineService> engine;

    Rig(double virtualPpm, double speakersPpm, bool withEngine, double frequency = 432.0,
        const brimo::bench::Stereo* input = nullptr) {
        auto loop = sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix");
        loop.id = kVirtual;
        loop.driftPpm = virtualPpm;
        backend->addDevice(loop);
        auto speakers = sim::DeviceConfig::speakers("Speakers", "speakers");
        speakers.id = kSpeakers;
        speakers.driftPpm = speakersPpm;
        speakers.recordingSeconds = 2.0;
        backend->addDevice(speakers);
        if (input != nullptr) {
            std::vector<float> interleaved(2 * (*input)[0].size());
            for (std::size_t i = 0; i < (*input)[0].size(); ++i) {
                interleaved[2 * i] = (*input)[0][i];
                interleaved[2 * i + 1] = (*input)[1][i];
            }
            backend->play(kVirtual, sim::Signal::samples(std::move(interleaved), 2, true));
        } else {
            backend->play(kVirtual, sim::Signal::tone(440.0, 0.5F));
        }
        if (!withEngine) {
            return;
        }
        AudioEngineService::Options options;
        options.mainQueue = &main;
        options.logDirectory = [path = logs.path()] { return path; };
        options.sleep = [](std::chrono::duration<double>) {};
        engine = AudioEngineService::create(std::move(options));
        engine->setInputDevice({kVirtual, "Brimola Vetrix", "brimola_vetrix", true, true});
        engine->setOutputDevice({kSpeakers, "Speakers", "speakers", false, true});
        engine->setFrequency(frequency);
        engine->start();
        engine->waitUntilIdle();
    }

    // Runs the devices for `seconds`, one cycle at a time; returns the CPU of each step.
    std::vector<double> run(double seconds) {
        std::vector<double> costs;
        costs.reserve(static_cast<std::size_t>(seconds / kCycle) + 1);
        const auto cycles = static_cast<long>(std::ceil(seconds / kCycle));
        for (long cycle = 0; cycle < cycles; ++cycle) {
            const double before = threadCpuSeconds();
            backend->advanceSeconds(kCycle);
            costs.push_back(threadCpuSeconds() - before);
            if (costs.size() % 64 == 0) {
                main.advanceBy(std::chrono::milliseconds(683));
            }
        }
        return costs;
    }
};

double sum(const std::vector<double>& v) {
    double s = 0;
    for (double x : v) {
        s += x;
    }
    return s;
}

double percentile(const std::vector<double>& sorted, double p) {
    return sorted[static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1))];
}

// The render path's cost on one input: the same devices and signal with and without the
// engine, cycle by cycle; the difference is both callbacks, the ring buffer and the time-pitch
// unit at overlap 32. The devices and the engine are deterministic, so each is run kRepeats
// times: the CPU is the median over the repeats, and each cycle costs its least over them, so
// that one cycle preempted on a shared machine does not stand as the worst.
std::string measure(const std::string& name, const brimo::bench::Stereo* input, double frequency,
                    double seconds, double& cpuOut, double& worstOut) {
    constexpr int kRepeats = 3;
    std::vector<double> bareLeast;
    std::vector<double> fullLeast;
    std::vector<double> cpus;
    const auto keepLeast = [](std::vector<double>& least, const std::vector<double>& costs) {
        if (least.empty()) {
            least = costs;
        }
        for (std::size_t i = 0; i < std::min(least.size(), costs.size()); ++i) {
            least[i] = std::min(least[i], costs[i]);
        }
    };
    for (int repeat = 0; repeat < kRepeats; ++repeat) {
        Rig bare(0, 0, false, frequency, input);
        bare.run(1.0);
        const auto bareCosts = bare.run(seconds);
        Rig full(0, 0, true, frequency, input);
        full.run(1.0);
        const auto fullCosts = full.run(seconds);
        cpus.push_back((sum(fullCosts) - sum(bareCosts)) / seconds);
        keepLeast(bareLeast, bareCosts);
        keepLeast(fullLeast, fullCosts);
    }
    std::sort(cpus.begin(), cpus.end());
    cpuOut = cpus[cpus.size() / 2];
    std::vector<double> extra(fullLeast.size());
    for (std::size_t i = 0; i < extra.size(); ++i) {
        extra[i] = fullLeast[i] - (i < bareLeast.size() ? bareLeast[i] : 0.0);
    }
    std::sort(extra.begin(), extra.end());
    const double median = percentile(extra, 0.5);
    worstOut = extra.back();
    char entry[512];
    std::snprintf(entry, sizeof entry,
                  "{\"input\": \"%s\", \"frequency_hz\": %.1f, "
                  "\"cpu_seconds_per_audio_second\": %.5f, \"median_cycle_ms\": %.4f, "
                  "\"p99_cycle_ms\": %.4f, \"p999_cycle_ms\": %.4f, \"worst_cycle_ms\": %.4f, "
                  "\"worst_over_median\": %.2f}",
                  name.c_str(), frequency, cpuOut, median * 1e3, percentile(extra, 0.99) * 1e3,
                  percentile(extra, 0.999) * 1e3, worstOut * 1e3,
                  median > 0.0 ? worstOut / median : 0.0);
    return entry;
}

}  // namespace

int main(int argc, char** argv) {
    const double cpuSeconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const double driftSeconds = argc > 2 ? std::atof(argv[2]) : 3600.0;
    // The engine echoes its log lines on standard output; the result goes there alone.
    FILE* result = fdopen(dup(STDOUT_FILENO), "w");
    std::freopen("/dev/null", "w", stdout);

    std::string inputs = "[";
    std::string worstInput;
    double worstCpu = 0.0;
    double worstCycle = 0.0;
    double passthroughWorst = 0.0;
    double realMusic = 0.0;
    for (const auto& input : brimo::bench::cpuInputs(cpuSeconds)) {
        if (!input.missing.empty()) {
            inputs += (inputs.size() > 1 ? ", " : "") + std::string("{\"input\": \"") + input.name +
                      "\", \"missing\": \"" + input.missing + "\"}";
            continue;
        }
        for (const double frequency : {432.0, 440.0}) {
            double cpu = 0.0;
            double worst = 0.0;
            inputs += (inputs.size() > 1 ? ", " : "") +
                      measure(input.name, &input.audio, frequency, cpuSeconds, cpu, worst);
            if (frequency == 440.0) {
                passthroughWorst = std::max(passthroughWorst, cpu);
                continue;
            }
            if (cpu > worstCpu) {
                worstCpu = cpu;
                worstInput = input.name;
            }
            worstCycle = std::max(worstCycle, worst);
            if (input.name == "real music") {
                realMusic = cpu;
            }
        }
    }
    inputs += "]";

    std::string drift = "[";
    for (const double ppm : {100.0, -100.0}) {
        Rig rig(ppm / 2, -ppm / 2, true);
        rig.run(driftSeconds);
        const auto stats = rig.engine->renderStats();
        const auto snapshot = rig.engine->driftSnapshot();
        const auto left = rig.backend->recording(kSpeakers).channel(0);
        const auto tail = brimo::testing::slice(left, left.size() - 48000, 48000);
        const double frequency = brimo::testing::toneFrequency(tail, kRate);
        char entry[512];
        std::snprintf(entry, sizeof entry,
                      "%s{\"relative_ppm\": %.1f, \"seconds\": %.0f, \"underruns\": %llu, "
                      "\"overruns\": %llu, \"fill_error_min_ms\": %.3f, "
                      "\"fill_error_max_ms\": %.3f, \"final_rate\": %.7f, "
                      "\"final_fill_error_ms\": %.3f, \"final_frequency_hz\": %.4f}",
                      drift.size() > 1 ? ", " : "", ppm, driftSeconds,
                      static_cast<unsigned long long>(stats.underruns),
                      static_cast<unsigned long long>(stats.overruns),
                      snapshot.minFillErrorSeconds * 1e3, snapshot.maxFillErrorSeconds * 1e3,
                      snapshot.rate, snapshot.fillErrorSeconds * 1e3, frequency);
        drift += entry;
    }
    drift += "]";

    std::fprintf(result,
                 "{\"summary\": \"render path at 432 Hz: real music %.3f %% of a core, worst "
                 "input %s at %.3f %%, worst cycle %.3f ms of %.3f; at 440 Hz worst %.3f %%\", "
                 "\"real_music_cpu_seconds_per_audio_second\": %.5f, \"worst_input\": \"%s\", "
                 "\"worst_cpu_seconds_per_audio_second\": %.5f, \"worst_cycle_ms\": %.3f, "
                 "\"passthrough_worst_cpu_seconds_per_audio_second\": %.5f, "
                 "\"cycle_frames\": 512, \"cycle_budget_ms\": %.3f, \"inputs\": %s, "
                 "\"drift\": %s}\n",
                 100.0 * realMusic, worstInput.c_str(), 100.0 * worstCpu, worstCycle * 1e3,
                 kCycle * 1e3, 100.0 * passthroughWorst, realMusic, worstInput.c_str(), worstCpu,
                 worstCycle * 1e3, passthroughWorst, kCycle * 1e3, inputs.c_str(), drift.c_str());
    return 0;
}
