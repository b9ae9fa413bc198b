// Runs inside tests/driver/with-private-polkit: as root, in a mount namespace of its own whose
// system bus carries a polkit daemon started for the test, so the real pkexec asks it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "driver/DriverInstallationService.h"
#include "driver/DriverTestSupport.h"
#include "platform/dispatch/VirtualTimeMainQueue.h"
#include "platform/hal/sim/ScopedSimulatedBackend.h"
#include "platform/privileged/PkexecRunner.h"
#include "support/LineCollector.h"
#include "support/TemporaryDirectory.h"

using brimo::driver::DriverInstallationService;
using brimo::driver::InstallationStatus;
using brimo::privileged::PkexecRunner;
namespace fs = std::filesystem;

TEST(PkexecInstallation, RealPkexecRunsTheCommandAsRootAndReportsFailures) {
    ASSERT_EQ(geteuid(), 0U);
    PkexecRunner runner;
    ASSERT_TRUE(runner.isAvailable());
    brimo::testing::TemporaryDirectory folder;
    const auto marker = folder.path() / "ran as";
    EXPECT_TRUE(runner.run("id -u > '" + marker.string() + "'").succeeded);
    EXPECT_EQ(brimo::testing::readFileText(marker), "0\n");

    const auto failed = runner.run("echo 'cp: cannot stat' >&2; exit 3");
    EXPECT_FALSE(failed.succeeded);
    EXPECT_EQ(failed.errorMessage, "cp: cannot stat");
}

TEST(PkexecInstallation, InstallsTheShippedBundleIntoATemporaryDestination) {
    brimo::testing::TemporaryDirectory root;
    const fs::path resources = root.path() / "Brimola's App" / "resources";
    brimo::testing::copyShippedBundle(resources);
    const fs::path plugIns = root.path() / "plug-ins";
    const fs::path etc = root.path() / "etc";

    brimo::dispatch::VirtualTimeMainQueue main;
    brimo::hal::sim::ScopedSimulatedBackend sim;
    brimo::testing::LineCollector console;
    auto restarter = std::make_shared<brimo::testing::RecordingRestarter>();
    DriverInstallationService::Options options;
    options.mainQueue = &main;  // the privileged runner is the real, default one
    options.resources = brimo::resources::ResourceBundle(resources);
    options.halPluginsPath = plugIns;
    options.configurationRoot = etc;
    options.detectAudioServer = [] { return brimo::driver::AudioServerKind::unknown; };
    options.restarter = restarter;
    options.print = console.writer();
    auto service = DriverInstallationService::create(std::move(options));
    EXPECT_FALSE(service->isDriverInstalled().value());

    int calls = 0;
    std::optional<std::string> message = "unset";
    service->installDriver([&](bool success, std::optional<std::string> text) {
        ++calls;
        EXPECT_TRUE(success);
        message = std::move(text);
    });
    EXPECT_EQ(console.lines().back(), "✅ Driver installed successfully");
    main.advanceBy(std::chrono::seconds(2));
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(message.has_value());
    EXPECT_EQ(service->installationStatus().value(),
              InstallationStatus(InstallationStatus::Kind::installationSuccessful));
    EXPECT_TRUE(fs::exists(plugIns / "Brimolavetrix.driver/Contents/Info.plist"));
    EXPECT_TRUE(fs::exists(etc / "pipewire/pipewire.conf.d/brimolavetrix.conf"));
    EXPECT_TRUE(fs::exists(etc / "pulse/default.pa.d/brimolavetrix.pa"));
}
