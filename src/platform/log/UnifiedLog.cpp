#include "platform/log/UnifiedLog.h"

#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace brimo::log {
namespace {

constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

int syslogPriority(Level level) {
    switch (level) {
        case Level::debug:
            return LOG_DEBUG;
        case Level::info:
            return LOG_INFO;
        case Level::notice:
            return LOG_NOTICE;
        case Level::error:
            return LOG_ERR;
        case Level::fault:
            return LOG_CRIT;
    }
    return LOG_NOTICE;
}

}  // namespace

std::string_view levelName(Level level) {
    switch (level) {
        case Level::debug:
            return "debug";
        case Level::info:
            return "info";
        case Level::notice:
            return "notice";
        case Level::error:
            return "error";
        case Level::fault:
            return "fault";
    }
    return "notice";
}

bool journalIsReachable() {
    return access(kJournalSocket, W_OK) == 0;
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::log(Level level, std::string_view message) const {
    const std::string text(message);
    // libsystemd drops entries silently when the journal's socket is absent (containers, CI,
    // non-systemd desktops), so reachability is checked first; standard error keeps the entry.
    const int result =
        !journalIsReachable()
            ? -1
            : sd_journal_send("MESSAGE=%s", text.c_str(), "PRIORITY=%d", syslogPriority(level),
                              "SUBSYSTEM=%s", subsystem_.c_str(), "CATEGORY=%s", category_.c_str(),
                              nullptr);
    if (result < 0) {
        std::fprintf(stderr, "%s[%s] %s: %s\n", subsystem_.c_str(), category_.c_str(),
                     std::string(levelName(level)).c_str(), text.c_str());
    }
}

}  // namespace brimo::log
