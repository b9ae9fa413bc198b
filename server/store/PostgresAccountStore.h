#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <pqxx/connection>
#include <vector>

#include "store/SqlAccountStore.h"

namespace brimo::server {

// PostgreSQL for deployments that run several instances behind a load balancer. A fixed pool
// of connections, each opened on first use and reopened after it broke; schema migrations
// run under an advisory lock so instances starting together migrate once.
class PostgresAccountStore final : public SqlAccountStore {
  public:
    PostgresAccountStore(std::string url, unsigned poolSize);
    ~PostgresAccountStore() override;
    PostgresAccountStore(const PostgresAccountStore&) = delete;
    PostgresAccountStore& operator=(const PostgresAccountStore&) = delete;

    [[nodiscard]] std::string kind() const override { return "postgresql"; }

  protected:
    void transact(Access access, const std::function<void(SqlTransaction&)>& work) override;

  private:
    // Runs `work` on a pooled connection; database failures become StoreUnavailable.
    void withConnection(const std::function<void(pqxx::connection_base&)>& work);

    std::string url_;
    std::mutex mutex_;
    std::condition_variable available_;
    // The concrete type: libpqxx's connection_base has no virtual destructor.
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
    unsigned unopened_;
};

}  // namespace brimo::server
