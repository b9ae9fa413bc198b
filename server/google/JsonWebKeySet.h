#pragma once

#include <openssl/types.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace brimo::server {

using PublicKey = std::shared_ptr<EVP_PKEY>;

// The RSA signing keys of a JSON Web Key Set (RFC 7517), by key ID. Keys of other types or
// uses, without an ID or under 2048 bits are left out; they can never verify a token.
class JsonWebKeySet {
  public:
    // None when the text is not a key set at all.
    static std::optional<JsonWebKeySet> parse(std::string_view json);

    [[nodiscard]] PublicKey find(const std::string& keyId) const;
    [[nodiscard]] std::size_t size() const { return keys_.size(); }

  private:
    std::map<std::string, PublicKey> keys_;
};

// Whether `signature` is the RSASSA-PKCS1-v1_5 SHA-256 signature of `signedPart` ("RS256").
bool verifyRs256(const PublicKey& key, std::string_view signedPart, std::string_view signature);

}  // namespace brimo::server
