#include "accounts/AccountService.h"

#include <chrono>
#include <cmath>

#include "accounts/EmailAddress.h"
#include "accounts/PasswordRules.h"
#include "accounts/SecureToken.h"
#include "mail/ResetMail.h"

namespace brimo::server {
namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

Reply failure(int status, const std::string& text) {
    return Reply{status, errorBody(text), 0};
}

double systemNow() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The token of an "Authorization: Bearer …" value; the scheme is case-insensitive.
std::optional<std::string> bearerToken(const std::string& header) {
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size()) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        const char c = header[i];
        const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        if (lower != scheme[i]) {
            return std::nullopt;
        }
    }
    return header.substr(scheme.size());
}

}  // namespace

nlohmann::json errorBody(const std::string& text) {
    return nlohmann::json{{"error", text}};
}

nlohmann::json profileJson(const UserRecord& user) {
    return nlohmann::json{{"id", user.id},
                          {"email", user.email},
                          {"emailVerified", user.emailVerified},
                          {"authProvider", user.authProvider}};
}

AccountService::AccountService(AccountStore& store, PasswordHasher& hasher, MailQueue& mail,
                               Options options, Clock clock)
    : store_(store),
      hasher_(hasher),
      mail_(mail),
      options_(std::move(options)),
      clock_(clock ? std::move(clock) : Clock(systemNow)),
      perClient_(options_.rateLimits.perClient, options_.rateLimits.perClientWindowSeconds),
      perAddress_(options_.rateLimits.perAddress, options_.rateLimits.perAddressWindowSeconds) {}

std::int64_t AccountService::now() const {
    return static_cast<std::int64_t>(std::floor(clock_()));
}

std::optional<Reply> AccountService::limitClient(const std::string& client) {
    if (const unsigned wait = perClient_.acquire(client, clock_()); wait > 0) {
        return Reply{429, errorBody(texts::kTooManyAttempts), wait};
    }
    return std::nullopt;
}

std::optional<Reply> AccountService::limitAddress(const std::string& address) {
    if (const unsigned wait = perAddress_.acquire(address, clock_()); wait > 0) {
        return Reply{429, errorBody(texts::kTooManyAttempts), wait};
    }
    return std::nullopt;
}

Reply AccountService::checkEmail(const std::string& email, const std::string& client) {
    if (auto limited = limitClient(client)) {
        return *limited;
    }
    const auto address = normalizedEmailAddress(email);
    if (!address) {
        return failure(400, texts::kInvalidEmail);
    }
    return Reply{200, {{"exists", store_.findUserByEmail(*address).has_value()}}, 0};
}

Reply AccountService::login(const std::string& email, const std::string& password,
                            const std::string& client) {
    if (auto limited = limitClient(client)) {
        return *limited;
    }
    const auto address = normalizedEmailAddress(email);
    if (!address) {
        // Not an address anyone could have registered: the same answer as a wrong password.
        return failure(400, texts::kWrongCredentials);
    }
    if (auto limited = limitAddress(*address)) {
        return *limited;
    }
    const auto user = store_.findUserByEmail(*address);
    if (!user) {
        hasher_.verifyDecoy(password);
        return failure(400, texts::kWrongCredentials);
    }
    if (user->passwordHash.empty()) {
        // Created through Google: there is no password to match.
        return failure(400, texts::kGoogleAccount);
    }
    if (!hasher_.verify(user->passwordHash, password)) {
        return failure(400, texts::kWrongCredentials);
    }
    if (hasher_.needsRehash(user->passwordHash)) {
        store_.updatePasswordHash(user->id, hasher_.hash(password));
    }
    return signedIn(*user, false);
}

Reply AccountService::registerAccount(const std::string& email, const std::string& password,
                                      const std::string& client) {
    if (auto limited = limitClient(client)) {
        return *limited;
    }
    const auto address = normalizedEmailAddress(email);
    if (!address) {
        return failure(400, texts::kInvalidEmail);
    }
    if (auto problem = newPasswordProblem(password)) {
        return failure(400, *problem);
    }
    if (auto limited = limitAddress(*address)) {
        return *limited;
    }
    // Checked first so a taken address costs no hash; the insert still decides a race.
    if (store_.findUserByEmail(*address)) {
        return failure(409, texts::kAddressTaken);
    }
    UserRecord user;
    user.id = newUuid();
    user.email = *address;
    user.passwordHash = hasher_.hash(password);
    user.createdAt = now();
    if (!store_.createUser(user)) {
        return failure(409, texts::kAddressTaken);
    }
    return signedIn(user, true);
}

Reply AccountService::signInWithGoogle(const std::string& verifiedEmail) {
    const auto address = normalizedEmailAddress(verifiedEmail);
    if (!address) {
        // Google's addresses fit the form; one that does not is no address we could serve.
        return failure(401, texts::kGoogleRefused);
    }
    // Two tries: a concurrent first sign-in of the same address may create the account between
    // the look-up and the insert.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (auto user = store_.findUserByEmail(*address)) {
            if (!user->emailVerified) {
                store_.markEmailVerified(user->id);
                user->emailVerified = true;
            }
            return signedIn(*user, false);
        }
        UserRecord user;
        user.id = newUuid();
        user.email = *address;
        user.emailVerified = true;
        user.authProvider = "google";
        user.createdAt = now();
        if (store_.createUser(user)) {
            return signedIn(user, true);
        }
    }
    return failure(503, texts::kUnavailable);
}

Reply AccountService::signedIn(const UserRecord& user, bool isNewUser) {
    const std::string token = newSecureToken();
    const std::int64_t t = now();
    store_.createSession(sha256Hex(token), user.id, t,
                         t + (static_cast<std::int64_t>(options_.sessionDays) * kSecondsPerDay));
    return Reply{200, {{"token", token}, {"user", profileJson(user)}, {"isNewUser", isNewUser}}, 0};
}

Reply AccountService::forgotPassword(const std::string& email, const std::string& client) {
    if (auto limited = limitClient(client)) {
        return *limited;
    }
    const auto address = normalizedEmailAddress(email);
    if (!address) {
        return failure(400, texts::kInvalidEmail);
    }
    if (auto limited = limitAddress(*address)) {
        return *limited;
    }
    if (const auto user = store_.findUserByEmail(*address)) {
        const std::string token = newSecureToken();
        const std::int64_t t = now();
        store_.createResetLink(sha256Hex(token), user->id, t,
                               t + (static_cast<std::int64_t>(options_.resetLinkMinutes) * 60));
        const std::string link = options_.resetLinkBase + "/reset-password?token=" + token;
        if (!mail_.enqueue(
                resetMail(options_.mailFrom, user->email, link, options_.resetLinkMinutes, t))) {
            return failure(503, texts::kMailUnavailable);
        }
    }
    return Reply{200, {{"message", texts::kResetSent}}, 0};
}

Reply AccountService::currentUser(const std::string& authorization) {
    const auto token = bearerToken(authorization);
    if (!token || !looksLikeSecureToken(*token)) {
        return failure(401, texts::kSessionInvalid);
    }
    const auto user = store_.findSessionUser(sha256Hex(*token), now());
    if (!user) {
        return failure(401, texts::kSessionInvalid);
    }
    return Reply{200, {{"user", profileJson(*user)}}, 0};
}

Reply AccountService::version() const {
    const auto& v = options_.version;
    return Reply{200,
                 {{"version", v.version},
                  {"releaseNotes", v.releaseNotes},
                  {"downloadUrl", v.downloadUrl},
                  {"forceUpdate", v.forceUpdate}},
                 0};
}

bool AccountService::isResetLinkValid(const std::string& token) {
    return looksLikeSecureToken(token) && store_.isResetLinkValid(sha256Hex(token), now());
}

std::optional<std::string> AccountService::resetPassword(const std::string& token,
                                                         const std::string& password) {
    if (!looksLikeSecureToken(token)) {
        return std::string(texts::kResetLinkInvalid);
    }
    if (auto problem = newPasswordProblem(password)) {
        return problem;
    }
    const std::string tokenHash = sha256Hex(token);
    // Checked before the costly hash, which a made-up link must not buy.
    if (!store_.isResetLinkValid(tokenHash, now())) {
        return std::string(texts::kResetLinkInvalid);
    }
    // Hashed before the link is used up, so a failure here leaves the link usable.
    const std::string hash = hasher_.hash(password);
    if (!store_.resetPassword(tokenHash, hash, now())) {
        return std::string(texts::kResetLinkInvalid);
    }
    return std::nullopt;
}

void AccountService::deleteExpired() {
    store_.deleteExpired(now());
}

}  // namespace brimo::server
