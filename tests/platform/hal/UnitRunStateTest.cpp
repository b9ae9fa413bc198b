#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/hal/AudioObject.h"
#include "platform/hal/UnitHarness.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"

namespace brimo::hal {
namespace {

using sim::DeviceConfig;
using test::CaptureHarness;
using test::PlaybackHarness;

float half(UInt32 /*channel*/, SInt64 /*frame*/, double /*rate*/) {
    return 0.5F;
}

UInt32 isRunning(AudioUnit unit) {
    UInt32 running = 7;
    EXPECT_EQ(test::getUnitProperty(unit, kAudioOutputUnitProperty_IsRunning,
                                    kAudioUnitScope_Global, 0, running),
              noErr);
    return running;
}

// Records every run-state announcement with what IsRunning read inside it.
struct RunStateLog {
    std::atomic<int> calls{0};
    std::atomic<int> lastValue{-1};
    std::atomic<bool> removeSelf{false};

    static void listener(void* self, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                         AudioUnitElement element) {
        auto* log = static_cast<RunStateLog*>(self);
        EXPECT_EQ(id, kAudioOutputUnitProperty_IsRunning);
        EXPECT_EQ(scope, kAudioUnitScope_Global);
        EXPECT_EQ(element, 0U);
        log->lastValue = static_cast<int>(isRunning(unit));
        log->calls.fetch_add(1);
        if (log->removeSelf) {
            AudioUnitRemovePropertyListenerWithUserData(unit, id, &RunStateLog::listener, self);
        }
    }

    void attach(AudioUnit unit) {
        ASSERT_EQ(AudioUnitAddPropertyListener(unit, kAudioOutputUnitProperty_IsRunning,
                                               &RunStateLog::listener, this),
                  noErr);
    }
};

class UnitRunStateTest : public ::testing::Test {
  protected:
    sim::ScopedSimulatedBackend sim;
    AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "speakers-uid"));
};

TEST_F(UnitRunStateTest, StartAndStopAreAnnouncedOnceEachAndAddingTwiceKeepsOneListener) {
    PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, true), &half);
    RunStateLog log;
    log.attach(unit.unit);
    log.attach(unit.unit);
    ASSERT_EQ(unit.start(), noErr);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastValue, 1);
    ASSERT_EQ(AudioOutputUnitStart(unit.unit), noErr);
    EXPECT_EQ(log.calls, 1) << "a repeated start changes nothing";
    sim->advanceSeconds(0.05);
    ASSERT_EQ(AudioOutputUnitStop(unit.unit), noErr);
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(log.lastValue, 0);
    EXPECT_FALSE(sim->isRunning(speakers));
    const UInt32 calls = unit.calls.load();
    EXPECT_GT(calls, 0U);
    sim->advanceSeconds(0.05);
    EXPECT_EQ(unit.calls.load(), calls) << "a stopped unit is called no more";
    ASSERT_EQ(AudioOutputUnitStop(unit.unit), noErr);
    EXPECT_EQ(log.calls, 2);
}

TEST_F(UnitRunStateTest, KilledDeviceIOIsAnnouncedOnceStopsTheCallbacksAndAStartBringsThemBack) {
    PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, true), &half);
    RunStateLog log;
    ASSERT_EQ(unit.start(), noErr);
    log.attach(unit.unit);
    sim->advanceSeconds(0.1);
    ASSERT_GT(unit.calls.load(), 0U);

    sim->killDeviceIO(speakers);
    EXPECT_EQ(log.calls, 1);
    EXPECT_EQ(log.lastValue, 0);
    EXPECT_EQ(isRunning(unit.unit), 0U);
    const UInt32 callsAtDeath = unit.calls.load();
    sim->advanceSeconds(0.1);
    EXPECT_EQ(unit.calls.load(), callsAtDeath) << "a dead stream is called no more";
    sim->killDeviceIO(speakers);
    EXPECT_EQ(log.calls, 1) << "a unit no longer on the device hears nothing";

    // The unit was never stopped, yet a start must not take the stale state for running.
    ASSERT_EQ(AudioOutputUnitStart(unit.unit), noErr);
    EXPECT_EQ(log.calls, 2);
    EXPECT_EQ(isRunning(unit.unit), 1U);
    sim->advanceSeconds(0.1);
    EXPECT_GT(unit.calls.load(), callsAtDeath);
}

TEST_F(UnitRunStateTest, RemovingTheDeviceEndsCaptureAndPlaybackAlikeAndStopAfterwardsIsQuiet) {
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "vetrix-uid"));
    PlaybackHarness playback(vetrix, floatStreamFormat(48000.0, 2, true), &half);
    CaptureHarness capture(vetrix, floatStreamFormat(48000.0, 2, true));
    RunStateLog playLog;
    RunStateLog captureLog;
    ASSERT_EQ(playback.start(), noErr);
    ASSERT_EQ(capture.start(), noErr);
    playLog.attach(playback.unit);
    captureLog.attach(capture.unit);
    sim->advanceSeconds(0.05);

    sim->removeDevice(vetrix);
    EXPECT_EQ(playLog.calls, 1);
    EXPECT_EQ(captureLog.calls, 1);
    const UInt32 calls = playback.calls.load();
    sim->advanceSeconds(0.05);
    EXPECT_EQ(playback.calls.load(), calls) << "a gone device calls no more";
    EXPECT_EQ(AudioOutputUnitStop(playback.unit), noErr);
    EXPECT_EQ(playLog.calls, 1) << "the stop of a unit that had stopped already changes nothing";
    EXPECT_NE(AudioOutputUnitStart(capture.unit), noErr) << "its device is gone";
}

TEST_F(UnitRunStateTest, ARemovedListenerIsNotCalledAndAListenerMayRemoveItself) {
    PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, true), &half);
    RunStateLog removed;
    RunStateLog selfRemoving;
    removed.attach(unit.unit);
    selfRemoving.attach(unit.unit);
    selfRemoving.removeSelf = true;
    ASSERT_EQ(AudioUnitRemovePropertyListenerWithUserData(
                  unit.unit, kAudioOutputUnitProperty_IsRunning, &RunStateLog::listener, &removed),
              noErr);
    EXPECT_EQ(AudioUnitRemovePropertyListenerWithUserData(
                  unit.unit, kAudioOutputUnitProperty_IsRunning, &RunStateLog::listener, &removed),
              noErr)
        << "removing what is not there is no error";
    ASSERT_EQ(unit.start(), noErr);
    ASSERT_EQ(AudioOutputUnitStop(unit.unit), noErr);
    EXPECT_EQ(removed.calls, 0);
    EXPECT_EQ(selfRemoving.calls, 1);

    EXPECT_EQ(AudioUnitAddPropertyListener(nullptr, kAudioOutputUnitProperty_IsRunning,
                                           &RunStateLog::listener, &removed),
              kAudio_ParamError);
    EXPECT_EQ(AudioUnitAddPropertyListener(unit.unit, kAudioOutputUnitProperty_IsRunning, nullptr,
                                           &removed),
              kAudio_ParamError);
}

TEST_F(UnitRunStateTest, AReplugAndAServerRestartBringTheSameDevicesBackUnderNewIDs) {
    const AudioDeviceID vetrix =
        sim->addDevice(DeviceConfig::loopbackDevice("Brimola Vetrix", "vetrix-uid"));
    sim->setDefaultOutputDevice(vetrix);

    const AudioDeviceID replugged = sim->replugDevice(speakers);
    EXPECT_NE(replugged, speakers);
    EXPECT_EQ(test::deviceUID(replugged), "speakers-uid");
    EXPECT_EQ(sim->devices(), (std::vector<AudioDeviceID>{vetrix, replugged}));

    PlaybackHarness unit(replugged, floatStreamFormat(48000.0, 2, true), &half);
    RunStateLog log;
    ASSERT_EQ(unit.start(), noErr);
    log.attach(unit.unit);
    sim->stopServer();
    EXPECT_FALSE(sim->isServerRunning());
    EXPECT_EQ(log.calls, 1);
    EXPECT_TRUE(sim->devices().empty());
    EXPECT_EQ(
        test::valueOf<AudioDeviceID>(kAudioObjectSystemObject,
                                     test::address(kAudioHardwarePropertyDefaultOutputDevice)),
        kAudioObjectUnknown)
        << "read as a success that names no device";

    sim->startServer();
    const auto back = sim->devices();
    ASSERT_EQ(back.size(), 2U);
    EXPECT_EQ(test::deviceUID(back[0]), "vetrix-uid");
    EXPECT_EQ(test::deviceUID(back[1]), "speakers-uid");
    EXPECT_TRUE(back[0] != vetrix && back[1] != replugged && back[0] != speakers);
    EXPECT_EQ(test::defaultOutputDevice(), back[0]) << "the default is the device it was, by UID";
}

// On real-time device threads the announcement and a removal race; neither may outlive the
// other's guarantees (run under ThreadSanitizer).
TEST(UnitRunStateRealTimeTest, DeathOnTheDeviceThreadRacesSafelyWithListenerRemoval) {
    sim::ScopedSimulatedBackend sim(sim::ClockMode::realTime);
    const AudioDeviceID speakers = sim->addDevice(DeviceConfig::speakers("Speakers", "s"));
    for (int round = 0; round < 20; ++round) {
        PlaybackHarness unit(speakers, floatStreamFormat(48000.0, 2, true), &half);
        RunStateLog log;
        log.attach(unit.unit);
        ASSERT_EQ(unit.start(), noErr);
        std::thread killer([&] { sim->killDeviceIO(speakers); });
        AudioUnitRemovePropertyListenerWithUserData(unit.unit, kAudioOutputUnitProperty_IsRunning,
                                                    &RunStateLog::listener, &log);
        const int seen = log.calls.load();
        killer.join();
        EXPECT_EQ(log.calls.load(), seen) << "nothing runs after the removal returned";
    }
}

}  // namespace
}  // namespace brimo::hal
