#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "audio/manager/AudioManagerTestFixture.h"
#include "support/ToneAnalysis.h"

namespace brimo::testing {
namespace {

using hal::sim::DeviceConfig;
using hal::sim::Signal;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

// The manager on a system with speakers, the virtual device as system output and a 440 Hz tone
// played into it, so every test can tell where the sound goes.
class DeviceRecoveryTest : public AudioManagerTest {
  protected:
    void SetUp() override {
        startUp();
        sim_->play(kVirtualID, Signal::tone(440.0, 0.4F));
    }

    // Lets every consequence of a change run: listener threads, the engine's queue and the
    // main queue hand work to each other, and how many hand-overs a change takes depends on
    // how the threads interleave. Settled means a round in which the main queue had nothing
    // to do, with the engine idle and no notification on its way before it.
    void settle() {
        for (int round = 0; round < 100; ++round) {
            manager_->audioEngine().waitUntilIdle();
            sim_->waitForNotifications();
            manager_->audioEngine().waitUntilIdle();
            if (main_.runUntilIdle() == 0) {
                return;
            }
        }
        FAIL() << "the manager never settled";
    }

    // After a second of sound: the device plays the tone, passed through at 440 Hz.
    void expectToneOn(std::uint32_t device) {
        sim_->clearRecording(device);
        sim_->advanceSeconds(1.0);
        const auto played = sim_->recording(device);
        ASSERT_GT(played.frames(), 40000);
        const auto left = played.channel(0);
        const std::vector<float> tail(left.end() - 24000, left.end());
        EXPECT_NEAR(toneFrequency(tail, 48000.0), 440.0, 0.5) << "device " << device;
        EXPECT_GT(*std::max_element(tail.begin(), tail.end()), 0.3F);
    }

    void expectEngineOn(std::uint32_t output) {
        EXPECT_TRUE(manager_->isEngineRunning());
        EXPECT_TRUE(manager_->audioEngine().isRunning());
        EXPECT_EQ(manager_->audioEngine().outputDeviceID(), output);
        EXPECT_EQ(manager_->selectedOutputDevice().value()->id, output);
    }

    std::uint32_t addHeadphones() {
        const auto id = sim_->addDevice(DeviceConfig::speakers("Headphones", "headphones"));
        settle();
        return id;
    }
};

TEST_F(DeviceRecoveryTest, ALostOutputFallsBackToAnotherRealOneAndReturnsWhenPluggedInAgain) {
    const std::uint32_t headphones = addHeadphones();
    markLog();

    sim_->removeDevice(kSpeakersID);
    settle();
    expectEngineOn(headphones);
    EXPECT_EQ(said("🔊 [DEVICE_CHANGE] Output device 57 stopped - refreshing devices"), 1);
    EXPECT_EQ(
        said("⚠️ [REFRESH] Output device 'Speakers' is gone - falling back to 'Headphones'"),
        1);
    EXPECT_EQ(manager_->preferredOutputUID(), "speakers") << "the user's choice is remembered";
    expectToneOn(headphones);

    // Plugged in again, the speakers come back under a new ID and the engine goes with them.
    markLog();
    const std::uint32_t speakers = sim_->addDevice(DeviceConfig::speakers("Speakers", "speakers"));
    settle();
    ASSERT_NE(speakers, kSpeakersID);
    expectEngineOn(speakers);
    EXPECT_EQ(said("🔄 [REFRESH] Output device 'Speakers' is back (ID: " + std::to_string(speakers) +
                   ") - switching to it"),
              1);
    expectToneOn(speakers);
}

TEST_F(DeviceRecoveryTest, WithNoOtherOutputTheEngineWaitsStoppedAndRestartsWhenItIsBack) {
    manager_->toggle();
    advance(milliseconds(1100));
    markLog();

    sim_->removeDevice(kSpeakersID);
    settle();
    EXPECT_TRUE(manager_->isWaitingForOutput());
    EXPECT_FALSE(manager_->isEngineRunning());
    EXPECT_FALSE(manager_->audioEngine().isRunning());
    EXPECT_EQ(manager_->selectedOutputDevice().value()->uid, "speakers");
    EXPECT_EQ(
        said("⚠️ [REFRESH] Output device 'Speakers' is gone - waiting for an output device"),
        1);
    EXPECT_EQ(said("❌ [AUTO_START] No output devices available!"), 0)
        << "waiting is said once, not tried again at every refresh";

    // Nothing changes while it waits, however often the screen refreshes.
    markLog();
    manager_->refreshDevices();
    manager_->refreshDevices();
    settle();
    EXPECT_EQ(said("🎛️ [AUTO_START] Starting audio engine..."), 0);
    const Lines lines = managerLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("is gone") != l.npos; }),
              0);

    const std::uint32_t speakers = sim_->addDevice(DeviceConfig::speakers("Speakers", "speakers"));
    settle();
    EXPECT_FALSE(manager_->isWaitingForOutput());
    expectEngineOn(speakers);
    expectToneOn(speakers);
    EXPECT_TRUE(manager_->isActive().value()) << "losing the speakers is no reason to switch off";
}

TEST_F(DeviceRecoveryTest, AStreamTheServerEndsRestartsTheEngineOnTheSameDevice) {
    for (const auto device : {kSpeakersID, kVirtualID}) {
        SCOPED_TRACE(device);
        markLog();
        sim_->killDeviceIO(device);
        settle();
        expectEngineOn(kSpeakersID);
        EXPECT_EQ(
            said(std::string("🔊 [DEVICE_CHANGE] ") + (device == kSpeakersID ? "Output" : "Input") +
                 " device " + std::to_string(device) + " stopped - refreshing devices"),
            1);
        EXPECT_EQ(said("🎛️ [AUTO_START] Starting audio engine..."), 1);
        expectToneOn(kSpeakersID);
    }
}

TEST_F(DeviceRecoveryTest, AServerRestartBringsTheEngineBackOnTheSameDevicesUnderTheirNewIDs) {
    sim_->stopServer();
    settle();
    EXPECT_FALSE(manager_->isEngineRunning());
    EXPECT_FALSE(manager_->audioEngine().isRunning());

    sim_->startServer();
    settle();
    const auto devices = sim_->devices();
    ASSERT_EQ(devices.size(), 2U);
    const std::uint32_t speakers = devices[0];  // in the order they were added
    const std::uint32_t vetrix = devices[1];
    EXPECT_NE(speakers, kSpeakersID);
    expectEngineOn(speakers);
    EXPECT_EQ(manager_->audioEngine().inputDeviceID(), vetrix);
    sim_->play(vetrix, Signal::tone(440.0, 0.4F));
    expectToneOn(speakers);
}

TEST_F(DeviceRecoveryTest, TheVirtualDeviceUnderANewIDIsCapturedAgain) {
    const std::uint32_t headphones = addHeadphones();
    // The virtual device is reloaded while the system output stays on it, as far as a refresh
    // between two changes can tell.
    sim_->setDefaultOutputDevice(headphones);
    const std::uint32_t vetrix = sim_->replugDevice(kVirtualID);
    sim_->setDefaultOutputDevice(vetrix);
    sim_->waitForNotifications();
    main_.runUntilIdle();  // nothing heard yet: the listener's events are still queued
    markLog();
    manager_->refreshDevices();
    settle();
    EXPECT_EQ(manager_->audioEngine().inputDeviceID(), vetrix);
    sim_->play(vetrix, Signal::tone(440.0, 0.4F));
    expectToneOn(kSpeakersID);
}

TEST_F(DeviceRecoveryTest, OutputMovedAwayAndBackWithinAGlideLeavesPassthroughWithTheButtonOff) {
    manager_->toggle();
    advance(milliseconds(300));
    sim_->setDefaultOutputDevice(kSpeakersID);
    settle();
    sim_->setDefaultOutputDevice(kVirtualID);
    settle();
    advance(milliseconds(1500));
    settle();
    EXPECT_FALSE(manager_->isActive().value());
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);
    EXPECT_EQ(manager_->audioEngine().pitchCents(), 0.0F);
    EXPECT_TRUE(manager_->audioEngine().isRunning());
}

}  // namespace
}  // namespace brimo::testing
