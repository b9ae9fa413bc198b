#pragma once

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/console/ConsoleOutput.h"
#include "support/FileText.h"

namespace brimo::testing {

// Collects the lines a service prints, from any thread (listeners print on the backend's).
class LineCollector {
  public:
    console::LineWriter writer() {
        return [this](std::string_view line) {
            const std::lock_guard guard(mutex_);
            lines_.emplace_back(line);
        };
    }
    std::vector<std::string> lines() const {
        const std::lock_guard guard(mutex_);
        return lines_;
    }
    // The lines so far, forgetting them.
    std::vector<std::string> take() {
        const std::lock_guard guard(mutex_);
        return std::exchange(lines_, {});
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The messages of one writer of a diagnostic log file, without time stamps and tags.
inline std::vector<std::string> diagnosticLines(const std::filesystem::path& file,
                                                const std::string& tag) {
    const std::string marker = "] [" + tag + "] ";
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (const auto at = line.find(marker); at != std::string::npos) {
            lines.push_back(line.substr(at + marker.size()));
        }
    }
    return lines;
}

}  // namespace brimo::testing
