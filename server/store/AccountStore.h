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

// A mail waiting in the outbox, claimed by one sender.
struct QueuedMail {
    std::int64_t id = 0;
    std::string recipient;
    std::string message;
    int attempts = 0;  // this one included
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
    // In one transaction, and only while the account's hash is still `verifiedHash` (a reset
    // may have committed while the password was being checked): replaces the hash with
    // `newHash` when one is given, and creates the session. False, with nothing changed,
    // when the hash has changed meanwhile.
    virtual bool createSessionIfPasswordIs(const std::string& tokenHash, const std::string& userId,
                                           const std::string& verifiedHash,
                                           const std::optional<std::string>& newHash,
                                           std::int64_t now, std::int64_t expiresAt) = 0;
    // Ends a session; false when there was none.
    virtual bool deleteSession(const std::string& tokenHash) = 0;
    // The session's user, when the session exists and has not expired at `now`.
    virtual std::optional<UserRecord> findSessionUser(const std::string& tokenHash,
                                                      std::int64_t now) = 0;

    // The link and the mail that carries it, in one transaction: the mail waits in the outbox
    // until a sender claims it.
    virtual void createResetLink(const std::string& tokenHash, const std::string& userId,
                                 std::int64_t now, std::int64_t expiresAt,
                                 const std::string& recipient, const std::string& message) = 0;
    // True when the link exists and has not expired, without using it.
    virtual bool isResetLinkValid(const std::string& tokenHash, std::int64_t now) = 0;
    // In one transaction: uses the link up (single use), sets the new hash, marks the address
    // verified, and ends every session and every other link of the account. False, with
    // nothing changed, when the link is unknown, used or expired.
    virtual bool resetPassword(const std::string& tokenHash, const std::string& newHash,
                               std::int64_t now) = 0;

    // Removes expired sessions and links, and outbox records done with for a day.
    virtual void deleteExpired(std::int64_t now) = 0;

    // The outbox. Claims the oldest mail that is due at `now` and not claimed by another
    // sender, for this sender until `claimUntil` (after which another may take it: a sender
    // that died leaves its claims behind). Concurrent senders never claim the same mail.
    virtual std::optional<QueuedMail> claimMail(std::int64_t now, std::int64_t claimUntil) = 0;
    // Sent: the message (it carries a link) is dropped and the record kept as sent.
    virtual void markMailSent(std::int64_t id) = 0;
    // Not sent this time: released, due again at `at`.
    virtual void retryMail(std::int64_t id, std::int64_t at) = 0;
    // Not sent, and no further attempt: the message is dropped.
    virtual void giveUpMail(std::int64_t id) = 0;
    // Mails queued and not yet sent or given up.
    virtual std::int64_t queuedMailCount() = 0;
};

// The store for a database setting: "postgresql://…" / "postgres://…" (libpq connection URL),
// "sqlite:PATH" or a plain file path (SQLite). Creates or migrates the schema.
std::unique_ptr<AccountStore> openAccountStore(const std::string& database, unsigned poolSize);

}  // namespace brimo::server
