#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

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
