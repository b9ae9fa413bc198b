#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio/effects/SoundEffectService.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

using brimo::audio::SoundEffectService;
using Lines = std::vector<std::string>;
namespace sim = brimo::hal::sim;

namespace {

const std::filesystem::path kResources = BRIMO_SOURCE_RESOURCES_DIR;

class SoundEffectServiceTest : public ::testing::Test {
  protected:
    std::unique_ptr<SoundEffectService> makeService(const std::filesystem::path& resources) {
        return std::make_unique<SoundEffectService>(SoundEffectService::Options{
            &main_, brimo::resources::ResourceBundle(resources), console_.writer()});
    }

    brimo::dispatch::VirtualTimeMainQueue main_;
    sim::ScopedSimulatedBackend sim_;
    const brimo::hal::AudioDeviceID speakers_ =
        sim_->addDevice(sim::DeviceConfig::speakers("Speakers", "spk"));
    brimo::testing::LineCollector console_;
};

}  // namespace

TEST_F(SoundEffectServiceTest, PlaysTheClickOnTheDefaultOutputAtSevenTenths) {
    auto service = makeService(kResources);
    EXPECT_EQ(console_.take(),
              (Lines{"[SoundEffect] ✅ Loaded ON.wav from: " + (kResources / "ON.wav").string(),
                     "[SoundEffect] ✅ Loaded OFF.wav from: " + (kResources / "OFF.wav").string()}));

    service->playActivationSound();
    EXPECT_EQ(console_.take(), (Lines{"[SoundEffect] 🔊 playActivationSound() called",
                                      "[SoundEffect] 🔊 ON sound play result: true"}));
    sim_->advanceSeconds(0.2);

    const auto played = sim_->recording(speakers_).samples;
    const auto& clip = service->onSound()->samples();
    ASSERT_EQ(service->onSound()->channels(), 2U);
    const auto first = std::find_if(played.begin(), played.end(), [](float s) { return s != 0; });
    ASSERT_NE(first, played.end());
    const auto offset = static_cast<std::size_t>(first - played.begin());
    std::size_t firstNonZero = 0;
    while (clip[firstNonZero] == 0.0F) {
        ++firstNonZero;
    }
    ASSERT_GE(played.size() - offset + firstNonZero, clip.size());
    for (std::size_t i = firstNonZero; i < clip.size(); ++i) {
        ASSERT_FLOAT_EQ(played[offset - firstNonZero + i], clip[i] * 0.7F) << i;
    }

    // Once the click is over its unit is released and the device goes idle.
    EXPECT_FALSE(service->onSound()->isPlaying());
    main_.advanceBy(std::chrono::milliseconds(400));
    EXPECT_FALSE(sim_->isRunning(speakers_));
}

TEST_F(SoundEffectServiceTest, ASecondPressRestartsItsOwnClickButNotTheOther) {
    auto service = makeService(kResources);
    service->playActivationSound();
    sim_->advanceSeconds(0.03);
    service->playDeactivationSound();
    EXPECT_TRUE(service->onSound()->isPlaying());
    service->playActivationSound();
    console_.take();
    // 110 ms after the first press the first click would be over; restarted, it is not.
    sim_->advanceSeconds(0.08);
    EXPECT_TRUE(service->onSound()->isPlaying());
    EXPECT_TRUE(service->offSound()->isPlaying());  // the ON press left it alone
    sim_->advanceSeconds(0.05);
    EXPECT_FALSE(service->onSound()->isPlaying());
    EXPECT_FALSE(service->offSound()->isPlaying());
}

TEST_F(SoundEffectServiceTest, MissingFilesAndMissingOutputAreReportedOnly) {
    brimo::testing::TemporaryDirectory empty;
    auto service = makeService(empty.path());
    EXPECT_EQ(console_.take(), (Lines{"[SoundEffect] ❌ ON.wav not found in bundle",
                                      "[SoundEffect] ❌ OFF.wav not found in bundle"}));
    service->playActivationSound();
    service->playDeactivationSound();
    EXPECT_EQ(console_.take(), (Lines{"[SoundEffect] 🔊 playActivationSound() called",
                                      "[SoundEffect] ❌ ON sound not loaded",
                                      "[SoundEffect] 🔊 playDeactivationSound() called",
                                      "[SoundEffect] ❌ OFF sound not loaded"}));

    sim_->removeDevice(speakers_);
    auto withFiles = makeService(kResources);
    console_.take();
    withFiles->playDeactivationSound();
    EXPECT_EQ(console_.take(), (Lines{"[SoundEffect] 🔊 playDeactivationSound() called",
                                      "[SoundEffect] 🔊 OFF sound play result: false"}));
}
