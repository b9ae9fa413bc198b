#include "platform/privileged/StandInPrivilegedRunner.h"

#include "platform/process/ProcessRunner.h"

namespace brimo::privileged {

PrivilegedResult StandInPrivilegedRunner::run(const std::string& shellCommand) {
    commands_.push_back(shellCommand);
    switch (behaviour_) {
        case Behaviour::runAsCurrentUser: {
            const auto result = process::runProgram({"/bin/sh", "-c", shellCommand});
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
