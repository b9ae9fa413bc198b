// Soak and latency figures of the PulseAudio backend on a private server, as JSON on standard
// output. Run it through the test harness so it never touches the user's own server:
//   tests/integration/audio-servers/audio-servers run pulseaudio
//       build/release/bench/hal_pulse/bench_pulse_soak --seconds 20 --cycles 2
// Round trip: clicks played by a playback unit into "Brimola Vetrix" and caught by a capture
// unit on its monitor (the time from producing a block to receiving it). Soak: a tone played
// into "Brimola Vetrix" by a playback unit, captured from it and played onto "speakers" as the
// engine's passthrough does, and recorded from the speakers' monitor; every disturbed period
// of the tone is a dropout. Optional busy threads stand for a loaded desktop.

#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/hal_pulse/AudioClients.h"
#include "integration/hal_pulse/HalQueries.h"
#include "integration/hal_pulse/HalUnit.h"
#include "integration/hal_pulse/ServerEnvironment.h"
#include "integration/hal_pulse/ToneTools.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "support/ProcessFigures.h"
#include "support/ToneAnalysis.h"

namespace {

using namespace brimo::testing;  // NOLINT(google-build-using-namespace)

double monotonicSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

struct ServerProcess {
    pid_t pid = -1;
    std::string name;
    double cpuAtStart = 0.0;
    double cpuShare = 0.0;  // of one core, over the soak
};

std::vector<ServerProcess> serverProcesses() {
    std::vector<ServerProcess> processes;
    for (const auto& process : brimo::bench::serverProcesses()) {
        processes.push_back({process.pid, process.name, brimo::bench::cpuSeconds(process.pid)});
    }
    return processes;
}

// One click every half second; notes when each click's block was produced.
class ClickSource : public FrameProducer {
  public:
    explicit ClickSource(std::size_t clicks) : produced_(clicks) {}
    void produce(float* samples, UInt32 frames, UInt32 channels, Float64 rate) override {
        std::fill_n(samples, static_cast<std::size_t>(frames) * channels, 0.0F);
        const auto interval = static_cast<std::uint64_t>(rate / 2);
        for (UInt32 i = 0; i < frames; ++i, ++frame_) {
            if (frame_ % interval == interval - 1 && count_ < produced_.size()) {
                std::fill_n(samples + static_cast<std::size_t>(i) * channels, channels, 0.9F);
                produced_[count_] = monotonicSeconds();
                count_.fetch_add(1, std::memory_order_release);
            }
        }
    }
    std::vector<double> produced_;
    std::atomic<std::size_t> count_{0};

  private:
    std::uint64_t frame_ = 0;
};

class ClickCatcher : public FrameConsumer {
  public:
    explicit ClickCatcher(std::size_t clicks) : received_(clicks) {}
    void consume(const float* samples, UInt32 frames, UInt32 channels) override {
        for (UInt32 i = 0; i < frames; ++i) {
            if (samples[static_cast<std::size_t>(i) * channels] > 0.5F &&
                count_ < received_.size()) {
                received_[count_] = monotonicSeconds();
                count_.fetch_add(1, std::memory_order_release);
            }
        }
    }
    std::vector<double> received_;
    std::atomic<std::size_t> count_{0};
};

struct Options {
    double seconds = 10.0;
    unsigned cycles = 0;  // 0: the backend's default
    double periodMs = 10.0;
    unsigned loadThreads = 0;
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const double value = std::stod(argv[i + 1]);
        if (name == "--seconds") {
            options.seconds = value;
        } else if (name == "--cycles") {
            options.cycles = static_cast<unsigned>(value);
        } else if (name == "--period-ms") {
            options.periodMs = value;
        } else if (name == "--load") {
            options.loadThreads = static_cast<unsigned>(value);
        }
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    if (!usePrivateAudioServer()) {
        std::fprintf(stderr,
                     "run me through: tests/integration/audio-servers/audio-servers run "
                     "KIND %s ...\n",
                     argv[0]);
        return 2;
    }
    brimo::hal::pulse::PulseAudioBackendOptions backendOptions;
    if (options.cycles > 0) {
        backendOptions.playbackCycles = options.cycles;
    }
    backendOptions.ioPeriodSeconds = options.periodMs / 1000.0;
    auto backend = brimo::hal::pulse::PulseAudioBackend::create(backendOptions);
    brimo::hal::ScopedAudioHardwareBackend installation(backend);
    const AudioDeviceID brimola = deviceWithUid("brimola_vetrix");
    const AudioDeviceID speakers = deviceWithUid("speakers");
    DeviceIOFormat format;
    if (!backend->isConnected() || brimola == 0 || speakers == 0 ||
        backend->deviceIOFormat(brimola, format) != noErr) {
        std::fprintf(stderr, "no server, or its sinks are missing\n");
        return 1;
    }
    const double rate = format.sampleRate;

    // ---- Round trip through the server.
    constexpr std::size_t clicks = 8;
    ClickSource clickSource(clicks);
    ClickCatcher clickCatcher(clicks);
    {
        HalUnit catcher(brimola, clickCatcher, rate);
        HalUnit source(brimola, clickSource, rate);
        if (catcher.start() != noErr || source.start() != noErr) {
            return 1;
        }
        eventually([&] { return clickCatcher.count_.load() == clicks; }, std::chrono::seconds(10));
    }
    std::vector<double> roundTrips;
    for (std::size_t i = 0; i < std::min(clickSource.count_.load(), clickCatcher.count_.load());
         ++i) {
        roundTrips.push_back((clickCatcher.received_[i] - clickSource.produced_[i]) * 1e3);
    }
    std::sort(roundTrips.begin(), roundTrips.end());
    // The first click may wait for an idle sink to wake; the others show the steady state.
    if (roundTrips.size() > 2) {
        roundTrips.erase(roundTrips.end() - 1);
    }

    // ---- Soak: tone into the virtual device, passthrough onto speakers, recorded back.
    // The busy threads' own CPU over the soak is not the backend's: it is subtracted.
    std::atomic<int> phase{0};  // 0 before the soak, 1 during it, 2 after it
    std::atomic<long long> loadNanoseconds{0};
    std::vector<std::thread> load;
    for (unsigned i = 0; i < options.loadThreads; ++i) {
        load.emplace_back([&] {
            auto threadCpu = [] {
                timespec now{};
                clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
                return now.tv_sec * 1'000'000'000LL + now.tv_nsec;
            };
            volatile double sink = 0.0;
            while (phase.load(std::memory_order_relaxed) == 0) {
                sink = sink + 1.0;
            }
            const long long start = threadCpu();
            while (phase.load(std::memory_order_relaxed) == 1) {
                sink = sink + 1.0;
            }
            loadNanoseconds.fetch_add(threadCpu() - start);
        });
    }
    ToneSource tone(440.0);
    SampleFifo fifo(static_cast<std::size_t>(rate) * 2);
    CaptureIntoFifo intoFifo(fifo);
    PlayFromFifo fromFifo(fifo, static_cast<std::size_t>(rate / 20) * 2);  // 50 ms, stereo
    Recorder recorder(static_cast<std::size_t>(rate * (options.seconds + 4)));
    brimo::hal::pulse::StreamLatency reported;
    brimo::hal::pulse::IOStatistics before;
    brimo::hal::pulse::IOStatistics after;
    std::vector<ServerProcess> servers;
    double cpu = 0.0;
    double wall = 0.0;
    {
        HalUnit monitor(speakers, recorder, rate);
        HalUnit player(brimola, tone, rate);
        HalUnit capture(brimola, intoFifo, rate);
        HalUnit playback(speakers, fromFifo, rate);
        if (monitor.start() != noErr || player.start() != noErr || capture.start() != noErr ||
            playback.start() != noErr) {
            return 1;
        }
        // Figures are of the steady state: streams starting up may underrun by design.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        servers = serverProcesses();
        before = backend->statistics();
        phase = 1;
        const double cpuBefore = processCpuSeconds();
        const double wallBefore = monotonicSeconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds / 2));
        reported.captureSeconds = backend->latency(brimola).captureSeconds;
        reported.playbackSeconds = backend->latency(speakers).playbackSeconds;
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds / 2));
        wall = monotonicSeconds() - wallBefore;
        cpu = processCpuSeconds() - cpuBefore;
        phase = 2;
        after = backend->statistics();
        for (auto& server : servers) {
            server.cpuShare = (brimo::bench::cpuSeconds(server.pid) - server.cpuAtStart) / wall;
        }
    }
    phase = 2;
    for (auto& thread : load) {
        thread.join();
    }
    cpu -= static_cast<double>(loadNanoseconds.load()) * 1e-9;

    const auto samples = recorder.samples();
    const auto soundStart = onset(samples, 0.1F).value_or(samples.size());
    const std::size_t settle = static_cast<std::size_t>(rate / 2);
    const std::size_t judged =
        samples.size() > soundStart + 2 * settle ? samples.size() - soundStart - 2 * settle : 0;
    const auto disturbed = disturbedPeriods(samples, soundStart + settle, judged, rate, 440.0);

    std::printf(
        "{\n  \"server\": \"%s\",\n  \"sample_rate\": %.1f,\n  \"cycle_frames\": %u,\n"
        "  \"playback_cycles\": %u,\n  \"load_threads\": %u,\n",
        serverKind().c_str(), rate, format.bufferFrameSize, backendOptions.playbackCycles,
        options.loadThreads);
    std::printf("  \"round_trip_ms\": {\"min\": %.1f, \"median\": %.1f, \"max\": %.1f},\n",
                roundTrips.empty() ? 0.0 : roundTrips.front(),
                roundTrips.empty() ? 0.0 : roundTrips[roundTrips.size() / 2],
                roundTrips.empty() ? 0.0 : roundTrips.back());
    std::printf("  \"reported_latency_ms\": {\"capture\": %.1f, \"playback\": %.1f},\n",
                reported.captureSeconds * 1e3, reported.playbackSeconds * 1e3);
    std::printf(
        "  \"soak_seconds\": %.1f,\n  \"judged_seconds\": %.1f,\n"
        "  \"disturbed_periods\": %zu,\n  \"playback_underruns\": %llu,\n"
        "  \"capture_overruns\": %llu,\n  \"fifo_shortfalls\": %zu,\n"
        "  \"callbacks_per_second\": %.1f,\n  \"realtime_io_threads\": %llu,\n  "
        "\"client_cpu_percent\": %.2f,\n"
        "  \"server_cpu_percent\": {",
        wall, static_cast<double>(judged) / rate, disturbed,
        static_cast<unsigned long long>(after.playbackUnderruns - before.playbackUnderruns),
        static_cast<unsigned long long>(after.captureOverruns - before.captureOverruns),
        fromFifo.shortfalls.load(), static_cast<double>(after.callbacks - before.callbacks) / wall,
        static_cast<unsigned long long>(after.realtimeThreads), 100.0 * cpu / wall);
    for (std::size_t i = 0; i < servers.size(); ++i) {
        std::printf("%s\"%s\": %.2f", i == 0 ? "" : ", ", servers[i].name.c_str(),
                    100.0 * servers[i].cpuShare);
    }
    std::printf("}\n}\n");
    return 0;
}
