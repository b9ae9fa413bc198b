// What the default-output check costs: the backend connected and idle on a private server for
// N seconds with the check every 0.5 s, then the same with the check off, back to back. CPU of
// this process and of each server process, as JSON on standard output:
//   tests/integration/audio-servers/audio-servers run pipewire
//       build/release/bench/hal_pulse/bench_defaults_check --seconds 30
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/hal/pulse/PulseAudioBackend.h"
#include "support/ProcessFigures.h"

namespace {

namespace bench = brimo::bench;

using bench::cpuSeconds;

// This process and the server's.
std::vector<bench::ServerProcess> processes() {
    std::vector<bench::ServerProcess> found{{getpid(), "bench"}};
    const auto servers = bench::serverProcesses();
    found.insert(found.end(), servers.begin(), servers.end());
    return found;
}

nlohmann::json measure(std::chrono::milliseconds interval, double seconds) {
    brimo::hal::pulse::PulseAudioBackendOptions options;
    options.defaultsCheckInterval = interval;
    auto backend = brimo::hal::pulse::PulseAudioBackend::create(options);
    std::this_thread::sleep_for(std::chrono::seconds(1));  // connected and settled
    const auto watched = processes();
    std::vector<double> before;
    for (const auto& process : watched) {
        before.push_back(cpuSeconds(process.pid));
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json cpu;
    double total = 0.0;
    for (std::size_t i = 0; i < watched.size(); ++i) {
        const double percent = 100.0 * (cpuSeconds(watched[i].pid) - before[i]) / wall;
        cpu[watched[i].name] = percent;
        total += percent;
    }
    return {{"interval_ms", interval.count()},
            {"connected", backend->isConnected()},
            {"cpu_percent", cpu},
            {"cpu_percent_total", total},
            {"stale_views_replaced", backend->staleViewsReplaced()}};
}

int run(int argc, char** argv) {
    double seconds = 30.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--seconds") {
            seconds = std::stod(argv[i + 1]);
        }
    }
    using std::chrono::milliseconds;
    const nlohmann::json on = measure(milliseconds(500), seconds);
    const nlohmann::json off = measure(milliseconds(0), seconds);
    const double extra =
        on["cpu_percent_total"].get<double>() - off["cpu_percent_total"].get<double>();
    std::cout << nlohmann::json{{"seconds", seconds},
                                {"check_on", on},
                                {"check_off", off},
                                {"check_cost_percent_of_a_core", extra}}
                     .dump(2)
              << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "bench_defaults_check: " << error.what() << "\n";
        return 2;
    }
}
