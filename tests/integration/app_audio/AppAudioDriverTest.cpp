#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>

#include "audio/manager/AudioManager.h"
#include "integration/app_audio/AppAudioFixture.h"
#include "integration/app_audio/MainQueuePump.h"
#include "platform/process/ProcessRunner.h"

namespace brimo::testing {
namespace {

using namespace std::chrono_literals;

std::string audioServers(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{BRIMO_AUDIO_SERVERS_SCRIPT};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto result = process::runProgram(command);
    EXPECT_EQ(result.exitStatus, 0) << result.errorText;
    return result.output;
}

// The environment is read and changed in SetUp, before the test starts any thread.
std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    return value != nullptr ? value : "";
}

// The user's server restarted as the session would, here through the harness.
class HarnessRestarter final : public driver::AudioServerRestarter {
  public:
    explicit HarnessRestarter(std::string dir) : dir_(std::move(dir)) {}
    void restartForUserSession(driver::AudioServerKind /*kind*/) override {
        audioServers({"restart", dir_});
        ++restarts;
    }
    int restarts = 0;

  private:
    std::string dir_;
};

// A server of the fixture's kind of its own, started without the virtual device, whose
// system configuration folder is DIR/system: the driver is installed there for real.
class AppAudioDriverInstallation : public PrivateAudioServerTest {
  protected:
    void SetUp() override {
        PrivateAudioServerTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        std::ifstream marker(environmentValue("BRIMO_AUDIO_SERVER_DIR") + "/.brimo-audio-servers");
        std::getline(marker, kind);
        ASSERT_TRUE(kind == "pulseaudio" || kind == "pipewire") << kind;
        audioServers({"start", kind, dir, "--no-virtual-device"});
        std::istringstream env(audioServers({"env", dir}));
        for (std::string line; std::getline(env, line);) {
            const auto equals = line.find('=');
            if (equals != std::string::npos) {
                setenv(line.substr(0, equals).c_str(),  // NOLINT(concurrency-mt-unsafe)
                       line.substr(equals + 1).c_str(), 1);
            }
        }
        ASSERT_NE(environmentValue("PULSE_SERVER").find(dir), std::string::npos);
        backend = hal::pulse::PulseAudioBackend::create();
        installation = std::make_unique<hal::ScopedAudioHardwareBackend>(backend);
        ASSERT_TRUE(backend->isConnected());
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
            audioServers({"stop", dir});
        }
    }

    void makeManager() {
        audio::AudioManager::Options options;
        options.mainQueue = &mainQueue;
        options.logDirectory = [path = folders.path()] { return path; };
        options.driverService = [this] {
            driver::DriverInstallationService::Options driverOptions;
            driverOptions.mainQueue = &mainQueue;
            driverOptions.privilegedRunner =
                std::make_shared<privileged::StandInPrivilegedRunner>();
            driverOptions.resources = resources::ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
            driverOptions.halPluginsPath = folders.path() / "plug-ins";
            driverOptions.configurationRoot = dir + "/system";
            driverOptions.detectAudioServer = [this] {
                return kind == "pipewire" ? driver::AudioServerKind::pipewire
                                          : driver::AudioServerKind::pulseaudio;
            };
            driverOptions.restarter = restarter;
            driverOptions.print = console.writer();
            return driver::DriverInstallationService::create(std::move(driverOptions));
        };
        options.soundEffects = [this]() -> audio::SoundEffectPlayer& { return sounds; };
        options.print = console.writer();
        options.notificationCenter = &notifications;
        manager = audio::AudioManager::create(std::move(options));
    }

    dispatch::EventLoopMainQueue mainQueue;
    TemporaryDirectory folders;
    std::string dir = (folders.path() / "s").string();
    std::string kind;
    std::shared_ptr<HarnessRestarter> restarter = std::make_shared<HarnessRestarter>(dir);
    std::shared_ptr<hal::pulse::PulseAudioBackend> backend;
    std::unique_ptr<hal::ScopedAudioHardwareBackend> installation;
    notification::NotificationCenter notifications;
    LineCollector console;
    SilentSounds sounds;
    std::shared_ptr<audio::AudioManager> manager;
};

TEST_F(AppAudioDriverInstallation, InstallingAndRestartingTheServerBringsUpTheDevice) {
    ASSERT_EQ(deviceWithUid("brimola_vetrix"), kAudioObjectUnknown);
    makeManager();
    pumpUntil(
        mainQueue, [] { return false; }, 300ms);
    EXPECT_FALSE(manager->isDriverInstalled().value());

    std::optional<bool> succeeded;
    manager->installDriver([&](bool success, const std::optional<std::string>& message) {
        succeeded = success;
        EXPECT_TRUE(success) << message.value_or("");
    });
    // The copy, the restart, and the check 2 s later.
    ASSERT_TRUE(pumpUntil(
        mainQueue, [&] { return succeeded.has_value(); }, 15s));
    EXPECT_EQ(restarter->restarts, 1);
    EXPECT_NE(deviceWithUid("brimola_vetrix"), kAudioObjectUnknown);
    EXPECT_TRUE(pumpUntil(
        mainQueue, [&] { return manager->isDriverInstalled().value(); }, 2s));

    // The device the configuration made is the one the engine works with.
    pactl({"set-default-sink", "brimola_vetrix"});
    EXPECT_TRUE(pumpUntil(
        mainQueue, [&] { return manager->isEngineRunning() && manager->audioEngine().isRunning(); },
        5s));
}

}  // namespace
}  // namespace brimo::testing
