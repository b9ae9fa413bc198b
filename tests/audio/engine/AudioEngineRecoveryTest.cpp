#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/engine/EngineTestFixture.h"

using brimo::testing::EngineTest;
using brimo::testing::toneFrequency;
namespace audio = brimo::audio;
namespace sim = brimo::hal::sim;

namespace {

class EngineRecoveryTest : public EngineTest {
  protected:
    EngineRecoveryTest() {
        subscription_ = engine_->deviceIOLost().subscribe(
            [this](const audio::AudioEngineService::DeviceIOLost& lost) { lost_.push_back(lost); });
    }

    // The engine hears of a death on a backend thread, judges it on its queue and reports it
    // on the main queue.
    void deliver() {
        engine_->waitUntilIdle();
        main_.runUntilIdle();
    }

    std::vector<audio::AudioEngineService::DeviceIOLost> lost_;
    brimo::observable::Subscription subscription_;
};

TEST_F(EngineRecoveryTest, AStreamEndedUnderTheEngineStopsItHonestlyAndIsReportedOnce) {
    for (const bool output : {true, false}) {
        SCOPED_TRACE(output ? "playback" : "capture");
        lost_.clear();
        connectAndStart();
        ASSERT_TRUE(engine_->isRunning());
        clearLog();

        sim_->killDeviceIO(output ? kSpeakersID : kVirtualID);
        deliver();
        EXPECT_FALSE(engine_->isRunning());
        EXPECT_FALSE(sim_->isRunning(kSpeakersID)) << "no unit is left on either device";
        ASSERT_EQ(lost_.size(), 1U);
        EXPECT_EQ(lost_[0].isOutput, output);
        EXPECT_EQ(lost_[0].deviceID, output ? kSpeakersID : kVirtualID);
        const auto lines = logLines();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], std::string("⚠️ [STOP] ") +
                                (output ? "Output device 57" : "Input device 62") +
                                " stopped by the audio server");
        EXPECT_EQ(lines.back(), "✅ [STOP] Done");
    }
}

TEST_F(EngineRecoveryTest, TheEnginesOwnStopsAndRestartsAreNoNews) {
    connectAndStart();
    engine_->setOutputDevice(device(kSpeakersID, "Speakers"));  // a restart while running
    engine_->stop();
    deliver();
    sim_->removeDevice(kSpeakersID);  // after the stop, nobody is on it
    deliver();
    EXPECT_TRUE(lost_.empty());
}

TEST_F(EngineRecoveryTest, ANonFiniteSampleNeitherPoisonsTheLevelNorTheSound) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> garbage(2 * 4800, 0.3F);
    garbage[0] = nan;
    garbage[2] = inf;
    garbage[5] = -inf;
    connectAndStart();
    sim_->play(kVirtualID, sim::Signal::samples(garbage, 2));
    run(0.2);
    EXPECT_TRUE(std::isfinite(engine_->audioLevel().value()));

    sim_->play(kVirtualID, sim::Signal::tone(440.0, 0.5F));
    run(1.5);
    const float level = engine_->audioLevel().value();
    EXPECT_TRUE(std::isfinite(level));
    EXPECT_GT(level, 0.5F) << "the level follows the sound again";
    // Passthrough only resamples at the clock trim, whose pitch it carries.
    EXPECT_NEAR(toneFrequency(playedTail(0.5), 48000.0), 440.0 * engine_->driftSnapshot().rate,
                0.05)
        << "the pitch shifter still makes sound";
}

// A playback stall shorter than the ring buffer leaves a lag the trim would need minutes for;
// a longer one makes the capture side lap the reader. Either way the engine is back at its
// lookahead within a second, and a lag that the trim can win back is left to it.
TEST_F(EngineRecoveryTest, APlaybackStallLeavesNoLastingLag) {
    struct Case {
        double stallSeconds;
        std::uint64_t lagDrops;
        std::uint64_t overruns;
    };
    for (const Case c : {Case{0.3, 1, 0}, Case{0.75, 0, 1}, Case{0.012, 0, 0}}) {
        SCOPED_TRACE(c.stallSeconds);
        engine_->stop();
        sim_->play(kVirtualID, sim::Signal::tone(440.0, 0.5F));
        connectAndStart();
        run(2.0);
        sim_->stallDeviceIO(kSpeakersID, c.stallSeconds);
        // The lag goes within two watch windows of the stall, close to its gap, not a second on.
        run(c.stallSeconds + 0.55);
        const auto stats = engine_->renderStats();
        EXPECT_EQ(stats.lagDrops, c.lagDrops);
        EXPECT_EQ(stats.overruns, c.overruns);
        run(1.45);
        EXPECT_LT(std::abs(engine_->driftSnapshot().fillErrorSeconds), 0.012)
            << "back at the lookahead, give or take the trim's own settling";
        EXPECT_NEAR(toneFrequency(playedTail(0.5), 48000.0), 440.0 * engine_->driftSnapshot().rate,
                    0.05)
            << "passthrough carries the trim's own pitch, no more";
    }
}

// The capture side's first audio comes a moment after the reader started on the pre-filled
// silence. The lookahead is whole all the same, from the start: not short by that moment for
// the minute the trim would need, running flat all the while.
TEST_F(EngineRecoveryTest, ALateFirstCaptureLeavesTheLookaheadWhole) {
    sim_->play(kVirtualID, sim::Signal::tone(440.0, 0.5F));
    connectAndStart();
    sim_->stallDeviceIO(kVirtualID, 0.03);
    run(1.5);
    EXPECT_LT(std::abs(engine_->driftSnapshot().fillErrorSeconds), 0.004);
    EXPECT_EQ(engine_->renderStats().underruns, 0U);
}

// A late capture side empties the ring buffer. The engine then waits for the lookahead before
// it plays on: one gap, after which the margin is whole again, instead of reading on at an
// empty buffer where every small delay is another gap.
TEST_F(EngineRecoveryTest, ACaptureStallMakesOneGapAndTheLookaheadComesBack) {
    sim_->play(kVirtualID, sim::Signal::tone(440.0, 0.5F));
    connectAndStart();
    run(2.0);
    const std::size_t before = sim_->recording(kSpeakersID).channel(0).size();
    sim_->stallDeviceIO(kVirtualID, 0.2);
    run(1.2);
    EXPECT_GE(engine_->renderStats().underruns, 1U);
    EXPECT_LT(std::abs(engine_->driftSnapshot().fillErrorSeconds), 0.012)
        << "the margin is back within a second, not after the trim's minute";

    const auto left = sim_->recording(kSpeakersID).channel(0);
    const std::vector<float> after(left.begin() + static_cast<std::ptrdiff_t>(before), left.end());
    // Runs of silence longer than a tone period: the gap.
    std::size_t gaps = 0;
    std::size_t quiet = 0;
    for (const float sample : after) {
        quiet = std::fabs(sample) < 1e-6F ? quiet + 1 : 0;
        gaps += quiet == 200 ? 1 : 0;
    }
    EXPECT_EQ(gaps, 1U);
    EXPECT_NEAR(toneFrequency(playedTail(0.5), 48000.0), 440.0 * engine_->driftSnapshot().rate,
                0.05);
}

}  // namespace
