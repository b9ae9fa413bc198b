#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

#include "accounts/PasswordHasher.h"
#include "accounts/RateLimiter.h"
#include "config/ServerConfig.h"
#include "mail/MailOutbox.h"
#include "store/AccountStore.h"

namespace brimo::server {

// An answer of the API: status, JSON body and, for 429 and 503, the seconds to wait.
struct Reply {
    int status = 200;
    nlohmann::json body;
    unsigned retryAfterSeconds = 0;
};

// Texts the client shows as they are.
namespace texts {
inline constexpr const char* kInvalidEmail = "Please enter a valid email address.";
inline constexpr const char* kWrongCredentials = "Incorrect email or password.";
inline constexpr const char* kAddressTaken = "An account with this email already exists.";
inline constexpr const char* kTooManyAttempts =
    "Too many attempts. Please wait a few minutes and try again.";
inline constexpr const char* kSessionInvalid = "Your session has ended. Please sign in again.";
inline constexpr const char* kResetSent =
    "If an account exists for this address, a link to reset its password is on its way.";
inline constexpr const char* kResetLinkInvalid =
    "This link has expired or was already used. Ask for a new one from the app.";
inline constexpr const char* kPasswordChanged = "Your password has been changed.";
inline constexpr const char* kGoogleAccount =
    "This account signs in with Google. Use \"Continue with Google\", or reset the password to "
    "set one.";
inline constexpr const char* kSignedOut = "You are signed out.";
inline constexpr const char* kBusy =
    "The service is busy right now. Please try again in a few seconds.";
inline constexpr const char* kGoogleUnavailable = "Google sign-in is not available yet.";
inline constexpr const char* kGoogleRefused = "Google sign-in failed. Please try again.";
inline constexpr const char* kGoogleKeysUnavailable =
    "Google sign-in is unavailable right now. Please try again later.";
inline constexpr const char* kUnavailable =
    "The service is temporarily unavailable. Please try again later.";
}  // namespace texts

// The account operations behind the endpoints, free of HTTP: arguments are the request's
// fields, `client` its remote address (for the rate limits).
//
// Limits: guessing is stopped by counting failed logins, per address and client network and
// per client network, and checked before the password is: a client that has not failed is
// never refused for another's failures. The endpoints that answer about or mail an address
// count every request per client; reset mails are counted per address.
class AccountService {
  public:
    struct Options {
        std::string resetLinkBase;  // the link is resetLinkBase + "/reset-password?token=…"
        std::string mailFrom;
        unsigned sessionDays = 30;
        unsigned resetLinkMinutes = 60;
        RateLimits rateLimits;
        VersionInfo version;
    };
    using Clock = std::function<double()>;  // seconds since the Unix epoch

    AccountService(AccountStore& store, PasswordHasher& hasher, MailOutbox& mail, Options options,
                   Clock clock = {});

    Reply checkEmail(const std::string& email, const std::string& client);
    // A login or registration hashes a password: the caller holds a place from admitToHash()
    // for it, taken before the request waited for anything.
    Reply login(const std::string& email, const std::string& password, const std::string& client);
    Reply registerAccount(const std::string& email, const std::string& password,
                          const std::string& client);
    // A place among the logins and registrations the hashers work off within queueSeconds, or
    // the 503 with Retry-After (the seconds those admitted need) for one beyond them.
    std::variant<PasswordHasher::Admission, Reply> admitToHash();
    Reply forgotPassword(const std::string& email, const std::string& client);
    // Signs in the owner of an address Google has verified: its account, or a new one without
    // a password. The caller has checked the ID token.
    Reply signInWithGoogle(const std::string& verifiedEmail);
    // `authorization` is the request's Authorization header, possibly empty.
    Reply currentUser(const std::string& authorization);
    // Ends the session of the Authorization header's token.
    Reply logout(const std::string& authorization);
    [[nodiscard]] Reply version() const;

    // The reset page: whether a link can still be used, and using it (the problem's text, or
    // none on success).
    bool isResetLinkValid(const std::string& token);
    std::optional<std::string> resetPassword(const std::string& token, const std::string& password);

    void deleteExpired();

    // Set once before serving: the origin is known only after the port is bound.
    void setResetLinkBase(std::string base) { options_.resetLinkBase = std::move(base); }

    // Takes one request from the client's budget: the 429 answer when it is spent.
    std::optional<Reply> limitClient(const std::string& client);

  private:
    [[nodiscard]] std::int64_t now() const;
    [[nodiscard]] std::int64_t sessionExpiry(std::int64_t t) const;
    // The 429 answer when the client's or the pair's failed logins are spent.
    std::optional<Reply> limitLoginFailures(const std::string& pair, const std::string& network);
    Reply wrongCredentials(const std::string& pair, const std::string& network);
    Reply signedIn(const UserRecord& user, const std::string& token, bool isNewUser);

    AccountStore& store_;
    PasswordHasher& hasher_;
    MailOutbox& mail_;
    Options options_;
    Clock clock_;
    RateLimiter requestsPerClient_;
    RateLimiter failuresPerPair_;
    RateLimiter failuresPerClient_;
    RateLimiter mailsPerAddress_;
};

nlohmann::json errorBody(const std::string& text);
nlohmann::json profileJson(const UserRecord& user);

}  // namespace brimo::server
