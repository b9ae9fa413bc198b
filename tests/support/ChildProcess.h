#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/FileText.h"

extern char** environ;  // NOLINT(readability-redundant-declaration)

namespace brimo::testing {

// A program a test starts (a server, a mail sink): its standard output and error go to files,
// and it is stopped by its process ID, killed if it still runs when dropped.
class ChildProcess {
  public:
    struct Options {
        std::vector<std::string> arguments;                   // the program first
        std::filesystem::path output;                         // standard output
        std::filesystem::path errors = "/dev/null";           // empty: into the output
        std::optional<std::filesystem::path> directory;       // the working directory
        std::optional<std::vector<std::string>> environment;  // else the test's own
    };

    explicit ChildProcess(Options options)
        : output_(std::move(options.output)), errors_(std::move(options.errors)) {
        std::vector<char*> argv;
        for (auto& argument : options.arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::vector<char*> envp;
        if (options.environment) {
            for (auto& variable : *options.environment) {
                envp.push_back(variable.data());
            }
            envp.push_back(nullptr);
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        if (errors_.empty()) {
            posix_spawn_file_actions_adddup2(&actions, 1, 2);
        } else {
            posix_spawn_file_actions_addopen(&actions, 2, errors_.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0600);
        }
        if (options.directory) {
            posix_spawn_file_actions_addchdir_np(&actions, options.directory->c_str());
        }
        const int failed = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(),
                                       options.environment ? envp.data() : environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed != 0) {
            throw std::runtime_error("cannot start " + options.arguments.front());
        }
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Whether it was sent: only to a child not yet reaped, whose ID is still ours (a reaped one
    // is -1, and kill(-1) would reach every process of the user).
    bool signal(int number) const { return pid_ > 0 && ::kill(pid_, number) == 0; }
    [[nodiscard]] pid_t pid() const { return pid_; }

    // The exit status (128 + signal when killed by one), or -1 if it still runs after `limit`.
    int waitForExit(std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exited() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return exited() ? exitStatus_ : -1;
    }
    int terminate() {
        signal(SIGTERM);
        return waitForExit();
    }

    // The first group of `pattern` in the output once it appears; empty when the process ends
    // first or `limit` passes.
    std::string waitForOutput(const std::regex& pattern,
                              std::chrono::seconds limit = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            std::smatch match;
            const std::string text = output();
            if (std::regex_search(text, match, pattern)) {
                return match[1].str();
            }
            if (exited()) {
                return {};
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return {};
    }

    [[nodiscard]] std::string output() const { return readFileText(output_); }
    [[nodiscard]] std::string errors() const { return readFileText(errors_); }

  private:
    bool exited() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return pid_ < 0;
    }

    std::filesystem::path output_;
    std::filesystem::path errors_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

}  // namespace brimo::testing
