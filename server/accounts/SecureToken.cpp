#include "accounts/SecureToken.h"

#include <sodium.h>

#include <array>
#include <cstdio>
#include <cstdlib>

namespace brimo::server {

inline constexpr std::size_t kTokenBytes = 32;
inline constexpr std::size_t kTokenCharacters = 43;

namespace {
// libsodium must be initialised once before its random source is used; the call is idempotent.
void ensureSodium() {
    static const bool ready = sodium_init() >= 0;
    if (!ready) {
        std::abort();  // no secure random source: issuing guessable tokens is worse than stopping
    }
}
}  // namespace

std::string newSecureToken() {
    ensureSodium();
    std::array<unsigned char, kTokenBytes> bytes{};
    randombytes_buf(bytes.data(), bytes.size());
    std::array<char,
               sodium_base64_ENCODED_LEN(kTokenBytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING)>
        text{};
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(bytes.data(), bytes.size());
    return {text.data()};
}

bool looksLikeSecureToken(std::string_view text) {
    if (text.size() != kTokenCharacters) {
        return false;
    }
    for (char c : text) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) {
            return false;
        }
    }
    return true;
}

std::string sha256Hex(std::string_view text) {
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(text.data()),
                       text.size());
    std::array<char, (crypto_hash_sha256_BYTES * 2) + 1> hex{};
    sodium_bin2hex(hex.data(), hex.size(), digest.data(), digest.size());
    return {hex.data()};
}

std::string newUuid() {
    ensureSodium();
    std::array<unsigned char, 16> b{};
    randombytes_buf(b.data(), b.size());
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    std::array<char, 37> text{};
    std::snprintf(text.data(), text.size(),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return {text.data()};
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace brimo::server
