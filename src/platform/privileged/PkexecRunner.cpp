#include "platform/privileged/PkexecRunner.h"

#include <unistd.h>

#include <filesystem>
#include <vector>

#include "platform/process/ProcessRunner.h"

namespace brimo::privileged {

PkexecRunner::PkexecRunner(std::string program) : program_(std::move(program)) {}

bool PkexecRunner::isAvailable() const {
    return std::filesystem::path(program_).is_absolute() && access(program_.c_str(), X_OK) == 0;
}

PrivilegedResult PkexecRunner::run(const std::string& shellCommand) {
    const process::ProcessResult result =
        process::runProgram({program_, "/bin/sh", "-c", shellCommand});
    if (result.exitStatus == 0) {
        return {true, std::nullopt};
    }
    return {false, failureMessage(result.errorText)};
}

PrivilegedResult PkexecRunner::runProgram(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{program_};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const process::ProcessResult result = process::runProgram(command);
    if (result.exitStatus == 0) {
        return {true, std::nullopt};
    }
    return {false, failureMessage(result.errorText)};
}

}  // namespace brimo::privileged
