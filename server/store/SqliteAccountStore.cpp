#include "store/SqliteAccountStore.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cctype>
#include <string_view>

namespace brimo::server {
namespace {

[[noreturn]] void fail(sqlite3* db, const char* what) {
    throw StoreUnavailable(std::string("sqlite ") + what + ": " + sqlite3_errmsg(db));
}

void executeScript(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw StoreUnavailable("sqlite: " + text);
    }
}

// SQLite numbers its parameters ?1, ?2…
std::string withNumberedParameters(std::string_view sql) {
    std::string out(sql);
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '$' && std::isdigit(static_cast<unsigned char>(out[i + 1])) != 0) {
            out[i] = '?';
        }
    }
    return out;
}

class SqliteRow final : public SqlRow {
  public:
    explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
    [[nodiscard]] std::string text(int column) const override {
        const auto* p = sqlite3_column_text(stmt_, column);
        return p == nullptr
                   ? std::string()
                   : std::string(reinterpret_cast<const char*>(p),
                                 static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    [[nodiscard]] std::int64_t integer(int column) const override {
        return sqlite3_column_int64(stmt_, column);
    }
    [[nodiscard]] bool boolean(int column) const override { return integer(column) != 0; }

  private:
    sqlite3_stmt* stmt_;
};

// One prepared statement, finalised on every path out.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql) : db_(db) {
        const std::string text = withNumberedParameters(sql);
        if (sqlite3_prepare_v2(db, text.c_str(), static_cast<int>(text.size()), &stmt_, nullptr) !=
            SQLITE_OK) {
            fail(db_, "prepare");
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const SqlValue& value) {
        int rc = SQLITE_OK;
        if (const auto* number = std::get_if<std::int64_t>(&value)) {
            rc = sqlite3_bind_int64(stmt_, index, *number);
        } else if (const auto* flag = std::get_if<bool>(&value)) {
            rc = sqlite3_bind_int(stmt_, index, *flag ? 1 : 0);
        } else {
            const auto& text = std::get<std::string>(value);
            rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                   SQLITE_TRANSIENT);
        }
        if (rc != SQLITE_OK) {
            fail(db_, "bind");
        }
    }
    // True while there is a row; false when done.
    bool step() {
        const int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc == SQLITE_DONE) {
            return false;
        }
        fail(db_, "step");
    }
    [[nodiscard]] sqlite3_stmt* handle() const { return stmt_; }

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteTransaction final : public SqlTransaction {
  public:
    explicit SqliteTransaction(sqlite3* db) : db_(db) {}
    std::int64_t run(std::string_view sql, const std::vector<SqlValue>& values,
                     const RowHandler& row) override {
        Statement statement(db_, sql);
        int index = 1;
        for (const SqlValue& value : values) {
            statement.bind(index++, value);
        }
        const SqliteRow current(statement.handle());
        while (statement.step()) {
            if (row) {
                row(current);
            }
        }
        return sqlite3_changes(db_);
    }

  private:
    sqlite3* db_;
};

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
    try {
        sqlite3_busy_timeout(db_, 5000);
        executeScript(db_,
                      "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
                      "PRAGMA foreign_keys=ON;");
        migrate(SqlTypes{"INTEGER", "0", "INTEGER", "INTEGER PRIMARY KEY AUTOINCREMENT", ""});
    } catch (...) {
        sqlite3_close(db_);
        throw;
    }
}

SqliteAccountStore::~SqliteAccountStore() {
    sqlite3_close(db_);
}

void SqliteAccountStore::transact(Access access, const std::function<void(SqlTransaction&)>& work) {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    // A single read is atomic on its own; writes take the write lock up front, so a second
    // process on the same file waits (busy timeout) instead of failing half-way.
    if (access == Access::read) {
        work(transaction);
        return;
    }
    executeScript(db_, "BEGIN IMMEDIATE");
    try {
        work(transaction);
        executeScript(db_, "COMMIT");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

}  // namespace brimo::server
