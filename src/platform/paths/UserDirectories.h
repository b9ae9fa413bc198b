#pragma once

#include <filesystem>

namespace brimo::paths {

// The user's documents folder: what `xdg-user-dir DOCUMENTS` names, else $HOME/Documents.
// Empty when not even a home directory is known. The folder may not exist.
std::filesystem::path documentsDirectory();

// Where the application keeps state between runs: $XDG_STATE_HOME when it is an absolute path,
// else $HOME/.local/state. Empty when neither is known. The folder may not exist.
std::filesystem::path stateDirectory();

}  // namespace brimo::paths
