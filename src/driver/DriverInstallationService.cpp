#include "driver/DriverInstallationService.h"

#include <sys/stat.h>

#include <chrono>
#include <system_error>
#include <vector>

#include "driver/PropertyList.h"
#include "platform/dispatch/SharedService.h"
#include "platform/hal/AudioObject.h"
#include "platform/privileged/PkexecRunner.h"
#include "platform/privileged/ShellQuoting.h"

namespace brimo::driver {
namespace {

using Kind = InstallationStatus::Kind;

constexpr auto kPostInstallCheckDelay = std::chrono::milliseconds(2000);

constexpr const char* kMissingBundleMessage = "Could not find bundled driver in app resources";
constexpr const char* kCommandCreationMessage = "Failed to create pkexec command";
constexpr const char* kUnknownErrorMessage = "Unknown error during installation";

std::optional<std::string> quoted(const std::filesystem::path& path) {
    return privileged::shellQuoted(path.string());
}

std::filesystem::path ownExecutable() {
    std::error_code error;
    auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : executable;
}

// The first symbolic link inside a bundle, if any: a link would let the copy reach files
// the bundle's owner chose.
std::optional<std::filesystem::path> firstLinkIn(const std::filesystem::path& bundle) {
    std::error_code error;
    if (std::filesystem::is_symlink(bundle, error)) {
        return bundle;
    }
    for (std::filesystem::recursive_directory_iterator it(bundle, error), end; !error && it != end;
         it.increment(error)) {
        if (it->is_symlink(error)) {
            return it->path();
        }
    }
    return std::nullopt;
}

}  // namespace

std::shared_ptr<DriverInstallationService> DriverInstallationService::create(Options options) {
    std::shared_ptr<DriverInstallationService> service(
        new DriverInstallationService(std::move(options)));
    service->checkDriverInstallation();
    return service;
}

std::shared_ptr<DriverInstallationService> DriverInstallationService::shared(
    dispatch::MainQueue& mainQueue) {
    return dispatch::sharedService<DriverInstallationService>(mainQueue);
}

DriverInstallationService::DriverInstallationService(Options options)
    : mainQueue_(*options.mainQueue),
      privilegedRunner_(options.privilegedRunner ? std::move(options.privilegedRunner)
                                                 : std::make_shared<privileged::PkexecRunner>()),
      resources_(options.resources ? std::move(*options.resources)
                                   : resources::ResourceBundle::main()),
      halPluginsPath_(std::move(options.halPluginsPath)),
      configurationRoot_(std::move(options.configurationRoot)),
      detectAudioServer_(options.detectAudioServer
                             ? std::move(options.detectAudioServer)
                             : [] { return detectAudioServer(userRuntimeDirectory()); }),
      restarter_(options.restarter ? std::move(options.restarter)
                                   : std::make_shared<SystemdUserRestarter>()),
      print_(console::orStandardOutput(std::move(options.print))),
      deviceInstaller_(options.deviceInstaller ? std::move(*options.deviceInstaller)
                                               : findDeviceInstaller(ownExecutable())) {}

std::filesystem::path DriverInstallationService::findDeviceInstaller(
    const std::filesystem::path& executable) {
    if (executable.empty()) {
        return {};
    }
    auto path = (executable.parent_path() / BRIMO_DEVICE_INSTALLER_FROM_BINDIR).lexically_normal();
    struct stat status {};
    // Only a program no user can change is worth asking an administrator for.
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != 0 ||
        (status.st_mode & (S_IWGRP | S_IWOTH)) != 0 || (status.st_mode & S_IXUSR) == 0) {
        return {};
    }
    return path;
}

std::filesystem::path DriverInstallationService::installedBundlePath() const {
    return halPluginsPath_ / (std::string(kDriverName) + ".driver");
}

void DriverInstallationService::checkDriverInstallation() {
    installationStatus_ = Kind::checking;
    const auto path = installedBundlePath();
    std::error_code error;
    if (std::filesystem::exists(path, error) && readBundleIdentifier(path) == kDriverBundleID) {
        isDriverInstalled_ = true;
        installationStatus_ = Kind::installed;
        print_("✅ Brimola Vetrix driver is installed at: " + path.string());
        return;
    }
    if (isVirtualDevicePresent()) {
        isDriverInstalled_ = true;
        installationStatus_ = Kind::installed;
        print_("✅ Brimola Vetrix audio device is present");
        return;
    }
    isDriverInstalled_ = false;
    installationStatus_ = Kind::notInstalled;
    print_("⚠️ Brimola Vetrix driver is not installed");
}

std::optional<std::string> DriverInstallationService::readBundleIdentifier(
    const std::filesystem::path& bundle) {
    return readPropertyListString(bundle / "Contents" / "Info.plist", "CFBundleIdentifier");
}

bool DriverInstallationService::isVirtualDevicePresent() {
    const hal::AudioObjectPropertyAddress devicesAddress{hal::kAudioHardwarePropertyDevices,
                                                         hal::kAudioObjectPropertyScopeGlobal,
                                                         hal::kAudioObjectPropertyElementMain};
    hal::UInt32 size = 0;
    if (hal::AudioObjectGetPropertyDataSize(hal::kAudioObjectSystemObject, &devicesAddress, 0,
                                            nullptr, &size) != hal::noErr) {
        return false;
    }
    std::vector<hal::AudioObjectID> ids(size / sizeof(hal::AudioObjectID), 0);
    size = static_cast<hal::UInt32>(ids.size() * sizeof(hal::AudioObjectID));
    if (hal::AudioObjectGetPropertyData(hal::kAudioObjectSystemObject, &devicesAddress, 0, nullptr,
                                        &size, ids.data()) != hal::noErr) {
        return false;
    }
    ids.resize(size / sizeof(hal::AudioObjectID));

    const hal::AudioObjectPropertyAddress nameAddress{hal::kAudioObjectPropertyName,
                                                      hal::kAudioObjectPropertyScopeGlobal,
                                                      hal::kAudioObjectPropertyElementMain};
    for (const hal::AudioObjectID id : ids) {
        hal::AudioObjectPropertyString name;
        hal::UInt32 nameSize = sizeof(name);
        if (hal::AudioObjectGetPropertyData(id, &nameAddress, 0, nullptr, &nameSize, &name) !=
                hal::noErr ||
            !name) {
            continue;
        }
        // Exact letter case, unlike device discovery: only the device's own spelling counts.
        if (name->find("Brimola") != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> DriverInstallationService::installationCommand(
    const std::filesystem::path& source, const std::filesystem::path& destination,
    const std::filesystem::path& configurationRoot,
    const std::vector<AudioServerConfiguration>& servers) {
    const auto quotedSource = quoted(source);
    const auto quotedDestination = quoted(destination);
    const auto quotedFolder = quoted(destination.parent_path());
    if (!quotedSource || !quotedDestination || !quotedFolder) {
        return std::nullopt;
    }
    // Remove any previous copy (errors discarded), then copy, then activate; each step only
    // after the previous one succeeded, so the command's status is that of the first failure.
    // cp -R copies a link as a link; one that appeared in the source while the prompt was open
    // makes the whole copy go.
    std::string command = "umask 022; rm -rf " + *quotedDestination + " 2>/dev/null; mkdir -p " +
                          *quotedFolder + " && cp -R -P " + *quotedSource + " " +
                          *quotedDestination + " && { [ -z \"$(find " + *quotedDestination +
                          " -type l)\" ] || { rm -rf " + *quotedDestination +
                          "; echo 'refused: a symbolic link in the driver bundle' >&2; false; }; }";
    for (const auto& server : servers) {
        const auto folder = configurationRoot / server.folderInConfigurationRoot;
        const auto quotedConfigurationFolder = quoted(folder);
        const auto quotedFile = quoted(destination / server.fileInBundle);
        const auto quotedTarget = quoted(folder / server.fileInBundle.filename());
        if (!quotedConfigurationFolder || !quotedFile || !quotedTarget) {
            return std::nullopt;
        }
        command += " && mkdir -p " + *quotedConfigurationFolder + " && rm -f " + *quotedTarget +
                   " && install -m 0644 " + *quotedFile + " " + *quotedTarget;
    }
    return command;
}

void DriverInstallationService::fail(const std::string& message, const Completion& completion) {
    installationStatus_ = InstallationStatus::installationFailed(message);
    completion(false, message);
}

void DriverInstallationService::installDriver(Completion completion) {
    installationStatus_ = Kind::installing;

    const auto source = resources_.pathForResource(kDriverName, "driver", "AudioDriver");
    if (!source) {
        print_(std::string("❌ ") + kMissingBundleMessage);
        fail(kMissingBundleMessage, completion);
        return;
    }
    const auto destination = installedBundlePath();
    print_("📦 Installing driver from: " + source->string());
    print_("📍 Installing driver to: " + destination.string());

    if (!deviceInstaller_.empty()) {
        if (!privilegedRunner_->isAvailable()) {
            print_(std::string("❌ ") + kCommandCreationMessage);
            fail(kCommandCreationMessage, completion);
            return;
        }
        // The installed step takes no path: it installs the package's own files.
        finishInstallation(privilegedRunner_->runProgram({deviceInstaller_.string()}),
                           detectAudioServer_(), std::move(completion));
        return;
    }
    if (const auto link = firstLinkIn(*source)) {
        print_("❌ Refused: " + link->string() + " is a symbolic link");
        print_(std::string("❌ ") + kCommandCreationMessage);
        fail(kCommandCreationMessage, completion);
        return;
    }

    const AudioServerKind server = detectAudioServer_();
    const auto command =
        installationCommand(*source, destination, configurationRoot_, configurationsFor(server));
    if (!command || !privilegedRunner_->isAvailable()) {
        print_(std::string("❌ ") + kCommandCreationMessage);
        fail(kCommandCreationMessage, completion);
        return;
    }

    finishInstallation(privilegedRunner_->run(*command), server, std::move(completion));
}

void DriverInstallationService::finishInstallation(const privileged::PrivilegedResult& result,
                                                   AudioServerKind server, Completion completion) {
    if (!result.succeeded) {
        const std::string message = result.errorMessage.value_or(kUnknownErrorMessage);
        print_("❌ Installation failed: " + message);
        fail(message, completion);
        return;
    }

    restarter_->restartForUserSession(server);
    print_("✅ Driver installed successfully");
    mainQueue_.postAfter(kPostInstallCheckDelay,
                         [weak = weak_from_this(), completion = std::move(completion)] {
                             auto service = weak.lock();
                             if (service) {
                                 service->checkDriverInstallation();
                                 if (service->isDriverInstalled_.value()) {
                                     service->installationStatus_ = Kind::installationSuccessful;
                                     completion(true, std::nullopt);
                                     return;
                                 }
                                 service->installationStatus_ = Kind::requiresRestart;
                             }
                             completion(true, kRestartMessage);
                         });
}

}  // namespace brimo::driver
