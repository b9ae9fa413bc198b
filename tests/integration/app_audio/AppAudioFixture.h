#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/effects/SoundEffectPlayer.h"
#include "audio/manager/AudioManager.h"
#include "driver/AudioServer.h"
#include "driver/DriverInstallationService.h"
#include "integration/app_audio/MainQueuePump.h"
#include "integration/app_audio/ToneCapture.h"
#include "integration/hal_pulse/HalQueries.h"
#include "integration/hal_pulse/PrivateAudioServer.h"
#include "platform/dispatch/EventLoopMainQueue.h"
#include "platform/hal/AudioHardwareBackend.h"
#include "platform/hal/pulse/PulseAudioBackend.h"
#include "platform/notification/NotificationCenter.h"
#include "platform/privileged/StandInPrivilegedRunner.h"
#include "platform/resources/ResourceBundle.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::testing {

// The clicks would play on the default sink, which is the device the tests listen through.
class SilentSounds final : public audio::SoundEffectPlayer {
  public:
    void playActivationSound() override { ++played; }
    void playDeactivationSound() override { ++played; }
    int played = 0;
};

// The private server is started and restarted by the harness, not by the driver service.
class NoRestart final : public driver::AudioServerRestarter {
  public:
    void restartForUserSession(driver::AudioServerKind /*kind*/) override {}
};

// The real audio manager on the real backend and a private server, with "speakers" as the
// system output at the start. The test thread is the main thread: it pumps the main queue
// while waiting, so the manager's listener hops and timers run against real time.
class AppAudioTest : public PrivateAudioServerTest {
  protected:
    void SetUp() override {
        PrivateAudioServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        pactl({"set-default-sink", "speakers"});
        backend = hal::pulse::PulseAudioBackend::create();
        installation = std::make_unique<hal::ScopedAudioHardwareBackend>(backend);
        ASSERT_TRUE(backend->isConnected());
        brimola = deviceWithUid("brimola_vetrix");
        speakers = deviceWithUid("speakers");
        ASSERT_NE(brimola, kAudioObjectUnknown);
        ASSERT_NE(speakers, kAudioObjectUnknown);

        audio::AudioManager::Options options;
        options.mainQueue = &mainQueue;
        options.logDirectory = [path = documents.path()] { return path; };
        options.driverService = [this] { return makeDriverService(); };
        options.soundEffects = [this]() -> audio::SoundEffectPlayer& { return sounds; };
        options.print = console.writer();
        options.notificationCenter = &notifications;
        manager = audio::AudioManager::create(std::move(options));
        // The driver service's first answer reaches the manager through the queue.
        ASSERT_TRUE(pumpUntil([&] { return manager->isDriverInstalled().value(); }, kPatience));
    }

    void TearDown() override {
        if (manager) {
            manager->audioEngine().stop();
            manager->audioEngine().waitUntilIdle();
            manager.reset();
        }
        installation.reset();
        backend.reset();
        if (!IsSkipped()) {
            if (!nullSinkModule("speakers")) {
                loadNullSink("speakers", "speakers");
            }
            pactl({"set-default-sink", "speakers"});
        }
    }

    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return testing::pumpUntil(mainQueue, done, timeout);
    }
    void pumpFor(std::chrono::milliseconds span) {
        pumpUntil([] { return false; }, span);
    }

    // Plays a tone into "Brimola Vetrix" and records what `devices` hear, the queue running.
    std::vector<HeardTone> playTone(const std::vector<AudioDeviceID>& devices, double expectedHz,
                                    double seconds = 3.0) {
        return playToneAndRecord(
            devices, expectedHz, seconds,
            [this](const std::function<bool()>& done, std::chrono::milliseconds timeout) {
                return pumpUntil(done, timeout);
            });
    }

    // Both the manager's record and the engine itself; the engine starts on its own queue.
    bool engineRuns() { return manager->isEngineRunning() && manager->audioEngine().isRunning(); }
    bool engineStopped() {
        return !manager->isEngineRunning() && !manager->audioEngine().isRunning();
    }

    static constexpr std::chrono::milliseconds kPatience{5000};

    // Declared first, destroyed last: everything below posts to the queue or uses the backend.
    dispatch::EventLoopMainQueue mainQueue;
    std::shared_ptr<hal::pulse::PulseAudioBackend> backend;
    std::unique_ptr<hal::ScopedAudioHardwareBackend> installation;
    TemporaryDirectory documents;
    TemporaryDirectory folders;
    notification::NotificationCenter notifications;
    LineCollector console;
    SilentSounds sounds;
    std::shared_ptr<privileged::StandInPrivilegedRunner> runner =
        std::make_shared<privileged::StandInPrivilegedRunner>();
    std::shared_ptr<audio::AudioManager> manager;
    AudioDeviceID brimola = kAudioObjectUnknown;
    AudioDeviceID speakers = kAudioObjectUnknown;

  private:
    std::shared_ptr<driver::DriverInstallationService> makeDriverService() {
        driver::DriverInstallationService::Options options;
        options.mainQueue = &mainQueue;
        options.privilegedRunner = runner;
        options.resources = resources::ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
        options.halPluginsPath = folders.path() / "plug-ins";
        options.configurationRoot = folders.path() / "etc";
        options.detectAudioServer = [] {
            return driver::detectAudioServer(driver::userRuntimeDirectory());
        };
        options.restarter = std::make_shared<NoRestart>();
        options.print = console.writer();
        return driver::DriverInstallationService::create(std::move(options));
    }
};

}  // namespace brimo::testing
