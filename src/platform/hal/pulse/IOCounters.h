#pragma once

#include <atomic>
#include <cstdint>
#include <tuple>

#include "platform/hal/CounterSnapshot.h"

namespace brimo::hal::pulse {

// What the backend's streams went through, summed over every session: counted on the stream
// threads without locks in atomics (`Cell` = std::atomic, IOCounters) and read as one plain
// copy (IOStatistics).
template <template <typename> class Cell>
struct IOCounts {
    Cell<std::uint64_t> framesCaptured{};
    Cell<std::uint64_t> framesPlayed{};
    // Capture frames the server reported missing (holes), delivered as silence.
    Cell<std::uint64_t> captureHoleFrames{};
    // The server ran out of our playback data.
    Cell<std::uint64_t> playbackUnderruns{};
    // Times a playback stream's latency target grew after an underrun, and the largest target
    // any reached, in cycles.
    Cell<std::uint64_t> playbackBufferGrowths{};
    Cell<std::uint32_t> largestPlaybackCycles{};
    // The server dropped captured data because we were late to read it.
    Cell<std::uint64_t> captureOverruns{};
    // Record streams made again after their source resumed from a suspend.
    Cell<std::uint64_t> captureReconnects{};
    // Changes the server made to a running record stream (on PipeWire, a suspend unlinking it).
    Cell<std::uint64_t> captureRelinks{};
    // Streams the server ended on its own (device removed, server gone, stream killed).
    Cell<std::uint64_t> killedStreams{};
    // Session threads that got (or were refused) real-time scheduling.
    Cell<std::uint64_t> realtimeThreads{};
    Cell<std::uint64_t> ordinaryThreads{};
    // Client callbacks made, and the most frames one of them was given or asked for.
    Cell<std::uint64_t> callbacks{};
    Cell<std::uint32_t> largestCallbackFrames{};
    // How late the server's calls came: the longest time between two calls of one stream
    // (the server asking for playback data, or handing over captured data), and how many came
    // more than three cycles after the one before (a late wake-up, the server's or ours).
    Cell<std::uint64_t> longestPlaybackGapMicros{};
    Cell<std::uint64_t> longestCaptureGapMicros{};
    Cell<std::uint64_t> latePlaybackCalls{};
    Cell<std::uint64_t> lateCaptureCalls{};

    static constexpr auto fields() {
        return std::tuple{&IOCounts::framesCaptured,
                          &IOCounts::framesPlayed,
                          &IOCounts::captureHoleFrames,
                          &IOCounts::playbackUnderruns,
                          &IOCounts::playbackBufferGrowths,
                          &IOCounts::largestPlaybackCycles,
                          &IOCounts::captureOverruns,
                          &IOCounts::captureReconnects,
                          &IOCounts::captureRelinks,
                          &IOCounts::killedStreams,
                          &IOCounts::realtimeThreads,
                          &IOCounts::ordinaryThreads,
                          &IOCounts::callbacks,
                          &IOCounts::largestCallbackFrames,
                          &IOCounts::longestPlaybackGapMicros,
                          &IOCounts::longestCaptureGapMicros,
                          &IOCounts::latePlaybackCalls,
                          &IOCounts::lateCaptureCalls};
    }
};

using IOStatistics = IOCounts<PlainCount>;

// Written on the stream threads (relaxed adds and maxima), read from any thread as a snapshot.
struct IOCounters : IOCounts<std::atomic> {
    [[nodiscard]] IOStatistics snapshot() const { return snapshotOf<pulse::IOCounts>(*this); }
};

}  // namespace brimo::hal::pulse
