#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/devices/AudioDevice.h"
#include "audio/engine/DriftCorrector.h"
#include "audio/engine/RenderPath.h"
#include "audio/log/DiagnosticLog.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/hal/AudioUnit.h"
#include "platform/observable/Published.h"
#include "platform/observable/Subject.h"

namespace brimo::audio {

// Owns the real-time pipeline: a capture unit on the virtual device, the time-pitch unit and a
// playback unit on the real device, joined by the render path (the ring buffer and the render
// callbacks, with the state they keep). Every start, stop and restart runs on the engine's
// serial queue, in call order. The smoothed input level is published on the main thread.
class AudioEngineService : public std::enable_shared_from_this<AudioEngineService> {
  public:
    using Sleep = std::function<void(std::chrono::duration<double>)>;

    struct Options {
        // Where the level reaches the screen; must outlive the engine.
        dispatch::MainQueue* mainQueue = nullptr;
        // Where the diagnostic log lives (the user's documents folder when empty).
        DiagnosticLog::DirectoryLookup logDirectory;
        // How the sequences pause (the thread sleeps when empty); tests record instead.
        Sleep sleep;
    };

    static std::shared_ptr<AudioEngineService> create(Options options);
    // Stops synchronously on the engine's queue before anything is released, so no callback
    // can run against a dead engine.
    ~AudioEngineService();

    AudioEngineService(const AudioEngineService&) = delete;
    AudioEngineService& operator=(const AudioEngineService&) = delete;

    void setup();
    void setInputDevice(const AudioDevice& device);
    void setOutputDevice(const AudioDevice& device);
    // The tuning reference in Hz; 440 is passthrough.
    void setFrequency(double frequency);
    void setVolume(float volume);

    void start();
    void stop();
    void restart();

    // Smoothed input level, 0.0 to 1.0; changes only on the main thread.
    observable::Published<float>& audioLevel() { return audioLevel_; }

    // A device's I/O ended under the running engine without a stop of ours (the device went
    // away, the audio server ended the stream). The engine has stopped itself by the time this
    // is sent, on the main thread; it restarts only when asked.
    struct DeviceIOLost {
        bool isOutput = false;
        std::uint32_t deviceID = 0;
    };
    observable::Subject<DeviceIOLost>& deviceIOLost() { return deviceIOLost_; }

    [[nodiscard]] bool isRunning() const { return isRunning_.load(); }
    [[nodiscard]] float pitchCents() const { return pitchCents_.load(); }
    [[nodiscard]] float volume() const { return renderPath_.volume(); }
    [[nodiscard]] double sampleRate() const { return sampleRate_.load(); }
    [[nodiscard]] std::optional<std::uint32_t> inputDeviceID() const;
    [[nodiscard]] std::optional<std::uint32_t> outputDeviceID() const;

    // Returns once every sequence queued so far has run.
    void waitUntilIdle();

    // What the clock-drift correction sees, for tests and benchmarks.
    [[nodiscard]] DriftCorrector::Snapshot driftSnapshot() const {
        return renderPath_.driftSnapshot();
    }

    // What the render path went through since the last start (see RenderCounts).
    using RenderStats = audio::RenderStats;
    [[nodiscard]] RenderStats renderStats() const { return renderPath_.stats(); }

  private:
    explicit AudioEngineService(Options options);

    // Sequences, on the engine's queue.
    void startSequence();
    void stopSequence();
    void disposeUnits();

    // The unit graph.
    bool createTimePitchUnit();
    bool createInputUnit(std::uint32_t deviceID);
    bool createOutputUnit(std::uint32_t deviceID);
    std::optional<std::uint32_t> outputChannelCount(std::uint32_t deviceID) const;
    std::optional<double> nominalSampleRate(std::uint32_t deviceID) const;
    std::int64_t timePitchLookaheadFrames(double rate) const;

    // Run-state announcements of the capture and playback units.
    void watchRunState(hal::AudioUnit unit);
    void unwatchRunState(hal::AudioUnit unit);
    static void unitRunStateChanged(void* engine, hal::AudioUnit unit, hal::AudioUnitPropertyID id,
                                    hal::AudioUnitScope scope, hal::AudioUnitElement element);
    void handleUnitStopped(hal::AudioUnit unit);

    // The level hand-over to the main thread.
    void scheduleLevelDrain();
    void drainLevels();

    void log(std::string_view message) { debugLog_.debugLog(message); }
    void pause(double seconds);

    dispatch::MainQueue& mainQueue_;
    DiagnosticLog debugLog_;
    Sleep sleep_;

    // Made and disposed on the engine's queue (disposed only under unitLock_); the time-pitch
    // unit is also read under the lock by setFrequency on the caller's thread. The callbacks
    // get their units from the render path, never from here.
    std::mutex unitLock_;
    std::atomic<hal::AudioUnit> inputUnit_{nullptr};
    std::atomic<hal::AudioUnit> outputUnit_{nullptr};
    std::atomic<hal::AudioUnit> timePitchUnit_{nullptr};

    observable::Published<float> audioLevel_{0.0F};
    observable::Subject<DeviceIOLost> deviceIOLost_;
    std::atomic<float> pitchCents_{0.0F};
    std::atomic<bool> isRunning_{false};
    std::atomic<bool> isStopping_{false};
    std::atomic<std::uint32_t> inputDeviceID_{0};
    std::atomic<bool> hasInputDevice_{false};
    std::atomic<std::uint32_t> outputDeviceID_{0};
    std::atomic<bool> hasOutputDevice_{false};
    std::atomic<double> sampleRate_{48000.0};

    // Everything the real-time threads touch; the context of the three callbacks, which end
    // before the engine does (the destructor stops first).
    RenderPath renderPath_;
    // Main thread.
    std::atomic<bool> levelDrainScheduled_{false};

    // Last, so that it is destroyed first: no queued sequence outlives the fields it uses.
    dispatch::SerialQueue audioQueue_{"com.brimolavetrix.audioengine"};
};

}  // namespace brimo::audio
