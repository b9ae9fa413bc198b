#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace brimo::bench {

// User + system CPU seconds of a process, from /proc; 0 when it is gone.
inline double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
        return 0.0;
    }
    std::istringstream fields(line.substr(close + 2));
    std::string field;
    double ticks = 0.0;
    for (int i = 3; fields >> field && i <= 15; ++i) {
        if (i == 14 || i == 15) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct ServerProcess {
    pid_t pid = -1;
    std::string name;
};

// The private audio server's processes, as the test harness that started it listed them.
inline std::vector<ServerProcess> serverProcesses() {
    std::vector<ServerProcess> processes;
    const char* dir = std::getenv("BRIMO_AUDIO_SERVER_DIR");  // NOLINT(concurrency-mt-unsafe)
    if (dir == nullptr) {
        return processes;
    }
    std::ifstream pids(std::string(dir) + "/pids");
    ServerProcess process;
    while (pids >> process.pid >> process.name) {
        processes.push_back(process);
    }
    return processes;
}

}  // namespace brimo::bench
