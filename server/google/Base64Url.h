#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimo::server {

// Base64url without padding (RFC 4648 section 5), as JSON Web Tokens and keys use it. None for
// text that is not exactly that: padding, other characters or stray bits.
std::optional<std::string> decodeBase64Url(std::string_view text);

}  // namespace brimo::server
