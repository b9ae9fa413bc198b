#pragma once

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "support/ChildProcess.h"

namespace brimo::server::testing {

// The service's executable started in `dir` with `args`, its output in files there.
class ServerProcess : public brimo::testing::ChildProcess {
  public:
    ServerProcess(const std::filesystem::path& dir, std::vector<std::string> args)
        : ChildProcess(options(dir, std::move(args))) {}

    // The origin from "listening on …/api", or empty if the process ended first.
    std::string waitUntilListening() {
        return waitForOutput(std::regex("listening on (https?://[^ \n]+)/api"));
    }

  private:
    static Options options(const std::filesystem::path& dir, std::vector<std::string> args) {
        args.insert(args.begin(), BRIMO_SERVER_EXECUTABLE);
        return {std::move(args), dir / "stdout.txt", dir / "stderr.txt", dir, std::nullopt};
    }
};

}  // namespace brimo::server::testing
