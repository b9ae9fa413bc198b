#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace brimo::ui {

// The application's side of the output guard: a small process (brimolavetrix-guard) started
// with the application, in a session of its own, holding the other end of a socket. The
// application tells it which real output it plays to and, at a clean quit, that it quits. If the
// socket closes without that word (a crash, kill -9, the out-of-memory killer), the guard moves
// the system output from "Brimola Vetrix" back to that output, as a clean quit would, and exits.
// A child process rather than a user systemd unit: it knows this very process without a
// service manager, and it works on desktops and in containers that run no user instance.
class CrashGuard {
  public:
    // Starts `program`; nothing when it cannot be started (the application runs unguarded).
    static std::unique_ptr<CrashGuard> start(const std::filesystem::path& program);

    // Where the guard program is: installed beside the executable's prefix, else the build's.
    static std::filesystem::path program();

    ~CrashGuard();
    CrashGuard(const CrashGuard&) = delete;
    CrashGuard& operator=(const CrashGuard&) = delete;
    CrashGuard(CrashGuard&&) = delete;
    CrashGuard& operator=(CrashGuard&&) = delete;

    // The UID of the real output the engine plays to (empty: none).
    void reportOutput(const std::string& uid);
    // The quit is clean: the guard leaves everything as it is and exits.
    void cleanQuit();

    [[nodiscard]] int processId() const { return pid_; }

  private:
    CrashGuard(int socket, int pid) : socket_(socket), pid_(pid) {}
    void send(const std::string& line) const;

    int socket_;
    int pid_;
};

}  // namespace brimo::ui
