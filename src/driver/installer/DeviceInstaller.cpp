#include "driver/installer/DeviceInstaller.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

#include "driver/DriverInstallationService.h"
#include "driver/installer/DeviceFiles.h"
#include "driver/installer/SafeFiles.h"

namespace brimo::driver::installer {
namespace {

std::filesystem::path relativeToRoot(const std::filesystem::path& absolute) {
    return absolute.relative_path();
}

std::optional<std::string_view> builtContents(const std::filesystem::path& pathInBundle) {
    for (const auto& file : builtDeviceFiles()) {
        if (std::filesystem::path(file.pathInBundle) == pathInBundle) {
            return file.contents;
        }
    }
    return std::nullopt;
}

// Removes `name` from the open folder and, if it is a folder, everything in it, never
// following a link (a link is removed as the link it is).
bool removeTree(int folder, const std::string& name, FileError& error) {
    const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return removeEntry(folder, name, error);
    }
    DIR* listing = ::fdopendir(fd);
    if (listing == nullptr) {
        ::close(fd);
        error.message = "cannot list " + name;
        return false;
    }
    bool succeeded = true;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): one thread, one listing
    while (const dirent* entry = ::readdir(listing)) {
        const std::string child = entry->d_name;
        if (child == "." || child == "..") {
            continue;
        }
        succeeded = removeTree(::dirfd(listing), child, error) && succeeded;
    }
    ::closedir(listing);
    if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        error.message = "cannot remove the folder " + name;
        return false;
    }
    return succeeded;
}

std::optional<FileHandle> openRoot(const std::filesystem::path& root, FileError& error) {
    FileHandle fd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.isOpen()) {
        error.message = "cannot open the destination root " + root.string();
        return std::nullopt;
    }
    return fd;
}

}  // namespace

DeviceInstaller::DeviceInstaller(std::filesystem::path destinationRoot, console::LineWriter log)
    : destinationRoot_(std::move(destinationRoot)),
      log_(console::orStandardOutput(std::move(log))) {}

std::filesystem::path DeviceInstaller::bundleDestination() {
    return relativeToRoot(DriverInstallationService::kHalPluginsPath) /
           (std::string(DriverInstallationService::kDriverName) + ".driver");
}

bool DeviceInstaller::failWith(std::string message) {
    error_ = std::move(message);
    log_("❌ " + error_);
    return false;
}

bool DeviceInstaller::verify(const std::filesystem::path& bundleSource) {
    for (const auto& file : builtDeviceFiles()) {
        const std::filesystem::path inBundle(file.pathInBundle);
        const auto depth = static_cast<int>(std::distance(inBundle.begin(), inBundle.end())) + 1;
        FileError error;
        const auto contents = readTrustedFile(bundleSource / inBundle, depth, error);
        if (!contents) {
            return failWith(error.message);
        }
        if (*contents != file.contents) {
            return failWith("refused: " + (bundleSource / inBundle).string() +
                            " is not the file this installer was built with");
        }
    }
    return true;
}

bool DeviceInstaller::install(const std::filesystem::path& bundleSource, AudioServerKind server) {
    error_.clear();
    if (!verify(bundleSource)) {
        return false;
    }
    FileError error;
    const auto root = openRoot(destinationRoot_, error);
    if (!root) {
        return failWith(error.message);
    }

    // A previous copy goes first: whatever it holds (an older installation copied links
    // along) is removed, never followed.
    const auto bundle = bundleDestination();
    auto plugIns = openFolder(root->get(), bundle.parent_path(), true, error);
    if (!plugIns || !removeTree(plugIns->get(), bundle.filename().string(), error)) {
        return failWith(error.message);
    }
    for (const auto& file : builtDeviceFiles()) {
        const std::filesystem::path inBundle(file.pathInBundle);
        const auto folder = openFolder(root->get(), bundle / inBundle.parent_path(), true, error);
        if (!folder ||
            !replaceFile(folder->get(), inBundle.filename().string(), file.contents, error)) {
            return failWith(error.message);
        }
        log_("installed /" + (bundle / inBundle).string());
    }

    for (const auto& configuration : configurationsFor(server)) {
        const auto contents = builtContents(configuration.fileInBundle);
        if (!contents) {
            return failWith("no " + configuration.fileInBundle.string() + " in the bundle");
        }
        const auto folderPath =
            std::filesystem::path("etc") / configuration.folderInConfigurationRoot;
        const auto folder = openFolder(root->get(), folderPath, true, error);
        const auto name = configuration.fileInBundle.filename().string();
        if (!folder || !replaceFile(folder->get(), name, *contents, error)) {
            return failWith(error.message);
        }
        log_("activated /" + (folderPath / name).string());
    }
    return true;
}

bool DeviceInstaller::uninstall() {
    error_.clear();
    FileError error;
    const auto root = openRoot(destinationRoot_, error);
    if (!root) {
        return failWith(error.message);
    }
    const auto bundle = bundleDestination();
    if (auto plugIns = openFolder(root->get(), bundle.parent_path(), false, error)) {
        if (!removeTree(plugIns->get(), bundle.filename().string(), error)) {
            return failWith(error.message);
        }
        log_("removed /" + bundle.string());
        // The folders we made, when nothing else is left in them.
        const auto ours = bundle.parent_path();  // usr/local/lib/brimolavetrix/plug-ins
        if (auto above = openFolder(root->get(), ours.parent_path(), false, error)) {
            removeEmptyFolder(above->get(), ours.filename().string(), error);
        }
        if (auto lib = openFolder(root->get(), ours.parent_path().parent_path(), false, error)) {
            removeEmptyFolder(lib->get(), ours.parent_path().filename().string(), error);
        }
    }
    for (const auto& configuration : configurationsFor(AudioServerKind::unknown)) {
        const auto folderPath =
            std::filesystem::path("etc") / configuration.folderInConfigurationRoot;
        FileError missing;
        auto folder = openFolder(root->get(), folderPath, false, missing);
        if (!folder) {
            continue;
        }
        const auto name = configuration.fileInBundle.filename().string();
        if (!removeEntry(folder->get(), name, error)) {
            return failWith(error.message);
        }
        log_("removed /" + (folderPath / name).string());
    }
    return true;
}

}  // namespace brimo::driver::installer
