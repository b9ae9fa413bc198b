#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "integration/hal_pulse/ServerEnvironment.h"
#include "platform/process/ProcessRunner.h"

namespace brimo::testing {

inline std::string pactl(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{"pactl"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const auto result = process::runProgram(command);
    EXPECT_EQ(result.exitStatus, 0) << "pactl failed: " << result.errorText;
    return result.output;
}

// The index of the module that made a null sink, as `pactl list short modules` shows it.
inline std::optional<std::string> nullSinkModule(const std::string& sinkName) {
    std::istringstream modules(pactl({"list", "short", "modules"}));
    std::string line;
    while (std::getline(modules, line)) {
        if (line.find("module-null-sink") != std::string::npos &&
            line.find("sink_name=" + sinkName) != std::string::npos) {
            return line.substr(0, line.find('\t'));
        }
    }
    return std::nullopt;
}

inline void loadNullSink(const std::string& name, const std::string& description) {
    pactl({"load-module", "module-null-sink", "sink_name=" + name,
           "sink_properties=device.description=" + description});
}

// Fixture for tests on a private server: skipped, not failed, when none is configured, so
// the binary can be listed and run harmlessly outside CTest.
class PrivateAudioServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!usePrivateAudioServer()) {
            GTEST_SKIP() << "no private audio server: run through ctest or audio-servers run";
        }
    }
};

}  // namespace brimo::testing
