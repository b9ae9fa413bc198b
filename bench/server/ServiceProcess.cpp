#include "ServiceProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/ProcessFigures.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace brimo::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

ServiceProcess::ServiceProcess(const std::filesystem::path& dir, const std::string& database,
                               const std::string& executable, unsigned threads) {
    std::filesystem::create_directories(dir);
    nlohmann::json settings{
        {"listen", "127.0.0.1:0"},
        {"database", database},
        {"maildir", (dir / "mail").string()},
        {"accessLog", "off"},
        {"databasePoolSize", 8},
        // Every benchmark client comes from 127.0.0.1.
        {"connections", {{"perClient", 0}}},
        // The production cost (also the default), so that logins cost what they will.
        {"passwordHashing", {{"opsLimit", 2}, {"memLimitKiB", 65536}}},
        {"rateLimit", {{"perClient", 0}, {"perAddress", 0}}}};
    if (threads > 0) {
        settings["threads"] = threads;
    }
    std::ofstream(dir / "bench.json") << settings.dump();
    const std::string out = (dir / "stdout.txt").string();
    const std::string config = (dir / "bench.json").string();
    std::vector<char*> argv{const_cast<char*>(executable.c_str()), const_cast<char*>("--config"),
                            const_cast<char*>(config.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        throw std::runtime_error("cannot start " + executable);
    }
    static const std::regex line("listening on http://127.0.0.1:([0-9]+)/api");
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (Clock::now() < deadline) {
        std::smatch match;
        const std::string text = readText(out);
        if (std::regex_search(text, match, line)) {
            port_ = std::stoi(match[1].str());
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error(executable + " did not start");
}

ServiceProcess::~ServiceProcess() {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

void ServiceProcess::waitUntilIdle(double limitSeconds) const {
    constexpr double kWindowSeconds = 0.5;
    constexpr double kIdleShare = 0.05;
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(limitSeconds));
    double before = cpuSeconds(pid_);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        const double now = cpuSeconds(pid_);
        if (now - before < kIdleShare * kWindowSeconds) {
            return;
        }
        before = now;
    }
}

}  // namespace brimo::bench
