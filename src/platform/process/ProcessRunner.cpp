#include "platform/process/ProcessRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <system_error>

extern char** environ;  // NOLINT: the process environment, handed to the child unchanged

namespace brimo::process {
namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    bool open() {
        std::array<int, 2> fds{};
        if (pipe2(fds.data(), O_CLOEXEC) != 0) {
            return false;
        }
        read = fds[0];
        write = fds[1];
        return true;
    }
    void closeBoth() {
        if (read >= 0) {
            close(read);
        }
        if (write >= 0) {
            close(write);
        }
        read = write = -1;
    }
};

// Reads both pipes until both are closed, so a child filling one cannot block on the other.
void drain(Pipe& out, Pipe& err, ProcessResult& result) {
    std::array<pollfd, 2> fds{pollfd{out.read, POLLIN, 0}, pollfd{err.read, POLLIN, 0}};
    std::array<std::string*, 2> sinks{&result.output, &result.errorText};
    std::array<char, 4096> chunk{};
    int open = 2;
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = ::read(fds[i].fd, chunk.data(), chunk.size());
            if (n > 0) {
                sinks[i]->append(chunk.data(), static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

ProcessResult runProgram(const std::vector<std::string>& arguments) {
    ProcessResult result;
    if (arguments.empty()) {
        result.errorText = "no program given";
        return result;
    }
    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));  // NOLINT: posix_spawn's signature
    }
    argv.push_back(nullptr);

    Pipe out;
    Pipe err;
    if (!out.open() || !err.open()) {
        out.closeBoth();
        err.closeBoth();
        result.errorText = std::generic_category().message(errno);
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

    pid_t pid = 0;
    const int spawnError = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out.write);
    close(err.write);
    out.write = err.write = -1;

    if (spawnError != 0) {
        out.closeBoth();
        err.closeBoth();
        result.errorText = arguments[0] + ": " + std::generic_category().message(spawnError);
        return result;
    }

    drain(out, err, result);
    out.closeBoth();
    err.closeBoth();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace brimo::process
