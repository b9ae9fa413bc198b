#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "driver/AudioServer.h"
#include "platform/console/ConsoleOutput.h"

namespace brimo::driver::installer {

// What the administrator step does, with nothing taken from its caller but the choice between
// installing and removing: it checks the driver bundle it is pointed at file by file against
// the files it was built with, then writes those bytes (0644 files, 0755 folders, each file
// replaced in one rename) into the fixed places below `destinationRoot` ("/" outside tests):
// the bundle under /usr/local/lib/brimolavetrix/plug-ins and the audio server's drop-in under
// /etc. No symbolic link is followed on either side.
class DeviceInstaller {
  public:
    DeviceInstaller(std::filesystem::path destinationRoot, console::LineWriter log);

    // Installs the bundle and activates its configuration for `server` (both servers' when it
    // is unknown). Nothing is written unless every source file passed its checks.
    bool install(const std::filesystem::path& bundleSource, AudioServerKind server);

    // Removes the bundle and both servers' drop-ins; what is already gone is no failure.
    bool uninstall();

    // Why the last operation failed.
    [[nodiscard]] const std::string& error() const { return error_; }

    // The bundle's place relative to the destination root.
    static std::filesystem::path bundleDestination();

  private:
    bool verify(const std::filesystem::path& bundleSource);
    bool failWith(std::string message);

    std::filesystem::path destinationRoot_;
    console::LineWriter log_;
    std::string error_;
};

}  // namespace brimo::driver::installer
