#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "audio/devices/AudioDevice.h"
#include "audio/engine/AudioRingBuffer.h"
#include "audio/engine/DriftCorrector.h"
#include "audio/engine/LevelHandOff.h"
#include "audio/engine/RenderScratch.h"
#include "audio/log/DiagnosticLog.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/hal/AudioUnit.h"
#include "platform/hal/SampleLayout.h"
#include "platform/observable/Published.h"
#include "platform/observable/Subject.h"

namespace brimo::audio {

// Owns the real-time pipeline: a capture unit on the virtual device, the time-pitch unit and a
// playback unit on the real device, joined by the ring buffer and the render callbacks. Every
// start, stop and restart runs on the engine's serial queue, in call order. The smoothed input
// level is published on the main thread.
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
    [[nodiscard]] float volume() const { return volume_.load(); }
    [[nodiscard]] double sampleRate() const { return sampleRate_.load(); }
    [[nodiscard]] std::optional<std::uint32_t> inputDeviceID() const;
    [[nodiscard]] std::optional<std::uint32_t> outputDeviceID() const;

    // Returns once every sequence queued so far has run.
    void waitUntilIdle();

    // What the clock-drift correction sees, for tests and benchmarks.
    [[nodiscard]] DriftCorrector::Snapshot driftSnapshot() const { return drift_.snapshot(); }

    // Blocks since the last start that the ring buffer could not serve whole (the playback side
    // got silence) or had to make room for by dropping the oldest audio.
    // Also the lags dropped at once because the tempo trim could not win them back quickly.
    // With the audio waiting in the ring buffer as the playback side last saw it and the
    // time-pitch unit's own read-ahead, which together are the engine's part of the latency.
    struct RenderStats {
        std::uint64_t underruns = 0;
        std::uint64_t overruns = 0;
        std::uint64_t lagDrops = 0;
        std::int64_t ringFillFrames = 0;
        std::int64_t timePitchLatencyFrames = 0;
    };
    [[nodiscard]] RenderStats renderStats() const {
        return {underruns_.load(), overruns_.load(), lagDrops_.load(),
                ringFillSamples_.load(std::memory_order_relaxed) / hal::kStereoChannels,
                timePitchLatencyFrames_.load(std::memory_order_relaxed)};
    }

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

    // The render path, on real-time threads.
    static hal::OSStatus inputCallback(void* engine, hal::AudioUnitRenderActionFlags* flags,
                                       const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                       hal::UInt32 frames, hal::AudioBufferList* data);
    static hal::OSStatus timePitchInputProc(void* engine, hal::AudioUnitRenderActionFlags* flags,
                                            const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                            hal::UInt32 frames, hal::AudioBufferList* data);
    static hal::OSStatus outputCallback(void* engine, hal::AudioUnitRenderActionFlags* flags,
                                        const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                        hal::UInt32 frames, hal::AudioBufferList* data);
    hal::OSStatus captureBlock(hal::AudioUnitRenderActionFlags* flags,
                               const hal::AudioTimeStamp* time, hal::UInt32 frames);
    hal::OSStatus feedTimePitch(hal::AudioUnitRenderActionFlags* flags, hal::UInt32 frames,
                                hal::AudioBufferList* data);
    hal::OSStatus playBlock(const hal::AudioTimeStamp* time, hal::UInt32 frames,
                            hal::AudioBufferList* data);
    void watchForLag(AudioRingBuffer& ring, hal::UInt32 frames);
    void dropLagTo(AudioRingBuffer& ring, std::int64_t targetSamples);

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

    std::mutex unitLock_;
    std::atomic<hal::AudioUnit> inputUnit_{nullptr};
    std::atomic<hal::AudioUnit> outputUnit_{nullptr};
    std::atomic<hal::AudioUnit> timePitchUnit_{nullptr};
    // Owned on the engine's queue from a start to the next stop. The callbacks see it through
    // the plain pointer: it is released only after the units are stopped, and a stopped unit
    // runs no callback, so they never need a reference count of their own.
    std::shared_ptr<AudioRingBuffer> inputRingBuffer_;
    std::atomic<AudioRingBuffer*> liveRingBuffer_{nullptr};

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
    std::atomic<float> volume_{1.0F};

    // Real-time state, taken at start and kept between callbacks.
    RenderScratch scratch_;
    LevelHandOff levels_;
    std::atomic<bool> levelDrainScheduled_{false};
    DriftCorrector drift_;
    std::atomic<std::uint64_t> underruns_{0};
    std::atomic<std::uint64_t> overruns_{0};
    std::atomic<std::uint64_t> lagDrops_{0};
    std::atomic<std::int64_t> ringFillSamples_{0};         // written by the playback thread
    std::atomic<std::int64_t> timePitchLatencyFrames_{0};  // set at start
    // Samples the ring buffer is brought back to when it overflows or lags: the drift target.
    std::atomic<std::int64_t> resyncFillSamples_{0};
    // The playback thread's watch for a lasting lag; set at start.
    struct LagWatch {
        std::int64_t windowFrames = 0;
        std::int64_t thresholdSamples = 0;
        std::int64_t framesWatched = 0;
        std::int64_t lowestFill = 0;
    } lagWatch_;
    // The ring ran dry: the reader waits for the lookahead before it reads on. Playback thread
    // only (atomic for the start that resets it on the engine's queue).
    std::atomic<bool> refilling_{false};
    // At the start, the reader has taken the time-pitch unit's lookahead (set on the playback
    // thread), and the capture side has topped the ring up to the lookahead once (capture
    // thread only; atomic for the start that resets it).
    std::atomic<bool> readerStarted_{false};
    std::atomic<bool> captureToppedUp_{false};

    // Last, so that it is destroyed first: no queued sequence outlives the fields it uses.
    dispatch::SerialQueue audioQueue_{"com.brimolavetrix.audioengine"};
};

}  // namespace brimo::audio
