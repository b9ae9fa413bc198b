#include "store/PostgresAccountStore.h"

#include <array>
#include <pqxx/pqxx>
#include <string_view>

namespace brimo::server {
namespace {

// Each entry takes the schema from the version before it to its own index + 1.
constexpr std::array<std::string_view, 1> kMigrations = {
    R"sql(
    CREATE TABLE users (
        id TEXT PRIMARY KEY,
        email TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        email_verified BOOLEAN NOT NULL DEFAULT FALSE,
        auth_provider TEXT NOT NULL,
        created_at BIGINT NOT NULL
    );
    CREATE TABLE sessions (
        token_hash TEXT PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_at BIGINT NOT NULL,
        expires_at BIGINT NOT NULL
    );
    CREATE INDEX sessions_by_user ON sessions(user_id);
    CREATE TABLE password_resets (
        token_hash TEXT PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_at BIGINT NOT NULL,
        expires_at BIGINT NOT NULL
    );
    CREATE INDEX password_resets_by_user ON password_resets(user_id);
    )sql",
};

// Any number that is this store's own: the advisory lock that serialises migrations.
constexpr long kMigrationLock = 0x6272696d6f;

UserRecord readUser(const pqxx::row& row) {
    return UserRecord{row[0].as<std::string>(), row[1].as<std::string>(),
                      row[2].as<std::string>(), row[3].as<bool>(),
                      row[4].as<std::string>(), row[5].as<std::int64_t>()};
}

// A pooled connection, given back on every path out; dropped when it broke.
class Lease {
  public:
    Lease(std::unique_ptr<pqxx::connection> connection,
          std::function<void(std::unique_ptr<pqxx::connection>)> giveBack)
        : connection_(std::move(connection)), giveBack_(std::move(giveBack)) {}
    ~Lease() {
        if (connection_ && !connection_->is_open()) {
            connection_.reset();
        }
        giveBack_(std::move(connection_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    pqxx::connection_base& operator*() const { return *connection_; }
    void drop() { connection_.reset(); }

  private:
    std::unique_ptr<pqxx::connection> connection_;
    std::function<void(std::unique_ptr<pqxx::connection>)> giveBack_;
};

}  // namespace

PostgresAccountStore::PostgresAccountStore(std::string url, unsigned poolSize)
    : url_(std::move(url)), unopened_(poolSize == 0 ? 1 : poolSize) {
    migrate();
}

PostgresAccountStore::~PostgresAccountStore() = default;

void PostgresAccountStore::withConnection(const std::function<void(pqxx::connection_base&)>& work) {
    std::unique_ptr<pqxx::connection> connection;
    bool open = false;
    {
        std::unique_lock lock(mutex_);
        available_.wait(lock, [&] { return !idle_.empty() || unopened_ > 0; });
        if (!idle_.empty()) {
            connection = std::move(idle_.back());
            idle_.pop_back();
        } else {
            --unopened_;
            open = true;
        }
    }
    auto giveBack = [this](std::unique_ptr<pqxx::connection> c) {
        {
            std::lock_guard lock(mutex_);
            if (c) {
                idle_.push_back(std::move(c));
            } else {
                ++unopened_;
            }
        }
        available_.notify_one();
    };
    try {
        if (open) {
            connection = std::make_unique<pqxx::connection>(url_);
        }
    } catch (const std::exception& e) {
        giveBack(nullptr);
        throw StoreUnavailable(std::string("postgresql connect: ") + e.what());
    }
    Lease lease(std::move(connection), giveBack);
    try {
        work(*lease);
    } catch (const pqxx::broken_connection& e) {
        lease.drop();
        throw StoreUnavailable(std::string("postgresql: ") + e.what());
    } catch (const pqxx::failure& e) {
        throw StoreUnavailable(std::string("postgresql: ") + e.what());
    }
}

void PostgresAccountStore::migrate() {
    withConnection([](pqxx::connection_base& c) {
        pqxx::work w(c);
        w.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
        w.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
        auto rows = w.exec("SELECT version FROM schema_version");
        int version = 0;
        if (rows.empty()) {
            w.exec("INSERT INTO schema_version (version) VALUES (0)");
        } else {
            version = rows[0][0].as<int>();
        }
        if (version > static_cast<int>(kMigrations.size())) {
            throw StoreUnavailable("the database has schema version " + std::to_string(version) +
                                   ", newer than this server knows (" +
                                   std::to_string(kMigrations.size()) + ")");
        }
        for (auto v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
            w.exec(std::string(kMigrations[v]));
        }
        w.exec_params("UPDATE schema_version SET version = $1",
                      static_cast<int>(kMigrations.size()));
        w.commit();
    });
}

int PostgresAccountStore::schemaVersion() {
    int version = 0;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::read_transaction w(c);
        auto rows = w.exec("SELECT version FROM schema_version");
        version = rows.empty() ? 0 : rows[0][0].as<int>();
    });
    return version;
}

bool PostgresAccountStore::createUser(const UserRecord& user) {
    bool created = false;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        // The unique index decides between concurrent registrations; the loser inserts nothing.
        auto r = w.exec_params(
            "INSERT INTO users (id, email, password_hash, email_verified, auth_provider, "
            "created_at) VALUES ($1, $2, $3, $4, $5, $6) ON CONFLICT (email) DO NOTHING",
            user.id, user.email, user.passwordHash, user.emailVerified, user.authProvider,
            static_cast<long long>(user.createdAt));
        w.commit();
        created = r.affected_rows() == 1;
    });
    return created;
}

std::optional<UserRecord> PostgresAccountStore::findUserByEmail(const std::string& email) {
    std::optional<UserRecord> user;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::read_transaction w(c);
        auto r = w.exec_params(
            "SELECT id, email, password_hash, email_verified, auth_provider, created_at "
            "FROM users WHERE email = $1",
            email);
        if (!r.empty()) {
            user = readUser(r[0]);
        }
    });
    return user;
}

void PostgresAccountStore::updatePasswordHash(const std::string& userId, const std::string& hash) {
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        w.exec_params("UPDATE users SET password_hash = $1 WHERE id = $2", hash, userId);
        w.commit();
    });
}

void PostgresAccountStore::createSession(const std::string& tokenHash, const std::string& userId,
                                         std::int64_t now, std::int64_t expiresAt) {
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        w.exec_params(
            "INSERT INTO sessions (token_hash, user_id, created_at, expires_at) "
            "VALUES ($1, $2, $3, $4)",
            tokenHash, userId, static_cast<long long>(now), static_cast<long long>(expiresAt));
        w.commit();
    });
}

std::optional<UserRecord> PostgresAccountStore::findSessionUser(const std::string& tokenHash,
                                                                std::int64_t now) {
    std::optional<UserRecord> user;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::read_transaction w(c);
        auto r = w.exec_params(
            "SELECT u.id, u.email, u.password_hash, u.email_verified, u.auth_provider, "
            "u.created_at FROM sessions s JOIN users u ON u.id = s.user_id "
            "WHERE s.token_hash = $1 AND s.expires_at > $2",
            tokenHash, static_cast<long long>(now));
        if (!r.empty()) {
            user = readUser(r[0]);
        }
    });
    return user;
}

void PostgresAccountStore::createResetLink(const std::string& tokenHash, const std::string& userId,
                                           std::int64_t now, std::int64_t expiresAt) {
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        w.exec_params(
            "INSERT INTO password_resets (token_hash, user_id, created_at, expires_at) "
            "VALUES ($1, $2, $3, $4)",
            tokenHash, userId, static_cast<long long>(now), static_cast<long long>(expiresAt));
        w.commit();
    });
}

bool PostgresAccountStore::isResetLinkValid(const std::string& tokenHash, std::int64_t now) {
    bool valid = false;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::read_transaction w(c);
        auto r =
            w.exec_params("SELECT 1 FROM password_resets WHERE token_hash = $1 AND expires_at > $2",
                          tokenHash, static_cast<long long>(now));
        valid = !r.empty();
    });
    return valid;
}

bool PostgresAccountStore::resetPassword(const std::string& tokenHash, const std::string& newHash,
                                         std::int64_t now) {
    bool done = false;
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        // The DELETE … RETURNING takes the row's lock: of two concurrent uses, one gets the row.
        auto r = w.exec_params(
            "DELETE FROM password_resets WHERE token_hash = $1 AND expires_at > $2 "
            "RETURNING user_id",
            tokenHash, static_cast<long long>(now));
        if (r.empty()) {
            return;
        }
        const auto userId = r[0][0].as<std::string>();
        w.exec_params("UPDATE users SET password_hash = $1, email_verified = TRUE WHERE id = $2",
                      newHash, userId);
        w.exec_params("DELETE FROM sessions WHERE user_id = $1", userId);
        w.exec_params("DELETE FROM password_resets WHERE user_id = $1", userId);
        w.commit();
        done = true;
    });
    return done;
}

void PostgresAccountStore::deleteExpired(std::int64_t now) {
    withConnection([&](pqxx::connection_base& c) {
        pqxx::work w(c);
        w.exec_params("DELETE FROM sessions WHERE expires_at <= $1", static_cast<long long>(now));
        w.exec_params("DELETE FROM password_resets WHERE expires_at <= $1",
                      static_cast<long long>(now));
        w.commit();
    });
}

}  // namespace brimo::server
