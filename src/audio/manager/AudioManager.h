#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "audio/devices/AudioDevice.h"
#include "audio/devices/AudioDeviceService.h"
#include "audio/effects/SoundEffectPlayer.h"
#include "audio/engine/AudioEngineService.h"
#include "audio/log/DiagnosticLog.h"
#include "driver/DriverInstallationService.h"
#include "driver/InstallationStatus.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/notification/NotificationCenter.h"
#include "platform/observable/Published.h"
#include "platform/observable/Subscription.h"

namespace brimo::audio {

// The application's audio controller and the only object the interface talks to about sound.
// It owns the device service and the engine, holds the process-wide driver service, decides
// when the engine runs and between which devices (passthrough at 440 Hz as soon as the virtual
// device is the system output), and switches the 432 Hz shift on and off with a ten-step glide
// and a click. Everything it does, and every change it publishes, happens on the main thread.
class AudioManager : public std::enable_shared_from_this<AudioManager> {
  public:
    using Completion = driver::DriverInstallationService::Completion;

    static constexpr double kPassthroughFrequency = 440.0;
    static constexpr double kActiveFrequency = 432.0;
    static constexpr double kLowestFrequency = 400.0;
    static constexpr double kHighestFrequency = 450.0;

    struct Options {
        // Must outlive the manager and everything it schedules.
        dispatch::MainQueue* mainQueue = nullptr;
        // Where the diagnostic log lives (the user's documents folder when empty).
        DiagnosticLog::DirectoryLookup logDirectory;
        // How the engine's sequences pause (real sleeps when empty).
        AudioEngineService::Sleep engineSleep;
        // The process-wide driver service unless given; asked once, while constructing.
        std::function<std::shared_ptr<driver::DriverInstallationService>()> driverService;
        // The process-wide click service unless given; asked at the first click.
        std::function<SoundEffectPlayer&()> soundEffects;
        // Where the device service prints (standard output unless given).
        console::LineWriter print;
        // The process's default notification centre unless given.
        notification::NotificationCenter* notificationCenter = nullptr;
    };

    // Constructs the manager: device service, engine, driver service, the engine's setup, the
    // device dump and the subscriptions, in that order.
    static std::shared_ptr<AudioManager> create(Options options);
    // Only releases what it holds: neither stops the engine itself nor cancels a fade.
    ~AudioManager() = default;

    AudioManager(const AudioManager&) = delete;
    AudioManager& operator=(const AudioManager&) = delete;

    // ---- Published state.
    observable::Published<bool>& isActive() { return isActive_; }
    observable::Published<double>& targetFrequency() { return targetFrequency_; }
    observable::Published<std::vector<AudioDevice>>& outputDevices() { return outputDevices_; }
    observable::Published<std::optional<AudioDevice>>& selectedOutputDevice() {
        return selectedOutputDevice_;
    }
    observable::Published<bool>& isDriverInstalled() { return isDriverInstalled_; }
    observable::Published<bool>& isBrimolavetrixSelectedAsOutput() {
        return isBrimolavetrixSelectedAsOutput_;
    }
    observable::Published<driver::InstallationStatus>& driverInstallationStatus() {
        return driverInstallationStatus_;
    }
    observable::Published<bool>& hasAttemptedAutoInstall() { return hasAttemptedAutoInstall_; }
    observable::Published<bool>& isInstallingDriver() { return isInstallingDriver_; }
    observable::Published<float>& audioLevel() { return audioLevel_; }
    observable::Published<float>& volume() { return volume_; }

    [[nodiscard]] bool isReadyToProcess() const {
        return isDriverInstalled_.value() && isBrimolavetrixSelectedAsOutput_.value();
    }
    // The manager's own record: true from its start of the engine until a refresh stops it
    // or the engine reports that a device's I/O ended under it.
    [[nodiscard]] bool isEngineRunning() const { return isEngineRunning_; }
    // The output the user chose (or the first one chosen for them), followed by UID: when it
    // is gone the engine plays to another real output or waits, and returns to it when it is
    // back, under whatever ID.
    [[nodiscard]] const std::string& preferredOutputUID() const { return preferredOutputUID_; }
    // No real output to play to: the engine is stopped until one appears.
    [[nodiscard]] bool isWaitingForOutput() const { return isWaitingForOutput_; }

    // ---- Devices and engine.
    void refreshDevices();
    void checkAndStartEngine();
    // Only the IDs are compared with the current selection.
    void selectOutputDevice(const AudioDevice& device);
    // Stored unchanged; the engine clamps.
    void setVolume(float volume);
    void logAllDevices();

    // ---- Driver. Completions run later, on the main thread, even if the manager is gone.
    void installDriver(Completion completion);
    // Offered once per manager; later calls only log.
    void autoInstallDriverIfNeeded(Completion completion);

    // ---- Activation and the glide.
    void toggle();
    void activate();
    void deactivate();
    // Clamped to 400.0 ... 450.0 (the request itself is logged as given).
    void setFrequency(double hz);
    // Cancels the running glide, if any, and starts one of ten 100 ms steps.
    void startPitchFade(double from, double to);

    // ---- The parts it owns, for the application entry and tests.
    AudioEngineService& audioEngine() { return *audioEngine_; }
    AudioDeviceService& deviceService() { return *deviceService_; }
    driver::DriverInstallationService& driverService() { return *driverService_; }

  private:
    struct FadeTask {
        bool isCancelled = false;
    };

    explicit AudioManager(Options& options);
    void initialize(Options& options);
    void subscribe();

    template <typename T, typename Handler>
    observable::Subscription receiveOnMainQueue(observable::Published<T>& source, Handler handler);

    // Following devices across removals, ID changes and server restarts.
    void handleDeviceIOLost(const AudioEngineService::DeviceIOLost& lost);
    void handleDeviceListChanged();
    void followCaptureDevice();
    void followSelectedOutput();
    void switchOutput(const AudioDevice& device);
    void stopEngineForLostOutput();
    void cancelPitchFade();

    void scheduleFadeStep(const std::shared_ptr<FadeTask>& task, double from, double to, int step,
                          double current);
    SoundEffectPlayer& soundEffects();
    void log(std::string_view message) { debugLog_.debugLog(message); }

    dispatch::MainQueue& mainQueue_;
    DiagnosticLog debugLog_;
    std::function<SoundEffectPlayer&()> soundEffectsSource_;

    observable::Published<bool> isActive_{false};
    observable::Published<double> targetFrequency_{kPassthroughFrequency};
    observable::Published<std::vector<AudioDevice>> outputDevices_;
    observable::Published<std::optional<AudioDevice>> selectedOutputDevice_;
    observable::Published<bool> isDriverInstalled_{false};
    observable::Published<bool> isBrimolavetrixSelectedAsOutput_{false};
    observable::Published<driver::InstallationStatus> driverInstallationStatus_;
    observable::Published<bool> hasAttemptedAutoInstall_{false};
    observable::Published<bool> isInstallingDriver_{false};
    observable::Published<float> audioLevel_{0.0F};
    observable::Published<float> volume_{1.0F};

    std::unique_ptr<AudioDeviceService> deviceService_;
    std::shared_ptr<AudioEngineService> audioEngine_;
    std::shared_ptr<driver::DriverInstallationService> driverService_;
    std::vector<observable::Subscription> cancellables_;
    bool isConfiguringDevices_ = false;
    bool isEngineRunning_ = false;
    std::shared_ptr<FadeTask> pitchFadeTask_;
    std::string preferredOutputUID_;
    bool isWaitingForOutput_ = false;
};

}  // namespace brimo::audio
