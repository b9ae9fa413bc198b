#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "store/AccountStore.h"

namespace brimo::server {

// A statement's parameter; the statement names them $1, $2… in the order they are given.
using SqlValue = std::variant<std::int64_t, std::string, bool>;

// One row of a statement's result.
class SqlRow {
  public:
    SqlRow() = default;
    virtual ~SqlRow() = default;
    SqlRow(const SqlRow&) = delete;
    SqlRow& operator=(const SqlRow&) = delete;

    [[nodiscard]] virtual std::string text(int column) const = 0;
    [[nodiscard]] virtual std::int64_t integer(int column) const = 0;
    [[nodiscard]] virtual bool boolean(int column) const = 0;
};

// The statements of one transaction, on one connection.
class SqlTransaction {
  public:
    using RowHandler = std::function<void(const SqlRow&)>;

    SqlTransaction() = default;
    virtual ~SqlTransaction() = default;
    SqlTransaction(const SqlTransaction&) = delete;
    SqlTransaction& operator=(const SqlTransaction&) = delete;

    // Runs one statement to its end, handing each row of its result to `row`; returns the
    // number of rows it changed.
    virtual std::int64_t run(std::string_view sql, const std::vector<SqlValue>& values = {},
                             const RowHandler& row = {}) = 0;
};

// The column types a database spells differently.
struct SqlTypes {
    std::string_view boolean;       // with its false value as a default
    std::string_view booleanFalse;  //
    std::string_view integer;       // 64 bits
    std::string_view serialKey;     // an integer primary key the database numbers itself
    std::string_view skipLocked;    // row locks skipped by a claiming SELECT, where supported
};

// The accounts, sessions and reset links in SQL, written once for every database: a store
// supplies transactions on its connections and the column types of its schema.
class SqlAccountStore : public AccountStore {
  public:
    [[nodiscard]] int schemaVersion() override;

    bool createUser(const UserRecord& user) override;
    std::optional<UserRecord> findUserByEmail(const std::string& email) override;
    void updatePasswordHash(const std::string& userId, const std::string& hash) override;
    void markEmailVerified(const std::string& userId) override;
    void createSession(const std::string& tokenHash, const std::string& userId, std::int64_t now,
                       std::int64_t expiresAt) override;
    bool createSessionIfPasswordIs(const std::string& tokenHash, const std::string& userId,
                                   const std::string& verifiedHash,
                                   const std::optional<std::string>& newHash, std::int64_t now,
                                   std::int64_t expiresAt) override;
    bool deleteSession(const std::string& tokenHash) override;
    std::optional<UserRecord> findSessionUser(const std::string& tokenHash,
                                              std::int64_t now) override;
    void createResetLink(const std::string& tokenHash, const std::string& userId, std::int64_t now,
                         std::int64_t expiresAt, const std::string& recipient,
                         const std::string& message) override;
    bool isResetLinkValid(const std::string& tokenHash, std::int64_t now) override;
    bool resetPassword(const std::string& tokenHash, const std::string& newHash,
                       std::int64_t now) override;
    void deleteExpired(std::int64_t now) override;
    std::optional<QueuedMail> claimMail(std::int64_t now, std::int64_t claimUntil) override;
    void markMailSent(std::int64_t id) override;
    void retryMail(std::int64_t id, std::int64_t at) override;
    void giveUpMail(std::int64_t id) override;
    std::int64_t queuedMailCount() override;

  protected:
    // `migrate` transactions must exclude every other migration of the same database.
    enum class Access { read, write, migrate };

    // Runs `work` in one transaction: committed when it returns, rolled back when it throws.
    // Failures of the database leave as StoreUnavailable.
    virtual void transact(Access access, const std::function<void(SqlTransaction&)>& work) = 0;

    // Creates or migrates the schema: the derived store's constructor calls it once its
    // database is reachable.
    void migrate(const SqlTypes& types);

  private:
    // Sessions and reset links are the same record in two tables.
    static void insertToken(SqlTransaction& t, std::string_view table, const std::string& tokenHash,
                            const std::string& userId, std::int64_t now, std::int64_t expiresAt);

    // The claiming statement's locking clause, from the types migrate() was given.
    std::string skipLocked_;
};

}  // namespace brimo::server
