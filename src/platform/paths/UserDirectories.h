#pragma once

#include <filesystem>

namespace brimo::paths {

// The user's documents folder: what `xdg-user-dir DOCUMENTS` names, else $HOME/Documents.
// Empty when not even a home directory is known. The folder may not exist.
std::filesystem::path documentsDirectory();

}  // namespace brimo::paths
