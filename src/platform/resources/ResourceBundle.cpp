#include "platform/resources/ResourceBundle.h"

#include <string>
#include <system_error>

namespace brimo::resources {

ResourceBundle ResourceBundle::main() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    return forExecutable(error ? std::filesystem::path() : executable,
                         BRIMO_INSTALLED_RESOURCES_FROM_BINDIR, BRIMO_SOURCE_RESOURCES_DIR);
}

ResourceBundle ResourceBundle::forExecutable(const std::filesystem::path& executable,
                                             const std::filesystem::path& installedFromBinDir,
                                             const std::filesystem::path& sourceResources) {
    if (!executable.empty()) {
        std::error_code error;
        auto installed = (executable.parent_path() / installedFromBinDir).lexically_normal();
        if (std::filesystem::is_directory(installed, error)) {
            return ResourceBundle(std::move(installed));
        }
    }
    return ResourceBundle(sourceResources);
}

std::optional<std::filesystem::path> ResourceBundle::pathForResource(
    std::string_view name, std::string_view extension, std::string_view subfolder) const {
    std::filesystem::path path = root_;
    if (!subfolder.empty()) {
        path /= subfolder;
    }
    std::string fileName(name);
    if (!extension.empty()) {
        fileName += '.';
        fileName += extension;
    }
    path /= fileName;
    std::error_code error;
    if (!std::filesystem::exists(path, error)) {
        return std::nullopt;
    }
    return path;
}

}  // namespace brimo::resources
