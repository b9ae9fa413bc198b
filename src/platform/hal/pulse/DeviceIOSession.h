#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/pulse/IOCounters.h"
#include "platform/hal/pulse/ThreadedMainLoop.h"

struct pa_context;
struct pa_stream;

namespace brimo::hal::pulse {

struct DeviceIOPlan {
    std::string applicationName;
    Float64 sampleRate = 0.0;
    UInt32 cycleFrames = 0;  // the most frames one client call gets
    // The playback latency target, in cycles: it starts at the floor, doubles after each
    // underrun up to the ceiling, and comes down a cycle at a time after a steady spell.
    UInt32 playbackCycles = 2;
    UInt32 playbackCyclesMax = 16;
    double playbackShrinkAfterSeconds = 60.0;
    std::chrono::milliseconds connectTimeout{2000};
    int realtimePriority = 0;  // SCHED_FIFO priority of the session's thread; 0: ordinary
    // Empty: that side is not used.
    std::string captureSource;
    std::string captureChannelMap;
    UInt32 captureChannels = 0;
    std::string playbackSink;
    std::string playbackChannelMap;
    UInt32 playbackChannels = 0;
};

struct StreamLatency {
    bool valid = false;
    double captureSeconds = 0.0;
    double playbackSeconds = 0.0;
    // The playback buffer target the server granted (its tlength).
    double playbackTargetSeconds = 0.0;
};

// One device's I/O for one unit: a connection of its own, whose thread runs a record stream on
// the device's input side and/or a playback stream on its sink, and calls the unit there. The
// playback stream names its sink and may not be moved: were the sink to go, the server would
// otherwise carry our output to the default sink, which may be the virtual device we capture,
// and feed it back. Both streams are killed instead, and the client hears of it once.
class DeviceIOSession {
  public:
    // noErr and a running session, or a status and nothing.
    static OSStatus open(const DeviceIOPlan& plan, DeviceIOClient& client, IOCounters& counters,
                         std::unique_ptr<DeviceIOSession>& session);
    // When this returns, the client is not called any more. Not from the client's callbacks.
    ~DeviceIOSession();
    DeviceIOSession(const DeviceIOSession&) = delete;
    DeviceIOSession& operator=(const DeviceIOSession&) = delete;
    DeviceIOSession(DeviceIOSession&&) = delete;
    DeviceIOSession& operator=(DeviceIOSession&&) = delete;

    [[nodiscard]] bool wasKilled() const { return stopReported_.load(); }
    [[nodiscard]] bool captures() const { return !plan_.captureSource.empty(); }
    [[nodiscard]] bool plays() const { return !plan_.playbackSink.empty(); }
    StreamLatency latency();
    // PipeWire's PulseAudio server resumes a suspended source without feeding a record stream
    // that lived across the suspend again: it gets silence for good, while a new stream on the
    // same source hears it. So the capture stream is made again, on the session's thread. One
    // made too soon after the resume can be as deaf as the old one, and how soon is too soon
    // depends on the server's load: for a few seconds, a stream that has heard nothing but
    // exact zeros for half a second is made once more (a gap in silence is inaudible).
    void captureSourceResumed();
    [[nodiscard]] const std::string& captureSource() const { return plan_.captureSource; }

  private:
    DeviceIOSession(const DeviceIOPlan& plan, DeviceIOClient& client, IOCounters& counters);
    OSStatus connect();
    OSStatus connectCapture();
    OSStatus connectPlayback();
    void reconnectCapture();
    void scheduleResumeReconnect();
    void captureDeafnessCheck();
    void scheduleDeafnessCheck();
    void playbackUnderran();
    void playbackSteadyCheck();
    void setPlaybackCycles(UInt32 cycles);
    void close();
    void reportStopped(OSStatus reason);
    void deliverCapture(const float* samples, UInt32 frames);
    void deliverSilence(UInt32 frames);
    void fillPlayback(std::size_t bytes);
    void noteCallbackFrames(UInt32 frames);
    void noteCallGap(std::uint64_t& lastCallMicros, std::atomic<std::uint64_t>& longest,
                     std::atomic<std::uint64_t>& late) const;

    friend struct SessionCallbacks;

    DeviceIOPlan plan_;
    DeviceIOClient& client_;
    IOCounters& counters_;
    ThreadedMainLoop loop_;
    pa_context* context_ = nullptr;
    pa_stream* capture_ = nullptr;
    pa_stream* playback_ = nullptr;
    bool closing_ = false;
    std::atomic<bool> stopReported_{false};
    // After a resume, on the session's thread: reconnections made, and what the stream
    // delivered since the first: frames in all, and frames since the last one not silent.
    bool resumeReconnectPending_ = false;
    int resumeReconnects_ = 0;
    int deafnessChecks_ = 0;
    bool listeningForSound_ = false;
    std::uint64_t framesSinceReconnect_ = 0;
    std::uint64_t framesSinceSound_ = 0;
    std::uint64_t captureConnectedAt_ = 0;  // microseconds, the server library's clock
    Float64 captureSampleTime_ = 0.0;
    // The server library's clock at the last call of each stream (0: none yet).
    std::uint64_t lastCaptureCallMicros_ = 0;
    std::uint64_t lastPlaybackCallMicros_ = 0;
    Float64 playbackSampleTime_ = 0.0;
    UInt32 playbackCycles_ = 0;          // the current target
    Float64 playbackTargetSetAt_ = 0.0;  // in playback frames
    std::size_t playbackCycleBytes_ = 0;
    // Taken before the streams run, so the stream thread never allocates.
    std::vector<float> silence_;
};

}  // namespace brimo::hal::pulse
