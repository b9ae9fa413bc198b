#include "google/CacheLifetime.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace brimo::server {
namespace {

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) {
        text.remove_suffix(1);
    }
    return text;
}

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

std::int64_t cacheLifetimeSeconds(std::string_view cacheControl) {
    std::int64_t maxAge = 0;
    while (!cacheControl.empty()) {
        const auto comma = cacheControl.find(',');
        const std::string directive = lowered(trimmed(cacheControl.substr(0, comma)));
        cacheControl =
            comma == std::string_view::npos ? std::string_view() : cacheControl.substr(comma + 1);
        if (directive == "no-store" || directive == "no-cache") {
            return 0;
        }
        constexpr std::string_view prefix = "max-age=";
        if (directive.starts_with(prefix)) {
            std::string_view value = std::string_view(directive).substr(prefix.size());
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                value = value.substr(1, value.size() - 2);
            }
            std::int64_t seconds = 0;
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), seconds);
            if (error == std::errc() && end == value.data() + value.size() && seconds >= 0) {
                maxAge = seconds;
            }
        }
    }
    return maxAge;
}

}  // namespace brimo::server
