#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "google/JwksCache.h"

namespace brimo::server {

// Who a verified ID token says signed in.
struct GoogleIdentity {
    std::string email;    // as the token gives it; proven by the provider
    std::string subject;  // the provider's stable account ID
};

// Why a token is refused, for the service's own log; never the token itself.
struct TokenRefusal {
    std::string reason;
};

// Checks an OpenID Connect ID token from Google: RS256 only, signed by a key of the provider's
// key set, issued by Google for our client ID, within its lifetime, for a verified address.
class GoogleIdTokenVerifier {
  public:
    using Clock = std::function<double()>;  // seconds since the Unix epoch

    // Google's ID tokens are about 1 KiB; anything far past that is not one.
    static constexpr std::size_t kMaxTokenBytes = 8 * 1024;
    // Clock difference tolerated between the provider and us, for "exp" and "iat".
    static constexpr std::int64_t kLeewaySeconds = 300;

    GoogleIdTokenVerifier(std::string clientId, JwksCache& keys, Clock clock);

    // Throws KeysUnavailable when the key set cannot be had (a failure of ours, not the
    // token's).
    std::variant<GoogleIdentity, TokenRefusal> verify(std::string_view token) const;

  private:
    std::string clientId_;
    JwksCache& keys_;
    Clock clock_;
};

}  // namespace brimo::server
