// The whole application core (audio manager, device service, engine) on a private audio
// server for N minutes, with recorded music played into "Brimola Vetrix" and the real sink
// ("speakers") recorded from its monitor, on an idle machine unless asked for load. Dropouts
// are found by comparing the recording with the music (GlitchDetector.h), after the detector
// proved itself on injected faults, and told apart by cause (DropoutCauses.h): already in
// "Brimola Vetrix"'s own monitor, ours (a counter of the engine or its streams moved just
// before), or the server's on the way out. JSON on standard output:
//   tests/integration/audio-servers/audio-servers run pipewire
//       build/release/bench/soak/bench_soak --minutes 10 --pitch 432   (one command line)
// Options: --minutes M (10), --pitch 440|432 (440: passthrough), --load N busy processes (0),
// --music FILE (what ffmpeg can decode; default the Debian package fb-music-high's tune),
// --validate-only, --save-recording FILE (raw mono 32-bit float), --calibrate SECONDS (no soak:
// the detector on that much music shifted offline as the engine shifts it, where every dropout
// found is a false alarm), --analyse FILE --rate R (no soak: a recording saved earlier, judged
// again by the detector as it is now); --step-ms MS and --step-correlation C try other detector
// settings.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "DropoutCauses.h"
#include "GlitchDetector.h"
#include "GlitchValidation.h"
#include "MonitorRecorder.h"
#include "ShiftedCleanCopy.h"
#include "StallWatch.h"
#include "audio/effects/SoundEffectPlayer.h"
#include "audio/manager/AudioManager.h"
#include "driver/AudioServer.h"
#include "driver/DriverInstallationService.h"
#include "integration/app_audio/MainQueuePump.h"
#include "platform/dispatch/EventLoopMainQueue.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "platform/notification/NotificationCenter.h"
#include "platform/privileged/StandInPrivilegedRunner.h"
#include "platform/resources/ResourceBundle.h"
#include "support/ProcessFigures.h"

namespace {

using namespace brimo;                 // NOLINT(google-build-using-namespace)
using namespace std::chrono_literals;  // NOLINT(google-build-using-namespace)
using bench::ChildProcess;
using bench::cpuSeconds;
using bench::serverProcesses;
using brimo::testing::pumpUntil;

std::FILE* jsonOutput = nullptr;  // NOLINT(cppcoreguidelines-avoid-non-const-global-variables)

void writeJson(const nlohmann::json& value) {
    const std::string text = value.dump(2) + "\n";
    std::fwrite(text.data(), 1, text.size(), jsonOutput);
    std::fflush(jsonOutput);
}

// The frames of one I/O cycle at 44.1 and 48 kHz, as the backend asks for them.
constexpr double kCycleFrames = 512.0;

std::string selfPath() {
    return std::filesystem::read_symlink("/proc/self/exe").string();
}

constexpr const char* kDefaultMusic = "/usr/share/games/frozen-bubble/snd/frozen-mainzik-2p.xm";

struct Options {
    double minutes = 10.0;
    double pitch = 440.0;
    int load = 0;
    std::string music = kDefaultMusic;
    bool validateOnly = false;
    double calibrateSeconds = 0.0;  // > 0: only the detector's false alarms at the pitch
    std::string analyse;            // a saved recording to judge again, at `rate`
    double stepMs = 0.0;            // > 0: the detector's step, instead of the pitch's own
    double stepCorrelation = 0.0;   // > 0: the detector's match for steps, instead of its own
    double rate = 48000.0;
    std::string saveRecording;    // raw mono 32-bit float, for a closer look
    unsigned playbackCycles = 0;  // > 0: the playback buffer on either server, for a comparison
};

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const std::string value = i + 1 < argc ? argv[i + 1] : "";
        if (name == "--minutes") {
            options.minutes = std::stod(value);
            ++i;
        } else if (name == "--pitch") {
            options.pitch = std::stod(value);
            ++i;
        } else if (name == "--load") {
            options.load = std::stoi(value);
            ++i;
        } else if (name == "--music") {
            options.music = value;
            ++i;
        } else if (name == "--save-recording") {
            options.saveRecording = value;
            ++i;
        } else if (name == "--validate-only") {
            options.validateOnly = true;
        } else if (name == "--analyse") {
            options.analyse = value;
            ++i;
        } else if (name == "--step-ms") {
            options.stepMs = std::stod(value);
            ++i;
        } else if (name == "--step-correlation") {
            options.stepCorrelation = std::stod(value);
            ++i;
        } else if (name == "--rate") {
            options.rate = std::stod(value);
            ++i;
        } else if (name == "--playback-cycles") {
            options.playbackCycles = static_cast<unsigned>(std::stoul(value));
            ++i;
        } else if (name == "--calibrate") {
            options.calibrateSeconds = std::stod(value);
            ++i;
        } else {
            throw std::invalid_argument("unknown option " + name);
        }
    }
    return options;
}

// A shifted recording's timeline wanders by itself: the shift changes how partials beat, and so
// the fine shape of the loudness the detector matches. A clean copy shifted offline
// (--calibrate) steps by up to 6 ms at 432 Hz, so there a step counts from 8 ms; the smallest
// fault that matters, one I/O cycle (10.7 ms), stays well above it.
bench::GlitchDetectorOptions detectorOptionsFor(const Options& given) {
    bench::GlitchDetectorOptions options;
    if (given.pitch != 440.0) {
        options.stepMs = 8.0;
    }
    if (given.stepMs > 0.0) {
        options.stepMs = given.stepMs;
    }
    if (given.stepCorrelation > 0.0) {
        options.stepCorrelation = given.stepCorrelation;
    }
    return options;
}

float centsFor(double pitchHz) {
    return static_cast<float>(1200.0 * std::log2(pitchHz / 440.0));
}

// What the real sink's recording is matched against: the music as the engine plays it.
std::vector<float> heardReference(const std::vector<float>& reference, double rate,
                                  double pitchHz) {
    return pitchHz == 440.0 ? reference : bench::shiftedLoop(reference, rate, centsFor(pitchHz));
}

// Dropouts the detector finds where there is none: the music shifted offline, no server.
nlohmann::json falseAlarms(const std::vector<float>& reference, double rate,
                           const Options& options) {
    const float cents = centsFor(options.pitch);
    const std::vector<float> clean =
        bench::shiftedCleanCopy(reference, rate, options.calibrateSeconds, cents);
    const std::vector<float> heard = heardReference(reference, rate, options.pitch);
    const bench::GlitchReport report =
        bench::detectGlitches(heard, clean, rate, detectorOptionsFor(options));
    nlohmann::json found = nlohmann::json::array();
    for (const auto& glitch : report.glitches) {
        found.push_back(
            {{"at_s", glitch.atSeconds}, {"kind", glitch.kind}, {"size_ms", glitch.sizeMs}});
    }
    // The same copy with the known faults made in it: what the detector still finds at this
    // pitch, in this music, with nothing else wrong.
    const nlohmann::json validation =
        bench::validateOnRecording(heard, clean, 1.5, rate, detectorOptionsFor(options));
    return {{"seconds", options.calibrateSeconds},
            {"validation", validation},
            {"step_ms", detectorOptionsFor(options).stepMs},
            {"cents", cents},
            {"aligned", report.aligned},
            {"judged_fraction", report.judgedFraction},
            {"count", report.glitches.size()},
            {"found", found}};
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe): read before threads
    return value == nullptr ? std::string() : value;
}

// Interleaved stereo at `rate`, decoded now, with the silence at both ends cut so the loop is
// music throughout.
std::vector<float> decodeMusic(const std::string& path, double rate) {
    ChildProcess decoder({"ffmpeg", "-v", "error", "-i", path, "-f", "f32le", "-ac", "2", "-ar",
                          std::to_string(static_cast<int>(rate)), "-"},
                         ChildProcess::Pipe::fromChild);
    std::vector<float> samples;
    std::vector<float> chunk(65536);
    for (;;) {
        const ssize_t got = read(decoder.fd(), chunk.data(), chunk.size() * sizeof(float));
        if (got <= 0) {
            break;
        }
        samples.insert(samples.end(), chunk.begin(),
                       chunk.begin() + got / static_cast<ssize_t>(sizeof(float)));
    }
    samples.resize(samples.size() / 2 * 2);
    auto loud = [](float sample) { return std::fabs(sample) > 1e-3F; };
    const auto first = std::find_if(samples.begin(), samples.end(), loud) - samples.begin();
    const auto last = std::find_if(samples.rbegin(), samples.rend(), loud).base() - samples.begin();
    if (first >= last) {
        return {};
    }
    return {samples.begin() + first / 2 * 2, samples.begin() + (last + 1) / 2 * 2};
}

std::vector<float> mono(const std::vector<float>& stereo) {
    std::vector<float> out(stereo.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = 0.5F * (stereo[2 * i] + stereo[2 * i + 1]);
    }
    return out;
}

// ---- Process figures from /proc.
long statusField(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

long openFiles() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

class SilentSounds final : public audio::SoundEffectPlayer {
  public:
    void playActivationSound() override {}
    void playDeactivationSound() override {}
};

class NoRestart final : public driver::AudioServerRestarter {
  public:
    void restartForUserSession(driver::AudioServerKind /*kind*/) override {}
};

hal::AudioDeviceID deviceWithUid(const std::string& uid) {
    const hal::AudioObjectPropertyAddress devices{hal::kAudioHardwarePropertyDevices,
                                                  hal::kAudioObjectPropertyScopeGlobal, 0};
    hal::UInt32 size = 0;
    hal::AudioObjectGetPropertyDataSize(hal::kAudioObjectSystemObject, &devices, 0, nullptr, &size);
    std::vector<hal::AudioDeviceID> ids(size / sizeof(hal::AudioDeviceID));
    hal::AudioObjectGetPropertyData(hal::kAudioObjectSystemObject, &devices, 0, nullptr, &size,
                                    ids.data());
    for (const auto id : ids) {
        hal::AudioObjectPropertyString value;
        hal::UInt32 valueSize = sizeof(value);
        const hal::AudioObjectPropertyAddress where{hal::kAudioDevicePropertyDeviceUID,
                                                    hal::kAudioObjectPropertyScopeGlobal, 0};
        if (hal::AudioObjectGetPropertyData(id, &where, 0, nullptr, &valueSize, &value) ==
                hal::noErr &&
            value == uid) {
            return id;
        }
    }
    return hal::kAudioObjectUnknown;
}

double median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// A recording saved by an earlier run, judged again: for work on the detector.
int analyseSaved(const Options& options) {
    std::ifstream file(options.analyse, std::ios::binary);
    std::vector<float> recording;
    float sample = 0.0F;
    while (file.read(reinterpret_cast<char*>(&sample), sizeof sample)) {  // NOLINT: raw samples
        recording.push_back(sample);
    }
    const std::vector<float> music = decodeMusic(options.music, options.rate);
    if (recording.empty() || music.empty()) {
        std::cerr << "could not read " << options.analyse << " or decode " << options.music << "\n";
        return 1;
    }
    const std::vector<float> reference = heardReference(mono(music), options.rate, options.pitch);
    const bench::GlitchDetectorOptions detector = detectorOptionsFor(options);
    const auto report = bench::detectGlitches(reference, recording, options.rate, detector);
    nlohmann::json found = nlohmann::json::array();
    for (const auto& glitch : report.glitches) {
        found.push_back(
            {{"at_s", glitch.atSeconds}, {"kind", glitch.kind}, {"size_ms", glitch.sizeMs}});
    }
    const auto arrived = std::find_if(recording.begin(), recording.end(),
                                      [](float value) { return std::fabs(value) > 1e-3F; });
    writeJson({{"recording", options.analyse},
               {"pitch_hz", options.pitch},
               {"detector_step_ms", detector.stepMs},
               {"judged_fraction", report.judgedFraction},
               {"glitches", found},
               {"recording_validation",
                bench::validateOnRecording(
                    reference, recording,
                    static_cast<double>(arrived - recording.begin()) / options.rate + 1.0,
                    options.rate, detector)}});
    return 0;
}

int run(const Options& options) {
    if (!options.analyse.empty()) {
        return analyseSaved(options);
    }
    const std::string serverDir = environment("BRIMO_AUDIO_SERVER_DIR");
    if (serverDir.empty()) {
        std::cerr << "run me through: tests/integration/audio-servers/audio-servers run KIND "
                     "bench_soak ...\n";
        return 2;
    }
    std::string kind = "unknown";
    std::ifstream(serverDir + "/.brimo-audio-servers") >> kind;

    dispatch::EventLoopMainQueue mainQueue;
    hal::pulse::PulseAudioBackendOptions backendOptions;
    if (options.playbackCycles > 0) {
        backendOptions.playbackCycles = options.playbackCycles;
        backendOptions.playbackCyclesOnPipeWire = options.playbackCycles;
    }
    auto backend = hal::pulse::PulseAudioBackend::create(backendOptions);
    hal::ScopedAudioHardwareBackend installation(backend);
    const hal::AudioDeviceID brimola = deviceWithUid("brimola_vetrix");
    const hal::AudioDeviceID speakers = deviceWithUid("speakers");
    hal::DeviceIOFormat format;
    if (!backend->isConnected() || brimola == 0 || speakers == 0 ||
        backend->deviceIOFormat(speakers, format) != hal::noErr) {
        std::cerr << "no server, or its sinks are missing\n";
        return 1;
    }
    const double rate = format.sampleRate;
    const std::vector<float> music = decodeMusic(options.music, rate);
    if (music.size() < static_cast<std::size_t>(rate) * 20) {
        std::cerr << "could not decode " << options.music << " (ffmpeg, fb-music-high)\n";
        return 1;
    }
    const std::vector<float> reference = mono(music);
    nlohmann::json result;
    result["server"] = kind;
    result["sample_rate"] = rate;
    result["music"] = options.music;
    result["music_seconds"] = static_cast<double>(reference.size()) / rate;
    result["detector_validation"] = bench::validateGlitchDetector(reference, rate);
    if (options.calibrateSeconds > 0.0) {
        result["pitch_hz"] = options.pitch;
        result["false_alarms"] = falseAlarms(reference, rate, options);
        writeJson(result);
        return 0;
    }
    if (options.validateOnly) {
        writeJson(result);
        return result["detector_validation"]["passed"].get<bool>() ? 0 : 1;
    }

    // The application core, as the application sets it up, with the driver found installed
    // in a folder of its own and no clicks.
    const std::filesystem::path folders =
        std::filesystem::temp_directory_path() / ("brimo-soak-" + std::to_string(getpid()));
    std::filesystem::create_directories(folders / "documents");
    notification::NotificationCenter notifications;
    SilentSounds sounds;
    std::vector<std::string> console;
    audio::AudioManager::Options managerOptions;
    managerOptions.mainQueue = &mainQueue;
    managerOptions.logDirectory = [&] { return folders / "documents"; };
    managerOptions.driverService = [&] {
        driver::DriverInstallationService::Options driverOptions;
        driverOptions.mainQueue = &mainQueue;
        driverOptions.privilegedRunner = std::make_shared<privileged::StandInPrivilegedRunner>();
        driverOptions.resources = resources::ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
        driverOptions.halPluginsPath = folders / "plug-ins";
        driverOptions.configurationRoot = folders / "etc";
        driverOptions.detectAudioServer = [] {
            return driver::detectAudioServer(driver::userRuntimeDirectory());
        };
        driverOptions.restarter = std::make_shared<NoRestart>();
        driverOptions.print = [&](std::string_view line) { console.emplace_back(line); };
        return driver::DriverInstallationService::create(std::move(driverOptions));
    };
    managerOptions.soundEffects = [&]() -> audio::SoundEffectPlayer& { return sounds; };
    managerOptions.print = [&](std::string_view line) { console.emplace_back(line); };
    managerOptions.notificationCenter = &notifications;
    auto manager = audio::AudioManager::create(std::move(managerOptions));

    pumpUntil(
        mainQueue, [&] { return manager->isDriverInstalled().value(); }, 10s);
    ChildProcess({"pactl", "set-default-sink", "brimola_vetrix"}, ChildProcess::Pipe::none).wait();
    auto engineRuns = [&] {
        return manager->isEngineRunning() && manager->audioEngine().isRunning();
    };
    if (!pumpUntil(mainQueue, engineRuns, 10s)) {
        std::cerr << "the engine did not start\n";
        return 1;
    }
    if (options.pitch != 440.0) {
        manager->toggle();
        pumpUntil(
            mainQueue, [&] { return manager->targetFrequency().value() == 432.0; }, 5s);
    }
    result["pitch_hz"] = manager->targetFrequency().value();

    // The other core busy, in processes of their own so their CPU is not counted as ours.
    std::vector<std::unique_ptr<ChildProcess>> busy;
    for (int i = 0; i < options.load; ++i) {
        busy.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string>{"sh", "-c", "while :; do :; done"}, ChildProcess::Pipe::none));
    }

    // The real sink's monitor is what the user hears; "Brimola Vetrix"'s is what reached us.
    // A gap already in the latter is the player's or the server's, not the engine's.
    const std::string rateText = std::to_string(static_cast<int>(rate));
    const double expectedSeconds = options.minutes * 60.0 + 10.0;
    bench::MonitorRecorder heard("speakers", rate, expectedSeconds);
    bench::MonitorRecorder captured("brimola_vetrix", rate, expectedSeconds);
    const auto recordingStarted = std::chrono::steady_clock::now();
    bench::StallWatch stallWatch(
        selfPath(), std::chrono::duration<double>(recordingStarted.time_since_epoch()).count());
    std::this_thread::sleep_for(300ms);
    ChildProcess player(
        {"pacat", "--playback", "--device=brimola_vetrix", "--format=float32le", "--channels=2",
         "--rate=" + rateText, "--raw", "--client-name=soak-player"},
        ChildProcess::Pipe::toChild);
    std::atomic<bool> playing{true};
    std::thread feeder([&] {
        std::size_t at = 0;
        constexpr std::size_t kChunk = 8192;
        while (playing.load()) {
            const std::size_t count = std::min(kChunk, music.size() - at);
            if (write(player.fd(), music.data() + at, count * sizeof(float)) <= 0) {
                break;
            }
            at = (at + count) % music.size();
        }
    });

    // Figures every ten seconds while the main queue runs.
    const auto servers = serverProcesses();
    std::vector<double> serverCpuStart;
    for (const auto& server : servers) {
        serverCpuStart.push_back(cpuSeconds(server.pid));
    }
    const auto streamsBefore = backend->statistics();
    const auto started = std::chrono::steady_clock::now();
    double ownCpuStart = cpuSeconds(getpid());
    std::vector<double> serverCpuLast = serverCpuStart;
    auto lastSample = started;
    nlohmann::json timeline = nlohmann::json::array();
    std::vector<double> captureLatency;
    std::vector<double> playbackLatency;
    std::vector<double> ringLatency;
    std::vector<double> endToEnd;
    double timePitchMs = 0.0;
    // Every move of a counter of ours, looked at every 10 ms, on the recordings' clock.
    std::vector<bench::EngineEvent> events;
    std::vector<bench::EngineEvent> lateCalls;
    auto lastStreams = streamsBefore;
    auto lastRender = manager->audioEngine().renderStats();
    // Half a second apart, so the playback buffer's saw-tooth is sampled evenly.
    auto sampleLatency = [&] {
        const auto latencyIn = backend->latency(brimola);
        const auto latencyOut = backend->latency(speakers);
        if (latencyIn.valid && latencyOut.valid) {
            // What a sound played into the device waits on its way to the speakers: in the
            // capture stream, the ring buffer, the time-pitch unit and the playback stream.
            const auto parts = manager->audioEngine().renderStats();
            const double ringMs = 1e3 * static_cast<double>(parts.ringFillFrames) / rate;
            const double unitMs = 1e3 * static_cast<double>(parts.timePitchLatencyFrames) / rate;
            captureLatency.push_back(latencyIn.captureSeconds * 1e3);
            playbackLatency.push_back(latencyOut.playbackSeconds * 1e3);
            ringLatency.push_back(ringMs);
            endToEnd.push_back(captureLatency.back() + ringMs + unitMs + playbackLatency.back());
            timePitchMs = unitMs;
        }
    };
    int latencyTicks = 0;
    auto noteEvents = [&] {
        if (++latencyTicks % 50 == 0) {
            sampleLatency();
        }
        const double at =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - recordingStarted)
                .count();
        const auto streams = backend->statistics();
        const auto render = manager->audioEngine().renderStats();
        auto moved = [&](std::uint64_t before, std::uint64_t now, const char* what) {
            if (now > before && events.size() < 10000) {
                events.push_back({at, what});
            }
        };
        moved(lastStreams.playbackUnderruns, streams.playbackUnderruns, "playback_underrun");
        moved(lastStreams.captureOverruns, streams.captureOverruns, "capture_overrun");
        moved(lastStreams.captureHoleFrames, streams.captureHoleFrames, "capture_hole");
        moved(lastRender.underruns, render.underruns, "ring_underrun");
        moved(lastRender.overruns, render.overruns, "ring_overrun");
        moved(lastRender.lagDrops, render.lagDrops, "lag_drop");
        // Late calls are evidence beside the dropouts, not a cause of their own: they are listed
        // apart, so that a dropout is not put down to us for a late call of the server's.
        auto late = [&](std::uint64_t before, std::uint64_t now, const char* what) {
            if (now > before && lateCalls.size() < 2000) {
                lateCalls.push_back({at, what});
            }
        };
        late(lastStreams.latePlaybackCalls, streams.latePlaybackCalls, "late_playback_call");
        late(lastStreams.lateCaptureCalls, streams.lateCaptureCalls, "late_capture_call");
        lastStreams = streams;
        lastRender = render;
        return false;
    };
    const auto soak = std::chrono::duration<double>(options.minutes * 60.0);
    while (std::chrono::steady_clock::now() - started < soak) {
        pumpUntil(mainQueue, noteEvents, 10s);
        const auto now = std::chrono::steady_clock::now();
        const double span = std::chrono::duration<double>(now - lastSample).count();
        lastSample = now;
        const double ownCpu = cpuSeconds(getpid());
        nlohmann::json sample;
        sample["t_s"] = std::chrono::duration<double>(now - started).count();
        sample["cpu_percent"] = 100.0 * (ownCpu - ownCpuStart) / span;
        ownCpuStart = ownCpu;
        nlohmann::json serverCpu;
        for (std::size_t i = 0; i < servers.size(); ++i) {
            const double cpu = cpuSeconds(servers[i].pid);
            serverCpu[servers[i].name] = 100.0 * (cpu - serverCpuLast[i]) / span;
            serverCpuLast[i] = cpu;
        }
        sample["server_cpu_percent"] = serverCpu;
        double load = 0.0;
        std::ifstream("/proc/loadavg") >> load;
        sample["load_average_1min"] = load;  // other work on the machine, for reading the figures
        sample["rss_kb"] = statusField("VmRSS");
        sample["threads"] = statusField("Threads");
        sample["fds"] = openFiles();
        const auto streams = backend->statistics();
        sample["playback_underruns"] = streams.playbackUnderruns;
        sample["capture_overruns"] = streams.captureOverruns;
        const auto render = manager->audioEngine().renderStats();
        sample["ring_underruns"] = render.underruns;
        sample["ring_overruns"] = render.overruns;
        sample["lag_drops"] = render.lagDrops;
        timeline.push_back(sample);
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto streamsAfter = backend->statistics();
    const auto engineStats = manager->audioEngine().renderStats();
    const auto coreStalls = stallWatch.finish();
    const auto machineStalls =
        bench::machineStalls(coreStalls, static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)));
    nlohmann::json serverCpuMean;
    for (std::size_t i = 0; i < servers.size(); ++i) {
        serverCpuMean[servers[i].name] =
            100.0 * (cpuSeconds(servers[i].pid) - serverCpuStart[i]) / wall;
    }

    playing = false;
    player.terminate();
    feeder.join();
    player.stop();
    std::this_thread::sleep_for(500ms);
    std::vector<float>& recording = heard.finish();
    const std::vector<float>& input = captured.finish();
    busy.clear();
    manager->audioEngine().stop();
    manager->audioEngine().waitUntilIdle();
    ChildProcess({"pactl", "set-default-sink", "speakers"}, ChildProcess::Pipe::none).wait();

    if (!options.saveRecording.empty()) {
        std::ofstream(options.saveRecording, std::ios::binary)
            .write(reinterpret_cast<const char*>(recording.data()),  // NOLINT: raw samples
                   static_cast<std::streamsize>(recording.size() * sizeof(float)));
    }
    const bench::GlitchDetectorOptions heardOptions = detectorOptionsFor(options);
    const std::vector<float> heardMusic = heardReference(reference, rate, options.pitch);
    const auto report = bench::detectGlitches(heardMusic, recording, rate, heardOptions);
    result["detector_step_ms"] = heardOptions.stepMs;
    const auto inputReport = bench::detectGlitches(reference, input, rate);
    nlohmann::json glitches = nlohmann::json::array();
    std::size_t ours = 0;
    std::map<std::string, std::size_t> byCause{
        {"input", 0}, {"ours", 0}, {"server", 0}, {"machine", 0}};
    // A stall of every core counts as the machine's when it is longer than the playback buffer
    // holds at its lowest, one cycle below its target: no buffer of ours rides that out.
    const auto cycles = kind == "pipewire" ? backendOptions.playbackCyclesOnPipeWire
                                           : backendOptions.playbackCycles;
    const double machineHoldMs = 1e3 * (cycles - 1) * kCycleFrames / rate;
    result["machine_hold_ms"] = machineHoldMs;
    for (const auto& glitch : report.glitches) {
        const auto cause =
            bench::dropoutCause(glitch, inputReport.glitches, events, machineStalls, machineHoldMs);
        ours +=
            cause == bench::DropoutCause::input || cause == bench::DropoutCause::machine ? 0 : 1;
        ++byCause[bench::causeName(cause)];
        nlohmann::json near = nlohmann::json::array();
        for (const auto& event : bench::eventsNear(events, glitch.atSeconds)) {
            near.push_back({{"at_s", event.atSeconds}, {"kind", event.kind}});
        }
        glitches.push_back({{"at_s", glitch.atSeconds},
                            {"kind", glitch.kind},
                            {"size_ms", glitch.sizeMs},
                            {"already_in_input", cause == bench::DropoutCause::input},
                            {"cause", bench::causeName(cause)},
                            {"engine_events", near}});
    }
    nlohmann::json engineEvents = nlohmann::json::array();
    for (const auto& event : events) {
        engineEvents.push_back({{"at_s", event.atSeconds}, {"kind", event.kind}});
    }
    nlohmann::json inputGlitches = nlohmann::json::array();
    for (const auto& glitch : inputReport.glitches) {
        inputGlitches.push_back(
            {{"at_s", glitch.atSeconds}, {"kind", glitch.kind}, {"size_ms", glitch.sizeMs}});
    }
    double cpuSum = 0.0;
    for (const auto& sample : timeline) {
        cpuSum += sample["cpu_percent"].get<double>();
    }
    result["minutes"] = options.minutes;
    result["load_processes"] = options.load;
    result["recording_aligned"] = report.aligned;
    result["judged_seconds"] = report.judgedSeconds;
    result["judged_fraction"] = report.judgedFraction;
    const auto arrived = std::find_if(recording.begin(), recording.end(),
                                      [](float sample) { return std::fabs(sample) > 1e-3F; });
    result["recording_validation"] = bench::validateOnRecording(
        heardMusic, recording, static_cast<double>(arrived - recording.begin()) / rate + 1.0, rate,
        heardOptions);
    // Dropouts heard on the speakers and not already in what reached the engine (ours and the
    // server's way out), then split by cause beside the engine's own counts.
    result["dropouts"] = ours;
    result["dropouts_by_cause"] = byCause;
    result["engine_events"] = engineEvents;
    result["dropouts_per_minute"] =
        report.judgedSeconds > 0 ? 60.0 * static_cast<double>(ours) / report.judgedSeconds : 0.0;
    result["dropouts_heard"] = report.glitches.size();
    result["glitches"] = glitches;
    result["input_aligned"] = inputReport.aligned;
    result["input_dropouts"] = inputReport.glitches.size();
    result["input_glitches"] = inputGlitches;
    result["latency_ms"] = {
        {"capture_median", median(captureLatency)},
        {"playback_median", median(playbackLatency)},
        {"playback_max", playbackLatency.empty()
                             ? 0.0
                             : *std::max_element(playbackLatency.begin(), playbackLatency.end())},
        {"ring_median", median(ringLatency)},
        {"time_pitch", timePitchMs},
        {"end_to_end_median", median(endToEnd)},
        {"end_to_end_max",
         endToEnd.empty() ? 0.0 : *std::max_element(endToEnd.begin(), endToEnd.end())}};
    result["cpu_percent_mean"] =
        timeline.empty() ? 0.0 : cpuSum / static_cast<double>(timeline.size());
    result["server_cpu_percent_mean"] = serverCpuMean;
    result["engine"] = {{"ring_underruns", engineStats.underruns},
                        {"ring_overruns", engineStats.overruns},
                        {"lag_drops", engineStats.lagDrops}};
    result["streams"] = {
        {"playback_underruns", streamsAfter.playbackUnderruns - streamsBefore.playbackUnderruns},
        {"capture_overruns", streamsAfter.captureOverruns - streamsBefore.captureOverruns},
        {"capture_hole_frames", streamsAfter.captureHoleFrames - streamsBefore.captureHoleFrames},
        {"playback_buffer_growths",
         streamsAfter.playbackBufferGrowths - streamsBefore.playbackBufferGrowths},
        {"largest_playback_cycles", streamsAfter.largestPlaybackCycles},
        {"late_playback_calls", streamsAfter.latePlaybackCalls - streamsBefore.latePlaybackCalls},
        {"late_capture_calls", streamsAfter.lateCaptureCalls - streamsBefore.lateCaptureCalls},
        {"longest_playback_gap_ms",
         static_cast<double>(streamsAfter.longestPlaybackGapMicros) / 1e3},
        {"longest_capture_gap_ms",
         static_cast<double>(streamsAfter.longestCaptureGapMicros) / 1e3}};
    nlohmann::json lateList = nlohmann::json::array();
    for (const auto& call : lateCalls) {
        lateList.push_back({{"at_s", call.atSeconds}, {"kind", call.kind}});
    }
    result["late_calls"] = lateList;
    nlohmann::json held = nlohmann::json::array();
    for (const auto& stall : coreStalls) {
        held.push_back(
            {{"core", stall.core}, {"at_s", stall.startSeconds}, {"held_ms", stall.heldMs}});
    }
    result["core_stalls"] = held;
    nlohmann::json together = nlohmann::json::array();
    for (const auto& stall : machineStalls) {
        together.push_back({{"at_s", stall.startSeconds}, {"held_ms", stall.heldMs}});
    }
    result["machine_stalls"] = together;
    result["timeline"] = timeline;
    writeJson(result);
    manager.reset();
    std::filesystem::remove_all(folders);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A stall watcher writes to its pipe: before standard output is redirected below.
    if (argc == 3 && std::string(argv[1]) == "--watch-stalls") {
        return brimo::bench::watchStalls(std::atoi(argv[2]));
    }
    // The application core logs to standard output: that goes to standard error, so standard
    // output carries the JSON alone.
    jsonOutput = fdopen(dup(STDOUT_FILENO), "w");
    std::signal(SIGPIPE, SIG_IGN);  // a helper that ends makes its pipe fail, not us
    dup2(STDERR_FILENO, STDOUT_FILENO);
    try {
        return run(parse(argc, argv));
    } catch (const std::exception& error) {
        std::cerr << "bench_soak: " << error.what() << "\n";
        return 2;
    }
}
