#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

#include "integration/app_audio/AppAudioFixture.h"
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
class AppAudioDriverInstallation : public AppAudioCoreTest {
  protected:
    void SetUp() override {
        AppAudioCoreTest::SetUp();
        if (IsSkipped()) {
            return;
        }
        kind = serverKind();
        ASSERT_TRUE(kind == "pulseaudio" || kind == "pipewire") << kind;
        audioServers({"start", kind, dir, "--no-virtual-device"});
        useServerEnvironment(dir);
        const char* server = std::getenv("PULSE_SERVER");  // NOLINT(concurrency-mt-unsafe)
        ASSERT_NE(std::string(server != nullptr ? server : "").find(dir), std::string::npos);
        connectBackend();
    }

    void TearDown() override {
        AppAudioCoreTest::TearDown();
        if (!IsSkipped()) {
            audioServers({"stop", dir});
        }
    }

    void makeManager() {
        AppAudioCoreTest::makeManager(
            dir + "/system",
            [this] {
                return kind == "pipewire" ? driver::AudioServerKind::pipewire
                                          : driver::AudioServerKind::pulseaudio;
            },
            restarter);
    }

    std::string dir = (folders.path() / "s").string();
    std::string kind;
    std::shared_ptr<HarnessRestarter> restarter = std::make_shared<HarnessRestarter>(dir);
};

TEST_F(AppAudioDriverInstallation, InstallingAndRestartingTheServerBringsUpTheDevice) {
    ASSERT_EQ(deviceWithUid("brimola_vetrix"), kAudioObjectUnknown);
    makeManager();
    pumpFor(300ms);
    EXPECT_FALSE(manager->isDriverInstalled().value());

    std::optional<bool> succeeded;
    manager->installDriver([&](bool success, const std::optional<std::string>& message) {
        succeeded = success;
        EXPECT_TRUE(success) << message.value_or("");
    });
    // The copy, the restart, and the check 2 s later.
    ASSERT_TRUE(pumpUntil([&] { return succeeded.has_value(); }, 15s));
    EXPECT_EQ(restarter->restarts, 1);
    EXPECT_NE(deviceWithUid("brimola_vetrix"), kAudioObjectUnknown);
    EXPECT_TRUE(pumpUntil([&] { return manager->isDriverInstalled().value(); }, 2s));

    // The device the configuration made is the one the engine works with.
    pactl({"set-default-sink", "brimola_vetrix"});
    EXPECT_TRUE(pumpUntil([&] { return engineRuns(); }, 5s));
}

}  // namespace
}  // namespace brimo::testing
