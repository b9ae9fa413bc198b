#include "audio/log/DiagnosticLog.h"

#include <array>
#include <cstdio>
#include <ctime>

#include "audio/log/RotatingLogFile.h"
#include "platform/paths/UserDirectories.h"

namespace brimo::audio {
namespace {

// All writers share one file; one lock keeps both the echo and the append of each line whole
// when several threads log at once.
std::mutex& appendLock() {
    static std::mutex lock;
    return lock;
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

DiagnosticLog::DiagnosticLog(const std::string& tag, DirectoryLookup documentsDirectory,
                             std::uintmax_t maxFileBytes)
    : tagPart_("] [" + tag + "] "),
      documentsDirectory_(documentsDirectory ? std::move(documentsDirectory)
                                             : DirectoryLookup(&paths::documentsDirectory)),
      maxFileBytes_(maxFileBytes) {}

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
        appendLineWithinBound(path, line, maxFileBytes_);
    }
}

}  // namespace brimo::audio
