#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <pqxx/connection>
#include <vector>

#include "store/AccountStore.h"

namespace brimo::server {

// PostgreSQL for deployments that run several instances behind a load balancer. A fixed pool
// of connections, each opened on first use and reopened after it broke; schema migrations
// run under an advisory lock so instances starting together migrate once.
class PostgresAccountStore final : public AccountStore {
  public:
    PostgresAccountStore(std::string url, unsigned poolSize);
    ~PostgresAccountStore() override;
    PostgresAccountStore(const PostgresAccountStore&) = delete;
    PostgresAccountStore& operator=(const PostgresAccountStore&) = delete;

    [[nodiscard]] std::string kind() const override { return "postgresql"; }
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
    // Runs `work` on a pooled connection; database failures become StoreUnavailable.
    void withConnection(const std::function<void(pqxx::connection_base&)>& work);
    void migrate();

    std::string url_;
    std::mutex mutex_;
    std::condition_variable available_;
    // The concrete type: libpqxx's connection_base has no virtual destructor.
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    unsigned unopened_;
};

}  // namespace brimo::server
