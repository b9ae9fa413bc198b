#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace brimo::server {

struct UserRecord {
    std::string id;
    std::string email;         // normalised
    std::string passwordHash;  // empty for an account made through Google: no password matches
    bool emailVerified = false;
    std::string authProvider = "email";
    std::int64_t createdAt = 0;  // Unix seconds
};

// The store could not be reached or failed; the request answers 503 and nothing is changed.
struct StoreUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Accounts, sessions and reset links. Tokens arrive here only as their SHA-256; times are Unix
// seconds. Every operation is atomic on its own and safe to call from many threads; the
// SQLite and PostgreSQL stores behave the same.
class AccountStore {
  public:
    virtual ~AccountStore() = default;

    // "sqlite" or "postgresql", and the schema version in use after migrations ran.
    [[nodiscard]] virtual std::string kind() const = 0;
    [[nodiscard]] virtual int schemaVersion() = 0;

    // False when the address is taken (exactly one of concurrent creations wins).
    virtual bool createUser(const UserRecord& user) = 0;
    virtual std::optional<UserRecord> findUserByEmail(const std::string& email) = 0;
    virtual void updatePasswordHash(const std::string& userId, const std::string& hash) = 0;
    virtual void markEmailVerified(const std::string& userId) = 0;

    virtual void createSession(const std::string& tokenHash, const std::string& userId,
                               std::int64_t now, std::int64_t expiresAt) = 0;
    // The session's user, when the session exists and has not expired at `now`.
    virtual std::optional<UserRecord> findSessionUser(const std::string& tokenHash,
                                                      std::int64_t now) = 0;

    virtual void createResetLink(const std::string& tokenHash, const std::string& userId,
                                 std::int64_t now, std::int64_t expiresAt) = 0;
    // True when the link exists and has not expired, without using it.
    virtual bool isResetLinkValid(const std::string& tokenHash, std::int64_t now) = 0;
    // In one transaction: uses the link up (single use), sets the new hash, marks the address
    // verified, and ends every session and every other link of the account. False, with
    // nothing changed, when the link is unknown, used or expired.
    virtual bool resetPassword(const std::string& tokenHash, const std::string& newHash,
                               std::int64_t now) = 0;

    // Removes expired sessions and links.
    virtual void deleteExpired(std::int64_t now) = 0;
};

// The store for a database setting: "postgresql://…" / "postgres://…" (libpq connection URL),
// "sqlite:PATH" or a plain file path (SQLite). Creates or migrates the schema.
std::unique_ptr<AccountStore> openAccountStore(const std::string& database, unsigned poolSize);

}  // namespace brimo::server
