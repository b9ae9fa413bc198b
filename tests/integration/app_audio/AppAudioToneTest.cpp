#include <gtest/gtest.h>

#include <cstdio>

#include "audio/engine/DriftCorrector.h"
#include "integration/app_audio/AppAudioFixture.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

// A third of the periods in the 1.5 s judged.
constexpr std::size_t kBrokenPath = 200;

double millisecondsBetween(const HeardTone& earlier, const HeardTone& later) {
    return std::chrono::duration<double, std::milli>(later.heardAt - earlier.heardAt).count();
}

void report(const char* what, const HeardTone& onDevice, const HeardTone& onSpeakers,
            audio::AudioEngineService& engine, const hal::pulse::PulseAudioBackend& backend) {
    const auto streams = backend.statistics();
    const auto stats = engine.renderStats();
    const auto drift = engine.driftSnapshot();
    std::printf(
        "%s: %.3f Hz on speakers, level %.3f (peak %.3f), %zu disturbed periods in 1.5 s; heard on "
        "speakers "
        "%.0f ms after the device (10 ms polls); engine %llu underruns, %llu overruns; drift "
        "rate %.5f, fill error %.1f ms (%.1f ... %.1f); streams: %llu underruns, %llu overruns, "
        "%llu hole frames\n",
        what, onSpeakers.frequencyHz, static_cast<double>(onSpeakers.level),
        static_cast<double>(onSpeakers.overallPeak), onSpeakers.disturbedPeriods,
        millisecondsBetween(onDevice, onSpeakers), static_cast<unsigned long long>(stats.underruns),
        static_cast<unsigned long long>(stats.overruns), drift.rate, drift.fillErrorSeconds * 1e3,
        drift.minFillErrorSeconds * 1e3, drift.maxFillErrorSeconds * 1e3,
        static_cast<unsigned long long>(streams.playbackUnderruns),
        static_cast<unsigned long long>(streams.captureOverruns),
        static_cast<unsigned long long>(streams.captureHoleFrames));
}

// What the user hears: a tone any program plays into "Brimola Vetrix" comes out of the
// speakers unchanged in passthrough and re-tuned once the shift is switched on.
TEST_F(AppAudioTest, ToneArrivesOnSpeakersAt440ThenAt432AfterActivation) {
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));

    const auto passthrough = playTone({brimola, speakers}, 440.0);
    ASSERT_TRUE(passthrough[1].arrived) << "nothing arrived on the speakers' monitor";
    ASSERT_GT(passthrough[1].frequencyHz, 0.0) << "the tone arrived cut short";
    // Passthrough only resamples at the clock trim and carries its pitch: up to the trim's
    // largest while the engine wins back its start's lag, a few cents, far from the shift's 32.
    EXPECT_NEAR(passthrough[1].frequencyHz, 440.0, 440.0 * audio::DriftCorrector::kMaxTrim + 0.1);
    // Dropouts are figures to report: a loaded machine starves the servers' and the engine's
    // threads now and then. A broken path disturbs period after period.
    EXPECT_LT(passthrough[1].disturbedPeriods, kBrokenPath) << "dropouts in passthrough";
    EXPECT_NEAR(passthrough[1].level, 0.5F, 0.05F) << "passthrough changed the level";
    report("passthrough", passthrough[0], passthrough[1], manager->audioEngine(), *backend);

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
    EXPECT_LT(active[1].disturbedPeriods, kBrokenPath) << "dropouts while shifting";
    EXPECT_NEAR(active[1].level, 0.5F, 0.1F);
    report("active", active[0], active[1], manager->audioEngine(), *backend);
}

}  // namespace
}  // namespace brimo::testing
