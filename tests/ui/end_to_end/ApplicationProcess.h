#pragma once

#include <signal.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "integration/hal_pulse/ServerEnvironment.h"
#include "support/ChildProcess.h"

namespace brimo::testing {

// The real application as a child process in this test's environment (its display, its
// private audio server and home), its output and errors in one file the test reads.
class ApplicationProcess : public ChildProcess {
  public:
    ApplicationProcess(const std::string& executable, std::filesystem::path output)
        : ChildProcess({.arguments = {executable},
                        .output = std::move(output),
                        .errors = {},
                        .directory = {},
                        .environment = {}}) {}

    [[nodiscard]] std::size_t count(const std::string& needle) const {
        const std::string text = output();
        std::size_t n = 0;
        for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    bool waitFor(const std::string& needle, std::chrono::milliseconds timeout,
                 std::size_t occurrences = 1) const {
        return eventually([&] { return count(needle) >= occurrences; }, timeout);
    }

    // Sends the signal and waits for the exit (a quit saves state: a minute at the most).
    int stop(int signalNumber = SIGTERM) {
        signal(signalNumber);
        return waitForExit(std::chrono::seconds(60));
    }
};

}  // namespace brimo::testing
