#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>

#include "platform/hal/SnapshotBackend.h"
#include "platform/hal/pulse/ControlConnection.h"
#include "platform/hal/pulse/DeviceIOSession.h"
#include "platform/hal/pulse/DeviceMirror.h"
#include "platform/hal/pulse/IOCounters.h"

namespace brimo::hal::pulse {

struct PulseAudioBackendOptions {
    std::string applicationName = "Brimolavetrix";
    std::chrono::milliseconds connectTimeout{2000};
    std::chrono::milliseconds reconnectInterval{500};
    // On PipeWire, how often a fresh connection checks that the default output and input the
    // backend shows are still the server's (0: never; see ControlConnection).
    // The interval doubles while the checks agree, up to the second figure: a default change
    // the server failed to send is then found within it, for about a quarter of the CPU.
    std::chrono::milliseconds defaultsCheckInterval{500};
    std::chrono::milliseconds defaultsCheckIntervalMax{2000};
    // One I/O cycle lasts about this long, as a power-of-two number of frames (512 at 44.1 and
    // 48 kHz): no unit callback is asked for more.
    double ioPeriodSeconds = 0.010;
    // The playback latency asked of the server, in cycles: four make about 43 ms at 48 kHz
    // (46 ms at 44.1 kHz). Two would halve it, but PulseAudio then runs its sinks with
    // millisecond wake-ups, which costs about eight times the CPU on both sides; PipeWire keeps
    // its own quantum either way. Measured with bench/hal_pulse.
    UInt32 playbackCycles = 4;
    // After an underrun (a stall longer than the buffer) the target doubles, up to this many
    // cycles (16: about 171 ms at 48 kHz), and comes back down one cycle after each spell this
    // long without one. On PulseAudio a server whose own main thread was late once is late
    // again under the same load, and only a larger buffer rides it out.
    UInt32 playbackCyclesMax = 16;
    // PipeWire 0.3.65 keeps the buffer it granted first (a grown target only drains the
    // engine's ring buffer), so there the buffer is asked for at the size it must have from the
    // first connection and never changes. Its PulseAudio server takes the graph's quantum
    // (1024 frames by default) out of the buffer at once: four cycles leave 19-33 ms queued,
    // and a server thread 30 ms late empties them; six leave 26-60 ms and ride out 40 ms. More
    // buys nothing: the server holds no more than its largest quantum (2048 frames by default)
    // for a stream that lets it set the latency, and every stall of 45 ms ran dry at 8 and 12
    // cycles alike, while each cycle adds to what the user hears late.
    UInt32 playbackCyclesOnPipeWire = 6;
    double playbackShrinkAfterSeconds = 60.0;
    // SCHED_FIFO priority asked for each device I/O thread, where the system allows it (0: do
    // not ask). Below the audio servers' own threads, above everything ordinary.
    int realtimePriority = 4;
};

// The hardware layer on the desktop audio server, through the PulseAudio client library, so
// the same code runs against PulseAudio and against PipeWire's PulseAudio server.
//
// Devices: every sink is an output device; a null sink (like "Brimola Vetrix") has its monitor
// as its input side; every source that is no monitor is an input device. The name is the
// server's description, the UID its object name. The device list and the default devices come
// from a mirror that server events keep current, published as snapshots (SnapshotBackend.h).
// Each started device I/O runs its streams on a connection and thread of its own.
class PulseAudioBackend final : public SnapshotBackend {
  public:
    // Connects to the server the environment names (PULSE_SERVER, else the user's runtime
    // directory) and waits up to the connect timeout for its device list. Without a server the
    // backend lists no devices and keeps trying to connect.
    static std::shared_ptr<PulseAudioBackend> create(PulseAudioBackendOptions options = {});
    ~PulseAudioBackend() override;
    PulseAudioBackend(const PulseAudioBackend&) = delete;
    PulseAudioBackend& operator=(const PulseAudioBackend&) = delete;
    PulseAudioBackend(PulseAudioBackend&&) = delete;
    PulseAudioBackend& operator=(PulseAudioBackend&&) = delete;

    [[nodiscard]] bool isConnected() const;
    // Times the view's defaults were found stale and read again from a fresh connection.
    [[nodiscard]] unsigned staleViewsReplaced() const;
    [[nodiscard]] IOStatistics statistics() const;
    // What the server reports for the device's running streams (capture and playback, from
    // whichever units run them); invalid when none runs.
    StreamLatency latency(AudioDeviceID device);

    OSStatus deviceIOFormat(AudioDeviceID device, DeviceIOFormat& format) override;
    OSStatus startDeviceIO(AudioDeviceID device, DeviceIOClient& client, bool capture,
                           bool play) override;
    void stopDeviceIO(AudioDeviceID device, DeviceIOClient& client) override;

  private:
    explicit PulseAudioBackend(PulseAudioBackendOptions options);
    // The device's sink made the server's default sink.
    OSStatus makeDefaultOutput(AudioDeviceID device) override;
    void viewArrived(const ServerView& view);
    void reconnectResumedCaptures(const ServerView& view);

    using SessionKey = std::pair<AudioDeviceID, const DeviceIOClient*>;

    PulseAudioBackendOptions options_;
    DeviceMirror mirror_;                     // only on the control connection's thread
    std::set<std::string> suspendedSources_;  // likewise
    IOCounters counters_;
    std::mutex sessionsMutex_;
    std::map<SessionKey, std::unique_ptr<DeviceIOSession>> sessions_;
    std::atomic<bool> onPipeWire_{false};  // of the last view
    std::unique_ptr<ControlConnection> control_;
};

}  // namespace brimo::hal::pulse
