#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>

namespace brimo::account::pkce {

// Fills the bytes from a cryptographically secure source; false when the source failed.
using RandomSource = std::function<bool(std::span<unsigned char> bytes)>;

// The operating system's secure random source (through OpenSSL).
bool systemRandomBytes(std::span<unsigned char> bytes);

// 32 random bytes as unpadded Base64url: 43 characters of letters, digits, "-" and "_". None
// when the random source failed: a verifier of predictable bytes must never be used.
std::optional<std::string> generateCodeVerifier(const RandomSource& random = systemRandomBytes);

// The S256 challenge: SHA-256 of the verifier's bytes as unpadded Base64url (43 characters).
std::string generateCodeChallenge(const std::string& verifier);

// Standard Base64 with "+" → "-", "/" → "_" and the padding removed.
std::string base64UrlWithoutPadding(std::span<const unsigned char> bytes);

}  // namespace brimo::account::pkce
