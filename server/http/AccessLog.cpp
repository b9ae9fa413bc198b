#include "http/AccessLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <ctime>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace brimo::server {

AccessLog::AccessLog(const std::string& destination) {
    if (destination == "off") {
        return;
    }
    if (destination == "-" || destination.empty()) {
        out_ = stdout;
        return;
    }
    const int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0 || (out_ = ::fdopen(fd, "a")) == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error("cannot open the access log " + destination);
    }
    owned_ = true;
}

AccessLog::~AccessLog() {
    if (owned_) {
        std::fclose(out_);
    }
}

void AccessLog::write(const std::string& client, const std::string& method, const std::string& path,
                      int status, double milliseconds, std::size_t bytes) {
    if (out_ == nullptr) {
        return;
    }
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    std::array<char, 32> stamp{};
    const auto n = std::strftime(stamp.data(), stamp.size(), "%Y-%m-%dT%H:%M:%S", &utc);
    std::array<char, 8> fraction{};
    std::snprintf(fraction.data(), fraction.size(), ".%03dZ", static_cast<int>(millis));

    nlohmann::json entry{{"time", std::string(stamp.data(), n) + fraction.data()},
                         {"client", client},
                         {"method", method},
                         {"path", path},
                         {"status", status},
                         {"ms", std::round(milliseconds * 100) / 100},
                         {"bytes", bytes}};
    // Replacement characters for malformed UTF-8 in a hostile path, rather than an exception.
    const std::string line = entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard lock(mutex_);
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

}  // namespace brimo::server
