#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/privileged/PrivilegedRunner.h"

namespace brimo::privileged {

// A privileged runner for tests and demos that asks no one. It either runs the command with
// `/bin/sh -c` as the current user, exactly as pkexec would hand it to the shell, or answers
// as a refused prompt would, and remembers every command it was given.
class StandInPrivilegedRunner final : public PrivilegedRunner {
  public:
    enum class Behaviour {
        runAsCurrentUser,  // the user agrees; the command really runs
        succeedWithoutRunning,
        refuse,       // the prompt is dismissed: fails with refusalMessage, nothing runs
        unavailable,  // no mechanism to hand the command to
    };

    explicit StandInPrivilegedRunner(Behaviour behaviour = Behaviour::runAsCurrentUser,
                                     std::optional<std::string> refusalMessage = std::nullopt)
        : behaviour_(behaviour), refusalMessage_(std::move(refusalMessage)) {}

    [[nodiscard]] bool isAvailable() const override { return behaviour_ != Behaviour::unavailable; }
    PrivilegedResult run(const std::string& shellCommand) override;
    // Remembered as its words joined by spaces.
    PrivilegedResult runProgram(const std::vector<std::string>& arguments) override;

    [[nodiscard]] const std::vector<std::string>& commands() const { return commands_; }

  private:
    [[nodiscard]] PrivilegedResult answer(const std::vector<std::string>& arguments) const;

    Behaviour behaviour_;
    std::optional<std::string> refusalMessage_;
    std::vector<std::string> commands_;
};

}  // namespace brimo::privileged
