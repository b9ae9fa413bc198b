#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "audio/devices/AudioDeviceService.h"
#include "audio/manager/SystemOutputRestorer.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::testing {
namespace {

namespace sim = hal::sim;

// A system with speakers, headphones and the virtual device as the output, and a restorer
// whose record lives in a private state folder.
class SystemOutputRestorerTest : public ::testing::Test {
  protected:
    SystemOutputRestorerTest() {
        speakers_ = sim_->addDevice(sim::DeviceConfig::speakers("Speakers", "speakers"));
        headphones_ = sim_->addDevice(sim::DeviceConfig::speakers("Headphones", "headphones"));
        brimola_ =
            sim_->addDevice(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix"));
        sim_->setDefaultOutputDevice(brimola_);
        sim_->waitForNotifications();
        devices_ = std::make_unique<audio::AudioDeviceService>(
            audio::AudioDeviceService::Options{&main_, console_.writer(), &center_});
    }

    audio::SystemOutputRestorer restorer(const std::filesystem::path& folder = {}) {
        return audio::SystemOutputRestorer(
            *devices_, {folder.empty() ? state_.path() / "brimolavetrix" : folder,
                        [this](std::string_view line) { log_.emplace_back(line); }});
    }
    std::optional<audio::AudioDevice> device(hal::AudioDeviceID id) const {
        return devices_->getDevice(id);
    }
    hal::AudioDeviceID defaultOutput() const { return devices_->getDefaultOutputDevice()->id; }

    dispatch::VirtualTimeMainQueue main_;
    sim::ScopedSimulatedBackend sim_;
    notification::NotificationCenter center_;
    LineCollector console_;
    TemporaryDirectory state_;
    std::unique_ptr<audio::AudioDeviceService> devices_;
    std::vector<std::string> log_;
    hal::AudioDeviceID speakers_ = 0;
    hal::AudioDeviceID headphones_ = 0;
    hal::AudioDeviceID brimola_ = 0;
};

TEST_F(SystemOutputRestorerTest, QuitHandsTheOutputToTheEnginesDeviceAndTheNextStartTakesItBack) {
    ASSERT_TRUE(restorer().handBackBeforeQuit(device(headphones_)));
    EXPECT_EQ(defaultOutput(), headphones_);
    ASSERT_EQ(log_.size(), 1U);
    EXPECT_EQ(log_[0],
              "🔊 [QUIT] System output moved from 'Brimola Vetrix' to 'Headphones' so the computer "
              "is not left silent");

    ASSERT_TRUE(restorer().restoreAfterStart());
    EXPECT_EQ(defaultOutput(), brimola_);
    EXPECT_EQ(log_.back(),
              "🔊 [RESTORE] System output moved back to 'Brimola Vetrix' (the last quit had moved "
              "it to 'Headphones')");
    // Once only: a second start has nothing to undo.
    EXPECT_FALSE(std::filesystem::exists(restorer().recordPath()));
    EXPECT_FALSE(restorer().restoreAfterStart());
}

TEST_F(SystemOutputRestorerTest, NothingMovesWhenTheVirtualDeviceWasNotTheOutput) {
    sim_->setDefaultOutputDevice(speakers_);
    EXPECT_FALSE(restorer().handBackBeforeQuit(device(headphones_)));
    EXPECT_EQ(defaultOutput(), speakers_);
    EXPECT_FALSE(std::filesystem::exists(restorer().recordPath()));
    EXPECT_FALSE(restorer().restoreAfterStart());
    EXPECT_EQ(defaultOutput(), speakers_);
    EXPECT_TRUE(log_.empty());

    // Nor when the engine had no real device to hand the output to.
    sim_->setDefaultOutputDevice(brimola_);
    EXPECT_FALSE(restorer().handBackBeforeQuit(std::nullopt));
    EXPECT_EQ(defaultOutput(), brimola_);
}

TEST_F(SystemOutputRestorerTest, AChoiceTheUserMadeBetweenRunsStands) {
    ASSERT_TRUE(restorer().handBackBeforeQuit(device(headphones_)));
    sim_->setDefaultOutputDevice(speakers_);
    EXPECT_FALSE(restorer().restoreAfterStart());
    EXPECT_EQ(defaultOutput(), speakers_);
    EXPECT_FALSE(std::filesystem::exists(restorer().recordPath()));
    EXPECT_NE(log_.back().find("[RESTORE] System output changed since the last quit"),
              std::string::npos);
}

TEST_F(SystemOutputRestorerTest, AVanishedVirtualDeviceOrABrokenRecordChangesNothing) {
    ASSERT_TRUE(restorer().handBackBeforeQuit(device(headphones_)));
    sim_->removeDevice(brimola_);
    EXPECT_FALSE(restorer().restoreAfterStart());
    EXPECT_EQ(defaultOutput(), headphones_);

    // A record cut short (or written by something else) is dropped, not half-read.
    const auto path = restorer().recordPath();
    std::ofstream(path) << "brimola_vetrix";
    EXPECT_FALSE(restorer().restoreAfterStart());
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_EQ(defaultOutput(), headphones_);
}

TEST_F(SystemOutputRestorerTest, AnUnwritableStateFolderStillLeavesTheComputerAudible) {
    const auto blocked = state_.path() / "file";
    std::ofstream(blocked) << "not a folder";
    ASSERT_TRUE(restorer(blocked / "brimolavetrix").handBackBeforeQuit(device(speakers_)));
    EXPECT_EQ(defaultOutput(), speakers_);
    EXPECT_NE(log_.back().find("(not remembered for the next start)"), std::string::npos);
}

}  // namespace
}  // namespace brimo::testing
