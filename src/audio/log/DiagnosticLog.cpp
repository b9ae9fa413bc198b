#include "audio/log/DiagnosticLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/paths/UserDirectories.h"

namespace brimo::audio {
namespace {

// All writers share one file; one lock keeps both the echo and the append of each line whole
// when several threads log at once.
std::mutex& appendLock() {
    static std::mutex lock;
    return lock;
}

void appendToFile(const std::filesystem::path& path, std::string_view bytes) {
    // O_APPEND moves to the end on every write; O_CREAT makes a deleted file appear again.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

}  // namespace

std::string isoTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::array<char, 32> text{};
    const std::size_t length = std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return {text.data(), length};
}

DiagnosticLog::DiagnosticLog(const std::string& tag, DirectoryLookup documentsDirectory)
    : tagPart_("] [" + tag + "] "),
      documentsDirectory_(documentsDirectory ? std::move(documentsDirectory)
                                             : DirectoryLookup(&paths::documentsDirectory)) {}

std::filesystem::path DiagnosticLog::filePath() {
    std::call_once(pathOnce_, [this] {
        const auto folder = documentsDirectory_();
        if (!folder.empty()) {
            path_ = folder / kFileName;
        }
    });
    return path_;
}

std::string DiagnosticLog::formatLine(std::string_view message) const {
    std::string line;
    line.reserve(32 + tagPart_.size() + message.size());
    line += '[';
    line += isoTimestampNow();
    line += tagPart_;
    line += message;
    line += '\n';
    return line;
}

void DiagnosticLog::debugLog(std::string_view message) {
    const std::string line = formatLine(message);
    const auto path = filePath();
    const std::lock_guard guard(appendLock());
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (!path.empty()) {
        appendToFile(path, line);
    }
}

}  // namespace brimo::audio
