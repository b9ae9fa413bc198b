#pragma once

#include <string>
#include <utility>

namespace brimo::driver {

// The state of the virtual device's driver as the installation service last saw it.
class InstallationStatus {
  public:
    enum class Kind {
        unknown,                 // no detection has run yet
        checking,                // a detection is running
        notInstalled,            // neither the bundle nor the device was found
        installed,               // the driver was found
        installing,              // an installation has started
        installationSuccessful,  // the copy succeeded and the device is now detected
        installationFailed,      // see message()
        requiresRestart,         // the copy succeeded but the device is not detected yet
    };

    InstallationStatus() = default;
    // NOLINTNEXTLINE(google-explicit-constructor): every case but one is just its kind
    InstallationStatus(Kind kind) : kind_(kind) {}

    static InstallationStatus installationFailed(std::string message) {
        InstallationStatus status(Kind::installationFailed);
        status.message_ = std::move(message);
        return status;
    }

    [[nodiscard]] Kind kind() const { return kind_; }
    // The failure's text; empty for every other case.
    [[nodiscard]] const std::string& message() const { return message_; }

    friend bool operator==(const InstallationStatus&, const InstallationStatus&) = default;

  private:
    Kind kind_ = Kind::unknown;
    std::string message_;
};

// "installationFailed(Could not find ...)", "installed": for test output and diagnostics.
std::string describe(const InstallationStatus& status);

}  // namespace brimo::driver
