#pragma once

#include <string>
#include <string_view>

namespace brimo::log {

enum class Level { debug, info, notice, error, fault };

// The system's structured log, addressed by subsystem and category. Entries go to the systemd
// journal with SUBSYSTEM and CATEGORY fields; where no journal is reachable they go to
// standard error as "subsystem[category] level: message". Safe from any thread, but never
// from a real-time audio thread.
class Logger {
  public:
    Logger(std::string subsystem, std::string category);

    void log(Level level, std::string_view message) const;
    void debug(std::string_view message) const { log(Level::debug, message); }
    void info(std::string_view message) const { log(Level::info, message); }
    void error(std::string_view message) const { log(Level::error, message); }
    void fault(std::string_view message) const { log(Level::fault, message); }

    [[nodiscard]] const std::string& subsystem() const { return subsystem_; }
    [[nodiscard]] const std::string& category() const { return category_; }

  private:
    std::string subsystem_;
    std::string category_;
};

[[nodiscard]] std::string_view levelName(Level level);

// Whether entries can reach the systemd journal from this process right now.
[[nodiscard]] bool journalIsReachable();

}  // namespace brimo::log
