#include "platform/privileged/StandInPrivilegedRunner.h"

#include "platform/process/ProcessRunner.h"

namespace brimo::privileged {

PrivilegedResult StandInPrivilegedRunner::run(const std::string& shellCommand) {
    commands_.push_back(shellCommand);
    return answer({"/bin/sh", "-c", shellCommand});
}

PrivilegedResult StandInPrivilegedRunner::runProgram(const std::vector<std::string>& arguments) {
    std::string words;
    for (const auto& argument : arguments) {
        words += (words.empty() ? "" : " ") + argument;
    }
    commands_.push_back(words);
    return answer(arguments);
}

PrivilegedResult StandInPrivilegedRunner::answer(const std::vector<std::string>& arguments) const {
    switch (behaviour_) {
        case Behaviour::runAsCurrentUser: {
            const auto result = process::runProgram(arguments);
            if (result.exitStatus == 0) {
                return {true, std::nullopt};
            }
            return {false, failureMessage(result.errorText)};
        }
        case Behaviour::succeedWithoutRunning:
            return {true, std::nullopt};
        case Behaviour::refuse:
        case Behaviour::unavailable:
            break;
    }
    return {false, refusalMessage_};
}

}  // namespace brimo::privileged
