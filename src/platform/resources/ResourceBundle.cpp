#include "platform/resources/ResourceBundle.h"

#include <string>
#include <system_error>

namespace brimo::resources {

ResourceBundle ResourceBundle::main() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto installed =
            executable.parent_path().parent_path() / "share" / "brimolavetrix" / "resources";
        if (std::filesystem::is_directory(installed, error)) {
            return ResourceBundle(std::move(installed));
        }
    }
    return ResourceBundle(BRIMO_SOURCE_RESOURCES_DIR);
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
