#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/hal/AudioUnit.h"
#include "platform/hal/HalTestSupport.h"
#include "platform/hal/StreamFormat.h"

namespace brimo::hal::test {

// Left counts frames, right counts them down: any lost, repeated or swapped sample shows.
inline float ramp(UInt32 channel, SInt64 frame, double /*rate*/) {
    const auto v = static_cast<float>(frame % 4096) / 4096.0F;
    return channel == 0 ? v : -v;
}

// A HAL output unit bound to `device` that plays what `render` writes in `format`.
inline AudioUnit newPlaybackUnit(AudioDeviceID device, const AudioStreamBasicDescription& format,
                                 const AURenderCallbackStruct& render) {
    AudioUnit unit = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(halOutputComponent(), &unit), noErr);
    expectSet(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device);
    expectSet(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Input, 0, format);
    expectSet(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input, 0, render);
    return unit;
}

// A HAL output unit that captures from `device` in `format`, its input callback `input`.
inline AudioUnit newCaptureUnit(AudioDeviceID device, const AudioStreamBasicDescription& format,
                                const AURenderCallbackStruct& input) {
    AudioUnit unit = nullptr;
    EXPECT_EQ(AudioComponentInstanceNew(halOutputComponent(), &unit), noErr);
    expectSet(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Input, 1, UInt32{1});
    expectSet(unit, kAudioOutputUnitProperty_EnableIO, kAudioUnitScope_Output, 0, UInt32{0});
    expectSet(unit, kAudioOutputUnitProperty_CurrentDevice, kAudioUnitScope_Global, 0, device);
    expectSet(unit, kAudioUnitProperty_StreamFormat, kAudioUnitScope_Output, 1, format);
    expectSet(unit, kAudioOutputUnitProperty_SetInputCallback, kAudioUnitScope_Global, 0, input);
    return unit;
}

inline OSStatus initializeAndStart(AudioUnit unit) {
    if (const OSStatus s = AudioUnitInitialize(unit); s != noErr) {
        return s;
    }
    return AudioOutputUnitStart(unit);
}

// A HAL output unit set up the way the engine sets up its playback unit: bound to a device,
// fed by a render callback that writes `next(channel, frame)` for each client frame.
class PlaybackHarness {
  public:
    using Source = float (*)(UInt32 channel, SInt64 frame, double rate);

    PlaybackHarness(AudioDeviceID device, AudioStreamBasicDescription format, Source source)
        : unit(newPlaybackUnit(device, format, {&PlaybackHarness::render, this})),
          format_(format),
          source_(source) {}
    ~PlaybackHarness() { AudioComponentInstanceDispose(unit); }

    OSStatus start() { return initializeAndStart(unit); }

    AudioUnit unit = nullptr;
    std::atomic<UInt32> largestRequest{0};
    std::atomic<UInt32> calls{0};

  private:
    static OSStatus render(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*,
                           UInt32 bus, UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<PlaybackHarness*>(refCon);
        EXPECT_EQ(bus, 0U);
        self->largestRequest.store(std::max(self->largestRequest.load(), frames));
        self->calls.fetch_add(1);
        const UInt32 channels = self->format_.mChannelsPerFrame;
        const double rate = self->format_.mSampleRate;
        for (UInt32 f = 0; f < frames; ++f) {
            for (UInt32 c = 0; c < channels; ++c) {
                const float v = self->source_(c, self->frame_ + f, rate);
                if (isNonInterleaved(self->format_)) {
                    static_cast<float*>(data->mBuffers[c].mData)[f] = v;
                } else {
                    static_cast<float*>(data->mBuffers[0].mData)[f * channels + c] = v;
                }
            }
        }
        self->frame_ += frames;
        return noErr;
    }

    AudioStreamBasicDescription format_;
    Source source_;
    SInt64 frame_ = 0;
};

// A HAL output unit set up the way the engine sets up its capture unit; its input callback
// pulls every block with AudioUnitRender on bus 1 and keeps it.
class CaptureHarness {
  public:
    CaptureHarness(AudioDeviceID device, AudioStreamBasicDescription format)
        : format_(format), scratch_(1U << 16U) {
        unit = newCaptureUnit(device, format, {&CaptureHarness::input, this});
    }
    ~CaptureHarness() { AudioComponentInstanceDispose(unit); }

    OSStatus start() { return initializeAndStart(unit); }

    // Interleaved, whatever the client format; guarded by `mutex` while the unit runs.
    std::mutex mutex;
    std::vector<float> captured;
    std::vector<UInt32> blockSizes;
    OSStatus lastStatus = noErr;
    UInt32 extraFramesAsked = 0;  // ask for more frames than offered, to see it refused
    AudioUnit unit = nullptr;

  private:
    static OSStatus input(void* refCon, AudioUnitRenderActionFlags* flags,
                          const AudioTimeStamp* time, UInt32 bus, UInt32 frames,
                          AudioBufferList* data) {
        auto* self = static_cast<CaptureHarness*>(refCon);
        EXPECT_EQ(bus, 1U);
        EXPECT_EQ(data, nullptr);
        self->blockSizes.push_back(frames);
        const UInt32 channels = self->format_.mChannelsPerFrame;
        const bool planar = isNonInterleaved(self->format_);
        AudioBufferListStorage<kMaxUnitChannels> list;
        list.mNumberBuffers = planar ? channels : 1;
        for (UInt32 b = 0; b < list.mNumberBuffers; ++b) {
            list.mBuffers[b] = {planar ? 1 : channels, (planar ? 1 : channels) * frames * 4U,
                                self->scratch_.data() + b * frames * (planar ? 1 : channels)};
        }
        self->lastStatus = AudioUnitRender(self->unit, flags, time, 1,
                                           frames + self->extraFramesAsked, list.list());
        if (self->lastStatus != noErr) {
            return self->lastStatus;
        }
        const std::lock_guard guard(self->mutex);
        for (UInt32 f = 0; f < frames; ++f) {
            for (UInt32 c = 0; c < channels; ++c) {
                self->captured.push_back(planar ? self->scratch_[c * frames + f]
                                                : self->scratch_[f * channels + c]);
            }
        }
        return noErr;
    }

    AudioStreamBasicDescription format_;
    std::vector<float> scratch_;
};

// The engine's shape without its parts: capture from one device into a fixed ring and play the
// ring on another 100 ms later. Nothing in its callbacks allocates, locks or waits, so whatever
// a count of allocations finds comes from the units and the backend.
class LoopbackChain {
  public:
    static constexpr std::size_t kPrefill = 9600;  // samples: 100 ms of stereo at 48 kHz

    LoopbackChain(AudioDeviceID from, AudioDeviceID to, double unitRate = 48000.0)
        : capture_(newCaptureUnit(from, floatStreamFormat(unitRate, 2, true),
                                  {&LoopbackChain::input, this})),
          playback_(newPlaybackUnit(to, floatStreamFormat(unitRate, 2, false),
                                    {&LoopbackChain::output, this})) {
        EXPECT_EQ(initializeAndStart(capture_), noErr);
        EXPECT_EQ(initializeAndStart(playback_), noErr);
    }
    ~LoopbackChain() {
        AudioComponentInstanceDispose(capture_);
        AudioComponentInstanceDispose(playback_);
    }

  private:
    static OSStatus input(void* refCon, AudioUnitRenderActionFlags* flags,
                          const AudioTimeStamp* time, UInt32, UInt32 frames, AudioBufferList*) {
        auto* self = static_cast<LoopbackChain*>(refCon);
        AudioBufferListStorage<1> list;
        list.mBuffers[0] = {2, frames * 8U, self->scratch_.data()};
        const OSStatus s = AudioUnitRender(self->capture_, flags, time, 1, frames, list.list());
        std::size_t written = self->written_.load(std::memory_order_relaxed);
        for (UInt32 i = 0; s == noErr && i < 2 * frames; ++i) {
            self->ring_[written++ % self->ring_.size()] = self->scratch_[i];
        }
        self->written_.store(written, std::memory_order_release);
        return s;
    }

    static OSStatus output(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                           UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<LoopbackChain*>(refCon);
        auto* left = static_cast<float*>(data->mBuffers[0].mData);
        auto* right = static_cast<float*>(data->mBuffers[1].mData);
        const std::size_t written = self->written_.load(std::memory_order_acquire);
        for (UInt32 i = 0; i < frames && self->read_ < written; ++i) {
            left[i] = self->ring_[self->read_++ % self->ring_.size()];
            right[i] = self->ring_[self->read_++ % self->ring_.size()];
        }
        return noErr;
    }

    std::array<float, 1U << 16U> ring_{};
    std::atomic<std::size_t> written_{kPrefill};
    std::size_t read_ = 0;  // the playback thread's alone
    std::array<float, 16384> scratch_{};
    AudioUnit capture_;
    AudioUnit playback_;
};

}  // namespace brimo::hal::test
