#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace brimo::bench {

// A helper program the benchmark starts (the music player, the recorder, the busy loop), with
// its standard input or output on a pipe, stopped by its process ID.
class ChildProcess {
  public:
    enum class Pipe { none, toChild, fromChild };

    ChildProcess(const std::vector<std::string>& command, Pipe pipe);
    ~ChildProcess();  // stops it
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&&) = delete;
    ChildProcess& operator=(ChildProcess&&) = delete;

    [[nodiscard]] bool started() const { return pid_ > 0; }
    [[nodiscard]] pid_t pid() const { return pid_; }
    [[nodiscard]] int fd() const { return fd_; }
    // Asks it to end (SIGTERM) and leaves the pipe open: a thread blocked on it wakes up.
    void terminate() const;
    // Closes our end of the pipe, asks it to end (SIGTERM) and reaps it.
    void stop();
    // Closes our end of the pipe and waits for it to end by itself; its exit status, or -1.
    int wait();

  private:
    pid_t pid_ = -1;
    int fd_ = -1;
};

}  // namespace brimo::bench
