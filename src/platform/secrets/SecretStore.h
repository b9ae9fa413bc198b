#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace brimo::secrets {

// A per-user store of small secrets, each addressed by a service and an account name. Every
// call is synchronous and may be made from any thread. Implementations never write a secret
// anywhere but their own store, and never log one.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    // Stores the secret, replacing any stored under the same service and account.
    // Returns false when it could not be stored.
    virtual bool save(std::string_view service, std::string_view account,
                      std::string_view secret) = 0;

    // The stored secret, or none when there is none or it cannot be read.
    [[nodiscard]] virtual std::optional<std::string> load(std::string_view service,
                                                          std::string_view account) = 0;

    // Removes the stored secret. Returns false when one may still be stored; removing what is
    // not there succeeds.
    virtual bool remove(std::string_view service, std::string_view account) = 0;

    // What the store is, for the log: "Secret Service" or the file store's folder.
    [[nodiscard]] virtual std::string description() const = 0;
};

}  // namespace brimo::secrets
