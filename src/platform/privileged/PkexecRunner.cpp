#include "platform/privileged/PkexecRunner.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "platform/process/ProcessRunner.h"

namespace brimo::privileged {

std::string findExecutable(const std::string& program) {
    if (program.empty()) {
        return {};
    }
    if (program.find('/') != std::string::npos) {
        return access(program.c_str(), X_OK) == 0 ? program : std::string();
    }
    const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe): read-only use
    std::string_view directories = path != nullptr ? path : "/usr/bin:/bin";
    while (true) {
        const auto colon = directories.find(':');
        // An empty entry means the current folder.
        const std::string_view entry = directories.substr(0, colon);
        const std::filesystem::path directory(entry.empty() ? std::string_view(".") : entry);
        std::string candidate = (directory / program).string();
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) {
            return {};
        }
        directories.remove_prefix(colon + 1);
    }
}

PkexecRunner::PkexecRunner(std::string program) : program_(std::move(program)) {}

bool PkexecRunner::isAvailable() const {
    return !findExecutable(program_).empty();
}

PrivilegedResult PkexecRunner::run(const std::string& shellCommand) {
    const process::ProcessResult result =
        process::runProgram({program_, "/bin/sh", "-c", shellCommand});
    if (result.exitStatus == 0) {
        return {true, std::nullopt};
    }
    return {false, failureMessage(result.errorText)};
}

}  // namespace brimo::privileged
