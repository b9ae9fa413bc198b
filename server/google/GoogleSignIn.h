#pragma once

#include <functional>
#include <memory>
#include <string>

#include "accounts/AccountService.h"
#include "config/ServerConfig.h"
#include "google/GoogleIdTokenVerifier.h"
#include "google/HttpsDocumentFetcher.h"
#include "google/JwksCache.h"

namespace brimo::server {

// "POST /api/auth/google": verifies the ID token and signs its verified address in.
class GoogleSignIn {
  public:
    using Log = std::function<void(const std::string&)>;
    using Clock = std::function<double()>;  // seconds since the Unix epoch

    // The key set is fetched over HTTPS from settings.jwksUrl. `log` receives why a token was
    // refused or the keys could not be had, never a token.
    GoogleSignIn(AccountService& accounts, const GoogleSettings& settings, Log log,
                 const Clock& clock = {});

    Reply signIn(const std::string& idToken, const std::string& client);

    [[nodiscard]] unsigned keySetFetches() const { return keys_.fetches(); }

  private:
    AccountService& accounts_;
    bool enabled_;
    Log log_;
    HttpsDocumentFetcher fetcher_;
    JwksCache keys_;
    GoogleIdTokenVerifier verifier_;
};

}  // namespace brimo::server
