#include "store/SqliteAccountStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <array>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace brimo::server {
namespace {

// Each entry takes the schema from the version before it to its own index + 1.
constexpr std::array<std::string_view, 1> kMigrations = {
    R"sql(
    CREATE TABLE users (
        id TEXT PRIMARY KEY,
        email TEXT NOT NULL UNIQUE,
        password_hash TEXT NOT NULL,
        email_verified INTEGER NOT NULL DEFAULT 0,
        auth_provider TEXT NOT NULL,
        created_at INTEGER NOT NULL
    );
    CREATE TABLE sessions (
        token_hash TEXT PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL
    );
    CREATE INDEX sessions_by_user ON sessions(user_id);
    CREATE TABLE password_resets (
        token_hash TEXT PRIMARY KEY,
        user_id TEXT NOT NULL REFERENCES users(id) ON DELETE CASCADE,
        created_at INTEGER NOT NULL,
        expires_at INTEGER NOT NULL
    );
    CREATE INDEX password_resets_by_user ON password_resets(user_id);
    )sql",
};

using Value = std::variant<std::int64_t, std::string>;

// One prepared statement, finalised on every path out.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql, const std::vector<Value>& values) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr) !=
            SQLITE_OK) {
            fail("prepare");
        }
        int index = 1;
        for (const Value& value : values) {
            int rc = SQLITE_OK;
            if (const auto* number = std::get_if<std::int64_t>(&value)) {
                rc = sqlite3_bind_int64(stmt_, index, *number);
            } else {
                const auto& text = std::get<std::string>(value);
                rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                       SQLITE_TRANSIENT);
            }
            if (rc != SQLITE_OK) {
                fail("bind");
            }
            ++index;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // True while there is a row; false when done.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        fail("step");
    }
    [[nodiscard]] std::string text(int column) const {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(p),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    [[nodiscard]] std::int64_t integer(int column) const {
        return sqlite3_column_int64(stmt_, column);
    }

  private:
    [[noreturn]] void fail(const char* what) const {
        throw StoreUnavailable(std::string("sqlite ") + what + ": " + sqlite3_errmsg(db_));
    }

    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

void execute(sqlite3* db, std::string_view sql, const std::vector<Value>& values = {}) {
    Statement statement(db, sql, values);
    while (statement.step()) {
    }
}

void executeScript(sqlite3* db, const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw StoreUnavailable("sqlite: " + text);
    }
}

// BEGIN IMMEDIATE … COMMIT, rolled back when the scope is left by an exception.
class Transaction {
  public:
    explicit Transaction(sqlite3* db) : db_(db) { executeScript(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        executeScript(db_, "COMMIT");
        done_ = true;
    }

  private:
    sqlite3* db_;
    bool done_ = false;
};

constexpr std::string_view kUserColumns =
    "id, email, password_hash, email_verified, auth_provider, created_at";

UserRecord readUser(const Statement& s) {
    return UserRecord{s.text(0), s.text(1), s.text(2), s.integer(3) != 0, s.text(4), s.integer(5)};
}

}  // namespace

SqliteAccountStore::SqliteAccountStore(const std::filesystem::path& file) {
    if (file.has_parent_path()) {
        std::filesystem::create_directories(file.parent_path());
    }
    // Created 0600 before SQLite opens it: it holds password hashes. SQLite gives its journal
    // files the database file's mode.
    const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw StoreUnavailable("cannot open the database file " + file.string());
    }
    ::close(fd);
    if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string text = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StoreUnavailable("cannot open " + file.string() + ": " + text);
    }
    sqlite3_busy_timeout(db_, 5000);
    executeScript(db_,
                  "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                  "PRAGMA foreign_keys=ON;");
    migrate();
}

SqliteAccountStore::~SqliteAccountStore() {
    sqlite3_close(db_);
}

void SqliteAccountStore::migrate() {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    execute(db_, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)");
    std::int64_t version = 0;
    {
        Statement s(db_, "SELECT version FROM schema_version", {});
        if (s.step()) {
            version = s.integer(0);
        } else {
            execute(db_, "INSERT INTO schema_version (version) VALUES (0)");
        }
    }
    if (version > static_cast<std::int64_t>(kMigrations.size())) {
        throw StoreUnavailable("the database has schema version " + std::to_string(version) +
                               ", newer than this server knows (" +
                               std::to_string(kMigrations.size()) + ")");
    }
    for (auto v = static_cast<std::size_t>(version); v < kMigrations.size(); ++v) {
        executeScript(db_, std::string(kMigrations[v]));
    }
    execute(db_, "UPDATE schema_version SET version = ?",
            {static_cast<std::int64_t>(kMigrations.size())});
    transaction.commit();
}

int SqliteAccountStore::schemaVersion() {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT version FROM schema_version", {});
    return s.step() ? static_cast<int>(s.integer(0)) : 0;
}

bool SqliteAccountStore::createUser(const UserRecord& user) {
    std::lock_guard lock(mutex_);
    // The unique index decides between concurrent registrations; the loser inserts nothing.
    Statement s(
        db_,
        "INSERT INTO users (id, email, password_hash, email_verified, auth_provider, "
        "created_at) VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT(email) DO NOTHING",
        {user.id, user.email, user.passwordHash,
         static_cast<std::int64_t>(user.emailVerified ? 1 : 0), user.authProvider, user.createdAt});
    (void)s.step();
    return sqlite3_changes(db_) == 1;
}

std::optional<UserRecord> SqliteAccountStore::findUserByEmail(const std::string& email) {
    std::lock_guard lock(mutex_);
    Statement s(db_,
                std::string("SELECT ") + std::string(kUserColumns) + " FROM users WHERE email = ?",
                {email});
    if (!s.step()) {
        return std::nullopt;
    }
    return readUser(s);
}

void SqliteAccountStore::updatePasswordHash(const std::string& userId, const std::string& hash) {
    std::lock_guard lock(mutex_);
    execute(db_, "UPDATE users SET password_hash = ? WHERE id = ?", {hash, userId});
}

void SqliteAccountStore::createSession(const std::string& tokenHash, const std::string& userId,
                                       std::int64_t now, std::int64_t expiresAt) {
    std::lock_guard lock(mutex_);
    execute(db_,
            "INSERT INTO sessions (token_hash, user_id, created_at, expires_at) "
            "VALUES (?, ?, ?, ?)",
            {tokenHash, userId, now, expiresAt});
}

std::optional<UserRecord> SqliteAccountStore::findSessionUser(const std::string& tokenHash,
                                                              std::int64_t now) {
    std::lock_guard lock(mutex_);
    Statement s(db_,
                "SELECT u.id, u.email, u.password_hash, u.email_verified, u.auth_provider, "
                "u.created_at FROM sessions s JOIN users u ON u.id = s.user_id "
                "WHERE s.token_hash = ? AND s.expires_at > ?",
                {tokenHash, now});
    if (!s.step()) {
        return std::nullopt;
    }
    return readUser(s);
}

void SqliteAccountStore::createResetLink(const std::string& tokenHash, const std::string& userId,
                                         std::int64_t now, std::int64_t expiresAt) {
    std::lock_guard lock(mutex_);
    execute(db_,
            "INSERT INTO password_resets (token_hash, user_id, created_at, expires_at) "
            "VALUES (?, ?, ?, ?)",
            {tokenHash, userId, now, expiresAt});
}

bool SqliteAccountStore::isResetLinkValid(const std::string& tokenHash, std::int64_t now) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT 1 FROM password_resets WHERE token_hash = ? AND expires_at > ?",
                {tokenHash, now});
    return s.step();
}

bool SqliteAccountStore::resetPassword(const std::string& tokenHash, const std::string& newHash,
                                       std::int64_t now) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    std::string userId;
    {
        Statement s(db_,
                    "DELETE FROM password_resets WHERE token_hash = ? AND expires_at > ? "
                    "RETURNING user_id",
                    {tokenHash, now});
        if (!s.step()) {
            return false;
        }
        userId = s.text(0);
        while (s.step()) {
        }
    }
    execute(db_, "UPDATE users SET password_hash = ?, email_verified = 1 WHERE id = ?",
            {newHash, userId});
    execute(db_, "DELETE FROM sessions WHERE user_id = ?", {userId});
    execute(db_, "DELETE FROM password_resets WHERE user_id = ?", {userId});
    transaction.commit();
    return true;
}

void SqliteAccountStore::deleteExpired(std::int64_t now) {
    std::lock_guard lock(mutex_);
    execute(db_, "DELETE FROM sessions WHERE expires_at <= ?", {now});
    execute(db_, "DELETE FROM password_resets WHERE expires_at <= ?", {now});
}

}  // namespace brimo::server
