#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/process/ProcessRunner.h"

namespace brimo::testing {

// The private audio server a test talks to: CTest names its directory in
// BRIMO_AUDIO_SERVER_DIR, whose `env` file (written by audio-servers start) holds the client
// environment. Run by hand, `audio-servers run KIND <test binary>` sets that environment
// directly. A test never falls back to the user's own server.
inline bool usePrivateAudioServer() {
    if (const char* dir = std::getenv("BRIMO_AUDIO_SERVER_DIR")) {
        std::ifstream env(std::string(dir) + "/env");
        std::string line;
        while (std::getline(env, line)) {
            const std::string prefix = "export ";
            const auto equals = line.find('=');
            if (line.rfind(prefix, 0) == 0 && equals != std::string::npos) {
                const std::string name = line.substr(prefix.size(), equals - prefix.size());
                setenv(name.c_str(), line.substr(equals + 1).c_str(), 1);
            }
        }
    }
    const char* server = std::getenv("PULSE_SERVER");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return server != nullptr && runtime != nullptr &&
           std::string(server).find(runtime) != std::string::npos;
}

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

template <typename Predicate>
bool eventually(Predicate done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
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
