#include <gtest/gtest.h>

#include <cstdio>

#include "integration/app_audio/AppAudioFixture.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

double millisecondsBetween(const HeardTone& earlier, const HeardTone& later) {
    return std::chrono::duration<double, std::milli>(later.heardAt - earlier.heardAt).count();
}

void report(const char* what, const HeardTone& onDevice, const HeardTone& onSpeakers,
            const audio::AudioEngineService::RenderStats& stats) {
    std::printf(
        "%s: %.3f Hz on speakers, level %.3f (peak %.3f), %zu disturbed periods in 1.5 s; heard on "
        "speakers "
        "%.0f ms after the device (10 ms polls); engine %llu underruns, %llu overruns\n",
        what, onSpeakers.frequencyHz, static_cast<double>(onSpeakers.peak),
        static_cast<double>(onSpeakers.overallPeak), onSpeakers.disturbedPeriods,
        millisecondsBetween(onDevice, onSpeakers), static_cast<unsigned long long>(stats.underruns),
        static_cast<unsigned long long>(stats.overruns));
}

// What the user hears: a tone any program plays into "Brimola Vetrix" comes out of the
// speakers unchanged in passthrough and re-tuned once the shift is switched on.
TEST_F(AppAudioTest, ToneArrivesOnSpeakersAt440ThenAt432AfterActivation) {
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));

    const auto passthrough = playTone({brimola, speakers}, 440.0);
    ASSERT_TRUE(passthrough[1].arrived) << "nothing arrived on the speakers' monitor";
    ASSERT_GT(passthrough[1].frequencyHz, 0.0) << "the tone arrived cut short";
    EXPECT_NEAR(passthrough[1].frequencyHz, 440.0, 0.1);
    // A fault in the path disturbs period after period (a lost chunk per cycle: ~90).
    EXPECT_LE(passthrough[1].disturbedPeriods, 20U) << "dropouts in passthrough";
    EXPECT_NEAR(passthrough[1].peak, 0.5F, 0.02F) << "passthrough changed the level";
    report("passthrough", passthrough[0], passthrough[1], manager->audioEngine().renderStats());

    manager->toggle();
    EXPECT_TRUE(manager->isActive().value());
    EXPECT_EQ(sounds.played, 1);
    // Ten glide steps of 100 ms.
    ASSERT_TRUE(pumpUntil([&] { return manager->targetFrequency().value() == 432.0; }, 3s));
    pumpFor(200ms);

    const auto active = playTone({brimola, speakers}, 432.0);
    ASSERT_TRUE(active[1].arrived) << "nothing arrived on the speakers' monitor";
    ASSERT_GT(active[1].frequencyHz, 0.0) << "the tone arrived cut short";
    EXPECT_NEAR(active[1].frequencyHz, 432.0, 0.1);
    EXPECT_LE(active[1].disturbedPeriods, 20U) << "dropouts while shifting";
    EXPECT_NEAR(active[1].peak, 0.5F, 0.1F);
    report("active", active[0], active[1], manager->audioEngine().renderStats());
}

}  // namespace
}  // namespace brimo::testing
