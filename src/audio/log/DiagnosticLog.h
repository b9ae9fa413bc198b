#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace brimo::audio {

// The audio side's plain-text diagnostic log: every line is echoed to standard output, then
// appended to "Brimolavetrix_debug.log" in the user's documents folder, one file shared by
// all writers. Never fails its caller; a line that cannot reach the file is lost quietly.
// Too slow for a real-time thread by design: it opens and closes the file for every line.
// The file is kept under kMaxFileBytes: past it, it becomes "Brimolavetrix_debug.log.1" and
// a new one starts, so the log holds at most two files' worth of the most recent lines.
class DiagnosticLog {
  public:
    static constexpr std::string_view kFileName = "Brimolavetrix_debug.log";

    // The window's half-second device poll alone writes about 680 bytes a second, some 59 MB
    // a day. 10 MiB is about four hours of that; with the previous file, the last working
    // day stays readable when a user sends the log in, and the log never takes more than
    // 20 MiB of their documents folder.
    static constexpr std::uintmax_t kMaxFileBytes = std::uintmax_t{10} * 1024 * 1024;

    using DirectoryLookup = std::function<std::filesystem::path()>;

    // `tag` names the writer ("AudioEngine", "AudioManager"). The documents folder is looked
    // up on the first line and kept for the life of the writer. Tests lower `maxFileBytes`.
    explicit DiagnosticLog(const std::string& tag, DirectoryLookup documentsDirectory = {},
                           std::uintmax_t maxFileBytes = kMaxFileBytes);

    void debugLog(std::string_view message);

    // The file this writer appends to (looked up now if it has not written yet); empty when
    // there is no documents folder.
    std::filesystem::path filePath();

    // "[2026-12-05T11:08:12Z] [AudioEngine] message\n" for the current time.
    [[nodiscard]] std::string formatLine(std::string_view message) const;

  private:
    const std::string tagPart_;
    DirectoryLookup documentsDirectory_;
    const std::uintmax_t maxFileBytes_;
    std::once_flag pathOnce_;
    std::filesystem::path path_;
};

// The current UTC time as an ISO 8601 internet date-time with seconds and a "Z".
std::string isoTimestampNow();

}  // namespace brimo::audio
