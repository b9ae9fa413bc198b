// The engine's real-time callbacks. They allocate nothing, log nothing, take no lock and wait on
// nothing; everything they need was taken at start.
#include "audio/engine/RenderPath.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/hal/SampleLayout.h"

namespace brimo::audio {
namespace {

constexpr double kLookaheadSeconds = 0.1;
constexpr double kRingSeconds = 0.5;
// A fill that stays this far above the lookahead for a whole window is a lag to drop at once:
// 20 ms would take the tempo trim 10 s, and no steady rhythm keeps the lowest fill of a quarter
// second that high (a grown PulseAudio buffer asks for audio every 171 ms at the most). The
// window is short so that the skip follows the stall's own gap closely: one disturbance.
constexpr double kLagWindowSeconds = 0.25;
constexpr double kLagThresholdSeconds = 0.02;

// The capture side may deliver blocks of any size its device chooses; room for far more than
// any real device cycle keeps the callback from ever needing more.
constexpr std::uint32_t kMaxCaptureFrames = 16384;

// The input level is the mean absolute left-channel amplitude over a block's first frames.
constexpr hal::UInt32 kLevelFrames = 64;

void zeroBuffers(hal::AudioBufferList* data) {
    if (data == nullptr) {
        return;
    }
    for (hal::UInt32 b = 0; b < data->mNumberBuffers; ++b) {
        hal::AudioBuffer& buffer = data->mBuffers[b];  // NOLINT: variable-length list
        if (buffer.mData != nullptr) {
            std::memset(buffer.mData, 0, buffer.mDataByteSize);
        }
    }
}

// The two channels of one slice, scaled and clamped, into the device's interleaved frames:
// volume may push samples past full scale, and a NaN from anywhere upstream becomes silence
// instead of reaching the speakers. Without branches, so the loop runs four samples at a time.
void interleaveClamped(const float* left, const float* right, float gain, hal::UInt32 frames,
                       float* device) {
    hal::interleaveStereo(left, right, frames, device,
                          [gain](float x) { return hal::clampSample(x * gain); });
}

// A sample that is no number (or an infinite one) from the capture side would poison the
// time-pitch unit's state and the level's smoothing for good; it is heard as silence instead.
// Every sample is stored, kept or not, so the loop runs four samples at a time.
void silenceNonFinite(float* samples, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const float x = samples[i];
        samples[i] = std::abs(x) <= std::numeric_limits<float>::max() ? x : 0.0F;
    }
}

// Shorter blocks still divide by the full count, so a short block reads quieter.
float rawLevel(const float* interleaved, hal::UInt32 frames) {
    const hal::UInt32 limit = hal::stereoSamples(std::min(frames, kLevelFrames));
    float sum = 0.0F;
    for (hal::UInt32 i = 0; i < limit; i += hal::kStereoChannels) {
        sum += std::fabs(interleaved[i]);
    }
    return sum * (1.0F / static_cast<float>(kLevelFrames));
}

}  // namespace

std::int64_t RenderPath::prepare(double sampleRate) {
    sampleRate_ = sampleRate;
    const auto ringFrames = static_cast<std::int64_t>(std::floor(sampleRate * kRingSeconds));
    ring_ = std::make_unique<AudioRingBuffer>(hal::stereoSamples(ringFrames));
    lookaheadFrames_ = static_cast<std::int64_t>(std::floor(sampleRate * kLookaheadSeconds));
    scratch_.reserve(kMaxCaptureFrames);
    ring_->write(std::vector<float>(hal::stereoSamples<std::size_t>(lookaheadFrames_), 0.0F));
    counts_.underruns = 0;
    counts_.overruns = 0;
    counts_.lagDrops = 0;
    return lookaheadFrames_;
}

void RenderPath::aim(std::int64_t timePitchLatencyFrames) {
    counts_.timePitchLatencyFrames = timePitchLatencyFrames;
    const std::int64_t targetFill = lookaheadFrames_ - timePitchLatencyFrames;
    drift_.reset(sampleRate_, targetFill);
    resyncFillSamples_ = hal::stereoSamples(std::max<std::int64_t>(targetFill, 0));
    lagWatch_ = {static_cast<std::int64_t>(sampleRate_ * kLagWindowSeconds),
                 hal::stereoSamples(static_cast<std::int64_t>(sampleRate_ * kLagThresholdSeconds)),
                 0, 0};
    refilling_.store(false, std::memory_order_relaxed);
    readerStarted_.store(false, std::memory_order_relaxed);
    captureToppedUp_.store(false, std::memory_order_relaxed);
}

void RenderPath::open(hal::AudioUnit captureUnit, hal::AudioUnit timePitchUnit) {
    captureUnit_ = captureUnit;
    timePitchUnit_ = timePitchUnit;
    rendering_.store(true, std::memory_order_release);
}

void RenderPath::release() {
    rendering_.store(false, std::memory_order_release);
    captureUnit_ = nullptr;
    timePitchUnit_ = nullptr;
    ring_.reset();
}

RenderStats RenderPath::stats() const {
    return hal::snapshotOf<RenderCounts>(counts_);
}

hal::OSStatus RenderPath::capture(void* path, hal::AudioUnitRenderActionFlags* flags,
                                  const hal::AudioTimeStamp* time, hal::UInt32 /*bus*/,
                                  hal::UInt32 frames, hal::AudioBufferList* /*data*/) {
    return static_cast<RenderPath*>(path)->captureBlock(flags, time, frames);
}

hal::OSStatus RenderPath::feedTimePitch(void* path, hal::AudioUnitRenderActionFlags* flags,
                                        const hal::AudioTimeStamp* /*time*/, hal::UInt32 /*bus*/,
                                        hal::UInt32 frames, hal::AudioBufferList* data) {
    return static_cast<RenderPath*>(path)->feedBlock(flags, frames, data);
}

hal::OSStatus RenderPath::play(void* path, hal::AudioUnitRenderActionFlags* /*flags*/,
                               const hal::AudioTimeStamp* time, hal::UInt32 /*bus*/,
                               hal::UInt32 frames, hal::AudioBufferList* data) {
    return static_cast<RenderPath*>(path)->playBlock(time, frames, data);
}

hal::OSStatus RenderPath::captureBlock(hal::AudioUnitRenderActionFlags* flags,
                                       const hal::AudioTimeStamp* time, hal::UInt32 frames) {
    if (!rendering_.load(std::memory_order_acquire) || captureUnit_ == nullptr) {
        return hal::noErr;
    }
    if (frames > scratch_.maxCaptureFrames()) {
        return hal::kAudioUnitErr_TooManyFramesToProcess;
    }
    float* samples = scratch_.captured.data();
    const auto count = hal::stereoSamples<std::size_t>(frames);
    hal::AudioBufferListStorage<1> list;
    list.mBuffers[0] = {hal::kStereoChannels, hal::floatBytes(frames, hal::kStereoChannels),
                        samples};
    if (const auto status = hal::AudioUnitRender(captureUnit_, flags, time, 1, frames, list.list());
        status != hal::noErr) {
        return status;
    }
    silenceNonFinite(samples, count);
    levels_.push(rawLevel(samples, frames));
    if (!captureToppedUp_.load(std::memory_order_relaxed)) {
        captureToppedUp_.store(true, std::memory_order_relaxed);
        topUpToLookahead();
    }
    ring_->write({samples, count});
    return hal::noErr;
}

// Where the reader started on the pre-filled silence before the first capture arrived, what it
// took by then would be missing from the lookahead for good (the trim needs a minute for it,
// running flat meanwhile): the silence is topped up to the lookahead first, before any real
// audio.
void RenderPath::topUpToLookahead() {
    if (!readerStarted_.load(std::memory_order_acquire)) {
        return;
    }
    static constexpr std::array<float, 1024> kSilence{};
    for (std::int64_t missing = resyncFillSamples_ - ring_->count(); missing > 0;
         missing -= static_cast<std::int64_t>(kSilence.size())) {
        ring_->write({kSilence.data(),
                      static_cast<std::size_t>(std::min<std::int64_t>(missing, kSilence.size()))});
    }
}

hal::OSStatus RenderPath::feedBlock(hal::AudioUnitRenderActionFlags* flags, hal::UInt32 frames,
                                    hal::AudioBufferList* data) {
    if (!rendering_.load(std::memory_order_acquire) || data == nullptr) {
        *flags = hal::kAudioUnitRenderAction_OutputIsSilence;
        return hal::noErr;
    }
    AudioRingBuffer& ring = *ring_;
    const bool canWrite = data->mNumberBuffers >= 2 && data->mBuffers[0].mData != nullptr &&
                          data->mBuffers[1].mData != nullptr;  // NOLINT: variable-length list
    auto* left = canWrite ? static_cast<float*>(data->mBuffers[0].mData) : nullptr;
    auto* right = canWrite ? static_cast<float*>(data->mBuffers[1].mData) : nullptr;  // NOLINT

    // A full buffer means the writer has lapped us (a stall, a late start): rather than play
    // audio half a second old and lose a block to every capture from now on, jump back to
    // the lookahead once.
    if (ring.count() >= ring.capacity()) {
        counts_.overruns.fetch_add(1, std::memory_order_relaxed);
        dropLagToLookahead();
    }

    // After the ring ran dry (the capture side was late), reading on at an empty buffer makes a
    // string of short gaps while the trim takes a minute to refill it; waiting until it holds the
    // lookahead again makes one gap, and the margin is back at once.
    if (refilling_.load(std::memory_order_relaxed)) {
        if (ring.count() < resyncFillSamples_) {
            if (canWrite) {
                std::fill_n(left, frames, 0.0F);
                std::fill_n(right, frames, 0.0F);
            }
            *flags = hal::kAudioUnitRenderAction_OutputIsSilence;
            return hal::noErr;
        }
        refilling_.store(false, std::memory_order_relaxed);
        drift_.rebase();
        lagWatch_.framesWatched = 0;
    }

    // The unit asks for at most a slice; a larger request is served slice by slice.
    bool ranShort = false;
    readerStarted_.store(true, std::memory_order_release);
    float* feed = scratch_.timePitchFeed.data();
    for (hal::UInt32 done = 0; done < frames;) {
        const hal::UInt32 slice = std::min(frames - done, RenderScratch::kTimePitchSliceFrames);
        const auto wanted = hal::stereoSamples<std::int64_t>(slice);
        const std::int64_t got = ring.read(feed, wanted);
        ranShort = ranShort || got < wanted;
        if (canWrite) {
            // Whole frames read; what a short read left out (a half frame too) is silence.
            const std::int64_t present = hal::stereoFrames(std::max<std::int64_t>(got, 0));
            float* l = left + done;
            float* r = right + done;
            hal::deinterleaveStereo(feed, static_cast<std::size_t>(present), l, r);
            std::fill(l + present, l + slice, 0.0F);
            std::fill(r + present, r + slice, 0.0F);
        }
        done += slice;
    }
    if (ranShort) {
        *flags = hal::kAudioUnitRenderAction_OutputIsSilence;
        counts_.underruns.fetch_add(1, std::memory_order_relaxed);
        refilling_.store(true, std::memory_order_relaxed);
    }
    return hal::noErr;
}

hal::OSStatus RenderPath::playBlock(const hal::AudioTimeStamp* time, hal::UInt32 frames,
                                    hal::AudioBufferList* data) {
    if (!rendering_.load(std::memory_order_acquire)) {
        zeroBuffers(data);
        return hal::noErr;
    }
    hal::AudioUnit timePitch = timePitchUnit_;
    if (data == nullptr || timePitch == nullptr) {
        return hal::noErr;
    }
    auto* device = static_cast<float*>(data->mBuffers[0].mData);  // NOLINT: variable-length list
    const hal::UInt32 deviceFrames =
        std::min<hal::UInt32>(frames, hal::floatFrames(data->mBuffers[0].mDataByteSize,  // NOLINT
                                                       hal::kStereoChannels));
    const float gain = volume_.load(std::memory_order_relaxed);

    // The time-pitch unit renders at most one slice per call; a device that asks for more
    // gets its block in slices rather than silence.
    hal::AudioTimeStamp sliceTime = time != nullptr ? *time : hal::AudioTimeStamp{};
    for (hal::UInt32 done = 0; done < frames;) {
        const hal::UInt32 slice = std::min(frames - done, RenderScratch::kTimePitchSliceFrames);
        hal::AudioBufferListStorage<2> list;
        list.mBuffers[0] = {1, hal::floatBytes(slice), scratch_.left.data()};
        list.mBuffers[1] = {1, hal::floatBytes(slice), scratch_.right.data()};
        hal::AudioUnitRenderActionFlags flags = 0;
        if (hal::AudioUnitRender(timePitch, &flags, &sliceTime, 0, slice, list.list()) !=
            hal::noErr) {
            zeroBuffers(data);
            return hal::noErr;
        }
        if (device != nullptr) {
            const hal::UInt32 writable =
                done < deviceFrames ? std::min(slice, deviceFrames - done) : 0;
            interleaveClamped(scratch_.left.data(), scratch_.right.data(), gain, writable,
                              device + hal::stereoSamples<std::size_t>(done));
        }
        done += slice;
        sliceTime.mSampleTime += slice;
    }

    // Hold the lookahead against the two devices' clock drift by trimming the tempo.
    watchForLag(frames);
    const std::int64_t fill = hal::stereoFrames(ring_->count());
    counts_.ringFillFrames.store(fill, std::memory_order_relaxed);
    const double rate = drift_.update(fill, frames);
    hal::AudioUnitSetParameter(timePitch, hal::kNewTimePitchParam_Rate, hal::kAudioUnitScope_Global,
                               0, static_cast<float>(rate), 0);
    return hal::noErr;
}

// The trim wins back 2 ms a second at most: a lag of tens of milliseconds (the playback side
// stalled, the capture side delivered a backlog at once) would take it minutes. The lowest
// fill over a window tells a lasting lag from a capture burst that the next reads drain; past
// the threshold it goes at once, back to the lookahead.
void RenderPath::watchForLag(hal::UInt32 frames) {
    const std::int64_t fill = ring_->count();
    lagWatch_.lowestFill =
        lagWatch_.framesWatched == 0 ? fill : std::min(lagWatch_.lowestFill, fill);
    lagWatch_.framesWatched += frames;
    if (lagWatch_.framesWatched < lagWatch_.windowFrames) {
        return;
    }
    if (lagWatch_.lowestFill - resyncFillSamples_ > lagWatch_.thresholdSamples) {
        counts_.lagDrops.fetch_add(1, std::memory_order_relaxed);
        ring_->discardOldest(lagWatch_.lowestFill - resyncFillSamples_);
        drift_.rebase();
    }
    lagWatch_.framesWatched = 0;
}

void RenderPath::dropLagToLookahead() {
    ring_->discardOldest(ring_->count() - resyncFillSamples_);
    drift_.rebase();
    lagWatch_.framesWatched = 0;
}

}  // namespace brimo::audio
