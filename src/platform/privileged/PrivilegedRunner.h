#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brimo::privileged {

struct PrivilegedResult {
    bool succeeded = false;
    // Why it failed, in the words of whoever refused or failed (the consent prompt, the
    // command); empty when there were none.
    std::optional<std::string> errorMessage;
};

// A failed command's standard-error text as a message: without surrounding white space, and
// nothing when that leaves nothing.
std::optional<std::string> failureMessage(std::string_view errorText);

// Runs one shell command with administrator rights once the user has agreed. Blocks the caller
// until the user has answered and the command has finished.
class PrivilegedRunner {
  public:
    PrivilegedRunner() = default;
    virtual ~PrivilegedRunner() = default;
    PrivilegedRunner(const PrivilegedRunner&) = delete;
    PrivilegedRunner& operator=(const PrivilegedRunner&) = delete;
    PrivilegedRunner(PrivilegedRunner&&) = delete;
    PrivilegedRunner& operator=(PrivilegedRunner&&) = delete;

    // Whether a command can be handed over at all (the mechanism is installed).
    [[nodiscard]] virtual bool isAvailable() const = 0;

    // Success means the user agreed and the command exited with status 0.
    virtual PrivilegedResult run(const std::string& shellCommand) = 0;

    // Runs one program (an absolute path) with its arguments, no shell in between; success as
    // for run().
    virtual PrivilegedResult runProgram(const std::vector<std::string>& arguments) = 0;
};

}  // namespace brimo::privileged
