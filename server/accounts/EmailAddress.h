#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimo::server {

// The address in the form accounts are stored and compared in (lower case), or none when it is
// not an address the sign-in overlay would accept (ASCII only, at most 254 characters).
std::optional<std::string> normalizedEmailAddress(std::string_view text);

}  // namespace brimo::server
