#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <tuple>

#include "audio/engine/AudioRingBuffer.h"
#include "audio/engine/DriftCorrector.h"
#include "audio/engine/LevelHandOff.h"
#include "audio/engine/RenderScratch.h"
#include "platform/hal/AudioUnit.h"
#include "platform/hal/CounterSnapshot.h"

namespace brimo::audio {

// What the render path went through since the last start: counted by the real-time threads
// in atomics (`Cell` = std::atomic) and handed to readers as one plain copy (RenderStats).
// The blocks the ring buffer could not serve whole (the playback side got silence) and those
// it had to make room for by dropping the oldest audio; the lags dropped at once because the
// tempo trim could not win them back quickly; the audio waiting in the ring buffer as the
// playback side last saw it and the time-pitch unit's own read-ahead, which together are the
// engine's part of the latency.
template <template <typename> class Cell>
struct RenderCounts {
    Cell<std::uint64_t> underruns{};
    Cell<std::uint64_t> overruns{};
    Cell<std::uint64_t> lagDrops{};
    Cell<std::int64_t> ringFillFrames{};
    Cell<std::int64_t> timePitchLatencyFrames{};

    static constexpr auto fields() {
        return std::tuple{&RenderCounts::underruns, &RenderCounts::overruns,
                          &RenderCounts::lagDrops, &RenderCounts::ringFillFrames,
                          &RenderCounts::timePitchLatencyFrames};
    }
};

using RenderStats = RenderCounts<hal::PlainCount>;

// The engine's real-time state in one place, handed to the three render callbacks as their
// context: the ring buffer between capture and playback, the scratch the callbacks work in,
// the drift correction, the lag watch, the start's flags, the counters and the gain. The
// callbacks allocate nothing, log nothing, take no lock and wait on nothing; everything they
// need is made on the engine's queue before `open` and kept until `release`.
//
// Threads: the engine's queue (prepare, aim, open, close, release), the capture thread
// (`capture`), the playback thread (`play`, and `feedTimePitch` inside it, through the
// time-pitch unit), the main thread (levels) and any thread (gain, counters, drift snapshot).
class RenderPath {
  public:
    // The engine's queue, while no callback renders: a new ring buffer holding the lookahead
    // as silence, the scratch, and the block counters back to zero. Answers the frames
    // pre-filled.
    std::int64_t prepare(double sampleRate);
    // The engine's queue, after prepare, while no callback renders: the time-pitch unit keeps
    // this much of the lookahead itself, so the ring buffer is held at the rest; the drift
    // correction, the lag watch and the start's flags begin again from there.
    void aim(std::int64_t timePitchLatencyFrames);
    // The engine's queue, once both units run: the callbacks render through these units from
    // now on.
    void open(hal::AudioUnit captureUnit, hal::AudioUnit timePitchUnit);
    // The engine's queue, first thing at a stop: a callback that begins from now on renders
    // nothing (one under way finishes its block; the units' stop waits for it).
    void close() { rendering_.store(false, std::memory_order_release); }
    // The engine's queue, once the units are stopped and no callback runs: the ring buffer
    // and the units' handles go.
    void release();

    // The callbacks; `path` is the RenderPath.
    static hal::OSStatus capture(void* path, hal::AudioUnitRenderActionFlags* flags,
                                 const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                 hal::UInt32 frames, hal::AudioBufferList* data);
    static hal::OSStatus feedTimePitch(void* path, hal::AudioUnitRenderActionFlags* flags,
                                       const hal::AudioTimeStamp* time, hal::UInt32 bus,
                                       hal::UInt32 frames, hal::AudioBufferList* data);
    static hal::OSStatus play(void* path, hal::AudioUnitRenderActionFlags* flags,
                              const hal::AudioTimeStamp* time, hal::UInt32 bus, hal::UInt32 frames,
                              hal::AudioBufferList* data);

    // Any thread.
    void setVolume(float volume) { volume_.store(volume); }
    [[nodiscard]] float volume() const { return volume_.load(); }
    [[nodiscard]] RenderStats stats() const;
    [[nodiscard]] DriftCorrector::Snapshot driftSnapshot() const { return drift_.snapshot(); }

    // Main thread: the raw input levels in the order the capture thread measured them.
    std::optional<float> popLevel() { return levels_.pop(); }
    [[nodiscard]] bool hasLevels() const { return !levels_.isEmpty(); }

  private:
    hal::OSStatus captureBlock(hal::AudioUnitRenderActionFlags* flags,
                               const hal::AudioTimeStamp* time, hal::UInt32 frames);
    hal::OSStatus feedBlock(hal::AudioUnitRenderActionFlags* flags, hal::UInt32 frames,
                            hal::AudioBufferList* data);
    hal::OSStatus playBlock(const hal::AudioTimeStamp* time, hal::UInt32 frames,
                            hal::AudioBufferList* data);
    void topUpToLookahead();
    void watchForLag(hal::UInt32 frames);
    void dropLagToLookahead();

    // Raw input levels from the capture thread to the main thread. First, since its 64-byte
    // alignment would leave gaps anywhere else.
    LevelHandOff levels_;

    // Raised by the engine's queue (release) once both units run, lowered first at a stop;
    // each callback reads it (acquire) before anything else and renders only while it is up.
    // That is what lets the plain fields below, which the engine's queue writes only while it
    // is down and no unit runs, be read on the real-time threads without a lock.
    std::atomic<bool> rendering_{false};

    // The ring ran dry: the reader waits for the lookahead before it reads on. Playback thread
    // only (atomic for the start that resets it on the engine's queue).
    std::atomic<bool> refilling_{false};
    // At the start, the reader has taken the time-pitch unit's lookahead (set on the playback
    // thread, read on the capture thread), and the capture side has topped the ring up to the
    // lookahead once (capture thread only; atomic for the start that resets it).
    std::atomic<bool> readerStarted_{false};
    std::atomic<bool> captureToppedUp_{false};

    // The playback gain: written by any thread (the engine's setVolume), read by the playback
    // thread.
    std::atomic<float> volume_{1.0F};

    // Set by the engine's queue at open, cleared at release. The capture unit is rendered on
    // the capture thread, the time-pitch unit on the playback thread.
    hal::AudioUnit captureUnit_ = nullptr;
    hal::AudioUnit timePitchUnit_ = nullptr;
    // Made by the engine's queue at prepare, dropped at release. Its samples are written by
    // the capture thread (the one writer) and read or discarded by the playback thread (the one
    // reader); see its class.
    std::unique_ptr<AudioRingBuffer> ring_;
    // Samples the ring buffer is brought back to when it overflows or lags: the drift target.
    // Set by the engine's queue at aim; read by the capture thread (the top-up) and the
    // playback thread.
    std::int64_t resyncFillSamples_ = 0;
    // The start's rate and pre-filled lookahead, from prepare to aim (engine's queue only).
    double sampleRate_ = 0.0;
    std::int64_t lookaheadFrames_ = 0;

    // Sized by the engine's queue at prepare. The capture thread works in `captured`, the
    // playback thread in the rest.
    RenderScratch scratch_;

    // Reset by the engine's queue at aim, updated by the playback thread; its snapshot is read
    // from any thread.
    DriftCorrector drift_;
    // Set by the engine's queue at aim; the playback thread's watch for a lasting lag.
    struct LagWatch {
        std::int64_t windowFrames = 0;
        std::int64_t thresholdSamples = 0;
        std::int64_t framesWatched = 0;
        std::int64_t lowestFill = 0;
    } lagWatch_;

    // Written by the playback thread (underruns, overruns, lag drops, fill) and the engine's
    // queue (the first three back to zero at prepare, the latency at aim); read by any thread
    // through stats().
    RenderCounts<std::atomic> counts_;
};

}  // namespace brimo::audio
