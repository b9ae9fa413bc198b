// The whole render path on the simulated backend: CPU per second of 48 kHz stereo audio, the
// worst single device cycle, and long runs with drifting device clocks. Prints one JSON object.
//
//   bench_engine [seconds-of-audio-for-cpu=60] [drift-seconds-each-way=3600]
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/engine/AudioEngineService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/SimulatedAudioBackend.h"
#include "support/TemporaryDirectory.h"
#include "support/ToneAnalysis.h"

namespace {

using brimo::audio::AudioDevice;
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

    Rig(double virtualPpm, double speakersPpm, bool withEngine) {
        auto loop = sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix");
        loop.id = kVirtual;
        loop.driftPpm = virtualPpm;
        backend->addDevice(loop);
        auto speakers = sim::DeviceConfig::speakers("Speakers", "speakers");
        speakers.id = kSpeakers;
        speakers.driftPpm = speakersPpm;
        speakers.recordingSeconds = 2.0;
        backend->addDevice(speakers);
        backend->play(kVirtual, sim::Signal::tone(440.0, 0.5F));
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
        engine->setFrequency(432.0);
        engine->start();
        engine->waitUntilIdle();
    }

    // Runs the devices for `seconds`, one cycle at a time; returns the CPU of each step.
    std::vector<double> run(double seconds) {
        std::vector<double> costs;
        costs.reserve(static_cast<std::size_t>(seconds / kCycle) + 1);
        for (double t = 0; t < seconds; t += kCycle) {
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

}  // namespace

int main(int argc, char** argv) {
    const double cpuSeconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double driftSeconds = argc > 2 ? std::atof(argv[2]) : 3600.0;
    // The engine echoes its log lines on standard output; the result goes there alone.
    FILE* result = fdopen(dup(STDOUT_FILENO), "w");
    std::freopen("/dev/null", "w", stdout);

    // CPU: the same devices and signal with and without the engine; the difference is the
    // render path (both callbacks, the ring buffer and the time-pitch unit at overlap 32).
    Rig bare(0, 0, false);
    bare.run(1.0);
    const auto bareCosts = bare.run(cpuSeconds);
    Rig full(0, 0, true);
    full.run(1.0);
    const auto fullCosts = full.run(cpuSeconds);
    std::vector<double> extra(fullCosts.size());
    for (std::size_t i = 0; i < extra.size(); ++i) {
        extra[i] = fullCosts[i] - (i < bareCosts.size() ? bareCosts[i] : 0.0);
    }
    const double cpuPerSecond = (sum(fullCosts) - sum(bareCosts)) / cpuSeconds;
    std::sort(extra.begin(), extra.end());
    const double worst = extra.back();
    const double p999 =
        extra[static_cast<std::size_t>(0.999 * static_cast<double>(extra.size() - 1))];

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
                      "\"final_frequency_hz\": %.4f}",
                      drift.size() > 1 ? ", " : "", ppm, driftSeconds,
                      static_cast<unsigned long long>(stats.underruns),
                      static_cast<unsigned long long>(stats.overruns),
                      snapshot.minFillErrorSeconds * 1e3, snapshot.maxFillErrorSeconds * 1e3,
                      snapshot.rate, frequency);
        drift += entry;
    }
    drift += "]";

    std::fprintf(result,
                 "{\"cpu_seconds_per_audio_second\": %.5f, \"cycle_frames\": 512, "
                 "\"worst_cycle_ms\": %.3f, \"p999_cycle_ms\": %.3f, "
                 "\"cycle_budget_ms\": %.3f, \"drift\": %s}\n",
                 cpuPerSecond, worst * 1e3, p999 * 1e3, kCycle * 1e3, drift.c_str());
    return 0;
}
