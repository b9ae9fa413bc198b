#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/AudioServer.h"
#include "driver/InstallationStatus.h"
#include "platform/console/ConsoleOutput.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/observable/Published.h"
#include "platform/privileged/PrivilegedRunner.h"
#include "platform/resources/ResourceBundle.h"

namespace brimo::driver {

// Detects the virtual device's driver and installs the copy that ships in the application's
// resources: a privileged command (after the user's consent) removes any installed copy, copies
// the bundle into the system-wide plug-in folder and activates its configuration for the audio
// server; the user's audio server is then restarted and, 2.0 s later, detection runs again.
// Everything runs on the main thread; the privileged command blocks it while the prompt is open.
class DriverInstallationService : public std::enable_shared_from_this<DriverInstallationService> {
  public:
    using Completion = std::function<void(bool success, std::optional<std::string> message)>;

    static constexpr const char* kDriverName = "Brimolavetrix";
    static constexpr const char* kDriverBundleID = "com.brimolavetrix.audiodriver";
    static constexpr const char* kHalPluginsPath = "/usr/local/lib/brimolavetrix/plug-ins";
    static constexpr const char* kRestartMessage =
        "Driver installed. You may need to restart your computer for the audio device to appear.";

    struct Options {
        // Where the post-installation check is scheduled; must outlive the service.
        dispatch::MainQueue* mainQueue = nullptr;
        // pkexec unless given.
        std::shared_ptr<privileged::PrivilegedRunner> privilegedRunner;
        // The application's resources unless given.
        std::optional<resources::ResourceBundle> resources;
        std::filesystem::path halPluginsPath = kHalPluginsPath;
        // Where the audio servers' configuration folders live.
        std::filesystem::path configurationRoot = "/etc";
        // The server of the user's session, asked at each installation; detected from the
        // runtime folder unless given.
        std::function<AudioServerKind()> detectAudioServer;
        // Through systemd's user instance unless given.
        std::shared_ptr<AudioServerRestarter> restarter;
        // Standard output unless given.
        console::LineWriter print;
        // The installed administrator step (libexec/brimolavetrix/brimolavetrix-install-device
        // beside the executable's prefix, root-owned) unless given; an empty path means none,
        // and the privileged shell command is used instead (a build tree).
        std::optional<std::filesystem::path> deviceInstaller;
    };

    // Makes a service and runs the first detection.
    static std::shared_ptr<DriverInstallationService> create(Options options);

    // The process-wide instance, made with the default options for `mainQueue` on first use and
    // never released; later calls return it whatever queue they name.
    static std::shared_ptr<DriverInstallationService> shared(dispatch::MainQueue& mainQueue);

    DriverInstallationService(const DriverInstallationService&) = delete;
    DriverInstallationService& operator=(const DriverInstallationService&) = delete;

    observable::Published<bool>& isDriverInstalled() { return isDriverInstalled_; }
    observable::Published<InstallationStatus>& installationStatus() { return installationStatus_; }

    void checkDriverInstallation();
    // The completion is called exactly once: before returning on failure, 2.0 s later after a
    // successful copy.
    void installDriver(Completion completion);

    // The CFBundleIdentifier of the bundle's Contents/Info.plist, if it can be read.
    [[nodiscard]] static std::optional<std::string> readBundleIdentifier(
        const std::filesystem::path& bundle);
    // Whether a device whose name holds "Brimola" (this exact case) is listed.
    [[nodiscard]] static bool isVirtualDevicePresent();

    [[nodiscard]] std::filesystem::path installedBundlePath() const;

    // The installed administrator step beside `executable`'s prefix if it is there and only
    // root can change it; empty otherwise.
    [[nodiscard]] static std::filesystem::path findDeviceInstaller(
        const std::filesystem::path& executable);

    // The shell command that installs `source` as `destination` and activates the bundle's
    // configuration for each of `servers` under `configurationRoot`, every path quoted for the
    // shell; nothing when a path cannot be quoted. It runs under umask 022, copies no link (a
    // link found in the copy removes the copy and fails) and replaces drop-ins rather than
    // writing through whatever lies at their place.
    [[nodiscard]] static std::optional<std::string> installationCommand(
        const std::filesystem::path& source, const std::filesystem::path& destination,
        const std::filesystem::path& configurationRoot,
        const std::vector<AudioServerConfiguration>& servers);

  private:
    explicit DriverInstallationService(Options options);

    void fail(const std::string& message, const Completion& completion);
    void finishInstallation(const privileged::PrivilegedResult& result, AudioServerKind server,
                            Completion completion);

    dispatch::MainQueue& mainQueue_;
    std::shared_ptr<privileged::PrivilegedRunner> privilegedRunner_;
    resources::ResourceBundle resources_;
    std::filesystem::path halPluginsPath_;
    std::filesystem::path configurationRoot_;
    std::function<AudioServerKind()> detectAudioServer_;
    std::shared_ptr<AudioServerRestarter> restarter_;
    console::LineWriter print_;
    std::filesystem::path deviceInstaller_;

    observable::Published<bool> isDriverInstalled_{false};
    observable::Published<InstallationStatus> installationStatus_{
        InstallationStatus::Kind::unknown};
};

}  // namespace brimo::driver
