#include "store/PostgresAccountStore.h"

#include <pqxx/pqxx>
#include <string_view>

namespace brimo::server {
namespace {

// Any number that is this store's own: the advisory lock that serialises migrations.
constexpr long kMigrationLock = 0x6272696d6f;

class PostgresRow final : public SqlRow {
  public:
    explicit PostgresRow(const pqxx::row& row) : row_(row) {}
    [[nodiscard]] std::string text(int column) const override {
        return row_[column].as<std::string>();
    }
    [[nodiscard]] std::int64_t integer(int column) const override {
        return row_[column].as<std::int64_t>();
    }
    [[nodiscard]] bool boolean(int column) const override { return row_[column].as<bool>(); }

  private:
    const pqxx::row& row_;
};

class PostgresTransaction final : public SqlTransaction {
  public:
    explicit PostgresTransaction(pqxx::transaction_base& work) : work_(work) {}
    std::int64_t run(std::string_view sql, const std::vector<SqlValue>& values,
                     const RowHandler& row) override {
        // Parameters travel as text; the server reads them as their columns' types.
        std::vector<std::string> texts;
        texts.reserve(values.size());
        for (const SqlValue& value : values) {
            texts.push_back(std::visit(
                [](const auto& v) -> std::string {
                    using T = std::decay_t<decltype(v)>;
                    if constexpr (std::is_same_v<T, std::string>) {
                        return v;
                    } else {
                        return pqxx::to_string(v);
                    }
                },
                value));
        }
        const pqxx::result result =
            work_.exec_params(std::string(sql), pqxx::prepare::make_dynamic_params(texts));
        if (row) {
            for (const auto& r : result) {
                row(PostgresRow(r));
            }
        }
        return static_cast<std::int64_t>(result.affected_rows());
    }

  private:
    pqxx::transaction_base& work_;
};

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
    migrate(
        SqlTypes{"BOOLEAN", "FALSE", "BIGINT", "BIGSERIAL PRIMARY KEY", " FOR UPDATE SKIP LOCKED"});
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

void PostgresAccountStore::transact(Access access,
                                    const std::function<void(SqlTransaction&)>& work) {
    withConnection([&](pqxx::connection_base& c) {
        if (access == Access::read) {
            pqxx::read_transaction w(c);
            PostgresTransaction transaction(w);
            work(transaction);
            return;
        }
        pqxx::work w(c);
        if (access == Access::migrate) {
            w.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
        }
        PostgresTransaction transaction(w);
        work(transaction);
        w.commit();
    });
}

}  // namespace brimo::server
