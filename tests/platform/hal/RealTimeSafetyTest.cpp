#include <gtest/gtest.h>

#include <memory>

#include "platform/hal/UnitHarness.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/AllocationCounter.h"
#include "support/ToneAnalysis.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;

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
    const test::LoopbackChain chain(vetrix, speakers, 48000.0);
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
