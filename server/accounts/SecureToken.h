#pragma once

#include <string>
#include <string_view>

namespace brimo::server {

// 256 random bits as unpadded base64url: 43 characters, safe in headers and URLs.
std::string newSecureToken();

// True for text of the shape newSecureToken produces; anything else is refused unlooked-up.
bool looksLikeSecureToken(std::string_view text);

// Lower-case hex SHA-256: the only form in which a token is stored.
std::string sha256Hex(std::string_view text);

// A random version-4 UUID in its canonical text form.
std::string newUuid();

// Constant-time comparison of equal-length texts (false for different lengths).
bool constantTimeEquals(std::string_view a, std::string_view b);

}  // namespace brimo::server
