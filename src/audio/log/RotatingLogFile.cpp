#include "audio/log/RotatingLogFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace brimo::audio {
namespace {

// An appending descriptor, closed when dropped.
class LogDescriptor {
  public:
    explicit LogDescriptor(const std::filesystem::path& path)
        // O_APPEND moves to the end on every write; O_CREAT makes a deleted file appear again;
        // O_NONBLOCK keeps a FIFO without a reader at the path from stalling the caller.
        : fd_(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644)) {}
    ~LogDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    LogDescriptor(const LogDescriptor&) = delete;
    LogDescriptor& operator=(const LogDescriptor&) = delete;

    [[nodiscard]] int fd() const { return fd_; }

  private:
    int fd_;
};

enum class Lock { held, busy, unsupported };

// Another instance holds the lock only for one append, microseconds; one that is stopped (a
// debugger, SIGSTOP) must not stall us for good, so after a short wait we append unlocked.
Lock lockExclusively(int fd) {
    constexpr int kAttempts = 2000;
    constexpr auto kPause = std::chrono::microseconds(100);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return Lock::held;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return Lock::unsupported;
        }
        std::this_thread::sleep_for(kPause);
    }
    return Lock::busy;
}

bool sameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void writeAll(int fd, std::string_view bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

}  // namespace

std::filesystem::path previousLogPath(const std::filesystem::path& path) {
    auto previous = path;
    previous += ".1";
    return previous;
}

void appendLineWithinBound(const std::filesystem::path& path, std::string_view line,
                           std::uintmax_t maxBytes) {
    // Each pass opens the file at the path. A pass that finds that file renamed or deleted
    // under it (by another instance) starts again with the one now there, and so does a pass
    // that retires a full file, so the line opens the new one. Other writers can keep us
    // going round only by making progress themselves; the last pass writes to what it holds
    // rather than drop the line.
    constexpr int kPasses = 16;
    for (int pass = 1;; ++pass) {
        const bool lastPass = pass == kPasses;
        const LogDescriptor file(path);
        if (file.fd() < 0) {
            return;
        }
        const Lock lock = lockExclusively(file.fd());
        struct stat opened {};
        struct stat atPath {};
        if (::fstat(file.fd(), &opened) != 0) {
            return;
        }
        const bool current = ::stat(path.c_str(), &atPath) == 0 && sameFile(opened, atPath);
        if (!current && !lastPass) {
            continue;
        }
        const auto size = static_cast<std::uintmax_t>(opened.st_size);
        // An empty file always takes the line, so a line longer than the bound is kept whole.
        // Only a regular file that the path itself names is ours to rename or empty; a
        // device or FIFO does not grow, and a symbolic link is the user's redirection.
        struct stat link {};
        if (current && !lastPass && lock != Lock::busy && size > 0 &&
            size + line.size() > maxBytes && S_ISREG(opened.st_mode) &&
            ::lstat(path.c_str(), &link) == 0 && S_ISREG(link.st_mode)) {
            if (std::rename(path.c_str(), previousLogPath(path).c_str()) == 0) {
                continue;
            }
            // Renaming is refused (a read-only folder, a folder named like the old file):
            // start this file afresh instead, so it still stays within the bound.
            static_cast<void>(::ftruncate(file.fd(), 0));
        }
        writeAll(file.fd(), line);
        return;
    }
}

}  // namespace brimo::audio
