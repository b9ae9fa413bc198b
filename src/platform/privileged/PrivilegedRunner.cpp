#include "platform/privileged/PrivilegedRunner.h"

namespace brimo::privileged {

std::optional<std::string> failureMessage(std::string_view errorText) {
    constexpr std::string_view kSpace = " \t\r\n";
    const auto first = errorText.find_first_not_of(kSpace);
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    const auto last = errorText.find_last_not_of(kSpace);
    return std::string(errorText.substr(first, last - first + 1));
}

}  // namespace brimo::privileged
