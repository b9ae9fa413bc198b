#include "ui/lifecycle/CrashGuard.h"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <system_error>
#include <vector>

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX names it nowhere else

namespace brimo::ui {

std::filesystem::path CrashGuard::program() {
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        auto installed = (executable.parent_path() / BRIMO_GUARD_FROM_BINDIR).lexically_normal();
        if (std::filesystem::is_regular_file(installed, error)) {
            return installed;
        }
    }
    return BRIMO_BUILD_GUARD_PATH;
}

std::unique_ptr<CrashGuard> CrashGuard::start(const std::filesystem::path& program) {
    // Close-on-exec on our end: no other child (pkexec, the browser) may hold it open, or the
    // guard would not see us go.
    std::array<int, 2> ends{-1, -1};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends.data()) != 0) {
        return nullptr;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    // The guard reads its end as standard input (dup2 clears close-on-exec there).
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDIN_FILENO);
    // A session of its own: a Ctrl+C or hang-up aimed at the application's terminal must not
    // take the guard with it.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    std::string path = program.string();
    std::vector<char*> arguments{path.data(), nullptr};
    pid_t pid = -1;
    const int status =
        ::posix_spawn(&pid, path.c_str(), &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(ends[1]);
    if (status != 0) {
        ::close(ends[0]);
        return nullptr;
    }
    return std::unique_ptr<CrashGuard>(new CrashGuard(ends[0], pid));
}

CrashGuard::~CrashGuard() {
    ::close(socket_);
    // A guard told of a clean quit exits at once; do not leave it a zombie.
    int status = 0;
    ::waitpid(pid_, &status, WNOHANG);
}

void CrashGuard::send(const std::string& line) const {
    // A guard that is gone costs nothing: no SIGPIPE, no error for the application.
    const std::string text = line + '\n';
    (void)::send(socket_, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

void CrashGuard::reportOutput(const std::string& uid) {
    // A UID with a line break could not be told apart from the next line.
    if (uid.find('\n') != std::string::npos) {
        return;
    }
    send("output " + uid);
}

void CrashGuard::cleanQuit() {
    send("quit");
}

}  // namespace brimo::ui
