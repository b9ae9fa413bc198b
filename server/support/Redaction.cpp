#include "support/Redaction.h"

#include <regex>

namespace brimo::server {

std::string redactedUrl(const std::string& url) {
    std::string text = url;
    const auto scheme = text.find("://");
    if (scheme != std::string::npos) {
        const auto authorityStart = scheme + 3;
        const auto authorityEnd = text.find_first_of("/?#", authorityStart);
        const auto at = text.rfind('@', authorityEnd);
        if (at != std::string::npos && at >= authorityStart) {
            const auto colon = text.find(':', authorityStart);
            if (colon != std::string::npos && colon < at) {
                text.replace(colon + 1, at - colon - 1, "***");
            }
        }
    }
    static const std::regex parameter("(password=)[^&\\s]*", std::regex::icase);
    return std::regex_replace(text, parameter, "$1***");
}

}  // namespace brimo::server
