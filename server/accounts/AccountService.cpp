#include "accounts/AccountService.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "accounts/ClientNetwork.h"
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

AccountService::AccountService(AccountStore& store, PasswordHasher& hasher, MailOutbox& mail,
                               Options options, Clock clock)
    : store_(store),
      hasher_(hasher),
      mail_(mail),
      options_(std::move(options)),
      clock_(clock ? std::move(clock) : Clock(systemNow)),
      requestsPerClient_(options_.rateLimits.perClient, options_.rateLimits.perClientWindowSeconds),
      failuresPerPair_(options_.rateLimits.perAddress, options_.rateLimits.perAddressWindowSeconds),
      failuresPerClient_(options_.rateLimits.failuresPerClient,
                         options_.rateLimits.failuresPerClientWindowSeconds),
      mailsPerAddress_(options_.rateLimits.mailsPerAddress,
                       options_.rateLimits.mailsPerAddressWindowSeconds) {}

std::int64_t AccountService::now() const {
    return static_cast<std::int64_t>(std::floor(clock_()));
}

std::int64_t AccountService::sessionExpiry(std::int64_t t) const {
    return t + (static_cast<std::int64_t>(options_.sessionDays) * kSecondsPerDay);
}

std::variant<PasswordHasher::Admission, Reply> AccountService::admitToHash() {
    if (auto admission = hasher_.admit()) {
        return std::move(*admission);
    }
    return Reply{503, errorBody(texts::kBusy), hasher_.secondsToWorkOff()};
}

std::optional<Reply> AccountService::limitClient(const std::string& client) {
    if (const unsigned wait = requestsPerClient_.acquire(clientNetwork(client), clock_());
        wait > 0) {
        return Reply{429, errorBody(texts::kTooManyAttempts), wait};
    }
    return std::nullopt;
}

std::optional<Reply> AccountService::limitLoginFailures(const std::string& pair,
                                                        const std::string& network) {
    const double t = clock_();
    const unsigned wait =
        std::max(failuresPerPair_.wait(pair, t), failuresPerClient_.wait(network, t));
    if (wait > 0) {
        return Reply{429, errorBody(texts::kTooManyAttempts), wait};
    }
    return std::nullopt;
}

Reply AccountService::wrongCredentials(const std::string& pair, const std::string& network) {
    const double t = clock_();
    failuresPerPair_.spend(pair, t);
    failuresPerClient_.spend(network, t);
    return failure(400, texts::kWrongCredentials);
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
    const std::string network = clientNetwork(client);
    const auto address = normalizedEmailAddress(email);
    // Texts that are no address anyone could have registered share one key per client, so a
    // key is never longer than an address.
    const std::string pair = address.value_or("") + "\n" + network;
    if (auto limited = limitLoginFailures(pair, network)) {
        return *limited;
    }
    if (!address) {
        return wrongCredentials(pair, network);
    }
    const auto user = store_.findUserByEmail(*address);
    if (!user) {
        hasher_.verifyDecoy(password);
        return wrongCredentials(pair, network);
    }
    if (user->passwordHash.empty()) {
        // Created through Google: there is no password to match.
        return failure(400, texts::kGoogleAccount);
    }
    if (!hasher_.verify(user->passwordHash, password)) {
        return wrongCredentials(pair, network);
    }
    std::optional<std::string> rehash;
    if (hasher_.needsRehash(user->passwordHash)) {
        rehash = hasher_.hash(password);
    }
    const std::string token = newSecureToken();
    const std::int64_t t = now();
    // A reset that committed while the password was checked has ended every session: the
    // old password opens none.
    if (!store_.createSessionIfPasswordIs(sha256Hex(token), user->id, user->passwordHash, rehash, t,
                                          sessionExpiry(t))) {
        return failure(400, texts::kWrongCredentials);
    }
    failuresPerPair_.forget(pair);
    return signedIn(*user, token, false);
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
    const std::string token = newSecureToken();
    store_.createSession(sha256Hex(token), user.id, user.createdAt, sessionExpiry(user.createdAt));
    return signedIn(user, token, true);
}

Reply AccountService::signInWithGoogle(const std::string& verifiedEmail) {
    auto withNewSession = [this](const UserRecord& user, bool isNewUser) {
        const std::string token = newSecureToken();
        const std::int64_t t = now();
        store_.createSession(sha256Hex(token), user.id, t, sessionExpiry(t));
        return signedIn(user, token, isNewUser);
    };
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
            return withNewSession(*user, false);
        }
        UserRecord user;
        user.id = newUuid();
        user.email = *address;
        user.emailVerified = true;
        user.authProvider = "google";
        user.createdAt = now();
        if (store_.createUser(user)) {
            return withNewSession(user, true);
        }
    }
    return failure(503, texts::kUnavailable);
}

Reply AccountService::signedIn(const UserRecord& user, const std::string& token, bool isNewUser) {
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
    if (const auto user = store_.findUserByEmail(*address)) {
        // Counted only where a mail goes: made-up addresses take no room in this table. A
        // spent budget means the owner has recent links in their inbox.
        if (const unsigned wait = mailsPerAddress_.acquire(*address, clock_()); wait > 0) {
            return Reply{429, errorBody(texts::kTooManyAttempts), wait};
        }
        const std::string token = newSecureToken();
        const std::int64_t t = now();
        const std::string link = options_.resetLinkBase + "/reset-password?token=" + token;
        const Mail mail =
            resetMail(options_.mailFrom, user->email, link, options_.resetLinkMinutes, t);
        store_.createResetLink(sha256Hex(token), user->id, t,
                               t + (static_cast<std::int64_t>(options_.resetLinkMinutes) * 60),
                               mail.recipient, mail.message);
        mail_.wake();
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

Reply AccountService::logout(const std::string& authorization) {
    const auto token = bearerToken(authorization);
    if (!token || !looksLikeSecureToken(*token) || !store_.deleteSession(sha256Hex(*token))) {
        return failure(401, texts::kSessionInvalid);
    }
    return Reply{200, {{"message", texts::kSignedOut}}, 0};
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
