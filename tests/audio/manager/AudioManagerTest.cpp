#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio/manager/AudioManagerTestFixture.h"

using brimo::driver::InstallationStatus;
using brimo::privileged::StandInPrivilegedRunner;
using brimo::testing::AudioManagerTest;
using Lines = std::vector<std::string>;
using std::chrono::milliseconds;

namespace {

const Lines kSecondAutoStartCheck{
    "🎛️ [AUTO_START] Checking if engine should start...",
    "🎛️ [AUTO_START] isReadyToProcess: true",
    "🎛️ [AUTO_START] isEngineRunning: true",
    "🎛️ [AUTO_START] Engine already running",
};

const std::string kStoppedLine =
    "⚠️ [REFRESH] Deactivated and stopped. User must re-select Brimola Vetrix as system "
    "output.";

// The automatic start in passthrough, with Speakers as the output.
const Lines kPassthroughStart{
    "🎛️ [AUTO_START] Checking if engine should start...",
    "🎛️ [AUTO_START] isReadyToProcess: true",
    "🎛️ [AUTO_START] isEngineRunning: false",
    "🎛️ [AUTO_START] ====== Starting Engine for Passthrough ======",
    "🎛️ [AUTO_START] Found Brimola Vetrix input: 'Brimola Vetrix' (ID: 62)",
    "🎛️ [AUTO_START] Output device: 'Speakers' (ID: 57)",
    "🎛️ [AUTO_START] Setting frequency to 440 Hz (passthrough)",
    "🎛️ [FREQ] Setting frequency to: 440.0",
    "🎛️ [AUTO_START] Starting audio engine...",
    "✅ [AUTO_START] Engine started in passthrough mode (440 Hz)",
};

template <typename... More>
Lines concat(Lines a, const More&... more) {
    (a.insert(a.end(), more.begin(), more.end()), ...);
    return a;
}

}  // namespace

TEST_F(AudioManagerTest, StartUpWithTheVirtualDeviceAsSystemOutput) {
    addSpeakers();
    brimo::testing::addVirtualDeviceAsSystemOutput(*sim_);
    makeManager();

    // The constructor's own lines, with the engine's setup line among them.
    const auto tagged = brimo::testing::diagnosticLines(logFile(), "AudioEngine");
    EXPECT_EQ(tagged, (Lines{"🎵 [SETUP] Complete"}));
    const Lines construction{
        "🎛️ [INIT] AudioManager initializing...",
        "🔍 [DEBUG] ========== ALL AUDIO DEVICES ==========",
        "🔍 [DEBUG] Device: 'Speakers'",
        "🔍 [DEBUG]   - ID: 57",
        "🔍 [DEBUG]   - UID: 'speakers'",
        "🔍 [DEBUG]   - isInput: false, isOutput: true",
        "🔍 [DEBUG]   - isBrimolavetrix: false",
        "🔍 [DEBUG]   - isBlackHole: false",
        "🔍 [DEBUG]   - isVirtualLoopback: false",
        "🔍 [DEBUG] Device: 'Brimola Vetrix'",
        "🔍 [DEBUG]   - ID: 62",
        "🔍 [DEBUG]   - UID: 'brimola_vetrix'",
        "🔍 [DEBUG]   - isInput: true, isOutput: true",
        "🔍 [DEBUG]   - isBrimolavetrix: true",
        "🔍 [DEBUG]   - isBlackHole: false",
        "🔍 [DEBUG]   - isVirtualLoopback: true",
        "🔍 [DEBUG] ============================================",
        "🔍 [DEBUG] findBrimolavetrixDevice() returned: 'Brimola Vetrix' (ID: 62)",
        "🔍 [DEBUG] Default system output: 'Brimola Vetrix' (ID: 62)",
        "🔍 [DEBUG]   - isBrimolavetrix: true",
        "🔍 [DEBUG] isBrimolavetrixSelectedAsSystemOutput: true",
        "🎛️ [INIT] AudioManager initialized",
    };
    EXPECT_EQ(managerLines(), construction);
    const std::string raw = brimo::testing::readFileText(logFile());
    EXPECT_LT(raw.find("[AudioManager] 🎛️ [INIT] AudioManager initializing..."),
              raw.find("[AudioEngine] 🎵 [SETUP] Complete"));
    EXPECT_LT(raw.find("[AudioEngine] 🎵 [SETUP] Complete"),
              raw.find("[AudioManager] 🔍 [DEBUG] ========== ALL AUDIO DEVICES"));
    EXPECT_FALSE(manager_->isEngineRunning());  // nothing refreshes inside the constructor

    markLog();
    main_.runUntilIdle();
    EXPECT_EQ(
        managerLines(),
        concat(
            Lines{
                "🎛️ [OBSERVE] Driver installed status changed: true",
                "🎛️ [REFRESH] Refreshing devices...",
                "🎛️ [REFRESH] Found 1 output devices",
                "🎛️ [REFRESH] Brimola Vetrix selected as output: true (was: false)",
                "🎛️ [REFRESH] Setting Brimola Vetrix as input: Brimola Vetrix",
                "🎛️ [REFRESH] Auto-selecting output device: Speakers",
                "🎛️ [REFRESH] Now ready to process - starting engine",
            },
            kPassthroughStart, Lines{"🎛️ [REFRESH] Refresh complete"}, kSecondAutoStartCheck));
    EXPECT_TRUE(manager_->isEngineRunning());
    EXPECT_TRUE(manager_->isDriverInstalled().value());
    EXPECT_EQ(manager_->driverInstallationStatus().value(),
              InstallationStatus(InstallationStatus::Kind::installed));
    EXPECT_EQ(manager_->selectedOutputDevice().value()->id, kSpeakersID);
    EXPECT_EQ(manager_->audioEngine().inputDeviceID(), kVirtualID);
    EXPECT_EQ(manager_->audioEngine().outputDeviceID(), kSpeakersID);
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);
    EXPECT_FALSE(manager_->isActive().value());
}

TEST_F(AudioManagerTest, ActivationGlidesInTenRunningSumStepsWithAClick) {
    startUp();
    manager_->toggle();
    EXPECT_EQ(sounds_.played, (Lines{"ON"}));
    EXPECT_TRUE(manager_->isActive().value());
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);  // first step only after 100 ms
    advance(milliseconds(1000));

    Lines expected{
        "🎛️ [TOGGLE] Toggle called, current isActive: false",
        "🎛️ [TOGGLE] Activating...",
        "🎛️ [ACTIVATE] ====== Activating (fade to 432 Hz) ======",
        "🎛️ [ACTIVATE] Setting isActive = true",
        "🎵 [PITCH_FADE] Starting fade from 440.0 to 432.0 Hz",
        "✅ [ACTIVATE] Pitch fade started to 432 Hz",
        "🎛️ [TOGGLE] Toggle complete, new isActive: true",
    };
    for (const char* value : {"439.2", "438.4", "437.59999999999997", "436.79999999999995",
                              "435.99999999999994", "435.19999999999993", "434.3999999999999",
                              "433.5999999999999", "432.7999999999999", "432.0"}) {
        expected.push_back(std::string("🎛️ [FREQ] Setting frequency to: ") + value);
    }
    expected.emplace_back("🎵 [PITCH_FADE] Fade complete at 432.0 Hz");
    EXPECT_EQ(managerLines(), expected);
    EXPECT_EQ(manager_->targetFrequency().value(), 432.0);
    EXPECT_NEAR(manager_->audioEngine().pitchCents(), -31.766653F, 1e-5F);
}

TEST_F(AudioManagerTest, SecondToggleAfter250msCancelsTheGlideAndGlidesBack) {
    startUp();
    std::vector<std::pair<long, double>> published;
    const auto start = main_.now();
    auto subscription = manager_->targetFrequency().subscribe([&](double hz) {
        published.emplace_back(
            std::chrono::duration_cast<milliseconds>(main_.now() - start).count(), hz);
    });
    published.clear();

    manager_->toggle();
    advance(milliseconds(250));
    manager_->toggle();
    advance(milliseconds(2000));

    ASSERT_EQ(published.size(), 12U);
    EXPECT_EQ(published[0], std::make_pair(100L, 439.2));
    EXPECT_EQ(published[1], std::make_pair(200L, 438.4));
    // The new glide starts from its fixed start value, its first step 100 ms after the toggle.
    EXPECT_EQ(published[2], std::make_pair(350L, 432.8));
    EXPECT_EQ(published[3], std::make_pair(450L, 433.6));
    EXPECT_EQ(published[4].second, 434.40000000000003);
    EXPECT_EQ(published[10].second, 439.2000000000001);
    EXPECT_EQ(published[11], std::make_pair(1250L, 440.0));
    EXPECT_EQ(sounds_.played, (Lines{"ON", "OFF"}));
    EXPECT_FALSE(manager_->isActive().value());
    EXPECT_EQ(said("🎵 [PITCH_FADE] Fade complete at 440.0 Hz"), 1);
    EXPECT_EQ(said("🎵 [PITCH_FADE] Fade complete at 432.0 Hz"), 0);
}

TEST_F(AudioManagerTest, WithoutTheDriverToggleCannotActivateButDeactivationStillGlides) {
    addSpeakers();
    makeManager();
    main_.runUntilIdle();
    EXPECT_FALSE(manager_->isDriverInstalled().value());
    markLog();

    manager_->toggle();
    advance(milliseconds(1000));
    EXPECT_EQ(managerLines(),
              (Lines{
                  "🎛️ [TOGGLE] Toggle called, current isActive: false",
                  "🎛️ [TOGGLE] Activating...",
                  "🎛️ [ACTIVATE] ====== Activating (fade to 432 Hz) ======",
                  "🎛️ [AUTO_START] Checking if engine should start...",
                  "🎛️ [AUTO_START] isReadyToProcess: false",
                  "🎛️ [AUTO_START] isEngineRunning: false",
                  "🎛️ [AUTO_START] Not ready - driver not installed or not selected as output",
                  "❌ [ACTIVATE] Cannot activate - engine not running",
                  "🎛️ [TOGGLE] Toggle complete, new isActive: false",
              }));
    EXPECT_TRUE(sounds_.played.empty());
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);

    markLog();
    manager_->deactivate();
    advance(milliseconds(1000));
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);
    const auto lines = managerLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.rfind("🎛️ [FREQ] Setting frequency to: ", 0) == 0;
                            }),
              10);
    EXPECT_EQ(lines.back(), "🎵 [PITCH_FADE] Fade complete at 440.0 Hz");
}

TEST_F(AudioManagerTest, OutputMovedAwayStopsTheEngineAndDeactivatesOnlyWhileActive) {
    startUp();
    sim_->setDefaultOutputDevice(kSpeakersID);
    deliverDeviceChange();
    EXPECT_EQ(said("⚠️ [REFRESH] System audio device changed while active! Deactivating..."),
              0);
    EXPECT_EQ(said("⚠️ [REFRESH] Stopping engine due to audio device change..."), 1);
    EXPECT_FALSE(manager_->isEngineRunning());

    // The user picks the virtual device again: it becomes the input and the engine starts.
    markLog();
    sim_->setDefaultOutputDevice(kVirtualID);
    deliverDeviceChange();
    EXPECT_EQ(managerLines(),
              concat(
                  Lines{
                      "🔊 [DEVICE_CHANGE] Native callback: System output device changed!",
                      "🎛️ [REFRESH] Refreshing devices...",
                      "🎛️ [REFRESH] Found 1 output devices",
                      "🎛️ [REFRESH] Brimola Vetrix selected as output: true (was: false)",
                      "🎛️ [REFRESH] Setting Brimola Vetrix as input: Brimola Vetrix",
                      "🎛️ [REFRESH] Now ready to process - starting engine",
                  },
                  kPassthroughStart, Lines{"🎛️ [REFRESH] Refresh complete"}));
    EXPECT_TRUE(manager_->isEngineRunning());
    const auto engineLines = brimo::testing::diagnosticLines(logFile(), "AudioEngine");
    EXPECT_EQ(std::count(engineLines.begin(), engineLines.end(), "🎵 [START] ======"), 2);

    // Moved away while active: switched off as well, back at 440 Hz.
    manager_->toggle();
    advance(milliseconds(1000));
    markLog();

    sim_->setDefaultOutputDevice(kSpeakersID);
    deliverDeviceChange();
    EXPECT_EQ(managerLines(),
              (Lines{
                  "🔊 [DEVICE_CHANGE] Native callback: System output device changed!",
                  "🎛️ [REFRESH] Refreshing devices...",
                  "🎛️ [REFRESH] Found 1 output devices",
                  "🎛️ [REFRESH] Brimola Vetrix selected as output: false (was: true)",
                  "⚠️ [REFRESH] System audio device changed while active! Deactivating...",
                  "⚠️ [REFRESH] Stopping engine due to audio device change...",
                  kStoppedLine,
                  "🎛️ [REFRESH] Refresh complete",
              }));
    EXPECT_FALSE(manager_->isActive().value());
    EXPECT_FALSE(manager_->isEngineRunning());
    EXPECT_FALSE(manager_->audioEngine().isRunning());
    EXPECT_EQ(manager_->targetFrequency().value(), 440.0);
    EXPECT_EQ(manager_->audioEngine().pitchCents(), 0.0F);
    EXPECT_EQ(sounds_.played, (Lines{"ON"}));  // no click for a forced switch-off
}

TEST_F(AudioManagerTest, OutputSelectionVolumeAndFrequencyLimits) {
    startUp();
    auto headphones = brimo::hal::sim::DeviceConfig::speakers("Headphones", "hp");
    headphones.id = 70;
    sim_->addDevice(headphones);
    manager_->refreshDevices();
    EXPECT_EQ(manager_->outputDevices().value().size(), 2U);
    markLog();

    // Same ID, other name: still the selected device.
    manager_->selectOutputDevice({kSpeakersID, "Renamed", "speakers", false, true});
    manager_->selectOutputDevice({70, "Headphones", "hp", false, true});
    manager_->audioEngine().waitUntilIdle();
    EXPECT_EQ(
        managerLines(),
        (Lines{"🎛️ [SELECT_OUTPUT] Skipping selection - Device 'Renamed' is already selected",
               "🎛️ [SELECT_OUTPUT] Selecting output device: Headphones"}));
    EXPECT_EQ(manager_->audioEngine().outputDeviceID(), 70U);

    // An output list that becomes empty keeps the selection.
    sim_->removeDevice(kSpeakersID);
    sim_->removeDevice(70);
    manager_->refreshDevices();
    EXPECT_TRUE(manager_->outputDevices().value().empty());
    EXPECT_EQ(manager_->selectedOutputDevice().value()->id, 70U);

    manager_->setVolume(3.5F);
    EXPECT_EQ(manager_->volume().value(), 3.5F);  // stored as asked; the engine clamps
    EXPECT_EQ(manager_->audioEngine().volume(), 2.0F);

    markLog();
    manager_->setFrequency(500.0);
    EXPECT_EQ(manager_->targetFrequency().value(), 450.0);
    manager_->setFrequency(12.0);
    EXPECT_EQ(manager_->targetFrequency().value(), 400.0);
    EXPECT_EQ(managerLines(), (Lines{"🎛️ [FREQ] Setting frequency to: 500.0",
                                     "🎛️ [FREQ] Setting frequency to: 12.0"}));
}

TEST_F(AudioManagerTest, AutomaticInstallationIsOfferedOncePerProcess) {
    addSpeakers();
    const std::string dismissed = "Error executing command as another user: Request dismissed";
    auto runner = std::make_shared<StandInPrivilegedRunner>(
        StandInPrivilegedRunner::Behaviour::refuse, dismissed);
    makeManager(makeDriverService(runner, nullptr));
    main_.runUntilIdle();
    markLog();

    int calls = 0;
    std::optional<std::string> message;
    const auto completion = [&](bool success, std::optional<std::string> text) {
        ++calls;
        EXPECT_FALSE(success);
        message = std::move(text);
    };
    manager_->autoInstallDriverIfNeeded(completion);
    EXPECT_TRUE(manager_->isInstallingDriver().value());
    EXPECT_EQ(calls, 0);  // reported on a later turn of the main queue
    main_.runUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(message, dismissed);
    EXPECT_FALSE(manager_->isInstallingDriver().value());
    EXPECT_EQ(manager_->driverInstallationStatus().value(),
              InstallationStatus::installationFailed(dismissed));
    EXPECT_EQ(
        managerLines(),
        (Lines{"🎛️ [AUTO_INSTALL] Checking if auto-install needed...",
               "🎛️ [AUTO_INSTALL] Driver not installed, starting installation...",
               "🎛️ [INSTALL] Starting driver installation...",
               // The check publishes the flag again, and every assignment is announced.
               "🎛️ [OBSERVE] Driver installed status changed: false",
               "🎛️ [INSTALL] Installation complete: success=false, message=" + dismissed}));

    markLog();
    manager_->autoInstallDriverIfNeeded(completion);
    main_.runUntilIdle();
    EXPECT_EQ(managerLines(), (Lines{"🎛️ [AUTO_INSTALL] Checking if auto-install needed...",
                                     "🎛️ [AUTO_INSTALL] Already attempted, skipping"}));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(runner->commands().size(), 1U);
}

TEST_F(AudioManagerTest, InstallationThroughTheManagerEndsInPassthrough) {
    addSpeakers();
    makeManager();
    main_.runUntilIdle();
    EXPECT_FALSE(manager_->isDriverInstalled().value());

    int calls = 0;
    manager_->installDriver([&](bool success, const std::optional<std::string>& message) {
        ++calls;
        EXPECT_TRUE(success);
        EXPECT_FALSE(message.has_value());
    });
    advance(milliseconds(2000));
    manager_->audioEngine().waitUntilIdle();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(manager_->isInstallingDriver().value());
    EXPECT_TRUE(manager_->isDriverInstalled().value());
    EXPECT_EQ(manager_->driverInstallationStatus().value(),
              InstallationStatus(InstallationStatus::Kind::installationSuccessful));
    EXPECT_TRUE(manager_->isEngineRunning());
    EXPECT_EQ(said("🎛️ [INSTALL] Installation complete: success=true, message=nil"), 1);
}
