#pragma once

#include <filesystem>
#include <mutex>

#include "store/SqlAccountStore.h"

struct sqlite3;

namespace brimo::server {

// The embedded default store: one SQLite file (WAL journal, created 0600 with its folder).
// One connection serialises the statements; each takes microseconds, against the milliseconds
// of a password hash, so a pool would buy nothing here.
class SqliteAccountStore final : public SqlAccountStore {
  public:
    explicit SqliteAccountStore(const std::filesystem::path& file);
    ~SqliteAccountStore() override;
    SqliteAccountStore(const SqliteAccountStore&) = delete;
    SqliteAccountStore& operator=(const SqliteAccountStore&) = delete;

    [[nodiscard]] std::string kind() const override { return "sqlite"; }

  protected:
    void transact(Access access, const std::function<void(SqlTransaction&)>& work) override;

  private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace brimo::server
