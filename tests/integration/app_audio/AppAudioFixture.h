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

// The real audio manager on the real backend of a private server. The test thread is the main
// thread: it pumps the main queue while waiting, so the manager's listener hops and timers run
// against real time.
class AppAudioCoreTest : public PrivateAudioServerTest {
  protected:
    // The backend on the server the environment names, installed under the hardware layer.
    void connectBackend() {
        backend = hal::pulse::PulseAudioBackend::create();
        installation = std::make_unique<hal::ScopedAudioHardwareBackend>(backend);
        ASSERT_TRUE(backend->isConnected());
    }

    // The manager, its driver service installing the bundle under `configurationRoot`.
    void makeManager(std::filesystem::path configurationRoot,
                     std::function<driver::AudioServerKind()> detectAudioServer,
                     std::shared_ptr<driver::AudioServerRestarter> restarter) {
        audio::AudioManager::Options options;
        options.mainQueue = &mainQueue;
        options.logDirectory = [path = folders.path()] { return path; };
        options.driverService = [this, configurationRoot, detectAudioServer, restarter] {
            driver::DriverInstallationService::Options driverOptions;
            driverOptions.mainQueue = &mainQueue;
            driverOptions.privilegedRunner =
                std::make_shared<privileged::StandInPrivilegedRunner>();
            driverOptions.resources = resources::ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
            driverOptions.halPluginsPath = folders.path() / "plug-ins";
            driverOptions.configurationRoot = configurationRoot;
            driverOptions.detectAudioServer = detectAudioServer;
            driverOptions.restarter = restarter;
            driverOptions.print = console.writer();
            return driver::DriverInstallationService::create(std::move(driverOptions));
        };
        options.soundEffects = [this]() -> audio::SoundEffectPlayer& { return sounds; };
        options.print = console.writer();
        options.notificationCenter = &notifications;
        manager = audio::AudioManager::create(std::move(options));
    }

    void TearDown() override {
        if (manager) {
            manager->audioEngine().stop();
            manager->audioEngine().waitUntilIdle();
            manager.reset();
        }
        installation.reset();
        backend.reset();
    }

    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return testing::pumpUntil(mainQueue, done, timeout);
    }
    void pumpFor(std::chrono::milliseconds span) {
        pumpUntil([] { return false; }, span);
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
    TemporaryDirectory folders;
    notification::NotificationCenter notifications;
    LineCollector console;
    SilentSounds sounds;
    std::shared_ptr<audio::AudioManager> manager;
};

// On the fixture's server, with "speakers" as the system output at the start.
class AppAudioTest : public AppAudioCoreTest {
  protected:
    void SetUp() override {
        AppAudioCoreTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        pactl({"set-default-sink", "speakers"});
        connectBackend();
        brimola = deviceWithUid("brimola_vetrix");
        speakers = deviceWithUid("speakers");
        ASSERT_NE(brimola, kAudioObjectUnknown);
        ASSERT_NE(speakers, kAudioObjectUnknown);
        makeManager(
            folders.path() / "etc",
            [] { return driver::detectAudioServer(driver::userRuntimeDirectory()); },
            std::make_shared<NoRestart>());
        // The driver service's first answer reaches the manager through the queue.
        ASSERT_TRUE(pumpUntil([&] { return manager->isDriverInstalled().value(); }, kPatience));
    }

    void TearDown() override {
        AppAudioCoreTest::TearDown();
        if (!IsSkipped()) {
            if (!nullSinkModule("speakers")) {
                loadNullSink("speakers", "speakers");
            }
            pactl({"set-default-sink", "speakers"});
        }
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

    AudioDeviceID brimola = kAudioObjectUnknown;
    AudioDeviceID speakers = kAudioObjectUnknown;
};

}  // namespace brimo::testing
