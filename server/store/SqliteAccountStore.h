#pragma once

#include <filesystem>
#include <mutex>

#include "store/AccountStore.h"

struct sqlite3;

namespace brimo::server {

// The embedded default store: one SQLite file (WAL journal, created 0600 with its folder).
// One connection serialises the statements; each takes microseconds, against the milliseconds
// of a password hash, so a pool would buy nothing here.
class SqliteAccountStore final : public AccountStore {
  public:
    explicit SqliteAccountStore(const std::filesystem::path& file);
    ~SqliteAccountStore() override;
    SqliteAccountStore(const SqliteAccountStore&) = delete;
    SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

    [[nodiscard]] std::string kind() const override { return "sqlite"; }
    [[nodiscard]] int schemaVersion() override;

    bool createUser(const UserRecord& user) override;
    std::optional<UserRecord> findUserByEmail(const std::string& email) override;
    void updatePasswordHash(const std::string& userId, const std::string& hash) override;
    void createSession(const std::string& tokenHash, const std::string& userId, std::int64_t now,
                       std::int64_t expiresAt) override;
    std::optional<UserRecord> findSessionUser(const std::string& tokenHash,
                                              std::int64_t now) override;
    void createResetLink(const std::string& tokenHash, const std::string& userId, std::int64_t now,
                         std::int64_t expiresAt) override;
    bool isResetLinkValid(const std::string& tokenHash, std::int64_t now) override;
    bool resetPassword(const std::string& tokenHash, const std::string& newHash,
                       std::int64_t now) override;
    void deleteExpired(std::int64_t now) override;

  private:
    void migrate();

    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace brimo::server
