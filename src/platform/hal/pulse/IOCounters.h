#pragma once

#include <atomic>
#include <cstdint>

namespace brimo::hal::pulse {

// What the backend's streams went through, summed over every session; written on the stream
// threads without locks.
struct IOCounters {
    std::atomic<std::uint64_t> framesCaptured{0};
    std::atomic<std::uint64_t> framesPlayed{0};
    // Capture frames the server reported missing (holes), delivered as silence.
    std::atomic<std::uint64_t> captureHoleFrames{0};
    // The server ran out of our playback data.
    std::atomic<std::uint64_t> playbackUnderruns{0};
    // Times a playback stream's latency target grew after an underrun, and the largest target
    // any reached, in cycles.
    std::atomic<std::uint64_t> playbackBufferGrowths{0};
    std::atomic<std::uint32_t> largestPlaybackCycles{0};
    // The server dropped captured data because we were late to read it.
    std::atomic<std::uint64_t> captureOverruns{0};
    // Record streams made again after their source resumed from a suspend.
    std::atomic<std::uint64_t> captureReconnects{0};
    // Changes the server made to a running record stream (on PipeWire, a suspend unlinking it).
    std::atomic<std::uint64_t> captureRelinks{0};
    // Streams the server ended on its own (device removed, server gone, stream killed).
    std::atomic<std::uint64_t> killedStreams{0};
    // Session threads that got (or were refused) real-time scheduling.
    std::atomic<std::uint64_t> realtimeThreads{0};
    std::atomic<std::uint64_t> ordinaryThreads{0};
    // Client callbacks made, and the most frames one of them was given or asked for.
    std::atomic<std::uint64_t> callbacks{0};
    std::atomic<std::uint32_t> largestCallbackFrames{0};
    // How late the server's calls came: the longest time between two calls of one stream
    // (the server asking for playback data, or handing over captured data), and how many came
    // more than three cycles after the one before (a late wake-up, the server's or ours).
    std::atomic<std::uint64_t> longestPlaybackGapMicros{0};
    std::atomic<std::uint64_t> longestCaptureGapMicros{0};
    std::atomic<std::uint64_t> latePlaybackCalls{0};
    std::atomic<std::uint64_t> lateCaptureCalls{0};
};

struct IOStatistics {
    std::uint64_t framesCaptured = 0;
    std::uint64_t framesPlayed = 0;
    std::uint64_t captureHoleFrames = 0;
    std::uint64_t playbackUnderruns = 0;
    std::uint64_t playbackBufferGrowths = 0;
    std::uint32_t largestPlaybackCycles = 0;
    std::uint64_t captureOverruns = 0;
    std::uint64_t captureReconnects = 0;
    std::uint64_t captureRelinks = 0;
    std::uint64_t killedStreams = 0;
    std::uint64_t realtimeThreads = 0;
    std::uint64_t ordinaryThreads = 0;
    std::uint64_t callbacks = 0;
    std::uint32_t largestCallbackFrames = 0;
    std::uint64_t longestPlaybackGapMicros = 0;
    std::uint64_t longestCaptureGapMicros = 0;
    std::uint64_t latePlaybackCalls = 0;
    std::uint64_t lateCaptureCalls = 0;
};

}  // namespace brimo::hal::pulse
