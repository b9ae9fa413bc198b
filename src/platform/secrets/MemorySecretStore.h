#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "platform/secrets/SecretStore.h"

namespace brimo::secrets {

// A store that keeps its secrets in memory for the life of the object: for tests, and for a
// session where neither the Secret Service nor the data folder can be used.
class MemorySecretStore final : public SecretStore {
  public:
    bool save(std::string_view service, std::string_view account,
              std::string_view secret) override {
        const std::lock_guard guard(mutex_);
        items_[key(service, account)] = std::string(secret);
        return true;
    }
    std::optional<std::string> load(std::string_view service, std::string_view account) override {
        const std::lock_guard guard(mutex_);
        const auto found = items_.find(key(service, account));
        return found == items_.end() ? std::nullopt : std::optional(found->second);
    }
    bool remove(std::string_view service, std::string_view account) override {
        const std::lock_guard guard(mutex_);
        items_.erase(key(service, account));
        return true;
    }
    [[nodiscard]] std::string description() const override { return "memory"; }

  private:
    static std::pair<std::string, std::string> key(std::string_view service,
                                                   std::string_view account) {
        return {std::string(service), std::string(account)};
    }

    std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, std::string> items_;
};

}  // namespace brimo::secrets
