#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "driver/DriverInstallationService.h"
#include "driver/DriverTestSupport.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "platform/privileged/StandInPrivilegedRunner.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

using brimo::driver::AudioServerKind;
using brimo::driver::DriverInstallationService;
using brimo::driver::InstallationStatus;
using brimo::privileged::StandInPrivilegedRunner;
using Behaviour = StandInPrivilegedRunner::Behaviour;
using Kind = InstallationStatus::Kind;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;
namespace sim = brimo::hal::sim;

namespace {

const std::string kDismissed = "Error executing command as another user: Request dismissed";

void writeBundle(const fs::path& bundle, const std::string& identifier) {
    fs::create_directories(bundle / "Contents");
    std::ofstream(bundle / "Contents" / "Info.plist") << R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>)"
                                                      << identifier << "</string></dict></plist>\n";
}

class DriverInstallationTest : public ::testing::Test {
  protected:
    DriverInstallationTest() {
        // The application as the user unpacked it, in a folder whose name has a single quote.
        brimo::testing::copyShippedBundle(resources_);
    }

    std::shared_ptr<DriverInstallationService> makeService(
        Behaviour behaviour = Behaviour::runAsCurrentUser,
        std::optional<std::string> refusal = {}) {
        runner_ = std::make_shared<StandInPrivilegedRunner>(behaviour, std::move(refusal));
        DriverInstallationService::Options options;
        options.mainQueue = &main_;
        options.privilegedRunner = runner_;
        options.resources = brimo::resources::ResourceBundle(resources_);
        options.halPluginsPath = plugIns_;
        options.configurationRoot = etc_;
        options.detectAudioServer = [this] { return server_; };
        options.restarter = restarter_;
        options.print = console_.writer();
        options.deviceInstaller = deviceInstaller_;
        return DriverInstallationService::create(std::move(options));
    }

    // Every status the service publishes from now on.
    void recordStatuses(DriverInstallationService& service) {
        statusSubscription_ = service.installationStatus().subscribe(
            [this](const InstallationStatus& status) { statuses_.push_back(status); });
        statuses_.clear();
    }

    fs::path installed() const { return plugIns_ / "Brimolavetrix.driver"; }

    brimo::testing::TemporaryDirectory root_;
    const fs::path resources_ = root_.path() / "Brimola's App" / "resources";
    const fs::path plugIns_ = root_.path() / "usr/local/lib/brimolavetrix/plug-ins";
    const fs::path etc_ = root_.path() / "etc";
    brimo::dispatch::VirtualTimeMainQueue main_;
    sim::ScopedSimulatedBackend sim_;
    brimo::testing::LineCollector console_;
    std::shared_ptr<StandInPrivilegedRunner> runner_;
    std::shared_ptr<brimo::testing::RecordingRestarter> restarter_ =
        std::make_shared<brimo::testing::RecordingRestarter>();
    AudioServerKind server_ = AudioServerKind::pipewire;
    fs::path deviceInstaller_;  // none: the build tree's privileged command
    brimo::observable::Subscription statusSubscription_;
    std::vector<InstallationStatus> statuses_;
};

struct CompletionRecord {
    int calls = 0;
    bool success = false;
    std::optional<std::string> message;
    auto callback() {
        return [this](bool ok, std::optional<std::string> text) {
            ++calls;
            success = ok;
            message = std::move(text);
        };
    }
};

}  // namespace

TEST_F(DriverInstallationTest, DetectsTheInstalledBundleByItsIdentifier) {
    writeBundle(installed(), "com.brimolavetrix.audiodriver");
    auto service = makeService();
    EXPECT_TRUE(service->isDriverInstalled().value());
    EXPECT_EQ(service->installationStatus().value(), InstallationStatus(Kind::installed));
    EXPECT_EQ(console_.take(),
              (Lines{"✅ Brimola Vetrix driver is installed at: " + installed().string()}));

    recordStatuses(*service);
    service->checkDriverInstallation();
    EXPECT_EQ(statuses_, (std::vector<InstallationStatus>{Kind::checking, Kind::installed}));
}

TEST_F(DriverInstallationTest, FallsBackToTheDeviceNameWithItsExactLetterCase) {
    writeBundle(installed(), "com.example.otherdriver");
    sim_->addDevice(sim::DeviceConfig::loopbackDevice("brimola vetrix", "Brimola-UID"));
    auto service = makeService();
    // Device discovery would accept the lower-case name; the presence check does not.
    EXPECT_FALSE(service->isDriverInstalled().value());
    EXPECT_EQ(service->installationStatus().value(), InstallationStatus(Kind::notInstalled));
    EXPECT_EQ(console_.take(), (Lines{"⚠️ Brimola Vetrix driver is not installed"}));

    sim_->addDevice(sim::DeviceConfig::loopbackDevice("Brimola Vetrix", "bv"));
    service->checkDriverInstallation();
    EXPECT_TRUE(service->isDriverInstalled().value());
    EXPECT_EQ(console_.take(), (Lines{"✅ Brimola Vetrix audio device is present"}));

    // A property list that is no property list falls back the same way.
    std::ofstream(installed() / "Contents" / "Info.plist") << "not a plist at all";
    EXPECT_FALSE(DriverInstallationService::readBundleIdentifier(installed()).has_value());
    EXPECT_EQ(DriverInstallationService::readBundleIdentifier(resources_ / "AudioDriver" /
                                                              "Brimolavetrix.driver"),
              "com.brimolavetrix.audiodriver");
}

TEST_F(DriverInstallationTest, InstallsFromAPathWithASingleQuoteAndChecksAgainTwoSecondsLater) {
    auto service = makeService();
    writeBundle(installed(), "com.brimolavetrix.old");
    std::ofstream(installed() / "stale-file") << "from an older copy";
    recordStatuses(*service);
    console_.take();

    CompletionRecord done;
    service->installDriver(done.callback());
    const fs::path source = resources_ / "AudioDriver" / "Brimolavetrix.driver";
    EXPECT_EQ(console_.take(), (Lines{"📦 Installing driver from: " + source.string(),
                                      "📍 Installing driver to: " + installed().string(),
                                      "✅ Driver installed successfully"}));
    EXPECT_EQ(runner_->commands().size(), 1U);
    EXPECT_FALSE(fs::exists(installed() / "stale-file"));
    EXPECT_EQ(DriverInstallationService::readBundleIdentifier(installed()),
              "com.brimolavetrix.audiodriver");
    const auto activated = etc_ / "pipewire/pipewire.conf.d/brimolavetrix.conf";
    EXPECT_EQ(brimo::testing::readFileText(activated),
              brimo::testing::readFileText(
                  source / "Contents/Resources/pipewire.conf.d/brimolavetrix.conf"));
    EXPECT_FALSE(fs::exists(etc_ / "pulse"));  // only the server in use
    EXPECT_EQ(restarter_->restarts, (std::vector<AudioServerKind>{AudioServerKind::pipewire}));

    main_.advanceBy(std::chrono::milliseconds(1999));
    EXPECT_EQ(done.calls, 0);
    EXPECT_EQ(service->installationStatus().value(), InstallationStatus(Kind::installing));
    main_.advanceBy(std::chrono::milliseconds(1));
    EXPECT_EQ(done.calls, 1);
    EXPECT_TRUE(done.success);
    EXPECT_FALSE(done.message.has_value());
    EXPECT_EQ(statuses_,
              (std::vector<InstallationStatus>{Kind::installing, Kind::checking, Kind::installed,
                                               Kind::installationSuccessful}));

    // A server that cannot be told gets both configurations.
    fs::remove(activated);
    server_ = AudioServerKind::unknown;
    makeService()->installDriver([](bool, const std::optional<std::string>&) {});
    EXPECT_TRUE(fs::exists(activated));
    EXPECT_TRUE(fs::exists(etc_ / "pulse/default.pa.d/brimolavetrix.pa"));
}

TEST_F(DriverInstallationTest, CopyWithoutVisibleDeviceRequiresRestart) {
    auto service = makeService(Behaviour::succeedWithoutRunning);
    CompletionRecord done;
    service->installDriver(done.callback());
    main_.advanceBy(std::chrono::seconds(2));
    EXPECT_EQ(done.calls, 1);
    EXPECT_TRUE(done.success);
    EXPECT_EQ(done.message,
              "Driver installed. You may need to restart your computer for the audio device to "
              "appear.");
    EXPECT_EQ(service->installationStatus().value(), InstallationStatus(Kind::requiresRestart));

    // Gone before the check: the completion still reports the copy, with the same advice.
    CompletionRecord orphan;
    service->installDriver(orphan.callback());
    service.reset();
    main_.advanceBy(std::chrono::seconds(2));
    EXPECT_EQ(orphan.calls, 1);
    EXPECT_TRUE(orphan.success);
    EXPECT_TRUE(orphan.message.has_value());
}

// Every failure completes at once with its own message, restarts nothing and leaves nothing
// queued; a dismissed prompt reports pkexec's own words. The console's last line is returned.
TEST_F(DriverInstallationTest, EveryFailureHasItsOwnMessage) {
    const auto failureOf = [this](Behaviour behaviour, std::optional<std::string> refusal = {}) {
        auto service = makeService(behaviour, std::move(refusal));
        console_.take();
        CompletionRecord done;
        service->installDriver(done.callback());
        EXPECT_EQ(done.calls, 1);
        EXPECT_FALSE(done.success);
        const std::string message = done.message.value_or("");
        EXPECT_EQ(service->installationStatus().value(),
                  InstallationStatus::installationFailed(message));
        EXPECT_TRUE(restarter_->restarts.empty());
        EXPECT_TRUE(main_.isEmpty());
        std::string line = console_.take().back();
        EXPECT_TRUE(line.ends_with(message)) << line;
        return line;
    };
    EXPECT_EQ(failureOf(Behaviour::refuse, kDismissed), "❌ Installation failed: " + kDismissed);
    EXPECT_EQ(failureOf(Behaviour::refuse),
              "❌ Installation failed: Unknown error during installation");
    EXPECT_EQ(failureOf(Behaviour::unavailable), "❌ Failed to create pkexec command");
    EXPECT_TRUE(runner_->commands().empty());
    fs::remove_all(resources_);
    EXPECT_EQ(failureOf(Behaviour::runAsCurrentUser),
              "❌ Could not find bundled driver in app resources");
}

// With the installed step, the prompt is for that program alone: no path, no shell, and the
// progress lines stay as they were.
TEST_F(DriverInstallationTest, TheInstalledStepIsAskedForByItselfWithNothingFromTheCaller) {
    deviceInstaller_ = "/usr/libexec/brimolavetrix/brimolavetrix-install-device";
    auto service = makeService(Behaviour::succeedWithoutRunning);
    console_.take();
    CompletionRecord done;
    service->installDriver(done.callback());
    EXPECT_EQ(runner_->commands(), (Lines{deviceInstaller_.string()}));
    const fs::path source = resources_ / "AudioDriver" / "Brimolavetrix.driver";
    EXPECT_EQ(console_.take(), (Lines{"📦 Installing driver from: " + source.string(),
                                      "📍 Installing driver to: " + installed().string(),
                                      "✅ Driver installed successfully"}));
    EXPECT_EQ(restarter_->restarts, (std::vector<AudioServerKind>{AudioServerKind::pipewire}));
}

// Only a root-owned program nobody else can change counts as the installed step.
TEST_F(DriverInstallationTest, AnInstalledStepThatAUserCouldChangeIsNotUsed) {
    const fs::path prefix = root_.path() / "prefix";
    const fs::path helper = prefix / "libexec/brimolavetrix/brimolavetrix-install-device";
    fs::create_directories(helper.parent_path());
    std::ofstream(helper) << "#!/bin/sh\n";
    fs::permissions(helper, static_cast<fs::perms>(0755));
    const fs::path executable = prefix / "bin" / "brimolavetrix";
    const bool isRoot = ::geteuid() == 0;
    EXPECT_EQ(DriverInstallationService::findDeviceInstaller(executable),
              isRoot ? helper : fs::path());
    fs::permissions(helper, static_cast<fs::perms>(0775));
    EXPECT_EQ(DriverInstallationService::findDeviceInstaller(executable), fs::path());
    fs::remove(helper);
    EXPECT_EQ(DriverInstallationService::findDeviceInstaller(executable), fs::path());
}

// The build tree's command: no link is copied, the modes do not depend on the caller's umask,
// and a link planted at a drop-in's place is replaced, not written through.
TEST_F(DriverInstallationTest, TheBuildTreeCommandCopiesNoLinkAndSetsItsOwnModes) {
    const fs::path source = resources_ / "AudioDriver" / "Brimolavetrix.driver";
    const fs::path secret = root_.path() / "secret";
    std::ofstream(secret) << "not for the bundle\n";
    fs::create_symlink(secret, source / "Contents" / "extra");
    {
        auto service = makeService();
        CompletionRecord done;
        service->installDriver(done.callback());
        EXPECT_EQ(done.message, "Failed to create pkexec command");
        EXPECT_TRUE(runner_->commands().empty());
    }
    fs::remove(source / "Contents" / "extra");

    const fs::path dropIn = etc_ / "pipewire/pipewire.conf.d/brimolavetrix.conf";
    fs::create_directories(dropIn.parent_path());
    fs::create_symlink(secret, dropIn);
    const mode_t previous = ::umask(0);
    auto service = makeService();
    CompletionRecord done;
    service->installDriver(done.callback());
    ::umask(previous);
    ASSERT_EQ(runner_->commands().size(), 1U);
    EXPECT_FALSE(fs::is_symlink(dropIn));
    EXPECT_EQ(brimo::testing::readFileText(secret), "not for the bundle\n");
    for (const auto& entry : fs::recursive_directory_iterator(installed())) {
        const auto mode = entry.status().permissions() & fs::perms::all;
        EXPECT_EQ(mode, static_cast<fs::perms>(entry.is_directory() ? 0755 : 0644)) << entry.path();
    }
    EXPECT_EQ(fs::status(dropIn).permissions() & fs::perms::all, static_cast<fs::perms>(0644));
}
