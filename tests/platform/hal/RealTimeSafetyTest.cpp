#include <gtest/gtest.h>

#include <array>
#include <memory>

#include "platform/hal/UnitHarness.h"
#include "platform/hal/sim/SimulatedAudioBackend.h"
#include "support/AllocationCounter.h"
#include "support/ToneAnalysis.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;

// Capture → a fixed ring → playback, with nothing in the callbacks that could allocate, so
// that whatever is counted comes from the units and the backend.
struct FixedChain {
    std::array<float, 1U << 16U> ring{};
    std::size_t written = 9600;  // 100 ms of silence ahead
    std::size_t read = 0;
    std::array<float, 16384> scratch{};
    AudioUnit capture;
    AudioUnit playback;

    static OSStatus input(void* refCon, AudioUnitRenderActionFlags* flags,
                          const AudioTimeStamp* time, UInt32, UInt32 frames, AudioBufferList*) {
        auto* self = static_cast<FixedChain*>(refCon);
        AudioBufferListStorage<1> list;
        list.mBuffers[0] = {2, frames * 8U, self->scratch.data()};
        const OSStatus s = AudioUnitRender(self->capture, flags, time, 1, frames, list.list());
        for (UInt32 i = 0; s == noErr && i < 2 * frames; ++i) {
            self->ring[self->written++ % self->ring.size()] = self->scratch[i];
        }
        return s;
    }

    static OSStatus output(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                           UInt32 frames, AudioBufferList* data) {
        auto* self = static_cast<FixedChain*>(refCon);
        auto* left = static_cast<float*>(data->mBuffers[0].mData);
        auto* right = static_cast<float*>(data->mBuffers[1].mData);
        for (UInt32 i = 0; i < frames && self->read < self->written; ++i) {
            left[i] = self->ring[self->read++ % self->ring.size()];
            right[i] = self->ring[self->read++ % self->ring.size()];
        }
        return noErr;
    }

    FixedChain(AudioDeviceID from, AudioDeviceID to, double unitRate)
        : capture(test::newCaptureUnit(from, floatStreamFormat(unitRate, 2, true),
                                       {&FixedChain::input, this})),
          playback(test::newPlaybackUnit(to, floatStreamFormat(unitRate, 2, false),
                                         {&FixedChain::output, this})) {
        EXPECT_EQ(test::initializeAndStart(capture), noErr);
        EXPECT_EQ(test::initializeAndStart(playback), noErr);
    }
    ~FixedChain() {
        AudioComponentInstanceDispose(capture);
        AudioComponentInstanceDispose(playback);
    }
    FixedChain(const FixedChain&) = delete;
    FixedChain& operator=(const FixedChain&) = delete;
    FixedChain(FixedChain&&) = delete;
    FixedChain& operator=(FixedChain&&) = delete;
};

// The devices run at 44.1 kHz and the units at 48 kHz, so both conversions are in the path.
TEST(RealTimeSafety, SteadyIOAllocatesNothingEvenWhileConverting) {
    const sim::ScopedSimulatedBackend sim;
    auto loop = DeviceConfig::loopbackDevice("Vetrix", "v");
    loop.nominalSampleRate = 44100.0;
    auto out = DeviceConfig::speakers("Speakers", "s");
    out.nominalSampleRate = 44100.0;
    out.driftPpm = 50.0;
    const AudioDeviceID vetrix = sim->addDevice(loop);
    const AudioDeviceID speakers = sim->addDevice(out);
    sim->play(vetrix, sim::Signal::tone(440.0, 0.5F));
    const FixedChain chain(vetrix, speakers, 48000.0);
    sim->advanceSeconds(0.2);

    {
        const brimo::testing::CountedAllocations selfCheck;
        const auto probe = std::make_unique<int>(1);
        ASSERT_EQ(selfCheck.count(), 1U) << "the counter sees allocations";
    }
    std::uint64_t allocations = 0;
    {
        const brimo::testing::CountedAllocations counted;
        sim->advanceSeconds(1.0);
        allocations = counted.count();
    }
    EXPECT_EQ(allocations, 0U);
    const auto left = brimo::testing::channel(sim->recording(speakers).samples, 0, 2);
    EXPECT_NEAR(brimo::testing::toneFrequency(brimo::testing::slice(left, 22050, 22050), 44100.0),
                440.0, 0.001)
        << "through both conversions the tone keeps its pitch";
}

}  // namespace
}  // namespace brimo::hal
