#include "accounts/EmailAddress.h"

#include <regex>

namespace brimo::server {

std::optional<std::string> normalizedEmailAddress(std::string_view text) {
    // 254 is the longest address a mail path can carry.
    constexpr std::size_t longest = 254;
    if (text.empty() || text.size() > longest) {
        return std::nullopt;
    }
    // The same form the sign-in overlay accepts, so nothing it lets through is refused here.
    static const std::regex form("[A-Z0-9a-z._%+-]+@[A-Za-z0-9.-]+\\.[A-Za-z]{2,64}");
    std::string address(text);
    if (!std::regex_match(address, form)) {
        return std::nullopt;
    }
    for (char& c : address) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return address;
}

}  // namespace brimo::server
