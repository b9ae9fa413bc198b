#include "platform/paths/UserDirectories.h"

#include <cstdlib>
#include <string>

#include "platform/process/ProcessRunner.h"

namespace brimo::paths {

std::filesystem::path documentsDirectory() {
    const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read-only use
    if (home == nullptr || *home == '\0') {
        return {};
    }
    const std::filesystem::path homePath(home);

    auto answer = process::runProgram({"xdg-user-dir", "DOCUMENTS"});
    while (!answer.output.empty() &&
           (answer.output.back() == '\n' || answer.output.back() == '\r')) {
        answer.output.pop_back();
    }
    // xdg-user-dir answers with the home folder itself when no documents folder is set up;
    // that is no documents folder.
    if (answer.exitStatus == 0 && !answer.output.empty()) {
        std::filesystem::path named(answer.output);
        if (named.is_absolute() && named.lexically_normal() != homePath.lexically_normal()) {
            return named;
        }
    }
    return homePath / "Documents";
}

std::filesystem::path stateDirectory() {
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read-only use
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr) {
        std::filesystem::path named(state);
        if (named.is_absolute()) {
            return named;
        }
    }
    const char* home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe): read-only use
    if (home == nullptr || *home == '\0') {
        return {};
    }
    return std::filesystem::path(home) / ".local" / "state";
}

}  // namespace brimo::paths
