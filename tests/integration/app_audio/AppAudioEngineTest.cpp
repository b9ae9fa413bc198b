#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "integration/app_audio/AppAudioFixture.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

// The sink inputs of the server, one `pactl list short sink-inputs` line each.
std::size_t sinkInputCount() {
    std::istringstream lines(pactl({"list", "short", "sink-inputs"}));
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        count += line.empty() ? 0 : 1;
    }
    return count;
}

TEST_F(AppAudioTest, EngineFollowsTheSystemOutput) {
    pumpFor(300ms);
    EXPECT_TRUE(engineStopped()) << "the engine ran before the virtual device was the output";
    ASSERT_TRUE(manager->selectedOutputDevice().value().has_value());
    EXPECT_EQ(manager->selectedOutputDevice().value()->uid, "speakers");

    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));
    EXPECT_TRUE(manager->isBrimolavetrixSelectedAsOutput().value());
    EXPECT_EQ(manager->audioEngine().inputDeviceID(), brimola);
    EXPECT_EQ(manager->audioEngine().outputDeviceID(), speakers);
    EXPECT_DOUBLE_EQ(manager->targetFrequency().value(), 440.0);

    pactl({"set-default-sink", "speakers"});
    EXPECT_TRUE(pumpUntil([&] { return engineStopped(); }, kPatience));
    EXPECT_FALSE(manager->isBrimolavetrixSelectedAsOutput().value());

    pactl({"set-default-sink", "brimola_vetrix"});
    EXPECT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));
    // Really carrying audio again, not only marked as running.
    EXPECT_TRUE(playTone({speakers}, 440.0)[0].arrived)
        << "nothing reached the speakers after the restart";
}

// Were the engine's playback stream moved when its sink goes, the server would put it on the
// default sink, the virtual device itself, and the engine would feed its own input. An unplugged
// and replugged output, and an audio server restart (what a driver installation does), each give
// the real devices new IDs: the sound must come back on them by itself.
TEST_F(AppAudioTest,
       RemovedSpeakersEndPlaybackWithoutFeedbackAndSoundComesBackAfterThemAndARestart) {
    const std::string dir = serverDirectory();
    if (dir.empty()) {
        GTEST_SKIP() << "restarting needs the server directory CTest passes";
    }
    pactl({"set-default-sink", "brimola_vetrix"});
    ASSERT_TRUE(pumpUntil([&] { return engineRuns(); }, kPatience));
    ASSERT_TRUE(playTone({speakers}, 440.0, 1.0)[0].arrived) << "the engine carried nothing";
    ASSERT_EQ(sinkInputCount(), 1U) << "only the engine's playback stream plays";

    pactl({"unload-module", nullSinkModule("speakers").value_or("none")});
    EXPECT_TRUE(pumpUntil([&] { return sinkInputCount() == 0; }, kPatience))
        << "the engine's playback stream went on somewhere else";
    // Something playing into the device now must come back out of it unchanged: with a
    // feedback loop the engine's copy would add to it.
    const auto looped = playTone({brimola}, 440.0, 1.0)[0];
    ASSERT_TRUE(looped.arrived);
    EXPECT_NEAR(looped.overallPeak, 0.5F, 0.03F)
        << "the device heard more than what was played into it";
    EXPECT_EQ(sinkInputCount(), 0U);
    EXPECT_TRUE(pumpUntil([&] { return engineStopped(); }, kPatience))
        << "the engine still runs without its output";
    manager->refreshDevices();
    pumpFor(300ms);
    for (const auto& device : manager->outputDevices().value()) {
        EXPECT_NE(device.uid, "speakers");
    }
    loadNullSink("speakers", "speakers");
    AudioDeviceID returned = kAudioObjectUnknown;
    ASSERT_TRUE(pumpUntil(
        [&] {
            returned = deviceWithUid("speakers");
            return returned != kAudioObjectUnknown && engineRuns() &&
                   manager->audioEngine().outputDeviceID() == returned;
        },
        kPatience))
        << "the engine did not come back on the returned speakers";
    const auto afterReplug = playTone({returned}, 440.0)[0];
    EXPECT_TRUE(afterReplug.arrived) << "nothing reached the returned speakers";

    const auto restart = process::runProgram({BRIMO_AUDIO_SERVERS_SCRIPT, "restart", dir});
    ASSERT_EQ(restart.exitStatus, 0) << restart.errorText;
    // The restarted server starts on its own default; the user's choice is made again.
    ASSERT_TRUE(pumpUntil([&] { return deviceWithUid("brimola_vetrix") != 0; }, kPatience));
    pactl({"set-default-sink", "brimola_vetrix"});
    AudioDeviceID restarted = kAudioObjectUnknown;
    ASSERT_TRUE(pumpUntil(
        [&] {
            restarted = deviceWithUid("speakers");
            return restarted != kAudioObjectUnknown && engineRuns() &&
                   manager->audioEngine().outputDeviceID() == restarted &&
                   manager->audioEngine().inputDeviceID() == deviceWithUid("brimola_vetrix");
        },
        kPatience))
        << "the engine did not come back after the server restart";
    const auto afterRestart = playTone({restarted}, 440.0)[0];
    EXPECT_TRUE(afterRestart.arrived) << "nothing reached the speakers after the restart";
    EXPECT_NEAR(afterRestart.frequencyHz, 440.0, 1.0);
    const auto lines = console.lines();
    for (const auto& line : lines) {
        EXPECT_EQ(line.find("Could not get device sample rate"), std::string::npos) << line;
    }
}

}  // namespace
}  // namespace brimo::testing
