#pragma once

#include <string>

#include "platform/privileged/PrivilegedRunner.h"

namespace brimo::privileged {

// polkit's pkexec: asks the desktop's authentication agent for an administrator's consent,
// then runs `/bin/sh -c <command>` as root. The command goes to pkexec as one argument, with no
// shell in front of pkexec, so only the command's own words need quoting.
class PkexecRunner final : public PrivilegedRunner {
  public:
    // `program` is "pkexec" on the PATH unless a test names a stand-in.
    explicit PkexecRunner(std::string program = "pkexec");

    [[nodiscard]] bool isAvailable() const override;

    // A dismissed or refused prompt (pkexec's 126 and 127) and a failing command alike give
    // their standard-error text as the message.
    PrivilegedResult run(const std::string& shellCommand) override;

  private:
    std::string program_;
};

// The full path of an executable found the way the shell would (a name with a slash is taken
// as it is); empty when there is none.
std::string findExecutable(const std::string& program);

}  // namespace brimo::privileged
