#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "integration/hal_pulse/ServerEnvironment.h"

extern char** environ;

namespace brimo::testing {

// The real application as a child process in this test's environment (its display, its
// private audio server and home), its output in a file the test reads, stopped by its PID.
class ApplicationProcess {
  public:
    ApplicationProcess(const std::string& executable, std::filesystem::path output)
        : output_(std::move(output)) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv{const_cast<char*>(executable.c_str()), nullptr};
        if (posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~ApplicationProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ApplicationProcess(const ApplicationProcess&) = delete;
    ApplicationProcess& operator=(const ApplicationProcess&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    [[nodiscard]] pid_t pid() const { return pid_; }

    [[nodiscard]] std::string output() const {
        std::ifstream in(output_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
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

    // Sends the signal and waits for the exit; the exit status, or -1.
    int stop(int signalNumber = SIGTERM) {
        if (pid_ <= 0) {
            return -1;
        }
        ::kill(pid_, signalNumber);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    std::filesystem::path output_;
    pid_t pid_ = -1;
};

}  // namespace brimo::testing
