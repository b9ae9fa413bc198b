#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace brimo::resources {

// A folder of application resources (images, sounds, the driver bundle), looked up by name,
// extension and optional subfolder.
class ResourceBundle {
  public:
    explicit ResourceBundle(std::filesystem::path root) : root_(std::move(root)) {}

    // The application's own resources: the installed data folder relative to the executable
    // (<prefix>/share/brimolavetrix/resources from <prefix>/bin) when there is one, else the
    // resources folder of the source tree the program was built from.
    static ResourceBundle main();

    // The same choice for any executable: the folder `installedFromBinDir` away from the
    // executable's own folder when it exists (an installed or relocated prefix keeps the two
    // at the same distance), else `sourceResources`.
    static ResourceBundle forExecutable(const std::filesystem::path& executable,
                                        const std::filesystem::path& installedFromBinDir,
                                        const std::filesystem::path& sourceResources);

    // root/subfolder/name.extension if something exists there.
    [[nodiscard]] std::optional<std::filesystem::path> pathForResource(
        std::string_view name, std::string_view extension, std::string_view subfolder = {}) const;

    [[nodiscard]] const std::filesystem::path& root() const { return root_; }

  private:
    std::filesystem::path root_;
};

}  // namespace brimo::resources
