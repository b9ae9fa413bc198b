// The engine's real-time callbacks. They allocate nothing, log nothing, take no lock and wait on
// nothing; everything they need was taken at start.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "audio/engine/AudioEngineService.h"
#include "platform/hal/SampleLayout.h"

namespace brimo::audio {
namespace {

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

// Mean absolute left-channel amplitude over the first 64 frames; shorter blocks still divide by
// 64, so a short block reads quieter.
float rawLevel(const float* interleaved, hal::UInt32 frames) {
    const hal::UInt32 limit = (frames > 64 ? 64 : frames) * hal::kStereoChannels;
    float sum = 0.0F;
    for (hal::UInt32 i = 0; i < limit; i += hal::kStereoChannels) {
        sum += std::fabs(interleaved[i]);
    }
    return sum * 0.015625F;
}

}  // namespace

hal::OSStatus AudioEngineService::inputCallback(void* engine,
                                                hal::AudioUnitRenderActionFlags* flags,
                                                const hal::AudioTimeStamp* time,
                                                hal::UInt32 /*bus*/, hal::UInt32 frames,
                                                hal::AudioBufferList* /*data*/) {
    return static_cast<AudioEngineService*>(engine)->captureBlock(flags, time, frames);
}

hal::OSStatus AudioEngineService::timePitchInputProc(void* engine,
                                                     hal::AudioUnitRenderActionFlags* flags,
                                                     const hal::AudioTimeStamp* /*time*/,
                                                     hal::UInt32 /*bus*/, hal::UInt32 frames,
                                                     hal::AudioBufferList* data) {
    return static_cast<AudioEngineService*>(engine)->feedTimePitch(flags, frames, data);
}

hal::OSStatus AudioEngineService::outputCallback(void* engine,
                                                 hal::AudioUnitRenderActionFlags* /*flags*/,
                                                 const hal::AudioTimeStamp* time,
                                                 hal::UInt32 /*bus*/, hal::UInt32 frames,
                                                 hal::AudioBufferList* data) {
    return static_cast<AudioEngineService*>(engine)->playBlock(time, frames, data);
}

hal::OSStatus AudioEngineService::captureBlock(hal::AudioUnitRenderActionFlags* flags,
                                               const hal::AudioTimeStamp* time,
                                               hal::UInt32 frames) {
    if (!isRunning_.load(std::memory_order_acquire) || isStopping_.load()) {
        return hal::noErr;
    }
    hal::AudioUnit unit = inputUnit_.load(std::memory_order_acquire);
    AudioRingBuffer* ring = liveRingBuffer_.load(std::memory_order_acquire);
    if (unit == nullptr || ring == nullptr) {
        return hal::noErr;
    }
    if (frames > scratch_.maxCaptureFrames()) {
        return hal::kAudioUnitErr_TooManyFramesToProcess;
    }
    float* samples = scratch_.captured.data();
    hal::AudioBufferListStorage<1> list;
    list.mBuffers[0] = {hal::kStereoChannels, frames * hal::kBytesPerStereoFrame, samples};
    if (const auto status = hal::AudioUnitRender(unit, flags, time, 1, frames, list.list());
        status != hal::noErr) {
        return status;
    }
    silenceNonFinite(samples, hal::kStereoChannels * static_cast<std::size_t>(frames));
    levels_.push(rawLevel(samples, frames));
    // Where the reader started on the pre-filled silence before the first capture arrived,
    // what it took by then would be missing from the lookahead for good (the trim needs a
    // minute for it, running flat meanwhile): the silence is topped up to the lookahead first,
    // before any real audio.
    if (!captureToppedUp_.load(std::memory_order_relaxed)) {
        captureToppedUp_.store(true, std::memory_order_relaxed);
        if (readerStarted_.load(std::memory_order_acquire)) {
            static constexpr std::array<float, 1024> kSilence{};
            for (std::int64_t missing =
                     resyncFillSamples_.load(std::memory_order_relaxed) - ring->count();
                 missing > 0; missing -= static_cast<std::int64_t>(kSilence.size())) {
                ring->write({kSilence.data(), static_cast<std::size_t>(std::min<std::int64_t>(
                                                  missing, kSilence.size()))});
            }
        }
    }
    ring->write({samples, hal::kStereoChannels * static_cast<std::size_t>(frames)});
    return hal::noErr;
}

hal::OSStatus AudioEngineService::feedTimePitch(hal::AudioUnitRenderActionFlags* flags,
                                                hal::UInt32 frames, hal::AudioBufferList* data) {
    AudioRingBuffer* ring = liveRingBuffer_.load(std::memory_order_acquire);
    if (!isRunning_.load(std::memory_order_acquire) || isStopping_.load() || data == nullptr ||
        ring == nullptr) {
        *flags = hal::kAudioUnitRenderAction_OutputIsSilence;
        return hal::noErr;
    }
    const bool canWrite = data->mNumberBuffers >= 2 && data->mBuffers[0].mData != nullptr &&
                          data->mBuffers[1].mData != nullptr;  // NOLINT: variable-length list
    auto* left = canWrite ? static_cast<float*>(data->mBuffers[0].mData) : nullptr;
    auto* right = canWrite ? static_cast<float*>(data->mBuffers[1].mData) : nullptr;  // NOLINT

    // A full buffer means the writer has lapped us (a stall, a late start): rather than play
    // audio half a second old and lose a block to every capture from now on, jump back to
    // the lookahead once.
    if (ring->count() >= ring->capacity()) {
        overruns_.fetch_add(1, std::memory_order_relaxed);
        dropLagTo(*ring, resyncFillSamples_.load(std::memory_order_relaxed));
    }

    // After the ring ran dry (the capture side was late), reading on at an empty buffer makes a
    // string of short gaps while the trim takes a minute to refill it; waiting until it holds the
    // lookahead again makes one gap, and the margin is back at once.
    if (refilling_.load(std::memory_order_relaxed)) {
        if (ring->count() < resyncFillSamples_.load(std::memory_order_relaxed)) {
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
        const std::int64_t wanted = hal::kStereoChannels * static_cast<std::int64_t>(slice);
        const std::int64_t got = ring->read(feed, wanted);
        ranShort = ranShort || got < wanted;
        if (canWrite) {
            // Whole frames read; what a short read left out (a half frame too) is silence.
            const std::int64_t present =
                std::max<std::int64_t>(got, 0) / static_cast<std::int64_t>(hal::kStereoChannels);
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
        underruns_.fetch_add(1, std::memory_order_relaxed);
        refilling_.store(true, std::memory_order_relaxed);
    }
    return hal::noErr;
}

hal::OSStatus AudioEngineService::playBlock(const hal::AudioTimeStamp* time, hal::UInt32 frames,
                                            hal::AudioBufferList* data) {
    if (!isRunning_.load(std::memory_order_acquire) || isStopping_.load()) {
        zeroBuffers(data);
        return hal::noErr;
    }
    hal::AudioUnit timePitch = timePitchUnit_.load(std::memory_order_acquire);
    if (data == nullptr || timePitch == nullptr) {
        return hal::noErr;
    }
    auto* device = static_cast<float*>(data->mBuffers[0].mData);  // NOLINT: variable-length list
    const hal::UInt32 deviceFrames =
        std::min<hal::UInt32>(frames, data->mBuffers[0].mDataByteSize /  // NOLINT
                                          hal::kBytesPerStereoFrame);
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
                              device + hal::kStereoChannels * static_cast<std::size_t>(done));
        }
        done += slice;
        sliceTime.mSampleTime += slice;
    }

    // Hold the lookahead against the two devices' clock drift by trimming the tempo.
    if (AudioRingBuffer* ring = liveRingBuffer_.load(std::memory_order_acquire)) {
        watchForLag(*ring, frames);
        const std::int64_t fill = ring->count();
        ringFillSamples_.store(fill, std::memory_order_relaxed);
        const double rate = drift_.update(fill / hal::kStereoChannels, frames);
        hal::AudioUnitSetParameter(timePitch, hal::kNewTimePitchParam_Rate,
                                   hal::kAudioUnitScope_Global, 0, static_cast<float>(rate), 0);
    }
    return hal::noErr;
}

// The trim wins back 2 ms a second at most: a lag of tens of milliseconds (the playback side
// stalled, the capture side delivered a backlog at once) would take it minutes. The lowest
// fill over a window tells a lasting lag from a capture burst that the next reads drain; past
// the threshold it goes at once, back to the lookahead.
void AudioEngineService::watchForLag(AudioRingBuffer& ring, hal::UInt32 frames) {
    const std::int64_t fill = ring.count();
    lagWatch_.lowestFill =
        lagWatch_.framesWatched == 0 ? fill : std::min(lagWatch_.lowestFill, fill);
    lagWatch_.framesWatched += frames;
    if (lagWatch_.framesWatched < lagWatch_.windowFrames) {
        return;
    }
    const std::int64_t target = resyncFillSamples_.load(std::memory_order_relaxed);
    if (lagWatch_.lowestFill - target > lagWatch_.thresholdSamples) {
        lagDrops_.fetch_add(1, std::memory_order_relaxed);
        ring.discardOldest(lagWatch_.lowestFill - target);
        drift_.rebase();
    }
    lagWatch_.framesWatched = 0;
}

void AudioEngineService::dropLagTo(AudioRingBuffer& ring, std::int64_t targetSamples) {
    ring.discardOldest(ring.count() - targetSamples);
    drift_.rebase();
    lagWatch_.framesWatched = 0;
}

}  // namespace brimo::audio
