#include "account/auth/Pkce.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <climits>
#include <vector>

namespace brimo::account::pkce {

bool systemRandomBytes(std::span<unsigned char> bytes) {
    if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    return RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1;
}

std::string base64UrlWithoutPadding(std::span<const unsigned char> bytes) {
    // EVP_EncodeBlock writes 4 characters per started 3 bytes and a terminating NUL.
    std::vector<unsigned char> encoded(((bytes.size() + 2) / 3) * 4 + 1);
    const int length =
        EVP_EncodeBlock(encoded.data(), bytes.data(), static_cast<int>(bytes.size()));
    std::string text(encoded.begin(), encoded.begin() + length);
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    text.erase(std::remove(text.begin(), text.end(), '='), text.end());
    return text;
}

std::optional<std::string> generateCodeVerifier(const RandomSource& random) {
    std::array<unsigned char, 32> bytes{};
    if (!random || !random(bytes)) {
        return std::nullopt;
    }
    return base64UrlWithoutPadding(bytes);
}

std::string generateCodeChallenge(const std::string& verifier) {
    std::array<unsigned char, SHA256_DIGEST_LENGTH> digest{};
    unsigned int length = 0;
    EVP_Digest(verifier.data(), verifier.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return base64UrlWithoutPadding(std::span(digest.data(), length));
}

}  // namespace brimo::account::pkce
