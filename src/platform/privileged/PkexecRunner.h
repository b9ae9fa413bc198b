#pragma once

#include <string>

#include "platform/privileged/PrivilegedRunner.h"

namespace brimo::privileged {

// polkit's pkexec: asks the desktop's authentication agent for an administrator's consent,
// then runs `/bin/sh -c <command>` (or one program) as root. The command goes to pkexec as one
// argument, with no shell in front of pkexec, so only the command's own words need quoting.
// pkexec is named by its absolute path: a PATH of the user's choosing never picks it.
class PkexecRunner final : public PrivilegedRunner {
  public:
    static constexpr const char* kPkexecPath = "/usr/bin/pkexec";

    // `program` is the system's pkexec unless a test names a stand-in (an absolute path).
    explicit PkexecRunner(std::string program = kPkexecPath);

    [[nodiscard]] bool isAvailable() const override;

    // A dismissed or refused prompt (pkexec's 126 and 127) and a failing command alike give
    // their standard-error text as the message.
    PrivilegedResult run(const std::string& shellCommand) override;

    // pkexec picks the polkit action whose exec.path annotation names the program.
    PrivilegedResult runProgram(const std::vector<std::string>& arguments) override;

  private:
    std::string program_;
};

}  // namespace brimo::privileged
