#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/ListenerThread.h"
#include "platform/hal/SeqlockValue.h"
#include "platform/hal/pulse/IOCounters.h"
#include "platform/hal/pulse/SessionLoop.h"

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
//
// The thread is real-time, so it waits on nobody: it alone touches its main loop, connection
// and streams (SessionLoop). Other threads ask it for things through lock-free requests, read
// what it publishes (counters, latency, whether it was killed) from atomics, and the client
// hears of a kill on the backend's listener thread, which the session hands the news to
// without waiting.
class DeviceIOSession {
  public:
    // noErr and a running session, or a status and nothing. Waits for the session's thread to
    // connect. A stream the server ends while the session connects makes the open fail; the
    // client is not told of it.
    static OSStatus open(const DeviceIOPlan& plan, DeviceIOClient& client, IOCounters& counters,
                         ListenerThread& listeners, std::unique_ptr<DeviceIOSession>& session);
    // When this returns, the client is not called any more. Not from the client's callbacks.
    ~DeviceIOSession();
    DeviceIOSession(const DeviceIOSession&) = delete;
    DeviceIOSession& operator=(const DeviceIOSession&) = delete;
    DeviceIOSession(DeviceIOSession&&) = delete;
    DeviceIOSession& operator=(DeviceIOSession&&) = delete;

    [[nodiscard]] bool wasKilled() const { return stopReported_.load(); }
    [[nodiscard]] bool captures() const { return !plan_.captureSource.empty(); }
    [[nodiscard]] bool plays() const { return !plan_.playbackSink.empty(); }
    // Any thread, without waiting for the session's: what its thread last read of the streams'
    // latency, the playback figure carried forward to now.
    [[nodiscard]] StreamLatency latency() const;
    // PipeWire's PulseAudio server resumes a suspended source without feeding a record stream
    // that lived across the suspend again: it gets silence for good, while a new stream on the
    // same source hears it. So the capture stream is made again, on the session's thread. One
    // made too soon after the resume can be as deaf as the old one, and how soon is too soon
    // depends on the server's load: for a few seconds, a stream that has heard nothing but
    // exact zeros for half a second is made once more (a gap in silence is inaudible).
    // Any thread; only asks the session's thread.
    void captureSourceResumed();
    [[nodiscard]] const std::string& captureSource() const { return plan_.captureSource; }

  private:
    // The session's thread's last latency readings; the playback one with the server library's
    // clock (microseconds) when it was taken.
    struct LatencyReading {
        bool captureValid = false;
        bool playbackValid = false;
        double captureSeconds = 0.0;
        double playbackSeconds = 0.0;
        double playbackTargetSeconds = 0.0;
        std::uint64_t playbackReadAt = 0;
    };
    enum Request : unsigned { kStopRequest = 1U, kResumeRequest = 2U };

    DeviceIOSession(const DeviceIOPlan& plan, DeviceIOClient& client, IOCounters& counters,
                    ListenerThread& listeners);
    OSStatus start();
    void run();
    void makeRealtime();
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
    static void deliverStop(void* session);
    void deliverCapture(const float* samples, UInt32 frames);
    void deliverSilence(UInt32 frames);
    void fillPlayback(std::size_t bytes);
    void noteCallbackFrames(UInt32 frames);
    void noteCallGap(std::uint64_t& lastCallMicros, std::atomic<std::uint64_t>& longest,
                     std::atomic<std::uint64_t>& late) const;
    void publishCaptureLatency();
    void publishPlaybackLatency();

    friend struct SessionCallbacks;

    DeviceIOPlan plan_;
    DeviceIOClient& client_;
    IOCounters& counters_;
    ListenerThread& listeners_;
    SessionLoop loop_;
    const std::string captureName_;
    const std::string playbackName_;

    // The opener waits for `opened_`; the status is written before it is raised.
    OSStatus openStatus_ = noErr;
    std::atomic<bool> opened_{false};

    // The rest belongs to the session's thread, but for the atomics and the published latency.
    pa_context* context_ = nullptr;
    pa_stream* capture_ = nullptr;
    pa_stream* playback_ = nullptr;
    bool running_ = false;  // connected, and the opener told
    bool closing_ = false;
    std::atomic<bool> stopReported_{false};
    std::atomic<OSStatus> stopReason_{noErr};
    ListenerThread::Notice stopNotice_;
    LatencyReading latest_;
    SeqlockValue<LatencyReading> publishedLatency_;
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
