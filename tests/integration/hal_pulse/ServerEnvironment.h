#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace brimo::testing {

// The private audio server a test talks to: CTest names its directory in
// BRIMO_AUDIO_SERVER_DIR (empty here when none is), which also records its kind ("pulseaudio" or
// "pipewire"). Run by hand, `audio-servers run KIND <test binary>` sets the client environment
// directly. A test never falls back to the user's own server.
inline std::string serverDirectory() {
    const char* dir = std::getenv("BRIMO_AUDIO_SERVER_DIR");  // NOLINT(concurrency-mt-unsafe)
    return dir != nullptr ? dir : "";
}

inline std::string serverKind(const std::string& dir = serverDirectory()) {
    std::string kind;
    std::ifstream(dir + "/.brimo-audio-servers") >> kind;
    return kind;
}

// Takes on the client environment that `audio-servers start` wrote to DIR/env; read and
// changed before a test starts any thread.
inline void useServerEnvironment(const std::string& dir) {
    std::ifstream env(dir + "/env");
    const std::string prefix = "export ";
    for (std::string line; std::getline(env, line);) {
        const auto equals = line.find('=');
        if (line.starts_with(prefix) && equals != std::string::npos) {
            const std::string name = line.substr(prefix.size(), equals - prefix.size());
            setenv(name.c_str(), line.substr(equals + 1).c_str(),
                   1);  // NOLINT(concurrency-mt-unsafe)
        }
    }
}

inline bool usePrivateAudioServer() {
    if (const auto dir = serverDirectory(); !dir.empty()) {
        useServerEnvironment(dir);
    }
    const char* server = std::getenv("PULSE_SERVER");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return server != nullptr && runtime != nullptr &&
           std::string(server).find(runtime) != std::string::npos;
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

}  // namespace brimo::testing
