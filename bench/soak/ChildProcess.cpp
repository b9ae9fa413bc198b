#include "ChildProcess.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <csignal>

extern char** environ;  // NOLINT(readability-redundant-declaration): posix_spawn's environment

namespace brimo::bench {

ChildProcess::ChildProcess(const std::vector<std::string>& command, Pipe pipe) {
    std::array<int, 2> ends{-1, -1};
    if (pipe != Pipe::none && pipe2(ends.data(), O_CLOEXEC) != 0) {
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pipe == Pipe::toChild) {
        posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
    } else if (pipe == Pipe::fromChild) {
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    }
    std::vector<char*> argv;
    argv.reserve(command.size() + 1);
    for (const auto& argument : command) {
        argv.push_back(const_cast<char*>(argument.c_str()));  // NOLINT: posix_spawn's signature
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (pipe == Pipe::toChild) {
        close(ends[0]);
        fd_ = ends[1];
    } else if (pipe == Pipe::fromChild) {
        close(ends[1]);
        fd_ = ends[0];
    }
}

ChildProcess::~ChildProcess() {
    stop();
}

void ChildProcess::terminate() const {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
    }
}

void ChildProcess::stop() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

int ChildProcess::wait() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    int status = -1;
    if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return -1;
}

}  // namespace brimo::bench
