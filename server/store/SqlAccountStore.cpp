#include "store/SqlAccountStore.h"

namespace brimo::server {
namespace {

// Each migration takes the schema from the version before it to its own index + 1.
std::vector<std::vector<std::string>> migrations(const SqlTypes& types) {
    const std::string integer(types.integer);
    const auto tokenTable = [&](const std::string& name) {
        return "CREATE TABLE " + name +
               " (\n"
               "    token_hash TEXT PRIMARY KEY,\n"
               "    user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,\n"
               "    created_at " +
               integer + " NOT NULL,\n    expires_at " + integer + " NOT NULL\n)";
    };
    return {
        {
            "CREATE TABLE users (\n"
            "    id TEXT PRIMARY KEY,\n"
            "    email TEXT NOT NULL UNIQUE,\n"
            "    password_hash TEXT NOT NULL,\n"
            "    email_verified " +
                std::string(types.boolean) + " NOT NULL DEFAULT " +
                std::string(types.booleanFalse) +
                ",\n    auth_provider TEXT NOT NULL,\n    created_at " + integer + " NOT NULL\n)",
            tokenTable("sessions"),
            "CREATE INDEX sessions_by_user ON sessions(user_id)",
            tokenTable("password_resets"),
            "CREATE INDEX password_resets_by_user ON password_resets(user_id)",
        },
        {
            // Reset mails, written with their links and sent by whichever instance claims
            // them first. state: queued, sent, failed.
            "CREATE TABLE mail_outbox (\n"
            "    id " +
                std::string(types.serialKey) +
                ",\n"
                "    recipient TEXT NOT NULL,\n"
                "    message TEXT NOT NULL,\n"
                "    state TEXT NOT NULL DEFAULT 'queued',\n"
                "    attempts INTEGER NOT NULL DEFAULT 0,\n"
                "    created_at " +
                integer + " NOT NULL,\n    next_attempt_at " + integer +
                " NOT NULL,\n    claimed_until " + integer + " NOT NULL DEFAULT 0\n)",
            "CREATE INDEX mail_outbox_due ON mail_outbox(state, next_attempt_at)",
        }};
}

// Sent and given-up mails are kept this long (without their text), for an operator to see.
constexpr std::int64_t kOutboxKeepSeconds = 86400;

constexpr std::string_view kUserColumns =
    "u.id, u.email, u.password_hash, u.email_verified, u.auth_provider, u.created_at";

UserRecord readUser(const SqlRow& row) {
    return UserRecord{row.text(0),    row.text(1), row.text(2),
                      row.boolean(3), row.text(4), row.integer(5)};
}

}  // namespace

void SqlAccountStore::insertToken(SqlTransaction& t, std::string_view table,
                                  const std::string& tokenHash, const std::string& userId,
                                  std::int64_t now, std::int64_t expiresAt) {
    t.run("INSERT INTO " + std::string(table) +
              " (token_hash, user_id, created_at, expires_at) VALUES ($1, $2, $3, $4)",
          {tokenHash, userId, now, expiresAt});
}

void SqlAccountStore::migrate(const SqlTypes& types) {
    skipLocked_ = types.skipLocked;
    const auto steps = migrations(types);
    const auto known = static_cast<std::int64_t>(steps.size());
    transact(Access::migrate, [&](SqlTransaction& t) {
        t.run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        std::int64_t version = -1;
        t.run("SELECT version FROM schema_version", {},
              [&](const SqlRow& row) { version = row.integer(0); });
        if (version < 0) {
            version = 0;
            t.run("INSERT INTO schema_version (version) VALUES (0)");
        }
        if (version > known) {
            throw StoreUnavailable("the database has schema version " + std::to_string(version) +
                                   ", newer than this server knows (" + std::to_string(known) +
                                   ")");
        }
        for (auto v = static_cast<std::size_t>(version); v < steps.size(); ++v) {
            for (const std::string& statement : steps[v]) {
                t.run(statement);
            }
        }
        t.run("UPDATE schema_version SET version = $1", {known});
    });
}

int SqlAccountStore::schemaVersion() {
    int version = 0;
    transact(Access::read, [&](SqlTransaction& t) {
        t.run("SELECT version FROM schema_version", {},
              [&](const SqlRow& row) { version = static_cast<int>(row.integer(0)); });
    });
    return version;
}

bool SqlAccountStore::createUser(const UserRecord& user) {
    std::int64_t created = 0;
    transact(Access::write, [&](SqlTransaction& t) {
        // The unique index decides between concurrent registrations; the loser inserts nothing.
        created = t.run(
            "INSERT INTO users (id, email, password_hash, email_verified, auth_provider, "
            "created_at) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (email) DO NOTHING",
            {user.id, user.email, user.passwordHash, user.emailVerified, user.authProvider,
             user.createdAt});
    });
    return created == 1;
}

std::optional<UserRecord> SqlAccountStore::findUserByEmail(const std::string& email) {
    std::optional<UserRecord> user;
    transact(Access::read, [&](SqlTransaction& t) {
        t.run(
            std::string("SELECT ") + std::string(kUserColumns) + " FROM users u WHERE u.email = $1",
            {email}, [&](const SqlRow& row) { user = readUser(row); });
    });
    return user;
}

void SqlAccountStore::updatePasswordHash(const std::string& userId, const std::string& hash) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run("UPDATE users SET password_hash = $1 WHERE id = $2", {hash, userId});
    });
}

void SqlAccountStore::markEmailVerified(const std::string& userId) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run("UPDATE users SET email_verified = $1 WHERE id = $2", {true, userId});
    });
}

void SqlAccountStore::createSession(const std::string& tokenHash, const std::string& userId,
                                    std::int64_t now, std::int64_t expiresAt) {
    transact(Access::write, [&](SqlTransaction& t) {
        insertToken(t, "sessions", tokenHash, userId, now, expiresAt);
    });
}

bool SqlAccountStore::createSessionIfPasswordIs(const std::string& tokenHash,
                                                const std::string& userId,
                                                const std::string& verifiedHash,
                                                const std::optional<std::string>& newHash,
                                                std::int64_t now, std::int64_t expiresAt) {
    bool created = false;
    transact(Access::write, [&](SqlTransaction& t) {
        // The UPDATE locks the account's row: a reset that commits first makes it match
        // nothing; one that comes after waits for this commit and then ends the new session.
        if (t.run("UPDATE users SET password_hash = $1 WHERE id = $2 AND password_hash = $3",
                  {newHash.value_or(verifiedHash), userId, verifiedHash}) != 1) {
            return;
        }
        insertToken(t, "sessions", tokenHash, userId, now, expiresAt);
        created = true;
    });
    return created;
}

bool SqlAccountStore::deleteSession(const std::string& tokenHash) {
    std::int64_t deleted = 0;
    transact(Access::write, [&](SqlTransaction& t) {
        deleted = t.run("DELETE FROM sessions WHERE token_hash = $1", {tokenHash});
    });
    return deleted > 0;
}

std::optional<UserRecord> SqlAccountStore::findSessionUser(const std::string& tokenHash,
                                                           std::int64_t now) {
    std::optional<UserRecord> user;
    transact(Access::read, [&](SqlTransaction& t) {
        t.run(std::string("SELECT ") + std::string(kUserColumns) +
                  " FROM sessions s JOIN users u ON u.id = s.user_id "
                  "WHERE s.token_hash = $1 AND s.expires_at > $2",
              {tokenHash, now}, [&](const SqlRow& row) { user = readUser(row); });
    });
    return user;
}

void SqlAccountStore::createResetLink(const std::string& tokenHash, const std::string& userId,
                                      std::int64_t now, std::int64_t expiresAt,
                                      const std::string& recipient, const std::string& message) {
    transact(Access::write, [&](SqlTransaction& t) {
        insertToken(t, "password_resets", tokenHash, userId, now, expiresAt);
        // Due at once, whatever the senders' clocks say.
        t.run(
            "INSERT INTO mail_outbox (recipient, message, created_at, next_attempt_at) "
            "VALUES ($1, $2, $3, 0)",
            {recipient, message, now});
    });
}

bool SqlAccountStore::isResetLinkValid(const std::string& tokenHash, std::int64_t now) {
    bool valid = false;
    transact(Access::read, [&](SqlTransaction& t) {
        t.run("SELECT 1 FROM password_resets WHERE token_hash = $1 AND expires_at > $2",
              {tokenHash, now}, [&](const SqlRow&) { valid = true; });
    });
    return valid;
}

bool SqlAccountStore::resetPassword(const std::string& tokenHash, const std::string& newHash,
                                    std::int64_t now) {
    bool done = false;
    transact(Access::write, [&](SqlTransaction& t) {
        // The DELETE … RETURNING uses the link up: of two concurrent uses, one gets the row.
        std::string userId;
        t.run(
            "DELETE FROM password_resets WHERE token_hash = $1 AND expires_at > $2 "
            "RETURNING user_id",
            {tokenHash, now}, [&](const SqlRow& row) { userId = row.text(0); });
        if (userId.empty()) {
            return;
        }
        t.run("UPDATE users SET password_hash = $1, email_verified = $2 WHERE id = $3",
              {newHash, true, userId});
        t.run("DELETE FROM sessions WHERE user_id = $1", {userId});
        t.run("DELETE FROM password_resets WHERE user_id = $1", {userId});
        done = true;
    });
    return done;
}

void SqlAccountStore::deleteExpired(std::int64_t now) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run("DELETE FROM sessions WHERE expires_at <= $1", {now});
        t.run("DELETE FROM password_resets WHERE expires_at <= $1", {now});
        t.run("DELETE FROM mail_outbox WHERE state <> 'queued' AND created_at <= $1",
              {now - kOutboxKeepSeconds});
    });
}

std::optional<QueuedMail> SqlAccountStore::claimMail(std::int64_t now, std::int64_t claimUntil) {
    std::optional<QueuedMail> mail;
    transact(Access::write, [&](SqlTransaction& t) {
        // Of two senders, one locks the row and the other skips it (PostgreSQL) or waits for
        // the write lock and then finds it claimed (SQLite): the outer condition is checked
        // again on the row as it is when updated.
        t.run(
            "UPDATE mail_outbox SET claimed_until = $1, attempts = attempts + 1 "
            "WHERE id = (SELECT id FROM mail_outbox WHERE state = 'queued' "
            "AND next_attempt_at <= $2 AND claimed_until <= $2 ORDER BY id LIMIT 1" +
                skipLocked_ +
                ") AND state = 'queued' AND claimed_until <= $2 "
                "RETURNING id, recipient, message, attempts",
            {claimUntil, now}, [&](const SqlRow& row) {
                mail = QueuedMail{row.integer(0), row.text(1), row.text(2),
                                  static_cast<int>(row.integer(3))};
            });
    });
    return mail;
}

void SqlAccountStore::markMailSent(std::int64_t id) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run(
            "UPDATE mail_outbox SET state = 'sent', message = '', claimed_until = 0 WHERE id = $1",
            {id});
    });
}

void SqlAccountStore::retryMail(std::int64_t id, std::int64_t at) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run("UPDATE mail_outbox SET claimed_until = 0, next_attempt_at = $1 WHERE id = $2",
              {at, id});
    });
}

void SqlAccountStore::giveUpMail(std::int64_t id) {
    transact(Access::write, [&](SqlTransaction& t) {
        t.run(
            "UPDATE mail_outbox SET state = 'failed', message = '', claimed_until = 0 "
            "WHERE id = $1",
            {id});
    });
}

std::int64_t SqlAccountStore::queuedMailCount() {
    std::int64_t count = 0;
    transact(Access::read, [&](SqlTransaction& t) {
        t.run("SELECT COUNT(*) FROM mail_outbox WHERE state = 'queued'", {},
              [&](const SqlRow& row) { count = row.integer(0); });
    });
    return count;
}

}  // namespace brimo::server
