#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/effects/SoundEffectPlayer.h"
#include "audio/manager/AudioManager.h"
#include "driver/AudioServer.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "platform/privileged/StandInPrivilegedRunner.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

namespace brimo::testing {

class RecordingSounds final : public audio::SoundEffectPlayer {
  public:
    void playActivationSound() override { played.emplace_back("ON"); }
    void playDeactivationSound() override { played.emplace_back("OFF"); }
    std::vector<std::string> played;
};

// The virtual device (ID 62) appears and the user makes it the system output.
inline void addVirtualDeviceAsSystemOutput(hal::sim::SimulatedAudioBackend& sim) {
    auto loop = hal::sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "brimola_vetrix");
    loop.id = 62;
    sim.setDefaultOutputDevice(sim.addDevice(loop));
}

// Stands in for the user's audio server: restarting it brings up the virtual device.
class DeviceCreatingRestarter final : public driver::AudioServerRestarter {
  public:
    explicit DeviceCreatingRestarter(hal::sim::SimulatedAudioBackend& sim) : sim_(sim) {}
    void restartForUserSession(driver::AudioServerKind /*kind*/) override {
        addVirtualDeviceAsSystemOutput(sim_);
    }

  private:
    hal::sim::SimulatedAudioBackend& sim_;
};

// A manager on a simulated system with speakers (ID 57) and, unless a test says otherwise, the
// virtual device (ID 62) as the system output; a virtual-time main queue; a private log folder
// and driver folders; recorded clicks; an engine that never really sleeps.
class AudioManagerTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kSpeakersID = 57;
    static constexpr std::uint32_t kVirtualID = 62;

    // A sequence still running on the engine's queue holds the engine; the manager must not
    // hand its last reference to that queue's own thread.
    ~AudioManagerTest() override {
        if (manager_) {
            manager_->audioEngine().waitUntilIdle();
        }
    }

    void addSpeakers() {
        auto speakers = hal::sim::DeviceConfig::speakers("Speakers", "speakers");
        speakers.id = kSpeakersID;
        sim_->addDevice(speakers);
    }

    std::shared_ptr<driver::DriverInstallationService> makeDriverService(
        std::shared_ptr<privileged::PrivilegedRunner> runner,
        std::shared_ptr<driver::AudioServerRestarter> restarter) {
        driver::DriverInstallationService::Options options;
        options.mainQueue = &main_;
        options.privilegedRunner = std::move(runner);
        options.halPluginsPath = folders_.path() / "plug-ins";
        options.configurationRoot = folders_.path() / "etc";
        options.detectAudioServer = [] { return driver::AudioServerKind::pipewire; };
        options.restarter = std::move(restarter);
        options.print = console_.writer();
        return driver::DriverInstallationService::create(std::move(options));
    }

    void makeManager(std::shared_ptr<driver::DriverInstallationService> driver = nullptr) {
        // Changes made while setting up the system are old news to the manager.
        sim_->waitForNotifications();
        if (!driver) {
            driver = makeDriverService(std::make_shared<privileged::StandInPrivilegedRunner>(),
                                       std::make_shared<DeviceCreatingRestarter>(*sim_));
        }
        audio::AudioManager::Options options;
        options.mainQueue = &main_;
        options.logDirectory = [path = documents_.path()] { return path; };
        options.engineSleep = [](std::chrono::duration<double>) {};
        options.driverService = [driver] { return driver; };
        options.soundEffects = [this]() -> audio::SoundEffectPlayer& { return sounds_; };
        options.print = console_.writer();
        options.notificationCenter = &center_;
        manager_ = audio::AudioManager::create(std::move(options));
    }

    // Speakers and the virtual device as system output, then the manager up and running.
    void startUp() {
        addSpeakers();
        addVirtualDeviceAsSystemOutput(*sim_);
        makeManager();
        main_.runUntilIdle();
        manager_->audioEngine().waitUntilIdle();
        markLog();
    }

    // The manager's log lines since the last mark.
    std::vector<std::string> managerLines() {
        auto lines = diagnosticLines(logFile(), "AudioManager");
        lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(mark_));
        return lines;
    }
    // How often the manager wrote this line since the last mark.
    int said(const std::string& line) {
        const auto lines = managerLines();
        return static_cast<int>(std::count(lines.begin(), lines.end(), line));
    }
    void markLog() { mark_ = diagnosticLines(logFile(), "AudioManager").size(); }
    std::filesystem::path logFile() const { return documents_.path() / "Brimolavetrix_debug.log"; }

    // Lets the backend's listener thread finish, then runs what it scheduled.
    void deliverDeviceChange() {
        sim_->waitForNotifications();
        main_.runUntilIdle();
        manager_->audioEngine().waitUntilIdle();
    }

    void advance(std::chrono::milliseconds span) { main_.advanceBy(span); }

    TemporaryDirectory documents_;
    TemporaryDirectory folders_;
    dispatch::VirtualTimeMainQueue main_;
    hal::sim::ScopedSimulatedBackend sim_;
    notification::NotificationCenter center_;
    LineCollector console_;
    RecordingSounds sounds_;
    std::size_t mark_ = 0;
    std::shared_ptr<audio::AudioManager> manager_;
};

}  // namespace brimo::testing
