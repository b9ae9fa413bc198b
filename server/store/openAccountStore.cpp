#include "store/AccountStore.h"
#include "store/PostgresAccountStore.h"
#include "store/SqliteAccountStore.h"

namespace brimo::server {

std::unique_ptr<AccountStore> openAccountStore(const std::string& database, unsigned poolSize) {
    if (database.starts_with("postgresql://") || database.starts_with("postgres://")) {
        return std::make_unique<PostgresAccountStore>(database, poolSize);
    }
    const std::string prefix = "sqlite:";
    return std::make_unique<SqliteAccountStore>(
        database.starts_with(prefix) ? database.substr(prefix.size()) : database);
}

}  // namespace brimo::server
