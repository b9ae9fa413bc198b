#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TemporaryDirectory.h"

namespace brimo::server::testing {

// The OAuth provider of tests/support/oauth-provider, started on a free loopback port with a
// certificate authority of its own and stopped by process ID.
class OAuthProvider {
  public:
    explicit OAuthProvider(const std::string& clientId);
    ~OAuthProvider();
    OAuthProvider(const OAuthProvider&) = delete;
    OAuthProvider& operator=(const OAuthProvider&) = delete;

    [[nodiscard]] std::string jwksUrl() const { return origin_ + "/jwks"; }
    [[nodiscard]] const std::filesystem::path& authority() const { return authority_; }
    [[nodiscard]] std::string email() const { return "google.user@example.org"; }

    // An ID token shaped by `shape` (see the provider's README: claims, remove, alg, key, kid,
    // exp_in, iat_in, pad).
    [[nodiscard]] std::string mint(const nlohmann::json& shape = nlohmann::json::object()) const;
    // A new signing key; returns its key ID.
    std::string rotate(bool keepPrevious) const;
    void configure(const nlohmann::json& settings) const;
    // The ID of the key it signs with now.
    [[nodiscard]] std::string currentKeyId() const;
    // How often its key set was fetched.
    [[nodiscard]] unsigned jwksFetches() const;
    // A client that trusts its authority, for its own endpoints.
    [[nodiscard]] std::unique_ptr<httplib::SSLClient> client() const;
    [[nodiscard]] std::string redirectUri() const { return redirectUri_; }
    // Every secret it handed out (codes, tokens).
    [[nodiscard]] std::vector<std::string> issuedSecrets() const;

  private:
    [[nodiscard]] nlohmann::json call(const std::string& path, const nlohmann::json& body,
                                      bool post) const;

    brimo::testing::TemporaryDirectory directory_;
    std::unique_ptr<brimo::testing::ChildProcess> process_;
    std::string origin_;
    int port_ = 0;
    std::filesystem::path authority_;
    std::string redirectUri_;
};

}  // namespace brimo::server::testing
